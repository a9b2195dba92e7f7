// The main dialog's open, save, send and exit in-process over fake-engine tracks: boxes answered
// by script, the real file dialogs answered from a helper thread, and the saved packages read back.
#include <windows.h>
#include <commdlg.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/main/ClassroomMessages.h"
#include "app/main/FileRules.h"
#include "app/main/MainDlg.h"
#include "app/res/resource.h"
#include "appdata/AppData.h"
#include "media/document/SoundDocument.h"
#include "media/soundfile/SoundFile.h"
#include "media/zip/ZipArchive.h"
#include "tests/support/FakeSoundEngine.h"
#include "tests/support/ScriptedPrompts.h"
#include "app/main/tests/InProcessDialog.h"
#include "tests/support/DialogTestKit.h"
#include "tests/support/TestFiles.h"
#include "tests/support/UiDriver.h"

namespace {

std::string WavBytes(uint32_t frames) {
  return MonoWavBytes(frames, [](uint32_t i) { return (i % 200) * 150; });
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The entry names of a package, and its ".cif" records.
struct Package {
  std::vector<std::wstring> names;
  std::vector<ChunkTableRecord> table;
};

Package ReadPackage(const std::wstring& path, const std::wstring& scratch) {
  Package package;
  ZipHandle* zip = OpenZip(path.c_str());
  if (!zip) return package;
  ZipEntryInfo info = {};
  GetZipItem(zip, -1, &info);
  const int32_t count = info.index;
  for (int32_t i = 0; i < count; ++i) {
    if (GetZipItem(zip, i, &info) != ZR_OK) break;
    package.names.push_back(info.name);
    const std::wstring name = info.name;
    if (name.size() > 4 && name.substr(name.size() - 4) == L".cif") {
      const std::wstring out = scratch + L"\\table.cif";
      UnzipItem(zip, i, out.c_str());
      std::string bytes;
      ReadWholeFile(out, bytes);
      package.table.resize(bytes.size() / sizeof(ChunkTableRecord));
      memcpy(package.table.data(), bytes.data(), package.table.size() * sizeof(ChunkTableRecord));
    }
  }
  CloseZip(zip);
  return package;
}

// The dialog with its closing counted instead of ending a modal loop.
class CountingDialog : public CMainDlg {
 public:
  using CMainDlg::CMainDlg;
  void OnOK() override {
    ++closes;
    savesRunningAtClose = Master()->saveThread || Student()->saveThread;
  }
  int closes = 0;
  bool savesRunningAtClose = false;
};

// Answers the next `paths.size()` save dialogs of this process: a path chooses it, an empty one
// cancels it. `whileUp` runs (on the answerer's thread) as each dialog is found.
class SaveDialogAnswerer {
 public:
  explicit SaveDialogAnswerer(std::vector<std::wstring> paths, std::function<void()> whileUp = nullptr)
      : thread_([this, paths, whileUp] {
          for (const std::wstring& path : paths) {
            HWND dialog = ui::WaitForFileDialog(GetCurrentProcessId(), 60000);
            if (!dialog) return;
            if (whileUp) whileUp();
            if (proposals_.empty()) {
              proposals_.push_back(ui::ControlTextOf(dialog, ui::kFileNameCombo));
              type_ = ui::ControlTextOf(dialog, ui::kTypeCombo);
            }
            if (path.empty() ? !ui::CancelDialog(dialog) : !ui::ChooseFile(dialog, path)) return;
            ++answered_;
          }
        }) {}
  ~SaveDialogAnswerer() { Join(); }
  // Waits for the answers (the dialog may be gone before the answerer has seen it go).
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  int Answered() const { return answered_; }
  std::wstring FirstProposal() const { return proposals_.empty() ? L"" : proposals_[0]; }
  std::wstring Type() const { return type_; }

 private:
  std::atomic<int> answered_{0};
  std::vector<std::wstring> proposals_;
  std::wstring type_;
  std::thread thread_;
};

uint32_t FailingZipAdd(ZipHandle*, const wchar_t*, const void*, uint32_t, uint32_t) { return ZR_READWRITE; }

class DialogFiles : public InProcessDialog<CountingDialog> {
 protected:
  void SetUp() override { ASSERT_TRUE(OpenDialog(L"qmfiles")); }
  void TearDown() override {
    g_pfnSoundZipAdd = ZipAdd;
    CloseDialog();
  }

  // The Master holds a loaded lesson; the Student a take of its own.
  void LoadTracks() {
    const std::wstring lesson = folder_ + L"\\lesson.wav";
    ASSERT_TRUE(WriteWholeFile(lesson, WavBytes(44100)));
    dialog_->OpenMediaFile(lesson.c_str());
    ASSERT_TRUE(PumpUntil([&] { return dialog_->IsWindowEnabled() != FALSE; }));
    const std::wstring take = folder_ + L"\\take.wav";
    ASSERT_TRUE(WriteWholeFile(take, WavBytes(22050)));
    ASSERT_TRUE(dialog_->Student()->LoadSoundFile(take));
    dialog_->Student()->modified = 1;
  }

  void WaitForSaves() {
    ASSERT_TRUE(PumpUntil([&] { return !dialog_->Master()->saveThread && !dialog_->Student()->saveThread; }));
    Pump();
  }

  ScriptedPrompts prompts_;
};

TEST_F(DialogFiles, TwoSavesInOneExitCloseOnlyWhenBothHaveEnded) {
  LoadTracks();
  dialog_->Master()->audioChanged = 1;
  const std::wstring masterOut = folder_ + L"\\master.qpk", studentOut = folder_ + L"\\student.qpk";
  prompts_.Queue(IDYES);  // save updated audio data
  prompts_.Queue(IDYES);  // save student track
  {
    SaveDialogAnswerer answerer({masterOut, studentOut});
    dialog_->ExitRecorder();
    answerer.Join();
    EXPECT_EQ(answerer.Answered(), 2);
    EXPECT_EQ(answerer.FirstProposal().find(L"lesson.qpk") != std::wstring::npos, true)
        << answerer.FirstProposal();
    EXPECT_EQ(answerer.Type(), L"Quillmeridian Package QPK File");
  }
  ASSERT_TRUE(PumpUntil([&] { return dialog_->closes > 0; }));
  WaitForSaves();
  EXPECT_EQ(dialog_->closes, 1);
  EXPECT_FALSE(dialog_->savesRunningAtClose);
  Package master = ReadPackage(masterOut, folder_);
  EXPECT_EQ(master.names, (std::vector<std::wstring>{L"master.mpa", L"master.cif"}));
  ASSERT_EQ(master.table.size(), 1u);
  EXPECT_EQ(master.table[0].startMs, 0u);
  EXPECT_EQ(master.table[0].lengthMs, 1000u);
  Package student = ReadPackage(studentOut, folder_);
  EXPECT_EQ(student.names, (std::vector<std::wstring>{L"student.mpa", L"student.cif"}));
  ASSERT_EQ(student.table.size(), 1u);
  EXPECT_EQ(student.table[0].lengthMs, 500u);
  // The package check with independent tools keeps them here.
  wchar_t keep[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"QM_KEEP_PACKAGES", keep, MAX_PATH)) {
    CopyFileW(masterOut.c_str(), (std::wstring(keep) + L"\\master.qpk").c_str(), FALSE);
    CopyFileW(studentOut.c_str(), (std::wstring(keep) + L"\\student.qpk").c_str(), FALSE);
  }
}

TEST_F(DialogFiles, AFailedSaveKeepsTheProgramOpenAndALaterExitCloses) {
  LoadTracks();
  const std::wstring out = folder_ + L"\\take.qpk";
  g_pfnSoundZipAdd = FailingZipAdd;
  prompts_.Queue(IDYES);
  {
    SaveDialogAnswerer answerer({out});
    dialog_->ExitRecorder();
  }
  WaitForSaves();
  EXPECT_EQ(dialog_->closes, 0);
  EXPECT_EQ(dialog_->m_exitPending, 0u);
  EXPECT_EQ(dialog_->Student()->modified, 1);
  EXPECT_FALSE(Exists(out));
  EXPECT_TRUE(dialog_->IsWindowEnabled());

  g_pfnSoundZipAdd = ZipAdd;
  prompts_.Clear();
  prompts_.Queue(IDYES);
  {
    SaveDialogAnswerer answerer({out});
    dialog_->ExitRecorder();
  }
  ASSERT_TRUE(PumpUntil([&] { return dialog_->closes > 0; }));
  EXPECT_TRUE(Exists(out));
}

TEST_F(DialogFiles, YesThenCancelInTheSaveDialogEndsTheExitWithoutClosing) {
  LoadTracks();
  prompts_.Queue(IDYES);
  {
    SaveDialogAnswerer answerer({L""});
    dialog_->ExitRecorder();
    answerer.Join();
    EXPECT_EQ(answerer.Answered(), 1);
  }
  Pump();
  EXPECT_EQ(dialog_->closes, 0);
  EXPECT_EQ(dialog_->m_exitPending, 0u);
  EXPECT_EQ(dialog_->Student()->saveThread, nullptr);
  // The next exit asks again.
  prompts_.Clear();
  prompts_.Queue(IDNO);
  dialog_->ExitRecorder();
  EXPECT_EQ(prompts_.Asked().size(), 1u);
  EXPECT_EQ(dialog_->closes, 1);
}

// A save that cannot start tells the user why: its folder cannot be made (a missing drive, a
// file standing at the folder's name), or the path typed into the save dialog is longer than a
// path may be. Nothing is saved and the dialog stays usable.
TEST_F(DialogFiles, ASaveThatCannotStartSaysWhy) {
  LoadTracks();
  const std::wstring blocker = folder_ + L"\\blocker";
  ASSERT_TRUE(WriteWholeFile(blocker, std::string("a file, not a folder")));
  struct Case {
    std::wstring path;
    const wchar_t* told;
  };
  const Case cases[] = {
      {L"Q:\\nodrive\\take.qpk", L"Q:\\nodrive\\"},
      {blocker + L"\\take.qpk", L"blocker\\"},
      {folder_ + L"\\" + std::wstring(260 - folder_.size() - 5, L'x') + L".qpk", L"at most 259 characters"},
      {folder_ + L"\\" + std::wstring(261 - folder_.size() - 5, L'x') + L".qpk", L"at most 259 characters"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.path));
    prompts_.Clear();
    SaveDialogAnswerer answerer({c.path});
    EXPECT_EQ(dialog_->SaveTrackAs(dialog_->Student()), 0);
    answerer.Join();
    const std::vector<AskedPrompt> asked = prompts_.Asked();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_NE(asked[0].text.find(c.told), std::wstring::npos) << testing::PrintToString(asked[0].text);
    EXPECT_EQ(dialog_->Student()->saveThread, nullptr);
    EXPECT_TRUE(dialog_->IsWindowEnabled());
  }
}

// Every way of exiting arrives while the exit's first box is up; only that box is shown.
CountingDialog* g_reentered = nullptr;
int g_boxes = 0;
int ReenteringPrompt(HWND, LPCWSTR, LPCWSTR, UINT) {
  ++g_boxes;
  g_reentered->ExitRecorder();
  g_reentered->SendMessage(WM_SYSCOMMAND, SC_CLOSE, 0);
  g_reentered->SendMessage(WM_COMMAND, IDCANCEL, 0);
  g_reentered->SendMessage(WM_COMMAND, IDC_BUTEXIT, 0);
  return IDNO;
}

TEST_F(DialogFiles, AnExitArrivingDuringTheExitIsDropped) {
  dialog_->Student()->modified = 1;
  g_reentered = dialog_;
  g_boxes = 0;
  PFN_ShowPrompt before = g_pfnShowPrompt;
  g_pfnShowPrompt = ReenteringPrompt;
  dialog_->SendMessage(WM_SYSCOMMAND, SC_CLOSE, 0);
  g_pfnShowPrompt = before;
  EXPECT_EQ(g_boxes, 1);
  EXPECT_EQ(dialog_->closes, 1);
}

TEST_F(DialogFiles, AStationSavesTheStudentWithoutQuestionsAndCountsUpItsNames) {
  app_->stationMode = 1;
  app_->hiddenStart = 1;
  app_->stationNumber = 0;
  const std::wstring prefix = folder_ + L"\\class\\";
  wcscpy(app_->savePathPrefix, prefix.c_str());
  ASSERT_TRUE(CreateDirectoryW(prefix.c_str(), nullptr));
  ASSERT_TRUE(WriteWholeFile(prefix + L"1StudentsWorks.qpk", std::string("old")));
  // The automatic save runs even when the Student is unmodified.
  dialog_->ExitRecorder();
  EXPECT_EQ(dialog_->closes, 0);
  EXPECT_EQ(dialog_->m_exitPending, 1u);
  ASSERT_TRUE(PumpUntil([&] { return dialog_->closes > 0; }));
  EXPECT_TRUE(prompts_.Asked().empty());
  EXPECT_TRUE(Exists(prefix + L"1StudentsWorks[1].qpk"));
  EXPECT_EQ(ReadFileOrMissing(prefix + L"1StudentsWorks.qpk"), "old");
}

TEST_F(DialogFiles, AStationSaveToAMissingDriveKeepsItOpenUntilASaveSucceeds) {
  app_->stationMode = 1;
  app_->hiddenStart = 1;
  app_->stationNumber = 2;
  wcscpy(app_->savePathPrefix, L"Q:\\nodrive\\");
  dialog_->Student()->modified = 1;
  dialog_->ExitRecorder();
  Pump();
  EXPECT_EQ(dialog_->closes, 0);
  EXPECT_EQ(dialog_->m_exitPending, 0u);

  // A save that fails in its thread.
  const std::wstring prefix = folder_ + L"\\";
  wcscpy(app_->savePathPrefix, prefix.c_str());
  g_pfnSoundZipAdd = FailingZipAdd;
  const std::wstring take = folder_ + L"\\take.wav";
  ASSERT_TRUE(WriteWholeFile(take, WavBytes(22050)));
  ASSERT_TRUE(dialog_->Student()->LoadSoundFile(take));
  dialog_->ExitRecorder();
  WaitForSaves();
  EXPECT_EQ(dialog_->closes, 0);
  EXPECT_EQ(dialog_->m_exitPending, 0u);

  g_pfnSoundZipAdd = ZipAdd;
  dialog_->ExitRecorder();
  ASSERT_TRUE(PumpUntil([&] { return dialog_->closes > 0; }));
  Package saved = ReadPackage(prefix + L"2StudentsWorks.qpk", folder_);
  EXPECT_EQ(saved.names, (std::vector<std::wstring>{L"2StudentsWorks.mpa", L"2StudentsWorks.cif"}));
}

TEST_F(DialogFiles, UnlockedStationDeletesTheMastersFileAndDoesNotSave) {
  LoadTracks();
  app_->stationMode = 1;
  app_->hiddenStart = 1;
  dialog_->m_unlockValue = 7;
  dialog_->ExitRecorder();
  EXPECT_EQ(dialog_->closes, 1);
  EXPECT_FALSE(Exists(folder_ + L"\\lesson.wav"));
  EXPECT_EQ(dialog_->Student()->saveThread, nullptr);
  EXPECT_TRUE(prompts_.Asked().empty());
}

TEST_F(DialogFiles, APeerLocksTheStationUnlessTheSendFlagIsSet) {
  dialog_->Student()->modified = 1;
  app_->stationMode = 1;
  dialog_->m_peerWindow = dialog_->m_hWnd;
  dialog_->SendMessage(WM_COMMAND, IDCANCEL, 0);
  dialog_->ExitRecorder();
  EXPECT_EQ(dialog_->closes, 0);
  app_->testFlag = 1;
  dialog_->ExitRecorder();
  EXPECT_EQ(dialog_->closes, 1);
  EXPECT_TRUE(prompts_.Asked().empty());
}

TEST_F(DialogFiles, ClosingTheFileLeavesNothingToSave) {
  LoadTracks();
  dialog_->Student()->modified = 0;
  dialog_->Master()->modified = 1;
  dialog_->Master()->audioChanged = 1;
  dialog_->Master()->textsPresent = 1;
  dialog_->SendMessage(WM_COMMAND, IDC_BUTCLOSEWAV, 0);
  dialog_->ExitRecorder();
  EXPECT_TRUE(prompts_.Asked().empty());
  EXPECT_EQ(dialog_->closes, 1);
}

TEST_F(DialogFiles, SavingBeforeAnOpenRunsToItsEnd) {
  LoadTracks();
  dialog_->Master()->audioChanged = 1;
  dialog_->Master()->modified = 1;
  const std::wstring out = folder_ + L"\\before.qpk";
  ASSERT_TRUE(WriteWholeFile(out, std::string("earlier")));
  prompts_.Queue(IDYES);
  bool discard = false;
  {
    SaveDialogAnswerer answerer({out});
    discard = dialog_->AskDiscardChanges();
  }
  // Saved: nothing is left to lose, so the second question is not asked.
  EXPECT_TRUE(discard);
  EXPECT_EQ(prompts_.Asked().size(), 1u);
  EXPECT_EQ(dialog_->Master()->saveThread, nullptr);
  EXPECT_EQ(ReadPackage(out, folder_).table.size(), 1u);
  EXPECT_EQ(ReadFileOrMissing(folder_ + L"\\before - Old.qpk"), "earlier");

  // A failed save leaves the Master modified and the question guards it.
  g_pfnSoundZipAdd = FailingZipAdd;
  prompts_.Clear();
  prompts_.Queue(IDYES);
  prompts_.Queue(IDOK);  // the saver's report
  prompts_.Queue(IDNO);
  dialog_->Master()->audioChanged = 1;
  {
    SaveDialogAnswerer answerer({folder_ + L"\\failing.qpk"});
    discard = dialog_->AskDiscardChanges();
  }
  EXPECT_FALSE(discard);
  ASSERT_FALSE(prompts_.Asked().empty());
  EXPECT_EQ(prompts_.Asked().back().text, L"All unsaved data will be lost. Continue?");
}

// A drop of one file, as the shell hands it over.
HDROP DropOf(const std::wstring& path) {
  const size_t bytes = sizeof(DROPFILES) + (path.size() + 2) * sizeof(wchar_t);
  HGLOBAL memory = GlobalAlloc(GHND, bytes);
  auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
  drop->pFiles = sizeof(DROPFILES);
  drop->fWide = TRUE;
  memcpy(reinterpret_cast<char*>(drop) + sizeof(DROPFILES), path.c_str(), path.size() * sizeof(wchar_t));
  GlobalUnlock(memory);
  return static_cast<HDROP>(memory);
}

TEST_F(DialogFiles, ADroppedSoundFileOpensAndOtherFilesAreRefused) {
  const std::wstring clip = folder_ + L"\\clip.avi";
  ASSERT_TRUE(WriteWholeFile(clip, std::string("not a sound")));
  dialog_->SendMessage(WM_DROPFILES, reinterpret_cast<WPARAM>(DropOf(clip)), 0);
  ASSERT_EQ(prompts_.Asked().size(), 1u);
  EXPECT_EQ(prompts_.Asked()[0].text, L"Unsupported file format.");
  EXPECT_EQ(prompts_.Asked()[0].caption, L"Recorder");
  EXPECT_EQ(dialog_->m_videoMode, 0u);

  const std::wstring lesson = folder_ + L"\\dropped.wav";
  ASSERT_TRUE(WriteWholeFile(lesson, WavBytes(4410)));
  dialog_->Student()->textsPresent = 1;
  dialog_->SendMessage(WM_DROPFILES, reinterpret_cast<WPARAM>(DropOf(lesson)), 0);
  ASSERT_TRUE(PumpUntil([&] { return !dialog_->Master()->loadThread && dialog_->IsWindowEnabled(); }));
  ASSERT_NE(dialog_->Master()->loadedPath, nullptr);
  EXPECT_EQ(std::wstring(dialog_->Master()->loadedPath), lesson);
  EXPECT_EQ(dialog_->Student()->textsPresent, 0);
  // The drop's whole buffer is stored, and read back as the path.
  const auto& stored = app_->settingsDocument["Main"]["LastOpenPath"];
  EXPECT_EQ(stored.size(), 1024u);
  EXPECT_EQ(stored[0], static_cast<unsigned>(lesson[0]));
  EXPECT_EQ(stored[lesson.size()], 0u);
}

// What an open dialog of this process showed, answered with a path or, when empty, cancelled.
struct OpenDialogSeen {
  std::wstring name, folder;
  std::vector<std::wstring> types;
  int type = -1;
  bool answered = false;
};

OpenDialogSeen AnswerOpenDialog(const std::wstring& path) {
  OpenDialogSeen seen;
  HWND dialog = ui::WaitForFileDialog(GetCurrentProcessId(), 60000);
  if (!dialog) return seen;
  seen.name = ui::ControlTextOf(dialog, ui::kFileNameCombo);
  wchar_t folder[MAX_PATH] = {};
  SendMessageW(dialog, CDM_GETFOLDERPATH, MAX_PATH, reinterpret_cast<LPARAM>(folder));
  seen.folder = folder;
  HWND types = GetDlgItem(dialog, ui::kTypeCombo);
  for (LRESULT i = 0, n = SendMessageW(types, CB_GETCOUNT, 0, 0); i < n; ++i) {
    wchar_t text[128] = {};
    SendMessageW(types, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
    seen.types.push_back(text);
  }
  seen.type = static_cast<int>(SendMessageW(types, CB_GETCURSEL, 0, 0));
  seen.answered = path.empty() ? ui::CancelDialog(dialog) : ui::ChooseFile(dialog, path);
  return seen;
}

TEST_F(DialogFiles, TheOpenButtonAsksInTheStoredFolderAndOpensTheChosenSound) {
  const std::wstring before = folder_ + L"\\before.wav";
  const std::wstring chosen = folder_ + L"\\chosen.wav";
  ASSERT_TRUE(WriteWholeFile(before, WavBytes(4410)));
  ASSERT_TRUE(WriteWholeFile(chosen, WavBytes(8820)));
  StoreLastOpenPath(app_->settingsDocument, before.c_str(), before.size() + 1);
  // The left part of the button: its right part opens the web-address menu.
  HWND button = GetDlgItem(dialog_->m_hWnd, IDC_BUTOPENWAV);
  RECT r = {};
  ASSERT_TRUE(GetWindowRect(button, &r));
  ASSERT_TRUE(SetCursorPos(r.left + 4, (r.top + r.bottom) / 2));
  auto press = [&] {
    dialog_->SendMessage(WM_COMMAND, MAKEWPARAM(IDC_BUTOPENWAV, BN_CLICKED),
                         reinterpret_cast<LPARAM>(button));
  };

  OpenDialogSeen seen;
  std::thread answerer([&] { seen = AnswerOpenDialog(chosen); });
  press();
  answerer.join();
  ASSERT_TRUE(seen.answered);
  EXPECT_EQ(seen.name, L"before.wav");
  EXPECT_EQ(_wcsicmp(seen.folder.c_str(), folder_.c_str()), 0)
      << std::string(seen.folder.begin(), seen.folder.end());
  EXPECT_EQ(seen.types, (std::vector<std::wstring>{L"All sound files (WAV, MP3, QPK)", L"All video files"}));
  EXPECT_EQ(seen.type, 0);
  ASSERT_TRUE(PumpUntil([&] { return !dialog_->Master()->loadThread && dialog_->IsWindowEnabled(); }));
  ASSERT_NE(dialog_->Master()->loadedPath, nullptr);
  EXPECT_EQ(std::wstring(dialog_->Master()->loadedPath), chosen);
  wchar_t stored[MAX_PATH] = {};
  ReadLastOpenPath(app_->settingsDocument, stored, MAX_PATH);
  EXPECT_EQ(std::wstring(stored), chosen);
  EXPECT_EQ(app_->settingsDocument["Main"]["LastOpenPath"].size(), 260u);

  // Cancel changes nothing; the next dialog starts at the last choice.
  std::thread canceller([&] { seen = AnswerOpenDialog(L""); });
  press();
  canceller.join();
  ASSERT_TRUE(seen.answered);
  EXPECT_EQ(seen.name, L"chosen.wav");
  EXPECT_EQ(dialog_->Master()->loadThread, nullptr);
  EXPECT_EQ(std::wstring(dialog_->Master()->loadedPath), chosen);
  EXPECT_TRUE(prompts_.Asked().empty());
}

class SendMemory {
 public:
  SendMemory() {
    mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                  L"QUILLMERIDIAN_SHAREDMEM");
    view_ = mapping_ ? static_cast<wchar_t*>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, 0)) : nullptr;
  }
  ~SendMemory() {
    if (view_) UnmapViewOfFile(view_);
    if (mapping_) CloseHandle(mapping_);
  }
  std::wstring Text() const { return view_ ? std::wstring(view_) : L"<none>"; }

 private:
  HANDLE mapping_ = nullptr;
  wchar_t* view_ = nullptr;
};

TEST_F(DialogFiles, SendSavesIntoMyDocumentsAndHandsThePathOver) {
  LoadTracks();
  wchar_t documents[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, 0, documents);
  {
    SendMemory memory;
    dialog_->SendMessage(WM_COMMAND, IDC_BUTSENDWAV, 0);
    const auto asked = prompts_.Asked();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].caption, L"File saved in My Documents");
    const std::wstring path = asked[0].text;
    EXPECT_EQ(path.rfind(std::wstring(documents) + L"\\Orrin", 0), 0u) << path;
    EXPECT_EQ(memory.Text(), path);
    EXPECT_EQ(ReadPackage(path, folder_).table.size(), 1u);
    DeleteFileW(path.c_str());
  }
  // Without the framework the file is saved all the same.
  prompts_.Clear();
  dialog_->SendMessage(WM_COMMAND, IDC_BUTSENDWAV, 0);
  auto asked = prompts_.Asked();
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_TRUE(Exists(asked[0].text));
  DeleteFileW(asked[0].text.c_str());
  EXPECT_EQ(asked[1].text, L"Error communicating to Orrin framework");
  EXPECT_EQ(asked[1].caption, L"Communication problem");

  // A failed save shows no path and hands nothing over.
  SendMemory memory;
  g_pfnSoundZipAdd = FailingZipAdd;
  prompts_.Clear();
  dialog_->SendMessage(WM_COMMAND, IDC_BUTSENDWAV, 0);
  for (const AskedPrompt& p : prompts_.Asked()) EXPECT_NE(p.caption, L"File saved in My Documents");
  EXPECT_EQ(memory.Text(), L"");
}

HWND MessageOnlyWindow() {
  return CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr),
                       nullptr);
}

TEST_F(DialogFiles, UnderAnyBoxThePeersMessagesLeaveTheDialogDisabledAndNoTrackChanges) {
  LoadTracks();
  HWND peer = MessageOnlyWindow();
  ASSERT_NE(peer, nullptr);
  struct Row {
    const char* box;
    std::function<void()> show;
    int answer;
  };
  const Row rows[] = {
      {"the exit's question", [&] { dialog_->ExitRecorder(); }, IDCANCEL},
      {"all unsaved data will be lost",
       [&] {
         dialog_->Master()->modified = 1;
         dialog_->AskDiscardChanges();
         dialog_->Master()->modified = 0;
       },
       IDNO},
      {"a refused bookmark",
       [&] {
         dialog_->Master()->cursorFrame = 0;
         dialog_->SendMessage(WM_COMMAND, IDC_BUTINSERTBM, 0);
       },
       IDOK},
      {"a failed save's report",
       [&] {
         g_pfnSoundZipAdd = FailingZipAdd;
         ASSERT_TRUE(dialog_->Student()->StartSaveThread(folder_ + L"\\failing.qpk"));
         WaitForSaves();
         g_pfnSoundZipAdd = ZipAdd;
       },
       IDOK},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.box);
    int boxes = 0;
    std::vector<long> enabledAfter;
    bool recorded = false, played = false;
    prompts_.Queue(row.answer);
    prompts_.WhileUp([&](const std::wstring&) {
      ++boxes;
      for (WPARAM code :
           {REMOTE_BUSY, REMOTE_IDLE, REMOTE_WAIT_SHOW, REMOTE_WAIT_HIDE, REMOTE_LOCK, REMOTE_UNLOCK}) {
        dialog_->SendMessage(WM_REMOTE_BUTTON, code,
                             code == REMOTE_LOCK ? reinterpret_cast<LPARAM>(peer) : 0);
        if (dialog_->IsWindowEnabled()) enabledAfter.push_back(long(code));
      }
      // The student's own presses and the peer's mirrored ones.
      dialog_->SendMessage(WM_COMMAND, IDC_BUTREC, 0);
      recorded = dialog_->Student()->recording;
      dialog_->SendMessage(WM_REMOTE_BUTTON, IDC_BUTPLAY, 0);
      played = dialog_->Student()->playing;
      dialog_->SendMessage(WM_COMMAND, IDC_BUTCLOSEWAV, 0);
    });
    row.show();
    prompts_.WhileUp(nullptr);
    Pump();
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(enabledAfter, std::vector<long>{});
    EXPECT_FALSE(recorded);
    EXPECT_FALSE(played);
    EXPECT_EQ(dialog_->Master()->GetChunkCount(), 1) << "the file was closed under the box";
    EXPECT_TRUE(dialog_->IsWindowEnabled()) << "the box's end leaves the dialog disabled";
    EXPECT_EQ(dialog_->closes, 0);
  }
  DestroyWindow(peer);
}

TEST_F(DialogFiles, AClassroomQuitThatArrivesWhileAFileDialogIsUpRunsWhenItCloses) {
  struct Row {
    const char* dialog;
    std::deque<int> answers;  // the boxes before the file dialog, then those of the kept quit
    std::function<void()> open;
  };
  const Row rows[] = {
      {"the save button's", {IDNO}, [&] { dialog_->SendMessage(WM_COMMAND, IDC_BUTSAVEWAV, 0); }},
      {"the exit's own", {IDYES, IDNO}, [&] { dialog_->ExitRecorder(); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.dialog);
    dialog_->closes = 0;
    dialog_->Student()->modified = 1;
    prompts_.Clear();
    for (int answer : row.answers) prompts_.Queue(answer);
    {
      // Sent from another thread: it is handled inside the file dialog's loop before the cancel.
      HWND window = dialog_->m_hWnd;
      SaveDialogAnswerer answerer(
          {L""}, [window] { SendMessageW(window, WM_REMOTE_COMMAND, REMOTE_COMMAND_EXIT, 0); });
      row.open();
      answerer.Join();
      ASSERT_EQ(answerer.Answered(), 1);
    }
    EXPECT_TRUE(PumpUntil([&] { return dialog_->closes > 0; }, 10000));
    EXPECT_EQ(dialog_->closes, 1);
    ASSERT_FALSE(prompts_.Asked().empty());
    EXPECT_EQ(prompts_.Asked().back().text, L"Do you want to save student track?");
  }
}

// The automatic saves with the lesson's name land in the default folder.
std::vector<std::wstring> LessonSaves() {
  std::vector<std::wstring> found;
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(L"c:\\StudentWorks\\*_lesson.qpk", &data);
  if (search == INVALID_HANDLE_VALUE) return found;
  do found.push_back(std::wstring(L"c:\\StudentWorks\\") + data.cFileName);
  while (FindNextFileW(search, &data));
  FindClose(search);
  return found;
}

TEST_F(DialogFiles, AQuitDuringAFailedStationSavesBoxRetriesUnderTheLessonsName) {
  for (const std::wstring& old : LessonSaves()) DeleteFileW(old.c_str());
  LoadTracks();
  app_->stationMode = 1;
  app_->hiddenStart = 1;
  app_->stationNumber = 0;
  const std::wstring prefix = folder_ + L"\\class\\";
  ASSERT_TRUE(CreateDirectoryW(prefix.c_str(), nullptr));
  wcscpy(app_->savePathPrefix, prefix.c_str());
  g_pfnSoundZipAdd = FailingZipAdd;
  int boxes = 0;
  // The classroom quits again while the failure's box is up; the next save may succeed.
  prompts_.WhileUp([&](const std::wstring&) {
    ++boxes;
    g_pfnSoundZipAdd = ZipAdd;
    dialog_->SendMessage(WM_REMOTE_COMMAND, REMOTE_COMMAND_EXIT, 0);
  });
  dialog_->SendMessage(WM_REMOTE_COMMAND, REMOTE_COMMAND_EXIT, 0);
  EXPECT_TRUE(PumpUntil([&] { return dialog_->closes > 0; }, 10000));
  prompts_.WhileUp(nullptr);
  WaitForSaves();
  EXPECT_EQ(boxes, 1);
  EXPECT_EQ(dialog_->closes, 1);
  const std::vector<std::wstring> saved = LessonSaves();
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(ReadPackage(saved[0], folder_).table.size(), 1u);
  EXPECT_FALSE(Exists(prefix + L"1StudentsWorks.qpk"));
  DeleteFileW(saved[0].c_str());
}

TEST_F(DialogFiles, ARefusedDropLeavesARecordingAndThePeerAlone) {
  HWND peer = MessageOnlyWindow();
  ASSERT_NE(peer, nullptr);
  dialog_->m_peerWindow = peer;
  dialog_->Student()->ToggleRecording();
  ASSERT_TRUE(dialog_->Student()->recording);
  const std::wstring clip = folder_ + L"\\clip.avi";
  ASSERT_TRUE(WriteWholeFile(clip, std::string("not a sound")));
  dialog_->SendMessage(WM_DROPFILES, reinterpret_cast<WPARAM>(DropOf(clip)), 0);
  ASSERT_EQ(prompts_.Asked().size(), 1u);
  EXPECT_EQ(prompts_.Asked()[0].text, L"Unsupported file format.");
  EXPECT_TRUE(dialog_->Student()->recording);
  MSG forwarded;
  EXPECT_FALSE(PeekMessageW(&forwarded, peer, WM_REMOTE_BUTTON, WM_REMOTE_BUTTON, PM_REMOVE));
  dialog_->m_peerWindow = nullptr;
  dialog_->Student()->ToggleRecording();
  dialog_->Student()->WaitForTakeComplete(5000);
  DestroyWindow(peer);
}

}  // namespace
