// A host window that does what the main dialog does for a track's waveform: a skin DC of one
// known colour, the view size, the waveform window at its place, notifications to the host.
// Pixels are read back through a DIB section.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <vector>

#include "media/document/tests/DocumentTestSupport.h"

constexpr COLORREF kSkin = RGB(0, 160, 0);
constexpr COLORREF kBlack = RGB(0, 0, 0);

// 32-bit pixels of a DC's top-left width x height, row 0 first.
class PixelGrab {
 public:
  PixelGrab(HDC source, int width, int height) : width_(width), height_(height) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP dib = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, dib);
    BitBlt(dc, 0, 0, width, height, source, 0, 0, SRCCOPY);
    GdiFlush();
    const uint32_t* p = static_cast<const uint32_t*>(bits);
    pixels_.assign(p, p + size_t(width) * height);
    SelectObject(dc, old);
    DeleteObject(dib);
    DeleteDC(dc);
  }
  COLORREF At(int x, int y) const {
    const uint32_t v = pixels_[size_t(y) * width_ + x];
    return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
  }
  // Rows of column x that have the colour, as [first, last] (first > last when none).
  std::pair<int, int> Span(int x, COLORREF colour, int skipRow = -1) const {
    int first = height_, last = -1;
    for (int y = 0; y < height_; ++y) {
      if (y == skipRow || At(x, y) != colour) continue;
      first = std::min(first, y);
      last = std::max(last, y);
    }
    return {first, last};
  }
  int CountColumnsWith(COLORREF colour, int skipRow = -1) const {
    int n = 0;
    for (int x = 0; x < width_; ++x)
      if (Span(x, colour, skipRow).second >= 0) ++n;
    return n;
  }

 private:
  int width_, height_;
  std::vector<uint32_t> pixels_;
};

class WaveformHostTest : public DocumentTest {
 protected:
  static constexpr int kX = 12, kY = 25, kWidth = 490;

  static LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SOUND_NOTIFY) {
      notified.push_back(int(wParam));
      return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }

  void SetUp() override {
    DocumentTest::SetUp();
    notified.clear();
    WNDCLASSW wc = {};
    wc.lpfnWndProc = HostProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"WaveformTestHost";
    RegisterClassW(&wc);
    host = CreateWindowExW(0, L"WaveformTestHost", L"host", WS_POPUP | WS_VISIBLE, 0, 0, 640, 200, nullptr,
                           nullptr, wc.hInstance, nullptr);
    ASSERT_NE(host, nullptr);
    HDC screen = GetDC(nullptr);
    skinDC = CreateCompatibleDC(screen);
    skinBitmap = CreateCompatibleBitmap(screen, 640, 200);
    ReleaseDC(nullptr, screen);
    oldSkin = SelectObject(skinDC, skinBitmap);
    HBRUSH brush = CreateSolidBrush(kSkin);
    RECT all = {0, 0, 640, 200};
    FillRect(skinDC, &all, brush);
    DeleteObject(brush);

    doc->notifyTarget = NotifyTarget{0, host, WM_SOUND_NOTIFY};
    doc->backgroundDC = skinDC;
    doc->viewWidth = kWidth;
    doc->viewHeight = 52;
    ASSERT_TRUE(doc->CreateWaveformWindow(host, kX, kY, kWidth, 0));
    ShowWindow(doc->waveformWindow, SW_SHOW);
    Pump();
  }

  void TearDown() override {
    Pump();
    DocumentTest::TearDown();  // the document detaches and destroys its window
    if (host) DestroyWindow(host);
    SelectObject(skinDC, oldSkin);
    DeleteObject(skinBitmap);
    DeleteDC(skinDC);
  }

  // Dispatches what is queued for the windows of this thread; thread messages stay queued.
  void Pump() {
    MSG msg;
    for (int round = 0; round < 4; ++round) {
      while (PeekMessageW(&msg, host, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
      if (doc && doc->waveformWindow)
        while (PeekMessageW(&msg, doc->waveformWindow, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
      if (doc && doc->positionBar)
        while (PeekMessageW(&msg, doc->positionBar, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
  }
  void Post(HWND to, UINT message, WPARAM wParam, int x, int y = 10) {
    PostMessageW(to, message, wParam, MAKELPARAM(x, y));
    Pump();
  }
  std::vector<int> TakeNotified() {
    Pump();
    std::vector<int> out;
    out.swap(notified);
    return out;
  }

  PixelGrab Wave() const { return PixelGrab(doc->waveView.waveformDC, kWidth, 52); }
  PixelGrab Composite() const { return PixelGrab(doc->waveView.compositeDC, kWidth, 52); }
  LRESULT BarPos() const { return SendMessageW(doc->positionBar, PBM_GETPOS, 0, 0); }

  // A current chunk in memory (mono 16-bit) with the given samples.
  CChunkInfo* CurrentChunk(const std::vector<int16_t>& samples) {
    CChunkInfo* chunk = AddChunk(uint32_t(samples.size()));
    if (!samples.empty()) memcpy(chunk->buffer, samples.data(), samples.size() * 2);
    doc->currentChunk = doc->GetChunkCount() - 1;
    return chunk;
  }

  static inline std::vector<int> notified;
  HWND host = nullptr;
  HDC skinDC = nullptr;
  HBITMAP skinBitmap = nullptr;
  HGDIOBJ oldSkin = nullptr;
};
