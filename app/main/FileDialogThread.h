// The open and save dialogs run on a thread of their own while the dialog's thread goes on serving
// its messages: building the dialog's folder view takes tens of milliseconds under which the
// window would not answer. To its caller the call is as modal as the plain one.
#pragma once

#include <windows.h>
#include <commdlg.h>

using PFN_FileDialog = BOOL(WINAPI*)(OPENFILENAMEW* dialog);

// `show` (GetOpenFileNameW or GetSaveFileNameW) with `dialog`, and its result. Messages of this
// thread are dispatched meanwhile, as the dialog's own modal loop would; a WM_QUIT is posted again
// once the dialog has ended. `error` gets the dialog's CommDlgExtendedError, which is kept per thread.
BOOL RunFileDialog(PFN_FileDialog show, OPENFILENAMEW* dialog, DWORD* error = nullptr);
