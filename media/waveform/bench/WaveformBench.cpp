// Redraw time of a one-hour mono 44.1 kHz chunk in a 490-pixel waveform window at the widest
// (8,192 frames per pixel) and the narrowest (32) zoom, at view starts spread over the hour,
// beside the time to read the same samples once with a plain summing scan in the same run.
// Prints: waveform_redraw: wide_ms=.. wide_scan_ms=.. wide_ratio=.. narrow_ms=.. ... max_ms=..
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "media/document/tests/DocumentTestSupport.h"

namespace {

double Now() {
  LARGE_INTEGER t, f;
  QueryPerformanceCounter(&t);
  QueryPerformanceFrequency(&f);
  return double(t.QuadPart) * 1000.0 / double(f.QuadPart);
}

volatile int64_t g_sink;

// The reference: every sample of the span read once.
int64_t Scan(const int16_t* s, size_t n) {
  int64_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += s[i];
  return sum;
}

struct Figures {
  double meanMs = 0, maxMs = 0, scanMs = 0;
};

Figures Measure(CSoundDocument& doc, const int16_t* samples, uint32_t frames, uint32_t fpp) {
  constexpr int kStarts = 24, kRounds = 3;
  const uint32_t span = uint32_t(doc.viewWidth) * fpp;
  Figures f;
  double total = 0, scanTotal = 0;
  int n = 0;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < kStarts; ++i) {
      const uint32_t start = uint32_t(uint64_t(frames - span) * i / (kStarts - 1));
      const double t0 = Now();
      doc.RedrawWaveform(start, fpp);
      GdiFlush();
      const double t1 = Now();
      g_sink = Scan(samples + doc.viewStartFrame, span);
      const double t2 = Now();
      total += t1 - t0;
      scanTotal += t2 - t1;
      f.maxMs = std::max(f.maxMs, t1 - t0);
      ++n;
    }
  }
  f.meanMs = total / n;
  f.scanMs = scanTotal / n;
  return f;
}

LRESULT CALLBACK HostProc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcW(w, m, wp, lp); }

}  // namespace

int main() {
  g_pfnCreateSoundEngine = MakeFakeEngine;
  g_pfnShowPrompt = [](HWND, LPCWSTR, LPCWSTR, UINT) { return IDOK; };
  WNDCLASSW wc = {};
  wc.lpfnWndProc = HostProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"WaveformBenchHost";
  RegisterClassW(&wc);
  HWND host = CreateWindowExW(0, wc.lpszClassName, L"bench", WS_POPUP | WS_VISIBLE, 0, 0, 640, 200, nullptr,
                              nullptr, wc.hInstance, nullptr);
  auto* doc = new CSoundDocument(GetCurrentThreadId(), UniqueTrackName(L"WaveBench"), nullptr);
  doc->viewWidth = 490;
  doc->viewHeight = 52;
  if (!host || !doc->CreateWaveformWindow(host, 12, 25, 490, 0)) {
    std::printf("waveform_redraw: failed=window\n");
    return 1;
  }
  ShowWindow(doc->waveformWindow, SW_SHOW);

  const uint32_t frames = 44100u * 3600u;
  const int index = doc->NewChunk();
  CChunkInfo* chunk = doc->GetChunk(index);
  auto* samples = static_cast<int16_t*>(malloc(size_t(frames) * 2));
  if (index < 0 || !samples) {
    std::printf("waveform_redraw: failed=memory\n");
    return 1;
  }
  uint32_t x = 12345;
  for (uint32_t i = 0; i < frames; ++i) {
    x = x * 1103515245u + 12345u;
    samples[i] = int16_t(x >> 16);
  }
  chunk->buffer = reinterpret_cast<uint8_t*>(samples);
  chunk->used = chunk->capacity = frames * 2;
  chunk->frames = frames;
  doc->currentChunk = index;

  const Figures wide = Measure(*doc, samples, frames, 8192);
  const Figures narrow = Measure(*doc, samples, frames, 32);
  std::printf(
      "waveform_redraw: frames=%u width=490 wide_fpp=8192 wide_ms=%.3f wide_max_ms=%.3f wide_scan_ms=%.3f "
      "wide_ratio=%.2f narrow_fpp=32 narrow_ms=%.3f narrow_max_ms=%.3f narrow_scan_ms=%.4f narrow_ratio=%.2f "
      "max_ms=%.3f\n",
      frames, wide.meanMs, wide.maxMs, wide.scanMs, wide.meanMs / wide.scanMs, narrow.meanMs, narrow.maxMs,
      narrow.scanMs, narrow.meanMs / narrow.scanMs, std::max(wide.maxMs, narrow.maxMs));
  delete doc;
  DestroyWindow(host);
  return 0;
}
