// The main dialog's own tooltip: registered rectangles of its controls with a text; when the
// mouse rests on one for more than 700 ms while the dialog is in front, the text pops up under
// the cursor ("HINTERWINDOWCLASS").
#pragma once

#include <windows.h>

#include <cstdint>

struct HintEntry {
  RECT rect;  // relative to the top-left corner of the owner's window rectangle
  wchar_t text[250];
};

// Where the pop-up of the given size goes for a cursor at `cursor` (screen coordinates): 20 pixels
// below it, pushed back from the right edge (2 pixels off) and from the bottom.
POINT PlaceHintPopup(POINT cursor, SIZE popup, SIZE screen);

// Line `index` of a "\n"-separated text (a trailing "\n" starts no line); false when there is none.
bool GetHintLine(const wchar_t* text, int index, wchar_t* out, size_t outSize);

class CHintWindow {
 public:
  static constexpr UINT_PTR kTimerId = 1;
  static constexpr DWORD kRestMs = 701;

  CHintWindow() = default;
  ~CHintWindow() { DestroyHintWindow(); }
  CHintWindow(const CHintWindow&) = delete;
  CHintWindow& operator=(const CHintWindow&) = delete;

  void CreateHintWindow(HWND owner);
  void DestroyHintWindow();
  // Registers the control's rectangle with its text; hidden controls are not registered.
  void AddHint(HWND control, const wchar_t* text);
  void OnHintTimer(UINT_PTR timerId);
  // One tick with the inputs given: cursor in screen coordinates, whether the owner is the
  // foreground window, the tick count.
  void OnHintTick(POINT cursor, bool ownerInFront, DWORD now);
  bool GetHintLine(int index, wchar_t* out) const { return ::GetHintLine(text_, index, out, 250); }

  HWND Window() const { return window_; }
  bool Shown() const { return shown_ != 0; }
  uint32_t HintCount() const { return count_; }
  const HintEntry* Hints() const { return hints_; }
  const wchar_t* Text() const { return text_; }
  const RECT& TextRect() const { return textRect_; }

 private:
  static LRESULT CALLBACK HintWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  void Paint();
  void PrepareDC(HDC dc);

  WNDCLASSW class_ = {};
  ATOM atom_ = 0;
  HWND window_ = nullptr;
  HWND owner_ = nullptr;
  HDC dc_ = nullptr;
  HFONT font_ = nullptr;
  RECT textRect_ = {};
  int lineHeight_ = 0;
  wchar_t text_[250] = {};
  HintEntry* hints_ = nullptr;
  uint32_t count_ = 0;
  uint32_t capacity_ = 0;
  int lastX_ = INT32_MIN, lastY_ = INT32_MIN;
  uint32_t shown_ = 0;
  DWORD lastMove_ = 0;
  UINT_PTR timer_ = 0;
};
