// Painting, the clocks, the chunk texts and the monitor table.
#include <cwchar>

#include "app/main/MainDlg.h"
#include "appdata/AppData.h"
#include "common/SharedHelpers.h"
#include "media/document/SoundDocument.h"

namespace {

constexpr BLENDFUNCTION kSourceOver = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};

void FormatClock(uint32_t ms, wchar_t* out, size_t size) {
  swprintf(out, size, L"%02u:%02u:%01u", ms / 60000, (ms % 60000) / 1000, (ms % 60000 % 1000) / 100);
}

// Draws `text` on the back buffer over the skin's rectangle and copies a part to the window.
void DrawClock(HDC back, HDC skin, HDC window, int x, int y, SIZE restore, SIZE copy, int fontHeight,
               int fontWidth, COLORREF colour, uint32_t ms) {
  BitBlt(back, x, y, restore.cx, restore.cy, skin, x, y, SRCCOPY);
  HFONT font = CreateFontW(fontHeight, fontWidth, 0, 0, 400, 0, 0, 0, ANSI_CHARSET, 0, 0, 0, 0, L"Arial");
  HGDIOBJ old = SelectObject(back, font);
  SetTextColor(back, colour);
  SetBkMode(back, TRANSPARENT);
  SetTextAlign(back, TA_LEFT | TA_TOP);
  wchar_t text[32];
  FormatClock(ms, text, 32);
  TextOutW(back, x, y, text, static_cast<int>(wcslen(text)));
  SelectObject(back, old);
  if (window) BitBlt(window, x, y, copy.cx, copy.cy, back, x, y, SRCCOPY);
  DeleteObject(font);
}

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

void CMainDlg::DrawChunkLengthClock() {
  if (!m_backDC) return;
  uint32_t ms = 0;
  const CSoundDocument* master = Master();
  // The video manager's entry length comes here in video mode once it exists.
  if (!m_videoMode && master) {
    const CChunkInfo* chunk = master->GetCurrentChunk();
    const uint32_t rate = master->wavHeader.samplesPerSec;
    if (chunk && rate) ms = static_cast<uint32_t>(static_cast<uint64_t>(chunk->frames) * 1000 / rate);
  }
  DrawClock(m_backDC, m_skinDC, m_dialogDC, 190, 53, SIZE{60, 50}, SIZE{70, 20}, 20, 8, RGB(0, 0, 0), ms);
}

void CMainDlg::DrawPositionClock() {
  if (!m_backDC) return;
  uint32_t ms = 0;
  const CSoundDocument* master = Master();
  if (!m_videoMode && master) {
    const uint32_t rate = master->wavHeader.samplesPerSec;
    if (rate) ms = (master->playPosition.load() * 10 / rate) * 100;
  }
  DrawClock(m_backDC, m_skinDC, m_dialogDC, 10, 195, SIZE{100, 50}, SIZE{100, 25}, 30, 12, RGB(255, 255, 255),
            ms);
}

void CMainDlg::ShowChunkTexts() {
  struct {
    const CSoundDocument* track;
    COwnClipboardEdit* edit;
  } sides[] = {{Master(), &m_masterText}, {Student(), &m_studentText}};
  for (auto& side : sides) {
    const CChunkInfo* chunk =
        side.track && side.track->textsPresent ? side.track->GetCurrentChunk() : nullptr;
    // A current index outside the list shows no text rather than failing.
    side.edit->SetWindowText(chunk ? chunk->text.c_str() : L"");
  }
}
