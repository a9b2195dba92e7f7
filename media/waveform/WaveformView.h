// The drawing objects of a track's waveform window: the two memory DCs with their bitmaps, and
// the work that other threads leave for the window's own thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

// Posted to the waveform window when another thread asks for a redraw; the window's thread does
// all GDI work on the window.
constexpr UINT WM_WAVEFORM_DEFERRED = WM_USER + 0x157;

// Window layout: the waveform fills rows 0..51 and the position bar lies under it.
constexpr int kWaveformWindowHeight = 66;
constexpr int kWaveformRows = 52;
constexpr int kPositionBarY = 59;
constexpr int kPositionBarHeight = 7;
// Play cursor and selection pen.
constexpr COLORREF kWaveformCursorColour = RGB(128, 128, 255);

struct CWaveformView {
  enum : uint32_t { kRedraw = 1, kSelection = 2 };
  static constexpr int64_t kNoDrag = INT64_MIN;

  CWaveformView() = default;
  CWaveformView(const CWaveformView&) = delete;
  CWaveformView& operator=(const CWaveformView&) = delete;
  ~CWaveformView();

  // Both memory DCs with a width x height bitmap each; false (and nothing kept) on failure.
  bool CreateSurfaces(HDC reference, int width, int height);
  void DestroySurfaces();
  // The window stops reaching the document once the document is gone.
  void Detach();

  HDC waveformDC = nullptr;   // the drawn waveform
  HDC compositeDC = nullptr;  // the waveform with the selection and the play cursor
  HBITMAP waveformBitmap = nullptr;
  HBITMAP compositeBitmap = nullptr;
  HGDIOBJ waveformOldBitmap = nullptr;
  HGDIOBJ compositeOldBitmap = nullptr;
  WNDCLASSW windowClass = {};
  HDC windowDC = nullptr;  // null once the window is destroyed
  HWND window = nullptr;   // the window whose extra bytes point at the document
  // Frames at the press point of a right-drag, in frames from the view start; kNoDrag otherwise.
  int64_t rightDragAnchor = kNoDrag;
  // kRedraw / kSelection bits asked for by other threads and not yet done; one message is in the
  // window's queue while any bit is set.
  std::atomic<uint32_t> pending{0};
};
