// The waveform window under Xvfb: class, layout and position bar, then the mouse and bar tables
// driven by posted messages.
#include "media/waveform/tests/WaveformTestSupport.h"

namespace {

RECT RectIn(HWND window, HWND parent) {
  RECT r;
  GetWindowRect(window, &r);
  MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

}  // namespace

using WaveformWindowTest = WaveformHostTest;

TEST_F(WaveformWindowTest, ClassLayoutAndPositionBar) {
  WNDCLASSW wc = {};
  ASSERT_TRUE(GetClassInfoW(GetModuleHandleW(nullptr), L"WaveformWindow", &wc));
  EXPECT_EQ(wc.lpfnWndProc, &CSoundDocument::WaveformWndProc);
  EXPECT_EQ(wc.cbWndExtra, 4);
  EXPECT_EQ(wc.style, 0u);
  EXPECT_EQ(wc.hbrBackground, nullptr);
  EXPECT_EQ(GetWindowLongPtrW(doc->waveformWindow, 0), reinterpret_cast<LONG_PTR>(doc));
  EXPECT_EQ(GetParent(doc->waveformWindow), host);
  EXPECT_EQ(GetWindowLongW(doc->waveformWindow, GWL_STYLE) & WS_CHILD, WS_CHILD);

  const RECT wave = RectIn(doc->waveformWindow, host);
  EXPECT_EQ(wave.left, kX);
  EXPECT_EQ(wave.top, kY);
  EXPECT_EQ(wave.right - wave.left, kWidth);
  EXPECT_EQ(wave.bottom - wave.top, 66);
  const RECT bar = RectIn(doc->positionBar, doc->waveformWindow);
  EXPECT_EQ(bar.left, 0);
  EXPECT_EQ(bar.top, 59);
  EXPECT_EQ(bar.right, kWidth);
  EXPECT_EQ(bar.bottom, 66);
  wchar_t name[64] = {};
  GetClassNameW(doc->positionBar, name, 64);
  EXPECT_STREQ(name, L"msctls_progress32");
  EXPECT_TRUE(IsWindowVisible(doc->positionBar));
  EXPECT_EQ(doc->backgroundRect.left, kX);
  EXPECT_EQ(doc->backgroundRect.top, kY);
  EXPECT_EQ(doc->backgroundRect.bottom - doc->backgroundRect.top, 52);

  // The second track reuses the class; its window stays hidden until the dialog shows it.
  CSoundDocument student(0, UniqueTrackName(L"WaveStudent"), nullptr);
  student.viewWidth = 342;
  student.viewHeight = 52;
  ASSERT_TRUE(student.CreateWaveformWindow(host, 88, 110, 342, 0));
  EXPECT_FALSE(IsWindowVisible(student.waveformWindow));
  EXPECT_EQ(RectIn(student.waveformWindow, host).right, 88 + 342);
}

// What reaches the screen: every draw copies the composite picture to the window, and a paint
// puts it back after something else drew over the window.
TEST_F(WaveformWindowTest, WindowShowsTheCompositePictureAndRepaintsIt) {
  std::vector<int16_t> samples(64 * 600);
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = int16_t((i & 1) ? -(int(i) % 30000) : int(i) % 30000);
  CurrentChunk(samples);
  doc->RedrawWaveform(0, 64);
  doc->selectionStartFrame = 64 * 50;
  doc->cursorFrame = 64 * 80;
  doc->playPosition = 64 * 120;
  doc->DrawSelectionAndCursor(nullptr);
  Pump();
  const PixelGrab comp = Composite();
  auto same = [&](const PixelGrab& shown) {
    for (int y = 0; y < 52; ++y)
      for (int x = 0; x < kWidth; ++x)
        if (shown.At(x, y) != comp.At(x, y)) return testing::AssertionFailure() << "pixel " << x << "," << y;
    return testing::AssertionSuccess();
  };
  HDC window = GetDC(doc->waveformWindow);
  EXPECT_TRUE(same(PixelGrab(window, kWidth, 52)));
  PatBlt(window, 0, 0, kWidth, 52, BLACKNESS);
  EXPECT_FALSE(same(PixelGrab(window, kWidth, 52)));
  InvalidateRect(doc->waveformWindow, nullptr, FALSE);
  UpdateWindow(doc->waveformWindow);
  EXPECT_TRUE(same(PixelGrab(window, kWidth, 52)));
  ReleaseDC(doc->waveformWindow, window);
}

TEST_F(WaveformWindowTest, DestroyedWindowLeavesNoDanglingHandles) {
  CurrentChunk(std::vector<int16_t>(6400, 100));
  HWND bar = doc->positionBar;
  DestroyWindow(doc->waveformWindow);
  EXPECT_EQ(doc->waveView.windowDC, nullptr);
  EXPECT_EQ(doc->positionBar, nullptr);
  EXPECT_EQ(doc->waveformWindow, nullptr);
  EXPECT_FALSE(IsWindow(bar));
  // Drawing afterwards touches only the memory DCs.
  doc->RedrawWaveform(0, 64);
  doc->DrawSelectionAndCursor(nullptr);
  EXPECT_EQ(doc->viewLengthFrames, 6400u);
}

TEST_F(WaveformWindowTest, WindowOutlivingItsDocumentIsDetached) {
  auto* other = new CSoundDocument(0, UniqueTrackName(L"WaveGone"), nullptr);
  other->viewWidth = 100;
  other->viewHeight = 52;
  ASSERT_TRUE(other->CreateWaveformWindow(host, 0, 0, 100, 0));
  HWND window = other->waveformWindow;
  delete other;
  EXPECT_FALSE(IsWindow(window));
}

// Left button: press sets the selection start and the cursor, a drag moves the cursor, a
// release after a drag to the left leaves an empty selection; x under capture may be negative.
TEST_F(WaveformWindowTest, LeftButtonTable) {
  CurrentChunk(std::vector<int16_t>(64 * 1000, 0));
  doc->SelectChunk(0);
  doc->RedrawWaveform(64 * 10, 64);
  TakeNotified();
  HWND w = doc->waveformWindow;
  const uint32_t v = doc->viewStartFrame;
  struct Step {
    UINT message;
    WPARAM keys;
    int x;
    uint32_t selection, cursor;
  };
  const std::vector<Step> steps = {
      {WM_LBUTTONDOWN, MK_LBUTTON, 40, v + 40 * 64, v + 40 * 64},
      {WM_MOUSEMOVE, MK_LBUTTON, 100, v + 40 * 64, v + 100 * 64},
      {WM_MOUSEMOVE, 0, 300, v + 40 * 64, v + 100 * 64},  // no button: nothing
      {WM_LBUTTONUP, 0, 100, v + 40 * 64, v + 100 * 64},
      {WM_LBUTTONDOWN, MK_LBUTTON, 50, v + 50 * 64, v + 50 * 64},
      {WM_MOUSEMOVE, MK_LBUTTON, 20, v + 50 * 64, v + 20 * 64},
      {WM_LBUTTONUP, 0, 20, v + 20 * 64, v + 20 * 64},       // dragged left: empty
      {WM_LBUTTONDOWN, MK_LBUTTON, -30, v, v},               // clamped to column 0
      {WM_MOUSEMOVE, MK_LBUTTON, 5000, v, v + kWidth * 64},  // clamped to the view
      {WM_LBUTTONUP, 0, 5000, v, v + kWidth * 64},
  };
  for (size_t i = 0; i < steps.size(); ++i) {
    Post(w, steps[i].message, steps[i].keys, steps[i].x);
    EXPECT_EQ(doc->selectionStartFrame, steps[i].selection) << "step " << i;
    EXPECT_EQ(doc->cursorFrame.load(), steps[i].cursor) << "step " << i;
    EXPECT_EQ(BarPos(), LRESULT(steps[i].cursor)) << "step " << i;
  }
  EXPECT_EQ(TakeNotified(), std::vector<int>(3, NOTIFY_POSITION_SET));
  EXPECT_EQ(GetCapture(), nullptr);
  // Near the end of a short chunk the cursor stops at its last frame.
  doc->RedrawWaveform(64 * 900, 64);
  Post(w, WM_LBUTTONDOWN, MK_LBUTTON, 400);
  EXPECT_EQ(doc->cursorFrame.load(), 64u * 1000);
  Post(w, WM_LBUTTONUP, 0, 400);
}

TEST_F(WaveformWindowTest, CtrlClickInsertsABookmarkAtTheClick) {
  CurrentChunk(std::vector<int16_t>(64 * 1000, 0));
  doc->SelectChunk(0);
  doc->RedrawWaveform(0, 64);
  TakeNotified();
  Post(doc->waveformWindow, WM_LBUTTONDOWN, MK_LBUTTON | MK_CONTROL, 100);
  Post(doc->waveformWindow, WM_LBUTTONUP, 0, 100);
  ASSERT_EQ(doc->GetChunkCount(), 2);
  EXPECT_EQ(doc->GetChunk(0)->frames, 6400u);
  EXPECT_EQ(doc->GetChunk(1)->frames, 64u * 900);
  EXPECT_EQ(doc->currentChunk.load(), 0);
  EXPECT_EQ(doc->cursorFrame.load(), 0u);
  EXPECT_EQ(TakeNotified(), (std::vector<int>{NOTIFY_POSITION_SET, NOTIFY_CHUNK_IDLE}));
}

// Right-drag scrolls: to the left shows later frames and stops at the chunk's end, to the right
// stops at frame 0; without a chunk nothing happens.
TEST_F(WaveformWindowTest, RightDragTable) {
  HWND w = doc->waveformWindow;
  Post(w, WM_RBUTTONDOWN, MK_RBUTTON, 200);
  Post(w, WM_MOUSEMOVE, MK_RBUTTON, 100);
  Post(w, WM_RBUTTONUP, 0, 100);
  EXPECT_EQ(doc->viewStartFrame, 0u);
  EXPECT_EQ(doc->waveView.rightDragAnchor, CWaveformView::kNoDrag);

  CurrentChunk(std::vector<int16_t>(64 * 1000, 0));
  doc->SelectChunk(0);
  doc->RedrawWaveform(64 * 100, 64);
  struct Step {
    UINT message;
    int x;
    uint32_t viewStart;
  };
  const uint32_t end = 64 * (1000 - kWidth);
  const std::vector<Step> steps = {
      {WM_RBUTTONDOWN, 300, 64 * 100}, {WM_MOUSEMOVE, 250, 64 * 150},  // left by 50 columns: 50 columns later
      {WM_MOUSEMOVE, 350, 64 * 50},                                    // right by 100
      {WM_MOUSEMOVE, 500, 0},                                          // stops at frame 0
      {WM_MOUSEMOVE, -200, end},  // far left under capture: stops at the end
      {WM_MOUSEMOVE, -900, end},       {WM_RBUTTONUP, -900, end},
      {WM_MOUSEMOVE, 0, end},  // no drag any more
  };
  for (size_t i = 0; i < steps.size(); ++i) {
    Post(w, steps[i].message, steps[i].message == WM_RBUTTONUP ? 0 : MK_RBUTTON, steps[i].x);
    EXPECT_EQ(doc->viewStartFrame, steps[i].viewStart) << "step " << i;
  }
  EXPECT_EQ(GetCapture(), nullptr);
}

// A click at three quarters of the bar on a chunk of 10,000 frames puts the cursor at 7,500 and,
// when not playing, scrolls it a third of the view from the left edge.
TEST_F(WaveformWindowTest, PositionBarClicks) {
  CurrentChunk(std::vector<int16_t>(10000, 0));
  doc->SelectChunk(0);
  doc->RedrawWaveform(0, 8);
  TakeNotified();
  struct Case {
    int x;
    uint32_t cursor, viewStart;
  };
  const uint32_t third = kWidth * 8 / 3;  // 1306 frames
  const std::vector<Case> cases = {
      {kWidth * 3 / 4, uint32_t(10000.0 * (kWidth * 3 / 4) / kWidth), (7489 - third) / 8 * 8},
      {10, uint32_t(10000.0 * 10 / kWidth), 0},
      {-40, 0, 0},  // under capture left of the bar
      {kWidth + 100, 10000, (10000 - third) / 8 * 8},
  };
  for (const Case& c : cases) {
    Post(doc->positionBar, WM_LBUTTONDOWN, MK_LBUTTON, c.x, 3);
    Post(doc->positionBar, WM_LBUTTONUP, 0, c.x, 3);
    EXPECT_EQ(doc->cursorFrame.load(), c.cursor) << c.x;
    EXPECT_EQ(BarPos(), LRESULT(c.cursor)) << c.x;
    EXPECT_EQ(doc->viewStartFrame, c.viewStart) << c.x;
  }
  EXPECT_EQ(TakeNotified(), std::vector<int>(cases.size(), NOTIFY_POSITION_SET));
  // Dragging on the bar repeats the click; the release ends the capture.
  Post(doc->positionBar, WM_LBUTTONDOWN, MK_LBUTTON, 10, 3);
  EXPECT_EQ(GetCapture(), doc->positionBar);
  Post(doc->positionBar, WM_MOUSEMOVE, MK_LBUTTON, kWidth / 2, 3);
  EXPECT_EQ(doc->cursorFrame.load(), 5000u);
  Post(doc->positionBar, WM_MOUSEMOVE, 0, kWidth / 4, 3);
  EXPECT_EQ(doc->cursorFrame.load(), 5000u);
  Post(doc->positionBar, WM_LBUTTONUP, 0, kWidth / 4, 3);
  EXPECT_EQ(GetCapture(), nullptr);
  TakeNotified();

  // Playing: the click restarts playback at the new cursor.
  doc->cursorFrame = 0;
  doc->StartPlayback();
  ASSERT_TRUE(doc->playing);
  engine->TakeCalls();
  Post(doc->positionBar, WM_LBUTTONDOWN, MK_LBUTTON, kWidth / 2, 3);
  Post(doc->positionBar, WM_LBUTTONUP, 0, kWidth / 2, 3);
  EXPECT_EQ(doc->playPosition.load(), 5000u);
  const auto calls = engine->TakeCalls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), L"StartRender out"), calls.end());
  doc->StopTransport();
  while (CBufferRecord* r = engine->Take()) ReleaseBufferRecord(r);
}
