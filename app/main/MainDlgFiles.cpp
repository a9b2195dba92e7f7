// Open, save and send. A track is left alone from the start of its load or save until its
// notification; an open or save dialog of ours is a nested message loop, so every operation here
// refuses to start while one is up.
#include <windows.h>
#include <commdlg.h>
#include <shlobj.h>

#include <cstring>
#include <cwchar>

#include "app/main/FileDialogThread.h"
#include "app/main/FileRules.h"
#include "app/main/MainDlg.h"
#include "appdata/AppData.h"
#include "common/LogManager.h"
#include "common/Prompt.h"
#include "common/SharedHelpers.h"
#include "media/document/SoundDocument.h"
#include "media/soundfile/SoundFile.h"
#include "media/video/VideoManager.h"

namespace {

constexpr wchar_t kSendMemoryName[] = L"QUILLMERIDIAN_SHAREDMEM";
constexpr size_t kSendPathUnits = 1024;

// Makes every folder of `folder` that is missing; true when it stands as a folder.
bool MakeFolders(const std::wstring& folder) {
  if (folder.empty()) return true;
  for (size_t at = folder.find_first_of(L"\\/", 3); at != std::wstring::npos;
       at = folder.find_first_of(L"\\/", at + 1))
    CreateDirectoryW(folder.substr(0, at).c_str(), nullptr);
  CreateDirectoryW(folder.c_str(), nullptr);
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

bool CMainDlg::MakeSaveFolder(const std::wstring& path, bool tell) {
  if (MakeFolders(FolderOf(path))) return true;
  LogFileLine("Save not started, no folder for", path);
  if (tell) Prompt(SaveFolderFailureText(path).c_str(), GetEditionName(), MB_ICONEXCLAMATION);
  return false;
}

bool CMainDlg::TrackBusy(const CSoundDocument* track) const {
  return track && (track->loadThread || track->saveThread);
}

bool CMainDlg::SavesRunning() const {
  return (Master() && Master()->saveThread) || (Student() && Student()->saveThread);
}

bool CMainDlg::FileOperationRefused(const char* what, bool studentToo) const {
  const char* held = TrackChangeHeldBy();
  const char* why = held                                 ? held
                    : TrackBusy(Master())                ? "the Master track is loading or saving"
                    : studentToo && TrackBusy(Student()) ? "the Student track is saving"
                                                         : nullptr;
  if (why) PostLogLinef(LOG_WAVE_MANAGER, "%s refused: %s", what, why);
  return why != nullptr;
}

void CMainDlg::OnOpenFile() {
  if (!Master() || FileOperationRefused("Open", true)) return;
  SendMessage(WM_COMMAND, IDC_MBUTSTOP, 0);
  SendMessage(WM_COMMAND, IDC_BUTSTOP, 0);
  POINT cursor = {};
  RECT button = {};
  GetCursorPos(&cursor);
  ::GetWindowRect(::GetDlgItem(m_hWnd, IDC_BUTOPENWAV), &button);
  button.left += 68;
  // The right part of the button belongs to the URL menu.
  if (PtInRect(&button, cursor)) {
    ShowUrlMenu(cursor);
    return;
  }
  if (!AskDiscardChanges()) return;

  wchar_t path[kOpenPathUnits] = {};
  wchar_t folder[kOpenPathUnits] = {};
  ReadLastOpenPath(AppData()->settingsDocument, path, kOpenPathUnits);
  wcscpy(folder, path);
  OPENFILENAMEW dialog = {};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = m_hWnd;
  dialog.lpstrFilter =
      L"All sound files (WAV, MP3, QPK)\0*.wav;*.mp3;*.qpk\0All video files\0*.avi;*.mpg;*.mpeg\0";
  dialog.nFilterIndex = 0;
  dialog.lpstrFile = path;
  dialog.nMaxFile = kOpenPathUnits;
  dialog.lpstrInitialDir = folder[0] ? folder : nullptr;
  dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST;
  dialog.FlagsEx = OFN_EX_NOPLACESBAR;
  if (!RunFileDialog(&dialog, false)) return;
  OpenChosenFile(path, kOpenPathUnits);
}

void CMainDlg::OnDropFiles(HDROP drop) {
  wchar_t path[kDropPathUnits] = {};
  const UINT length = DragQueryFileW(drop, 0, path, kDropPathUnits);
  DragFinish(drop);
  if (!length || !Master() || FileOperationRefused("Drop", true)) return;
  // A refused file changes nothing: a take that runs goes on.
  if (!IsDroppableSound(path)) {
    Prompt(L"Unsupported file format.", L"Recorder", MB_OK);
    return;
  }
  SendMessage(WM_COMMAND, IDC_MBUTSTOP, 0);
  SendMessage(WM_COMMAND, IDC_BUTSTOP, 0);
  if (!AskDiscardChanges()) return;
  OpenChosenFile(path, kDropPathUnits);
}

void CMainDlg::OpenChosenFile(const wchar_t* buffer, size_t units) {
  m_autoSaveMasterPath.clear();
  Master()->ResetSoundData();
  if (CVideoManager* video = AppData()->videoManager) video->CloseVideo();
  StoreLastOpenPath(AppData()->settingsDocument, buffer, units);
  OpenMediaFile(buffer);
  if (Student()) Student()->textsPresent = 0;
}

// A save started here runs to its end before the open goes on: the open resets the Master it
// reads. After a failed save the question after it still guards the changes.
bool CMainDlg::AskDiscardChanges() {
  CSoundDocument* master = Master();
  if (!master) return true;
  bool saveFailed = false;
  if (master->audioChanged && Prompt(L"Do you want to save updated audio data?", L"Unsaved data",
                                     MB_YESNO | MB_ICONQUESTION) == IDYES) {
    std::wstring path;
    if (ChooseSavePath(master, &path)) {
      EnableWindow(FALSE);
      m_fileName.SetWindowText(L"Please wait...");
      if (!MakeSaveFolder(path, true) || !master->SaveSoundFile(path, BackupName(path))) {
        LogFileLine("Save before opening failed:", path);
        saveFailed = true;
      }
      ShowOpenFileName();
      ApplyEnableState();
    }
  }
  if (!master->modified && !saveFailed) return true;
  return Prompt(L"All unsaved data will be lost. Continue?", L"Unsaved data", MB_YESNO | MB_ICONQUESTION) ==
         IDYES;
}

void CMainDlg::OpenMediaFile(const wchar_t* path) {
  CSoundDocument* master = Master();
  CSoundDocument* student = Student();
  if (!master || !path) return;
  if (student) student->SelectChunk(0);
  const MediaKind kind = MediaKindOf(path);
  if (kind == MediaKind::kNone) return;
  if (kind == MediaKind::kVideo) {
    if (CVideoManager* video = AppData()->videoManager) {
      video->OpenVideo(path, m_hWnd);
      m_videoMode = 1;
    }
    return;
  }
  m_videoMode = 0;
  // From here until NOTIFY_LOADED the Master belongs to the load thread.
  if (master->parentWindow) ::EnableWindow(master->parentWindow, FALSE);
  auto* request = new SoundFileRequest{master, path};
  master->loadThread = CreateThread(nullptr, 0, LoadThreadProc, request, 0, nullptr);
  if (!master->loadThread) {
    // No NOTIFY_LOADED will come to enable the dialog again.
    delete request;
    ApplyEnableState();
    return;
  }
  ApplyEnableState();
  m_masterText.SetWindowText(L"");
  m_fileName.SetWindowText(L"Please wait...");
}

void CMainDlg::OnSaveStudent() { SaveTrackAs(Student()); }

void CMainDlg::OnSaveMaster() {
  if (!Master() || !Student()) return;
  if (Student()->modified) {
    Prompt(L"Use blue save button to save student track first", L"Attention", MB_ICONEXCLAMATION);
    return;
  }
  if (Prompt(L"Do you want to save all changes of the master track?", L"Confirm",
             MB_YESNOCANCEL | MB_ICONQUESTION) == IDYES)
    SaveTrackAs(Master());
}

int CMainDlg::SaveTrackAs(CSoundDocument* track) {
  if (!track) return 0;
  // The other track may be saving: the exit saves both.
  if (m_fileDialogUp || TrackBusy(track)) {
    PostLogLine(LOG_WAVE_MANAGER, "Save refused: a file dialog is up or the track is busy");
    return 0;
  }
  std::wstring path;
  if (!ChooseSavePath(track, &path)) return 0;
  if (!StartTrackSave(track, path, BackupName(path))) return 0;
  ApplyEnableState();
  m_masterText.SetWindowText(L"");
  m_fileName.SetWindowText(L"Please wait...");
  return 1;
}

bool CMainDlg::ChooseSavePath(CSoundDocument* track, std::wstring* path) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t buffer[MAX_PATH] = {};
  wcsncpy(buffer, ProposedSaveName(now, track->loadedPath).c_str(), MAX_PATH - 1);
  // Without the folder the dialog would open in the current one.
  MakeFolders(kStudentWorksFolder);
  OPENFILENAMEW dialog = {};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = m_hWnd;
  dialog.lpstrFilter =
      L"Standard MP3 files\0*.mp3\0Windows WAV files\0*.wav\0Quillmeridian Package QPK File\0*.qpk\0"
      L"All sound files\0*.mp3;*.wav;*.qpk\0All files\0*.*\0";
  dialog.nFilterIndex = 3;
  dialog.lpstrFile = buffer;
  dialog.nMaxFile = MAX_PATH;
  dialog.lpstrInitialDir = kStudentWorksFolder;
  dialog.lpstrDefExt = L"qpk";
  dialog.Flags = OFN_EXPLORER;
  dialog.FlagsEx = OFN_EX_NOPLACESBAR;
  DWORD error = 0;
  if (!RunFileDialog(&dialog, true, &error)) {
    // Not a cancel: the dialog could not give the path (a path longer than its buffer holds).
    if (error) {
      LogFileLine("The save dialog gave no path for", buffer);
      Prompt(SaveDialogFailureText(error).c_str(), GetEditionName(), MB_ICONEXCLAMATION);
    }
    return false;
  }
  *path = buffer;
  return true;
}

// An existing file at path goes to `backup` once the new one is whole (the saver does it).
bool CMainDlg::StartTrackSave(CSoundDocument* track, const std::wstring& path, const std::wstring& backup) {
  // The automatic saves of a station without buttons ask nothing and tell nothing.
  if (!MakeSaveFolder(path, !AppData()->hiddenStart)) return false;
  LogFileLine(track == Student() ? "Saving the Student track to" : "Saving the Master track to", path);
  return track->StartSaveThread(path, backup);
}

void CMainDlg::OnCloseFile() {
  CSoundDocument* master = Master();
  if (!master || FileOperationRefused("Close", false)) return;
  m_masterText.SetWindowText(L"");
  m_autoSaveMasterPath.clear();
  CVideoManager* video = AppData()->videoManager;
  if (m_videoMode && video) {
    video->CloseVideo();
    video->modified = 0;
    m_videoMode = 0;
  } else {
    master->FreeAllChunks();
    master->ResetSoundData();
    master->RedrawWaveform(0, 0);
  }
  // A closed file has nothing left to save.
  master->modified = 0;
  master->audioChanged = 0;
  master->textsPresent = 0;
  m_fileName.SetWindowText(L"");
  ShowBookmarksState();
}

void CMainDlg::OnSendToFramework() {
  CSoundDocument* master = Master();
  if (!master || FileOperationRefused("Send", false)) return;
  SendMessage(WM_COMMAND, IDC_MBUTSTOP, 0);
  SendMessage(WM_COMMAND, IDC_BUTSTOP, 0);
  WaitForStudentTake();
  wchar_t documents[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, 0, documents);
  const std::wstring path = SendFileName(documents, GetTickCount());
  // Saved here on the UI thread: the path is handed over only once the file stands whole.
  if (!MakeSaveFolder(path, true) || !master->SaveSoundFile(path)) {
    LogFileLine("Send failed, not saved:", path);
    return;
  }
  Prompt(path.c_str(), L"File saved in My Documents", MB_ICONEXCLAMATION);
  HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, kSendMemoryName);
  if (!mapping) {
    Prompt(L"Error communicating to Orrin framework", L"Communication problem", MB_ICONEXCLAMATION);
    return;
  }
  if (void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0)) {
    MEMORY_BASIC_INFORMATION region = {};
    const size_t bytes = (path.size() + 1) * sizeof(wchar_t);
    // The mapping's size is the framework's: a path that does not fit is not written at all.
    if (path.size() < kSendPathUnits && VirtualQuery(view, &region, sizeof region) &&
        region.RegionSize >= bytes)
      memcpy(view, path.c_str(), bytes);
    else
      LogFileLine("Sent path does not fit the framework's memory:", path);
    UnmapViewOfFile(view);
  }
  CloseHandle(mapping);
}
