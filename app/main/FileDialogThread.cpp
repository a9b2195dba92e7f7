#include "app/main/FileDialogThread.h"

#include <objbase.h>
#include <ole2.h>

namespace {

struct FileDialogCall {
  PFN_FileDialog show;
  OPENFILENAMEW* dialog;
  DWORD callerThreadId;
  BOOL result;
  DWORD error;
};

DWORD WINAPI FileDialogThreadProc(LPVOID parameter) {
  auto* call = static_cast<FileDialogCall*>(parameter);
  // The folder view is an OLE drop target and lists the folder through the shell's objects.
  const HRESULT ole = OleInitialize(nullptr);
  // One input state with the caller's thread, as the dialog had on it: its end activates its
  // owner as a dialog of the same thread would.
  const BOOL attached = AttachThreadInput(GetCurrentThreadId(), call->callerThreadId, TRUE);
  call->result = call->show(call->dialog);
  call->error = call->result ? 0 : CommDlgExtendedError();
  if (attached) AttachThreadInput(GetCurrentThreadId(), call->callerThreadId, FALSE);
  if (SUCCEEDED(ole)) OleUninitialize();
  return 0;
}

}  // namespace

BOOL RunFileDialog(PFN_FileDialog show, OPENFILENAMEW* dialog, DWORD* error) {
  FileDialogCall call = {show, dialog, GetCurrentThreadId(), FALSE, 0};
  HANDLE thread = CreateThread(nullptr, 0, FileDialogThreadProc, &call, 0, nullptr);
  if (!thread) {
    const BOOL chosen = show(dialog);
    if (error) *error = chosen ? 0 : CommDlgExtendedError();
    return chosen;
  }
  // Messages sent to this thread are answered throughout (the dialog disables its owner with
  // one). The rest is dispatched only while the dialog holds its owner disabled, as its modal loop
  // would: what arrives before it is up or after it has let the owner go waits for the caller,
  // who then no longer has a dialog up.
  const HWND owner = dialog->hwndOwner;
  bool quit = false;
  int quitCode = 0;
  for (;;) {
    const bool up = owner && !IsWindowEnabled(owner);
    // Once up, what came before it counts as well.
    const DWORD woke =
        up ? MsgWaitForMultipleObjectsEx(1, &thread, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE)
           : MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE);
    if (woke != WAIT_OBJECT_0 + 1) break;
    MSG msg;
    if (!up) {
      PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
      continue;
    }
    while (!IsWindowEnabled(owner) && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        quit = true;
        quitCode = static_cast<int>(msg.wParam);
        continue;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  CloseHandle(thread);
  // A dialog of this thread would hand the activation back to its owner as it ends; from another
  // thread that may be lost (nothing active, or the ended dialog's thread's window). Unless the
  // user has gone to another program meanwhile, the owner takes it back.
  if (owner && IsWindow(owner)) {
    DWORD process = 0;
    const HWND foreground = GetForegroundWindow();
    if (foreground) GetWindowThreadProcessId(foreground, &process);
    const bool none = !foreground || foreground == GetDesktopWindow() || foreground == GetShellWindow();
    if (foreground != owner && (none || process == GetCurrentProcessId())) SetForegroundWindow(owner);
  }
  if (quit) PostQuitMessage(quitCode);
  if (error) *error = call.error;
  return call.result;
}
