// Points, sizes and rectangles over the Win32 structs.
#pragma once

#include <windows.h>

class CPoint : public POINT {
 public:
  CPoint() {
    x = 0;
    y = 0;
  }
  CPoint(int px, int py) {
    x = px;
    y = py;
  }
  CPoint(POINT p) {
    x = p.x;
    y = p.y;
  }
  // Unpacks the signed 16-bit x and y of a mouse message's lParam.
  explicit CPoint(LPARAM packed) {
    x = static_cast<short>(LOWORD(packed));
    y = static_cast<short>(HIWORD(packed));
  }
  bool operator==(const POINT& o) const { return x == o.x && y == o.y; }
  CPoint operator-(const POINT& o) const { return CPoint(x - o.x, y - o.y); }
  CPoint operator+(const POINT& o) const { return CPoint(x + o.x, y + o.y); }
};

class CSize : public SIZE {
 public:
  CSize() {
    cx = 0;
    cy = 0;
  }
  CSize(int w, int h) {
    cx = w;
    cy = h;
  }
  CSize(SIZE s) {
    cx = s.cx;
    cy = s.cy;
  }
};

class CRect : public RECT {
 public:
  CRect() { left = top = right = bottom = 0; }
  CRect(int l, int t, int r, int b) {
    left = l;
    top = t;
    right = r;
    bottom = b;
  }
  CRect(const RECT& r) {
    left = r.left;
    top = r.top;
    right = r.right;
    bottom = r.bottom;
  }
  CRect(POINT topLeft, SIZE size) {
    left = topLeft.x;
    top = topLeft.y;
    right = left + size.cx;
    bottom = top + size.cy;
  }
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  CSize Size() const { return CSize(Width(), Height()); }
  CPoint TopLeft() const { return CPoint(left, top); }
  CPoint BottomRight() const { return CPoint(right, bottom); }
  bool IsRectEmpty() const { return right <= left || bottom <= top; }
  bool PtInRect(POINT p) const { return ::PtInRect(this, p) != FALSE; }
  void OffsetRect(int dx, int dy) { ::OffsetRect(this, dx, dy); }
  void OffsetRect(POINT d) { ::OffsetRect(this, d.x, d.y); }
  void SetRect(int l, int t, int r, int b) {
    left = l;
    top = t;
    right = r;
    bottom = b;
  }
  bool operator==(const RECT& o) const { return ::EqualRect(this, &o) != FALSE; }
  operator LPRECT() { return this; }
  operator LPCRECT() const { return this; }
};
