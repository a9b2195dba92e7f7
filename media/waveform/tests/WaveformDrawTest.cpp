// Pixels of the waveform and of the selection and play cursor, read back from the memory DCs.
#include <thread>

#include "media/waveform/tests/WaveformTestSupport.h"

namespace {

constexpr int kCentre = 26;    // view height 52
constexpr int16_t kA = 12600;  // 10 rows at a scale of 65536 / 52 = 1260

// One column's worth of frames (fpp 64) of a pattern.
enum class Pattern { PlusMinus, Silence, Constant, Ramp, FullScale };

std::vector<int16_t> Column(Pattern p, int fpp = 64) {
  std::vector<int16_t> s(fpp);
  for (int i = 0; i < fpp; ++i) {
    switch (p) {
      case Pattern::PlusMinus:
        s[i] = (i & 1) ? -kA : kA;
        break;
      case Pattern::Silence:
        s[i] = 0;
        break;
      case Pattern::Constant:
        s[i] = kA;
        break;
      case Pattern::Ramp:
        s[i] = int16_t(kA * i / (fpp - 1));
        break;
      case Pattern::FullScale:
        s[i] = (i & 1) ? -32768 : 32767;
        break;
    }
  }
  return s;
}

COLORREF Inverted(COLORREF c) { return RGB(255 - GetRValue(c), 255 - GetGValue(c), 255 - GetBValue(c)); }

}  // namespace

using WaveformDrawTest = WaveformHostTest;

// Each column is the line from the smallest to the largest value; GDI leaves out the line's
// last point, so a column spans [centre - largest / scale + 1, centre - smallest / scale].
TEST_F(WaveformDrawTest, ColumnsSpanTheirMinimumToMaximum) {
  struct Case {
    Pattern pattern;
    int top, bottom;  // black rows apart from the centre line; top > bottom: none
  };
  const std::vector<Case> cases = {
      {Pattern::PlusMinus, 17, 36}, {Pattern::Silence, 1, 0},    {Pattern::Constant, 1, 0},
      {Pattern::Ramp, 17, 25},      {Pattern::FullScale, 1, 51},
  };
  std::vector<int16_t> samples;
  for (const Case& c : cases) {
    const auto col = Column(c.pattern);
    samples.insert(samples.end(), col.begin(), col.end());
  }
  // A group of fewer than 64 frames at the end is not a column.
  const auto partial = Column(Pattern::FullScale, 40);
  samples.insert(samples.end(), partial.begin(), partial.end());
  CurrentChunk(samples);

  doc->RedrawWaveform(0, 0);
  EXPECT_EQ(doc->framesPerPixel, 64u);
  EXPECT_EQ(doc->viewStartFrame, 0u);
  EXPECT_EQ(doc->viewLengthFrames, cases.size() * 64);

  const PixelGrab wave = Wave();
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto span = wave.Span(int(i), kBlack, kCentre);
    if (cases[i].top > cases[i].bottom) {
      EXPECT_LT(span.second, 0) << "column " << i << " should show only the centre line";
    } else {
      EXPECT_EQ(span.first, cases[i].top) << "column " << i;
      EXPECT_EQ(span.second, cases[i].bottom) << "column " << i;
    }
  }
  // The rest is the skin with the centre line.
  for (int x = int(cases.size()); x < kWidth; ++x) {
    ASSERT_EQ(wave.At(x, kCentre), kBlack) << x;
    ASSERT_EQ(wave.At(x, 0), kSkin) << x;
    ASSERT_EQ(wave.At(x, 40), kSkin) << x;
  }
}

TEST_F(WaveformDrawTest, StereoColumnsDrawTheMeanOfBothChannels) {
  doc->wavHeader.channels = 2;
  doc->wavHeader.blockAlign = 4;
  struct Case {
    int16_t left0, right0, left1, right1;  // alternating frames
    int top, bottom;
  };
  const std::vector<Case> cases = {
      {kA, -kA, kA, -kA, 1, 0},    // opposite channels cancel
      {kA, kA, -kA, -kA, 17, 36},  // both channels swing together
      {kA, 0, -kA, 0, 22, 31},     // one channel: half the swing
  };
  std::vector<int16_t> samples;
  for (const Case& c : cases)
    for (int f = 0; f < 64; ++f) {
      samples.push_back((f & 1) ? c.left1 : c.left0);
      samples.push_back((f & 1) ? c.right1 : c.right0);
    }
  CChunkInfo* chunk = CurrentChunk(samples);
  chunk->frames = uint32_t(samples.size() / 2);

  doc->RedrawWaveform(0, 64);
  const PixelGrab wave = Wave();
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto span = wave.Span(int(i), kBlack, kCentre);
    if (cases[i].top > cases[i].bottom) {
      EXPECT_LT(span.second, 0) << "column " << i;
    } else {
      EXPECT_EQ(span, std::make_pair(cases[i].top, cases[i].bottom)) << "column " << i;
    }
  }
  EXPECT_EQ(wave.CountColumnsWith(kBlack, kCentre), 2);
}

// Reads never go past the bytes the chunk holds, and sounds that cannot be drawn show the bare
// background with its centre line.
TEST_F(WaveformDrawTest, UndrawableOrShortChunksDrawOnlyWhatTheyHold) {
  struct Case {
    const char* name;
    uint16_t channels, bits;
    uint32_t claimedFrames, heldFrames;
    uint32_t viewStart;
    int columns;  // drawn columns
    uint32_t viewLength;
  };
  const std::vector<Case> cases = {
      {"frames beyond the bytes held", 1, 16, 64 * 300, 64 * 5, 0, 5, 5 * 64},
      // Not drawn, but the view still spans the chunk's frames.
      {"8-bit sound", 1, 8, 64 * 20, 64 * 20, 0, 0, 20 * 64},
      {"three channels", 3, 16, 64 * 20, 64 * 20, 0, 0, 20 * 64},
      {"view start past the end", 1, 16, 64 * 20, 64 * 20, 1000000, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    doc->FreeAllChunks();
    doc->wavHeader.channels = c.channels;
    doc->wavHeader.bitsPerSample = c.bits;
    doc->wavHeader.blockAlign = uint16_t(c.channels * c.bits / 8);
    const uint32_t bytes = c.heldFrames * doc->wavHeader.blockAlign;
    std::vector<int16_t> samples(bytes / 2 + 1);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = (i & 1) ? -kA : kA;
    CChunkInfo* chunk = CurrentChunk(samples);
    chunk->used = bytes;
    chunk->frames = c.claimedFrames;
    doc->RedrawWaveform(c.viewStart, 64);
    const PixelGrab wave = Wave();
    EXPECT_EQ(wave.CountColumnsWith(kBlack, kCentre), c.columns);
    EXPECT_EQ(doc->viewLengthFrames, c.viewLength);
    EXPECT_EQ(wave.At(kWidth - 1, kCentre), kBlack);
    EXPECT_EQ(wave.At(kWidth - 1, 0), kSkin);
  }
}

TEST_F(WaveformDrawTest, ChunkWithFramesButNoBufferDrawsTheBackground) {
  // No file of its own and no source WAV: LoadChunk fails and the buffer stays null.
  int index = doc->NewChunk();
  CChunkInfo* chunk = doc->GetChunk(index);
  chunk->fileName[0] = 0;
  chunk->frames = 64 * 100;
  doc->currentChunk = index;
  doc->RedrawWaveform(0, 64);
  EXPECT_EQ(chunk->buffer, nullptr);
  const PixelGrab wave = Wave();
  EXPECT_EQ(wave.CountColumnsWith(kBlack, kCentre), 0);
  EXPECT_EQ(wave.At(5, kCentre), kBlack);
  EXPECT_EQ(Reports().size(), 1u);
}

TEST_F(WaveformDrawTest, ViewStartIsRoundedDownToAColumnAndTheViewIsCapped) {
  CurrentChunk(std::vector<int16_t>(64 * 1000, 0));
  doc->RedrawWaveform(100, 64);
  EXPECT_EQ(doc->viewStartFrame, 64u);
  EXPECT_EQ(doc->viewLengthFrames, uint32_t(kWidth) * 64);
  doc->RedrawWaveform(64 * 900 + 10, 64);  // 100 columns left
  EXPECT_EQ(doc->viewStartFrame, 64u * 900);
  EXPECT_EQ(doc->viewLengthFrames, 64u * 100);
}

TEST_F(WaveformDrawTest, SelectionIsInvertedFromStartToCursor) {
  CurrentChunk(std::vector<int16_t>(64 * 1000, 0));
  doc->RedrawWaveform(64 * 100, 64);
  struct Case {
    const char* name;
    int64_t selection, cursor;  // frames relative to the view start
    int from, to;               // inverted columns
  };
  const std::vector<Case> cases = {
      {"selection", 10 * 64, 20 * 64 + 5, 10, 20},
      {"empty selection: the cursor alone", 7 * 64, 7 * 64, 7, 7},
      {"start after the cursor (a drag to the left)", 30 * 64, 12 * 64, 12, 12},
      {"cursor before the view", -50 * 64, -3 * 64, 0, 0},
      {"cursor past the view", 480 * 64, 900 * 64, 480, kWidth - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    doc->selectionStartFrame = uint32_t(int64_t(doc->viewStartFrame) + c.selection);
    doc->cursorFrame = uint32_t(int64_t(doc->viewStartFrame) + c.cursor);
    doc->DrawSelectionAndCursor(nullptr);
    const PixelGrab comp = Composite();
    for (int x = 0; x < kWidth; ++x) {
      const bool inside = x >= c.from && x <= c.to;
      ASSERT_EQ(comp.At(x, 0), inside ? Inverted(kSkin) : kSkin) << "column " << x;
      ASSERT_EQ(comp.At(x, 51), inside ? Inverted(kSkin) : kSkin) << "column " << x;
      ASSERT_EQ(comp.At(x, kCentre), inside ? RGB(255, 255, 255) : kBlack) << "column " << x;
    }
  }
}

TEST_F(WaveformDrawTest, PlayCursorIsDrawnExceptInColumnZero) {
  CurrentChunk(std::vector<int16_t>(64 * 1000, 0));
  doc->RedrawWaveform(0, 64);
  doc->cursorFrame = doc->selectionStartFrame = 64 * 200;
  for (uint32_t column : {0u, 1u, 30u, 489u}) {
    doc->playPosition = column * 64 + 3;
    HDC screen = GetDC(nullptr);
    HDC target = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, kWidth, 52);
    ReleaseDC(nullptr, screen);
    HGDIOBJ old = SelectObject(target, bitmap);
    doc->DrawSelectionAndCursor(target);
    const PixelGrab comp = Composite();
    const PixelGrab copy(target, kWidth, 52);
    SelectObject(target, old);
    DeleteObject(bitmap);
    DeleteDC(target);
    int blue = 0;
    for (int x = 0; x < kWidth; ++x)
      if (comp.At(x, 5) == kWaveformCursorColour) ++blue;
    if (column == 0) {
      EXPECT_EQ(blue, 0);
    } else {
      EXPECT_EQ(blue, 1) << column;
      EXPECT_EQ(comp.Span(int(column), kWaveformCursorColour, kCentre), std::make_pair(0, 51));
    }
    // The target gets the same picture.
    for (int x : {0, int(column), 200, kWidth - 1}) EXPECT_EQ(copy.At(x, 5), comp.At(x, 5)) << x;
  }
}

// Playback and recording redraw from the worker: the worker only leaves word for the window's
// thread, which draws when it next pumps.
TEST_F(WaveformDrawTest, RedrawsFromAnotherThreadAreDrawnByTheWindowThread) {
  CurrentChunk(std::vector<int16_t>(64 * 1000, 0));
  doc->RedrawWaveform(0, 64);
  const PixelGrab before = Wave();
  ASSERT_EQ(before.CountColumnsWith(kBlack, kCentre), 0);
  CChunkInfo* chunk = doc->GetCurrentChunk();
  for (int i = 0; i < 64 * 10; ++i) reinterpret_cast<int16_t*>(chunk->buffer)[i] = (i & 1) ? -kA : kA;

  std::thread worker([&] {
    for (int i = 0; i < 50; ++i) {
      doc->RedrawWaveform(0, 64);
      doc->DrawSelectionAndCursor(nullptr);
    }
  });
  worker.join();
  EXPECT_EQ(Wave().CountColumnsWith(kBlack, kCentre), 0) << "the worker drew on the window's DCs";
  MSG msg;
  int queued = 0;
  while (PeekMessageW(&msg, doc->waveformWindow, WM_WAVEFORM_DEFERRED, WM_WAVEFORM_DEFERRED, PM_REMOVE)) {
    ++queued;
    DispatchMessageW(&msg);
  }
  EXPECT_EQ(queued, 1) << "redraw requests are coalesced";
  EXPECT_EQ(Wave().CountColumnsWith(kBlack, kCentre), 10);
  EXPECT_EQ(doc->waveView.pending.load(), 0u);
}
