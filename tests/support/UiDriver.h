// Drives a program's real message boxes and file dialogs from another thread or process: a box
// is found by its text (static 0xFFFF), a file dialog by its file-name combo (0x47c); buttons are
// pressed by posting their command, never by sending it (a sent click waits for the handler,
// which may itself be waiting in a box).
#pragma once

#include <windows.h>

#include <string>

#include "tests/support/TestFiles.h"

namespace ui {

constexpr int kFileNameCombo = 0x47c;
constexpr int kFolderCombo = 0x471;
constexpr int kTypeCombo = 0x470;

inline std::wstring WindowTextOf(HWND window) {
  wchar_t text[1024] = {};
  // WM_GETTEXT is answered by another process's controls too.
  SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                      nullptr);
  return text;
}

inline std::wstring ControlTextOf(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return control ? WindowTextOf(control) : std::wstring();
}

struct Search {
  DWORD pid;  // 0: any process
  int controlId;
  const std::wstring* text;  // the control's text, or null for any
  HWND found;
};

inline BOOL CALLBACK MatchDialog(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t cls[64] = {};
  GetClassNameW(window, cls, 64);
  if ((search->pid && pid != search->pid) || std::wstring(cls) != L"#32770" || !IsWindowVisible(window))
    return TRUE;
  HWND control = GetDlgItem(window, search->controlId);
  if (!control || (search->text && WindowTextOf(control) != *search->text)) return TRUE;
  search->found = window;
  return FALSE;
}

// A visible dialog of the process holding the control (with that text when given).
inline HWND WaitForDialog(DWORD pid, int controlId, const std::wstring* text, DWORD timeoutMs) {
  Search search = {pid, controlId, text, nullptr};
  WaitUntil(
      [&] {
        search.found = nullptr;
        EnumWindows(MatchDialog, reinterpret_cast<LPARAM>(&search));
        return search.found != nullptr;
      },
      timeoutMs);
  return search.found;
}

inline HWND WaitForMessageBox(DWORD pid, const std::wstring& text, DWORD timeoutMs = 20000) {
  return WaitForDialog(pid, 0xFFFF, &text, timeoutMs);
}

inline HWND WaitForFileDialog(DWORD pid, DWORD timeoutMs = 20000) {
  return WaitForDialog(pid, kFileNameCombo, nullptr, timeoutMs);
}

inline void PostClick(HWND dialog, int id) {
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// Types a name into a file dialog and presses Save (or Open); true once the dialog is gone.
inline bool ChooseFile(HWND dialog, const std::wstring& path, DWORD timeoutMs = 20000) {
  HWND combo = GetDlgItem(dialog, kFileNameCombo);
  if (!combo) return false;
  SendMessageTimeoutW(combo, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), SMTO_ABORTIFHUNG, 5000,
                      nullptr);
  PostClick(dialog, IDOK);
  return WaitUntil([&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }, timeoutMs);
}

inline bool CancelDialog(HWND dialog, DWORD timeoutMs = 20000) {
  PostClick(dialog, IDCANCEL);
  return WaitUntil([&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }, timeoutMs);
}

}  // namespace ui
