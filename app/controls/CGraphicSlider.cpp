#include "app/controls/CGraphicSlider.h"

#include "common/SharedHelpers.h"

IMPLEMENT_DYNAMIC(CGraphicSlider, CStatic)

BEGIN_MESSAGE_MAP(CGraphicSlider, CStatic)
  ON_WM_LBUTTONDOWN()
  ON_WM_RBUTTONDOWN()
  ON_WM_CONTEXTMENU()
  ON_WM_MOUSEMOVE()
  ON_WM_LBUTTONUP()
END_MESSAGE_MAP()

namespace {
HBITMAP LoadSkinBitmap(const wchar_t* name) {
  return static_cast<HBITMAP>(
      LoadImageW(GetModuleHandleW(nullptr), name, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION | LR_VGACOLOR));
}

SIZE BitmapSize(HBITMAP bitmap) {
  BITMAP bm = {};
  if (bitmap) GetObjectW(bitmap, sizeof bm, &bm);
  return {bm.bmWidth, bm.bmHeight};
}

const BLENDFUNCTION kBlend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
}  // namespace

CGraphicSlider::~CGraphicSlider() { Release(); }

void CGraphicSlider::Release() {
  if (m_bitmapDC) {
    SelectObject(m_bitmapDC, bitmapDCDefault_);
    DeleteDC(m_bitmapDC);
    m_bitmapDC = nullptr;
  }
  if (m_backDC) {
    SelectObject(m_backDC, backDCDefault_);
    DeleteDC(m_backDC);
    m_backDC = nullptr;
  }
  for (HBITMAP* b : {&m_body, &m_tip, &m_backBitmap}) {
    if (*b) DeleteObject(*b);
    *b = nullptr;
  }
}

void CGraphicSlider::InitSlider() {
  Release();
  m_parent = ::GetParent(m_hWnd);
  m_body = LoadSkinBitmap(L"SLIDERBODY");
  m_tip = LoadSkinBitmap(L"SLIDERTIP");
  if (m_body) PremultiplyBitmapAlpha(m_body);
  if (m_tip) PremultiplyBitmapAlpha(m_tip);

  HDC screen = ::GetDC(nullptr);
  m_bitmapDC = CreateCompatibleDC(screen);
  bitmapDCDefault_ = GetCurrentObject(m_bitmapDC, OBJ_BITMAP);
  SIZE body = BitmapSize(m_body);
  m_width = body.cx;
  m_height = body.cy;
  m_backDC = CreateCompatibleDC(screen);
  m_backBitmap = CreateCompatibleBitmap(screen, m_width, m_height);
  backDCDefault_ = SelectObject(m_backDC, m_backBitmap);
  SIZE tip = BitmapSize(m_tip);
  m_tipWidth = tip.cx;
  m_tipHeight = tip.cy;
  SetWindowPos(nullptr, 0, 0, m_width, m_height, SWP_NOMOVE | SWP_NOOWNERZORDER | SWP_NOZORDER);
  ::ReleaseDC(nullptr, screen);
}

int CGraphicSlider::Percent() const {
  int travel = Travel();
  if (travel <= 0) return 0;
  return static_cast<int>(static_cast<float>(m_tipPosition) / static_cast<float>(travel) * 100.0f);
}

void CGraphicSlider::DrawItem(LPDRAWITEMSTRUCT item) {
  if (!m_backDC || !m_bitmapDC) return;
  CRect r;
  GetWindowRect(&r);
  ::MapWindowPoints(nullptr, m_parent, reinterpret_cast<POINT*>(&r), 2);
  if (m_backdropDC) ::BitBlt(m_backDC, 0, 0, m_width, m_height, m_backdropDC, r.left, r.top, SRCCOPY);
  if (m_body) {
    SelectObject(m_bitmapDC, m_body);
    ::AlphaBlend(m_backDC, 0, 0, m_width, m_height, m_bitmapDC, 0, 0, m_width, m_height, kBlend);
  }
  if (m_tip) {
    SelectObject(m_bitmapDC, m_tip);
    int y = m_height - static_cast<int>(m_tipPosition) - m_tipHeight - 7;
    ::AlphaBlend(m_backDC, (m_width - m_tipWidth) / 2, y, m_tipWidth, m_tipHeight, m_bitmapDC, 0, 0,
                 m_tipWidth, m_tipHeight, kBlend);
  }
  SelectObject(m_bitmapDC, bitmapDCDefault_);
  ::BitBlt(item->hDC, 0, 0, m_width, m_height, m_backDC, 0, 0, SRCCOPY);
}

void CGraphicSlider::SetThumbFromY(int y) {
  int half = m_tipHeight / 2;
  int lo = half + 6, hi = m_height - half - 7;
  if (y > hi) y = hi;
  if (y < lo) y = lo;  // a body too small to travel pins the tip at the bottom
  int position = m_height - half - y - 7;
  m_tipPosition = position > 0 ? static_cast<UINT>(position) : 0;
  ::PostMessageW(m_parent, WM_VSCROLL, MAKEWPARAM(SB_THUMBTRACK, Percent()),
                 reinterpret_cast<LPARAM>(m_hWnd));
}

void CGraphicSlider::OnLButtonDown(UINT, CPoint point) {
  SetThumbFromY(point.y);
  ::SetCapture(m_hWnd);
  Invalidate(TRUE);
}

void CGraphicSlider::OnMouseMove(UINT flags, CPoint point) {
  if (flags & MK_LBUTTON) SetThumbFromY(point.y);
  Invalidate(TRUE);
}

void CGraphicSlider::OnLButtonUp(UINT, CPoint) {
  ::ReleaseCapture();
  ::PostMessageW(m_parent, WM_VSCROLL, MAKEWPARAM(SB_ENDSCROLL, Percent()), reinterpret_cast<LPARAM>(m_hWnd));
}

void CGraphicSlider::OnRButtonDown(UINT, CPoint point) {
  ::PostMessageW(m_parent, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(m_hWnd), MAKELPARAM(point.x, point.y));
}
