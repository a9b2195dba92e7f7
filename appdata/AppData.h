// The one application data object: both tracks, the settings of the edition folder, the
// command-line state, the two named-pipe links and the worker thread that turns audio buffers
// and pipe events into work on the tracks.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "appdata/NamedPipeLink.h"
#include "appdata/PipeMessage.h"
#include "appdata/WaveDevicePair.h"
#include "common/Locks.h"

class CSoundDocument;
class CVideoManager;
class CMixerData;
struct CChunkInfo;
struct CBufferRecord;

// Thread messages of the worker (the engine's WM_SOUND_OUT 1167 and WM_SOUND_IN 1168 too).
constexpr UINT WM_FRAMEWORK_PIPE_EVENT = 1165;
constexpr UINT WM_CAPTURE_PIPE_EVENT = 1166;
// lParam: an event the worker sets when it gets here, after everything posted before.
constexpr UINT WM_WORKER_BARRIER = WM_USER + 0x3F0;

constexpr wchar_t kFrameworkPipeName[] = L"\\\\.\\pipe\\OrrinInterfacePipe";
constexpr wchar_t kCapturePipeName[] = L"\\\\.\\pipe\\Corvane_PictavoPipe";
// A streamed frame or a greeting that the peer does not take within this is a failed write.
constexpr DWORD kPipeWriteTimeoutMs = 2000;

// Handed to both tracks and on to their engines; read by nobody here.
struct SharedEngineRecord {
  uint32_t marker = 0xC0FFEE99;
  std::vector<uint8_t> lists0[20];
  std::vector<uint8_t> lists1[20];
  RecursiveMutex lock;
};

// How the worker shows a box (text, caption, style): through ShowPrompt on a short-lived thread
// of its own, so the worker's queue keeps flowing while the box is up. At most kMaxWorkerBoxes
// are up at once; more are logged and not shown.
constexpr uint32_t kMaxWorkerBoxes = 32;
void ShowBoxOnOwnThread(const wchar_t* text, const wchar_t* caption, UINT style);

class CAppData {
 public:
  static constexpr uint32_t kMaxRecipients = 256;

  CAppData();
  ~CAppData();
  CAppData(const CAppData&) = delete;
  CAppData& operator=(const CAppData&) = delete;

  // Worker thread (WorkerThreadProc's parameter is the object).
  static DWORD WINAPI WorkerThreadProc(LPVOID self);
  void OnCapturePipeMessage(HANDLE pipe, LPARAM lParam);
  // False only when the stream cannot be written.
  bool StreamStudentChunk(bool final);

  // Command line and device choice (CommandLine.cpp), on the UI thread at start: the switches,
  // the edition folder's access list, the station's wave-device file, the devices of both
  // tracks and the mixer query. Always true.
  bool ParseCommandLine(const wchar_t* commandLine);
  // Both tracks take these device ids (an empty id leaves that side); their cached
  // endpoint-volume interfaces are released and made again on next use.
  void SetTrackDevices(const std::wstring& out, const std::wstring& in);

  // Sends PIPE_MIXER_QUERY on the capture pipe; before the pipe is connected the query is kept
  // and sent right after the next greeting. Any thread.
  void SendMixerQuery();
  // One frame in one write, under the capture pipe's write lock; false when not connected or
  // when the peer did not take it in time.
  // A write that does not complete closes the connection (the peer would misread what follows).
  bool WriteCaptureFrame(const void* data, DWORD size);
  // The same for the connection `pipe` only: false once another one (or none) is current.
  bool WriteCaptureFrameTo(HANDLE pipe, const void* data, DWORD size);
  HANDLE GetCapturePipe();

  // Settings files.
  void LoadSettingsDocument();
  void SaveSettingsDocument();
  void LoadUrlList();
  // MixerData.bin is read and imposed on a thread of its own, begun by the constructor: the sound
  // system's first start is slow and the window need not wait for it. Whoever reads the levels
  // it sets (the dialog's level sliders) joins it first. Any thread; the same object every time.
  CMixerData* WaitForMixerData();

  // Members, reached directly by the dialog code (in the order of their description).
  CSoundDocument* masterTrack = nullptr;   // track index 0
  CSoundDocument* studentTrack = nullptr;  // track index 1
  CVideoManager* videoManager = nullptr;
  SharedEngineRecord* sharedEngineRecord = nullptr;
  CMixerData* mixerData = nullptr;
  WaveDevicePair waveDevices;
  nlohmann::json settingsDocument;  // RecorderPaths.json; null until a file is parsed
  wchar_t programFolder[260] = {};  // with its trailing backslash
  wchar_t initialOpenFolder[260] = {};
  wchar_t savePathPrefix[260] = {};
  wchar_t* urlListText = nullptr;  // malloc'd, NUL-terminated
  uint32_t urlListLength = 0;      // code units
  // Command-line state.
  std::atomic<uint32_t> stationMode{0};
  std::atomic<uint32_t> testFlag{0};
  std::atomic<uint32_t> streaming{0};
  std::atomic<uint32_t> hiddenStart{0};
  std::atomic<uint32_t> stationNumber{0};
  std::atomic<uint32_t> positioned{0};
  std::atomic<uint32_t> mixerInput{0};  // 0 none, 1 "Mic", 2 "Mix"
  std::atomic<uint32_t> mixerValue{0xFFFFFFFFu};
  // The owner's handles from the links' "connected" events; null while not connected.
  HANDLE frameworkPipe = nullptr;
  HANDLE capturePipe = nullptr;  // read and written under captureWriteLock
  // Internal clipboard.
  void* clipboardData = nullptr;
  uint32_t clipboardCapacity = 0;
  uint32_t clipboardSize = 0;
  RecursiveMutex clipboardLock;
  HANDLE workerThread = nullptr;
  DWORD workerThreadId = 0;
  // Stream recipient table, under recipientLock.
  StationRecipient recipients[kMaxRecipients] = {};
  uint32_t recipientCount = 0;
  CRITICAL_SECTION recipientLock;
  CNamedPipeLink* frameworkLink = nullptr;
  CNamedPipeLink* captureLink = nullptr;
  std::atomic<uint32_t> ownStationAddress{0};
  uint32_t streamedSamples = 0;         // worker thread
  wchar_t recorderPathsFile[260] = {};  // RecorderPaths.json

 private:
  void RunWorker();
  void OnFrameworkPipeMessage(HANDLE pipe, LPARAM lParam);
  void HandleCaptureFrame(const PipeFrameView& frame);
  void HandlePipeAudio(const PipeFrameView& frame);
  void OnSoundIn(CBufferRecord* record, LPARAM session);
  void ShowWorkerTrackReports();
  // Waits at most ms until the worker has handled every message posted before this call.
  bool SyncWorker(DWORD ms);
  // Video manager and mixer data join later; these are where they plug in.
  void CreateVideoManager();
  void DeleteVideoManager();
  void LoadMixerData();
  static DWORD WINAPI MixerLoadThreadProc(LPVOID self);
  void SaveMixerData();

  // Under captureWriteLock_.
  bool WriteFrameLocked(HANDLE pipe, const void* data, DWORD size);

  HANDLE workerReady_ = nullptr;
  HANDLE mixerLoadThread_ = nullptr;
  Mutex mixerLoadLock_;
  Mutex captureWriteLock_;
  bool mixerQueryPending_ = false;  // under captureWriteLock_
  // The chunk the streamed-sample count belongs to (worker thread).
  const CChunkInfo* streamedChunk_ = nullptr;
  int streamedChunkIndex_ = -1;
  std::vector<uint8_t> streamFrame_;
};

// The application object holds the one instance.
extern CAppData* g_pAppData;
