// A track's waveform window: the min/max picture of the current chunk over the dialog's skin,
// the inverted selection, the play cursor, and the position bar under it; mouse and bar input.
#include <windows.h>
#include <windowsx.h>
#include <commctrl.h>

#include <algorithm>
#include <vector>

#include "common/Locks.h"
#include "media/document/SoundDocument.h"

using Lock = std::lock_guard<RecursiveMutex>;

namespace {

const wchar_t kWaveformClass[] = L"WaveformWindow";

uint32_t EffectiveFpp(uint32_t fpp) { return fpp ? fpp : 64; }

}  // namespace

// ---- drawing objects ----

CWaveformView::~CWaveformView() {
  Detach();
  DestroySurfaces();
}

bool CWaveformView::CreateSurfaces(HDC reference, int width, int height) {
  DestroySurfaces();
  if (width <= 0 || height <= 0) return false;
  waveformDC = CreateCompatibleDC(reference);
  compositeDC = CreateCompatibleDC(reference);
  waveformBitmap = CreateCompatibleBitmap(reference, width, height);
  compositeBitmap = CreateCompatibleBitmap(reference, width, height);
  if (!waveformDC || !compositeDC || !waveformBitmap || !compositeBitmap) {
    DestroySurfaces();
    return false;
  }
  waveformOldBitmap = SelectObject(waveformDC, waveformBitmap);
  compositeOldBitmap = SelectObject(compositeDC, compositeBitmap);
  PatBlt(waveformDC, 0, 0, width, height, WHITENESS);
  PatBlt(compositeDC, 0, 0, width, height, WHITENESS);
  return true;
}

void CWaveformView::DestroySurfaces() {
  if (waveformDC && waveformOldBitmap) SelectObject(waveformDC, waveformOldBitmap);
  if (compositeDC && compositeOldBitmap) SelectObject(compositeDC, compositeOldBitmap);
  if (waveformDC) DeleteDC(waveformDC);
  if (compositeDC) DeleteDC(compositeDC);
  if (waveformBitmap) DeleteObject(waveformBitmap);
  if (compositeBitmap) DeleteObject(compositeBitmap);
  waveformDC = compositeDC = nullptr;
  waveformBitmap = compositeBitmap = nullptr;
  waveformOldBitmap = compositeOldBitmap = nullptr;
}

void CWaveformView::Detach() {
  if (!window || !IsWindow(window)) {
    window = nullptr;
    return;
  }
  SetWindowLongPtrW(window, 0, 0);
  if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
    if (windowDC) ReleaseDC(window, windowDC);
    windowDC = nullptr;
    DestroyWindow(window);
  }
  window = nullptr;
}

// ---- threads ----

bool CSoundDocument::OnViewThread() const {
  return !waveformWindow || GetWindowThreadProcessId(waveformWindow, nullptr) == GetCurrentThreadId();
}

void CSoundDocument::PostViewWork(uint32_t bits) {
  // One message in the queue at a time; the window's thread does everything asked so far.
  if (waveView.pending.fetch_or(bits) != 0) return;
  if (!PostMessageW(waveformWindow, WM_WAVEFORM_DEFERRED, 0, 0)) waveView.pending = 0;
}

void CSoundDocument::RunDeferredViewWork() {
  Lock lock(packetLock);
  const uint32_t bits = waveView.pending.exchange(0);
  if (bits & CWaveformView::kRedraw)
    RedrawWaveform(viewStartFrame, framesPerPixel);
  else if (bits & CWaveformView::kSelection)
    DrawSelectionAndCursor(nullptr);
}

// ---- window ----

bool CSoundDocument::CreateWaveformWindow(HWND parent, int x, int y, int width, int) {
  if (waveformWindow) return true;
  parentWindow = parent;
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);

  HINSTANCE module = GetModuleHandleW(nullptr);
  WNDCLASSW& wc = waveView.windowClass;
  wc = WNDCLASSW{};
  wc.style = 0;
  wc.lpfnWndProc = WaveformWndProc;
  wc.cbClsExtra = 0;
  wc.cbWndExtra = sizeof(LONG_PTR);
  wc.hInstance = module;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = kWaveformClass;
  if (!RegisterClassW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

  HWND window = CreateWindowExW(0, kWaveformClass, nullptr, WS_CHILD, x, y, width, kWaveformWindowHeight,
                                parent, nullptr, module, nullptr);
  if (!window) {
    UnregisterClassW(kWaveformClass, module);  // fails harmlessly while the other track's window lives
    return false;
  }
  if (viewWidth <= 0) viewWidth = width;
  if (viewHeight <= 0) viewHeight = kWaveformRows;
  HDC windowDC = GetDC(window);
  if (!windowDC || !waveView.CreateSurfaces(windowDC, viewWidth, viewHeight)) {
    if (windowDC) ReleaseDC(window, windowDC);
    DestroyWindow(window);
    return false;
  }
  HWND bar = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, 0, kPositionBarY, width,
                             kPositionBarHeight, window, nullptr, module, nullptr);
  if (!bar || !SetWindowSubclass(bar, PositionBarSubclassProc, 0, 0)) {
    waveView.DestroySurfaces();
    ReleaseDC(window, windowDC);
    DestroyWindow(window);
    return false;
  }
  backgroundRect = RECT{x, y, x + width, y + kWaveformRows};
  {
    Lock lock(packetLock);
    waveView.windowDC = windowDC;
    waveView.window = window;
    SetWindowLongPtrW(window, 0, reinterpret_cast<LONG_PTR>(this));
    waveformWindow = window;
    positionBar = bar;
  }
  return true;
}

void CSoundDocument::OnWaveformDestroyed(HWND window) {
  Lock lock(packetLock);
  if (positionBar) DestroyWindow(positionBar);
  positionBar = nullptr;
  if (waveView.windowDC) ReleaseDC(window, waveView.windowDC);
  waveView.windowDC = nullptr;
  SetWindowLongPtrW(window, 0, 0);
  waveView.window = nullptr;
  waveformWindow = nullptr;
}

// ---- drawing ----

void CSoundDocument::RedrawWaveform(uint32_t viewStart, uint32_t fpp) {
  fpp = EffectiveFpp(fpp);
  Lock lock(packetLock);
  framesPerPixel = fpp;
  const int64_t width = std::max<int32_t>(viewWidth, 0);
  const int64_t height = std::max<int32_t>(viewHeight, 0);
  const bool drawHere = OnViewThread();
  HDC dc = drawHere ? waveView.waveformDC : nullptr;

  if (dc) {
    SelectObject(dc, GetStockObject(DC_PEN));
    SetDCPenColor(dc, RGB(0, 0, 0));
    PatBlt(dc, 0, 0, int(width), int(height), WHITENESS);
    if (backgroundDC)
      BitBlt(dc, 0, 0, backgroundRect.right - backgroundRect.left, kWaveformRows, backgroundDC,
             backgroundRect.left, backgroundRect.top, SRCCOPY);
    MoveToEx(dc, 0, int(height / 2), nullptr);
    LineTo(dc, int(width), int(height / 2));
  }

  // Only 16-bit mono or stereo is drawn, and never more frames than the buffer holds.
  CChunkInfo* chunk = GetCurrentChunk();
  // A loading track's frames are read by its load thread; the window shows what is in memory.
  if (chunk && drawHere && !loading) LoadChunk(currentChunk);
  const uint32_t channels = wavHeader.channels;
  const bool drawable = chunk && chunk->buffer && wavHeader.bitsPerSample == 16 &&
                        (channels == 1 || channels == 2) && BlockAlign() == channels * 2;
  int64_t available = 0;
  if (chunk)
    available = drawable ? std::min<int64_t>(chunk->frames, chunk->used / BlockAlign()) : chunk->frames;

  const int64_t first = int64_t(viewStart) / fpp;
  int64_t last = available / fpp;
  if (last - first > width) last = first + width;
  const int64_t columns = last > first ? last - first : 0;

  if (dc && drawable && columns > 0 && height > 0) {
    const int64_t scale = 65536 / height;
    const int16_t* samples = reinterpret_cast<const int16_t*>(chunk->buffer);
    std::vector<POINT> points(size_t(columns) * 2);
    std::vector<DWORD> counts(size_t(columns), 2);
    for (int64_t c = first; c < last; ++c) {
      int32_t smallest = INT32_MAX, largest = INT32_MIN;
      const int64_t end = (c + 1) * fpp;
      if (channels == 1) {
        for (int64_t f = c * fpp; f < end; ++f) {
          const int32_t v = samples[f];
          smallest = std::min(smallest, v);
          largest = std::max(largest, v);
        }
      } else {
        for (int64_t f = c * fpp; f < end; ++f) {
          const int32_t v = (int32_t(samples[2 * f]) + samples[2 * f + 1]) >> 1;
          smallest = std::min(smallest, v);
          largest = std::max(largest, v);
        }
      }
      POINT* p = &points[size_t(c - first) * 2];
      p[0] = POINT{LONG(c - first), LONG(height / 2 - smallest / scale)};
      p[1] = POINT{LONG(c - first), LONG(height / 2 - largest / scale)};
    }
    PolyPolyline(dc, points.data(), counts.data(), DWORD(columns));
  }

  viewLengthFrames = uint32_t(columns * fpp);
  viewStartFrame = uint32_t(first * fpp);

  if (!waveformWindow) return;
  if (drawHere)
    DrawSelectionAndCursor(nullptr);
  else
    PostViewWork(CWaveformView::kRedraw);
}

void CSoundDocument::DrawSelectionAndCursor(HDC target) {
  Lock lock(packetLock);
  if (!OnViewThread()) {
    PostViewWork(CWaveformView::kSelection);
    return;
  }
  HDC wave = waveView.waveformDC, composite = waveView.compositeDC;
  if (!wave || !composite) return;
  const int width = std::max<int32_t>(viewWidth, 0);
  const int height = std::max<int32_t>(viewHeight, 0);
  const int64_t fpp = EffectiveFpp(framesPerPixel);
  BitBlt(composite, 0, 0, width, kWaveformRows, wave, 0, 0, SRCCOPY);

  auto column = [&](uint32_t frame) {
    return int32_t(std::clamp<int64_t>((int64_t(frame) - viewStartFrame) / fpp, 0, width));
  };
  cursorColumn = column(cursorFrame);
  selectionStartColumn = column(selectionStartFrame);

  SelectObject(composite, GetStockObject(DC_PEN));
  SetDCPenColor(composite, kWaveformCursorColour);
  SetDCBrushColor(composite, kWaveformCursorColour);
  const int32_t cursor = cursorColumn;
  const int32_t from = std::min(selectionStartColumn, cursor);
  std::vector<POINT> points;
  std::vector<DWORD> counts;
  for (int32_t c = from; c <= cursor; ++c) {
    points.push_back(POINT{c, 0});
    points.push_back(POINT{c, height});
    counts.push_back(2);
  }
  SetROP2(composite, R2_NOT);
  PolyPolyline(composite, points.data(), counts.data(), DWORD(counts.size()));
  SetROP2(composite, R2_COPYPEN);

  // The play cursor goes into the composite picture too, so the window and the target get the
  // same picture without reading the screen back.
  const int64_t play = (int64_t(playPosition) - viewStartFrame) / fpp;
  if (int64_t(playPosition) >= viewStartFrame && play >= 1 && play <= width) {
    MoveToEx(composite, int(play), 0, nullptr);
    LineTo(composite, int(play), height);
  }

  if (waveView.windowDC) BitBlt(waveView.windowDC, 0, 0, width, kWaveformRows, composite, 0, 0, SRCCOPY);
  if (target) BitBlt(target, 0, 0, width, kWaveformRows, composite, 0, 0, SRCCOPY);
}

// ---- input ----

namespace {

int32_t ClampX(int32_t x, int32_t width) { return std::clamp<int32_t>(x, 0, std::max<int32_t>(width, 0)); }

}  // namespace

void CSoundDocument::BeginSelection(short x) {
  if (waveformWindow) SetCapture(waveformWindow);
  Lock lock(packetLock);
  const int32_t column = ClampX(x, viewWidth);
  const CChunkInfo* chunk = GetCurrentChunk();
  const int64_t frames = chunk ? chunk->frames : 0;
  const uint32_t frame = uint32_t(
      std::min<int64_t>(int64_t(viewStartFrame) + int64_t(column) * EffectiveFpp(framesPerPixel), frames));
  selectionStartColumn = column;
  selectionStartFrame = frame;
  cursorFrame = frame;
  SetPositionBarPos(frame);
  DrawSelectionAndCursor(nullptr);
  Notify(NOTIFY_POSITION_SET);
}

void CSoundDocument::OnPositionBarCommand() {
  Lock lock(packetLock);
  if (!positionBar) return;
  const uint32_t position = uint32_t(std::max<LRESULT>(SendMessageW(positionBar, PBM_GETPOS, 0, 0), 0));
  const int64_t fpp = EffectiveFpp(framesPerPixel);
  cursorFrame = position;
  SetPositionBarPos(position);
  DrawSelectionAndCursor(nullptr);
  if (playing) {
    StartPlayback();
  } else {
    const int64_t start = std::max<int64_t>(0, int64_t(position) - int64_t(viewWidth) * fpp / 3);
    RedrawWaveform(uint32_t(start), uint32_t(fpp));
  }
  Notify(NOTIFY_POSITION_SET);
}

LRESULT CALLBACK CSoundDocument::WaveformWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* doc = reinterpret_cast<CSoundDocument*>(GetWindowLongPtrW(window, 0));
  if (message == WM_CREATE) return 0;
  if (!doc) {
    if (message == WM_PAINT) {
      PAINTSTRUCT ps;
      BeginPaint(window, &ps);
      EndPaint(window, &ps);
      return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }
  const int32_t x = GET_X_LPARAM(lParam);
  switch (message) {
    case WM_DESTROY:
      doc->OnWaveformDestroyed(window);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(window, &ps);
      doc->DrawSelectionAndCursor(dc);
      EndPaint(window, &ps);
      return 0;
    }
    case WM_WAVEFORM_DEFERRED:
      doc->RunDeferredViewWork();
      return 0;
    case WM_COMMAND:
      if (doc->positionBar && reinterpret_cast<HWND>(lParam) == doc->positionBar) doc->OnPositionBarCommand();
      return 0;
    case WM_RBUTTONDOWN: {
      Lock lock(doc->packetLock);
      if (doc->GetCurrentChunk()) {
        SetCapture(window);
        doc->waveView.rightDragAnchor = int64_t(x) * EffectiveFpp(doc->framesPerPixel);
      }
      return 0;
    }
    case WM_RBUTTONUP:
      if (doc->waveView.rightDragAnchor != CWaveformView::kNoDrag || doc->GetCurrentChunk()) ReleaseCapture();
      doc->waveView.rightDragAnchor = CWaveformView::kNoDrag;
      return 0;
    case WM_LBUTTONDOWN:
      if (wParam & MK_LBUTTON) {
        doc->BeginSelection(short(ClampX(x, doc->viewWidth)));
        if (wParam & MK_CONTROL) doc->InsertBookmark();
      }
      return 0;
    case WM_LBUTTONUP:
      if (doc->selectionStartFrame > doc->cursorFrame) doc->selectionStartFrame = doc->cursorFrame;
      ReleaseCapture();
      return 0;
    case WM_MOUSEMOVE: {
      Lock lock(doc->packetLock);
      const int64_t fpp = EffectiveFpp(doc->framesPerPixel);
      const CChunkInfo* chunk = doc->GetCurrentChunk();
      if (wParam & MK_RBUTTON) {
        if (doc->waveView.rightDragAnchor == CWaveformView::kNoDrag || !chunk) return 0;
        // Signed: the mouse may be left of the window under capture.
        const int64_t now = int64_t(x) * fpp;
        int64_t start = int64_t(doc->viewStartFrame) + doc->waveView.rightDragAnchor - now;
        start = std::min<int64_t>(start, int64_t(chunk->frames) - doc->viewLengthFrames);
        start = std::max<int64_t>(start, 0);
        doc->RedrawWaveform(uint32_t(start), uint32_t(fpp));
        doc->waveView.rightDragAnchor = now;
      } else if (wParam & MK_LBUTTON) {
        const int64_t frames = chunk ? chunk->frames : 0;
        const int64_t frame = int64_t(doc->viewStartFrame) + int64_t(ClampX(x, doc->viewWidth)) * fpp;
        doc->cursorFrame = uint32_t(std::min(frame, frames));
        doc->SetPositionBarPos(doc->cursorFrame);
        doc->DrawSelectionAndCursor(nullptr);
      }
      return 0;
    }
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

LRESULT CALLBACK CSoundDocument::PositionBarSubclassProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam,
                                                         UINT_PTR id, DWORD_PTR) {
  switch (message) {
    case WM_LBUTTONDOWN: {
      PBRANGE range = {};
      SendMessageW(bar, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
      RECT client = {};
      GetClientRect(bar, &client);
      const int32_t width = client.right - client.left;
      const int32_t x = ClampX(GET_X_LPARAM(lParam), width);
      const double position =
          width > 0 ? double(x) / double(width) * (double(range.iHigh) - double(range.iLow)) : 0.0;
      SendMessageW(bar, PBM_SETPOS, WPARAM(range.iLow + int(position)), 0);
      PostMessageW(GetParent(bar), WM_COMMAND, 0, reinterpret_cast<LPARAM>(bar));
      SetCapture(bar);
      break;
    }
    case WM_MOUSEMOVE:
      if (wParam & MK_LBUTTON) SendMessageW(bar, WM_LBUTTONDOWN, wParam, lParam);
      break;
    case WM_LBUTTONUP:
      ReleaseCapture();
      break;
    case WM_NCDESTROY:
      RemoveWindowSubclass(bar, PositionBarSubclassProc, id);
      break;
  }
  return DefSubclassProc(bar, message, wParam, lParam);
}
