// The wait pop-up: a plain message window ("WaitWindowClass") on a thread of its own, so that it
// keeps painting while the UI thread is busy. The UI thread fills the record, then posts the
// thread WM_WAIT_MOVE or WM_WAIT_SHOW; it shows, hides and retitles the window directly.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>

#include "common/Locks.h"

constexpr UINT WM_WAIT_SHOW = 0x401;  // re-create the window from the record
constexpr UINT WM_WAIT_MOVE = 0x402;  // move it to the record's rectangle

struct WaitPopupRecord {
  std::atomic<HWND> window{nullptr};
  HFONT font = nullptr;     // made and deleted by the dialog
  wchar_t* text = nullptr;  // heap (new[]), owned by the record; guarded by textLock
  HWND owner = nullptr;
  HANDLE thread = nullptr;
  DWORD threadId = 0;
  WNDCLASSW windowClass = {};
  int x = 0, y = 0, width = 0, height = 0;
  HANDLE ready = nullptr;
  UINT_PTR timer = 0;
  UINT shown = 0;
  UINT childStyle = 0;
  Mutex textLock;
};

DWORD WINAPI WaitWindowThread(LPVOID record);
LRESULT CALLBACK WaitWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Allocates the record, starts its thread and returns once the thread's window and queue exist.
WaitPopupRecord* StartWaitPopup(HFONT font);
// The same in two halves, so that the caller works while the thread makes its window: the first
// starts the thread, the second waits until its window and queue exist and sets the font.
WaitPopupRecord* LaunchWaitPopup();
void AwaitWaitPopup(WaitPopupRecord* record, HFONT font);
// Sets the rectangle and has the thread move the window there.
void MoveWaitPopup(WaitPopupRecord* record, int x, int y, int width, int height);
// Sets owner and style and has the thread re-create the window (hidden unless shown is set).
void RecreateWaitPopup(WaitPopupRecord* record, HWND owner, bool childStyle);
// Takes a copy of the text, shows it in the window and brings the window up.
void ShowWaitPopup(WaitPopupRecord* record, const wchar_t* text);
void HideWaitPopup(WaitPopupRecord* record);
// Ends the thread (waits for it), frees the text, deletes the font and the record.
void StopWaitPopup(WaitPopupRecord* record);
