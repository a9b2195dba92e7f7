// The main dialog's controls as data: every skinned button with the stem of its faces (also its
// window text in the template) and its hint, and the other controls that carry a hint. The
// dialog binds and loads faces in table order and registers hints in hint order; tests read the
// same table.
#pragma once

#include <windows.h>

#include <cstddef>

struct MainControl {
  UINT id;
  const wchar_t* stem;  // null: not a skinned button (edit or slider)
  const wchar_t* hint;  // null: no hint
  int hintOrder;        // 1.. the place among the hint registrations; 0 none
};

// The 33 skinned buttons (load order) followed by the four other hinted controls.
extern const MainControl kMainControls[];
extern const size_t kMainControlCount;
constexpr size_t kSkinnedButtonCount = 33;
constexpr size_t kHintCount = 18;

// The table row of a control id; null when it has none.
const MainControl* FindMainControl(UINT id);
// The hinted controls in the order they are registered (kHintCount entries).
void HintRegistrationOrder(const MainControl* out[kHintCount]);
