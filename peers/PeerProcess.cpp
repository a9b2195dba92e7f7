#include "peers/PeerProcess.h"

#include <cstdio>

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

std::wstring UniqueName(const wchar_t* tag) {
  static LONG counter = 0;
  wchar_t name[128];
  swprintf(name, 128, L"%ls-%lu-%ld", tag, GetCurrentProcessId(), InterlockedIncrement(&counter));
  return name;
}

std::wstring QuoteArgument(const std::wstring& argument) {
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled; elsewhere they stand for themselves.
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

namespace {

// Peers end with the program that started them, even one killed at its time-out: a peer left
// behind keeps a fixed pipe or mapping name and every later test that needs it fails.
HANDLE PeerJob() {
  static HANDLE job = [] {
    HANDLE j = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (j && !SetInformationJobObject(j, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
      CloseHandle(j);
      j = nullptr;
    }
    return j;
  }();
  return job;
}

}  // namespace

CPeerProcess::~CPeerProcess() {
  Kill();
  if (!logPath_.empty()) DeleteFileW(logPath_.c_str());
}

bool CPeerProcess::Start(const wchar_t* exeName, const std::wstring& arguments, DWORD readyTimeoutMs) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  // Wine reuses process ids: a log that an earlier test program of the same id left behind would
  // answer READY for this peer before it has even opened its own. The name is used only once
  // no file holds it.
  do {
    logPath_ = std::wstring(temp) + UniqueName(L"qm-peer") + L".log";
  } while (!DeleteFileW(logPath_.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND);
  const std::wstring exe = ProgramFolder() + exeName;
  std::wstring commandLine = QuoteArgument(exe) + L" --log " + QuoteArgument(logPath_) + L" " + arguments;

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                           0, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nul;
  si.hStdOutput = nul;
  si.hStdError = nul;
  PROCESS_INFORMATION pi{};
  const BOOL created = CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                      CREATE_SUSPENDED, nullptr, nullptr, &si, &pi);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  if (!created) return false;
  if (HANDLE job = PeerJob()) AssignProcessToJobObject(job, pi.hProcess);
  ResumeThread(pi.hThread);
  CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  return WaitForLog("READY", readyTimeoutMs);
}

std::string CPeerProcess::Log() const {
  std::string text;
  FILE* file = _wfsopen(logPath_.c_str(), L"rb", 0x40 /* _SH_DENYNO */);
  if (!file) return text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  fclose(file);
  return text;
}

bool CPeerProcess::WaitForLog(const std::string& needle, DWORD timeoutMs) const {
  const DWORD start = GetTickCount();
  for (;;) {
    if (Log().find(needle) != std::string::npos) return true;
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(10);
  }
}

DWORD CPeerProcess::WaitExit(DWORD timeoutMs) {
  if (!process_) return STILL_ACTIVE;
  if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process_, &code);
  return code;
}

void CPeerProcess::Kill() {
  if (!process_) return;
  if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_, 99);
    WaitForSingleObject(process_, 5000);
  }
  CloseHandle(process_);
  process_ = nullptr;
}
