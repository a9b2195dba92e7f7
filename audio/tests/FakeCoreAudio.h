// Fakes of the Core Audio objects the engine uses (enumerator, endpoints, audio and capture
// clients), put in through g_pfnSoundCoCreateInstance. They cover what Wine does not have:
// odd mix formats, larger packets, silent packets, failing calls and invalidated devices.
#pragma once

#include <windows.h>
#include <mmdeviceapi.h>
#include <audioclient.h>
#include <mmreg.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fake {

inline std::atomic<int> g_liveObjects{0};

#define FAKE_UNKNOWN_BODY()                                                           \
  ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(InterlockedIncrement(&refs_)); } \
  ULONG STDMETHODCALLTYPE Release() override {                                        \
    LONG n = InterlockedDecrement(&refs_);                                            \
    if (n == 0) delete this;                                                          \
    return ULONG(n);                                                                  \
  }                                                                                   \
  volatile LONG refs_ = 1;

struct Packet {
  std::vector<uint8_t> bytes;
  UINT32 frames = 0;
  DWORD flags = 0;
  HRESULT hr = S_OK;
  uint64_t devicePosition = 0;  // reported with the packet (frames since the stream started)
};

// Which call of a capture stream's set-up fails.
enum class FailAt { None, Activate, GetMixFormat, Initialize, SetEventHandle, GetBufferSize, GetService, Start };

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
    std::lock_guard<std::mutex> lock(mutex);
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
    std::lock_guard<std::mutex> lock(mutex);
    released += frames;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
    std::lock_guard<std::mutex> lock(mutex);
    *frames = packets.empty() ? 0 : packets.front().frames;
    return S_OK;
  }

  void Push(Packet p) {
    std::lock_guard<std::mutex> lock(mutex);
    packets.push_back(std::move(p));
  }
  bool Drained() {
    std::lock_guard<std::mutex> lock(mutex);
    return packets.empty();
  }
  void SetStickyError(HRESULT hr) {
    std::lock_guard<std::mutex> lock(mutex);
    stickyError = hr;
  }

  std::mutex mutex;
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
  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*, WAVEFORMATEX**) override {
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

class Device final : public IMMDevice, public IMMEndpoint {
 public:
  Device(std::wstring id, std::wstring name, EDataFlow flow, std::vector<uint8_t> mix)
      : id(std::move(id)), name(std::move(name)), flow(flow), mix(std::move(mix)) {
    ++g_liveObjects;
  }
  ~Device() {
    if (client) client->Release();
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

  HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD mask, IMMDeviceCollection** out) override {
    std::vector<Device*> list;
    for (Device* d : devices)
      if ((d->flow == flow || flow == eAll) && (d->state & mask)) list.push_back(d);
    *out = new Collection(list);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole, IMMDevice** out) override {
    for (Device* d : devices) {
      if (d->flow == flow) {
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
  HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient*) override { return S_OK; }

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
