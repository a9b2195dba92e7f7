#include "app/controls/HintWindow.h"

#include <cstdlib>
#include <cwchar>

namespace {
const wchar_t kHintClass[] = L"HINTERWINDOWCLASS";
}

POINT PlaceHintPopup(POINT cursor, SIZE popup, SIZE screen) {
  LONG x = cursor.x, y = cursor.y;
  if (x + popup.cx > screen.cx - 2) x = screen.cx - popup.cx - 2;
  if (y + 20 + popup.cy > screen.cy) y = screen.cy - popup.cy - 20;
  return {x, y + 20};
}

bool GetHintLine(const wchar_t* text, int index, wchar_t* out, size_t outSize) {
  if (!text || !*text || index < 0 || !outSize) return false;
  const wchar_t* p = text;
  for (int i = 0; i < index; ++i) {
    p = wcschr(p, L'\n');
    if (!p || !p[1]) return false;
    ++p;
  }
  const wchar_t* end = wcschr(p, L'\n');
  size_t n = end ? static_cast<size_t>(end - p) : wcslen(p);
  if (n >= outSize) n = outSize - 1;
  wmemcpy(out, p, n);
  out[n] = 0;
  return true;
}

void CHintWindow::CreateHintWindow(HWND owner) {
  owner_ = owner;
  HINSTANCE module = GetModuleHandleW(nullptr);
  class_ = {};
  class_.lpfnWndProc = &CHintWindow::HintWindowProc;
  class_.cbWndExtra = sizeof(LONG_PTR);
  class_.hInstance = module;
  class_.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  class_.lpszClassName = kHintClass;
  atom_ = RegisterClassW(&class_);
  if (!atom_ && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;
  window_ = CreateWindowExW(0, kHintClass, nullptr, WS_POPUP, 0, 0, 1, 1, owner, nullptr, module, nullptr);
  if (!window_) {
    UnregisterClassW(kHintClass, module);
    atom_ = 0;
    return;
  }
  SetWindowLongPtrW(window_, 0, reinterpret_cast<LONG_PTR>(this));
  dc_ = GetDC(window_);
  font_ = CreateFontW(16, 6, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_TT_PRECIS,
                      CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, L"Tahoma");
  PrepareDC(dc_);
  timer_ = SetTimer(window_, kTimerId, 100, nullptr);
}

void CHintWindow::PrepareDC(HDC dc) {
  SelectObject(dc, GetSysColorBrush(COLOR_INFOBK));
  SetBkColor(dc, GetSysColor(COLOR_INFOBK));
  SetTextColor(dc, GetSysColor(COLOR_INFOTEXT));
  SelectObject(dc, font_);
}

void CHintWindow::DestroyHintWindow() {
  if (window_) {
    if (dc_) ReleaseDC(window_, dc_);
    KillTimer(window_, kTimerId);
    SetWindowLongPtrW(window_, 0, 0);
    DestroyWindow(window_);
  }
  dc_ = nullptr;
  window_ = nullptr;
  if (font_) DeleteObject(font_);
  font_ = nullptr;
  timer_ = 0;
  free(hints_);
  hints_ = nullptr;
  count_ = capacity_ = 0;
  shown_ = 0;
}

void CHintWindow::AddHint(HWND control, const wchar_t* text) {
  RECT owner = {}, r = {};
  GetWindowRect(owner_, &owner);
  GetWindowRect(control, &r);
  OffsetRect(&r, -owner.left, -owner.top);
  if (!IsWindowVisible(control)) return;
  if (count_ == capacity_) {
    auto* grown = static_cast<HintEntry*>(realloc(hints_, (capacity_ + 8) * sizeof(HintEntry)));
    if (!grown) return;
    hints_ = grown;
    capacity_ += 8;
  }
  HintEntry& e = hints_[count_++];
  e.rect = r;
  wcsncpy(e.text, text ? text : L"", 249);
  e.text[249] = 0;
}

void CHintWindow::OnHintTimer(UINT_PTR timerId) {
  if (timerId != kTimerId) return;
  POINT cursor;
  if (!GetCursorPos(&cursor)) return;
  OnHintTick(cursor, GetForegroundWindow() == owner_, GetTickCount());
}

void CHintWindow::OnHintTick(POINT cursor, bool ownerInFront, DWORD now) {
  RECT owner = {};
  GetWindowRect(owner_, &owner);
  POINT mouse = {cursor.x - owner.left, cursor.y - owner.top};
  if (mouse.x == lastX_ && mouse.y == lastY_ && ownerInFront) {
    if (now - lastMove_ >= kRestMs && count_ && window_) {
      const HintEntry* hit = nullptr;
      for (uint32_t i = 0; i < count_ && !hit; ++i)
        if (PtInRect(&hints_[i].rect, mouse)) hit = &hints_[i];
      if (hit && !shown_) {
        wcsncpy(text_, hit->text, 249);
        text_[249] = 0;
        int width = 0, total = 0;
        lineHeight_ = 0;
        wchar_t line[250];
        for (int i = 0; GetHintLine(i, line); ++i) {
          SIZE s = {};
          GetTextExtentPoint32W(dc_, line, static_cast<int>(wcslen(line)), &s);
          if (s.cx > width) width = s.cx;
          if (s.cy > lineHeight_) lineHeight_ = s.cy;
          total += s.cy;
        }
        textRect_ = {0, 0, width + 6, total + 4};
        SIZE popup = {textRect_.right, textRect_.bottom};
        SIZE screen = {GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
        POINT at = PlaceHintPopup(cursor, popup, screen);
        SetWindowPos(window_, HWND_TOP, at.x, at.y, popup.cx, popup.cy, SWP_SHOWWINDOW | SWP_NOACTIVATE);
        InvalidateRect(window_, nullptr, FALSE);
        UpdateWindow(window_);
        shown_ = 1;
        ShowWindow(window_, SW_SHOWNOACTIVATE);
      }
    }
  } else {
    lastMove_ = now;
    if (shown_) {
      shown_ = 0;
      ShowWindow(window_, SW_HIDE);
    }
  }
  lastX_ = mouse.x;
  lastY_ = mouse.y;
}

void CHintWindow::Paint() {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window_, &ps);
  PrepareDC(dc);  // a paint DC starts with the defaults: the hint's font and colours again
  FillRect(dc, &textRect_, GetSysColorBrush(COLOR_INFOBK));
  Rectangle(dc, textRect_.left, textRect_.top, textRect_.right, textRect_.bottom);
  wchar_t line[250];
  for (int i = 0; GetHintLine(i, line); ++i)
    TextOutW(dc, 2, lineHeight_ * i + 2, line, static_cast<int>(wcslen(line)));
  EndPaint(window_, &ps);
}

LRESULT CALLBACK CHintWindow::HintWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<CHintWindow*>(GetWindowLongPtrW(hwnd, 0));
  if (self) {
    if (message == WM_PAINT) {
      self->Paint();
      return 0;
    }
    if (message == WM_TIMER) {
      self->OnHintTimer(wParam);
      return 0;
    }
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}
