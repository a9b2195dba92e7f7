// The frame's face on the virtual display: black, the white line of text in its middle, and a
// queue that goes idle once it has painted.
#include "media/video/tests/VideoTestSupport.h"

namespace {

// 32-bit pixels of a screen rectangle, row 0 first.
class ScreenGrab {
 public:
  ScreenGrab(int x, int y, int width, int height) : width_(width) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP dib = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, dib);
    BitBlt(dc, 0, 0, width, height, screen, x, y, SRCCOPY);
    GdiFlush();
    const uint32_t* p = static_cast<const uint32_t*>(bits);
    pixels_.assign(p, p + size_t(width) * height);
    SelectObject(dc, old);
    DeleteObject(dib);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
  }
  COLORREF At(int x, int y) const {
    const uint32_t v = pixels_[size_t(y) * width_ + x];
    return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
  }
  int Count(int x0, int y0, int x1, int y1, COLORREF colour) const {
    int n = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) n += At(x, y) == colour;
    return n;
  }

 private:
  int width_;
  std::vector<uint32_t> pixels_;
};

constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kWhite = RGB(255, 255, 255);

class VideoScreenTest : public VideoTest {
 protected:
  // The frame lands at (100, 95): on the screen, below any caption Wine draws at the very top.
  POINT AnchorAt() const override { return POINT{100, 500}; }
};

}  // namespace

TEST_F(VideoScreenTest, FrameIsBlackWithTheWhiteTextAndGoesIdleAfterPainting) {
  Open(MakeVideo(L"face.avi", CifBytes({{0, 1000}})));
  HWND frame = video->GetFrameWindow();
  ASSERT_NE(frame, nullptr);
  // Above whatever else is on the shared display (the frame itself is not topmost).
  SetWindowPos(frame, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  RECT client;
  GetClientRect(frame, &client);
  POINT origin = {0, 0};
  ClientToScreen(frame, &origin);
  const int w = client.right, h = client.bottom;
  const int textTop = h / 2 - 12, textBottom = h / 2 + 12;

  bool painted = false;
  for (int attempt = 0; attempt < 100 && !painted; ++attempt) {
    Pump();
    Sleep(30);
    const ScreenGrab grab(origin.x, origin.y, w, h);
    const bool corners = grab.At(2, 2) == kBlack && grab.At(w - 3, 2) == kBlack &&
                         grab.At(2, h - 45) == kBlack && grab.At(w - 3, h - 45) == kBlack;
    painted = corners && grab.Count(w / 2 - 150, textTop, w / 2 + 150, textBottom, kWhite) > 50;
  }
  ASSERT_TRUE(painted) << "black face with white text in the middle";
  const ScreenGrab grab(origin.x, origin.y, w, h);
  // Only the text is white: the rows above and below it are black from edge to edge.
  EXPECT_EQ(grab.Count(0, 0, w, textTop - 20, kBlack), w * (textTop - 20));
  EXPECT_EQ(grab.Count(0, textBottom + 20, w, h - 45, kBlack), w * (h - 45 - textBottom - 20));
  EXPECT_EQ(grab.Count(0, textTop, w / 2 - 160, textBottom, kWhite), 0) << "centred";
  // The trackbar keeps its own face.
  EXPECT_LT(grab.Count(0, h - 40, w, h, kBlack), w * 40 / 2);

  // Painting validated the frame: nothing more to paint, the queue runs dry.
  int dispatched = 0;
  for (int round = 0; round < 10; ++round) dispatched += Pump(1000);
  EXPECT_LT(dispatched, 1000) << "the frame keeps asking to be painted";
  EXPECT_FALSE(GetUpdateRect(frame, nullptr, FALSE));
  EXPECT_EQ(HIWORD(GetQueueStatus(QS_PAINT)) & QS_PAINT, 0u);
}
