#include "app/controls/CTransparentButton.h"

#include <commctrl.h>

#include "common/SharedHelpers.h"

IMPLEMENT_DYNAMIC(CTransparentButton, CBitmapButton)

BEGIN_MESSAGE_MAP(CTransparentButton, CBitmapButton)
  ON_WM_RBUTTONDOWN()
  ON_WM_CONTEXTMENU()
END_MESSAGE_MAP()

namespace {
HBITMAP LoadFace(const std::wstring& name) {
  return static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), name.c_str(), IMAGE_BITMAP, 0, 0,
                                         LR_CREATEDIBSECTION | LR_VGACOLOR));
}

// Premultiplies a face that has alpha; true when it does.
bool PrepareFace(HBITMAP face) {
  if (!face || !BitmapHasAlpha(face)) return false;
  PremultiplyBitmapAlpha(face);
  return true;
}

SIZE BitmapSize(HBITMAP bitmap) {
  BITMAP bm = {};
  if (bitmap) GetObjectW(bitmap, sizeof bm, &bm);
  return {bm.bmWidth, bm.bmHeight};
}
}  // namespace

CTransparentButton::~CTransparentButton() { ReleaseFaces(); }

void CTransparentButton::ReleaseFaces() {
  if (m_faceDC) {
    SelectObject(m_faceDC, faceDCDefault_);
    DeleteDC(m_faceDC);
    m_faceDC = nullptr;
  }
  if (m_backDC) {
    SelectObject(m_backDC, backDCDefault_);
    DeleteDC(m_backDC);
    m_backDC = nullptr;
  }
  for (HBITMAP* b : {&m_normalFace, &m_pressedFace, &m_backBitmap}) {
    if (*b) DeleteObject(*b);
    *b = nullptr;
  }
  m_normalHasAlpha = m_pressedHasAlpha = false;
  loadedStem_.clear();
}

BOOL CTransparentButton::LoadButtonFaces(UINT id, CWnd* parent) {
  if (!m_hWnd && !SubclassDlgItem(id, parent)) return FALSE;
  m_controlId = id;
  wchar_t text[256] = {};
  GetWindowText(text, 256);
  std::wstring stem = text;
  if (!stem.empty() && stem == loadedStem_ && m_pressedLook == loadedLook_) return TRUE;

  ReleaseFaces();
  std::wstring up = stem + L"U", down = stem + L"D";
  LoadBitmaps(up.c_str(), down.c_str(), (stem + L"F").c_str(), (stem + L"X").c_str());
  m_normalFace = LoadFace(m_pressedLook ? down : up);
  m_pressedFace = LoadFace(m_pressedLook ? up : down);
  if (!m_bitmap.GetSafeHandle()) return FALSE;

  m_normalHasAlpha = PrepareFace(m_normalFace);
  m_pressedHasAlpha = PrepareFace(m_pressedFace);

  HDC screen = ::GetDC(nullptr);
  m_faceDC = CreateCompatibleDC(screen);
  faceDCDefault_ = GetCurrentObject(m_faceDC, OBJ_BITMAP);
  m_backDC = CreateCompatibleDC(screen);
  SIZE size = BitmapSize(m_normalFace);
  m_backBitmap = CreateCompatibleBitmap(screen, size.cx, size.cy);
  backDCDefault_ = SelectObject(m_backDC, m_backBitmap);
  ::ReleaseDC(nullptr, screen);

  loadedStem_ = stem;
  loadedLook_ = m_pressedLook;
  SizeToContent();
  return TRUE;
}

void CTransparentButton::TogglePressedLook() {
  m_pressedLook = m_pressedLook ? 0 : 1;
  std::swap(m_normalFace, m_pressedFace);
  std::swap(m_normalHasAlpha, m_pressedHasAlpha);
  if (!loadedStem_.empty()) loadedLook_ = m_pressedLook;
}

void CTransparentButton::DrawItem(LPDRAWITEMSTRUCT item) {
  HBITMAP face = m_normalFace;
  bool alpha = m_normalHasAlpha;
  if ((item->itemState & ODS_SELECTED) && m_pressedFace) {
    face = m_pressedFace;
    alpha = m_pressedHasAlpha;
  }
  if (!face || !m_faceDC || !m_backDC) return;  // no faces: nothing to show
  SelectObject(m_faceDC, face);
  SIZE size = BitmapSize(face);

  CWnd* parent = GetParent();
  if (HDC skin = parent ? parent->QueryBackdropDC(kBackdropQueryTag) : nullptr) {
    CRect r;
    GetWindowRect(&r);
    parent->ScreenToClient(&r);
    ::BitBlt(m_backDC, 0, 0, size.cx, size.cy, skin, r.left, r.top, SRCCOPY);
  }
  const RECT& ir = item->rcItem;
  int w = ir.right - ir.left, h = ir.bottom - ir.top;
  if (alpha) {
    BLENDFUNCTION bf = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    ::AlphaBlend(m_backDC, ir.left, ir.top, w, h, m_faceDC, 0, 0, size.cx, size.cy, bf);
  } else {
    COLORREF key = ::GetPixel(m_faceDC, 0, 0);
    ::TransparentBlt(m_backDC, ir.left, ir.top, w, h, m_faceDC, 0, 0, size.cx, size.cy, key);
  }
  ::BitBlt(item->hDC, ir.left, ir.top, w, h, m_backDC, 0, 0, SRCCOPY);
  SelectObject(m_faceDC, faceDCDefault_);
}

void CTransparentButton::OnRButtonDown(UINT flags, CPoint point) {
  NMHDR hdr = {m_hWnd, m_controlId, static_cast<UINT>(NM_RCLICK)};
  if (CWnd* parent = GetParent()) parent->SendMessage(WM_NOTIFY, m_controlId, reinterpret_cast<LPARAM>(&hdr));
  Default();
}
