// The application data object: construction, destruction, the settings files it owns and the
// capture pipe's write side.
#include "appdata/AppData.h"

#include <cstdlib>
#include <cstring>

#include "appdata/SettingsFile.h"
#include "audio/MixerData.h"
#include "common/Locks.h"
#include "common/LogManager.h"
#include "common/SharedHelpers.h"
#include "media/document/SoundDocument.h"
#include "media/video/VideoManager.h"

CAppData* g_pAppData = nullptr;

CAppData::CAppData() {
  waveDevices.WaveDeviceOut = std::wstring(1, wchar_t(0xFFFF));
  waveDevices.WaveDeviceIn = std::wstring(1, wchar_t(0xFFFF));

  DWORD n = GetModuleFileNameW(nullptr, programFolder, 260);
  if (n == 0 || n >= 260) programFolder[0] = 0;
  if (wchar_t* slash = wcsrchr(programFolder, L'\\')) slash[1] = 0;

  InitializeCriticalSection(&recipientLock);

  // The tracks' engines and the links post to the worker from their first moment: its queue
  // must exist before any of them is made.
  workerReady_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  workerThread = CreateThread(nullptr, 0, WorkerThreadProc, this, 0, &workerThreadId);
  if (workerThread && workerReady_) {
    HANDLE waits[2] = {workerReady_, workerThread};
    WaitForMultipleObjects(2, waits, FALSE, 10000);
  }

  sharedEngineRecord = new SharedEngineRecord;
  masterTrack = new CSoundDocument(workerThreadId, L"Master", sharedEngineRecord);
  masterTrack->trackIndex = 0;
  studentTrack = new CSoundDocument(workerThreadId, L"Student", sharedEngineRecord);
  studentTrack->trackIndex = 1;

  CreateVideoManager();

  LoadSettingsDocument();
  LoadUrlList();

  frameworkLink = new CNamedPipeLink(kFrameworkPipeName, workerThreadId, WM_FRAMEWORK_PIPE_EVENT);
  frameworkLink->Start(false);
  captureLink = new CNamedPipeLink(kCapturePipeName, workerThreadId, WM_CAPTURE_PIPE_EVENT);
  captureLink->Start(false);

  // The tracks' engines make their device enumerators on their own threads meanwhile.
  mixerLoadThread_ = CreateThread(nullptr, 0, MixerLoadThreadProc, this, 0, nullptr);
  if (!mixerLoadThread_) LoadMixerData();

  mixerInput = 0;
  mixerValue = 0xFFFFFFFFu;
  masterTrack->captureMask = 3;
  studentTrack->captureMask = 3;
}

CAppData::~CAppData() {
  SaveSettingsDocument();
  waveDevices.SaveWaveDeviceSettings();
  WaitForMixerData();
  SaveMixerData();

  // No engine posts buffers after this. The last take's tail is still on its way: the worker
  // appends it and streams the last block while the pipe is still connected.
  if (masterTrack) masterTrack->StopEngineDevices();
  if (studentTrack) studentTrack->StopEngineDevices();
  if (studentTrack && !studentTrack->WaitForTakeComplete(CSoundDocument::kTakeDrainMs))
    PostLogLine(LOG_WAVE_MANAGER, "Exit: the last take did not end in time");
  SyncWorker(kPipeWriteTimeoutMs + 1000);

  // From here on no pipe event is posted; the "disconnected" events already posted are still
  // ahead of WM_QUIT in the worker's queue, so it closes its pipe handles.
  for (CNamedPipeLink** link : {&frameworkLink, &captureLink}) {
    if (*link) (*link)->Stop();
    delete *link;
    *link = nullptr;
  }

  // Messages posted before WM_QUIT are handled first: every queued buffer reaches a live track.
  if (workerThread) {
    while (!PostThreadMessageW(workerThreadId, WM_QUIT, 0, 0)) {
      if (WaitForSingleObject(workerThread, 50) != WAIT_TIMEOUT) break;
    }
    // The worker may be sending to a window of this thread (a box's owner): serve it meanwhile.
    WaitServingSentMessages(workerThread, INFINITE);
    CloseHandle(workerThread);
    workerThread = nullptr;
  }
  if (workerReady_) CloseHandle(workerReady_);
  workerReady_ = nullptr;

  delete masterTrack;
  masterTrack = nullptr;
  delete studentTrack;
  studentTrack = nullptr;
  DeleteVideoManager();
  delete sharedEngineRecord;
  sharedEngineRecord = nullptr;

  free(urlListText);
  urlListText = nullptr;
  urlListLength = 0;
  DeleteCriticalSection(&recipientLock);
  free(clipboardData);
  clipboardData = nullptr;
  clipboardCapacity = clipboardSize = 0;
}

bool CAppData::SyncWorker(DWORD ms) {
  if (!workerThread || GetCurrentThreadId() == workerThreadId) return false;
  HANDLE reached = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!reached) return false;
  bool ok = false;
  if (PostThreadMessageW(workerThreadId, WM_WORKER_BARRIER, 0, reinterpret_cast<LPARAM>(reached))) {
    HANDLE waits[2] = {reached, workerThread};
    ok = WaitForMultipleObjects(2, waits, FALSE, ms) == WAIT_OBJECT_0;
  }
  // The worker may still set it after a time-out: it must not be freed under its hands then.
  if (ok) CloseHandle(reached);
  return ok;
}

void CAppData::LoadSettingsDocument() {
  const std::wstring path = GetEditionFilePath(L"RecorderPaths.json");
  wcsncpy(recorderPathsFile, path.c_str(), 259);
  recorderPathsFile[259] = 0;
  settingsDocument = ReadJsonSettingsFile(recorderPathsFile);
}

void CAppData::SaveSettingsDocument() {
  if (!WriteJsonSettingsFile(recorderPathsFile, settingsDocument))
    PostLogLine(LOG_WAVE_MANAGER, "RecorderPaths.json could not be written");
}

void CAppData::LoadUrlList() {
  free(urlListText);
  urlListText = nullptr;
  urlListLength = 0;
  const std::wstring path = GetEditionFilePath(L"URLList.txt");
  if (!path.empty()) ReadUrlListFile(path.c_str(), &urlListText, &urlListLength);
}

// The clock thread runs from here to the end; the dialog directs the notifications to itself.
void CAppData::CreateVideoManager() { videoManager = new CVideoManager; }
void CAppData::DeleteVideoManager() {
  delete videoManager;
  videoManager = nullptr;
}

// The reference volumes are imposed at every start and written back unchanged at exit.
void CAppData::LoadMixerData() {
  mixerData = new CMixerData;
  mixerData->SerializeMixerData(false, GetEditionFilePath(L"MixerData.bin"));
}

DWORD WINAPI CAppData::MixerLoadThreadProc(LPVOID self) {
  // The mixer data sets up COM for itself.
  static_cast<CAppData*>(self)->LoadMixerData();
  return 0;
}

CMixerData* CAppData::WaitForMixerData() {
  std::lock_guard<Mutex> lock(mixerLoadLock_);
  if (mixerLoadThread_) {
    WaitForSingleObject(mixerLoadThread_, INFINITE);
    CloseHandle(mixerLoadThread_);
    mixerLoadThread_ = nullptr;
  }
  return mixerData;
}

void CAppData::SaveMixerData() {
  if (!mixerData) return;
  mixerData->SerializeMixerData(true, L"");
  delete mixerData;
  mixerData = nullptr;
}

HANDLE CAppData::GetCapturePipe() {
  std::lock_guard<Mutex> lock(captureWriteLock_);
  return capturePipe;
}

bool CAppData::WriteCaptureFrame(const void* data, DWORD size) {
  std::lock_guard<Mutex> lock(captureWriteLock_);
  return WriteFrameLocked(capturePipe, data, size);
}

bool CAppData::WriteCaptureFrameTo(HANDLE pipe, const void* data, DWORD size) {
  std::lock_guard<Mutex> lock(captureWriteLock_);
  // A connection that ended or was closed meanwhile gets nothing more.
  if (!pipe || pipe != capturePipe) return false;
  return WriteFrameLocked(pipe, data, size);
}

bool CAppData::WriteFrameLocked(HANDLE pipe, const void* data, DWORD size) {
  if (!pipe) return false;
  if (WritePipeBytes(pipe, data, size, kPipeWriteTimeoutMs)) return true;
  // Part of the frame may be on the wire: every later frame would be read out of step. The
  // connection ends here; the link reconnects and the new connection is greeted afresh.
  PostLogLine(LOG_WAVE_MANAGER, "Capture pipe write incomplete: the connection is closed");
  if (capturePipe == pipe) capturePipe = nullptr;
  if (captureLink) captureLink->CloseConnection(pipe);
  return false;
}

void CAppData::SendMixerQuery() {
  const std::vector<uint8_t> query = BuildMixerQueryFrame();
  std::lock_guard<Mutex> lock(captureWriteLock_);
  if (!capturePipe) {
    mixerQueryPending_ = true;
    return;
  }
  const HANDLE pipe = capturePipe;
  if (WriteFrameLocked(pipe, query.data(), DWORD(query.size()))) WriteFrameLocked(pipe, nullptr, 0);
}
