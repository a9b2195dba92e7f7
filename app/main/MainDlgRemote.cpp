// The classroom messages: a controller locks and unlocks the station, busies it, shows the wait
// pop-up, mirrors presses onto it, moves its positions, sets its level tips, makes it exit, hands
// it a save-path prefix and the list of stream recipients (ClassroomMessages.h).
#include <windows.h>
#include <commctrl.h>

#include <cstring>
#include <mutex>

#include "app/main/ClassroomMessages.h"
#include "app/main/FileDialogThread.h"
#include "app/main/MainDlg.h"
#include "app/main/RemoteRules.h"
#include "appdata/AppData.h"
#include "appdata/ZubraSharedMemory.h"
#include "common/Locks.h"
#include "common/LogManager.h"
#include "common/Prompt.h"
#include "media/document/SoundDocument.h"
#include "mfc/CWinApp.h"

namespace {

constexpr wchar_t kLockText[] = L"QMR for student";
constexpr wchar_t kWaitText[] = L"Wait for all the selected students to login...";
constexpr WPARAM kLevelIn = 0;
constexpr WPARAM kLevelOut = 1;
constexpr UINT kSendFileButtons[] = {IDC_BUTOPENWAV, IDC_BUTSAVEWAV, IDC_BUTSENDWAV};

}  // namespace

void CMainDlg::EnableControls(bool enable) {
  for (size_t i = 0; i < kSkinnedButtonCount; ++i) {
    const UINT id = kMainControls[i].id;
    if (id == IDC_BUTCLEAR) continue;
    if (HWND control = ::GetDlgItem(m_hWnd, static_cast<int>(id))) ::EnableWindow(control, enable);
  }
  for (UINT id : {IDC_FILENAME, IDC_LEDNUMBER, IDC_MASTERTEXT, IDC_STUDENTTEXT})
    if (HWND control = ::GetDlgItem(m_hWnd, static_cast<int>(id))) ::EnableWindow(control, enable);
}

void CMainDlg::ApplyEnableState() {
  RemoteHolds holds;
  holds.locked = m_peerWindow != nullptr;
  holds.stationMode = AppData() && AppData()->stationMode;
  holds.remoteBusy = m_remoteBusy;
  holds.waiting = m_remoteWait;
  holds.fileWork = TrackBusy(Master()) || TrackBusy(Student());
  holds.modal = m_modalCount > 0;
  const EnableState state = DeriveEnableState(holds);
  EnableControls(state.controls);
  for (UINT id : {IDC_MASTERTEXT, IDC_STUDENTTEXT})
    if (HWND edit = ::GetDlgItem(m_hWnd, static_cast<int>(id))) ::EnableWindow(edit, state.textEdits);
  if (HWND exit = ::GetDlgItem(m_hWnd, IDC_BUTEXIT)) ::EnableWindow(exit, state.exitButton);
  m_busy = state.waitCursor ? 1 : 0;
  ::SetCursor(state.waitCursor ? m_waitCursor : m_arrowCursor);
  EnableWindow(state.dialog ? TRUE : FALSE);
}

// The ends of loads, saves and modal boxes enable the dialog on their own; a remote busy holds
// over them.
LRESULT CMainDlg::OnEnableChanged(WPARAM enabled, LPARAM) {
  if (enabled && m_remoteBusy) EnableWindow(FALSE);
  return 0;
}

CMainDlg::ModalHold::ModalHold(CMainDlg* dialog) : dialog_(dialog) { ++dialog_->m_modalCount; }

// The box has enabled its owner again as it closed; what holds besides decides.
CMainDlg::ModalHold::~ModalHold() {
  if (--dialog_->m_modalCount) return;
  if (dialog_->m_hWnd) dialog_->ApplyEnableState();
  dialog_->RunKeptQuit();
}

int CMainDlg::Prompt(const wchar_t* text, const wchar_t* caption, UINT style) {
  ModalHold hold(this);
  return ShowPrompt(m_hWnd, text, caption, style);
}

BOOL CMainDlg::RunFileDialog(OPENFILENAMEW* dialog, bool save, DWORD* error) {
  ModalHold hold(this);
  m_fileDialogUp = true;
  const BOOL chosen = ::RunFileDialog(save ? GetSaveFileNameW : GetOpenFileNameW, dialog, error);
  m_fileDialogUp = false;
  return chosen;
}

const char* CMainDlg::TrackChangeHeldBy() const {
  return m_fileDialogUp                   ? "a file dialog is up"
         : m_modalCount                   ? "a box is up"
         : m_exitRunning || m_exitPending ? "the exit runs"
                                          : nullptr;
}

bool CMainDlg::PressRefused(UINT id) const {
  const char* why = PressChangesTrack(id) ? TrackChangeHeldBy() : nullptr;
  if (why) PostLogLinef(LOG_WAVE_MANAGER, "Press %u refused: %s", id, why);
  return why != nullptr;
}

bool CMainDlg::RemotePressRefused(WPARAM code, LPARAM value) const {
  const char* held = TrackChangeHeldBy();
  const char* why = held                   ? held
                    : TrackBusy(Master())  ? "the Master track is loading or saving"
                    : TrackBusy(Student()) ? "the Student track is saving"
                                           : nullptr;
  if (why)
    PostLogLinef(LOG_WAVE_MANAGER, "Remote press %ld (%ld) refused: %s", static_cast<long>(code),
                 static_cast<long>(value), why);
  return why != nullptr;
}

LRESULT CMainDlg::OnRemoteButton(WPARAM code, LPARAM value) {
  const RemoteAction action = ClassifyRemoteButton(code, value);
  if (RemoteActionTouchesTracks(action) && RemotePressRefused(code, value)) return 0;
  switch (action) {
    case RemoteAction::kUnlock:
      OnRemoteUnlock(value);
      break;
    case RemoteAction::kLock:
      OnRemoteLock(reinterpret_cast<HWND>(value));
      break;
    case RemoteAction::kBusy:
      m_remoteBusy = true;
      ApplyEnableState();
      break;
    case RemoteAction::kIdle:
      m_remoteBusy = false;
      ApplyEnableState();
      break;
    case RemoteAction::kWaitShow:
      ShowRemoteWait();
      break;
    case RemoteAction::kWaitHide:
      HideRemoteWait();
      break;
    case RemoteAction::kMasterPosition:
      SetRemotePosition(Master(), value);
      break;
    case RemoteAction::kStudentPosition:
      SetRemotePosition(Student(), value);
      break;
    case RemoteAction::kOutLevel:
      SetRemoteLevel(m_outSlider, value);
      break;
    case RemoteAction::kInLevel:
      SetRemoteLevel(m_inSlider, value);
      break;
    case RemoteAction::kLedDoubleClick:
      OnLedDoubleClick();
      break;
    case RemoteAction::kModeRightClick:
      OnModeButtonRightClick(static_cast<UINT>(code), nullptr, nullptr);
      break;
    case RemoteAction::kBookmarksToggle:
      OnToggleBookmarks();
      break;
    case RemoteAction::kClick:
      if (HWND control = ::GetDlgItem(m_hWnd, static_cast<int>(code)))
        ::SendMessageW(control, BM_CLICK, 0, 0);
      break;
    case RemoteAction::kIgnore:
      break;
  }
  return 0;
}

void CMainDlg::ShowSendFileButtons(bool show) {
  for (UINT id : kSendFileButtons)
    if (HWND button = ::GetDlgItem(m_hWnd, static_cast<int>(id)))
      ::ShowWindow(button, show ? SW_SHOW : SW_HIDE);
}

void CMainDlg::OnRemoteLock(HWND peer) {
  // Presses posted to ourselves would come back as remote presses, without end.
  if (!peer || !::IsWindow(peer) || peer == m_hWnd || ::IsChild(m_hWnd, peer)) {
    PostLogLinef(LOG_WAVE_MANAGER, "Lock refused: the peer %p is not another window",
                 reinterpret_cast<void*>(peer));
    return;
  }
  // Stored before the box: an unlock that arrives while it is up must find the lock to end.
  m_peerWindow = peer;
  CAppData* app = AppData();
  if (app && app->testFlag) ShowSendFileButtons(false);
  ApplyEnableState();
  if (app && app->stationMode && !m_lockBoxUp) {
    m_lockBoxUp = true;
    // Whatever arrives while the box is up holds when it closes.
    Prompt(kLockText, AfxGetAppName(), MB_OK);
    m_lockBoxUp = false;
  }
  SetForegroundWindow();
  BringWindowToTop();
}

void CMainDlg::OnRemoteUnlock(LPARAM value) {
  CAppData* app = AppData();
  if (app && app->testFlag) ShowSendFileButtons(true);
  m_unlockValue = static_cast<UINT>(value);
  m_peerWindow = nullptr;
  ApplyEnableState();
}

void CMainDlg::ShowRemoteWait() {
  m_remoteWait = true;
  ApplyEnableState();
  if (m_waitPopup) ShowWaitPopup(m_waitPopup, kWaitText);
}

void CMainDlg::HideRemoteWait() {
  m_remoteWait = false;
  ApplyEnableState();
  if (m_waitPopup) HideWaitPopup(m_waitPopup);
}

void CMainDlg::SetRemotePosition(CSoundDocument* track, LPARAM value) {
  if (!track) return;
  // The worker changes the chunk list and the current chunk's length.
  std::lock_guard<RecursiveMutex> lock(track->PacketLock());
  const CChunkInfo* chunk = track->GetCurrentChunk();
  const uint32_t frame = ClampRemoteFrame(value, chunk ? chunk->frames : 0);
  track->cursorFrame = frame;
  if (track->positionBar) ::SendMessageW(track->positionBar, PBM_SETPOS, frame, 0);
  track->DrawSelectionAndCursor(nullptr);
  track->cursorColumn = CursorColumnOf(frame, track->viewStartFrame, track->framesPerPixel);
}

void CMainDlg::SetRemoteLevel(CGraphicSlider& slider, LPARAM level) {
  slider.m_tipPosition = LevelTipPosition(static_cast<int32_t>(level), slider.Travel());
  if (slider.m_hWnd) slider.Invalidate(TRUE);
}

LRESULT CMainDlg::OnSetLevel(WPARAM which, LPARAM level) {
  if (which == kLevelIn) SetRemoteLevel(m_inSlider, level);
  if (which == kLevelOut) SetRemoteLevel(m_outSlider, level);
  return 0;
}

LRESULT CMainDlg::OnRemoteCommand(WPARAM code, LPARAM) {
  if (code == REMOTE_COMMAND_EXIT) {
    EndMenu();
    SendMessage(WM_CANCELMODE, 0, 0);
    OnRemoteExit();
  } else if (code == REMOTE_COMMAND_SAVE_PREFIX && AppData()) {
    CAppData* app = AppData();
    TakeUsbStationText(app->stationNumber, app->savePathPrefix, sizeof app->savePathPrefix / sizeof(wchar_t));
  }
  return 0;
}

LRESULT CMainDlg::OnCopyDataRecipients(WPARAM, LPARAM data) {
  const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(data);
  CAppData* app = AppData();
  if (!copy || copy->dwData != COPYDATA_RECIPIENTS || !app) return FALSE;
  StationRecipient parsed[CAppData::kMaxRecipients];
  const uint32_t count = ParseRecipientList(copy->lpData, copy->cbData, parsed, CAppData::kMaxRecipients);
  EnterCriticalSection(&app->recipientLock);
  memcpy(app->recipients, parsed, count * sizeof parsed[0]);
  app->recipientCount = count;
  LeaveCriticalSection(&app->recipientLock);
  PostLogLinef(LOG_WAVE_MANAGER, "Stream recipients: %u", static_cast<unsigned>(count));
  return TRUE;
}
