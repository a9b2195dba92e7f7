// The hint window: placement near the screen edges, lines of a text, and when the pop-up shows.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "app/controls/HintWindow.h"
#include "app/controls/tests/ScreenCapture.h"
#include "app/controls/tests/SkinTestDialog.h"

namespace {

TEST(HintPlacement, StaysOnScreen) {
  const SIZE screen = {1280, 1024}, popup = {100, 40};
  struct Case {
    POINT cursor;
    POINT at;
  } cases[] = {
      {{300, 200}, {300, 220}},    // room: 20 pixels under the cursor
      {{1250, 200}, {1178, 220}},  // right edge: 2 pixels off
      {{1178, 200}, {1178, 220}},  // just fits
      {{1179, 200}, {1178, 220}},
      {{300, 1000}, {300, 984}},    // bottom: pushed up to end at the screen's bottom
      {{300, 964}, {300, 984}},     // just fits
      {{1270, 1020}, {1178, 984}},  // corner
  };
  for (const Case& c : cases) {
    POINT at = PlaceHintPopup(c.cursor, popup, screen);
    EXPECT_EQ(at.x, c.at.x) << c.cursor.x << "," << c.cursor.y;
    EXPECT_EQ(at.y, c.at.y) << c.cursor.x << "," << c.cursor.y;
  }
}

TEST(HintLines, SplitAtNewlines) {
  struct Case {
    const wchar_t* text;
    int index;
    const wchar_t* line;  // null: no such line
  } cases[] = {
      {L"one\ntwo", 0, L"one"}, {L"one\ntwo", 1, L"two"}, {L"one\ntwo", 2, nullptr}, {L"one\n", 0, L"one"},
      {L"one\n", 1, nullptr},   {L"", 0, nullptr},        {L"a\n\nb", 1, L""},       {L"a\n\nb", 2, L"b"},
  };
  for (const Case& c : cases) {
    wchar_t out[250] = L"?";
    bool found = GetHintLine(c.text, c.index, out, 250);
    EXPECT_EQ(found, c.line != nullptr) << c.index;
    if (found && c.line) {
      EXPECT_STREQ(out, c.line);
    }
  }
}

class HintWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    owner = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 100, 100, 400, 300, nullptr, nullptr,
                            nullptr, nullptr);
    shown = CreateWindowExW(0, L"BUTTON", L"", WS_CHILD | WS_VISIBLE, 10, 10, 60, 20, owner, nullptr, nullptr,
                            nullptr);
    hidden = CreateWindowExW(0, L"BUTTON", L"", WS_CHILD, 100, 10, 60, 20, owner, nullptr, nullptr, nullptr);
    hints.CreateHintWindow(owner);
    ASSERT_NE(hints.Window(), nullptr);
    KillTimer(hints.Window(), CHintWindow::kTimerId);  // the ticks below come from the test alone
    hints.AddHint(shown, L"Sequential recording\nRight click to next");
    hints.AddHint(hidden, L"never");
  }
  void TearDown() override {
    hints.DestroyHintWindow();
    DestroyWindow(owner);
  }
  bool Visible() { return IsWindowVisible(hints.Window()) != FALSE; }

  HWND owner = nullptr, shown = nullptr, hidden = nullptr;
  CHintWindow hints;
  const POINT over = {100 + 20, 100 + 15};  // on the visible control
};

TEST_F(HintWindow, OnlyVisibleControlsAreRegistered) {
  ASSERT_EQ(hints.HintCount(), 1u);
  const RECT& r = hints.Hints()[0].rect;
  EXPECT_EQ(r.left, 10);
  EXPECT_EQ(r.top, 10);
  EXPECT_EQ(r.right, 70);
}

TEST_F(HintWindow, ShowsAfterARestAndHidesOnAnyMove) {
  struct Tick {
    POINT cursor;
    bool inFront;
    DWORD now;
    bool visible;
  } ticks[] = {
      {over, true, 1000, false},                  // arrival counts as a move
      {over, true, 1100, false},                  // resting 100 ms
      {over, true, 1700, false},                  // 700 ms: not yet
      {over, true, 1701, true},                   // more than 700 ms
      {over, true, 1800, true},                   // stays
      {{over.x + 1, over.y}, true, 1900, false},  // one pixel: hidden
      {{over.x + 1, over.y}, true, 2000, false},  // the rest starts again
      {{over.x + 1, over.y}, true, 2601, true},
      {{over.x + 1, over.y}, false, 2700, false},  // another window in front
      {{over.x + 1, over.y}, false, 4000, false},  // never while behind
      {{300, 300}, true, 4100, false},             // off every hint
      {{300, 300}, true, 5000, false},
  };
  for (const Tick& t : ticks) {
    hints.OnHintTick(t.cursor, t.inFront, t.now);
    EXPECT_EQ(Visible(), t.visible) << "at " << t.now;
    EXPECT_EQ(hints.Shown(), t.visible) << "at " << t.now;
  }
}

TEST_F(HintWindow, PopUpIsSizedToItsLinesAndPlacedUnderTheCursor) {
  hints.OnHintTick(over, true, 0);
  hints.OnHintTick(over, true, 701);
  ASSERT_TRUE(Visible());
  RECT r;
  GetWindowRect(hints.Window(), &r);
  EXPECT_EQ(r.left, over.x);
  EXPECT_EQ(r.top, over.y + 20);
  const RECT& text = hints.TextRect();
  EXPECT_EQ(r.right - r.left, text.right);
  EXPECT_EQ(r.bottom - r.top, text.bottom);

  // Both lines are painted: text pixels in the upper and in the lower half, inside the border.
  auto inkIn = [&](int top, int bottom) {
    CPixels p = CPixels::FromScreen({r.left + 2, r.top + top, r.right - 2, r.top + bottom});
    Rgba back = CPixels::FromScreen({r.right - 3, r.top + 2, r.right - 2, r.top + 3}).At(0, 0);
    int n = 0;
    for (int y = 0; y < p.height; ++y)
      for (int x = 0; x < p.width; ++x) n += !Near(p.At(x, y), back, 40);
    return n;
  };
  int half = (r.bottom - r.top) / 2;
  EXPECT_GT(inkIn(2, half), 10);
  EXPECT_GT(inkIn(half, r.bottom - r.top - 2), 10);

  // Two lines are twice as tall as one; a newline at the end adds no empty line.
  auto heightOf = [&](const wchar_t* t) {
    CHintWindow h;
    h.CreateHintWindow(owner);
    h.AddHint(shown, t);
    h.OnHintTick(over, true, 0);
    h.OnHintTick(over, true, 701);
    return h.TextRect().bottom - 4;
  };
  int one = heightOf(L"Save Student track");
  EXPECT_GT(one, 0);
  EXPECT_EQ(heightOf(L"Save Student track\n"), one);
  EXPECT_EQ(heightOf(L"Save\nStudent track"), 2 * one);
}

}  // namespace
