// Answers a program's message box or save dialog from outside, for scripts:
//   ui_answer box TEXT [BUTTON [TIMEOUT_MS]]   press BUTTON (default 1) of the box showing TEXT
//   ui_answer save PATH [TIMEOUT_MS]           type PATH into a file dialog and press Save
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
    ui::PostClick(box, button);
    printf("ANSWERED pid=%lu button=%d\n", static_cast<unsigned long>(OwnerOf(box)), button);
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
  fprintf(stderr, "usage: ui_answer box TEXT [BUTTON [TIMEOUT_MS]] | save PATH [TIMEOUT_MS]\n");
  return 2;
}
