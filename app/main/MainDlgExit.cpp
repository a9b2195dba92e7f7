// The way out: the exit's questions, a station's automatic save, and the end of a save. The
// dialog closes only when no save runs and none that ended since the exit began failed; a failed
// save keeps the program open with the recording still in it.
#include <cwchar>

#include "app/main/ClassroomMessages.h"
#include "app/main/FileRules.h"
#include "app/main/MainDlg.h"
#include "app/main/TransportRules.h"
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

void CMainDlg::OnRemoteExit() {
  const char* held = TrackChangeHeldBy();
  if (!held) {
    ExitRecorder();
    return;
  }
  // The classroom believes the station closes: the quit runs once what holds it has ended.
  PostLogLinef(LOG_WAVE_MANAGER, "Remote exit kept: %s", held);
  m_quitKept = true;
}

void CMainDlg::RunKeptQuit() {
  if (!m_quitKept || TrackChangeHeldBy() || !m_hWnd) return;
  m_quitKept = false;
  PostLogLine(LOG_WAVE_MANAGER, "Running the kept remote exit");
  // From the dialog's own loop, once the handler that closed the box has finished.
  PostMessage(WM_REMOTE_COMMAND, REMOTE_COMMAND_EXIT, 0);
}

void CMainDlg::ExitRecorder() {
  // A box or a file dialog is a nested message loop: Escape, a second SC_CLOSE or the exit
  // button may arrive in it (a classroom quit is kept instead, OnRemoteExit).
  if (const char* held = TrackChangeHeldBy()) {
    PostLogLinef(LOG_WAVE_MANAGER, "Exit dropped: %s", held);
    return;
  }
  m_exitRunning = true;
  m_exitSaveFailed = false;
  CSoundDocument* master = Master();
  CSoundDocument* student = Student();
  CAppData* app = AppData();

  const ExitStep step = [&] {
    // The play mode ends first: the stops' ends of playback must start nothing behind the
    // questions. A track that loads or saves belongs to its thread (which stops it itself).
    m_playMode = PLAY_MODE_NONE;
    if (m_videoMode) StopMasterSide();
    for (CSoundDocument* track : {master, student})
      if (track && !TrackBusy(track)) StopTrack(track);
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
    // The questions are boxes of the dialog, up from the first to the last.
    ModalHold hold(this);
    const ExitAnswers answers = AskExitQuestions(m_hWnd, facts, [this](ExitSaveTrack which) {
      CSoundDocument* track = which == ExitSaveTrack::kMaster ? Master() : Student();
      // A save of that track already under way is the save asked for.
      return (track && track->saveThread) || SaveTrackAs(track) != 0;
    });
    return answers.mayExit ? ExitStep::kCloseAfterSaves : ExitStep::kStayOpen;
  }();
  m_exitRunning = false;

  if (step == ExitStep::kCloseNow) {
    OnOK();
    return;
  }
  if (step == ExitStep::kCloseAfterSaves) {
    if (m_exitSaveFailed) {
      PostLogLine(LOG_WAVE_MANAGER, "Exit cancelled: a save failed");
    } else if (SavesRunning()) {
      // Saves that ended while the questions were up have already been counted.
      m_exitPending = 1;
      return;
    } else {
      OnOK();
      return;
    }
  }
  // Still open: a quit the classroom sent meanwhile asks again.
  RunKeptQuit();
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
  if (master && !TrackBusy(master) && master->loadedPath && *master->loadedPath)
    m_autoSaveMasterPath = master->loadedPath;
  if (!m_autoSaveMasterPath.empty()) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    target = AutoSaveNameWithMaster(now, m_autoSaveMasterPath, station);
    if (master && !TrackBusy(master)) master->ResetSoundData();
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
  ApplyEnableState();
  if (m_exitPending && !SavesRunning()) {
    OnOK();
    return;
  }
  ShowChunkTexts();
  // An exit cancelled by the failed save leaves a quit sent meanwhile to run now.
  RunKeptQuit();
}
