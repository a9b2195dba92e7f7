// Answers a program's message box or save dialog from outside, for scripts:
//   ui_answer box TEXT [BUTTON [TIMEOUT_MS]]   press BUTTON (default 1) of the box showing TEXT
//   ui_answer save PATH [TIMEOUT_MS]           type PATH into a file dialog and press Save
//   ui_answer watch TITLE [FIND_MS [EXIT_MS]]  wait for a window titled TITLE and then for its
//                                             process to end: FOUND pid=N, then EXIT pid=N code=C;
//                                             a process still running after EXIT_MS is ended (TIMEOUT)
//   ui_answer alive TITLE [MS]                 the window answers WM_NULL within MS: ALIVE or HUNG
//   ui_answer end TITLE                        end the process that owns the window titled TITLE
//   ui_answer boxes                            list every visible message box with its owner and text
// Prints what it did with the owning process id; exit 0 when answered, 1 when nothing showed.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "tests/support/UiDriver.h"

namespace {

DWORD OwnerOf(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  return pid;
}

DWORD Number(const wchar_t* text, DWORD fallback) { return text ? wcstoul(text, nullptr, 10) : fallback; }

void PrintLine(const char* format, unsigned long a, unsigned long b = 0) {
  printf(format, a, b);
  fflush(stdout);
}

HWND WaitForTitle(const wchar_t* title, DWORD timeoutMs) {
  HWND found = nullptr;
  WaitUntil([&] { return (found = FindWindowW(nullptr, title)) != nullptr; }, timeoutMs);
  return found;
}

int Watch(const wchar_t* title, DWORD findMs, DWORD exitMs) {
  HWND window = WaitForTitle(title, findMs);
  if (!window) {
    PrintLine("NO-WINDOW\n", 0);
    return 1;
  }
  const DWORD pid = OwnerOf(window);
  // The handle is taken while the process runs, so its exit code stays readable after it ends.
  HANDLE process =
      OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, pid);
  if (!process) {
    PrintLine("NO-PROCESS pid=%lu\n", pid);
    return 1;
  }
  PrintLine("FOUND pid=%lu\n", pid);
  if (WaitForSingleObject(process, exitMs) != WAIT_OBJECT_0) {
    TerminateProcess(process, 99);
    WaitForSingleObject(process, 5000);
    PrintLine("TIMEOUT pid=%lu\n", pid);
    CloseHandle(process);
    return 1;
  }
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  PrintLine("EXIT pid=%lu code=%lu\n", pid, code);
  return 0;
}

BOOL CALLBACK ListBox(HWND window, LPARAM) {
  wchar_t cls[64] = {};
  GetClassNameW(window, cls, 64);
  if (std::wstring(cls) != L"#32770" || !IsWindowVisible(window) || !GetDlgItem(window, 0xFFFF)) return TRUE;
  const std::wstring caption = ui::WindowTextOf(window);
  const std::wstring text = ui::ControlTextOf(window, 0xFFFF);
  printf("BOX pid=%lu caption=%ls text=%ls\n", static_cast<unsigned long>(OwnerOf(window)), caption.c_str(),
         text.c_str());
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 3 && std::wstring(argv[1]) == L"box") {
    const std::wstring text = argv[2];
    const int button = static_cast<int>(Number(argc > 3 ? argv[3] : nullptr, IDOK));
    HWND box = ui::WaitForMessageBox(0, text, Number(argc > 4 ? argv[4] : nullptr, 20000));
    if (!box) {
      printf("NO-BOX\n");
      return 1;
    }
    // Its owner is read first: once pressed, the box may be gone before the next call.
    const DWORD pid = OwnerOf(box);
    ui::PostClick(box, button);
    printf("ANSWERED pid=%lu button=%d\n", static_cast<unsigned long>(pid), button);
    return 0;
  }
  if (argc >= 3 && std::wstring(argv[1]) == L"save") {
    HWND dialog = ui::WaitForFileDialog(0, Number(argc > 3 ? argv[3] : nullptr, 20000));
    if (!dialog) {
      printf("NO-DIALOG\n");
      return 1;
    }
    const DWORD pid = OwnerOf(dialog);
    const bool closed = ui::ChooseFile(dialog, argv[2]);
    printf("%s pid=%lu\n", closed ? "SAVED" : "STILL-OPEN", static_cast<unsigned long>(pid));
    return closed ? 0 : 1;
  }
  if (argc >= 3 && std::wstring(argv[1]) == L"watch")
    return Watch(argv[2], Number(argc > 3 ? argv[3] : nullptr, 20000),
                 Number(argc > 4 ? argv[4] : nullptr, 300000));
  if (argc >= 3 && std::wstring(argv[1]) == L"alive") {
    HWND window = FindWindowW(nullptr, argv[2]);
    DWORD_PTR result = 0;
    if (!window) {
      PrintLine("NO-WINDOW\n", 0);
      return 1;
    }
    const bool answered = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG,
                                              Number(argc > 3 ? argv[3] : nullptr, 2000), &result) != 0;
    PrintLine(answered ? "ALIVE pid=%lu\n" : "HUNG pid=%lu\n", OwnerOf(window));
    return answered ? 0 : 1;
  }
  if (argc >= 3 && std::wstring(argv[1]) == L"end") {
    HWND window = FindWindowW(nullptr, argv[2]);
    if (!window) {
      PrintLine("NO-WINDOW\n", 0);
      return 1;
    }
    const DWORD pid = OwnerOf(window);
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    const bool ended =
        process && TerminateProcess(process, 98) && WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
    if (process) CloseHandle(process);
    PrintLine(ended ? "ENDED pid=%lu\n" : "NOT-ENDED pid=%lu\n", pid);
    return ended ? 0 : 1;
  }
  if (argc >= 2 && std::wstring(argv[1]) == L"boxes") {
    EnumWindows(ListBox, 0);
    fflush(stdout);
    return 0;
  }
  fprintf(stderr,
          "usage: ui_answer box TEXT [BUTTON [TIMEOUT_MS]] | save PATH [TIMEOUT_MS] | watch TITLE [FIND_MS "
          "[EXIT_MS]] | alive TITLE [MS] | end TITLE | boxes\n");
  return 2;
}
