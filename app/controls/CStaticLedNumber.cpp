#include "app/controls/CStaticLedNumber.h"

#include "common/SharedHelpers.h"

IMPLEMENT_DYNAMIC(CStaticLedNumber, CStatic)

void CStaticLedNumber::SetDigitStrip(HBITMAP strip) {
  m_strip = strip;
  m_digitWidth = m_digitHeight = 0;
  if (!strip) return;
  PremultiplyBitmapAlpha(strip);
  if (!m_digitDC.GetSafeHdc()) {
    HDC screen = ::GetDC(nullptr);
    m_digitDC.CreateCompatibleDC(screen);
    ::ReleaseDC(nullptr, screen);
  }
  m_digitDC.SelectObject(strip);
  BITMAP bm = {};
  GetObjectW(strip, sizeof bm, &bm);
  m_digitWidth = bm.bmWidth / 10;
  m_digitHeight = bm.bmHeight;
}

int CStaticLedNumber::ShownValue() const {
  int limit = 1;
  for (int i = 0; i < m_digits && limit < 1000000000; ++i) limit *= 10;
  if (m_value < 0) return 0;
  return m_value >= limit ? limit - 1 : m_value;
}

void CStaticLedNumber::DrawItem(LPDRAWITEMSTRUCT item) {
  CDC dc;
  dc.Attach(item->hDC);
  CRect r;
  GetWindowRect(&r);
  ::MapWindowPoints(nullptr, ::GetParent(m_hWnd), reinterpret_cast<POINT*>(&r), 2);
  m_x = r.left;
  m_y = r.top;
  m_cx = r.Width();
  m_cy = r.Height();
  if (m_strip && m_digitDC.GetSafeHdc()) {
    if (m_backdropDC) dc.BitBlt(0, 0, m_cx, m_cy, m_backdropDC, m_x, m_y, SRCCOPY);
    int value = ShownValue();
    int divisor = 1;
    for (int i = 1; i < m_digits; ++i) divisor *= 10;
    for (int i = 0; i < m_digits; ++i, divisor /= 10) {
      int digit = value / divisor;
      value %= divisor;
      dc.AlphaBlend(i * m_digitWidth, 0, m_digitWidth, m_digitHeight, m_digitDC, digit * m_digitWidth, 0,
                    m_digitWidth, m_digitHeight);
    }
  }
  dc.Detach();
}
