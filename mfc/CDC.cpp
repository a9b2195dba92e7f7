#include "mfc/CDC.h"

#include <cwchar>

#include "mfc/CWnd.h"

IMPLEMENT_DYNAMIC(CGdiObject, CObject)
IMPLEMENT_DYNAMIC(CBitmap, CGdiObject)
IMPLEMENT_DYNAMIC(CFont, CGdiObject)
IMPLEMENT_DYNAMIC(CBrush, CGdiObject)
IMPLEMENT_DYNAMIC(CDC, CObject)
IMPLEMENT_DYNAMIC(CPaintDC, CDC)
IMPLEMENT_DYNAMIC(CClientDC, CDC)

bool CGdiObject::Attach(HGDIOBJ object) {
  if (m_hObject || !object) return false;
  m_hObject = object;
  return true;
}

HGDIOBJ CGdiObject::Detach() {
  HGDIOBJ h = m_hObject;
  m_hObject = nullptr;
  return h;
}

bool CGdiObject::DeleteObject() {
  if (!m_hObject) return false;
  bool ok = ::DeleteObject(m_hObject) != FALSE;
  m_hObject = nullptr;
  return ok;
}

bool CBitmap::LoadBitmap(LPCWSTR resourceName) {
  DeleteObject();
  m_hObject = ::LoadImageW(GetModuleHandleW(nullptr), resourceName, IMAGE_BITMAP, 0, 0,
                           LR_CREATEDIBSECTION | LR_VGACOLOR);
  return m_hObject != nullptr;
}

bool CBitmap::CreateCompatibleBitmap(HDC dc, int width, int height) {
  DeleteObject();
  m_hObject = ::CreateCompatibleBitmap(dc, width, height);
  return m_hObject != nullptr;
}

int CBitmap::GetBitmap(BITMAP* info) const {
  return m_hObject ? ::GetObjectW(m_hObject, sizeof(BITMAP), info) : 0;
}

CSize CBitmap::GetSize() const {
  BITMAP bm = {};
  if (!GetBitmap(&bm)) return CSize();
  return CSize(bm.bmWidth, bm.bmHeight);
}

bool CFont::CreateFont(int height, int width, int escapement, int orientation, int weight, BYTE italic,
                       BYTE underline, BYTE strikeOut, BYTE charSet, BYTE outPrecision, BYTE clipPrecision,
                       BYTE quality, BYTE pitchAndFamily, LPCWSTR faceName) {
  DeleteObject();
  m_hObject = ::CreateFontW(height, width, escapement, orientation, weight, italic, underline, strikeOut,
                            charSet, outPrecision, clipPrecision, quality, pitchAndFamily, faceName);
  return m_hObject != nullptr;
}

bool CFont::CreateFontIndirect(const LOGFONTW* font) {
  DeleteObject();
  m_hObject = ::CreateFontIndirectW(font);
  return m_hObject != nullptr;
}

bool CBrush::CreateSolidBrush(COLORREF colour) {
  DeleteObject();
  m_hObject = ::CreateSolidBrush(colour);
  return m_hObject != nullptr;
}

CDC::~CDC() {
  if (owned_) DeleteDC();
}

bool CDC::Attach(HDC dc) {
  if (m_hDC || !dc) return false;
  m_hDC = dc;
  owned_ = false;
  return true;
}

HDC CDC::Detach() {
  HDC dc = m_hDC;
  m_hDC = nullptr;
  owned_ = false;
  return dc;
}

bool CDC::CreateCompatibleDC(CDC* reference) {
  return CreateCompatibleDC(reference ? reference->m_hDC : nullptr);
}

bool CDC::CreateCompatibleDC(HDC reference) {
  if (m_hDC) return false;
  m_hDC = ::CreateCompatibleDC(reference);
  owned_ = m_hDC != nullptr;
  return owned_;
}

bool CDC::DeleteDC() {
  if (!m_hDC) return false;
  bool ok = ::DeleteDC(m_hDC) != FALSE;
  m_hDC = nullptr;
  owned_ = false;
  return ok;
}

bool CDC::AlphaBlend(int x, int y, int w, int h, HDC src, int sx, int sy, int sw, int sh) {
  BLENDFUNCTION bf = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  return ::AlphaBlend(m_hDC, x, y, w, h, src, sx, sy, sw, sh, bf) != FALSE;
}

bool CDC::TransparentBlt(int x, int y, int w, int h, HDC src, int sx, int sy, int sw, int sh, COLORREF key) {
  return ::TransparentBlt(m_hDC, x, y, w, h, src, sx, sy, sw, sh, key) != FALSE;
}

bool CDC::TextOut(int x, int y, LPCWSTR text) {
  return ::TextOutW(m_hDC, x, y, text, static_cast<int>(wcslen(text))) != FALSE;
}

CSize CDC::GetTextExtent(LPCWSTR text, int n) const {
  SIZE s = {};
  ::GetTextExtentPoint32W(m_hDC, text, n, &s);
  return CSize(s);
}

void CDC::FillSolidRect(LPCRECT rect, COLORREF colour) {
  COLORREF old = ::SetBkColor(m_hDC, colour);
  ::ExtTextOutW(m_hDC, 0, 0, ETO_OPAQUE, rect, nullptr, 0, nullptr);
  ::SetBkColor(m_hDC, old);
}

CPaintDC::CPaintDC(CWnd* wnd) : hwnd_(wnd->GetSafeHwnd()) { m_hDC = ::BeginPaint(hwnd_, &m_ps); }
CPaintDC::~CPaintDC() {
  ::EndPaint(hwnd_, &m_ps);
  m_hDC = nullptr;
}

CClientDC::CClientDC(CWnd* wnd) : hwnd_(wnd ? wnd->GetSafeHwnd() : nullptr) { m_hDC = ::GetDC(hwnd_); }
CClientDC::~CClientDC() {
  ::ReleaseDC(hwnd_, m_hDC);
  m_hDC = nullptr;
}
