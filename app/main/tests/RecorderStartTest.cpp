// The recorder started as a user or the launcher starts it: exact command lines from a
// Windows-side starter, its windows inspected from outside, its exit codes, and the peers.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <string>
#include <vector>

#include "app/main/tests/AssociationRows.h"
#include "app/main/tests/RecorderProcess.h"
#include "app/res/resource.h"
#include "peers/PeerProcess.h"
#include "tests/support/DialogTestKit.h"

namespace {

constexpr DWORD kExitFailed = 0xFFFFFFFF;  // -1

std::wstring CommonAppData() {
  wchar_t path[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path);
  return path;
}

std::wstring TempSnd(const wchar_t* folder) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + L"Quillmeridian\\TempSnd\\" + folder;
}

bool FolderExists(const std::wstring& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileExists(const std::wstring& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool Visible(HWND dialog, UINT id) {
  HWND item = GetDlgItem(dialog, static_cast<int>(id));
  return item && (GetWindowLongW(item, GWL_STYLE) & WS_VISIBLE);
}

RECT ChildRect(HWND dialog, HWND child) {
  RECT r;
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

std::vector<HWND> ChildrenOfClass(HWND parent, const wchar_t* className) {
  std::vector<HWND> found;
  for (HWND w = GetWindow(parent, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT))
    if (ClassOf(w) == className) found.push_back(w);
  return found;
}

// Escape reaches the dialog's modal loop as the keyboard would send it.
void PressEscape(HWND dialog) { PostMessageW(dialog, WM_KEYDOWN, VK_ESCAPE, 0); }

std::wstring Hwnd(HWND window) {
  wchar_t text[32];
  swprintf(text, 32, L"%p", static_cast<void*>(window));
  return text;
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// A second's worth of a 16-bit mono tone.
std::wstring WriteWav(const std::wstring& path) {
  WriteWholeFile(
      path, MonoWavBytes(44100, [](uint32_t i) { return static_cast<int16_t>((i % 100) * 300 - 15000); }));
  return path;
}

class RecorderStart : public ::testing::Test {
 protected:
  // Closes a recorder that is still up and waits for its end.
  static DWORD CloseWithEscape(CRecorderProcess& recorder, HWND dialog) {
    PressEscape(dialog);
    return recorder.WaitExit(30000);
  }
};

TEST_F(RecorderStart, PlainStartShowsTheSkinnedWindowAndClosesWithEscape) {
  const std::wstring settings = CommonAppData() + L"\\Quillmeridian\\RecorderPaths.json";
  const std::wstring devices = CommonAppData() + L"\\Quillmeridian\\Quillmeridian.ini";
  DeleteFileW(settings.c_str());
  DeleteFileW(devices.c_str());
  CRecorderProcess recorder;
  ASSERT_TRUE(recorder.Start(L""));
  HWND dialog = recorder.WaitForWindow(L"Recorder");
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(WaitUntil(
      [&] { return IsWindowVisible(dialog) && ChildrenOfClass(dialog, L"WaveformWindow").size() == 2; },
      30000));

  RECT r;
  GetWindowRect(dialog, &r);
  EXPECT_EQ(r.left, 382);
  EXPECT_EQ(r.top, 277);
  EXPECT_EQ(r.right - r.left, 516);
  EXPECT_EQ(r.bottom - r.top, 470);
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(dialog, GWL_STYLE)) & (WS_CAPTION | WS_THICKFRAME | WS_BORDER),
            0u);

  for (UINT id : {IDC_BUTSENDWAV, IDC_BUTMIXER, IDC_BUTCUT, IDC_BUTCLOSEWAV})
    EXPECT_FALSE(Visible(dialog, id)) << id;
  for (UINT id : {IDC_BUTOPENWAV, IDC_BUTSAVEWAV, IDC_BUTSAVEBM, IDC_BUTEXIT})
    EXPECT_TRUE(Visible(dialog, id)) << id;

  std::vector<HWND> waves = ChildrenOfClass(dialog, L"WaveformWindow");
  ASSERT_EQ(waves.size(), 2u);
  std::vector<RECT> places;
  for (HWND w : waves) places.push_back(ChildRect(dialog, w));
  std::sort(places.begin(), places.end(), [](const RECT& a, const RECT& b) { return a.top < b.top; });
  EXPECT_EQ(places[0].left, 12);
  EXPECT_EQ(places[0].top, 125);
  EXPECT_EQ(places[0].right - places[0].left, 490);
  EXPECT_EQ(places[1].left, 88);
  EXPECT_EQ(places[1].top, 279);
  EXPECT_EQ(places[1].right - places[1].left, 342);

  EXPECT_TRUE(FolderExists(TempSnd(L"Master0")));
  EXPECT_TRUE(FolderExists(TempSnd(L"Student0")));

  EXPECT_EQ(CloseWithEscape(recorder, dialog), 0u);
  EXPECT_TRUE(FileExists(settings));
  EXPECT_TRUE(FileExists(devices));
}

TEST_F(RecorderStart, ASecondInstanceQuitsAndLeavesTheFirstAlone) {
  for (const wchar_t* switches : {L"", L"/_m"}) {
    SCOPED_TRACE(Narrow(switches));
    CRecorderProcess first;
    ASSERT_TRUE(first.Start(switches));
    HWND dialog = first.WaitForWindow(L"Recorder");
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return ChildrenOfClass(dialog, L"WaveformWindow").size() == 2; }, 30000));
    // Something of the first's in its temp folder: the second must not clear it.
    const std::wstring marker = TempSnd(L"Master0") + L"\\first-instance.marker";
    ASSERT_TRUE(WriteWholeFile(marker, std::string("x")));

    CRecorderProcess second;
    ASSERT_TRUE(second.Start(switches));
    EXPECT_EQ(second.WaitExit(60000), kExitFailed);
    EXPECT_TRUE(FileExists(marker));
    EXPECT_EQ(first.WaitExit(0), STILL_ACTIVE);
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(TextOf(dialog), L"Recorder");
    DeleteFileW(marker.c_str());
    EXPECT_EQ(CloseWithEscape(first, dialog), 0u);
  }
}

TEST_F(RecorderStart, TwoStationsSideBySideSubscribeTheirAreasAndTellNoDaemon) {
  CPeerProcess daemon;
  ASSERT_TRUE(daemon.Start(L"orrin_peer.exe", L"--no-sharedmem"));
  CRecorderProcess one, two;
  ASSERT_TRUE(one.Start(L"/Pos:1", true));
  ASSERT_TRUE(two.Start(L"/Pos:2", true));
  HWND d1 = one.WaitForWindow(L"_1QuillmeridianUser");
  HWND d2 = two.WaitForWindow(L"_2QuillmeridianUser");
  ASSERT_NE(d1, nullptr);
  ASSERT_NE(d2, nullptr);
  ASSERT_TRUE(WaitUntil(
      [&] {
        return ChildrenOfClass(d1, L"WaveformWindow").size() == 2 &&
               ChildrenOfClass(d2, L"WaveformWindow").size() == 2;
      },
      30000));
  RECT r1, r2;
  GetWindowRect(d1, &r1);
  GetWindowRect(d2, &r2);
  EXPECT_EQ(r1.left, 702);
  EXPECT_EQ(r2.left, 62);
  EXPECT_EQ(r1.top, 277);
  EXPECT_EQ(r2.top, 277);
  EXPECT_TRUE(
      one.WaitForDebugLine("SelectRawInputDevices station 1 window " + Narrow(Hwnd(d1)) + " thread "));
  EXPECT_TRUE(one.WaitForDebugLine("area (640,0)-(1280,1024)"));
  EXPECT_TRUE(
      two.WaitForDebugLine("SelectRawInputDevices station 2 window " + Narrow(Hwnd(d2)) + " thread "));
  EXPECT_TRUE(two.WaitForDebugLine("area (0,0)-(640,1024)"));
  // Launcher starts are positioned: the buttons stay and no daemon notice goes out.
  for (UINT id : {IDC_BUTOPENWAV, IDC_BUTSAVEWAV, IDC_BUTSAVEBM, IDC_BUTEXIT}) {
    EXPECT_TRUE(Visible(d1, id)) << id;
    EXPECT_TRUE(Visible(d2, id)) << id;
  }
  EXPECT_EQ(CloseWithEscape(one, d1), 0u);
  EXPECT_EQ(CloseWithEscape(two, d2), 0u);
  for (CRecorderProcess* p : {&one, &two}) {
    const std::vector<std::string> lines = p->DebugLines();
    size_t unsubscribe = lines.size(), deinitialize = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find("UnsubscribeRawInputDevices station") != std::string::npos &&
          unsubscribe == lines.size())
        unsubscribe = i;
      if (lines[i].find("DeinitializeRawInput") != std::string::npos) deinitialize = i;
    }
    EXPECT_LT(unsubscribe, lines.size());
    EXPECT_LT(deinitialize, lines.size());
    EXPECT_LT(unsubscribe, deinitialize);
  }
  EXPECT_TRUE(one.DebugLines().size() > 0);
  EXPECT_EQ(daemon.Log().find("msg=0x590"), std::string::npos) << daemon.Log();
}

TEST_F(RecorderStart, AStationWithoutPositionTellsTheDaemonAndHidesTheFileButtons) {
  struct {
    const wchar_t* switches;
    const wchar_t* title;
    const char* message;
  } cases[] = {{L"/_p", L"_1QuillmeridianUser", "MSG msg=0x590 wparam=9 lparam=1"},
               {L"/_s", L"_2QuillmeridianUser", "MSG msg=0x590 wparam=9 lparam=2"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.switches));
    CPeerProcess daemon;
    ASSERT_TRUE(daemon.Start(L"orrin_peer.exe", L"--no-sharedmem"));
    CRecorderProcess recorder;
    ASSERT_TRUE(recorder.Start(c.switches));
    HWND dialog = recorder.WaitForWindow(c.title);
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(daemon.WaitForLog(c.message, 30000)) << daemon.Log();
    ASSERT_TRUE(WaitUntil([&] { return ChildrenOfClass(dialog, L"WaveformWindow").size() == 2; }, 30000));
    // The dialog hides the buttons after it has posted the notice: wait for them to go.
    const UINT fileButtons[] = {IDC_BUTOPENWAV, IDC_BUTSAVEWAV, IDC_BUTSAVEBM, IDC_BUTEXIT};
    WaitUntil(
        [&] {
          return std::none_of(std::begin(fileButtons), std::end(fileButtons),
                              [&](UINT id) { return Visible(dialog, id); });
        },
        30000);
    for (UINT id : fileButtons) EXPECT_FALSE(Visible(dialog, id)) << id;
    EXPECT_EQ(CloseWithEscape(recorder, dialog), 0u);
  }
}

TEST_F(RecorderStart, AStationWithoutADaemonKeepsItsButtons) {
  CPeerProcess framework;
  ASSERT_TRUE(framework.Start(L"orrin_peer.exe", L"--no-window --no-sharedmem"));
  CRecorderProcess recorder;
  ASSERT_TRUE(recorder.Start(L"/_p"));
  HWND dialog = recorder.WaitForWindow(L"_1QuillmeridianUser");
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return ChildrenOfClass(dialog, L"WaveformWindow").size() == 2; }, 30000));
  for (UINT id : {IDC_BUTOPENWAV, IDC_BUTSAVEWAV, IDC_BUTSAVEBM, IDC_BUTEXIT})
    EXPECT_TRUE(Visible(dialog, id)) << id;
  EXPECT_EQ(CloseWithEscape(recorder, dialog), 0u);
}

TEST_F(RecorderStart, ALauncherStartOpensTheQuotedFile) {
  const std::wstring folder = MakeTempFolder(L"qmstart");
  WriteWav(folder + L"\\lesson one.wav");
  CPeerProcess daemon;
  ASSERT_TRUE(daemon.Start(L"orrin_peer.exe", L"--no-sharedmem"));
  // A wildcard in the quoted path opens its first match.
  for (const std::wstring& quoted : {folder + L"\\lesson one.wav", folder + L"\\lesson*.wav"}) {
    SCOPED_TRACE(Narrow(quoted));
    CRecorderProcess recorder;
    ASSERT_TRUE(recorder.Start(L"/Pos:1 \"" + quoted + L"\""));
    HWND dialog = recorder.WaitForWindow(L"_1QuillmeridianUser");
    ASSERT_NE(dialog, nullptr);
    HWND name = GetDlgItem(dialog, IDC_FILENAME);
    EXPECT_TRUE(
        WaitUntil([&] { return ControlText(name) == L"lesson one.wav" && IsWindowEnabled(dialog); }, 30000))
        << "name \"" << Narrow(ControlText(name)) << "\" enabled " << IsWindowEnabled(dialog);
    for (UINT id : {IDC_BUTOPENWAV, IDC_BUTSAVEWAV, IDC_BUTSAVEBM, IDC_BUTEXIT})
      EXPECT_FALSE(Visible(dialog, id)) << id;
    EXPECT_EQ(CloseWithEscape(recorder, dialog), 0u);
  }
  EXPECT_EQ(daemon.Log().find("msg=0x590"), std::string::npos) << daemon.Log();
  RemoveTree(folder);
}

TEST_F(RecorderStart, TheSendButtonShowsOnlyWithTheTestSwitchAlone) {
  struct {
    const wchar_t* switches;
    const wchar_t* title;
    bool shown;
  } cases[] = {{L"/_t", L"Recorder", true}, {L"/_t /Pos:1", L"_1QuillmeridianUser", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.switches));
    CRecorderProcess recorder;
    ASSERT_TRUE(recorder.Start(c.switches));
    HWND dialog = recorder.WaitForWindow(c.title);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return ChildrenOfClass(dialog, L"WaveformWindow").size() == 2; }, 30000));
    EXPECT_EQ(Visible(dialog, IDC_BUTSENDWAV), c.shown);
    EXPECT_EQ(CloseWithEscape(recorder, dialog), 0u);
  }
}

// A copy of the program in a folder of its own, with the stand-ins it loads except Pointerhub.dll
// (which `pointerhub` replaces when given).
std::wstring ProgramCopy(const wchar_t* stem, const std::wstring& pointerhub) {
  const std::wstring folder = MakeTempFolder(stem);
  const std::wstring bin = BinFolder();
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((bin + L"*.dll").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (_wcsicmp(found.cFileName, L"Pointerhub.dll") != 0)
        CopyFileW((bin + found.cFileName).c_str(), (folder + L"\\" + found.cFileName).c_str(), FALSE);
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }
  CopyFileW((bin + L"Quillmeridian.exe").c_str(), (folder + L"\\Quillmeridian.exe").c_str(), FALSE);
  if (!pointerhub.empty()) CopyFileW(pointerhub.c_str(), (folder + L"\\Pointerhub.dll").c_str(), FALSE);
  return folder;
}

TEST_F(RecorderStart, AStationWithoutItsRawInputLibraryReportsAndEnds) {
  struct {
    const wchar_t* library;
    const wchar_t* text;
  } cases[] = {{L"", L"Error loading Pointerhub.dll"},
               {L"pointerhub_without_select\\Pointerhub.dll", L"Error initializing Pointerhub.dll"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.text));
    const std::wstring folder = ProgramCopy(L"qmnohub", *c.library ? BinFolder() + c.library : L"");
    CRecorderProcess recorder;
    ASSERT_TRUE(recorder.Start(L"/Pos:1", false, folder + L"\\Quillmeridian.exe"));
    std::wstring caption;
    HWND box = WaitForBox(recorder.Id(), c.text, &caption, 30000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(caption, L"Quillmeridian");
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(recorder.WaitExit(30000), kExitFailed);
    RemoveTree(folder);
  }
}

TEST_F(RecorderStart, LinesLoggedWhileTheDataIsTornDownReachTheLogFiles) {
  // A folder where the settings file belongs: writing it at exit fails, and the teardown says so.
  // A copy of the program in a folder of its own keeps its logs apart from other tests' logs.
  const std::wstring settings = CommonAppData() + L"\\Quillmeridian\\RecorderPaths.json";
  DeleteFileW(settings.c_str());
  ASSERT_TRUE(CreateDirectoryW(settings.c_str(), nullptr));
  const std::wstring folder = ProgramCopy(L"qmlogs", BinFolder() + L"Pointerhub.dll");
  const std::wstring name = folder.substr(folder.rfind(L'\\') + 1);
  const std::wstring log = CommonAppData() + L"\\" + name + L"\\Logs\\WavManager.log";
  CRecorderProcess recorder;
  ASSERT_TRUE(recorder.Start(L"", false, folder + L"\\Quillmeridian.exe"));
  HWND dialog = recorder.WaitForWindow(L"Recorder");
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(CloseWithEscape(recorder, dialog), 0u);
  RemoveDirectoryW(settings.c_str());
  EXPECT_NE(ReadFileOrMissing(log).find("RecorderPaths.json could not be written"), std::string::npos)
      << ReadFileOrMissing(log);
  RemoveTree(CommonAppData() + L"\\" + name);
  RemoveTree(folder);
}

TEST_F(RecorderStart, EveryStartWritesTheAssociationsAgain) {
  const std::wstring program = BinFolder() + L"Quillmeridian.exe";
  const HKEY roots[3] = {HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE};
  // Gone before the first start: they are written while the window is built, and are all there
  // once it shows.
  for (const AssociationRow& row : ExpectedAssociationRows(program))
    RegDeleteKeyValueW(roots[row.root], row.path.c_str(), row.value.empty() ? nullptr : row.value.c_str());
  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start);
    CRecorderProcess recorder;
    ASSERT_TRUE(recorder.Start(L""));
    HWND dialog = recorder.WaitForWindow(L"Recorder");
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(dialog) != FALSE; }, 30000));
    for (const AssociationRow& row : ExpectedAssociationRows(program))
      EXPECT_EQ(ReadRegistryString(roots[row.root], row.path, row.value), row.data) << Narrow(row.path);
    EXPECT_EQ(CloseWithEscape(recorder, dialog), 0u);
    // Listed once: the second start adds no letter.
    EXPECT_EQ(
        ReadRegistryString(
            HKEY_CURRENT_USER,
            L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.wav\\OpenWithList", L"b"),
        L"<missing>");
  }
}

}  // namespace
