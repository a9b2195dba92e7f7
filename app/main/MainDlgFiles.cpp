// Open, save, send and exit.
#include <cwchar>

#include "app/main/MainDlg.h"
#include "appdata/AppData.h"
#include "media/document/SoundDocument.h"
#include "media/soundfile/SoundFile.h"

void CMainDlg::OpenMediaFile(const wchar_t* path) {
  CSoundDocument* master = Master();
  CSoundDocument* student = Student();
  if (!master || !path) return;
  if (student) student->SelectChunk(0);
  const wchar_t* dot = wcsrchr(path, L'.');
  if (!dot) return;
  wchar_t extension[16] = {};
  wcsncpy(extension, dot + 1, 15);
  CharUpperBuffW(extension, static_cast<DWORD>(wcslen(extension)));
  if (wcscmp(extension, L"AVI") == 0 || wcscmp(extension, L"MPG") == 0 || wcscmp(extension, L"MPEG") == 0) {
    // Video files open in the video manager once it exists; without one there is no video.
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
    if (master->parentWindow) ::EnableWindow(master->parentWindow, TRUE);
    return;
  }
  EnableWindow(FALSE);
  m_masterText.SetWindowText(L"");
  m_fileName.SetWindowText(L"Please wait...");
}

void CMainDlg::OnDropFiles(HDROP drop) { DragFinish(drop); }
