// The real recorder's saves and exits driven from outside: a station's automatic save under its
// names, a save that cannot be written keeping the program open, the save dialog's proposal and
// the backup of an overwritten file, and the send with and without the framework's memory.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/main/ClassroomMessages.h"
#include "app/main/tests/RecorderProcess.h"
#include "app/res/resource.h"
#include "peers/PeerProcess.h"
#include "tests/support/DialogTestKit.h"
#include "tests/support/TestFiles.h"
#include "tests/support/UiDriver.h"

namespace {

const std::wstring kWorks = L"c:\\StudentWorks";

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

void WriteWav(const std::wstring& path, uint32_t frames) {
  WriteWholeFile(path, MonoWavBytes(frames, [](uint32_t i) { return (i % 100) * 300; }));
}

std::wstring Stamp(const SYSTEMTIME& t) {
  wchar_t text[32];
  swprintf(text, 32, L"%02u%02u%02u_%02u%02u", t.wYear % 100u, unsigned(t.wMonth), unsigned(t.wDay),
           unsigned(t.wHour), unsigned(t.wMinute));
  return text;
}

// A ZIP archive's first bytes (a local header, or the end record of an empty archive).
bool LooksLikeZip(const std::wstring& path) {
  std::string bytes;
  return ReadWholeFile(path, bytes) && bytes.size() >= 22 && bytes.compare(0, 2, "PK") == 0;
}

HWND WaitLoaded(CRecorderProcess& recorder, const std::wstring& title, const std::wstring& name) {
  HWND dialog = recorder.WaitForWindow(title);
  if (!dialog) return nullptr;
  HWND field = GetDlgItem(dialog, IDC_FILENAME);
  if (!WaitUntil([&] { return ControlText(field) == name && IsWindowEnabled(dialog); }, 30000))
    return nullptr;
  return dialog;
}

// Sent, not posted: these exits put up no box, so the call returns once the exit has decided.
void SendClose(HWND dialog) {
  SendMessageTimeoutW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0, SMTO_NORMAL, 30000, nullptr);
}

class RecorderFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveTree(kWorks);
    DeleteFileW(kWorks.c_str());
    folder_ = MakeTempFolder(L"qmrecfiles");
    lesson_ = folder_ + L"\\lesson.wav";
    WriteWav(lesson_, 44100);
  }
  void TearDown() override {
    DeleteFileW(kWorks.c_str());
    RemoveTree(kWorks);
    RemoveTree(folder_);
  }
  // Starts the recorder on the lesson, with these switches before it; its window once the lesson
  // is loaded, or null.
  HWND StartOnLesson(CRecorderProcess& recorder, const std::wstring& switches, const std::wstring& title) {
    if (!recorder.Start(switches + L"\"" + lesson_ + L"\"")) return nullptr;
    return WaitLoaded(recorder, title, L"lesson.wav");
  }
  std::wstring folder_, lesson_;
};

TEST_F(RecorderFiles, AStationSavesTheStudentBesideItsMastersNameWhenItExits) {
  CRecorderProcess recorder;
  HWND dialog = StartOnLesson(recorder, L"/Pos:1 ", L"_1QuillmeridianUser");
  ASSERT_NE(dialog, nullptr);
  SYSTEMTIME before, after;
  GetLocalTime(&before);
  PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_EQ(recorder.WaitExit(60000), 0u);
  GetLocalTime(&after);
  // The name carries the minute of the save: either side of a minute boundary.
  const std::wstring a = kWorks + L"\\" + Stamp(before) + L"_lesson_Stud1.qpk";
  const std::wstring b = kWorks + L"\\" + Stamp(after) + L"_lesson_Stud1.qpk";
  EXPECT_TRUE(LooksLikeZip(a) || LooksLikeZip(b)) << Narrow(a);
  EXPECT_TRUE(Exists(lesson_));
}

TEST_F(RecorderFiles, AStationWithoutAMasterFileCountsUpItsSaves) {
  CPeerProcess daemon;
  ASSERT_TRUE(daemon.Start(L"orrin_peer.exe", L"--no-sharedmem"));
  for (const wchar_t* expected : {L"\\1StudentsWorks.qpk", L"\\1StudentsWorks[1].qpk"}) {
    CRecorderProcess recorder;
    ASSERT_TRUE(recorder.Start(L"/_p"));
    HWND dialog = recorder.WaitForWindow(L"_1QuillmeridianUser");
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(daemon.WaitForLog("MSG msg=0x590 wparam=9 lparam=1", 30000));
    ASSERT_TRUE(WaitUntil(
        [&] { return IsWindowVisible(dialog) && !IsWindowVisible(GetDlgItem(dialog, IDC_BUTEXIT)); }, 30000));
    PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(recorder.WaitExit(60000), 0u);
    EXPECT_TRUE(LooksLikeZip(kWorks + expected)) << Narrow(expected);
  }
}

TEST_F(RecorderFiles, ASaveThatCannotBeWrittenKeepsTheStationOpenAndALaterOneCloses) {
  // A file where the folder should be: the automatic save cannot be made.
  ASSERT_TRUE(WriteWholeFile(kWorks, std::string("in the way")));
  CRecorderProcess recorder;
  HWND dialog = StartOnLesson(recorder, L"/Pos:1 ", L"_1QuillmeridianUser");
  ASSERT_NE(dialog, nullptr);
  SendClose(dialog);
  EXPECT_EQ(recorder.WaitExit(3000), STILL_ACTIVE);
  EXPECT_TRUE(IsWindow(dialog));

  ASSERT_TRUE(DeleteFileW(kWorks.c_str()));
  SYSTEMTIME before, after;
  GetLocalTime(&before);
  SendClose(dialog);
  EXPECT_EQ(recorder.WaitExit(60000), 0u);
  GetLocalTime(&after);
  // The first exit let the Master go; the retry still names the take after the lesson.
  const std::wstring a = kWorks + L"\\" + Stamp(before) + L"_lesson_Stud1.qpk";
  const std::wstring b = kWorks + L"\\" + Stamp(after) + L"_lesson_Stud1.qpk";
  EXPECT_TRUE(LooksLikeZip(a) || LooksLikeZip(b)) << Narrow(a);
  EXPECT_FALSE(Exists(kWorks + L"\\1StudentsWorks.qpk"));
}

TEST_F(RecorderFiles, TheSaveDialogProposesThePackageAndKeepsTheOverwrittenFile) {
  const std::wstring target = folder_ + L"\\lesson.qpk";
  ASSERT_TRUE(WriteWholeFile(target, std::string("earlier")));
  CRecorderProcess recorder;
  HWND dialog = StartOnLesson(recorder, L"", L"Recorder");
  ASSERT_NE(dialog, nullptr);

  // A Student never saved: the default folder and a time stamp.
  ui::PostClick(dialog, IDC_BUTSAVEWAV);
  HWND save = ui::WaitForFileDialog(recorder.Id());
  ASSERT_NE(save, nullptr);
  // The keyboard goes to the file dialog while it is up, and back to the recorder after it.
  EXPECT_TRUE(WaitUntil([&] { return GetForegroundWindow() == save; }, 10000));
  SYSTEMTIME now;
  GetLocalTime(&now);
  const std::wstring proposal = ui::ControlTextOf(save, ui::kFileNameCombo);
  EXPECT_EQ(proposal.size(), std::wstring(L"yymmdd_hhmm_.qpk").size()) << Narrow(proposal);
  EXPECT_EQ(proposal.substr(proposal.size() - 5), L"_.qpk");
  EXPECT_EQ(ui::ControlTextOf(save, ui::kFolderCombo), L"StudentWorks");
  EXPECT_EQ(ui::ControlTextOf(save, ui::kTypeCombo), L"Quillmeridian Package QPK File");
  ASSERT_TRUE(ui::CancelDialog(save));
  EXPECT_TRUE(WaitUntil([&] { return GetForegroundWindow() == dialog; }, 10000))
      << "foreground " << GetForegroundWindow() << " \"" << Narrow(ui::WindowTextOf(GetForegroundWindow()))
      << "\" dialog " << dialog << " save " << save << " alive " << IsWindow(save);

  // The Master: its own name with the package extension.
  ui::PostClick(dialog, IDC_BUTSAVEBM);
  HWND confirm =
      ui::WaitForMessageBox(recorder.Id(), L"Do you want to save all changes of the master track?");
  ASSERT_NE(confirm, nullptr);
  ui::PostClick(confirm, IDYES);
  save = ui::WaitForFileDialog(recorder.Id());
  ASSERT_NE(save, nullptr);
  EXPECT_EQ(ui::ControlTextOf(save, ui::kFileNameCombo), L"lesson.qpk");
  ASSERT_TRUE(ui::ChooseFile(save, target));
  ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(dialog) && LooksLikeZip(target); }, 30000));
  EXPECT_EQ(ReadFileOrMissing(folder_ + L"\\lesson - Old.qpk"), "earlier");

  // Saved: the exit has nothing to ask.
  PostMessageW(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
  EXPECT_EQ(recorder.WaitExit(30000), 0u);
}

TEST_F(RecorderFiles, SendHandsThePathToTheFrameworkOrSaysItIsMissing) {
  CPeerProcess framework;
  ASSERT_TRUE(framework.Start(L"orrin_peer.exe", L"--no-pipe --no-window"));
  CRecorderProcess recorder;
  HWND dialog = StartOnLesson(recorder, L"/_t ", L"Recorder");
  ASSERT_NE(dialog, nullptr);

  std::vector<std::wstring> sent;
  for (bool withFramework : {true, false}) {
    SCOPED_TRACE(withFramework ? "with the framework" : "without");
    if (!withFramework) framework.Kill();
    ui::PostClick(dialog, IDC_BUTSENDWAV);
    HWND box = ui::WaitForDialog(recorder.Id(), 0xFFFF, nullptr, 30000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(TextOf(box), L"File saved in My Documents");
    const std::wstring path = ui::ControlTextOf(box, 0xFFFF);
    sent.push_back(path);
    EXPECT_TRUE(LooksLikeZip(path)) << Narrow(path);
    ui::PostClick(box, IDOK);
    if (withFramework) {
      EXPECT_TRUE(framework.WaitForLog("SHAREDMEM path=" + Narrow(path), 30000)) << framework.Log();
    } else {
      HWND missing = ui::WaitForMessageBox(recorder.Id(), L"Error communicating to Orrin framework");
      ASSERT_NE(missing, nullptr);
      EXPECT_EQ(TextOf(missing), L"Communication problem");
      ui::PostClick(missing, IDOK);
    }
    ASSERT_TRUE(WaitUntil([&] { return !ui::WaitForDialog(recorder.Id(), 0xFFFF, nullptr, 0); }, 30000));
  }
  wchar_t documents[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, 0, documents);
  for (const std::wstring& path : sent) {
    EXPECT_EQ(path.rfind(std::wstring(documents) + L"\\Orrin", 0), 0u) << Narrow(path);
    DeleteFileW(path.c_str());
  }
  PostMessageW(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
  EXPECT_EQ(recorder.WaitExit(30000), 0u);
}

// Returns once the window has handled what was posted to it before (in whatever loop runs).
void Settle(HWND dialog) { SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 10000, nullptr); }

TEST_F(RecorderFiles, UnderABoxThePeersMessagesLeaveTheWindowDisabledAndTheFileOpen) {
  CRecorderProcess recorder;
  HWND dialog = StartOnLesson(recorder, L"", L"Recorder");
  ASSERT_NE(dialog, nullptr);
  // A bookmark at the chunk's start is refused with a box.
  ui::PostClick(dialog, IDC_BUTINSERTBM);
  HWND box = ui::WaitForMessageBox(
      recorder.Id(),
      L"Empty region. Use Left Mouse Button to mark. \nCtrl + Left Mouse Button to insert bookmark.");
  ASSERT_NE(box, nullptr);
  for (WPARAM code : {REMOTE_BUSY, REMOTE_IDLE, REMOTE_WAIT_SHOW, REMOTE_WAIT_HIDE, REMOTE_UNLOCK}) {
    PostMessageW(dialog, WM_REMOTE_BUTTON, code, 0);
    Settle(dialog);
    EXPECT_FALSE(IsWindowEnabled(dialog)) << "after " << long(code);
  }
  // The peer's mirrored press of the close button waits for the box as well.
  PostMessageW(dialog, WM_REMOTE_BUTTON, IDC_BUTCLOSEWAV, 0);
  Settle(dialog);
  EXPECT_EQ(ControlText(GetDlgItem(dialog, IDC_FILENAME)), L"lesson.wav");
  ui::PostClick(box, IDOK);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box) && IsWindowEnabled(dialog); }, 10000));
  EXPECT_EQ(ControlText(GetDlgItem(dialog, IDC_FILENAME)), L"lesson.wav");
  SendClose(dialog);
  EXPECT_EQ(recorder.WaitExit(30000), 0u);
}

TEST_F(RecorderFiles, AClassroomQuitWhileTheSaveDialogIsUpClosesOnceItIsCancelled) {
  CRecorderProcess recorder;
  HWND dialog = StartOnLesson(recorder, L"", L"Recorder");
  ASSERT_NE(dialog, nullptr);
  ui::PostClick(dialog, IDC_BUTSAVEWAV);
  HWND save = ui::WaitForFileDialog(recorder.Id());
  ASSERT_NE(save, nullptr);
  PostMessageW(dialog, WM_REMOTE_COMMAND, REMOTE_COMMAND_EXIT, 0);
  Settle(dialog);
  EXPECT_EQ(recorder.WaitExit(500), STILL_ACTIVE);
  ASSERT_TRUE(ui::CancelDialog(save));
  // Nothing changed: the kept quit closes without a question.
  EXPECT_EQ(recorder.WaitExit(30000), 0u);
}

}  // namespace
