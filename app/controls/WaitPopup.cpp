#include "app/controls/WaitPopup.h"
#include "common/Locks.h"

#include <cwchar>
#include <vector>

namespace {
const wchar_t kWaitClass[] = L"WaitWindowClass";

void SetWindowTextFromRecord(WaitPopupRecord* record, HWND window) {
  std::lock_guard<Mutex> guard(record->textLock);
  SetWindowTextW(window, record->text ? record->text : L"");
}

HWND CreateWaitWindow(WaitPopupRecord* record, DWORD style, int x, int y, int w, int h, HWND owner) {
  return CreateWindowExW(0, kWaitClass, nullptr, style, x, y, w, h, owner, nullptr, GetModuleHandleW(nullptr),
                         record);
}
}  // namespace

LRESULT CALLBACK WaitWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
      SetWindowLongPtrW(hwnd, 0, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
      return 0;
    }
    case WM_DESTROY:
    case WM_TIMER:
      return 0;
    case WM_PAINT: {
      auto* record = reinterpret_cast<WaitPopupRecord*>(GetWindowLongPtrW(hwnd, 0));
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT client;
      GetClientRect(hwnd, &client);
      FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
      // The window's own text: the record's pointer belongs to the UI thread, which replaces it.
      int length = GetWindowTextLengthW(hwnd);
      std::vector<wchar_t> text(static_cast<size_t>(length) + 1);
      length = GetWindowTextW(hwnd, text.data(), length + 1);
      HGDIOBJ oldFont = record && record->font ? SelectObject(dc, record->font) : nullptr;
      SIZE size = {};
      GetTextExtentPoint32W(dc, text.data(), length, &size);
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
      TextOutW(dc, (client.right - size.cx) / 2, (client.bottom - size.cy) / 2 - 5, text.data(), length);
      if (oldFont) SelectObject(dc, oldFont);
      EndPaint(hwnd, &ps);
      return 0;
    }
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

DWORD WINAPI WaitWindowThread(LPVOID param) {
  auto* record = static_cast<WaitPopupRecord*>(param);
  while (!PostThreadMessageW(GetCurrentThreadId(), WM_USER, 0, 0)) Sleep(50);

  HINSTANCE module = GetModuleHandleW(nullptr);
  record->windowClass = {};
  record->windowClass.lpfnWndProc = &WaitWindowProc;
  record->windowClass.cbWndExtra = sizeof(LONG_PTR);
  record->windowClass.hInstance = module;
  record->windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  record->windowClass.lpszClassName = kWaitClass;
  bool registered = RegisterClassW(&record->windowClass) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  if (registered) {
    HWND window = CreateWaitWindow(record, WS_POPUP | WS_DLGFRAME, 0, 0, 300, 100, nullptr);
    if (window) {
      record->owner = nullptr;
      record->x = (GetSystemMetrics(SM_CXSCREEN) - 300) / 2;
      record->y = (GetSystemMetrics(SM_CYSCREEN) - 100) / 2;
      record->width = 300;
      record->height = 100;
      SetWindowPos(window, nullptr, 0, 0, 300, 100, SWP_NOMOVE | SWP_NOZORDER);
      record->timer = SetTimer(window, 1, 100, nullptr);
    } else {
      UnregisterClassW(kWaitClass, module);
    }
    record->window = window;
  }
  SetEvent(record->ready);

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!msg.hwnd && msg.message == WM_WAIT_SHOW) {
      if (HWND old = record->window.exchange(nullptr)) DestroyWindow(old);
      DWORD style = (record->childStyle ? WS_CHILD : WS_POPUP) | WS_DLGFRAME;
      HWND window =
          CreateWaitWindow(record, style, record->x, record->y, record->width, record->height, record->owner);
      if (window) {
        SetWindowTextFromRecord(record, window);
        InvalidateRect(window, nullptr, TRUE);
        UpdateWindow(window);
        if (record->shown) {
          ShowWindow(window, SW_SHOW);
          BringWindowToTop(window);
        }
      }
      record->window = window;
    } else if (!msg.hwnd && msg.message == WM_WAIT_MOVE) {
      if (HWND window = record->window)
        MoveWindow(window, record->x, record->y, record->width, record->height, TRUE);
    }
    DispatchMessageW(&msg);
  }

  if (HWND window = record->window.exchange(nullptr)) {
    KillTimer(window, 1);
    DestroyWindow(window);
  }
  UnregisterClassW(kWaitClass, module);
  return 0;
}

WaitPopupRecord* LaunchWaitPopup() {
  auto* record = new WaitPopupRecord();
  record->ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  record->thread = CreateThread(nullptr, 0, &WaitWindowThread, record, 0, &record->threadId);
  return record;
}

void AwaitWaitPopup(WaitPopupRecord* record, HFONT font) {
  if (!record) return;
  if (record->thread && record->ready) WaitForSingleObject(record->ready, INFINITE);
  if (record->ready) CloseHandle(record->ready);
  record->ready = nullptr;
  // Read by the window's paint handler only, which runs once the window is shown.
  record->font = font;
}

WaitPopupRecord* StartWaitPopup(HFONT font) {
  WaitPopupRecord* record = LaunchWaitPopup();
  AwaitWaitPopup(record, font);
  return record;
}

void MoveWaitPopup(WaitPopupRecord* record, int x, int y, int width, int height) {
  record->x = x;
  record->y = y;
  record->width = width;
  record->height = height;
  PostThreadMessageW(record->threadId, WM_WAIT_MOVE, 0, 0);
}

void RecreateWaitPopup(WaitPopupRecord* record, HWND owner, bool childStyle) {
  record->owner = owner;
  record->childStyle = childStyle ? 1 : 0;
  PostThreadMessageW(record->threadId, WM_WAIT_SHOW, 0, 0);
}

void ShowWaitPopup(WaitPopupRecord* record, const wchar_t* text) {
  size_t n = wcslen(text) + 1;
  auto* copy = new wchar_t[n];
  wmemcpy(copy, text, n);
  {
    std::lock_guard<Mutex> guard(record->textLock);
    delete[] record->text;
    record->text = copy;
  }
  // Shown first: a pop-up re-created meanwhile reads the flag and comes up visible.
  record->shown = 1;
  if (HWND window = record->window) {
    SetWindowTextW(window, copy);
    InvalidateRect(window, nullptr, FALSE);
    UpdateWindow(window);
    ShowWindow(window, SW_SHOW);
    BringWindowToTop(window);
  }
}

void HideWaitPopup(WaitPopupRecord* record) {
  record->shown = 0;
  if (HWND window = record->window) ShowWindow(window, SW_HIDE);
}

void StopWaitPopup(WaitPopupRecord* record) {
  if (!record) return;
  if (record->thread) {
    PostThreadMessageW(record->threadId, WM_QUIT, 0, 0);
    // Destroying a window owned by or a child of one of ours sends to this thread: answer those
    // sends while waiting, or both threads wait for ever.
    while (MsgWaitForMultipleObjects(1, &record->thread, FALSE, INFINITE, QS_SENDMESSAGE) ==
           WAIT_OBJECT_0 + 1) {
      MSG msg;
      PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    CloseHandle(record->thread);
  }
  {
    std::lock_guard<Mutex> guard(record->textLock);
    delete[] record->text;
    record->text = nullptr;
  }
  if (record->font) DeleteObject(record->font);
  delete record;
}
