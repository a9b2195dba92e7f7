// The real recorder's transport driven from outside under Wine's own audio: the Master played to
// its end, an answer recorded in each of the four modes and both tracks heard back, each step
// read from the faces the buttons show (a skinned button's window text is its face's stem).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/main/tests/RecorderProcess.h"
#include "app/res/resource.h"
#include "tests/support/TestFiles.h"
#include "tests/support/UiDriver.h"

namespace {

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

void WriteWav(const std::wstring& path, uint32_t frames) {
  std::string out;
  auto u32 = [&](uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.append(reinterpret_cast<const char*>(&v), 2); };
  out += "RIFF";
  u32(36 + frames * 2);
  out += "WAVEfmt ";
  u32(16);
  u16(1);
  u16(1);
  u32(44100);
  u32(88200);
  u16(2);
  u16(16);
  out += "data";
  u32(frames * 2);
  for (uint32_t i = 0; i < frames; ++i) u16(static_cast<uint16_t>((i % 100) * 300));
  WriteWholeFile(path, out);
}

class RecorderTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTempFolder(L"qmrectransport");
    // Half a second of Master.
    const std::wstring lesson = folder_ + L"\\lesson.wav";
    WriteWav(lesson, 22050);
    ASSERT_TRUE(recorder_.Start(L"\"" + lesson + L"\""));
    dialog_ = recorder_.WaitForWindow(L"Recorder");
    ASSERT_NE(dialog_, nullptr);
    HWND field = GetDlgItem(dialog_, IDC_FILENAME);
    ASSERT_TRUE(
        WaitUntil([&] { return ControlText(field) == L"lesson.wav" && IsWindowEnabled(dialog_); }, 30000));
  }
  void TearDown() override {
    // The Student holds an unsaved answer: the exit would ask about it.
    recorder_.Kill();
    RemoveTree(folder_);
  }

  // Sent, so that it returns once the handler has run: no transport button puts up a box.
  void Press(UINT id) {
    SendMessageTimeoutW(dialog_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                        reinterpret_cast<LPARAM>(GetDlgItem(dialog_, static_cast<int>(id))), SMTO_NORMAL,
                        30000, nullptr);
  }
  std::wstring Face(UINT id) { return ui::WindowTextOf(GetDlgItem(dialog_, static_cast<int>(id))); }
  bool WaitFace(UINT id, const wchar_t* stem, DWORD timeoutMs = 15000) {
    return WaitUntil([&] { return Face(id) == stem; }, timeoutMs);
  }

  CRecorderProcess recorder_;
  HWND dialog_ = nullptr;
  std::wstring folder_;
};

TEST_F(RecorderTransport, AStudentPlaysTheMasterRecordsInEachModeAndHearsBothBack) {
  // The Master plays to the end of its chunk.
  Press(IDC_MBUTPLAY);
  EXPECT_EQ(Face(IDC_MBUTPLAY), L"MBUTPAUSE");
  ASSERT_TRUE(WaitFace(IDC_MBUTPLAY, L"MBUTPLAY")) << "the Master's playback never ended";

  // Sequential recording while the Master plays: the Master starts over, and the answer is
  // recorded only once the Master has played out.
  Press(IDC_MBUTPLAY);
  Press(IDC_HBUTPLAYREC);
  Sleep(250);
  EXPECT_EQ(Face(IDC_BUTREC), L"BUTREC") << "recording started while the Master still played";
  ASSERT_TRUE(WaitFace(IDC_BUTREC, L"BUTRECORDSTOP"));
  EXPECT_EQ(Face(IDC_HBUTPLAYREC), L"HBUTPLAYRECSTOP");
  Sleep(600);
  // The end of the Master's chunk (long past) must not have stopped the answer.
  EXPECT_EQ(Face(IDC_BUTREC), L"BUTRECORDSTOP");
  Press(IDC_BUTSTOP);
  ASSERT_TRUE(WaitFace(IDC_BUTREC, L"BUTREC"));

  // The answer played back to its end.
  Press(IDC_BUTPLAY);
  EXPECT_EQ(Face(IDC_BUTNEXTB), L"BUTNEXT");
  ASSERT_TRUE(WaitFace(IDC_BUTNEXTB, L"BUTNEXTB")) << "the Student's playback never ended";

  // Simultaneous recording: the answer is recorded while the Master plays; a second press ends it.
  Press(IDC_VBUTPLAYREC);
  ASSERT_TRUE(WaitFace(IDC_VBUTPLAYREC, L"VBUTPLAYRECSTOP"));
  ASSERT_TRUE(WaitFace(IDC_MBUTPLAY, L"MBUTPAUSE"));
  ASSERT_TRUE(WaitFace(IDC_MBUTPLAY, L"MBUTPLAY"));
  EXPECT_EQ(Face(IDC_BUTREC), L"BUTRECORDSTOP") << "the Master's end stopped the recording";
  Press(IDC_VBUTPLAYREC);
  ASSERT_TRUE(WaitFace(IDC_VBUTPLAYREC, L"VBUTPLAYREC"));

  // Sequential and simultaneous playback: both tracks heard, the mode over at their ends.
  for (UINT mode : {IDC_HBUTPLAYPLAY, IDC_VBUTPLAYPLAY}) {
    SCOPED_TRACE(mode);
    Press(mode);
    ASSERT_TRUE(WaitFace(IDC_MBUTPLAY, L"MBUTPAUSE"));
    ASSERT_TRUE(WaitFace(IDC_MBUTPLAY, L"MBUTPLAY"));
  }

  // Recording with the record button, then the answer heard again.
  Press(IDC_BUTREC);
  ASSERT_TRUE(WaitFace(IDC_BUTREC, L"BUTRECORDSTOP"));
  Sleep(300);
  Press(IDC_BUTREC);
  ASSERT_TRUE(WaitFace(IDC_BUTREC, L"BUTREC"));
  Press(IDC_BUTPLAY);
  EXPECT_EQ(Face(IDC_BUTNEXTB), L"BUTNEXT");
  ASSERT_TRUE(WaitFace(IDC_BUTNEXTB, L"BUTNEXTB"));
  EXPECT_TRUE(IsWindow(dialog_)) << Narrow(Face(IDC_BUTREC));
}

TEST_F(RecorderTransport, NotificationsPostedByAnotherProcessAreIgnored) {
  // Any process can post to a window it finds by its title; the senders it names are no tracks.
  constexpr UINT kSoundNotify = WM_USER + 1;
  for (LPARAM sender : {LPARAM(0), LPARAM(0x12345678), LPARAM(-1), reinterpret_cast<LPARAM>(dialog_)})
    for (WPARAM code = 0; code <= 9; ++code) PostMessageW(dialog_, kSoundNotify, code, sender);
  // Answered after everything posted before it has been handled.
  ui::PostClick(dialog_, IDC_BUTPLAY);
  ASSERT_TRUE(WaitFace(IDC_BUTNEXTB, L"BUTNEXT"));
  EXPECT_EQ(Face(IDC_BUTREC), L"BUTREC");
  EXPECT_EQ(ControlText(GetDlgItem(dialog_, IDC_FILENAME)), L"lesson.wav");
  EXPECT_EQ(recorder_.WaitExit(0), DWORD(STILL_ACTIVE));
}

}  // namespace
