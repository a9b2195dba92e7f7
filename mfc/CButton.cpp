#include "mfc/CButton.h"

IMPLEMENT_DYNAMIC(CButton, CWnd)
IMPLEMENT_DYNAMIC(CBitmapButton, CButton)

BOOL CButton::OnChildNotify(UINT message, WPARAM, LPARAM lParam, LRESULT* result) {
  if (message != WM_DRAWITEM) return FALSE;
  DrawItem(reinterpret_cast<LPDRAWITEMSTRUCT>(lParam));
  if (result) *result = TRUE;
  return TRUE;
}

static void LoadOne(CBitmap& bitmap, LPCWSTR name) {
  bitmap.DeleteObject();
  if (name) bitmap.LoadBitmap(name);
}

BOOL CBitmapButton::LoadBitmaps(LPCWSTR normal, LPCWSTR selected, LPCWSTR focus, LPCWSTR disabled) {
  LoadOne(m_bitmap, normal);
  LoadOne(m_bitmapSel, selected);
  LoadOne(m_bitmapFocus, focus);
  LoadOne(m_bitmapDisabled, disabled);
  return m_bitmap.GetSafeHandle() != nullptr;
}

void CBitmapButton::SizeToContent() {
  CSize size = m_bitmap.GetSize();
  if (size.cx && size.cy)
    SetWindowPos(nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CBitmapButton::DrawItem(LPDRAWITEMSTRUCT item) {
  CBitmap* bitmap = &m_bitmap;
  if ((item->itemState & ODS_SELECTED) && m_bitmapSel.GetSafeHandle())
    bitmap = &m_bitmapSel;
  else if ((item->itemState & ODS_FOCUS) && m_bitmapFocus.GetSafeHandle())
    bitmap = &m_bitmapFocus;
  else if ((item->itemState & ODS_DISABLED) && m_bitmapDisabled.GetSafeHandle())
    bitmap = &m_bitmapDisabled;
  if (!bitmap->GetSafeHandle()) return;
  HDC mem = CreateCompatibleDC(item->hDC);
  HGDIOBJ old = ::SelectObject(mem, *bitmap);
  const RECT& r = item->rcItem;
  ::BitBlt(item->hDC, r.left, r.top, r.right - r.left, r.bottom - r.top, mem, 0, 0, SRCCOPY);
  ::SelectObject(mem, old);
  DeleteDC(mem);
}
