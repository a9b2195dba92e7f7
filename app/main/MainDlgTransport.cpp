// The tracks' notifications and the transport, chunk and play-mode buttons.
#include <cwchar>

#include "app/main/ClassroomMessages.h"
#include "app/main/MainDlg.h"
#include "appdata/AppData.h"
#include "common/Prompt.h"
#include "media/document/SoundDocument.h"

void CMainDlg::ForwardToPeer(UINT id, LPARAM lParam) {
  if (m_peerWindow) ::PostMessageW(m_peerWindow, WM_REMOTE_BUTTON, id, lParam);
}

LRESULT CMainDlg::OnSoundNotify(WPARAM code, LPARAM sender) {
  // A notification may arrive after its sender was replaced: only the current tracks count.
  CSoundDocument* track = reinterpret_cast<CSoundDocument*>(sender);
  if (!track || (track != Master() && track != Student())) return 0;
  // What the track could not do is told here, from the dialog's own loop: no lock of the track is
  // held now, and a click inside the box finds the track whole.
  for (const TrackReport& r : track->TakeReports())
    ShowPrompt(m_hWnd, r.text.c_str(), r.caption.c_str(), r.style);
  switch (code) {
    case NOTIFY_LOADED:
      if (track == Master()) OnTrackLoaded();
      break;
    case NOTIFY_SAVED:
      OnTrackSaved(track);
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
  EnableWindow(TRUE);
  DrawChunkLengthClock();
  ShowChunkTexts();
  if (CSoundDocument* student = Student()) student->overwriteOnRecord = master->GetChunkCount() > 0 ? 1 : 0;
  BringWindowToTop();
}

// The file-name field shows the open file's name without its folder; a path without a backslash
// leaves the field as it is.
void CMainDlg::ShowOpenFileName() {
  const CSoundDocument* master = Master();
  const wchar_t* path = master ? master->loadedPath : nullptr;
  if (!path || !*path) {
    m_fileName.SetWindowText(L"");
    return;
  }
  if (const wchar_t* slash = wcsrchr(path, L'\\')) m_fileName.SetWindowText(slash + 1);
}
