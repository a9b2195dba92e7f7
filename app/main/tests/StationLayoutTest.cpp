// Placement, station area and the quoted path of the command line, by table.
#include "app/main/StationLayout.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr int kSkinW = 516, kSkinH = 470;

MonitorTable Monitors(std::initializer_list<RECT> rects) {
  MonitorTable t;
  for (const RECT& r : rects) t.rects[t.count++] = r;
  return t;
}

struct PlaceCase {
  const char* name;
  bool station;
  uint32_t number;
  MonitorTable monitors;
  POINT expected;
};

TEST(StationLayout, PlacesTheWindowByStationAndMonitors) {
  const MonitorTable one = Monitors({{0, 0, 1280, 1024}});
  // Second monitor to the left of the first, of another size.
  const MonitorTable two = Monitors({{0, 0, 1280, 1024}, {-1920, 0, 0, 1080}});
  const PlaceCase cases[] = {
      {"plain start", false, 0, one, {382, 277}},
      {"plain start ignores monitors", false, 1, two, {382, 277}},
      {"station 1 right half", true, 1, one, {702, 277}},
      {"station 2 left half", true, 2, one, {62, 277}},
      {"station 0 on one monitor stays centred", true, 0, one, {382, 277}},
      {"station 1 on the second monitor", true, 1, two, {-1920 + (1920 - kSkinW) / 2, (1080 - kSkinH) / 2}},
      {"station 2 on the first monitor", true, 2, two, {382, 277}},
      {"station 0 on two monitors stays centred", true, 0, two, {382, 277}},
      {"no monitor counts as one", true, 1, MonitorTable{}, {702, 277}},
      {"no monitor, station 2", true, 2, MonitorTable{}, {62, 277}},
  };
  for (const PlaceCase& c : cases) {
    POINT p = PlaceMainWindow(1280, 1024, kSkinW, kSkinH, c.station, c.number, c.monitors);
    EXPECT_EQ(p.x, c.expected.x) << c.name;
    EXPECT_EQ(p.y, c.expected.y) << c.name;
  }
}

TEST(StationLayout, TruncatesTowardZeroWhenTheSkinIsWiderThanTheScreen) {
  POINT p = PlaceMainWindow(515, 469, kSkinW, kSkinH, false, 0, MonitorTable{});
  EXPECT_EQ(p.x, 0);  // -1 / 2 in C integer division
  EXPECT_EQ(p.y, 0);
  p = PlaceMainWindow(1001, 1024, kSkinW, kSkinH, true, 2, MonitorTable{});
  EXPECT_EQ(p.x, (500 - kSkinW) / 2);  // -8
}

TEST(StationLayout, GivesEachStationItsArea) {
  const MonitorTable two = Monitors({{0, 0, 1280, 1024}, {1280, 0, 3200, 1080}});
  struct {
    uint32_t number;
    MonitorTable monitors;
    RECT expected;
  } cases[] = {
      {1, Monitors({{0, 0, 1280, 1024}}), {640, 0, 1280, 1024}},
      {2, Monitors({{0, 0, 1280, 1024}}), {0, 0, 640, 1024}},
      {1, MonitorTable{}, {640, 0, 1280, 1024}},
      {1, two, {1280, 0, 3200, 1080}},
      {2, two, {0, 0, 1280, 1024}},
  };
  for (const auto& c : cases) {
    RECT r = StationArea(1280, 1024, c.number, c.monitors);
    EXPECT_EQ(r.left, c.expected.left) << c.number;
    EXPECT_EQ(r.top, c.expected.top) << c.number;
    EXPECT_EQ(r.right, c.expected.right) << c.number;
    EXPECT_EQ(r.bottom, c.expected.bottom) << c.number;
  }
}

TEST(StationLayout, TakesTheTextBetweenTheLastTwoQuotes) {
  const std::wstring longPath(300, L'x');
  const std::wstring fits(259, L'y');
  struct {
    std::wstring line;
    bool opens;
    std::wstring path;
  } cases[] = {
      {L"/Pos:1 \"C:\\a b\\lesson.wav\"", true, L"C:\\a b\\lesson.wav"},
      {L"\"first.wav\" \"second.wav\"", true, L"second.wav"},
      {L"\"a\"b\"", true, L"b"},
      {L"/_p", false, L""},
      {L"/_p \"C:\\only one quote", false, L""},
      {L"\"\"", false, L""},
      {L"\"/_m\"", false, L""},
      {L"\"/_p\"", false, L""},
      {L"\"/_s\"", false, L""},
      {L"\"/_S\"", true, L"/_S"},
      {L"\"C:\\*.wav\"", true, L"C:\\*.wav"},
      {L"\"" + fits + L"\"", true, fits},
      {L"\"" + longPath + L"\"", false, L""},
      {L"", false, L""},
  };
  for (const auto& c : cases) {
    wchar_t out[MAX_PATH] = {L'?'};
    EXPECT_EQ(ExtractQuotedPath(c.line.c_str(), out, MAX_PATH), c.opens)
        << std::string(c.line.begin(), c.line.end());
    EXPECT_EQ(std::wstring(out), c.path);
  }
  wchar_t out[4];
  EXPECT_FALSE(ExtractQuotedPath(nullptr, out, 4));
}

TEST(StationLayout, JoinsTheFoundNameToThePatternsFolder) {
  wchar_t out[MAX_PATH];
  ASSERT_TRUE(JoinFoundName(L"C:\\lessons\\*.wav", L"one.wav", out, MAX_PATH));
  EXPECT_STREQ(out, L"C:\\lessons\\one.wav");
  ASSERT_TRUE(JoinFoundName(L"*.wav", L"one.wav", out, MAX_PATH));
  EXPECT_STREQ(out, L"one.wav");
  const std::wstring folder = L"C:\\" + std::wstring(250, L'f') + L"\\";
  EXPECT_FALSE(JoinFoundName((folder + L"*").c_str(), L"long-name.wav", out, MAX_PATH));
  EXPECT_STREQ(out, L"");
}

}  // namespace
