// Painting and the monitor table.
#include <cwchar>

#include "app/main/MainDlg.h"
#include "appdata/AppData.h"
#include "common/SharedHelpers.h"
#include "media/document/SoundDocument.h"

namespace {

constexpr BLENDFUNCTION kSourceOver = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};

}  // namespace

HDC CMainDlg::QueryBackdropDC(UINT_PTR tag) { return tag == kBackdropQueryTag ? m_skinDC : nullptr; }

BOOL CALLBACK CMainDlg::MonitorEnumCallback(HMONITOR, HDC, LPRECT rect, LPARAM dialog) {
  auto* self = reinterpret_cast<CMainDlg*>(dialog);
  if (self->m_monitors.count >= 2) return FALSE;
  self->m_monitors.rects[self->m_monitors.count++] = *rect;
  return TRUE;
}

HCURSOR CMainDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

void CMainDlg::OnPaint() {
  CPaintDC dc(this);
  if (IsIconic()) {
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    RECT client;
    GetClientRect(&client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc.GetSafeHdc(), x, y, m_hIcon);
    const wchar_t* name = GetEditionName();
    TextOutW(dc.GetSafeHdc(), 20, 5, name, static_cast<int>(wcsnlen(name, 13)));
    return;
  }
  PaintSkin(dc.GetSafeHdc());
}

void CMainDlg::PaintSkin(HDC target) {
  if (!m_backDC) return;
  AlphaBlend(m_backDC, 0, 0, m_skinWidth, m_skinHeight, m_skinDC, 0, 0, m_skinWidth, m_skinHeight,
             kSourceOver);
  if (m_logoBitmap) {
    HDC logoDC = CreateCompatibleDC(m_backDC);
    HGDIOBJ old = SelectObject(logoDC, m_logoBitmap);
    AlphaBlend(m_backDC, 10, 10, m_logoWidth, m_logoHeight, logoDC, 0, 0, m_logoWidth, m_logoHeight,
               kSourceOver);
    SelectObject(logoDC, old);
    DeleteDC(logoDC);
  }
  SetTextColor(m_backDC, RGB(0x80, 0x80, 0x80));
  SetBkMode(m_backDC, TRANSPARENT);
  SetTextAlign(m_backDC, TA_LEFT | TA_TOP);
  HGDIOBJ oldFont = SelectObject(m_backDC, static_cast<HFONT>(m_largeFont));
  int y = 10;
  if (m_logoHeight > 0) {
    SIZE text = {};
    GetTextExtentPoint32W(m_backDC, m_versionText, static_cast<int>(wcslen(m_versionText)), &text);
    y = m_logoHeight - text.cy + 12;
  }
  TextOutW(m_backDC, m_logoWidth + 20, y, m_versionText, static_cast<int>(wcslen(m_versionText)));
  SelectObject(m_backDC, static_cast<HFONT>(m_smallFont));
  SetTextColor(m_backDC, RGB(255, 255, 255));
  TextOutW(m_backDC, 463, 345, L"IN", 2);
  TextOutW(m_backDC, 482, 345, L"OUT", 3);
  SelectObject(m_backDC, oldFont);
  DrawChunkLengthClock();
  DrawPositionClock();
  BitBlt(target, 0, 0, m_skinWidth, m_skinHeight, m_backDC, 0, 0, SRCCOPY);
}
