// Quillgate run for real from a scratch folder, beside a stand-in main program that logs the exact
// command line it was started with. Quillgate is started with an exact command line of its own,
// its dialog is found by its caption and answered with posted clicks, and the INI file is the
// real one in the common application-data folder.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <string>
#include <vector>

#include "peers/PeerProcess.h"
#include "tests/support/TestFiles.h"

namespace {

constexpr wchar_t kCaption[] = L"Quillmeridian Launcher";
constexpr int kPathOpen = 1000;
constexpr int kPathSave = 1001;

std::wstring KnownFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
  return path;
}

std::wstring IniPath() {
  return KnownFolder(CSIDL_COMMON_APPDATA) + L"\\Quillmeridian\\QuillmeridianPath.ini";
}
std::wstring DocumentsDefault() { return KnownFolder(CSIDL_PERSONAL) + L"\\Quillmeridian"; }

std::string Utf8(const std::wstring& text) {
  std::string out(
      size_t(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0, nullptr, nullptr)),
      '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), out.data(), int(out.size()), nullptr,
                      nullptr);
  return out;
}

std::string Oem(const std::wstring& text) {
  char out[1024];
  const int n =
      WideCharToMultiByte(CP_OEMCP, 0, text.c_str(), int(text.size()), out, sizeof out, nullptr, nullptr);
  return std::string(out, size_t(n));
}

std::string IniText(const std::wstring& save, const std::wstring& open) {
  return "[Main]\r\nPathSave=" + Oem(save) + "\r\nPathOpen=" + Oem(open) + "\r\n\r\n";
}

// A shown dialog of the process: the launcher's own (by its caption) or, with `other`, any
// other one (the folder picker).
struct DialogSearch {
  DWORD process;
  bool other;
  HWND found;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<DialogSearch*>(data);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t title[64] = {};
  wchar_t kind[16] = {};
  GetWindowTextW(window, title, 64);
  GetClassNameW(window, kind, 16);
  if (owner != search->process || wcscmp(kind, L"#32770") != 0 || !IsWindowVisible(window)) return TRUE;
  if ((wcscmp(title, kCaption) == 0) == search->other) return TRUE;
  search->found = window;
  return FALSE;
}

std::wstring WindowText(HWND window) {
  wchar_t text[300] = {};
  DWORD_PTR result = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, 300, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                      &result);
  return text;
}

std::wstring ControlText(HWND dialog, int id) { return WindowText(GetDlgItem(dialog, id)); }

void SetText(HWND window, const std::wstring& text) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG, 5000,
                      &result);
}

// A window anywhere below `parent` with this id and window class.
HWND FindChild(HWND parent, int id, const wchar_t* kind) {
  struct Search {
    int id;
    const wchar_t* kind;
    HWND found;
  } search{id, kind, nullptr};
  EnumChildWindows(
      parent,
      [](HWND window, LPARAM data) WINAPI -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        wchar_t kind[32] = {};
        GetClassNameW(window, kind, 32);
        if (GetDlgCtrlID(window) != s->id || wcscmp(kind, s->kind) != 0) return TRUE;
        s->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// One run of the launcher inside a job of its own, which also holds whatever it starts.
class CLauncherRun {
 public:
  ~CLauncherRun() {
    if (job_) {
      TerminateJobObject(job_, 99);
      CloseHandle(job_);
    }
    if (process_) CloseHandle(process_);
  }

  bool Start(const std::wstring& exe, const std::wstring& arguments) {
    job_ = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job_ || !SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits))
      return false;
    std::wstring commandLine = QuoteArgument(exe) + L" " + arguments;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        nullptr, &si, &pi))
      return false;
    const bool inJob = AssignProcessToJobObject(job_, pi.hProcess);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    processId_ = pi.dwProcessId;
    return inJob;
  }

  // The exit code, or STILL_ACTIVE when it still runs after the time-out.
  DWORD WaitExit(DWORD timeoutMs = 20000) {
    if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_, &code);
    return code;
  }

  HWND WaitDialog(bool other = false, DWORD timeoutMs = 20000) {
    DialogSearch search{processId_, other, nullptr};
    WaitUntil(
        [&] {
          EnumWindows(&MatchDialog, reinterpret_cast<LPARAM>(&search));
          return search.found != nullptr || WaitForSingleObject(process_, 0) == WAIT_OBJECT_0;
        },
        timeoutMs);
    return search.found;
  }

  // After the launcher ended: waits until everything it started has ended too and returns how
  // many processes it started (-1 when they are still running at the time-out).
  int WaitStartedDone(DWORD timeoutMs = 20000) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
    const bool done = WaitUntil(
        [&] {
          return QueryInformationJobObject(job_, JobObjectBasicAccountingInformation, &info, sizeof info,
                                           nullptr) &&
                 info.ActiveProcesses == 0;
        },
        timeoutMs);
    return done ? int(info.TotalProcesses) - 1 : -1;
  }

 private:
  HANDLE job_ = nullptr;
  HANDLE process_ = nullptr;
  DWORD processId_ = 0;
};

class LauncherStart : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTempFolder(L"qm-quillgate");
    ASSERT_FALSE(folder_.empty());
    launcher_ = folder_ + L"\\Quillgate.exe";
    station_ = folder_ + L"\\Quillmeridian.exe";
    ASSERT_TRUE(CopyFileW((ProgramFolder() + L"Quillgate.exe").c_str(), launcher_.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((ProgramFolder() + L"launcher_fake_station.exe").c_str(), station_.c_str(), FALSE));
    hadIni_ = ReadWholeFile(IniPath(), savedIni_);
    DeleteFileW(IniPath().c_str());
  }

  void TearDown() override {
    if (hadIni_)
      WriteWholeFile(IniPath(), savedIni_);
    else
      DeleteFileW(IniPath().c_str());
    RemoveTree(folder_);
  }

  void PutIni(const std::string& bytes) {
    CreateDirectoryW((KnownFolder(CSIDL_COMMON_APPDATA) + L"\\Quillmeridian").c_str(), nullptr);
    ASSERT_TRUE(WriteWholeFile(IniPath(), bytes));
  }

  // The command lines the stand-in was started with, in sorted order.
  std::vector<std::string> Starts() const {
    std::vector<std::string> lines;
    const std::string log = ReadFileBytes(folder_ + L"\\station-starts.log");
    for (size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1)
      lines.push_back(log.substr(at, end - at));
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  // What the two stations' command lines must be, in sorted order.
  std::vector<std::string> Expected(const std::wstring& first, const std::wstring& second) const {
    std::vector<std::string> lines = {Utf8(QuoteArgument(station_) + L" " + first),
                                      Utf8(QuoteArgument(station_) + L" " + second)};
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  std::wstring folder_;
  std::wstring launcher_;
  std::wstring station_;
  bool hadIni_ = false;
  std::string savedIni_;
};

TEST_F(LauncherStart, AReadIniStartsBothStationsWithoutTheDialog) {
  struct Case {
    const wchar_t* arguments;
    const wchar_t* first;
    const wchar_t* second;
  } cases[] = {
      {L"", L"/Pos:1 ", L"/Pos:2 "},
      {L"SETUP", L"/Pos:1 ", L"/Pos:2 "},
      {L"/ZUBRA", L"/_p ", L"/_s "},
      {L"\"C:\\Kurs\\one.wav\" \"D:\\Kurs 1\\two.qpk\"", L"/Pos:1 \"D:\\Kurs 1\\two.qpk\"",
       L"/Pos:2 \"D:\\Kurs 1\\two.qpk\""},
      {L"/ZUBRA \"E:\\Lab\\x y.mp3\"", L"/_p \"E:\\Lab\\x y.mp3\"", L"/_s \"E:\\Lab\\x y.mp3\""},
  };
  const std::string ini = IniText(L"C:\\Save", L"C:\\Open");
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf8(c.arguments));
    PutIni(ini);
    DeleteFileW((folder_ + L"\\station-starts.log").c_str());
    CLauncherRun run;
    ASSERT_TRUE(run.Start(launcher_, c.arguments));
    EXPECT_EQ(run.WaitExit(), 0u);
    EXPECT_EQ(run.WaitStartedDone(), 2);
    EXPECT_EQ(Starts(), Expected(c.first, c.second));
    EXPECT_EQ(ReadFileOrMissing(IniPath()), ini);
  }
}

TEST_F(LauncherStart, IniFilesThatCountAsRead) {
  // Empty, or a key with a blank before its "=": read, so no dialog; the file stays as it was.
  for (const std::string& ini :
       {std::string(), std::string("[Main]\r\nPathSave =C:\\S\r\nPathOpen=C:\\O\r\n\r\n")}) {
    SCOPED_TRACE(ini);
    PutIni(ini);
    DeleteFileW((folder_ + L"\\station-starts.log").c_str());
    CLauncherRun run;
    ASSERT_TRUE(run.Start(launcher_, L""));
    EXPECT_EQ(run.WaitExit(), 0u);
    EXPECT_EQ(run.WaitStartedDone(), 2);
    EXPECT_EQ(Starts(), Expected(L"/Pos:1 ", L"/Pos:2 "));
    EXPECT_EQ(ReadFileOrMissing(IniPath()), ini);
  }
}

TEST_F(LauncherStart, MissingIniDialogCancelStartsAndWritesNothing) {
  CLauncherRun run;
  ASSERT_TRUE(run.Start(launcher_, L""));
  HWND dialog = run.WaitDialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(ControlText(dialog, kPathOpen), DocumentsDefault());
  EXPECT_EQ(ControlText(dialog, kPathSave), DocumentsDefault());
  EXPECT_EQ(ControlText(dialog, IDOK), L"OK");
  EXPECT_EQ(ControlText(dialog, 1002), L"Select");
  EXPECT_EQ(ControlText(dialog, 1003), L"Select");
  PostMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
  EXPECT_EQ(run.WaitExit(), 0u);
  EXPECT_EQ(run.WaitStartedDone(), 0);
  EXPECT_EQ(ReadFileOrMissing(IniPath()), "<missing>");
}

TEST_F(LauncherStart, MissingIniDialogOkWritesTheDefaultsAndStartsBoth) {
  RemoveDirectoryW(DocumentsDefault().c_str());  // only when empty; the launcher makes it again
  CLauncherRun run;
  ASSERT_TRUE(run.Start(launcher_, L"\"D:\\Kurs\\a.wav\""));
  HWND dialog = run.WaitDialog();
  ASSERT_NE(dialog, nullptr);
  PostMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
  EXPECT_EQ(run.WaitExit(), 0u);
  EXPECT_EQ(run.WaitStartedDone(), 2);
  EXPECT_EQ(Starts(), Expected(L"/Pos:1 \"D:\\Kurs\\a.wav\"", L"/Pos:2 \"D:\\Kurs\\a.wav\""));
  EXPECT_EQ(ReadFileOrMissing(IniPath()), IniText(DocumentsDefault(), DocumentsDefault()));
  EXPECT_NE(GetFileAttributesW(DocumentsDefault().c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(LauncherStart, ClosingTheDialogStartsAndWritesNothing) {
  CLauncherRun run;
  ASSERT_TRUE(run.Start(launcher_, L""));
  HWND dialog = run.WaitDialog();
  ASSERT_NE(dialog, nullptr);
  PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_EQ(run.WaitExit(), 0u);
  EXPECT_EQ(run.WaitStartedDone(), 0);
  EXPECT_EQ(ReadFileOrMissing(IniPath()), "<missing>");
}

TEST_F(LauncherStart, AnIniAbove64KiBIsNotReadAndShowsTheDialog) {
  const std::string ini = IniText(L"C:\\S", L"C:\\O") + std::string(64 * 1024, '\n');
  PutIni(ini);
  CLauncherRun run;
  ASSERT_TRUE(run.Start(launcher_, L""));
  HWND dialog = run.WaitDialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(ControlText(dialog, kPathSave), DocumentsDefault());
  PostMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
  EXPECT_EQ(run.WaitExit(), 0u);
  EXPECT_EQ(run.WaitStartedDone(), 0);
  EXPECT_EQ(ReadFileOrMissing(IniPath()), ini);
}

TEST_F(LauncherStart, SetupShowsTheReadPathsAndOkSavesWhatWasEdited) {
  PutIni(IniText(L"C:\\S", L"C:\\O"));
  CLauncherRun run;
  ASSERT_TRUE(run.Start(launcher_, L"/ZUBRA mysetup"));
  HWND dialog = run.WaitDialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(ControlText(dialog, kPathSave), L"C:\\S");
  EXPECT_EQ(ControlText(dialog, kPathOpen), L"C:\\O");
  SetText(GetDlgItem(dialog, kPathSave), L"E:\\Übung[1]");
  PostMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
  EXPECT_EQ(run.WaitExit(), 0u);
  EXPECT_EQ(run.WaitStartedDone(), 2);
  EXPECT_EQ(Starts(), Expected(L"/_p ", L"/_s "));
  EXPECT_EQ(ReadFileOrMissing(IniPath()), IniText(L"E:\\Übung[1]", L"C:\\O"));
}

TEST_F(LauncherStart, SetupCancelLeavesTheIniAsItWas) {
  const std::string ini = IniText(L"C:\\S", L"");
  PutIni(ini);
  CLauncherRun run;
  ASSERT_TRUE(run.Start(launcher_, L"setup"));
  HWND dialog = run.WaitDialog();
  ASSERT_NE(dialog, nullptr);
  // A path the file left empty takes the default.
  EXPECT_EQ(ControlText(dialog, kPathSave), L"C:\\S");
  EXPECT_EQ(ControlText(dialog, kPathOpen), DocumentsDefault());
  PostMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
  EXPECT_EQ(run.WaitExit(), 0u);
  EXPECT_EQ(run.WaitStartedDone(), 0);
  EXPECT_EQ(ReadFileOrMissing(IniPath()), ini);
}

TEST_F(LauncherStart, SelectPicksAFolderStartingFromWhatTheFieldShows) {
  PutIni(IniText(L"C:\\S", L"C:\\O"));
  const std::wstring picked = folder_ + L"\\Kurs[2]";
  ASSERT_TRUE(CreateDirectoryW(picked.c_str(), nullptr));
  CLauncherRun run;
  ASSERT_TRUE(run.Start(launcher_, L"setup"));
  HWND dialog = run.WaitDialog();
  ASSERT_NE(dialog, nullptr);

  // A typed path survives a picker that is cancelled.
  SetText(GetDlgItem(dialog, kPathSave), L"D:\\Typed");
  PostMessageW(GetDlgItem(dialog, 1003), BM_CLICK, 0, 0);
  HWND picker = run.WaitDialog(true);
  ASSERT_NE(picker, nullptr);
  PostMessageW(FindChild(picker, IDCANCEL, L"Button"), BM_CLICK, 0, 0);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindow(picker); }));
  EXPECT_EQ(ControlText(dialog, kPathSave), L"D:\\Typed");

  // The picker opens on the typed folder with "Audio Files" as its name; a name confirmed in
  // another folder makes that folder the path.
  SetText(GetDlgItem(dialog, kPathOpen), folder_);
  PostMessageW(GetDlgItem(dialog, 1002), BM_CLICK, 0, 0);
  picker = run.WaitDialog(true);
  ASSERT_NE(picker, nullptr);
  HWND name = FindChild(picker, 0x47c, L"Edit");
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(WindowText(name), L"Audio Files");
  EXPECT_EQ(ControlText(picker, 0x471), folder_.substr(folder_.rfind(L'\\') + 1));  // "Look in"
  SetText(name, picked + L"\\Audio Files");
  PostMessageW(FindChild(picker, IDOK, L"Button"), BM_CLICK, 0, 0);
  EXPECT_TRUE(WaitUntil([&] { return ControlText(dialog, kPathOpen) == picked; }))
      << Utf8(ControlText(dialog, kPathOpen));

  PostMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
  EXPECT_EQ(run.WaitExit(), 0u);
  EXPECT_EQ(run.WaitStartedDone(), 2);
  EXPECT_EQ(ReadFileOrMissing(IniPath()), IniText(L"D:\\Typed", picked));
}

TEST(LauncherProgram, AsksForNoElevationAndCarriesItsDialogAndVersion) {
  const std::wstring exe = ProgramFolder() + L"Quillgate.exe";
  HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  HRSRC manifest = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(manifest, nullptr);
  const std::string text(static_cast<const char*>(LockResource(LoadResource(module, manifest))),
                         SizeofResource(module, manifest));
  EXPECT_NE(text.find("level=\"asInvoker\""), std::string::npos) << text;
  EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(132), MAKEINTRESOURCEW(5)), nullptr);
  FreeLibrary(module);

  DWORD handle = 0;
  std::string block(GetFileVersionInfoSizeW(exe.c_str(), &handle), '\0');
  ASSERT_FALSE(block.empty());
  ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, DWORD(block.size()), block.data()));
  VS_FIXEDFILEINFO* info = nullptr;
  UINT size = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &size));
  EXPECT_EQ(info->dwFileVersionMS, 0x00070002u);
}

}  // namespace
