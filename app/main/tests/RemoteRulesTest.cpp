// The classroom decisions by table: the recipient list of WM_COPYDATA, what each remote code asks
// for, what the holds leave enabled, level tips and remote positions.
#include <windows.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "app/main/ClassroomMessages.h"
#include "app/main/RemoteRules.h"
#include "app/res/resource.h"

namespace {

uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return uint32_t(a) | uint32_t(b) << 8 | uint32_t(c) << 16 | uint32_t(d) << 24;
}

struct Pair {
  uint32_t station;
  uint32_t address;
};

std::vector<Pair> Parse(const std::string& text, size_t bytes) {
  StationRecipient table[256] = {};
  const uint32_t n = ParseRecipientList(text.data(), bytes, table, 256);
  std::vector<Pair> out;
  for (uint32_t i = 0; i < n; ++i) out.push_back({table[i].stationNumber, table[i].address});
  return out;
}

TEST(RecipientList, ParsesPairsThatEndInABar) {
  struct Case {
    const char* name;
    std::string text;
    size_t bytes;  // SIZE_MAX: the whole text
    std::vector<Pair> expected;
  };
  const size_t all = SIZE_MAX;
  const std::vector<Case> cases = {
      {"two pairs", "3|10.0.0.5|4|10.0.0.6|", all, {{3, Ip(10, 0, 0, 5)}, {4, Ip(10, 0, 0, 6)}}},
      {"with the sender's NUL", std::string("3|10.0.0.5|\0", 12), all, {{3, Ip(10, 0, 0, 5)}}},
      {"no closing bar", "3|10.0.0.5", all, {}},
      {"last pair without its bar", "3|10.0.0.5|4|10.0.0.6", all, {{3, Ip(10, 0, 0, 5)}}},
      {"empty", "", all, {}},
      {"no bar at all", "3 10.0.0.5", all, {}},
      {"five parts keep four", "7|1.2.3.4.5|", all, {{7, Ip(1, 2, 3, 4)}}},
      {"missing parts are 0", "7|1.2|", all, {{7, Ip(1, 2, 0, 0)}}},
      {"empty address", "7||", all, {{7, 0}}},
      {"only 15 characters looked at", "7|001.002.003.0004|", all, {{7, Ip(1, 2, 3, 0)}}},
      {"a part is one octet", "7|300.1.1.1|", all, {{7, Ip(44, 1, 1, 1)}}},
      {"number read as atoi", " 12abc|9.9.9.9|x|1.1.1.1|", all, {{12, Ip(9, 9, 9, 9)}, {0, Ip(1, 1, 1, 1)}}},
      {"cbData shorter than the text", "3|10.0.0.5|4|10.0.0.6|", 11, {{3, Ip(10, 0, 0, 5)}}},
      {"cbData cuts the second bar", "3|10.0.0.5|4|10.0.0.6|", 21, {{3, Ip(10, 0, 0, 5)}}},
      {"a NUL ends the text",
       std::string("3|10.0.0.5|\0"
                   "4|10.0.0.6|",
                   23),
       all,
       {{3, Ip(10, 0, 0, 5)}}},
      {"cbData 0", "3|10.0.0.5|", 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<Pair> got = Parse(c.text, c.bytes == all ? c.text.size() : c.bytes);
    ASSERT_EQ(got.size(), c.expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].station, c.expected[i].station) << i;
      EXPECT_EQ(got[i].address, c.expected[i].address) << i;
    }
  }
  StationRecipient table[1];
  EXPECT_EQ(ParseRecipientList(nullptr, 10, table, 1), 0u);
}

TEST(RecipientList, KeepsTheFirst256Of300Pairs) {
  std::string text;
  for (int i = 0; i < 300; ++i)
    text += std::to_string(i) + "|10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256) + "|";
  StationRecipient table[257] = {};
  table[256].stationNumber = 0xDEADBEEF;
  EXPECT_EQ(ParseRecipientList(text.data(), text.size(), table, 256), 256u);
  EXPECT_EQ(table[0].stationNumber, 0u);
  EXPECT_EQ(table[255].stationNumber, 255u);
  EXPECT_EQ(table[255].address, Ip(10, 0, 0, 255));
  EXPECT_EQ(table[256].stationNumber, 0xDEADBEEFu);
}

// The sender's bytes end right before a page nobody may read: a scan past cbData faults.
TEST(RecipientList, ReadsNothingPastTheSendersBytes) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  const size_t page = info.dwPageSize;
  auto* region =
      static_cast<char*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(region, nullptr);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(region + page, page, PAGE_NOACCESS, &old));
  const std::string text = "3|10.0.0.5|4|10.0.0";
  char* at = region + page - text.size();
  memcpy(at, text.data(), text.size());
  StationRecipient table[4] = {};
  EXPECT_EQ(ParseRecipientList(at, text.size(), table, 4), 1u);
  EXPECT_EQ(table[0].address, Ip(10, 0, 0, 5));
  VirtualFree(region, 0, MEM_RELEASE);
}

TEST(RemoteButton, EachCodeAsksForItsAction) {
  struct Case {
    WPARAM code;
    LPARAM value;
    RemoteAction action;
  };
  const Case cases[] = {
      {WPARAM(-1), 0, RemoteAction::kIgnore},
      {REMOTE_UNLOCK, 7, RemoteAction::kUnlock},
      {REMOTE_LOCK, 0x1234, RemoteAction::kLock},
      {REMOTE_BUSY, 0, RemoteAction::kBusy},
      {REMOTE_IDLE, 0, RemoteAction::kIdle},
      {REMOTE_WAIT_SHOW, 0, RemoteAction::kWaitShow},
      {REMOTE_WAIT_HIDE, 0, RemoteAction::kWaitHide},
      {WPARAM(-8), 0, RemoteAction::kIgnore},
      {1008, 22050, RemoteAction::kMasterPosition},
      {1009, 0, RemoteAction::kStudentPosition},
      {1010, 5, RemoteAction::kIgnore},
      {1046, 1, RemoteAction::kOutLevel},
      {1047, -4, RemoteAction::kInLevel},
      {1026, 0, RemoteAction::kLedDoubleClick},
      {IDC_VBUTPLAYPLAY, 1, RemoteAction::kModeRightClick},
      {IDC_VBUTPLAYREC, 1, RemoteAction::kModeRightClick},
      {IDC_HBUTPLAYPLAY, 1, RemoteAction::kModeRightClick},
      {IDC_HBUTPLAYREC, 1, RemoteAction::kModeRightClick},
      {IDC_VBUTPLAYPLAY, 0, RemoteAction::kClick},
      {IDC_VBUTPLAYPLAY, 2, RemoteAction::kIgnore},
      {IDC_BUTINSERTBM, 1, RemoteAction::kBookmarksToggle},
      {IDC_BUTINSERTBM, 0, RemoteAction::kClick},
      {IDC_BUTREC, 0, RemoteAction::kClick},
      {IDC_BUTREC, 1, RemoteAction::kIgnore},
      {IDC_MBUTPAUSE, 0, RemoteAction::kClick},
  };
  for (const Case& c : cases)
    EXPECT_EQ(int(ClassifyRemoteButton(c.code, c.value)), int(c.action))
        << long(c.code) << " " << long(c.value);
}

TEST(RemoteButton, OnlyThePressesThatReachATrackWaitForFileWork) {
  for (RemoteAction a :
       {RemoteAction::kMasterPosition, RemoteAction::kStudentPosition, RemoteAction::kLedDoubleClick,
        RemoteAction::kModeRightClick, RemoteAction::kBookmarksToggle, RemoteAction::kClick})
    EXPECT_TRUE(RemoteActionTouchesTracks(a)) << int(a);
  for (RemoteAction a : {RemoteAction::kIgnore, RemoteAction::kUnlock, RemoteAction::kLock,
                         RemoteAction::kBusy, RemoteAction::kIdle, RemoteAction::kWaitShow,
                         RemoteAction::kWaitHide, RemoteAction::kOutLevel, RemoteAction::kInLevel})
    EXPECT_FALSE(RemoteActionTouchesTracks(a)) << int(a);
}

TEST(RemoteButton, EveryPressThatReachesATrackOrAFileWaitsForABox) {
  for (UINT id : {IDC_MBUTPLAY,    IDC_MBUTPAUSE,  IDC_MBUTSTOP,     IDC_BUTREC,      IDC_BUTPLAY,
                  IDC_BUTNEXTB,    IDC_BUTREPEAT,  IDC_VBUTPLAYPLAY, IDC_HBUTPLAYREC, IDC_BUTINSERTBM,
                  IDC_BUTREMOVEBM, IDC_BUTCLEAR,   IDC_MBUTERASE,    IDC_BUTPLUS,     IDC_LEDNUMBER,
                  IDC_BUTOPENWAV,  IDC_BUTSAVEWAV, IDC_BUTSAVEBM,    IDC_BUTCLOSEWAV, IDC_BUTSENDWAV})
    EXPECT_TRUE(PressChangesTrack(id)) << id;
  // The way out and the window's own buttons; the edits, sliders and commands of no control.
  for (UINT id : std::initializer_list<UINT>{IDC_BUTEXIT, IDC_BUTMINIMIZE, IDC_BUTMIXER, IDC_MASTERTEXT,
                                             IDC_OUTSLIDER, UINT(IDOK), UINT(IDCANCEL), 0u, 40000u})
    EXPECT_FALSE(PressChangesTrack(id)) << id;
}

TEST(EnableState, EachHoldGivesItsEffectAndNoneUndoesAnother) {
  struct Case {
    const char* name;
    RemoteHolds holds;     // locked, station mode, remote busy, waiting, file work, box up
    EnableState expected;  // dialog, controls, text edits, exit, wait cursor
  };
  const Case cases[] = {
      {"free", {false, true, false, false, false}, {true, true, true, true, false}},
      {"locked station", {true, true, false, false, false}, {true, false, true, false, false}},
      {"locked outside station mode", {true, false, false, false, false}, {true, true, true, true, false}},
      {"busy", {false, true, true, false, false}, {false, true, true, true, true}},
      {"waiting", {false, true, false, true, false}, {true, false, false, true, true}},
      {"locked and waiting", {true, true, false, true, false}, {true, false, false, true, true}},
      {"locked and busy", {true, true, true, false, false}, {false, false, true, false, true}},
      {"saving", {false, true, false, false, true}, {false, true, true, true, false}},
      {"busy ended during a save", {true, true, false, false, true}, {false, false, true, false, false}},
      {"all at once", {true, true, true, true, true, true}, {false, false, false, true, true}},
      // A box of the dialog keeps it disabled whatever the classroom ends meanwhile.
      {"box up", {false, true, false, false, false, true}, {false, true, true, true, false}},
      {"locked under a box", {true, true, false, false, false, true}, {false, false, true, false, false}},
      {"busy under a box", {false, true, true, false, false, true}, {false, true, true, true, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const EnableState s = DeriveEnableState(c.holds);
    EXPECT_EQ(s.dialog, c.expected.dialog);
    EXPECT_EQ(s.controls, c.expected.controls);
    EXPECT_EQ(s.textEdits, c.expected.textEdits);
    EXPECT_EQ(s.exitButton, c.expected.exitButton);
    EXPECT_EQ(s.waitCursor, c.expected.waitCursor);
  }
}

TEST(LevelTip, EmptyUpToZeroAndFullFromOne) {
  struct Case {
    int32_t level;
    int travel;
    UINT tip;
  };
  const Case cases[] = {{5, 120, 120},     {1, 120, 120},       {0, 120, 0}, {-3, 120, 0},
                        {INT_MIN, 120, 0}, {INT_MAX, 120, 120}, {1, 0, 0},   {1, -13, 0}};
  for (const Case& c : cases)
    EXPECT_EQ(LevelTipPosition(c.level, c.travel), c.tip) << c.level << " " << c.travel;
}

TEST(RemotePosition, StaysInTheChunkAndMapsToItsColumn) {
  EXPECT_EQ(ClampRemoteFrame(22050, 88200), 22050u);
  EXPECT_EQ(ClampRemoteFrame(88200, 88200), 88200u);
  EXPECT_EQ(ClampRemoteFrame(1000000, 88200), 88200u);
  EXPECT_EQ(ClampRemoteFrame(-5, 88200), 0u);
  EXPECT_EQ(ClampRemoteFrame(100, 0), 0u);
  EXPECT_EQ(CursorColumnOf(22050, 0, 256), 86);
  EXPECT_EQ(CursorColumnOf(22050, 2050, 100), 200);
  EXPECT_EQ(CursorColumnOf(100, 356, 256), -1);
  EXPECT_EQ(CursorColumnOf(100, 0, 0), 0);
}

}  // namespace
