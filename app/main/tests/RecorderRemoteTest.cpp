// The real recorder driven by the classroom peers: the lock and its box, what stays enabled
// under the lock, the file buttons the send flag hides under it, the busy and the wait pop-up,
// unlocks that end free, a lock to the station itself refused, a busy that ends during a save,
// the framework's pipe by its name, the sibling product's text taken under its
// mutex or left when the mutex is held, and the presses, recipients and positions that reach
// the tracks.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/main/MainControls.h"
#include "app/main/tests/RecorderProcess.h"
#include "app/res/resource.h"
#include "media/zip/ZipArchive.h"
#include "peers/PeerProcess.h"
#include "tests/support/DialogTestKit.h"
#include "tests/support/TestFiles.h"
#include "tests/support/UiDriver.h"

namespace {

const std::wstring kWorks = L"c:\\StudentWorks";
const std::wstring kStation1 = L"_1QuillmeridianUser";

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

std::string WavBytes(uint32_t frames) {
  return MonoWavBytes(frames, [](uint32_t i) { return (i % 100) * 300; });
}

// One controller run: the commands, posted by a framework peer without window, pipe or memory.
bool Drive(const std::wstring& commands) {
  CPeerProcess controller;
  if (!controller.Start(L"orrin_peer.exe",
                        L"--no-pipe --no-window --no-sharedmem --run " + QuoteArgument(commands)))
    return false;
  return controller.WaitExit(30000) == 0;
}

std::wstring Number(HWND window) { return std::to_wstring(reinterpret_cast<uintptr_t>(window)); }

bool Enabled(HWND dialog, UINT id) {
  return IsWindowEnabled(GetDlgItem(dialog, static_cast<int>(id))) != FALSE;
}

// The controls EnableControls switches (every button but the command-only 1033), plus the LED
// and the file-name field, that are disabled now.
std::vector<UINT> DisabledControls(HWND dialog) {
  std::vector<UINT> ids;
  for (size_t i = 0; i < kMainControlCount; ++i) ids.push_back(kMainControls[i].id);
  ids.push_back(IDC_FILENAME);
  ids.push_back(IDC_LEDNUMBER);
  std::vector<UINT> disabled;
  for (UINT id : ids)
    if (GetDlgItem(dialog, static_cast<int>(id)) && !Enabled(dialog, id)) disabled.push_back(id);
  return disabled;
}

// What a locked station disables: everything but BUTCLEAR, the text edits and the sliders.
std::vector<UINT> LockedSet(bool waiting) {
  std::vector<UINT> ids;
  for (size_t i = 0; i < kMainControlCount; ++i) {
    const UINT id = kMainControls[i].id;
    if (id == IDC_BUTCLEAR || id == IDC_MBUTPAUSE || id == IDC_INSLIDER || id == IDC_OUTSLIDER) continue;
    if (waiting && id == IDC_BUTEXIT) continue;
    if (!waiting && (id == IDC_MASTERTEXT || id == IDC_STUDENTTEXT)) continue;
    ids.push_back(id);
  }
  ids.push_back(IDC_FILENAME);
  ids.push_back(IDC_LEDNUMBER);
  return ids;
}

std::string Ids(const std::vector<UINT>& ids) {
  std::string out;
  for (UINT id : ids) out += std::to_string(id) + " ";
  return out;
}

struct WaitWindowSearch {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK MatchWaitWindow(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<WaitWindowSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == search->pid && ClassOf(window) == L"WaitWindowClass") {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

HWND WaitWindowOf(DWORD pid) {
  WaitWindowSearch search{pid, nullptr};
  EnumWindows(MatchWaitWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

class RecorderRemote : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveTree(kWorks);
    folder_ = MakeTempFolder(L"qmremote");
  }
  void TearDown() override {
    RemoveTree(kWorks);
    RemoveTree(folder_);
  }

  // A station with its controller's daemon window (which receives the station's presses).
  HWND StartStation(const std::wstring& arguments = L"/Pos:1", const std::wstring& title = kStation1) {
    if (!daemon_.Start(L"orrin_peer.exe", L"--no-sharedmem")) return nullptr;
    daemonWindow_ = FindWindowW(L"VK_Main_PSDaemon", nullptr);
    if (!recorder_.Start(arguments)) return nullptr;
    HWND dialog = recorder_.WaitForWindow(title);
    if (!dialog || !WaitUntil([&] { return IsWindowVisible(dialog) != FALSE; }, 30000)) return nullptr;
    return dialog;
  }

  // Locks station 1 to the daemon window and answers the lock's box; its caption in *caption.
  bool LockAndAnswer(std::wstring* caption) {
    if (!Drive(L"lock 1 " + Number(daemonWindow_))) return false;
    HWND box = WaitForBox(recorder_.Id(), L"QMR for student", caption);
    if (!box) return false;
    ui::PostClick(box, IDOK);
    return WaitUntil([&] { return !IsWindow(box); }, 20000);
  }

  // An unlock value lets a station close without questions or saves.
  void UnlockAndClose(HWND dialog) {
    EXPECT_TRUE(Drive(L"unlock 1 1"));
    PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(recorder_.WaitExit(30000), 0u);
  }

  std::wstring folder_;
  CPeerProcess daemon_;
  HWND daemonWindow_ = nullptr;
  CRecorderProcess recorder_;
};

TEST_F(RecorderRemote, ALockShowsItsBoxLeavesTheTextsAndClearAndIgnoresAQuitUntilTheUnlock) {
  HWND dialog = StartStation();
  ASSERT_NE(dialog, nullptr);
  ASSERT_NE(daemonWindow_, nullptr);
  EXPECT_EQ(Ids(DisabledControls(dialog)), "");

  std::wstring caption;
  ASSERT_TRUE(LockAndAnswer(&caption));
  EXPECT_EQ(caption, L"Quillmeridian");
  EXPECT_EQ(Ids(DisabledControls(dialog)), Ids(LockedSet(false)));
  EXPECT_TRUE(Enabled(dialog, IDC_BUTCLEAR));
  EXPECT_TRUE(Enabled(dialog, IDC_MASTERTEXT));
  EXPECT_TRUE(Enabled(dialog, IDC_STUDENTTEXT));
  EXPECT_TRUE(Enabled(dialog, IDC_INSLIDER));
  EXPECT_TRUE(IsWindowEnabled(dialog));

  // A locked station is closed by its controller, not by a quit.
  ASSERT_TRUE(Drive(L"command 1 4"));
  EXPECT_EQ(recorder_.WaitExit(2000), STILL_ACTIVE);
  EXPECT_TRUE(IsWindowVisible(dialog));

  ASSERT_TRUE(Drive(L"unlock 1 0"));
  EXPECT_TRUE(WaitUntil([&] { return DisabledControls(dialog).empty(); }, 10000))
      << Ids(DisabledControls(dialog));
  UnlockAndClose(dialog);
}

TEST_F(RecorderRemote, AnUnlockRightBehindTheLockEndsFree) {
  HWND dialog = StartStation();
  ASSERT_NE(dialog, nullptr);
  // The unlock arrives while the lock's box is up.
  ASSERT_TRUE(Drive(L"lock 1 " + Number(daemonWindow_) + L"; unlock 1 9"));
  std::wstring caption;
  HWND box = WaitForBox(recorder_.Id(), L"QMR for student", &caption);
  ASSERT_NE(box, nullptr);
  Sleep(500);
  ui::PostClick(box, IDOK);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box); }, 20000));
  EXPECT_TRUE(WaitUntil([&] { return DisabledControls(dialog).empty(); }, 5000))
      << Ids(DisabledControls(dialog));
  // No peer is left: the unlock value closes the station at once.
  PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_EQ(recorder_.WaitExit(30000), 0u);
}

TEST_F(RecorderRemote, ALockToTheStationItselfOrToNoWindowIsRefused) {
  HWND dialog = StartStation();
  ASSERT_NE(dialog, nullptr);
  for (const wchar_t* peer : {L"self", L"0", L"0x7fff0001"}) {
    SCOPED_TRACE(Narrow(peer));
    ASSERT_TRUE(Drive(std::wstring(L"lock 1 ") + peer));
    std::wstring caption;
    EXPECT_EQ(WaitForBox(recorder_.Id(), L"QMR for student", &caption, 1500), nullptr);
    EXPECT_EQ(Ids(DisabledControls(dialog)), "");
  }
  // Not locked: a quit closes it.
  ASSERT_TRUE(Drive(L"command 1 4"));
  EXPECT_EQ(recorder_.WaitExit(30000), 0u);
}

TEST_F(RecorderRemote, TheWaitPopUpUnderALockLeavesOnlyTheExitAndItsEndKeepsTheLock) {
  HWND dialog = StartStation();
  ASSERT_NE(dialog, nullptr);
  std::wstring caption;
  ASSERT_TRUE(LockAndAnswer(&caption));

  ASSERT_TRUE(Drive(L"button 1 -6 0"));
  HWND wait = nullptr;
  ASSERT_TRUE(WaitUntil(
      [&] {
        wait = WaitWindowOf(recorder_.Id());
        return wait && IsWindowVisible(wait);
      },
      10000));
  EXPECT_EQ(TextOf(wait), L"Wait for all the selected students to login...");
  EXPECT_TRUE(WaitUntil([&] { return DisabledControls(dialog) == LockedSet(true); }, 5000))
      << Ids(DisabledControls(dialog));
  EXPECT_TRUE(Enabled(dialog, IDC_BUTEXIT));

  ASSERT_TRUE(Drive(L"button 1 -7 0"));
  EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(wait); }, 10000));
  EXPECT_TRUE(WaitUntil([&] { return DisabledControls(dialog) == LockedSet(false); }, 5000))
      << Ids(DisabledControls(dialog));
  EXPECT_FALSE(Enabled(dialog, IDC_BUTEXIT));

  ASSERT_TRUE(Drive(L"unlock 1 0"));
  EXPECT_TRUE(WaitUntil([&] { return DisabledControls(dialog).empty(); }, 10000));
  UnlockAndClose(dialog);
}

TEST_F(RecorderRemote, BusyDisablesTheWindowAndIdleEnablesIt) {
  HWND dialog = StartStation();
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(Drive(L"button 1 -4 0"));
  EXPECT_TRUE(WaitUntil([&] { return !IsWindowEnabled(dialog); }, 10000));
  // The busy also holds over the lock's box, which enables its owner when it closes.
  std::wstring caption;
  ASSERT_TRUE(LockAndAnswer(&caption));
  Sleep(300);
  EXPECT_FALSE(IsWindowEnabled(dialog));
  ASSERT_TRUE(Drive(L"button 1 -5 0"));
  EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(dialog) != FALSE; }, 10000));
  // Idle ends the busy only: the lock stays.
  EXPECT_EQ(Ids(DisabledControls(dialog)), Ids(LockedSet(false)));
  UnlockAndClose(dialog);
}

// Outside station mode the lock takes no controls and shows no box; with the send flag it hides
// the buttons that open, save and send files until the unlock.
TEST_F(RecorderRemote, ALockWithTheSendFlagHidesTheFileButtonsUntilTheUnlock) {
  struct {
    const wchar_t* switches;
    bool sendFlag;
  } cases[] = {{L"/_t", true}, {L"", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.switches));
    CPeerProcess daemon;
    ASSERT_TRUE(daemon.Start(L"orrin_peer.exe", L"--no-sharedmem"));
    HWND daemonWindow = FindWindowW(L"VK_Main_PSDaemon", nullptr);
    ASSERT_NE(daemonWindow, nullptr);
    CRecorderProcess recorder;
    ASSERT_TRUE(recorder.Start(c.switches));
    HWND dialog = recorder.WaitForWindow(L"Recorder");
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(dialog) != FALSE; }, 30000));
    auto visible = [&](UINT id) {
      return IsWindowVisible(GetDlgItem(dialog, static_cast<int>(id))) != FALSE;
    };
    std::vector<UINT> fileButtons = {IDC_BUTOPENWAV, IDC_BUTSAVEWAV};
    if (c.sendFlag) fileButtons.push_back(IDC_BUTSENDWAV);
    for (UINT id : fileButtons) EXPECT_TRUE(visible(id)) << id;

    ASSERT_TRUE(Drive(L"lock 0 " + Number(daemonWindow)));
    // The lock holds once the station forwards a press to the daemon.
    ASSERT_TRUE(Drive(L"button 0 1024 0"));
    ASSERT_TRUE(daemon.WaitForLog("MSG msg=0x592 wparam=1024 lparam=0")) << daemon.Log();
    for (UINT id : fileButtons) EXPECT_EQ(visible(id), !c.sendFlag) << id;
    EXPECT_TRUE(visible(IDC_BUTSAVEBM));
    EXPECT_TRUE(visible(IDC_BUTEXIT));
    std::wstring caption;
    EXPECT_EQ(WaitForBox(recorder.Id(), L"QMR for student", &caption, 500), nullptr);
    EXPECT_EQ(Ids(DisabledControls(dialog)), "");

    ASSERT_TRUE(Drive(L"unlock 0 0"));
    EXPECT_TRUE(WaitUntil(
        [&] {
          for (UINT id : fileButtons)
            if (!visible(id)) return false;
          return true;
        },
        10000));
    PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(recorder.WaitExit(30000), 0u);
  }
}

// The framework's pipe, named here as the framework names it: the recorder connects at start and
// lets go when it ends.
TEST_F(RecorderRemote, TheRecorderConnectsToTheFrameworkPipeByItsName) {
  CPeerProcess framework;
  ASSERT_TRUE(framework.Start(
      L"orrin_peer.exe",
      L"--pipe " + QuoteArgument(L"\\\\.\\pipe\\OrrinInterfacePipe") + L" --no-window --no-sharedmem"));
  ASSERT_TRUE(recorder_.Start(L""));
  HWND dialog = recorder_.WaitForWindow(L"Recorder");
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(framework.WaitForLog("CONNECT conn=0", 20000)) << framework.Log();
  PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_EQ(recorder_.WaitExit(30000), 0u);
  EXPECT_TRUE(framework.WaitForLog("DISCONNECT conn=0", 20000)) << framework.Log();
}

TEST_F(RecorderRemote, AnIdleDuringASaveKeepsTheDialogDisabledUntilTheSaveEnds) {
  const std::wstring lesson = folder_ + L"\\lesson.wav";
  const std::wstring target = folder_ + L"\\lesson.qpk";
  // Long enough that its package takes a while to encode.
  ASSERT_TRUE(WriteWholeFile(lesson, WavBytes(44100 * 480)));
  ASSERT_TRUE(recorder_.Start(L"\"" + lesson + L"\""));
  HWND dialog = recorder_.WaitForWindow(L"Recorder");
  ASSERT_NE(dialog, nullptr);
  HWND field = GetDlgItem(dialog, IDC_FILENAME);
  ASSERT_TRUE(
      WaitUntil([&] { return ControlText(field) == L"lesson.wav" && IsWindowEnabled(dialog); }, 60000));

  ui::PostClick(dialog, IDC_BUTSAVEBM);
  HWND confirm =
      ui::WaitForMessageBox(recorder_.Id(), L"Do you want to save all changes of the master track?");
  ASSERT_NE(confirm, nullptr);
  ui::PostClick(confirm, IDYES);
  HWND save = ui::WaitForFileDialog(recorder_.Id());
  ASSERT_NE(save, nullptr);
  ASSERT_TRUE(ui::ChooseFile(save, target));
  ASSERT_TRUE(WaitUntil([&] { return ControlText(field) == L"Please wait..."; }, 10000));

  // Station 0 keeps the title "Recorder".
  ASSERT_TRUE(Drive(L"button 0 -4 0; button 0 -5 0"));
  // Sent: it returns once the idle before it has been handled.
  SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 30000, nullptr);
  ASSERT_EQ(ControlText(field), L"Please wait...")
      << "the save ended before the idle; the test proves nothing";
  EXPECT_FALSE(IsWindowEnabled(dialog));
  ASSERT_TRUE(WaitUntil([&] { return ControlText(field) == L"lesson.wav"; }, 120000));
  EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(dialog) != FALSE; }, 5000));
  PostMessageW(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
  EXPECT_EQ(recorder_.WaitExit(30000), 0u);
}

// Part of one test: the product's text and its slot are shared by stations 0 and 1.
TEST_F(RecorderRemote, TheSiblingsTextIsTakenUnderItsMutexOrLeftWhenTheMutexIsHeld) {
  const std::wstring prefix = kWorks + L"\\Anna_";
  CPeerProcess sibling;
  ASSERT_TRUE(sibling.Start(L"zubra_peer.exe", L"--run " + QuoteArgument(L"write 1 " + prefix +
                                                                         L"; hold-mutex 12000; read 1; "
                                                                         L"wait-cleared 1 60000; serve")));
  // Unpositioned: the station tells the daemon and saves its Student when it exits.
  HWND dialog = StartStation(L"/_p");
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(sibling.WaitForLog("MUTEX taken"));

  const DWORD start = GetTickCount();
  ASSERT_TRUE(Drive(L"command 1 11"));
  DWORD_PTR unused = 0;
  ASSERT_NE(SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &unused), 0);
  const DWORD answered = GetTickCount() - start;
  EXPECT_LT(answered, 6000u);
  EXPECT_EQ(sibling.Log().find("MUTEX released"), std::string::npos) << "answered only after the release";
  const std::string oem = Narrow(prefix);
  char hex[3];
  std::string oemHex;
  for (unsigned char c : oem) {
    snprintf(hex, sizeof hex, "%02x", c);
    oemHex += hex;
  }
  ASSERT_TRUE(sibling.WaitForLog("SLOT station=1 offset=67 oem=" + oemHex, 20000)) << sibling.Log();

  ASSERT_TRUE(sibling.WaitForLog("MUTEX released", 20000));
  // Free now: the text is taken, its slot cleared, and the exit's save goes under the prefix.
  ASSERT_TRUE(Drive(L"command 1 11"));
  ASSERT_TRUE(sibling.WaitForLog("CLEARED station=1 offset=67", 20000)) << sibling.Log();
  PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_EQ(recorder_.WaitExit(60000), 0u);
  EXPECT_NE(GetFileAttributesW((prefix + L"1StudentsWorks.qpk").c_str()), INVALID_FILE_ATTRIBUTES);
  printf("station answered after %lu ms with the mutex held\n", static_cast<unsigned long>(answered));
}

TEST_F(RecorderRemote, ARightClickVariantIsForwardedAsItsIdNextChunkAndItsClick) {
  HWND dialog = StartStation();
  ASSERT_NE(dialog, nullptr);
  std::wstring caption;
  ASSERT_TRUE(LockAndAnswer(&caption));
  ASSERT_TRUE(Drive(L"button 1 1039 1"));
  ASSERT_TRUE(daemon_.WaitForLog("MSG msg=0x592 wparam=1039 lparam=0")) << daemon_.Log();
  const std::string log = daemon_.Log();
  const size_t first = log.find("MSG msg=0x592 wparam=1039 lparam=1");
  const size_t next = log.find("MSG msg=0x592 wparam=1025 lparam=0");
  const size_t click = log.find("MSG msg=0x592 wparam=1039 lparam=0");
  ASSERT_NE(first, std::string::npos) << log;
  ASSERT_NE(next, std::string::npos) << log;
  EXPECT_LT(first, next);
  EXPECT_LT(next, click);
  UnlockAndClose(dialog);
}

TEST_F(RecorderRemote, TheRecipientsTravelInTheStreamedFrames) {
  CPeerProcess capture;
  ASSERT_TRUE(capture.Start(L"pictavo_peer.exe", L"--address 10.0.0.5"));
  HWND dialog = StartStation(L"/Pos:1 /Stream");
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(capture.WaitForLog("ADDRESS-SENT", 30000));
  ASSERT_TRUE(Drive(L"recipients 1 \"3|10.0.0.5|4|10.0.0.6|\""));
  ui::PostClick(dialog, IDC_BUTREC);
  Sleep(1500);
  ui::PostClick(dialog, IDC_BUTREC);
  EXPECT_TRUE(capture.WaitForLog("recipients=3:10.0.0.5,4:10.0.0.6", 20000)) << capture.Log();
  UnlockAndClose(dialog);
}

TEST_F(RecorderRemote, ARemotePositionThenABookmarkSplitsThePackagesChunkTable) {
  const std::wstring lesson = folder_ + L"\\lesson.wav";
  const std::wstring target = folder_ + L"\\marked.qpk";
  ASSERT_TRUE(WriteWholeFile(lesson, WavBytes(88200)));
  ASSERT_TRUE(recorder_.Start(L"\"" + lesson + L"\""));
  HWND dialog = recorder_.WaitForWindow(L"Recorder");
  ASSERT_NE(dialog, nullptr);
  HWND field = GetDlgItem(dialog, IDC_FILENAME);
  ASSERT_TRUE(
      WaitUntil([&] { return ControlText(field) == L"lesson.wav" && IsWindowEnabled(dialog); }, 30000));
  ASSERT_TRUE(Drive(L"button pid:" + std::to_wstring(recorder_.Id()) + L" 1008 22050; button 0 1020 0"));

  ui::PostClick(dialog, IDC_BUTSAVEBM);
  HWND confirm =
      ui::WaitForMessageBox(recorder_.Id(), L"Do you want to save all changes of the master track?");
  ASSERT_NE(confirm, nullptr);
  ui::PostClick(confirm, IDYES);
  HWND save = ui::WaitForFileDialog(recorder_.Id());
  ASSERT_NE(save, nullptr);
  ASSERT_TRUE(ui::ChooseFile(save, target));
  // The window is enabled and names the lesson for a moment before the save disables it: wait for
  // the saved package, whole, and the window enabled after it.
  ASSERT_TRUE(WaitUntil(
      [&] {
        ZipHandle* whole = OpenZip(target.c_str());
        if (whole) CloseZip(whole);
        return whole && IsWindowEnabled(dialog);
      },
      30000));
  EXPECT_TRUE(ControlText(field) == L"marked.qpk" || ControlText(field) == L"lesson.wav")
      << Narrow(ControlText(field));

  ZipHandle* zip = OpenZip(target.c_str());
  ASSERT_NE(zip, nullptr);
  ZipEntryInfo info = {};
  ASSERT_EQ(GetZipItem(zip, -1, &info), 0u);
  std::string table;
  for (int32_t i = 0; i < info.index; ++i) {
    ZipEntryInfo entry = {};
    ASSERT_EQ(GetZipItem(zip, i, &entry), 0u);
    const std::wstring name = entry.name;
    if (name.size() < 4 || name.substr(name.size() - 4) != L".cif") continue;
    const std::wstring out = folder_ + L"\\table.cif";
    ASSERT_EQ(UnzipItem(zip, i, out.c_str()), 0u);
    ASSERT_TRUE(ReadWholeFile(out, table));
  }
  CloseZip(zip);
  ASSERT_EQ(table.size(), 16u);
  uint32_t records[4];
  memcpy(records, table.data(), 16);
  EXPECT_EQ(records[0], 0u);
  EXPECT_EQ(records[1], 500u);
  EXPECT_EQ(records[2], 500u);
  EXPECT_EQ(records[3], 1500u);
  PostMessageW(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
  EXPECT_EQ(recorder_.WaitExit(30000), 0u);
}

}  // namespace
