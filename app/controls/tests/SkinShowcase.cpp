// Shows the skinned test dialog for a screenshot taken from outside: until its standard input
// ends (the shooter closes it once the shot is taken), at most the first argument in milliseconds
// (default 3000).
#include <cstdlib>

#include "app/controls/tests/SkinTestDialog.h"

namespace {

// Reads standard input to its end, then sets the event.
DWORD WINAPI WaitForInputEnd(LPVOID event) {
  char buffer[256];
  DWORD got = 0;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  while (input && input != INVALID_HANDLE_VALUE && ReadFile(input, buffer, sizeof buffer, &got, nullptr) &&
         got) {
  }
  SetEvent(static_cast<HANDLE>(event));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  DWORD ms = argc > 1 ? static_cast<DWORD>(atoi(argv[1])) : 3000;
  CSkinTestDlg dlg;
  if (!dlg.Create()) return 1;
  dlg.Button(IDC_BUTSENDWAV)->ShowWindow(SW_HIDE);   // no "/_t": the send button is hidden
  dlg.Button(IDC_BUTINSERTBM)->TogglePressedLook();  // bookmarks off: looks pressed
  dlg.Button(IDC_BUTINSERTBM)->Invalidate(TRUE);
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE reader = CreateThread(nullptr, 0, WaitForInputEnd, done, 0, nullptr);
  const DWORD start = GetTickCount();
  for (;;) {
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= ms) break;
    if (MsgWaitForMultipleObjects(1, &done, FALSE, ms - elapsed, QS_ALLINPUT) == WAIT_OBJECT_0) break;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  // Once the input has ended the reader is on its way out: the process ends with no thread left to
  // kill (Wine has been seen to kill the whole process when ExitProcess meets a live thread on a
  // busy machine). Only after the time-out may it still be blocked in ReadFile.
  const bool ended = WaitForSingleObject(done, 0) == WAIT_OBJECT_0;
  if (reader && ended) WaitForSingleObject(reader, 10000);
  if (reader) CloseHandle(reader);
  CloseHandle(done);
  if (ended) return 0;
  ExitProcess(0);
}
