// The controls table against template 102: every skinned button's stem is its window text there,
// the template's hidden buttons are the ones the table says, and the hints are registered once each.
#include "app/main/MainControls.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "app/res/resource.h"

namespace {

INT_PTR CALLBACK PlainProc(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

TEST(MainControls, MatchTheTemplate) {
  HWND dialog =
      CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN_DIALOG), nullptr, PlainProc, 0);
  ASSERT_NE(dialog, nullptr);
  const std::set<UINT> hidden = {IDC_BUTMIXER, IDC_BUTCUT, IDC_BUTCLOSEWAV};
  std::set<UINT> ids;
  for (size_t i = 0; i < kSkinnedButtonCount; ++i) {
    const MainControl& c = kMainControls[i];
    ASSERT_NE(c.stem, nullptr) << c.id;
    EXPECT_TRUE(ids.insert(c.id).second) << c.id;
    HWND button = GetDlgItem(dialog, static_cast<int>(c.id));
    if (c.id == IDC_MBUTPAUSE) {
      EXPECT_EQ(button, nullptr);  // a command only
      continue;
    }
    ASSERT_NE(button, nullptr) << c.id;
    wchar_t text[64] = {};
    GetWindowTextW(button, text, 64);
    EXPECT_EQ(std::wstring(text), c.stem) << c.id;
    EXPECT_EQ((GetWindowLongW(button, GWL_STYLE) & WS_VISIBLE) == 0, hidden.count(c.id) == 1) << c.id;
  }
  for (size_t i = kSkinnedButtonCount; i < kMainControlCount; ++i) {
    EXPECT_EQ(kMainControls[i].stem, nullptr);
    EXPECT_NE(GetDlgItem(dialog, static_cast<int>(kMainControls[i].id)), nullptr) << kMainControls[i].id;
  }
  DestroyWindow(dialog);
}

TEST(MainControls, RegisterEachHintOnceInItsOrder) {
  const MainControl* order[kHintCount];
  HintRegistrationOrder(order);
  const UINT expected[kHintCount] = {1027, 1023, 1040, 1039, 1038, 1037, 1022, 1050, 1020,
                                     1021, 1041, 1024, 1029, 1047, 1046, 1019, 1031, 1045};
  for (size_t i = 0; i < kHintCount; ++i) {
    ASSERT_NE(order[i], nullptr) << i;
    EXPECT_EQ(order[i]->id, expected[i]) << i;
    EXPECT_NE(order[i]->hint, nullptr);
  }
  for (size_t i = 0; i < kMainControlCount; ++i)
    EXPECT_EQ(kMainControls[i].hint != nullptr, kMainControls[i].hintOrder != 0) << kMainControls[i].id;
  EXPECT_EQ(
      FindMainControl(IDC_BUTOPENWAV)->hint,
      std::wstring(L"Load file on Master track\nRight side - Load a file on Master track from Internet"));
  EXPECT_EQ(FindMainControl(9999), nullptr);
}

}  // namespace
