// The tracks' notifications and the transport, chunk and play-mode buttons.
#include <windows.h>

#include <commctrl.h>

#include <cwchar>
#include <mutex>

#include "app/main/ClassroomMessages.h"
#include "app/main/MainDlg.h"
#include "app/main/TransportRules.h"
#include "appdata/AppData.h"
#include "common/Locks.h"
#include "common/LogManager.h"
#include "common/Prompt.h"
#include "media/document/SoundDocument.h"
#include "media/video/VideoManager.h"

namespace {

constexpr wchar_t kEmptyRegionText[] =
    L"Empty region. Use Left Mouse Button to mark. \nCtrl + Left Mouse Button to insert bookmark.";
constexpr int kMaxChunkTextUnits = 1024;  // 1,023 characters and the terminating zero

}  // namespace

void CMainDlg::ForwardToPeer(UINT id, LPARAM lParam) {
  if (m_peerWindow) ::PostMessageW(m_peerWindow, WM_REMOTE_BUTTON, id, lParam);
}

CVideoManager* CMainDlg::Video() const { return appData_ ? appData_->videoManager : nullptr; }

// ---- notifications ----

LRESULT CMainDlg::OnSoundNotify(WPARAM code, LPARAM sender) {
  // Any process can post this message to a window found by its title: the sender is only
  // compared with the known ones, never followed otherwise.
  CSoundDocument* track = nullptr;
  if (sender && sender == reinterpret_cast<LPARAM>(Master()))
    track = Master();
  else if (sender && sender == reinterpret_cast<LPARAM>(Student()))
    track = Student();
  const bool fromVideo = !track && sender && sender == reinterpret_cast<LPARAM>(Video());
  if (!track && !fromVideo) return 0;
  // What the track could not do is told here, from the dialog's own loop: no lock of the track is
  // held now, and a click inside the box finds the track whole.
  if (track)
    for (const TrackReport& r : track->TakeReports()) Prompt(r.text.c_str(), r.caption.c_str(), r.style);
  switch (code) {
    case NOTIFY_CHUNK_IDLE:
    case NOTIFY_CHUNK_RECORDING:
      ShowChunkNumber();
      SetNotifiedFaces(code);
      break;
    case NOTIFY_LOADED:
      if (fromVideo || track == Master()) OnTrackLoaded();
      break;
    case NOTIFY_SAVED:
      if (track) OnTrackSaved(track);
      break;
    case NOTIFY_PROGRESS:
      DrawChunkLengthClock();
      DrawPositionClock();
      break;
    case NOTIFY_PLAY_ENDED:
      OnPlayEnded(track, fromVideo);
      SetNotifiedFaces(code);
      UpdateMasterPlayFace();
      break;
    case NOTIFY_REC_PAUSED:
    case NOTIFY_TRANSPORT_CHANGED:
      SetNotifiedFaces(code);
      UpdateMasterPlayFace();
      break;
    case NOTIFY_POSITION_SET:
      if (fromVideo)
        ForwardToPeer(REMOTE_VIDEO_POSITION, 0);
      else
        ForwardToPeer(track == Master() ? REMOTE_MASTER_POSITION : REMOTE_STUDENT_POSITION,
                      static_cast<LPARAM>(track->cursorFrame.load()));
      break;
    default:
      break;
  }
  return 0;
}

void CMainDlg::OnTrackLoaded() {
  CSoundDocument* master = Master();
  if (!m_videoMode) {
    master->CloseLoadThread();
    master->RedrawWaveform(0, 256);
  }
  ShowOpenFileName();
  ApplyEnableState();
  // A load, a video's opening and a switch of whole mode all end here.
  ShowBookmarksState();
  DrawChunkLengthClock();
  ShowChunkTexts();
  if (CSoundDocument* student = Student()) student->overwriteOnRecord = master->GetChunkCount() > 0 ? 1 : 0;
  BringWindowToTop();
}

void CMainDlg::ShowOpenFileName() {
  const CVideoManager* video = Video();
  const CSoundDocument* master = Master();
  const wchar_t* path = m_videoMode && video ? video->GetVideoPath().c_str()
                        : master             ? master->loadedPath
                                             : nullptr;
  m_fileName.SetWindowText(ShownFileName(path).c_str());
}

void CMainDlg::ShowChunkNumber() {
  const CSoundDocument* student = Student();
  m_led.m_value = ChunkNumberShown(student ? student->currentChunk.load() : -1);
  if (m_led.m_hWnd) m_led.Invalidate();
}

void CMainDlg::SetButtonFace(UINT id, const wchar_t* stem, bool invalidate) {
  CTransparentButton* button = Button(id);
  if (!button || !button->m_hWnd) return;
  if (stem) button->SetWindowText(stem);
  button->LoadButtonFaces(id, this);
  if (invalidate) button->Invalidate(TRUE);
}

void CMainDlg::SetNotifiedFaces(WPARAM code) {
  const CSoundDocument* student = Student();
  FaceChange faces[3];
  const size_t n = FacesForNotification(code, student && student->recording, faces);
  for (size_t i = 0; i < n; ++i) SetButtonFace(faces[i].id, faces[i].stem);
}

void CMainDlg::UpdateMasterPlayFace() {
  const CSoundDocument* master = Master();
  SetButtonFace(IDC_MBUTPLAY,
                MasterPlayFace(m_videoMode != 0, master && master->playing, master && master->paused));
}

// ---- the play mode ----

int CMainDlg::OwnPlayEndSlot(const CSoundDocument* track) const {
  return track && track == Master() ? 0 : track && track == Student() ? 1 : -1;
}

void CMainDlg::StopTrack(CSoundDocument* track) {
  if (!track) return;
  // Under the lock, so that an end the worker posts meanwhile is not taken for ours.
  std::lock_guard<RecursiveMutex> hold(track->PacketLock());
  const int slot = OwnPlayEndSlot(track);
  if (track->playing && slot >= 0) ++m_ownPlayEnds[slot];
  track->StopTransport();
}

void CMainDlg::PauseTrack(CSoundDocument* track) {
  if (!track) return;
  std::lock_guard<RecursiveMutex> hold(track->PacketLock());
  const int slot = OwnPlayEndSlot(track);
  // Pausing a playback posts an end as well.
  if (track->playing && !track->paused && slot >= 0) ++m_ownPlayEnds[slot];
  track->TogglePause();
}

void CMainDlg::OnPlayEnded(CSoundDocument* track, bool fromVideo) {
  CSoundDocument* master = Master();
  CSoundDocument* student = Student();
  // A track belongs to its load or save thread until that ends: not even its chunks are read.
  const bool tracksOwned = TrackBusy(master) || TrackBusy(student);
  PlayEnd end = {m_playMode, PlaySender::kVideo, false, false, student && student->recording, false};
  if (fromVideo) {
    const CVideoManager* video = Video();
    end.senderRunning = video && (video->IsPlaying() || video->IsPaused());
  } else {
    end.sender = track == master ? PlaySender::kMaster : PlaySender::kStudent;
    UINT& own = m_ownPlayEnds[OwnPlayEndSlot(track)];
    end.ownStop = own > 0;
    if (own > 0) --own;
    end.senderRunning = track->playing || track->paused;
  }
  // Repeat hands the turn on only while one of the two would play something from where it
  // starts; the other track is asked first (the sender's chunk was just played).
  if (m_playMode == PLAY_MODE_REPEAT && !fromVideo && !end.ownStop && !end.senderRunning && !tracksOwned) {
    CSoundDocument* other = track == master ? student : master;
    end.nothingToPlay = other->FramesPlaybackWouldPlay() == 0 && track->FramesPlaybackWouldPlay() == 0;
  }
  const PlayModeStep step = StepPlayMode(end);
  m_playMode = step.next;
  if (step.action == PlayAction::kNone || tracksOwned) return;
  // Nothing starts behind a box of ours: the mode ends instead.
  if (const char* held = TrackChangeHeldBy()) {
    PostLogLinef(LOG_WAVE_MANAGER, "Play mode %u ended: %s", m_playMode, held);
    m_playMode = PLAY_MODE_NONE;
    return;
  }
  if (step.action == PlayAction::kPlayMaster)
    master->StartPlayback();
  else if (step.action == PlayAction::kPlayStudent)
    student->StartPlayback();
  else if (step.action == PlayAction::kRecordStudent)
    student->ToggleRecording();
}

// ---- track steps ----

int CMainDlg::MasterCount() {
  if (m_videoMode) return Video() ? static_cast<int>(Video()->GetEntryCount()) : 0;
  return Master()->GetChunkCount();
}

int CMainDlg::MasterIndex() {
  if (m_videoMode) return Video() ? static_cast<int>(Video()->GetCurrentIndex()) : -1;
  return Master()->currentChunk;
}

void CMainDlg::StopMasterSide() {
  if (m_videoMode) {
    if (CVideoManager* video = Video()) video->StopPlay();
    return;
  }
  StopTrack(Master());
}

void CMainDlg::Refresh(bool withPosition) {
  DrawChunkLengthClock();
  if (withPosition) DrawPositionClock();
  ShowChunkTexts();
}

bool CMainDlg::TracksReady() const { return Master() && Student(); }

// ---- Master buttons ----

void CMainDlg::OnMasterPlay() {
  if (!TracksReady()) return;
  CSoundDocument* master = Master();
  CSoundDocument* student = Student();
  if (m_videoMode) {
    if (CVideoManager* video = Video()) video->StartPlay();
    return;
  }
  if (master->GetChunkCount() > 0 || !master->asideChunks.empty()) {
    if (master->paused || !master->playing) {
      master->StartPlayback();
      ForwardToPeer(IDC_MBUTPLAY);
    } else {
      PauseTrack(master);
      ForwardToPeer(IDC_MBUTPAUSE);
    }
  }
  UpdateMasterPlayFace();
  m_playMode = PLAY_MODE_NONE;
  if (student->playing) StopTrack(student);
  if (student->recording) student->ToggleRecording();
}

void CMainDlg::OnMasterPause() {
  ForwardToPeer(IDC_MBUTPAUSE);
  if (m_videoMode) {
    if (CVideoManager* video = Video()) video->TogglePause();
    return;
  }
  if (Master() && Master()->playing) PauseTrack(Master());
}

void CMainDlg::OnMasterStop() {
  if (!TracksReady()) return;
  if (Master()->playing) SetButtonFace(IDC_MBUTPLAY, L"MBUTPLAY");
  ForwardToPeer(IDC_MBUTSTOP);
  m_playMode = PLAY_MODE_NONE;
  StopMasterSide();
  StopTrack(Student());
}

void CMainDlg::OnMasterNext() {
  ForwardToPeer(IDC_MBUTNEXT);
  m_playMode = PLAY_MODE_NONE;
  if (!TracksReady()) return;
  const int count = MasterCount();
  if (count >= 1 && MasterIndex() < count - 1) {
    if (m_videoMode) {
      Video()->NextEntry();
      Student()->SelectNextChunk();
      Video()->StartPlay();
    } else {
      Master()->SelectNextChunk();
      Student()->SelectNextChunk();
      Master()->StartPlayback();
    }
  }
  Refresh();
  UpdateMasterPlayFace();
}

void CMainDlg::OnMasterPrev() {
  ForwardToPeer(IDC_MBUTPREV);
  m_playMode = PLAY_MODE_NONE;
  if (!TracksReady()) return;
  if (MasterCount() >= 1 && MasterIndex() >= 1) {
    if (m_videoMode) {
      Video()->PrevEntry();
      Student()->SelectPrevChunk();
      Video()->StartPlay();
    } else {
      Master()->SelectPrevChunk();
      Student()->SelectPrevChunk();
      Master()->StartPlayback();
    }
  }
  Refresh();
  UpdateMasterPlayFace();
}

// ---- Student buttons ----

void CMainDlg::OnStudentPlay() {
  ForwardToPeer(IDC_BUTPLAY);
  m_playMode = PLAY_MODE_NONE;
  if (!TracksReady()) return;
  if (Master()->playing) StopTrack(Master());
  if (Master()->recording) Master()->ToggleRecording();
  SetButtonFace(IDC_BUTNEXTB, L"BUTNEXT");
  Student()->StartPlayback();
}

void CMainDlg::OnStudentRecord() {
  ForwardToPeer(IDC_BUTREC);
  m_playMode = PLAY_MODE_NONE;
  if (!TracksReady()) return;
  // The notifications that follow set the face the recording really has.
  SetButtonFace(IDC_BUTREC, L"BUTRECORDSTOP", false);
  if (Master()->playing && !Master()->paused) StopTrack(Master());
  Student()->ToggleRecording();
}

void CMainDlg::OnStudentPause() {
  ForwardToPeer(IDC_BUTPAUSE);
  PauseTrack(Student());
}

void CMainDlg::OnStudentStop() {
  ForwardToPeer(IDC_BUTSTOP);
  m_playMode = PLAY_MODE_NONE;
  if (!TracksReady()) return;
  StopMasterSide();
  StopTrack(Student());
}

void CMainDlg::OnStudentNext() {
  ForwardToPeer(IDC_BUTNEXTB);
  m_playMode = PLAY_MODE_NONE;
  if (!TracksReady()) return;
  CSoundDocument* student = Student();
  const bool wasRecording = student->recording;
  const int count = MasterCount();
  if (count > 0) {
    if (MasterIndex() >= count - 1) {
      Refresh();
      return;
    }
    if (m_videoMode)
      Video()->NextEntry();
    else
      Master()->SelectNextChunk();
  }
  student->SelectNextChunk();
  // While recording, the take goes on in the new chunk.
  if (wasRecording)
    student->ToggleRecording();
  else
    student->StartPlayback();
  Refresh();
}

void CMainDlg::OnStudentPrev() {
  ForwardToPeer(IDC_BUTPREV);
  m_playMode = PLAY_MODE_NONE;
  if (!TracksReady()) return;
  CSoundDocument* student = Student();
  const bool wasRecording = student->recording;
  if (MasterCount() < 1) {
    if (!student->GetCurrentChunk() || student->currentChunk < 1) {
      Refresh();
      return;
    }
    student->SelectPrevChunk();
  } else {
    if (MasterIndex() < 1) {
      Refresh();
      return;
    }
    if (m_videoMode)
      Video()->PrevEntry();
    else
      Master()->SelectPrevChunk();
    student->SelectPrevChunk();
  }
  if (wasRecording)
    student->ToggleRecording();
  else
    student->StartPlayback();
  Refresh();
}

// ---- chunks ----

void CMainDlg::OnNextChunk() {
  ForwardToPeer(IDC_BUTNEXTCHUNK);
  m_playMode = PLAY_MODE_NONE;
  if (!TracksReady()) return;
  const int count = Master()->GetChunkCount();
  if (count > 0 && Master()->currentChunk < count - 1) {
    Master()->SelectNextChunk();
    Student()->SelectNextChunk();
  }
  Refresh(true);
}

void CMainDlg::OnPrevChunk() {
  ForwardToPeer(IDC_BUTPREVCHUNK);
  m_playMode = PLAY_MODE_NONE;
  if (!TracksReady()) return;
  if (Master()->GetChunkCount() > 0 && Master()->currentChunk >= 1) {
    Master()->SelectPrevChunk();
    Student()->SelectPrevChunk();
  }
  Refresh(true);
}

void CMainDlg::OnLedDoubleClick() {
  ForwardToPeer(IDC_LEDNUMBER);
  if (!TracksReady()) return;
  CSoundDocument* master = Master();
  CSoundDocument* student = Student();
  if (master->currentChunk != 0) {
    master->SelectChunk(0);
    student->SelectChunk(0);
  } else {
    // To the end: the Student stands on the Master's last index, made if need be.
    const int m = master->GetChunkCount();
    master->SelectChunk(m - 1);
    const int s = student->GetChunkCount();
    int steps = m - 1;
    if (s > 0) {
      student->SelectChunk(s - 1);
      steps = m - s;
    }
    for (int i = 0; i < steps; ++i) student->SelectNextChunk();
  }
  DrawChunkLengthClock();
  ShowChunkTexts();
}

// ---- repeat and the four modes ----

void CMainDlg::OnRepeat() {
  ForwardToPeer(IDC_BUTREPEAT);
  if (!TracksReady()) return;
  if (Student()->recording) Student()->ToggleRecording();
  StopTrack(Master());
  StopTrack(Student());
  if (m_playMode != PLAY_MODE_NONE) {
    m_playMode = PLAY_MODE_NONE;
    return;
  }
  Master()->StartPlayback();
  m_playMode = PLAY_MODE_REPEAT;
}

void CMainDlg::RunPlayMode(UINT id, UINT mode) {
  ForwardToPeer(id);
  if (!TracksReady()) return;
  StopMasterSide();
  StopTrack(Student());
  // The second press of the same mode ends it.
  if (m_playMode == mode) {
    m_playMode = PLAY_MODE_NONE;
    return;
  }
  if (m_videoMode) {
    if (CVideoManager* video = Video()) video->StartPlay();
  } else {
    Master()->StartPlayback();
    if (mode == PLAY_MODE_BOTH) Student()->StartPlayback();
    if (mode == PLAY_MODE_PLAY_RECORD) Student()->ToggleRecording();
  }
  m_playMode = mode;
}

void CMainDlg::OnModePlayBoth() { RunPlayMode(IDC_VBUTPLAYPLAY, PLAY_MODE_BOTH); }
void CMainDlg::OnModePlayRecord() { RunPlayMode(IDC_VBUTPLAYREC, PLAY_MODE_PLAY_RECORD); }
void CMainDlg::OnModeMasterThenStudent() { RunPlayMode(IDC_HBUTPLAYPLAY, PLAY_MODE_MASTER_THEN_STUDENT); }
void CMainDlg::OnModeMasterThenRecord() { RunPlayMode(IDC_HBUTPLAYREC, PLAY_MODE_MASTER_THEN_RECORD); }

void CMainDlg::OnModeButtonRightClick(UINT id, NMHDR*, LRESULT* result) {
  ForwardToPeer(id, 1);
  OnNextChunk();
  switch (id) {
    case IDC_VBUTPLAYPLAY:
      OnModePlayBoth();
      break;
    case IDC_VBUTPLAYREC:
      OnModePlayRecord();
      break;
    case IDC_HBUTPLAYPLAY:
      OnModeMasterThenStudent();
      break;
    case IDC_HBUTPLAYREC:
      OnModeMasterThenRecord();
      break;
    default:
      break;
  }
  if (result) *result = 0;
}

// ---- bookmarks, clearing, erasing, zoom ----

void CMainDlg::OnInsertBookmark() {
  if (!TracksReady()) return;
  if (m_videoMode) {
    if (CVideoManager* video = Video()) video->SplitCurrentEntry();
    ForwardToPeer(IDC_BUTINSERTBM);
  } else if (Master()->InsertBookmark()) {
    ForwardToPeer(IDC_BUTINSERTBM);
  } else {
    Prompt(kEmptyRegionText, L"Attention", MB_ICONEXCLAMATION);
  }
  DrawChunkLengthClock();
}

void CMainDlg::OnToggleBookmarks() {
  ForwardToPeer(IDC_BUTINSERTBM, 1);
  OnLedDoubleClick();
  // The state the Master side is in, not the one last set here: loads, closes and a video's
  // opening leave whole mode on their own.
  ShowBookmarksState();
  const bool off = !m_bookmarksOff;
  if (m_videoMode) {
    if (CVideoManager* video = Video()) video->SetWholeMode(off);
  } else if (Master()) {
    Master()->SetWholeMode(off);
  }
  ShowBookmarksState();
}

void CMainDlg::ShowBookmarksState() {
  const CVideoManager* video = Video();
  const CSoundDocument* master = Master();
  if (m_videoMode)
    m_bookmarksOff = video && video->wholeMode;
  else if (master && !TrackBusy(master))
    m_bookmarksOff = master->wholeMode;
  // The button looks pressed while the bookmarks are off.
  CTransparentButton* button = Button(IDC_BUTINSERTBM);
  if (button && button->m_hWnd && (button->m_pressedLook != 0) != m_bookmarksOff) {
    button->TogglePressedLook();
    button->Invalidate(TRUE);
  }
}

void CMainDlg::OnInsertBookmarkRightClick(NMHDR*, LRESULT* result) {
  OnToggleBookmarks();
  if (result) *result = 0;
}

void CMainDlg::OnRemoveBookmark() {
  ForwardToPeer(IDC_BUTREMOVEBM);
  if (!TracksReady()) return;
  if (m_videoMode) {
    if (CVideoManager* video = Video()) video->MergeWithNext();
  } else {
    Master()->RemoveBookmark(Master()->currentChunk);
  }
  Refresh();
}

void CMainDlg::OnClearStudentChunk() {
  CSoundDocument* student = Student();
  if (!student || !student->modified) return;
  if (student->playing || student->recording) StopTrack(student);
  // Without a current chunk there is nothing to clear.
  if (!student->ClearCurrentChunk()) return;
  if (student->positionBar) ::SendMessageW(student->positionBar, PBM_SETPOS, 0, 0);
  student->RedrawWaveform(0, student->framesPerPixel);
  student->Notify(student->recording ? NOTIFY_CHUNK_RECORDING : NOTIFY_CHUNK_IDLE);
  ForwardToPeer(IDC_BUTCLEAR);
}

void CMainDlg::OnEraseSelection() {
  if (!Master()) return;
  Master()->StopEngineDevices();
  // A cut that failed says why; the track holds no lock now.
  if (!Master()->DeleteSelection())
    for (const TrackReport& r : Master()->TakeReports(GetCurrentThreadId()))
      Prompt(r.text.c_str(), r.caption.c_str(), r.style);
  Refresh();
}

void CMainDlg::Zoom(UINT id, uint32_t framesPerPixel) {
  ForwardToPeer(id);
  if (!TracksReady()) return;
  // Both waveforms show the Master's view.
  const uint32_t start = Master()->viewStartFrame;
  Master()->RedrawWaveform(start, framesPerPixel);
  Student()->RedrawWaveform(start, framesPerPixel);
}

void CMainDlg::OnZoomIn() {
  Zoom(IDC_BUTPLUS, ZoomInFramesPerPixel(Master() ? Master()->framesPerPixel : kMinFramesPerPixel));
}

void CMainDlg::OnZoomOut() {
  Zoom(IDC_BUTMINUS, ZoomOutFramesPerPixel(Master() ? Master()->framesPerPixel : kMinFramesPerPixel));
}

// ---- chunk texts ----

void CMainDlg::OnTextChange(CSoundDocument* track, COwnClipboardEdit& edit) {
  // Our own showing of a chunk's text is no edit; a loading or saving track is not ours to touch.
  if (m_showingTexts || !track || TrackBusy(track)) return;
  track->textsPresent = 1;
  wchar_t text[kMaxChunkTextUnits] = {};
  edit.GetWindowText(text, kMaxChunkTextUnits);
  track->SetChunkText(text);
}

void CMainDlg::OnMasterTextChange() { OnTextChange(Master(), m_masterText); }
void CMainDlg::OnStudentTextChange() { OnTextChange(Student(), m_studentText); }
