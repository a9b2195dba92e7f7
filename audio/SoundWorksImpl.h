// The engine's workings, for the engine's own files and tests: stream contexts, device records,
// the voice callback, the real engine class and its threads, and the seams to COM and XAudio2.
#pragma once

#include <windows.h>
#include <mmdeviceapi.h>
#include <audioclient.h>
#include <xaudio2.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "audio/BufferRecord.h"
#include "audio/SoundWorks.h"
#include "common/Locks.h"

struct AVCodec;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

constexpr UINT WM_ENGINE_COMMAND = WM_USER + 112;  // 0x470, between an engine's own threads

// Commands of WM_ENGINE_COMMAND (wParam).
enum EngineCommand : WPARAM {
  ENGINE_CMD_PLAY_6 = 6,
  ENGINE_CMD_IGNORED_8 = 8,
  ENGINE_CMD_RELEASE = 9,
  ENGINE_CMD_PLAY_11 = 11,
  ENGINE_CMD_PLAY_12 = 12,
  ENGINE_CMD_CONVERT = 13,     // lParam: CaptureBlockMessage*
  ENGINE_CMD_FLUSH = 14,       // lParam: CaptureBlockMessage* without a block: drain the resampler
  ENGINE_CMD_END_MARKER = 15,  // post the null WM_SOUND_IN that ends a recording (lParam: its stream value)
};

struct CAudioDevice;

// One stream on a device. Capture contexts are shared with the convert thread by reference count.
struct CStreamContext {
  IAudioClient* audioClient = nullptr;
  IAudioCaptureClient* captureClient = nullptr;
  IUnknown* reserved = nullptr;
  IXAudio2SourceVoice* sourceVoice = nullptr;
  WAVEFORMATEX format = {};
  const AVCodec* decoder = nullptr;
  AVCodecContext* codecContext = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  SwrContext* resampler = nullptr;
  void* ownerData = nullptr;
  uint32_t contextKey = 0;
  uint32_t streamKey = 0;
  uint32_t sourceKey = 0;
  volatile LONG pending = 0;  // render: blocks queued on the voice and not yet ended
  CBufferRecord* convertBlock = nullptr;
  CBufferRecord* gatherBlock = nullptr;
  uint64_t lastSendTicks = 0;
  CStreamContext* prev = nullptr;
  CStreamContext* next = nullptr;

  // Capture side: how the mix format's samples are read.
  int inputSampleFormat = -1;  // AVSampleFormat of the samples the resampler is fed
  bool packed24 = false;       // 24-bit PCM, widened to 32 bits before conversion
  volatile LONG refs = 1;      // the device's reference plus one per block in flight
  uint32_t outChannels = 0;    // what the resampler was set up to produce
  uint32_t outRate = 0;
  bool voiceStarted = false;  // render: Start has been called on the voice
  // Capture: the stream value when the stream opened; every block of the stream carries it, so
  // a value changed for the next recording never lands on this one's late blocks.
  uint32_t streamValue = 0;
  uint64_t nextPosition = 0;  // capture: device position (frames) expected of the next packet
  bool positionKnown = false;
};

// One open endpoint. Capture devices are shared with the convert thread by reference count.
struct CAudioDevice {
  std::wstring id;
  IMMDevice* endpoint = nullptr;
  IXAudio2MasteringVoice* masteringVoice = nullptr;
  CStreamContext* streams = nullptr;
  HANDLE gate = nullptr;
  HANDLE event = nullptr;
  int32_t streamIndex = 0;
  int32_t tag = 0;
  CAudioDevice* prev = nullptr;
  CAudioDevice* next = nullptr;
  IXAudio2* xaudio2 = nullptr;

  std::wstring friendlyName;
  volatile LONG refs = 1;
};

// Heap block of WM_ENGINE_COMMAND 13/14: the convert thread frees it and drops the references.
struct CaptureBlockMessage {
  CBufferRecord* block;
  CStreamContext* context;
  CAudioDevice* device;
};

class CSoundWorksWAS;

// XAudio2's voice callback, embedded in the engine. OnBufferEnd takes no lock that is held across
// an XAudio2 call: the pending count is interlocked and the in-flight list has a lock of its own.
struct StreamingVoiceCallback : public IXAudio2VoiceCallback {
  HANDLE event = nullptr;
  NotifyTarget target;  // thread id and message (WM_SOUND_OUT) of played blocks
  RecursiveMutex* renderLock = nullptr;
  CSoundWorksWAS* engine = nullptr;

  void STDMETHODCALLTYPE OnVoiceProcessingPassStart(UINT32 bytesRequired) override {}
  void STDMETHODCALLTYPE OnVoiceProcessingPassEnd() override {}
  void STDMETHODCALLTYPE OnStreamEnd() override {}
  void STDMETHODCALLTYPE OnBufferStart(void* context) override {}
  void STDMETHODCALLTYPE OnBufferEnd(void* context) override;
  void STDMETHODCALLTYPE OnLoopEnd(void* context) override {}
  void STDMETHODCALLTYPE OnVoiceError(void* context, HRESULT error) override {}
  virtual ~StreamingVoiceCallback();
};

class CSoundWorksWAS : public CSoundWorksBase {
 public:
  explicit CSoundWorksWAS(void* ownerData);
  ~CSoundWorksWAS() override;
  CSoundWorksWAS(const CSoundWorksWAS&) = delete;
  CSoundWorksWAS& operator=(const CSoundWorksWAS&) = delete;

  DeviceList GetRenderDevices() override;
  DeviceList GetCaptureDevices() override;
  void StartCapture(std::wstring id, int32_t streamIndex, int32_t tag) override;
  void StopCapture(std::wstring id, int32_t streamIndex) override;
  bool StartRender(std::wstring id, int32_t streamIndex) override;
  void StopRender(std::wstring id, int32_t streamIndex) override;
  bool PlayBlock(CBufferRecord* record, int32_t unused) override;
  void Idle() override;
  void SetSoundFormat(uint32_t channels, uint32_t sampleRate, uint32_t bitsPerSample,
                      uint32_t bufferMs) override;
  uint32_t GetCaptureDeviceCount() override;
  uint32_t GetRenderDeviceCount() override;
  bool PostCaptureEnd(uint32_t streamValue) override;
  void StartEngine() override;
  uint32_t GetZero() override;
  uint32_t GetSampleBitsConstant() override;
  virtual void Ignore(uint32_t value);
  virtual void CheckSendDelay(CBufferRecord* record);

  void SetNotifyTargets(const NotifyTarget& played, const NotifyTarget& captured) override;
  std::pair<std::wstring, std::wstring> GetDefaultDevice(int dataFlow) override;
  std::pair<std::wstring, std::wstring> TakeFailureText() override;
  // The common open/close step; the caller holds the lock of the list concerned.
  bool OpenOrCloseDevice(bool open, bool capture, const std::wstring& id, int32_t streamIndex);
  void LogAvError(const char* prefix, int error);

  // Set through SetNotifyTargets.
  StreamingVoiceCallback voiceCallback;
  NotifyTarget captureTarget;

  // Capture-side work, public for the engine's threads.
  int PollCaptureDevice(CAudioDevice* device);
  void ConvertCapturedBlock(CaptureBlockMessage* message);
  void FlushCaptureStream(CaptureBlockMessage* message);
  void PostEndMarker(uint32_t streamValue);

  // What capture lost on the way: blocks that could not be posted or allocated, and the frames
  // of silence put in for gaps that the endpoint reported. Any thread.
  std::atomic<uint32_t> droppedCaptureBlocks{0};
  std::atomic<uint64_t> insertedSilenceFrames{0};

  // Blocks queued on a voice, so that those XAudio2 never ends can be released after DestroyVoice.
  void ForgetQueuedBlock(CBufferRecord* record);

  CAudioDevice* renderDevices = nullptr;
  CAudioDevice* captureDevices = nullptr;
  RecursiveMutex renderLock;
  RecursiveMutex captureLock;
  IMMDeviceEnumerator* enumerator = nullptr;
  void* ownerData = nullptr;

  HANDLE renderThread = nullptr;
  HANDLE pollThread = nullptr;
  HANDLE convertThread = nullptr;
  DWORD renderThreadId = 0;
  DWORD pollThreadId = 0;
  DWORD convertThreadId = 0;
  HANDLE pollTimer = nullptr;
  volatile LONG pollRunning = 0;
  HANDLE queueReady[2] = {};  // set by the render-command and convert threads once they take messages
  // The capture-poll thread holds the engine's multithreaded apartment: it makes the enumerator
  // in it (then sets pollReady), and leaves it only once the destructor has released every COM
  // object of the engine (comReleased) after the poll loop ended (pollStopped).
  HANDLE pollReady = nullptr;
  HANDLE pollStopped = nullptr;
  HANDLE comReleased = nullptr;
  // The enumerator once the poll thread has made it (null when it could not), and the other two
  // threads' queues ready. Start-up does not wait for them: the first operation that needs a
  // device does.
  IMMDeviceEnumerator* Enumerator();

 private:
  void CloseCaptureDevice(CAudioDevice* device, bool deliverRest);
  void DestroyRenderDevice(CAudioDevice* device);
  bool OpenRenderOutput(CAudioDevice* device);
  bool IsActiveRenderEndpoint(const std::wstring& id);
  void StopCaptureInternal(const std::wstring& id, int32_t streamIndex, bool endOfRecording);
  void HandOverBlock(CStreamContext* context, CAudioDevice* device, WPARAM command);
  void PostConverted(CStreamContext* context, CAudioDevice* device, const uint8_t* samples, int frames);
  void CountDroppedBlock(const char* why);
  CBufferRecord* StartGatherBlock(CStreamContext* context, uint32_t frames, uint32_t blockFrames,
                                  uint64_t position);
  void InsertSilence(CStreamContext* context, CAudioDevice* device, uint64_t frames, uint32_t blockFrames,
                     uint64_t position);
  // The steps of PlayBlock, under the render lock.
  CStreamContext* FindPlayContext(CAudioDevice* device, const BufferBlockHeader& h);
  // Null when the device could not take the stream (it is then closed).
  CStreamContext* OpenPlayContext(CAudioDevice* device, const BufferBlockHeader& h);
  // The block this context plays (a clone, or the decoded MP3) described in *buffer; null: none.
  CBufferRecord* PreparePlayBuffer(CStreamContext* context, CBufferRecord* record, const BufferBlockHeader& h,
                                   XAUDIO2_BUFFER* buffer);
  // Queues the block on the voice (and starts it); false when it was not queued (it is released).
  bool SubmitPlayBuffer(CAudioDevice* device, CStreamContext* context, CBufferRecord* queued,
                        const XAUDIO2_BUFFER& buffer);

  std::atomic<uint32_t> renderCount_{0};
  std::atomic<uint32_t> captureCount_{0};
  CRITICAL_SECTION queuedLock_;
  std::vector<CBufferRecord*> queued_;
  std::vector<CAudioDevice*> retiredRender_;  // closed under the render lock, destroyed after it
  // The end marker posted last and its value, until a stream opens again (under captureLock).
  bool endMarkerPosted_ = false;
  uint32_t endMarkerValue_ = 0;
  bool shuttingDown_ = false;
  Mutex failureLock_;
  std::pair<std::wstring, std::wstring> failure_;  // (text, caption), under failureLock_
  // the destructor drops what is left instead of delivering it
};

// Seams for tests: how the engine reaches COM and XAudio2.
using PFN_SoundCoCreateInstance = HRESULT(WINAPI*)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
extern PFN_SoundCoCreateInstance g_pfnSoundCoCreateInstance;  // CoCreateInstance by default
using PFN_XAudio2Create = HRESULT(WINAPI*)(IXAudio2**, UINT32, XAUDIO2_PROCESSOR);
extern PFN_XAudio2Create g_pfnXAudio2Create;  // null: ordinal 1 of XAudio2_9Redist.dll

// Where the engine's log lines go: PostLogLine by default.
using PFN_SoundLogLine = void (*)(int channel, const char* text);
extern PFN_SoundLogLine g_pfnSoundLogLine;

DWORD WINAPI EngineRenderThreadProc(LPVOID engine);
DWORD WINAPI EngineCapturePollThreadProc(LPVOID engine);
DWORD WINAPI EngineConvertThreadProc(LPVOID engine);
