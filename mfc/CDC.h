// Device contexts and GDI objects: each wrapper owns its handle unless it was attached.
#pragma once

#include <windows.h>

#include "mfc/CObject.h"
#include "mfc/CRect.h"

class CWnd;

class CGdiObject : public CObject {
  DECLARE_DYNAMIC(CGdiObject)
 public:
  CGdiObject() = default;
  ~CGdiObject() override { DeleteObject(); }
  HGDIOBJ m_hObject = nullptr;
  HGDIOBJ GetSafeHandle() const { return m_hObject; }
  bool Attach(HGDIOBJ object);
  HGDIOBJ Detach();
  bool DeleteObject();
  operator HGDIOBJ() const { return m_hObject; }
};

class CBitmap : public CGdiObject {
  DECLARE_DYNAMIC(CBitmap)
 public:
  // From the program's resources as a DIB section, so 32-bit alpha survives.
  bool LoadBitmap(LPCWSTR resourceName);
  bool CreateCompatibleBitmap(HDC dc, int width, int height);
  int GetBitmap(BITMAP* info) const;
  CSize GetSize() const;
  operator HBITMAP() const { return static_cast<HBITMAP>(m_hObject); }
};

class CFont : public CGdiObject {
  DECLARE_DYNAMIC(CFont)
 public:
  bool CreateFont(int height, int width, int escapement, int orientation, int weight, BYTE italic,
                  BYTE underline, BYTE strikeOut, BYTE charSet, BYTE outPrecision, BYTE clipPrecision,
                  BYTE quality, BYTE pitchAndFamily, LPCWSTR faceName);
  bool CreateFontIndirect(const LOGFONTW* font);
  operator HFONT() const { return static_cast<HFONT>(m_hObject); }
};

class CBrush : public CGdiObject {
  DECLARE_DYNAMIC(CBrush)
 public:
  bool CreateSolidBrush(COLORREF colour);
  operator HBRUSH() const { return static_cast<HBRUSH>(m_hObject); }
};

class CDC : public CObject {
  DECLARE_DYNAMIC(CDC)
 public:
  CDC() = default;
  ~CDC() override;
  HDC m_hDC = nullptr;
  HDC GetSafeHdc() const { return m_hDC; }
  operator HDC() const { return m_hDC; }

  bool Attach(HDC dc);
  HDC Detach();
  bool CreateCompatibleDC(CDC* reference);
  bool CreateCompatibleDC(HDC reference);
  bool DeleteDC();

  HGDIOBJ SelectObject(HGDIOBJ object) { return ::SelectObject(m_hDC, object); }
  HGDIOBJ SelectObject(CGdiObject* object) { return ::SelectObject(m_hDC, object->m_hObject); }
  bool BitBlt(int x, int y, int w, int h, HDC src, int sx, int sy, DWORD rop) {
    return ::BitBlt(m_hDC, x, y, w, h, src, sx, sy, rop) != FALSE;
  }
  // Source-over with per-pixel alpha: the source must be premultiplied.
  bool AlphaBlend(int x, int y, int w, int h, HDC src, int sx, int sy, int sw, int sh);
  bool TransparentBlt(int x, int y, int w, int h, HDC src, int sx, int sy, int sw, int sh, COLORREF key);
  COLORREF GetPixel(int x, int y) const { return ::GetPixel(m_hDC, x, y); }
  COLORREF SetTextColor(COLORREF c) { return ::SetTextColor(m_hDC, c); }
  COLORREF SetBkColor(COLORREF c) { return ::SetBkColor(m_hDC, c); }
  int SetBkMode(int mode) { return ::SetBkMode(m_hDC, mode); }
  UINT SetTextAlign(UINT align) { return ::SetTextAlign(m_hDC, align); }
  bool TextOut(int x, int y, LPCWSTR text, int n) { return ::TextOutW(m_hDC, x, y, text, n) != FALSE; }
  bool TextOut(int x, int y, LPCWSTR text);
  CSize GetTextExtent(LPCWSTR text, int n) const;
  void FillRect(LPCRECT rect, HBRUSH brush) { ::FillRect(m_hDC, rect, brush); }
  void FillSolidRect(LPCRECT rect, COLORREF colour);
  bool DrawIcon(int x, int y, HICON icon) { return ::DrawIcon(m_hDC, x, y, icon) != FALSE; }
  bool Rectangle(LPCRECT r) { return ::Rectangle(m_hDC, r->left, r->top, r->right, r->bottom) != FALSE; }

 protected:
  bool owned_ = false;  // created here (DeleteDC at destruction) rather than attached
};

// BeginPaint/EndPaint around the object's life.
class CPaintDC : public CDC {
  DECLARE_DYNAMIC(CPaintDC)
 public:
  explicit CPaintDC(CWnd* wnd);
  ~CPaintDC() override;
  PAINTSTRUCT m_ps = {};

 private:
  HWND hwnd_;
};

// GetDC/ReleaseDC around the object's life.
class CClientDC : public CDC {
  DECLARE_DYNAMIC(CClientDC)
 public:
  explicit CClientDC(CWnd* wnd);  // null: the screen
  ~CClientDC() override;

 private:
  HWND hwnd_;
};
