// A fake XAudio2, put in through g_pfnXAudio2Create. Like Wine's, a source voice holds its own lock
// while it runs OnBufferEnd, and GetState, SubmitSourceBuffer and DestroyVoice wait for that lock;
// DestroyVoice ends no queued buffer.
#pragma once

#include <windows.h>
#include <xaudio2.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/Locks.h"

namespace fake {

struct XAudioWorld {
  Mutex mutex;
  HRESULT createResult = S_OK;
  bool failMastering = false;
  bool failSourceVoice = false;
  HRESULT submitResult = S_OK;
  int autoEndMs = 0;  // > 0: each started voice ends one buffer this often, on its own thread
  int holdMs = 0;     // how long the voice's thread holds its lock before OnBufferEnd (mixing)
  std::atomic<int> createCalls{0};
  std::atomic<int> masteringCalls{0};
  std::atomic<int> liveEngines{0};
  std::atomic<int> liveVoices{0};
  std::atomic<int> submitted{0};
  std::atomic<int> ended{0};
  std::atomic<int> startCalls{0};
  std::vector<WAVEFORMATEX> sourceFormats;
  std::vector<WAVEFORMATEXTENSIBLE> extensibleFormats;  // those of sourceFormats that are extensible
  std::vector<std::vector<uint8_t>> submittedAudio;
  std::vector<std::wstring> masteringIds;
};

inline XAudioWorld* g_xaudio = nullptr;

#define FAKE_VOICE_BASE_METHODS()                                                                            \
  void STDMETHODCALLTYPE GetVoiceDetails(XAUDIO2_VOICE_DETAILS*) override {}                                 \
  HRESULT STDMETHODCALLTYPE SetOutputVoices(const XAUDIO2_VOICE_SENDS*) override { return S_OK; }            \
  HRESULT STDMETHODCALLTYPE SetEffectChain(const XAUDIO2_EFFECT_CHAIN*) override { return S_OK; }            \
  HRESULT STDMETHODCALLTYPE EnableEffect(UINT32, UINT32) override { return S_OK; }                           \
  HRESULT STDMETHODCALLTYPE DisableEffect(UINT32, UINT32) override { return S_OK; }                          \
  void STDMETHODCALLTYPE GetEffectState(UINT32, WINBOOL*) override {}                                        \
  HRESULT STDMETHODCALLTYPE SetEffectParameters(UINT32, const void*, UINT32, UINT32) override {              \
    return S_OK;                                                                                             \
  }                                                                                                          \
  HRESULT STDMETHODCALLTYPE GetEffectParameters(UINT32, void*, UINT32) override { return S_OK; }             \
  HRESULT STDMETHODCALLTYPE SetFilterParameters(const XAUDIO2_FILTER_PARAMETERS*, UINT32) override {         \
    return S_OK;                                                                                             \
  }                                                                                                          \
  void STDMETHODCALLTYPE GetFilterParameters(XAUDIO2_FILTER_PARAMETERS*) override {}                         \
  HRESULT STDMETHODCALLTYPE SetOutputFilterParameters(IXAudio2Voice*, const XAUDIO2_FILTER_PARAMETERS*,      \
                                                      UINT32) override {                                     \
    return S_OK;                                                                                             \
  }                                                                                                          \
  void STDMETHODCALLTYPE GetOutputFilterParameters(IXAudio2Voice*, XAUDIO2_FILTER_PARAMETERS*) override {}   \
  HRESULT STDMETHODCALLTYPE SetVolume(float, UINT32) override { return S_OK; }                               \
  void STDMETHODCALLTYPE GetVolume(float*) override {}                                                       \
  HRESULT STDMETHODCALLTYPE SetChannelVolumes(UINT32, const float*, UINT32) override { return S_OK; }        \
  void STDMETHODCALLTYPE GetChannelVolumes(UINT32, float*) override {}                                       \
  HRESULT STDMETHODCALLTYPE SetOutputMatrix(IXAudio2Voice*, UINT32, UINT32, const float*, UINT32) override { \
    return S_OK;                                                                                             \
  }                                                                                                          \
  void STDMETHODCALLTYPE GetOutputMatrix(IXAudio2Voice*, UINT32, UINT32, float*) override {}

class SourceVoice final : public IXAudio2SourceVoice {
 public:
  SourceVoice(IXAudio2VoiceCallback* callback, XAudioWorld* world) : callback_(callback), world_(world) {
    ++world_->liveVoices;
    if (world_->autoEndMs > 0) thread_ = std::thread([this] { Run(); });
  }
  FAKE_VOICE_BASE_METHODS()

  void STDMETHODCALLTYPE DestroyVoice() override {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    {
      std::lock_guard<RecursiveMutex> lock(lock_);  // waits for a running OnBufferEnd
      queue_.clear();                               // queued buffers never end
    }
    --world_->liveVoices;
    delete this;
  }
  HRESULT STDMETHODCALLTYPE Start(UINT32, UINT32) override {
    std::lock_guard<RecursiveMutex> lock(lock_);
    started_ = true;
    ++world_->startCalls;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Stop(UINT32, UINT32) override {
    std::lock_guard<RecursiveMutex> lock(lock_);
    started_ = false;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SubmitSourceBuffer(const XAUDIO2_BUFFER* buffer,
                                               const XAUDIO2_BUFFER_WMA*) override {
    std::lock_guard<RecursiveMutex> lock(lock_);
    if (world_->submitResult != S_OK) return world_->submitResult;
    if (buffer->AudioBytes == 0) return XAUDIO2_E_INVALID_CALL;
    queue_.push_back(*buffer);
    ++world_->submitted;
    std::lock_guard<Mutex> w(world_->mutex);
    world_->submittedAudio.emplace_back(buffer->pAudioData, buffer->pAudioData + buffer->AudioBytes);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE FlushSourceBuffers() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Discontinuity() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ExitLoop(UINT32) override { return S_OK; }
  void STDMETHODCALLTYPE GetState(XAUDIO2_VOICE_STATE* state, UINT32) override {
    std::lock_guard<RecursiveMutex> lock(lock_);
    state->pCurrentBufferContext = queue_.empty() ? nullptr : queue_.front().pContext;
    state->BuffersQueued = UINT32(queue_.size());
    state->SamplesPlayed = 0;
  }
  HRESULT STDMETHODCALLTYPE SetFrequencyRatio(float, UINT32) override { return S_OK; }
  void STDMETHODCALLTYPE GetFrequencyRatio(float* ratio) override { *ratio = 1; }
  HRESULT STDMETHODCALLTYPE SetSourceSampleRate(UINT32) override { return S_OK; }

  // Ends the oldest queued buffer of a started voice on the calling thread; false when none.
  bool EndOne(int holdMs = 0) {
    std::lock_guard<RecursiveMutex> lock(lock_);
    if (!started_ || queue_.empty()) return false;
    if (holdMs > 0) Sleep(DWORD(holdMs));
    void* context = queue_.front().pContext;
    queue_.pop_front();
    ++world_->ended;
    callback_->OnBufferEnd(context);  // under the voice lock, as Wine's XAudio2 does
    return true;
  }
  size_t Queued() {
    std::lock_guard<RecursiveMutex> lock(lock_);
    return queue_.size();
  }
  bool Started() {
    std::lock_guard<RecursiveMutex> lock(lock_);
    return started_;
  }

 private:
  ~SourceVoice() = default;
  void Run() {
    while (!stop_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(world_->autoEndMs));
      EndOne(world_->holdMs);
    }
  }

  IXAudio2VoiceCallback* callback_;
  XAudioWorld* world_;
  RecursiveMutex lock_;
  std::deque<XAUDIO2_BUFFER> queue_;
  bool started_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class MasteringVoice final : public IXAudio2MasteringVoice {
 public:
  FAKE_VOICE_BASE_METHODS()
  void STDMETHODCALLTYPE DestroyVoice() override { delete this; }
  void STDMETHODCALLTYPE GetChannelMask(DWORD* mask) override { *mask = 3; }
};

class XAudio2 final : public IXAudio2 {
 public:
  explicit XAudio2(XAudioWorld* world) : world_(world) { ++world_->liveEngines; }
  ~XAudio2() { --world_->liveEngines; }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return ULONG(n);
  }
  HRESULT STDMETHODCALLTYPE RegisterForCallbacks(IXAudio2EngineCallback*) override { return S_OK; }
  void STDMETHODCALLTYPE UnregisterForCallbacks(IXAudio2EngineCallback*) override {}
  HRESULT STDMETHODCALLTYPE CreateSourceVoice(IXAudio2SourceVoice** voice, const WAVEFORMATEX* format, UINT32,
                                              float, IXAudio2VoiceCallback* callback,
                                              const XAUDIO2_VOICE_SENDS*,
                                              const XAUDIO2_EFFECT_CHAIN*) override {
    {
      std::lock_guard<Mutex> w(world_->mutex);
      world_->sourceFormats.push_back(*format);
      if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE && format->cbSize >= 22)
        world_->extensibleFormats.push_back(*reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format));
    }
    if (world_->failSourceVoice) return XAUDIO2_E_INVALID_CALL;
    auto* v = new SourceVoice(callback, world_);
    voices.push_back(v);
    *voice = v;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateSubmixVoice(IXAudio2SubmixVoice**, UINT32, UINT32, UINT32, UINT32,
                                              const XAUDIO2_VOICE_SENDS*,
                                              const XAUDIO2_EFFECT_CHAIN*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CreateMasteringVoice(IXAudio2MasteringVoice** voice, UINT32, UINT32, UINT32,
                                                 LPCWSTR id, const XAUDIO2_EFFECT_CHAIN*,
                                                 AUDIO_STREAM_CATEGORY) override {
    ++world_->masteringCalls;
    {
      std::lock_guard<Mutex> w(world_->mutex);
      world_->masteringIds.push_back(id ? id : L"");
    }
    if (world_->failMastering) return XAUDIO2_E_INVALID_CALL;
    *voice = new MasteringVoice;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE StartEngine() override { return S_OK; }
  void STDMETHODCALLTYPE StopEngine() override {}
  HRESULT STDMETHODCALLTYPE CommitChanges(UINT32) override { return S_OK; }
  void STDMETHODCALLTYPE GetPerformanceData(XAUDIO2_PERFORMANCE_DATA*) override {}
  void STDMETHODCALLTYPE SetDebugConfiguration(const XAUDIO2_DEBUG_CONFIGURATION*, void*) override {}

  std::vector<SourceVoice*> voices;  // every voice made (destroyed ones included: do not touch those)

 private:
  XAudioWorld* world_;
  volatile LONG refs_ = 1;
};

inline std::vector<XAudio2*> g_engines;  // every fake engine handed out

inline HRESULT WINAPI XAudio2CreateFake(IXAudio2** out, UINT32, XAUDIO2_PROCESSOR) {
  ++g_xaudio->createCalls;
  if (g_xaudio->createResult != S_OK) {
    *out = nullptr;
    return g_xaudio->createResult;
  }
  auto* engine = new XAudio2(g_xaudio);
  g_engines.push_back(engine);
  *out = engine;
  return S_OK;
}

}  // namespace fake
