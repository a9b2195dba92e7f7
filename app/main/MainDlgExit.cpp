// The way out: the exit's questions, a station's automatic save, and the end of a save. The
// dialog closes only when no save runs and none that ended since the exit began failed; a failed
// save keeps the program open with the recording still in it.
#include <cwchar>

#include "app/main/FileRules.h"
#include "app/main/MainDlg.h"
#include "appdata/AppData.h"
#include "common/LogManager.h"
#include "media/document/SoundDocument.h"
#include "media/video/VideoManager.h"

namespace {

enum class ExitStep { kStayOpen, kCloseNow, kCloseAfterSaves };

bool FileExists(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

// No station keeps this many automatic saves in one folder.
constexpr UINT kMaxAutoSaveTries = 100000;

}  // namespace

void CMainDlg::OnCancel() { ExitRecorder(); }

void CMainDlg::OnExitButton() { ExitRecorder(); }

void CMainDlg::OnSysCommand(UINT command, LPARAM) {
  if (command == SC_CLOSE) {
    ExitRecorder();
    return;
  }
  Default();
}

// The Student's take reaches its chunk on the worker after the stop: the exit and the send save
// it only once its last blocks are in (bounded; a take still unfinished then is closed as it is).
void CMainDlg::WaitForStudentTake() {
  CSoundDocument* student = Student();
  if (student && !TrackBusy(student) && !student->WaitForTakeComplete(CSoundDocument::kTakeDrainMs))
    PostLogLinef(LOG_WAVE_MANAGER, "The Student's take did not end within %lu ms; saving it as it is",
                 static_cast<unsigned long>(CSoundDocument::kTakeDrainMs));
}

void CMainDlg::ExitRecorder() {
  // A box or a file dialog of the exit is a nested message loop: a remote exit, Escape or a
  // second SC_CLOSE may arrive in it.
  if (m_exitRunning || m_exitPending || m_fileDialogUp) {
    PostLogLinef(LOG_WAVE_MANAGER, "Exit dropped: %s",
                 m_fileDialogUp ? "a file dialog is up" : "an exit is already under way");
    return;
  }
  m_exitRunning = true;
  m_exitSaveFailed = false;
  CSoundDocument* master = Master();
  CSoundDocument* student = Student();
  CAppData* app = AppData();

  const ExitStep step = [&] {
    // A track that loads or saves belongs to its thread (which stops it itself).
    for (CSoundDocument* track : {master, student})
      if (track && !TrackBusy(track)) track->StopTransport();
    WaitForStudentTake();

    if (m_peerWindow) {
      if (app->testFlag) return ExitStep::kCloseNow;
      // A locked station is closed by its controller, not from itself.
      if (app->stationMode) return ExitStep::kStayOpen;
    }
    if (m_unlockValue && app->stationMode) {
      if (master && !TrackBusy(master) && master->loadedPath && *master->loadedPath) {
        const std::wstring loaded = master->loadedPath;
        master->ResetSoundData();
        DeleteFileW(loaded.c_str());
      }
      return ExitStep::kCloseNow;
    }
    if (app->hiddenStart && app->stationMode) StartStationSave();
    if (app->hiddenStart) return ExitStep::kCloseAfterSaves;

    ExitFacts facts;
    if (master && !TrackBusy(master)) {
      facts.masterAudioChanged = master->audioChanged != 0;
      facts.masterModified = master->modified != 0;
    }
    facts.videoEntriesChanged = app->videoManager && app->videoManager->modified;
    facts.studentModified = student && !TrackBusy(student) && student->modified;
    const ExitAnswers answers = AskExitQuestions(m_hWnd, facts, [this](ExitSaveTrack which) {
      CSoundDocument* track = which == ExitSaveTrack::kMaster ? Master() : Student();
      // A save of that track already under way is the save asked for.
      return (track && track->saveThread) || SaveTrackAs(track) != 0;
    });
    return answers.mayExit ? ExitStep::kCloseAfterSaves : ExitStep::kStayOpen;
  }();
  m_exitRunning = false;

  if (step == ExitStep::kStayOpen) return;
  if (step == ExitStep::kCloseNow) {
    OnOK();
    return;
  }
  if (m_exitSaveFailed) {
    PostLogLine(LOG_WAVE_MANAGER, "Exit cancelled: a save failed");
    return;
  }
  // Saves that ended while the questions were up have already been counted.
  if (SavesRunning()) {
    m_exitPending = 1;
    return;
  }
  OnOK();
}

void CMainDlg::StartStationSave() {
  CSoundDocument* master = Master();
  CSoundDocument* student = Student();
  if (!student) return;
  if (TrackBusy(student)) {
    PostLogLine(LOG_WAVE_MANAGER, "Automatic save: the Student track is already saving");
    return;
  }
  const UINT station = AppData()->stationNumber;
  std::wstring target;
  if (master && !TrackBusy(master) && master->loadedPath && *master->loadedPath) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    target = AutoSaveNameWithMaster(now, master->loadedPath, station);
    master->ResetSoundData();
  } else {
    UINT attempt = 0;
    do {
      target = AutoSaveNameWithoutMaster(AppData()->savePathPrefix, station, attempt);
    } while (FileExists(target) && ++attempt < kMaxAutoSaveTries);
  }
  LogFileLine("Automatic save of the Student track:", target);
  if (!StartTrackSave(student, target)) m_exitSaveFailed = true;
}

void CMainDlg::OnTrackSaved(CSoundDocument* sender) {
  // Only the sender's thread has ended; the other track may still be saving.
  sender->CloseSaveThread();
  if (sender->lastSaveResult != 1) {
    PostLogLine(LOG_WAVE_MANAGER,
                sender == Student() ? "Save of the Student track failed" : "Save of the Master track failed");
    if (m_exitRunning || m_exitPending) m_exitSaveFailed = true;
    if (m_exitPending) {
      m_exitPending = 0;
      PostLogLine(LOG_WAVE_MANAGER, "Exit cancelled: a save failed");
    }
  }
  ShowOpenFileName();
  if (!TrackBusy(Master()) && !TrackBusy(Student())) EnableWindow(TRUE);
  if (m_exitPending && !SavesRunning()) {
    OnOK();
    return;
  }
  ShowChunkTexts();
}
