// The video frame: an owned window above the main dialog with a black face, the text that says no
// player is installed, and a trackbar across its bottom that the clock and the user move.
#include "media/video/VideoManager.h"

#include <commctrl.h>

bool CVideoManager::CreateFrameWindow(int x, int y, int width) {
  VideoFrameRecord* record = frameRecord;
  if (!record) return false;
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);

  HINSTANCE module = GetModuleHandleW(nullptr);
  WNDCLASSW& wc = record->windowClass;
  wc = WNDCLASSW{};
  // A device context of its own: the frame keeps it for as long as it lives.
  wc.style = CS_OWNDC;
  wc.lpfnWndProc = FrameWndProc;
  wc.cbWndExtra = sizeof(LONG_PTR);
  wc.hInstance = module;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = nullptr;
  wc.lpszClassName = kVideoFrameClass;
  if (!RegisterClassW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

  if (width == 0) width = GetSystemMetrics(SM_CXSCREEN);
  record->parent = anchorWindow;
  record->x = x;
  record->y = y;
  record->width = width;
  record->height = kFrameHeight;
  HWND frame = CreateWindowExW(0, kVideoFrameClass, kVideoFrameTitle, WS_CAPTION, x, y, width, kFrameHeight,
                               anchorWindow, nullptr, module, record);
  if (!frame) return false;
  record->frame = frame;
  record->frameDC = GetDC(frame);
  SetWindowPos(frame, nullptr, x, y, width, kFrameHeight, SWP_NOZORDER | SWP_NOACTIVATE);
  GetClientRect(frame, &record->client);
  record->width = record->client.right - record->client.left;
  record->height = record->client.bottom - record->client.top;

  HWND bar =
      CreateWindowExW(0, TRACKBAR_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, 0, record->height - kTrackbarHeight,
                      record->width, kTrackbarHeight, frame, nullptr, module, nullptr);
  if (bar) {
    SendMessageW(bar, TBM_SETRANGE, TRUE, MAKELPARAM(0, kTrackbarRange));
    SendMessageW(bar, TBM_SETPAGESIZE, 0, kTrackbarPage);
    SendMessageW(bar, TBM_SETPOS, TRUE, 0);
  }
  record->trackbar = bar;
  ShowWindow(frame, SW_SHOW);
  BringWindowToTop(frame);
  return true;
}

void CVideoManager::DestroyFrameWindow() {
  VideoFrameRecord* record = frameRecord;
  if (!record || !record->frame) return;
  HWND frame = record->frame;
  if (IsWindow(frame) && GetWindowThreadProcessId(frame, nullptr) == GetCurrentThreadId()) {
    DestroyWindow(frame);  // WM_DESTROY clears the record's handles
  } else if (IsWindow(frame)) {
    // Only its own thread can destroy it: let go of the record first, which is about to be freed.
    SetWindowLongPtrW(frame, 0, 0);
    PostMessageW(frame, WM_CLOSE, 0, 0);
  }
  record->frame = nullptr;
  record->trackbar = nullptr;
  record->frameDC = nullptr;
}

LRESULT CALLBACK CVideoManager::FrameWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, 0, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* record = reinterpret_cast<VideoFrameRecord*>(GetWindowLongPtrW(window, 0));
  switch (message) {
    case WM_CREATE:
      return 0;
    case WM_HSCROLL:
      if (record) {
        // Read here, on the trackbar's thread; the clock thread never asks the trackbar itself.
        HWND bar = record->trackbar.load();
        const LRESULT position = bar ? SendMessageW(bar, TBM_GETPOS, 0, 0) : 0;
        if (record->clockThreadId)
          PostThreadMessageW(record->clockThreadId, WM_HSCROLL, WPARAM(position), lParam);
      }
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT client;
      GetClientRect(window, &client);
      // The trackbar draws itself; the frame has no WS_CLIPCHILDREN to keep us off it.
      HWND bar = record ? record->trackbar.load() : nullptr;
      RECT barRect;
      if (bar && IsWindowVisible(bar) && GetWindowRect(bar, &barRect)) {
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&barRect), 2);
        ExcludeClipRect(dc, barRect.left, barRect.top, barRect.right, barRect.bottom);
      }
      FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
      SetTextColor(dc, RGB(255, 255, 255));
      SetBkColor(dc, RGB(0, 0, 0));
      SetBkMode(dc, OPAQUE);
      if (!record || !record->playerAvailable)
        DrawTextW(dc, kNoPlayerText, -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
      SelectClipRgn(dc, nullptr);  // the DC is the frame's own: the exclusion would stay in it
      EndPaint(window, &paint);
      return 0;
    }
    case WM_DESTROY:
      if (record) {
        HWND bar = record->trackbar.exchange(nullptr);
        if (bar && IsWindow(bar)) DestroyWindow(bar);
        if (record->frameDC) ReleaseDC(window, record->frameDC);
        // Whoever destroyed the frame (its owner, say), the record no longer names it.
        record->frameDC = nullptr;
        if (record->frame == window) record->frame = nullptr;
        SetWindowLongPtrW(window, 0, 0);
      }
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}
