#include "app/main/tests/RecorderProcess.h"
#include "common/Locks.h"

#include <cwchar>

std::wstring BinFolder() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (wchar_t* slash = wcsrchr(path, L'\\')) slash[1] = 0;
  return path;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

std::wstring TextOf(HWND window) {
  wchar_t text[1024] = {};
  GetWindowTextW(window, text, 1024);
  return text;
}

std::wstring ControlText(HWND control) {
  wchar_t text[1024] = {};
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(control, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                      &copied);
  return text;
}

namespace {

struct MenuSearch {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectMenus(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<MenuSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == search->pid && IsWindowVisible(window) && ClassOf(window) == L"#32768")
    search->found.push_back(window);
  return TRUE;
}

}  // namespace

std::vector<HWND> VisibleMenus(DWORD pid) {
  MenuSearch search = {pid, {}};
  EnumWindows(CollectMenus, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

LONG Normalised(int pixel, int extent) {
  return static_cast<LONG>(((LONGLONG(pixel) << 16) + extent - 1) / extent);
}

CRecorderProcess::~CRecorderProcess() {
  Kill();
  if (debugger_.joinable()) debugger_.join();
  if (process_) CloseHandle(process_);
}

bool CRecorderProcess::Start(const std::wstring& arguments, bool debug, const std::wstring& exePath) {
  const std::wstring exe = exePath.empty() ? BinFolder() + L"Quillmeridian.exe" : exePath;
  std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
  if (debug) {
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    debugger_ = std::thread(&CRecorderProcess::DebugLoop, this, commandLine, started);
    WaitForSingleObject(started, 30000);
    CloseHandle(started);
    return launched_;
  }
  STARTUPINFOW si = {sizeof si};
  PROCESS_INFORMATION pi = {};
  std::wstring folder = exe.substr(0, exe.rfind(L'\\') + 1);
  if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                      &si, &pi))
    return false;
  CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  pid_ = pi.dwProcessId;
  return true;
}

// The debugger's events must be taken by the thread that started the process.
void CRecorderProcess::DebugLoop(std::wstring commandLine, HANDLE started) {
  const std::wstring exe = commandLine.substr(1, commandLine.find(L'"', 1) - 1);
  const std::wstring folder = exe.substr(0, exe.rfind(L'\\') + 1);
  STARTUPINFOW si = {sizeof si};
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS,
                      nullptr, folder.c_str(), &si, &pi)) {
    SetEvent(started);
    return;
  }
  CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  pid_ = pi.dwProcessId;
  launched_ = true;
  SetEvent(started);
  for (;;) {
    DEBUG_EVENT event = {};
    if (!WaitForDebugEvent(&event, INFINITE)) break;
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case OUTPUT_DEBUG_STRING_EVENT: {
        const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
        std::string line;
        if (info.fUnicode) {
          std::wstring wide(info.nDebugStringLength, L'\0');
          SIZE_T read = 0;
          ReadProcessMemory(process_, info.lpDebugStringData, wide.data(), wide.size() * sizeof(wchar_t),
                            &read);
          for (wchar_t c : wide)
            if (c) line += static_cast<char>(c < 128 ? c : '?');
        } else {
          line.resize(info.nDebugStringLength);
          SIZE_T read = 0;
          ReadProcessMemory(process_, info.lpDebugStringData, line.data(), line.size(), &read);
          line.resize(strnlen(line.c_str(), line.size()));
        }
        std::lock_guard<Mutex> hold(lock_);
        lines_.push_back(line);
        break;
      }
      case EXCEPTION_DEBUG_EVENT:
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
          status = DBG_EXCEPTION_NOT_HANDLED;
        break;
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
        break;
      default:
        break;
    }
    const bool ended = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    if (ended) break;
  }
}

namespace {

struct FindData {
  DWORD pid;
  const std::wstring* title;
  HWND found;
};

BOOL CALLBACK FindProcessWindow(HWND window, LPARAM param) {
  auto* data = reinterpret_cast<FindData*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != data->pid) return TRUE;
  if (!data->title->empty() && TextOf(window) != *data->title) return TRUE;
  data->found = window;
  return FALSE;
}

}  // namespace

HWND CRecorderProcess::WaitForWindow(const std::wstring& title, DWORD timeoutMs) const {
  FindData data = {pid_, &title, nullptr};
  WaitUntil(
      [&] {
        data.found = nullptr;
        EnumWindows(FindProcessWindow, reinterpret_cast<LPARAM>(&data));
        return data.found != nullptr || (process_ && WaitForSingleObject(process_, 0) == WAIT_OBJECT_0);
      },
      timeoutMs);
  return data.found;
}

DWORD CRecorderProcess::WaitExit(DWORD timeoutMs) {
  if (!process_) return STILL_ACTIVE;
  if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process_, &code);
  return code;
}

void CRecorderProcess::Kill() {
  if (process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_, 99);
    WaitForSingleObject(process_, 10000);
  }
}

std::vector<std::string> CRecorderProcess::DebugLines() const {
  std::lock_guard<Mutex> hold(lock_);
  return lines_;
}

bool CRecorderProcess::WaitForDebugLine(const std::string& needle, DWORD timeoutMs) const {
  return WaitUntil(
      [&] {
        for (const std::string& line : DebugLines())
          if (line.find(needle) != std::string::npos) return true;
        return false;
      },
      timeoutMs);
}

namespace {

struct BoxFind {
  DWORD pid;
  const std::wstring* text;
  HWND found;
};

BOOL CALLBACK FindBox(HWND window, LPARAM param) {
  auto* data = reinterpret_cast<BoxFind*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != data->pid || ClassOf(window) != L"#32770") return TRUE;
  HWND label = GetDlgItem(window, 0xFFFF);
  if (label && TextOf(label) == *data->text) {
    data->found = window;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

HWND WaitForBox(DWORD pid, const std::wstring& text, std::wstring* caption, DWORD timeoutMs) {
  BoxFind data = {pid, &text, nullptr};
  WaitUntil(
      [&] {
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&data));
        return data.found != nullptr;
      },
      timeoutMs);
  if (data.found && caption) *caption = TextOf(data.found);
  return data.found;
}
