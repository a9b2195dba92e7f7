// The engine frame: construction, threads, device lists and the common open/close step.
#include "audio/SoundWorksImpl.h"

#include <functiondiscoverykeys_devpkey.h>

#include <cstdarg>
#include <cstdio>
#include <new>

#include "audio/EngineInternal.h"
#include "common/Locks.h"
#include "common/LogManager.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
}

namespace {

// {a45c254e-df1c-4efd-8020-67d146a850e0}, 14
const PROPERTYKEY kFriendlyNameKey = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};

CSoundWorksBase* CreateRealEngine(void* ownerData) { return new (std::nothrow) CSoundWorksWAS(ownerData); }

// A thread that takes messages first makes sure its queue exists.
void MakeMessageQueue() {
  while (!PostThreadMessageW(GetCurrentThreadId(), WM_USER, 0, 0)) Sleep(50);
}

void EndMessageThread(HANDLE& thread, DWORD threadId) {
  if (!thread) return;
  do {
    PostThreadMessageW(threadId, WM_QUIT, 0, 0);
  } while (WaitForSingleObject(thread, 200) == WAIT_TIMEOUT);
  CloseHandle(thread);
  thread = nullptr;
}

}  // namespace

PFN_CreateSoundEngine g_pfnCreateSoundEngine = CreateRealEngine;
PFN_SoundCoCreateInstance g_pfnSoundCoCreateInstance = CoCreateInstance;
PFN_XAudio2Create g_pfnXAudio2Create = nullptr;
PFN_SoundLogLine g_pfnSoundLogLine = [](int channel, const char* text) { PostLogLine(channel, text); };

CSoundWorksBase* CreateSoundEngine(void* ownerData) {
  return g_pfnCreateSoundEngine ? g_pfnCreateSoundEngine(ownerData) : CreateRealEngine(ownerData);
}

namespace engine {

void Log(const char* text) {
  if (g_pfnSoundLogLine) g_pfnSoundLogLine(LOG_SOUND, text);
}

void Logf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string line = FormatLogTextV(format, args);
  va_end(args);
  Log(line.c_str());
}

static std::string ToOem(const std::wstring& text) {
  std::string oem(text.size() + 1, '\0');
  CharToOemBuffW(text.c_str(), oem.data(), DWORD(text.size()));
  oem.resize(text.size());
  return oem;
}

void LogWithName(const char* first, const std::wstring& name) {
  Log(first);
  Log(ToOem(name).c_str());
  OutputDebugStringW(name.c_str());
}

void LogWide(const std::wstring& text) {
  Log(ToOem(text).c_str());
  OutputDebugStringW(text.c_str());
}

std::wstring FriendlyName(IMMDevice* device) {
  std::wstring name;
  if (!device) return name;
  IPropertyStore* store = nullptr;
  if (FAILED(device->OpenPropertyStore(STGM_READ, &store)) || !store) return name;
  PROPVARIANT value;
  PropVariantInit(&value);
  if (SUCCEEDED(store->GetValue(kFriendlyNameKey, &value)) && value.vt == VT_LPWSTR && value.pwszVal)
    name = value.pwszVal;
  PropVariantClear(&value);
  store->Release();
  return name;
}

void ReleaseStreamContext(CStreamContext* context) {
  if (!context) return;
  SafeRelease(context->captureClient);
  SafeRelease(context->audioClient);
  SafeRelease(context->reserved);
  ReleaseBufferRecord(context->convertBlock);
  ReleaseBufferRecord(context->gatherBlock);
  if (context->sourceVoice) {
    context->sourceVoice->DestroyVoice();
    context->sourceVoice = nullptr;
  }
  av_packet_free(&context->packet);
  av_frame_free(&context->frame);
  if (context->codecContext) avcodec_free_context(&context->codecContext);
  context->decoder = nullptr;  // belongs to FFmpeg
  swr_free(&context->resampler);
  delete context;
}

void AddRef(CStreamContext* context) { InterlockedIncrement(&context->refs); }
void Release(CStreamContext* context) {
  if (InterlockedDecrement(&context->refs) == 0) ReleaseStreamContext(context);
}
void AddRef(CAudioDevice* device) { InterlockedIncrement(&device->refs); }
void Release(CAudioDevice* device) {
  if (InterlockedDecrement(&device->refs) != 0) return;
  SafeRelease(device->endpoint);
  if (device->event) CloseHandle(device->event);
  if (device->gate) CloseHandle(device->gate);
  delete device;
}

}  // namespace engine

using namespace engine;

StreamingVoiceCallback::~StreamingVoiceCallback() {
  if (event) CloseHandle(event);
  event = nullptr;
}

void CSoundWorksBase::SetNotifyTargets(const NotifyTarget& played, const NotifyTarget& captured) {
  playedTarget = played;
  capturedTarget = captured;
}

std::pair<std::wstring, std::wstring> CSoundWorksBase::GetDefaultDevice(int dataFlow) { return {}; }

void CSoundWorksWAS::SetNotifyTargets(const NotifyTarget& played, const NotifyTarget& captured) {
  CSoundWorksBase::SetNotifyTargets(played, captured);
  voiceCallback.target = played;
  captureTarget = captured;
}

void CSoundWorksBase::SetTagKeys01(uint32_t value0, uint32_t value1) {
  streamValues[0] = value0;
  streamValues[1] = value1;
}

void CSoundWorksBase::SetTagKeys23(uint32_t value2, uint32_t value3) {
  streamValues[2] = value2;
  streamValues[3] = value3;
}

CSoundWorksWAS::CSoundWorksWAS(void* ownerData) : ownerData(ownerData) {
  InitializeCriticalSection(&queuedLock_);
  voiceCallback.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  voiceCallback.renderLock = &renderLock;
  voiceCallback.engine = this;

  // No COM on the constructing thread: a load thread that builds an engine ends long before the
  // engine does. The engine's apartment is held by its own capture-poll thread (StartEngine).

  Log("Using XAudio2 and WAS on Windows Vista/7/8/10");

  pollTimer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
  if (pollTimer) {
    LARGE_INTEGER due;
    due.QuadPart = -200;
    SetWaitableTimer(pollTimer, &due, 20, nullptr, nullptr, FALSE);
  }
}

CSoundWorksWAS::~CSoundWorksWAS() {
  EndMessageThread(renderThread, renderThreadId);
  if (pollThread) {
    InterlockedExchange(&pollRunning, 0);
    // Due at once: the poll thread sees the change now rather than at the next period.
    if (pollTimer) {
      LARGE_INTEGER due;
      due.QuadPart = -1;
      SetWaitableTimer(pollTimer, &due, 0, nullptr, nullptr, FALSE);
    }
    HANDLE stopped[2] = {pollThread, pollStopped};
    WaitForMultipleObjects(pollStopped ? 2 : 1, stopped, FALSE, INFINITE);
  }
  EndMessageThread(convertThread, convertThreadId);
  convertThreadId = 0;

  for (;;) {
    std::vector<CAudioDevice*> retired;
    {
      std::lock_guard<RecursiveMutex> lock(renderLock);
      if (!renderDevices) break;
      OpenOrCloseDevice(false, false, renderDevices->id, 0);
      retired.swap(retiredRender_);
    }
    for (CAudioDevice* device : retired) DestroyRenderDevice(device);
  }
  shuttingDown_ = true;
  for (;;) {
    std::lock_guard<RecursiveMutex> lock(captureLock);
    if (!captureDevices) break;
    OpenOrCloseDevice(false, true, captureDevices->id, 0);
  }

  SafeRelease(enumerator);
  if (pollTimer) CloseHandle(pollTimer);
  pollTimer = nullptr;
  // No grace period: every voice and XAudio2 object is destroyed above, and XAudio2 makes no
  // callback after that. Only now may the apartment that the engine's objects were made in go.
  if (pollThread) {
    if (comReleased) SetEvent(comReleased);
    WaitForSingleObject(pollThread, INFINITE);
    CloseHandle(pollThread);
    pollThread = nullptr;
  }
  if (voiceCallback.event) CloseHandle(voiceCallback.event);
  voiceCallback.event = nullptr;
  for (HANDLE event : {queueReady[0], queueReady[1], pollReady, pollStopped, comReleased})
    if (event) CloseHandle(event);
  DeleteCriticalSection(&queuedLock_);
}

void CSoundWorksWAS::StartEngine() {
  if (renderThread || pollThread || convertThread) return;
  InterlockedExchange(&pollRunning, 1);
  for (HANDLE& ready : queueReady) ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (HANDLE* event : {&pollReady, &pollStopped, &comReleased})
    *event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  renderThread = CreateThread(nullptr, 0, EngineRenderThreadProc, this, 0, &renderThreadId);
  if (pollReady && pollStopped && comReleased)
    pollThread = CreateThread(nullptr, 0, EngineCapturePollThreadProc, this, 0, &pollThreadId);
  convertThread = CreateThread(nullptr, 0, EngineConvertThreadProc, this, 0, &convertThreadId);
  if (!pollThread && !enumerator) {
    HRESULT hr =
        g_pfnSoundCoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                   __uuidof(IMMDeviceEnumerator), reinterpret_cast<void**>(&enumerator));
    if (FAILED(hr)) enumerator = nullptr;
  }
}

IMMDeviceEnumerator* CSoundWorksWAS::Enumerator() {
  // The poll thread makes it; the device system's first start takes a while, which the rest of
  // the program's start need not wait for.
  if (pollThread && pollReady) {
    HANDLE made[2] = {pollReady, pollThread};
    WaitForMultipleObjects(2, made, FALSE, INFINITE);
  }
  // Every device is opened through here, and blocks captured on it are posted to the convert
  // thread: a block posted before that thread's queue exists would be lost.
  if (renderThread && convertThread && queueReady[0] && queueReady[1])
    WaitForMultipleObjects(2, queueReady, TRUE, 5000);
  return enumerator;
}

DWORD WINAPI EngineRenderThreadProc(LPVOID parameter) {
  auto* self = static_cast<CSoundWorksWAS*>(parameter);
  MakeMessageQueue();
  if (self->queueReady[0]) SetEvent(self->queueReady[0]);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  HRESULT com = CoInitialize(nullptr);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.message != WM_ENGINE_COMMAND) continue;
    auto* record = reinterpret_cast<CBufferRecord*>(msg.lParam);
    switch (msg.wParam) {
      case ENGINE_CMD_PLAY_6:
      case ENGINE_CMD_PLAY_11:
        self->PlayBlock(record, 0);
        break;
      case ENGINE_CMD_PLAY_12:
        self->PlayBlock(record, 1);
        break;
      case ENGINE_CMD_RELEASE:
        ReleaseBufferRecord(record);
        break;
      default:
        break;
    }
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}

DWORD WINAPI EngineCapturePollThreadProc(LPVOID parameter) {
  auto* self = static_cast<CSoundWorksWAS*>(parameter);
  // The engine's apartment, for as long as the engine lives.
  HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (!self->enumerator) {
    HRESULT hr = g_pfnSoundCoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                            __uuidof(IMMDeviceEnumerator),
                                            reinterpret_cast<void**>(&self->enumerator));
    if (FAILED(hr)) self->enumerator = nullptr;
  }
  SetEvent(self->pollReady);
  while (self->pollRunning) {
    if (!self->pollTimer || WaitForSingleObject(self->pollTimer, INFINITE) != WAIT_OBJECT_0) Sleep(20);
    if (!self->captureDevices) continue;
    std::lock_guard<RecursiveMutex> lock(self->captureLock);
    for (CAudioDevice* device = self->captureDevices; device;) {
      CAudioDevice* next = device->next;  // an invalidated device is closed by its poll step
      while (self->PollCaptureDevice(device) == 0) {
      }
      device = next;
    }
  }
  SetEvent(self->pollStopped);
  WaitForSingleObject(self->comReleased, INFINITE);
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}

DWORD WINAPI EngineConvertThreadProc(LPVOID parameter) {
  auto* self = static_cast<CSoundWorksWAS*>(parameter);
  MakeMessageQueue();
  if (self->queueReady[1]) SetEvent(self->queueReady[1]);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.message != WM_ENGINE_COMMAND) continue;
    auto* message = reinterpret_cast<CaptureBlockMessage*>(msg.lParam);
    switch (msg.wParam) {
      case ENGINE_CMD_CONVERT:
        if (message) self->ConvertCapturedBlock(message);
        break;
      case ENGINE_CMD_FLUSH:
        if (message) self->FlushCaptureStream(message);
        break;
      case ENGINE_CMD_END_MARKER:
        PostThreadMessageW(self->captureTarget.threadId, self->captureTarget.message, 0, msg.lParam);
        break;
      default:
        break;
    }
  }
  return 0;
}

void CSoundWorksWAS::SetSoundFormat(uint32_t channels, uint32_t sampleRate, uint32_t bits, uint32_t ms) {
  {
    std::lock_guard<RecursiveMutex> lock(captureLock);
    bitsPerSample = bits;
    this->channels = channels;
    this->sampleRate = sampleRate;
    blockAlign = (channels * bits) / 8;
    bufferMs = double(ms);
    framesPerBuffer = uint32_t(double(sampleRate) * double(ms) / 1000.0);
    bytesPerBuffer = framesPerBuffer * blockAlign;
  }
  Logf("Settings sound format: channels: %u, sampling rate: %u", channels, sampleRate);
}

static DeviceList ListDevices(IMMDeviceEnumerator* enumerator, EDataFlow flow) {
  DeviceList list;
  if (!enumerator) return list;
  IMMDeviceCollection* collection = nullptr;
  if (FAILED(enumerator->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, &collection)) || !collection)
    return list;
  UINT count = 0;
  collection->GetCount(&count);
  for (UINT i = 0; i < count; ++i) {
    IMMDevice* device = nullptr;
    if (FAILED(collection->Item(i, &device)) || !device) continue;
    LPWSTR id = nullptr;
    if (SUCCEEDED(device->GetId(&id)) && id) {
      list.emplace_back(id, FriendlyName(device));
      CoTaskMemFree(id);
    }
    device->Release();
  }
  collection->Release();
  return list;
}

DeviceList CSoundWorksWAS::GetRenderDevices() { return ListDevices(Enumerator(), eRender); }
DeviceList CSoundWorksWAS::GetCaptureDevices() { return ListDevices(Enumerator(), eCapture); }

std::pair<std::wstring, std::wstring> CSoundWorksWAS::GetDefaultDevice(int dataFlow) {
  std::pair<std::wstring, std::wstring> result;
  IMMDeviceEnumerator* enumerator = Enumerator();
  if (!enumerator) return result;
  IMMDevice* device = nullptr;
  if (FAILED(enumerator->GetDefaultAudioEndpoint(dataFlow == 0 ? eRender : eCapture, eCommunications,
                                                 &device)) ||
      !device)
    return result;
  LPWSTR id = nullptr;
  if (SUCCEEDED(device->GetId(&id)) && id) {
    result.first = id;
    CoTaskMemFree(id);
  }
  result.second = FriendlyName(device);
  device->Release();
  return result;
}

bool CSoundWorksWAS::OpenOrCloseDevice(bool open, bool capture, const std::wstring& id, int32_t streamIndex) {
  if (id.empty()) return false;
  CAudioDevice*& head = capture ? captureDevices : renderDevices;
  CAudioDevice* device = head;
  while (device && device->id != id) device = device->next;

  if (!open) {
    if (!device) return false;
    if (device->prev)
      device->prev->next = device->next;
    else
      head = device->next;
    if (device->next) device->next->prev = device->prev;
    device->prev = device->next = nullptr;
    (capture ? captureCount_ : renderCount_)--;
    if (device->gate) {
      for (int i = 0; i < 3; ++i) WaitForSingleObject(device->gate, INFINITE);
      ReleaseSemaphore(device->gate, 3, nullptr);
    }
    if (capture) {
      CloseCaptureDevice(device, !shuttingDown_);
    } else {
      retiredRender_.push_back(device);  // destroyed by the caller once the render lock is free
    }
    return true;
  }

  if (device) return false;
  device = new (std::nothrow) CAudioDevice;
  if (!device) return false;
  device->id = id;
  device->streamIndex = streamIndex;
  device->gate = CreateSemaphoreW(nullptr, 3, 3, nullptr);
  if (!head) {
    head = device;
  } else {
    CAudioDevice* tail = head;
    while (tail->next) tail = tail->next;
    tail->next = device;
    device->prev = tail;
  }
  (capture ? captureCount_ : renderCount_)++;

  bool result = true;
  if (capture) {
    if (IMMDeviceEnumerator* enumerator = Enumerator()) enumerator->GetDevice(id.c_str(), &device->endpoint);
    device->friendlyName = FriendlyName(device->endpoint);
    LogWithName("Starting:", device->friendlyName);
  } else {
    result = OpenRenderOutput(device);
  }
  device->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return result;
}

uint32_t CSoundWorksWAS::GetCaptureDeviceCount() { return captureCount_.load(); }
uint32_t CSoundWorksWAS::GetRenderDeviceCount() { return renderCount_.load(); }

void CSoundWorksWAS::Idle() {}
uint32_t CSoundWorksWAS::GetZero() { return 0; }
uint32_t CSoundWorksWAS::GetSampleBitsConstant() { return 16; }
void CSoundWorksWAS::Ignore(uint32_t) {}

void CSoundWorksWAS::CheckSendDelay(CBufferRecord* record) {
  // Captured blocks carry their header at the 16-byte boundary.
  const BufferBlockHeader* header = CaptureBlockHeader(record);
  if (!header) return;
  std::lock_guard<RecursiveMutex> lock(captureLock);
  CAudioDevice* device = captureDevices;
  while (device && !(device->streams && device->streams->sourceKey == header->sourceKey))
    device = device->next;
  if (!device) return;
  CStreamContext* context = device->streams;
  uint64_t now = GetTickCount64();
  uint32_t elapsed = uint32_t(now) - uint32_t(context->lastSendTicks);
  if (double(elapsed) > 2.0 * bufferMs) Logf("Send stream double delay: %u", elapsed);
  context->lastSendTicks = now;
}

void CSoundWorksWAS::LogAvError(const char* prefix, int error) {
  char text[512];
  size_t used = snprintf(text, sizeof text, "%s", prefix ? prefix : "");
  if (used >= sizeof text) used = sizeof text - 1;
  if (av_strerror(error, text + used, sizeof text - used) < 0)
    snprintf(text + used, sizeof text - used, "error %d", error);
  Log(text);
}
