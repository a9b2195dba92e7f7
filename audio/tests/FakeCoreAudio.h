// Fakes of the Core Audio objects the engine and the mixer data use (enumerator, endpoints, audio
// and capture clients, endpoint volume, device topology), put in through
// g_pfnSoundCoCreateInstance. They cover what Wine does not have: odd mix formats, larger packets,
// silent packets, failing calls, invalidated devices, settable volumes and adapter topologies.
#pragma once

#include <windows.h>
#include <mmdeviceapi.h>
#include <audioclient.h>
#include <devicetopology.h>
#include <endpointvolume.h>
#include <mmreg.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/Locks.h"

namespace fake {

inline std::atomic<int> g_liveObjects{0};

#define FAKE_UNKNOWN_BODY()                                                                 \
  ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(InterlockedIncrement(&refs_)); } \
  ULONG STDMETHODCALLTYPE Release() override {                                              \
    LONG n = InterlockedDecrement(&refs_);                                                  \
    if (n == 0) delete this;                                                                \
    return ULONG(n);                                                                        \
  }                                                                                         \
  volatile LONG refs_ = 1;

struct Packet {
  std::vector<uint8_t> bytes;
  UINT32 frames = 0;
  DWORD flags = 0;
  HRESULT hr = S_OK;
  uint64_t devicePosition = 0;  // reported with the packet (frames since the stream started)
};

// Which call of a capture stream's set-up fails.
enum class FailAt {
  None,
  Activate,
  GetMixFormat,
  Initialize,
  SetEventHandle,
  GetBufferSize,
  GetService,
  Start
};

class CaptureClient final : public IAudioCaptureClient {
 public:
  CaptureClient() { ++g_liveObjects; }
  ~CaptureClient() { --g_liveObjects; }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IAudioCaptureClient)) {
      *out = static_cast<IAudioCaptureClient*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  FAKE_UNKNOWN_BODY()

  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition,
                                      UINT64* qpcPosition) override {
    std::lock_guard<Mutex> lock(mutex);
    *frames = 0;
    if (stickyError != S_OK) return stickyError;
    if (packets.empty()) return AUDCLNT_S_BUFFER_EMPTY;
    current = std::move(packets.front());
    packets.pop_front();
    *data = current.bytes.empty() ? nullptr : current.bytes.data();
    *frames = current.frames;
    *flags = current.flags;
    if (devicePosition) *devicePosition = current.devicePosition;
    if (qpcPosition) *qpcPosition = ++position;
    ++getBufferCalls;
    return current.hr;
  }
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
    std::lock_guard<Mutex> lock(mutex);
    released += frames;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
    std::lock_guard<Mutex> lock(mutex);
    *frames = packets.empty() ? 0 : packets.front().frames;
    return S_OK;
  }

  void Push(Packet p) {
    std::lock_guard<Mutex> lock(mutex);
    packets.push_back(std::move(p));
  }
  bool Drained() {
    std::lock_guard<Mutex> lock(mutex);
    return packets.empty();
  }
  void SetStickyError(HRESULT hr) {
    std::lock_guard<Mutex> lock(mutex);
    stickyError = hr;
  }

  Mutex mutex;
  std::deque<Packet> packets;
  Packet current;
  HRESULT stickyError = S_OK;
  uint64_t released = 0;
  uint64_t position = 0;
  int getBufferCalls = 0;
};

class AudioClient final : public IAudioClient {
 public:
  AudioClient(std::vector<uint8_t> mix, FailAt fail) : mix_(std::move(mix)), fail_(fail) {
    ++g_liveObjects;
    capture = new CaptureClient;
  }
  ~AudioClient() {
    capture->Release();
    --g_liveObjects;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IAudioClient)) {
      *out = static_cast<IAudioClient*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  FAKE_UNKNOWN_BODY()

  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME duration,
                                       REFERENCE_TIME periodicity, const WAVEFORMATEX* format,
                                       LPCGUID session) override {
    initFlags = flags;
    initDuration = duration;
    initMode = mode;
    initFormatTag = format ? format->wFormatTag : 0;
    return fail_ == FailAt::Initialize ? AUDCLNT_E_UNSUPPORTED_FORMAT : S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
    *frames = 17640;
    return fail_ == FailAt::GetBufferSize ? AUDCLNT_E_NOT_INITIALIZED : S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* padding) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                              WAVEFORMATEX**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override {
    if (fail_ == FailAt::GetMixFormat) return AUDCLNT_E_DEVICE_INVALIDATED;
    auto* copy = static_cast<WAVEFORMATEX*>(CoTaskMemAlloc(mix_.size()));
    memcpy(copy, mix_.data(), mix_.size());
    *format = copy;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Start() override {
    started = true;
    return fail_ == FailAt::Start ? AUDCLNT_E_NOT_INITIALIZED : S_OK;
  }
  HRESULT STDMETHODCALLTYPE Stop() override {
    started = false;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reset() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
    eventHandle = event;
    return fail_ == FailAt::SetEventHandle ? E_INVALIDARG : S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** out) override {
    *out = nullptr;
    // Wine's loopback streams fail here with AUDCLNT_E_WRONG_ENDPOINT_TYPE.
    if (fail_ == FailAt::GetService) return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
    if (iid != __uuidof(IAudioCaptureClient)) return E_NOINTERFACE;
    capture->AddRef();
    *out = static_cast<IAudioCaptureClient*>(capture);
    return S_OK;
  }

  CaptureClient* capture;
  DWORD initFlags = 0;
  REFERENCE_TIME initDuration = 0;
  AUDCLNT_SHAREMODE initMode = AUDCLNT_SHAREMODE_EXCLUSIVE;
  WORD initFormatTag = 0;
  HANDLE eventHandle = nullptr;
  bool started = false;

 private:
  std::vector<uint8_t> mix_;
  FailAt fail_;
};

class PropertyStore final : public IPropertyStore {
 public:
  explicit PropertyStore(std::wstring name) : name_(std::move(name)) { ++g_liveObjects; }
  ~PropertyStore() { --g_liveObjects; }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IPropertyStore)) {
      *out = static_cast<IPropertyStore*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  FAKE_UNKNOWN_BODY()
  HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override {
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAt(DWORD, PROPERTYKEY*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY, PROPVARIANT* value) override {
    PropVariantInit(value);
    value->vt = VT_LPWSTR;
    size_t bytes = (name_.size() + 1) * sizeof(wchar_t);
    value->pwszVal = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    memcpy(value->pwszVal, name_.c_str(), bytes);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Commit() override { return E_NOTIMPL; }

 private:
  std::wstring name_;
};

// What the volume and topology fakes were asked to change, in order ("<owner> volume 0.35",
// "<owner> mute 0", "<owner> level -8.0"), for tests of the order of calls.
inline Mutex g_callLogMutex;
inline std::vector<std::wstring> g_callLog;
inline void LogCall(const std::wstring& owner, const wchar_t* what, const std::wstring& value) {
  std::lock_guard<Mutex> lock(g_callLogMutex);
  g_callLog.push_back(owner + L" " + what + L" " + value);
}
inline void LogCall(const std::wstring& owner, const wchar_t* what, double value) {
  wchar_t number[32];
  swprintf(number, 32, L"%.2f", value);
  LogCall(owner, what, std::wstring(number));
}
inline std::vector<std::wstring> TakeCallLog() {
  std::lock_guard<Mutex> lock(g_callLogMutex);
  std::vector<std::wstring> calls;
  calls.swap(g_callLog);
  return calls;
}

inline LPWSTR TaskString(const std::wstring& text) {
  size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
  memcpy(copy, text.c_str(), bytes);
  return copy;
}

// An endpoint's master volume. The defaults are what Wine answers for its reads; a failed read
// writes junk into the out value, as a careless driver may.
class EndpointVolume final : public IAudioEndpointVolume {
 public:
  explicit EndpointVolume(std::wstring owner) : owner(std::move(owner)) { ++g_liveObjects; }
  ~EndpointVolume() { --g_liveObjects; }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IAudioEndpointVolume)) {
      *out = static_cast<IAudioEndpointVolume*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  FAKE_UNKNOWN_BODY()

  HRESULT STDMETHODCALLTYPE RegisterControlChangeNotify(IAudioEndpointVolumeCallback*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE UnregisterControlChangeNotify(IAudioEndpointVolumeCallback*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetChannelCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetMasterVolumeLevel(FLOAT, LPCGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetMasterVolumeLevelScalar(FLOAT level, LPCGUID context) override {
    LogCall(owner, L"volume", level);
    if (context) ++contexts;
    if (SUCCEEDED(setHr)) scalar = level;
    return setHr;
  }
  HRESULT STDMETHODCALLTYPE GetMasterVolumeLevel(FLOAT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMasterVolumeLevelScalar(FLOAT* level) override {
    *level = SUCCEEDED(getHr) ? scalar : 0.77f;
    return getHr;
  }
  HRESULT STDMETHODCALLTYPE SetChannelVolumeLevel(UINT, FLOAT, LPCGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetChannelVolumeLevelScalar(UINT, FLOAT, LPCGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetChannelVolumeLevel(UINT, FLOAT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetChannelVolumeLevelScalar(UINT, FLOAT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetMute(WINBOOL on, LPCGUID context) override {
    LogCall(owner, L"mute", std::wstring(on ? L"1" : L"0"));
    if (context) ++contexts;
    muted = on;
    return muteHr;
  }
  HRESULT STDMETHODCALLTYPE GetMute(WINBOOL* on) override {
    *on = muted;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetVolumeStepInfo(UINT*, UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE VolumeStepUp(LPCGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE VolumeStepDown(LPCGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryHardwareSupport(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVolumeRange(FLOAT*, FLOAT*, FLOAT*) override { return E_NOTIMPL; }

  std::wstring owner;
  float scalar = 1.0f;
  WINBOOL muted = TRUE;
  HRESULT getHr = S_OK;
  HRESULT setHr = S_OK;      // Wine: E_NOTIMPL
  HRESULT muteHr = S_FALSE;  // what Wine answers
  int contexts = 0;          // calls that passed an event context
};

// A level control (in dB) on a part of an adapter's topology.
class VolumeLevel final : public IAudioVolumeLevel {
 public:
  VolumeLevel(std::wstring owner, float minDb, float maxDb, float levelDb)
      : owner(std::move(owner)), minDb(minDb), maxDb(maxDb), levelDb(levelDb) {
    ++g_liveObjects;
  }
  ~VolumeLevel() { --g_liveObjects; }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IPerChannelDbLevel) ||
        iid == __uuidof(IAudioVolumeLevel)) {
      *out = static_cast<IAudioVolumeLevel*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  FAKE_UNKNOWN_BODY()

  HRESULT STDMETHODCALLTYPE GetChannelCount(UINT* count) override {
    *count = 2;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetLevelRange(UINT channel, float* minOut, float* maxOut, float* step) override {
    channelsAsked.push_back(channel);
    if (FAILED(rangeHr)) return rangeHr;
    *minOut = minDb;
    *maxOut = maxDb;
    *step = 0.5f;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetLevel(UINT channel, float* level) override {
    channelsAsked.push_back(channel);
    *level = SUCCEEDED(getHr) ? levelDb : -99.0f;
    return getHr;
  }
  HRESULT STDMETHODCALLTYPE SetLevel(UINT, float level, LPCGUID) override {
    LogCall(owner, L"channel-level", level);
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetLevelUniform(float level, LPCGUID context) override {
    LogCall(owner, L"level", level);
    if (context) ++contexts;
    if (SUCCEEDED(setHr)) levelDb = level;
    return setHr;
  }
  HRESULT STDMETHODCALLTYPE SetLevelAllChannels(float* levels, ULONG, LPCGUID) override {
    LogCall(owner, L"all-levels", levels ? levels[0] : 0);
    return E_NOTIMPL;
  }

  std::wstring owner;
  float minDb, maxDb, levelDb;
  HRESULT rangeHr = S_OK;
  HRESULT getHr = S_OK;
  HRESULT setHr = S_OK;
  int contexts = 0;
  std::vector<UINT> channelsAsked;
};

class Topology;

// The IPart side of a subunit or a connector: its name, an optional level control and the
// topology that holds it.
#define FAKE_PART_BODY()                                                                                  \
  HRESULT STDMETHODCALLTYPE GetName(LPWSTR* out) override {                                               \
    *out = hasName ? TaskString(name) : nullptr;                                                          \
    return hasName ? S_OK : E_NOTFOUND;                                                                   \
  }                                                                                                       \
  HRESULT STDMETHODCALLTYPE GetLocalId(UINT*) override { return E_NOTIMPL; }                              \
  HRESULT STDMETHODCALLTYPE GetGlobalId(LPWSTR*) override { return E_NOTIMPL; }                           \
  HRESULT STDMETHODCALLTYPE GetPartType(PartType*) override { return E_NOTIMPL; }                         \
  HRESULT STDMETHODCALLTYPE GetSubType(GUID*) override { return E_NOTIMPL; }                              \
  HRESULT STDMETHODCALLTYPE GetControlInterfaceCount(UINT*) override { return E_NOTIMPL; }                \
  HRESULT STDMETHODCALLTYPE GetControlInterface(UINT, IControlInterface**) override { return E_NOTIMPL; } \
  HRESULT STDMETHODCALLTYPE EnumPartsIncoming(IPartsList**) override { return E_NOTIMPL; }                \
  HRESULT STDMETHODCALLTYPE EnumPartsOutgoing(IPartsList**) override { return E_NOTIMPL; }                \
  HRESULT STDMETHODCALLTYPE GetTopologyObjects(IDeviceTopology** out) override;                           \
  HRESULT STDMETHODCALLTYPE Activate(DWORD, REFIID iid, void** out) override {                            \
    if (iid == __uuidof(IAudioVolumeLevel) && level) {                                                    \
      ++levelActivations;                                                                                 \
      level->AddRef();                                                                                    \
      *out = static_cast<IAudioVolumeLevel*>(level);                                                      \
      return S_OK;                                                                                        \
    }                                                                                                     \
    *out = nullptr;                                                                                       \
    return E_NOINTERFACE;                                                                                 \
  }                                                                                                       \
  HRESULT STDMETHODCALLTYPE RegisterControlChangeCallback(REFGUID, IControlChangeNotify*) override {      \
    return E_NOTIMPL;                                                                                     \
  }                                                                                                       \
  HRESULT STDMETHODCALLTYPE UnregisterControlChangeCallback(IControlChangeNotify*) override {             \
    return E_NOTIMPL;                                                                                     \
  }                                                                                                       \
  std::wstring name;                                                                                      \
  bool hasName = true;                                                                                    \
  VolumeLevel* level = nullptr; /* owned */                                                               \
  Topology* owner = nullptr;    /* not owned: the topology holds the part */                              \
  int levelActivations = 0;

class Part final : public IPart {
 public:
  Part(std::wstring partName, VolumeLevel* control) {
    ++g_liveObjects;
    name = std::move(partName);
    level = control;
  }
  ~Part() {
    if (level) level->Release();
    --g_liveObjects;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IPart)) {
      *out = static_cast<IPart*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  FAKE_UNKNOWN_BODY()
  FAKE_PART_BODY()
};

class Connector final : public IConnector, public IPart {
 public:
  explicit Connector(std::wstring connectorName) {
    ++g_liveObjects;
    name = std::move(connectorName);
  }
  ~Connector() {
    if (level) level->Release();
    --g_liveObjects;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IConnector)) {
      *out = static_cast<IConnector*>(this);
    } else if (iid == __uuidof(IPart) && hasPart) {
      *out = static_cast<IPart*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  FAKE_UNKNOWN_BODY()
  FAKE_PART_BODY()

  HRESULT STDMETHODCALLTYPE GetType(ConnectorType*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDataFlow(DataFlow*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ConnectTo(IConnector*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Disconnect() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsConnected(WINBOOL* connected) override {
    *connected = connectedTo != nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectedTo(IConnector** out) override {
    *out = connectedTo;
    if (!connectedTo) return E_NOTFOUND;
    connectedTo->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectorIdConnectedTo(LPWSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDeviceIdConnectedTo(LPWSTR*) override { return E_NOTIMPL; }

  IPart* AsPart() { return static_cast<IPart*>(this); }

  bool hasPart = true;
  Connector* connectedTo = nullptr;  // not owned
};

class PartsList final : public IPartsList {
 public:
  explicit PartsList(std::vector<IPart*> parts) : parts_(std::move(parts)) {
    ++g_liveObjects;
    for (IPart* p : parts_) p->AddRef();
  }
  ~PartsList() {
    for (IPart* p : parts_) p->Release();
    --g_liveObjects;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  FAKE_UNKNOWN_BODY()
  HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
    *count = UINT(parts_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPart(UINT i, IPart** out) override {
    if (i >= parts_.size()) return E_INVALIDARG;
    parts_[i]->AddRef();
    *out = parts_[i];
    return S_OK;
  }

 private:
  std::vector<IPart*> parts_;
};

// A device topology: its connectors and subunits, and the signal paths it answers. An endpoint's
// topology also keeps the adapter topology it is connected to.
class Topology final : public IDeviceTopology {
 public:
  Topology() { ++g_liveObjects; }
  ~Topology() {
    for (Connector* c : connectors) static_cast<IConnector*>(c)->Release();
    for (Part* p : parts) p->Release();
    for (Topology* t : linked) t->Release();
    --g_liveObjects;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IDeviceTopology)) {
      *out = static_cast<IDeviceTopology*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  FAKE_UNKNOWN_BODY()

  HRESULT STDMETHODCALLTYPE GetConnectorCount(UINT* count) override {
    *count = UINT(connectors.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnector(UINT i, IConnector** out) override {
    *out = nullptr;
    if (i >= connectors.size()) return E_INVALIDARG;
    connectors[i]->AddRef();
    *out = connectors[i];
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSubunitCount(UINT* count) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSubunit(UINT, ISubUnit**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPartById(UINT, IPart**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDeviceId(LPWSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSignalPath(IPart* from, IPart* to, WINBOOL rejectMixed,
                                          IPartsList** out) override {
    *out = nullptr;
    pathRequests.push_back({from, to, rejectMixed});
    for (const Path& path : paths) {
      if (path.from == from && path.to == to) {
        *out = new PartsList(path.parts);
        return S_OK;
      }
    }
    return E_NOTFOUND;
  }

  Connector* AddConnector(const std::wstring& name) {
    auto* c = new Connector(name);
    c->owner = this;
    connectors.push_back(c);
    return c;
  }
  Part* AddPart(const std::wstring& name, VolumeLevel* control = nullptr) {
    auto* p = new Part(name, control);
    p->owner = this;
    parts.push_back(p);
    return p;
  }
  // The path the topology answers from `from` to `to`; `parts` are its inner parts.
  void AddPath(Connector* from, Connector* to, std::vector<IPart*> inner) {
    Path path{from->AsPart(), to->AsPart(), {from->AsPart()}};
    path.parts.insert(path.parts.end(), inner.begin(), inner.end());
    path.parts.push_back(to->AsPart());
    paths.push_back(std::move(path));
  }
  // The first connector: on an adapter the one its endpoint is connected to.
  Connector* AdapterSide() { return connectors.empty() ? nullptr : connectors[0]; }

  struct Path {
    IPart* from;
    IPart* to;
    std::vector<IPart*> parts;  // not owned
  };
  struct PathRequest {
    IPart* from;
    IPart* to;
    WINBOOL rejectMixed;
  };
  std::vector<Connector*> connectors;
  std::vector<Part*> parts;
  std::vector<Topology*> linked;
  std::vector<Path> paths;
  std::vector<PathRequest> pathRequests;
};

inline HRESULT STDMETHODCALLTYPE Part::GetTopologyObjects(IDeviceTopology** out) {
  *out = owner;
  if (!owner) return E_NOTIMPL;
  owner->AddRef();
  return S_OK;
}
inline HRESULT STDMETHODCALLTYPE Connector::GetTopologyObjects(IDeviceTopology** out) {
  *out = owner;
  if (!owner) return E_NOTIMPL;
  owner->AddRef();
  return S_OK;
}

class Device final : public IMMDevice, public IMMEndpoint {
 public:
  Device(std::wstring id, std::wstring name, EDataFlow flow, std::vector<uint8_t> mix)
      : id(std::move(id)), name(std::move(name)), flow(flow), mix(std::move(mix)) {
    ++g_liveObjects;
    volume = new EndpointVolume(this->name);
  }
  ~Device() {
    if (client) client->Release();
    volume->Release();
    if (topology) topology->Release();
    --g_liveObjects;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMMDevice)) {
      *out = static_cast<IMMDevice*>(this);
    } else if (iid == __uuidof(IMMEndpoint)) {
      *out = static_cast<IMMEndpoint*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  FAKE_UNKNOWN_BODY()

  HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT*, void** out) override {
    *out = nullptr;
    if (iid == __uuidof(IAudioEndpointVolume)) {
      if (FAILED(volumeActivateHr)) return volumeActivateHr;
      volume->AddRef();
      *out = static_cast<IAudioEndpointVolume*>(volume);
      return S_OK;
    }
    if (iid == __uuidof(IDeviceTopology)) {
      if (!topology) return E_NOINTERFACE;  // as on Wine
      topology->AddRef();
      *out = static_cast<IDeviceTopology*>(topology);
      return S_OK;
    }
    if (fail == FailAt::Activate || iid != __uuidof(IAudioClient)) return E_NOINTERFACE;
    // Each activation is a new client; the fake keeps the last one for the test to look at.
    if (client) client->Release();
    client = new AudioClient(mix, fail);
    client->AddRef();
    *out = static_cast<IAudioClient*>(client);
    ++activations;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore** store) override {
    *store = new PropertyStore(name);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR* out) override {
    size_t bytes = (id.size() + 1) * sizeof(wchar_t);
    *out = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    memcpy(*out, id.c_str(), bytes);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetState(DWORD* out) override {
    *out = state;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDataFlow(EDataFlow* out) override {
    *out = flow;
    return S_OK;
  }

  std::wstring id;
  std::wstring name;
  EDataFlow flow;
  std::vector<uint8_t> mix;
  DWORD state = DEVICE_STATE_ACTIVE;
  FailAt fail = FailAt::None;
  AudioClient* client = nullptr;
  int activations = 0;
  EndpointVolume* volume;  // the same one on every activation
  HRESULT volumeActivateHr = S_OK;
  Topology* topology = nullptr;  // null: no IDeviceTopology, as on Wine

  // Gives the endpoint a topology whose connector 0 is connected to the first connector
  // (`adapterSideName`) of a new adapter topology; returns the adapter.
  Topology* ConnectAdapter(const std::wstring& adapterSideName = L"Speaker Out") {
    if (topology) topology->Release();
    topology = new Topology;
    auto* adapter = new Topology;
    topology->linked.push_back(adapter);
    Connector* own = topology->AddConnector(name);
    Connector* other = adapter->AddConnector(adapterSideName);
    own->connectedTo = other;
    other->connectedTo = own;
    return adapter;
  }
};

class Collection final : public IMMDeviceCollection {
 public:
  explicit Collection(std::vector<Device*> devices) : devices_(std::move(devices)) {
    ++g_liveObjects;
    for (Device* d : devices_) d->AddRef();
  }
  ~Collection() {
    for (Device* d : devices_) static_cast<IMMDevice*>(d)->Release();
    --g_liveObjects;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  FAKE_UNKNOWN_BODY()
  HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
    *count = UINT(devices_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Item(UINT i, IMMDevice** out) override {
    if (i >= devices_.size()) return E_INVALIDARG;
    devices_[i]->AddRef();
    *out = devices_[i];
    return S_OK;
  }

 private:
  std::vector<Device*> devices_;
};

class Enumerator final : public IMMDeviceEnumerator {
 public:
  Enumerator() { ++g_liveObjects; }
  ~Enumerator() {
    for (Device* d : devices) static_cast<IMMDevice*>(d)->Release();
    --g_liveObjects;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMMDeviceEnumerator)) {
      *out = static_cast<IMMDeviceEnumerator*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  FAKE_UNKNOWN_BODY()

  HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD mask,
                                               IMMDeviceCollection** out) override {
    std::vector<Device*> list;
    for (Device* d : devices)
      if ((d->flow == flow || flow == eAll) && (d->state & mask)) list.push_back(d);
    *out = new Collection(list);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** out) override {
    defaultRoles.push_back(role);
    const int f = flow == eCapture ? 1 : 0;
    for (Device* d : devices) {
      if (d->flow == flow && !noDefault[f] && (defaultIds[f].empty() || d->id == defaultIds[f])) {
        d->AddRef();
        *out = d;
        return S_OK;
      }
    }
    *out = nullptr;
    return E_NOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** out) override {
    for (Device* d : devices) {
      if (d->id == id) {
        d->AddRef();
        *out = d;
        return S_OK;
      }
    }
    *out = nullptr;
    return E_NOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient*) override {
    return S_OK;
  }

  Device* Add(const std::wstring& id, const std::wstring& name, EDataFlow flow, std::vector<uint8_t> mix) {
    Device* d = new Device(id, name, flow, std::move(mix));
    devices.push_back(d);
    return d;
  }
  Device* Find(const std::wstring& id) {
    for (Device* d : devices)
      if (d->id == id) return d;
    return nullptr;
  }

  std::vector<Device*> devices;
  // The default endpoint of render [0] and capture [1]: the one with this id, or the first of
  // the flow when empty; none at all with noDefault.
  std::wstring defaultIds[2];
  bool noDefault[2] = {false, false};
  std::vector<ERole> defaultRoles;
};

// The enumerator the fake CoCreateInstance hands out (one reference per call).
inline Enumerator* g_enumerator = nullptr;

inline HRESULT WINAPI CoCreate(REFCLSID clsid, LPUNKNOWN, DWORD, REFIID iid, LPVOID* out) {
  if (!g_enumerator || clsid != __uuidof(MMDeviceEnumerator)) return REGDB_E_CLASSNOTREG;
  return g_enumerator->QueryInterface(iid, out);
}

// Mix formats, as WAVEFORMATEX or WAVEFORMATEXTENSIBLE bytes.
inline std::vector<uint8_t> MixFormat(WORD tag, WORD channels, DWORD rate, WORD bits, DWORD mask = 0,
                                      bool extensible = false, bool isFloat = false) {
  WAVEFORMATEXTENSIBLE f = {};
  f.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : tag;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = rate;
  f.Format.wBitsPerSample = bits;
  f.Format.nBlockAlign = WORD(channels * bits / 8);
  f.Format.nAvgBytesPerSec = f.Format.nBlockAlign * rate;
  f.Format.cbSize = extensible ? 22 : 0;
  if (extensible) {
    f.Samples.wValidBitsPerSample = bits;
    f.dwChannelMask = mask;
    static const GUID pcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
    static const GUID flt = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
    f.SubFormat = isFloat ? flt : pcm;
  }
  const size_t size = extensible ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX);
  std::vector<uint8_t> bytes(size);
  memcpy(bytes.data(), &f, size);
  return bytes;
}

// Wine's shared mix format: float32, 2 channels, 44,100 Hz (extensible).
inline std::vector<uint8_t> WineMixFormat(DWORD rate = 44100) {
  return MixFormat(0, 2, rate, 32, SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT, true, true);
}

}  // namespace fake
