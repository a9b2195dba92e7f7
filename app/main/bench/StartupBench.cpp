// Start-up of the recorder, from process start to its main window shown and painted, against an
// empty dialog program started the same way in the same run; and shut-down, from Escape to the
// process's end, against the same for the empty dialog.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

double Ms(LARGE_INTEGER a, LARGE_INTEGER b) {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return 1000.0 * double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
}

LARGE_INTEGER Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t;
}

std::wstring Folder() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (wchar_t* slash = wcsrchr(path, L'\\')) slash[1] = 0;
  return path;
}

struct Search {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK FindShown(HWND window, LPARAM param) {
  auto* s = reinterpret_cast<Search*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != s->pid || !IsWindowVisible(window)) return TRUE;
  RECT r;
  GetWindowRect(window, &r);
  if (r.right - r.left < 300) return TRUE;  // not the IME or another helper window
  s->found = window;
  return FALSE;
}

struct Run {
  double startMs = -1, stopMs = -1;
};

// Shown and painted: the window is visible, its dialog loop answers and nothing is left to paint.
Run Measure(const std::wstring& exe) {
  Run run;
  std::wstring line = L"\"" + exe + L"\"";
  STARTUPINFOW si = {sizeof si};
  PROCESS_INFORMATION pi = {};
  const LARGE_INTEGER t0 = Now();
  if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, Folder().c_str(), &si,
                      &pi))
    return run;
  CloseHandle(pi.hThread);
  Search s = {pi.dwProcessId, nullptr};
  const DWORD limit = GetTickCount() + 60000;
  while (GetTickCount() < limit && WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) {
    s.found = nullptr;
    EnumWindows(FindShown, reinterpret_cast<LPARAM>(&s));
    DWORD_PTR reply = 0;
    if (s.found && SendMessageTimeoutW(s.found, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &reply) &&
        !GetUpdateRect(s.found, nullptr, FALSE))
      break;
    Sleep(1);
  }
  const LARGE_INTEGER t1 = Now();
  if (s.found) {
    run.startMs = Ms(t0, t1);
    PostMessageW(s.found, WM_KEYDOWN, VK_ESCAPE, 0);
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) run.stopMs = Ms(t1, Now());
  }
  TerminateProcess(pi.hProcess, 1);
  WaitForSingleObject(pi.hProcess, 10000);
  CloseHandle(pi.hProcess);
  return run;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? -1 : v[v.size() / 2];
}

}  // namespace

int main() {
  const std::wstring recorder = Folder() + L"Quillmeridian.exe";
  const std::wstring empty = Folder() + L"startup_reference_dialog.exe";
  std::vector<double> rs, rq, es, eq;
  for (int i = 0; i < 5; ++i) {
    Run e = Measure(empty), r = Measure(recorder);
    if (e.startMs < 0 || r.startMs < 0 || e.stopMs < 0 || r.stopMs < 0) {
      printf("startup: failed (run %d: empty %.1f/%.1f ms, recorder %.1f/%.1f ms)\n", i, e.startMs, e.stopMs,
             r.startMs, r.stopMs);
      return 1;
    }
    es.push_back(e.startMs);
    eq.push_back(e.stopMs);
    rs.push_back(r.startMs);
    rq.push_back(r.stopMs);
  }
  const double start = Median(rs), reference = Median(es), stop = Median(rq), referenceStop = Median(eq);
  printf(
      "startup: start_ms=%.1f empty_dialog_start_ms=%.1f start_ratio=%.2f (goal <= 2) shutdown_ms=%.1f (goal "
      "<= 150) empty_dialog_shutdown_ms=%.1f shutdown_ratio=%.2f\n",
      start, reference, start / reference, stop, referenceStop, stop / referenceStop);
  return 0;
}
