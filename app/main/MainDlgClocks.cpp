// The chunk-length and position clocks and the chunk texts of the current chunks.
#include <string>

#include "app/main/MainDlg.h"
#include "app/main/TransportRules.h"
#include "appdata/AppData.h"
#include "media/document/SoundDocument.h"
#include "media/video/VideoManager.h"

namespace {

struct ClockPlace {
  int x, y;
  SIZE area;   // restored from the skin and drawn on
  SIZE shown;  // copied to the window
  int fontHeight, fontWidth;
  COLORREF colour;
};

constexpr ClockPlace kLengthClock = {190, 53, {70, 50}, {70, 20}, 20, 8, RGB(0, 0, 0)};
constexpr ClockPlace kPositionClock = {10, 195, {100, 50}, {100, 25}, 30, 12, RGB(255, 255, 255)};

// Draws the clock on the back buffer over the skin and copies it to the window.
void DrawClock(HDC back, HDC skin, HDC window, const ClockPlace& place, uint32_t ms) {
  BitBlt(back, place.x, place.y, place.area.cx, place.area.cy, skin, place.x, place.y, SRCCOPY);
  HFONT font =
      CreateFontW(place.fontHeight, place.fontWidth, 0, 0, 400, 0, 0, 0, ANSI_CHARSET, 0, 0, 0, 0, L"Arial");
  HGDIOBJ old = SelectObject(back, font);
  SetTextColor(back, place.colour);
  SetBkMode(back, TRANSPARENT);
  SetTextAlign(back, TA_LEFT | TA_TOP);
  const std::wstring text = ClockText(ms);
  TextOutW(back, place.x, place.y, text.c_str(), static_cast<int>(text.size()));
  SelectObject(back, old);
  if (window)
    BitBlt(window, place.x, place.y, place.shown.cx, place.shown.cy, back, place.x, place.y, SRCCOPY);
  DeleteObject(font);
}

}  // namespace

uint32_t CMainDlg::ChunkLengthClockMs() {
  if (m_videoMode) {
    VideoEntry entry = {};
    CVideoManager* video = AppData() ? AppData()->videoManager : nullptr;
    return video && video->GetCurrentEntry(&entry) ? entry.length : 0;
  }
  const CSoundDocument* master = Master();
  // A loading track belongs to its load thread.
  if (!master || master->loadThread) return 0;
  const CChunkInfo* chunk = master->GetCurrentChunk();
  return chunk ? ChunkLengthMs(chunk->frames, master->wavHeader.samplesPerSec) : 0;
}

uint32_t CMainDlg::PositionClockValueMs() {
  if (m_videoMode) {
    VideoEntry entry = {};
    CVideoManager* video = AppData() ? AppData()->videoManager : nullptr;
    return video && video->GetCurrentEntry(&entry) ? entry.position : 0;
  }
  const CSoundDocument* master = Master();
  return master && !master->loadThread
             ? PositionClockMs(master->playPosition.load(), master->wavHeader.samplesPerSec)
             : 0;
}

void CMainDlg::DrawChunkLengthClock() {
  if (m_backDC) DrawClock(m_backDC, m_skinDC, m_dialogDC, kLengthClock, ChunkLengthClockMs());
}

void CMainDlg::DrawPositionClock() {
  if (m_backDC) DrawClock(m_backDC, m_skinDC, m_dialogDC, kPositionClock, PositionClockValueMs());
}

void CMainDlg::ShowChunkTexts() {
  struct {
    const CSoundDocument* track;
    COwnClipboardEdit* edit;
  } sides[] = {{Master(), &m_masterText}, {Student(), &m_studentText}};
  // Showing a text is no edit of it.
  m_showingTexts = true;
  for (auto& side : sides) {
    if (!side.edit->m_hWnd) continue;
    // A loading track belongs to its load thread.
    const bool shown = side.track && side.track->textsPresent && !side.track->loadThread;
    const CChunkInfo* chunk = shown ? side.track->GetCurrentChunk() : nullptr;
    // A current index outside the list shows no text rather than failing.
    side.edit->SetWindowText(chunk ? chunk->text.c_str() : L"");
  }
  m_showingTexts = false;
}
