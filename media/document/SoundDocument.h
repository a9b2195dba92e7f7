// One audio track (Master or Student): its chunks and their temp files, its transport (play,
// record, pause, stop), the recording input (mixing, conversion, automatic gain) and the
// notifications it posts to the main dialog.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "audio/BufferRecord.h"
#include "audio/SoundWorks.h"
#include "common/Locks.h"
#include "media/waveform/WaveformView.h"

struct SwrContext;
struct IAudioEndpointVolume;

// Posted to the notification target: wParam a SoundNotifyCode, lParam the sending document.
constexpr UINT WM_SOUND_NOTIFY = 0x401;

enum SoundNotifyCode : WPARAM {
  NOTIFY_CHUNK_IDLE = 0,         // chunk or chunk list changed while not recording
  NOTIFY_CHUNK_RECORDING = 1,    // the same while recording
  NOTIFY_LOADED = 2,             // load finished, or whole mode switched
  NOTIFY_SAVED = 3,              // save finished
  NOTIFY_PROGRESS = 4,           // position advanced or data reset
  NOTIFY_PLAY_ENDED = 5,         // playback reached the end, or was stopped or paused
  NOTIFY_REC_PAUSED = 6,         // recording paused
  NOTIFY_TRANSPORT_CHANGED = 7,  // recording started, stopped or resumed; playback started
  NOTIFY_POSITION_SET = 8,       // the user set the position
  // The take stopped last is whole: its end arrived from the engine, so every block it recorded
  // is in its chunk (or was counted as dropped). Posted once per take whose stop left the track
  // draining (IsDraining() true right after the stop); a take that needed no draining posts none.
  NOTIFY_TAKE_COMPLETE = 9,
};

// One chunk of a track. Only the current chunk (and one being played) holds its PCM in memory.
struct CChunkInfo {
  uint32_t start = 0;  // first frame in the source WAV's data (0 with a file of its own)
  uint32_t frames = 0;
  wchar_t fileName[520] = {};  // name inside the temp folder; empty: frames come from the source WAV
  uint8_t* buffer = nullptr;   // PCM in the document's format, or null (see reservedBytes)
  uint32_t used = 0;
  uint32_t capacity = 0;
  uint32_t playOffset = 0;  // bytes of the buffer already handed to playback
  std::wstring text;
  // 0: the buffer is malloc'd. Otherwise it is a VirtualAlloc region of this much address space,
  // committed up to capacity, in which a recording grows without being moved. Free it with
  // CSoundDocument::FreeChunkBuffer.
  uint32_t reservedBytes = 0;
};

// The first 36 bytes of a WAV file; its PCM format part is the document's sound format.
#pragma pack(push, 1)
struct WavHeaderImage {
  char riff[4];
  uint32_t riffSize;
  char wave[4];
  char fmt[4];
  uint32_t fmtSize;
  uint16_t formatTag;
  uint16_t channels;
  uint32_t samplesPerSec;
  uint32_t avgBytesPerSec;
  uint16_t blockAlign;
  uint16_t bitsPerSample;
};
#pragma pack(pop)
static_assert(sizeof(WavHeaderImage) == 36, "the WAV header image is 36 bytes");

// A failure the user must be told of. A track shows no box itself (a box is a message loop, and
// the track's callers may hold its lock or be the worker): it keeps the report, and whoever called
// it shows the report through ShowPrompt once it holds none of the track's locks.
struct TrackReport {
  std::wstring text;
  std::wstring caption;
  UINT style = 0;
  DWORD thread = 0;  // the thread whose call raised it
};

// Free function: the endpoint-volume interface of a device; callers test *out, not the result.
HRESULT GetEndpointVolume(const std::wstring& deviceId, IAudioEndpointVolume** out);

class CSoundDocument {
 public:
  static constexpr uint32_t kGrowStep = 1048576;
  // No chunk grows beyond this (about three hours of mono 16-bit sound): larger offsets from the
  // capture pipe are nonsense.
  static constexpr uint64_t kMaxChunkBytes = 1ull << 30;
  static constexpr int32_t kUnityGain = 256;
  static constexpr int32_t kMaxGain = 1024;

  CSoundDocument(uint32_t workerThreadId, const std::wstring& name, void* sharedRecord);
  ~CSoundDocument();
  CSoundDocument(const CSoundDocument&) = delete;
  CSoundDocument& operator=(const CSoundDocument&) = delete;

  // Chunks and temp files.
  // Appends an empty chunk with a fresh temp file; its index, or -1 when no file could be made.
  int NewChunk();
  // Gives a chunk a temp file of its own in the track's folder; false when none can be made.
  bool AssignChunkFile(CChunkInfo* chunk);
  bool LoadChunk(int index);
  bool SaveChunk(int index);
  void ResetSoundData();
  void CreateTempFolder(const std::wstring& name);
  void ClearTempFolder();
  void ResolveDeviceId(std::wstring& id, bool capture);
  void SetChunkText(const wchar_t* text);
  void FreeAllChunks();

  // Null outside the chunk list. The worker may append chunks, so both take the packet lock.
  CChunkInfo* GetChunk(int index) const;
  CChunkInfo* GetCurrentChunk() const { return GetChunk(currentChunk.load()); }
  int GetChunkCount() const;

  // Posts a notification to the target; never waits.
  void Notify(WPARAM code) const;
  // The reports kept since they were last taken, oldest first; with a thread id only those raised
  // on that thread. At most kMaxReports wait; older ones are dropped (and logged). Any thread.
  static constexpr size_t kMaxReports = 16;
  std::vector<TrackReport> TakeReports(DWORD raisedOn = 0);

  // Takes. Captured blocks reach the track on the worker thread after the engine's streams were
  // stopped, so a take is not whole when ToggleRecording (or StopTransport) returns: the track is
  // draining until the take's end marker has arrived, and then posts NOTIFY_TAKE_COMPLETE.
  // Selecting a chunk, starting another take, playing, saving and freeing the chunks wait for the
  // drain themselves (at most kTakeDrainMs); a take still unfinished then is closed as it stands
  // and its late blocks are dropped and counted. On the worker, which delivers the take's end
  // itself, nothing waits: the tail still goes to the take's chunk, current or not.
  static constexpr DWORD kTakeDrainMs = 1500;
  // True from the stop of a take until its end has arrived. Any thread.
  bool IsDraining() const { return draining_.load(); }
  // Waits at most ms for the take to complete; true when nothing is draining any more. On the
  // calling thread sent messages are served while it waits (the worker never waits for the UI
  // thread, so the UI thread may call this). Returns at once on the worker thread itself, which
  // delivers the end. Never call it while holding PacketLock(): the worker needs the lock.
  bool WaitForTakeComplete(DWORD ms);
  // Worker thread: the end of the capture streams whose blocks carry `session` (the null
  // WM_SOUND_IN with its lParam; 0 stands for the streams started last).
  void OnCaptureEnd(uint32_t session);
  // Blocks of an older take that arrived too late and were dropped, since the track was made.
  uint32_t GetDroppedBlockCount() const { return droppedBlocks_.load(); }
  // Frees a chunk's PCM whichever way it was allocated; used and capacity become 0.
  static void FreeChunkBuffer(CChunkInfo* chunk);
  // Bytes that growing chunk buffers moved from one allocation to another, in the process.
  static uint64_t GetGrowthCopiedBytes();

  // Transport.
  void SelectChunk(int index);
  void SelectNextChunk();
  void SelectPrevChunk();
  void ToggleRecording();
  void StartPlayback();
  // The frames a StartPlayback now would play: from where it starts (the cursor, or the paused
  // position) to the end of the current chunk, loading that chunk as playback would; 0 when
  // there is no chunk or it cannot be loaded.
  uint32_t FramesPlaybackWouldPlay();
  void TogglePause();
  void StopTransport();
  void StopEngineDevices();
  // Empties the current chunk (PCM, frames, start, play offset) and the play position after
  // stopping the transport; what the stopped recording still delivers is dropped, not appended
  // to the emptied chunk. False when no chunk is current.
  bool ClearCurrentChunk();
  CBufferRecord* NextPlaybackPacket(CChunkInfo* chunk);
  // Worker thread. Consumes (releases, nulls) only records that carry this document's serial.
  void OnSoundOut(CBufferRecord** record);

  // Recording input (worker thread).
  // Takes ownership; null is the end of a recording and flushes what is parked.
  void OnSoundIn(CBufferRecord* record);
  CBufferRecord* MixParkedRecords();
  void AppendWithGain(CBufferRecord* record);
  void WriteChunkPcm(uint32_t sampleOffset, uint32_t byteCount, const void* data);
  static int32_t GetRecordingGain();

  // The dialog closes the load and save thread handles through these, so the destructor never
  // waits on a closed handle.
  void CloseLoadThread();
  void CloseSaveThread();

  // Chunk editing (media/document/ChunkEditing.cpp).
  bool InsertBookmark();
  // False when nothing was split (frame past the end, or a chunk whose PCM could not be split).
  bool SplitChunk(int index, uint32_t frame);
  void RemoveBookmark(int index);
  bool DeleteSelection();
  void SetWholeMode(bool on);
  // The loader's whole chunk: also clears modified.
  bool MakeWholeChunk();
  // A load or close of the sound: the chunks put aside by whole mode belong to the old sound.
  void DiscardAsideChunks();

  // Waveform window and position bar (media/waveform/WaveformWindow.cpp). Redraws asked on
  // another thread than the window's are done later by the window's thread.
  bool CreateWaveformWindow(HWND parent, int x, int y, int width, int unused);
  void RedrawWaveform(uint32_t viewStart, uint32_t framesPerPixel);
  void DrawSelectionAndCursor(HDC target);
  void BeginSelection(short x);
  static LRESULT CALLBACK WaveformWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK PositionBarSubclassProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam,
                                                  UINT_PTR id, DWORD_PTR data);
  bool ReadSourceFrames(CChunkInfo* chunk);

  // Loading sound files (media/soundfile/SoundFileLoad.cpp): WAV, MP3 or package into the track.
  bool LoadSoundFile(const std::wstring& path);
  bool ReadSourceFrames(uint32_t firstFrame, uint32_t frameCount, CChunkInfo* chunk);
  // LoadChunk for a chunk of the source WAV whose caller holds no lock: the frames are read
  // without the packet lock, which is taken only to look at the chunk and to hand it the buffer.
  bool ReloadSourceChunk(int index);
  bool ReadChunkTable(const std::wstring& path);
  bool ImportChunkTexts(const std::wstring& path);

  // Saving sound files (media/soundfile/SoundFileSave.cpp): WAV, MP3 or package.
  // With a backup name, an existing file at path is renamed to it just before the new one takes
  // its place (once the new one is whole).
  bool StartSaveThread(const std::wstring& path, const std::wstring& backup = L"");
  bool SaveSoundFile(const std::wstring& path, const std::wstring& backup = L"");
  bool WriteWavFile(const std::wstring& path);
  // errorCode: 0 none, 1 channels not 1 or 2, 2 the encoder refused or failed, 3 file not written,
  // 4 the encoder library is missing.
  bool EncodeMp3File(const std::wstring& path, uint32_t* errorCode);
  // Heap buffers (free) with the ".cif" and ".txt" layouts; their byte lengths.
  uint32_t BuildChunkTable(uint8_t** buffer);
  uint32_t ExportChunkTexts(uint8_t** buffer);

  RecursiveMutex& PacketLock() { return packetLock; }
  uint32_t GetPlayGeneration() const { return playGeneration.load(); }
  size_t GetParkedCount() const { return parked.size(); }

  // Members, in the manner of the dialog code that reads them.
  std::vector<CChunkInfo*> asideChunks;  // the chunk list put aside in whole mode
  std::vector<CChunkInfo*> chunks;
  bool wholeMode = false;
  // Held around every packet build and every change, save or free of a chunk buffer, on the UI
  // thread and on the worker alike.
  mutable RecursiveMutex packetLock;
  wchar_t* loadedPath = nullptr;
  NotifyTarget notifyTarget;
  std::atomic<int32_t> cursorColumn{0};
  std::atomic<uint32_t> cursorFrame{0};
  int32_t selectionStartColumn = 0;
  uint32_t selectionStartFrame = 0;
  std::atomic<int32_t> playCursorColumn{0};
  std::atomic<uint32_t> playPosition{0};
  uint8_t overwriteOnRecord = 0;
  std::atomic<int32_t> currentChunk{-1};
  HANDLE sourceWav = nullptr;
  uint32_t sourceDataSize = 0;
  uint32_t sourceDataOffset = 0;
  uint32_t audioChanged = 0;
  uint8_t loadedAsMp3 = 0;
  uint8_t loadedAsPackage = 0;
  HANDLE loadThread = nullptr;
  HANDLE saveThread = nullptr;
  std::wstring outputDeviceId;
  std::wstring inputDeviceId;
  IAudioEndpointVolume* outputVolume = nullptr;
  IAudioEndpointVolume* inputVolume = nullptr;
  wchar_t tempFolder[260] = {};
  // View fields shared with the waveform window.
  uint32_t viewStartFrame = 0;
  uint32_t viewLengthFrames = 0;
  uint32_t framesPerPixel = 256;
  int32_t viewWidth = 0;
  int32_t viewHeight = 0;
  HWND parentWindow = nullptr;
  HWND waveformWindow = nullptr;
  HWND positionBar = nullptr;
  HDC backgroundDC = nullptr;  // the dialog's skin, set by the dialog
  RECT backgroundRect = {};    // the window's place in the dialog: x, y, width, 52
  CWaveformView waveView;
  void* sharedRecord = nullptr;
  uint32_t workerThreadId = 0;
  WavHeaderImage wavHeader = {};
  uint8_t textsPresent = 0;
  std::atomic<bool> recording{false};
  std::atomic<bool> playing{false};
  std::atomic<bool> paused{false};
  // True while LoadSoundFile runs: the chunks and the format are being replaced.
  std::atomic<bool> loading{false};
  // Set by the destructor: a load still waiting for the decode mutex gives up.
  std::atomic<bool> closing{false};
  uint32_t trackIndex = 0;
  uint8_t modified = 0;
  CSoundWorksBase* engine = nullptr;
  uint32_t captureMask = 1;
  // Captured blocks waiting for the other streams, by source key, in arrival order.
  std::vector<std::pair<uint32_t, CBufferRecord*>> parked;
  SwrContext* converter = nullptr;
  uint32_t serial = 0;
  // Saving: chunks the current save writes; result of the last save (-1 none yet, 0 failed,
  // 1 saved), set before NOTIFY_SAVED is posted so that the receiver can read it.
  uint32_t chunksToWrite = 0;
  std::atomic<int32_t> lastSaveResult{-1};
  // What went wrong in the last save, in order, as (text, caption). SaveSoundFile shows them once
  // it holds no lock; WriteWavFile and EncodeMp3File called alone leave them to their caller.
  std::vector<std::pair<std::wstring, std::wstring>> saveFailures;
  // Cuts a selection in the source WAV outside the packet lock; while set the source is not read.
  std::atomic<bool> sourceRewriting{false};

 private:
  uint32_t BlockAlign() const { return wavHeader.blockAlign; }
  // After ResetSoundData the format is all zero; recording and pipe writes need one.
  void EnsureSoundFormat();
  void SetDefaultFormat();
  std::wstring ChunkPath(const CChunkInfo* chunk) const;
  // Keeps a report for the caller (caption null: the edition name).
  void Report(const wchar_t* text, const wchar_t* caption = nullptr, UINT style = MB_ICONEXCLAMATION) const;
  void FreeChunkList(std::vector<CChunkInfo*>& list);
  static void EmptyChunk(CChunkInfo* chunk);
  void ReleaseParked();
  // Ends the render device and retires the packets still in flight.
  void StopRenderDevice();
  // Starts the capture streams as a new session of the take (newTake: as the first of a new take).
  void StartCaptureStreams(bool newTake = false);
  void StopCaptureStreams();
  // Stops the streams of the take that records now and leaves the track draining when the
  // engine will deliver the take's end. Under the packet lock.
  void EndTake();
  // Stops a recording still running, then waits for the take as the operations above do; never
  // under the packet lock.
  void FinishTake();
  void CompleteTake(const char* how);
  bool IsOlderSession(uint32_t session) const;
  // A recording that cannot keep its blocks stops, keeping what it has (worker thread).
  void StopRecordingOnFailure(const char* why);
  void EndPlayback(CChunkInfo* chunk);
  void ConvertAndAppend(CBufferRecord* mixed);
  void TakeCapturedBlock(CBufferRecord* record);
  // A block of streams that were stopped and whose end has not come yet: joined to the block its
  // stream parked before, and mixed once every stream has delivered as far (or at the end marker).
  void ParkTail(uint32_t key, CBufferRecord* record);
  // Mixes the frames that every parked block holds and keeps the rest of each parked.
  CBufferRecord* MixParkedPrefix();
  // Appends a take's block to its chunk after the chunk stopped being current (pipe audio
  // selected another one while the take drained): to its buffer, or else to its file.
  bool AppendAway(CChunkInfo* chunk, const int16_t* samples, uint32_t bytes);
  bool GrowChunk(CChunkInfo* chunk, uint64_t needed);
  void SetPositionBarRange(uint32_t frames);
  void SetPositionBarPos(uint32_t frames);
  // Waveform and editing helpers.
  bool OnViewThread() const;
  void PostViewWork(uint32_t bits);
  void RunDeferredViewWork();
  void OnPositionBarCommand();
  void OnWaveformDestroyed(HWND window);
  bool BuildWholeChunk();
  bool HasOwnPcm(const CChunkInfo* chunk) const;
  bool SplitOwnPcm(int index, uint32_t frame);
  bool MergeOwnPcm(CChunkInfo* a, CChunkInfo* b);
  void ShiftSourceChunks(std::vector<CChunkInfo*>& list, const CChunkInfo* skip, uint64_t from, uint64_t to);
  // The steps of LoadSoundFile.
  void ForgetLoadedSound();
  bool PrepareSourceWav(const std::wstring& path, const std::wstring& base, std::wstring* wavPath);
  bool OpenSourceWav(const std::wstring& wavPath, const std::wstring& path);
  void ReadSideFiles(const std::wstring& sideFolder, const std::wstring& base);

  // Packets carry the generation of the playback they belong to; a stop, pause or restart
  // starts a new one, and older packets coming back are dropped without effect.
  std::atomic<uint32_t> playGeneration{1};
  int32_t packetsInFlight = 0;
  // The chunk a recording appends to; blocks arriving for another chunk are dropped.
  CChunkInfo* recordingChunk = nullptr;
  // Capture sessions: every start of the streams (a take's start, each resume) stamps its blocks
  // with a new non-zero session number through the engine's stream value.
  uint32_t sessionCounter_ = 0;
  std::atomic<uint32_t> captureSession_{0};    // started last
  std::atomic<uint32_t> takeFirstSession_{0};  // first session of the take recorded last
  std::atomic<uint32_t> drainSession_{0};      // the session whose end completes the draining take
  std::atomic<uint32_t> endedSession_{0};      // the session whose end arrived last
  // Under the packet lock: whether the streams of captureSession_ run, and the session whose
  // streams were stopped last while its end has not arrived (0 none).
  bool streamsRunning_ = false;
  uint32_t tailSession_ = 0;
  uint32_t tailStreams_ = 0;  // the streams tailSession_ had open when they were stopped
  std::atomic<bool> draining_{false};
  HANDLE takeDone_ = nullptr;  // manual reset; signalled while nothing drains
  std::atomic<uint32_t> droppedBlocks_{0};
  bool appendFailed_ = false;         // the recording stopped on a failed append
  bool reportAppendFailure_ = false;  // told to the user once the lock is free
  // Held open without sharing while this process uses the temp folder beside it (see
  // CreateTempFolder); null when no lock file could be made.
  HANDLE tempFolderLock_ = nullptr;
  mutable Mutex reportLock_;
  mutable std::vector<TrackReport> reports_;  // under reportLock_
  int converterChannels = 1;
  int converterRate = 44100;
};

// How a cut writes the source WAV in place (WriteFileAtOffset by default), so that tests can make a
// write fail half way.
using PFN_CutWrite = bool (*)(HANDLE file, uint64_t offset, const void* data, DWORD size);
extern PFN_CutWrite g_pfnCutWrite;

// A new engine for the track (CreateSoundEngine) in the track's format, its played and captured
// blocks going to the track's worker, started; null when none could be made.
CSoundWorksBase* CreateTrackEngine(const CSoundDocument& doc);
