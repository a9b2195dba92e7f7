// A stand-in for the sound engine in tests: no devices; it records the calls it gets and keeps
// the packets it is given until the test takes them. Options say whether a render device opens,
// whether played packets are taken and how many capture streams a recording mixes. Also a builder
// for the converted capture blocks the engine posts to a track's worker.
#pragma once

#include <windows.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/BufferRecord.h"
#include "audio/SoundWorks.h"
#include "common/Locks.h"

class FakeEngine : public CSoundWorksBase {
 public:
  static inline FakeEngine* last = nullptr;

  FakeEngine() { last = this; }
  ~FakeEngine() override {
    for (std::thread& t : tails) t.join();
    for (CBufferRecord* r : held) ReleaseBufferRecord(r);
    for (CBufferRecord* r : queued) ReleaseBufferRecord(r);
    if (last == this) last = nullptr;
  }

  DeviceList GetRenderDevices() override { return renderDevices; }
  DeviceList GetCaptureDevices() override { return captureDevices; }
  void StartCapture(std::wstring id, int32_t index, int32_t tag) override {
    std::lock_guard<Mutex> lock(mutex);
    ++openStreams;
    calls.push_back(L"StartCapture " + id + L" " + std::to_wstring(index) + L" " + std::to_wstring(tag));
  }
  void StopCapture(std::wstring id, int32_t index) override {
    std::lock_guard<Mutex> lock(mutex);
    if (openStreams) --openStreams;
    calls.push_back(L"StopCapture " + id + L" " + std::to_wstring(index));
  }
  bool StartRender(std::wstring id, int32_t index) override {
    std::lock_guard<Mutex> lock(mutex);
    calls.push_back(L"StartRender " + id);
    return renderOpens;
  }
  void StopRender(std::wstring id, int32_t index) override {
    std::lock_guard<Mutex> lock(mutex);
    calls.push_back(L"StopRender " + id);
  }
  // Keeps the packet as XAudio2 keeps its clone; the test hands it back with Take().
  bool PlayBlock(CBufferRecord* record, int32_t) override {
    std::lock_guard<Mutex> lock(mutex);
    ++played;
    if (!playAccepts) {
      ReleaseBufferRecord(record);
      return false;
    }
    queued.push_back(record);
    return true;
  }
  void Idle() override {}
  void SetSoundFormat(uint32_t ch, uint32_t rate, uint32_t bits, uint32_t ms) override {
    channels = ch;
    sampleRate = rate;
    bitsPerSample = bits;
    bufferMs = ms;
    blockAlign = ch * bits / 8;
    framesPerBuffer = uint32_t(rate * double(ms) / 1000.0);
    bytesPerBuffer = framesPerBuffer * blockAlign;
  }
  std::pair<std::wstring, std::wstring> GetDefaultDevice(int dataFlow) override {
    return defaults[dataFlow == 1 ? 1 : 0];
  }
  uint32_t GetCaptureDeviceCount() override { return countOpenStreams ? openStreams : captureCount; }
  uint32_t GetRenderDeviceCount() override { return 0; }
  void StartEngine() override { started = true; }
  uint32_t GetZero() override { return 0; }
  uint32_t GetSampleBitsConstant() override { return 16; }

  // The engine's capture side toward captureThread (0: none, and no end marker either). Capture
  // posts a block now, as WM_SOUND_IN, stamped with the stream value the open streams carry;
  // Hold keeps a stamped block as one still inside the engine when the streams stop. At the end
  // of a recording the held blocks and then the end marker follow after tailDelayMs, from a
  // thread of the fake's own, as the engine's convert thread delivers them.
  void Capture(CBufferRecord* r) {
    CaptureBlockHeader(r)->streamValue = streamValues[0];
    if (!PostThreadMessageW(captureThread, WM_SOUND_IN, reinterpret_cast<WPARAM>(r), 0))
      ReleaseBufferRecord(r);
  }
  void Hold(CBufferRecord* r) {
    CaptureBlockHeader(r)->streamValue = streamValues[0];
    std::lock_guard<Mutex> lock(mutex);
    held.push_back(r);
  }
  bool PostCaptureEnd(uint32_t value) override {
    if (!captureThread) return false;
    std::vector<CBufferRecord*> tail;
    {
      std::lock_guard<Mutex> lock(mutex);
      tail.swap(held);
      ++endMarkers;
    }
    const DWORD target = captureThread, delay = tailDelayMs;
    tails.emplace_back([tail, target, delay, value] {
      Sleep(delay);
      for (CBufferRecord* r : tail)
        if (!PostThreadMessageW(target, WM_SOUND_IN, reinterpret_cast<WPARAM>(r), 0)) ReleaseBufferRecord(r);
      PostThreadMessageW(target, WM_SOUND_IN, 0, LPARAM(value));
    });
    return true;
  }

  // The oldest queued packet, as the worker would receive it; null when none is queued.
  CBufferRecord* Take() {
    std::lock_guard<Mutex> lock(mutex);
    if (queued.empty()) return nullptr;
    CBufferRecord* r = queued.front();
    queued.pop_front();
    return r;
  }
  std::vector<std::wstring> TakeCalls() {
    std::lock_guard<Mutex> lock(mutex);
    std::vector<std::wstring> out;
    out.swap(calls);
    return out;
  }

  Mutex mutex;
  DeviceList renderDevices, captureDevices;
  std::pair<std::wstring, std::wstring> defaults[2];  // render, capture; empty: none
  std::vector<std::wstring> calls;
  std::deque<CBufferRecord*> queued;
  uint32_t captureCount = 1;
  // Set: the capture count is that of the streams open now, as the engine's (0 once stopped).
  bool countOpenStreams = false;
  uint32_t openStreams = 0;
  bool renderOpens = true;
  bool playAccepts = true;
  bool started = false;
  int played = 0;
  DWORD captureThread = 0;
  DWORD tailDelayMs = 0;
  std::vector<CBufferRecord*> held;
  std::vector<std::thread> tails;
  int endMarkers = 0;
};

// Factories for g_pfnCreateSoundEngine.
inline CSoundWorksBase* MakeFakeEngine(void*) { return new FakeEngine; }

// Plays nothing: no render device opens and every packet is dropped, so playback ends at once.
inline CSoundWorksBase* MakeSilentFakeEngine(void*) {
  auto* engine = new FakeEngine;
  engine->renderOpens = false;
  engine->playAccepts = false;
  return engine;
}

// A converted capture block: float samples (interleaved) behind a header at the 16-byte boundary.
inline CBufferRecord* MakeFloatBlock(uint32_t sourceKey, const std::vector<float>& samples,
                                     uint32_t channels = 1, uint32_t rate = 44100) {
  const uint32_t bytes = uint32_t(samples.size() * sizeof(float));
  CBufferRecord* r = CreateBufferRecord(bytes + kCaptureBlockOverhead);
  r->kind = kBufferKindAudio;
  r->size = bytes + kCaptureBlockOverhead;
  r->payloadBytes = bytes;
  r->trackIndex = -1;
  BufferBlockHeader* h = CaptureBlockHeader(r);
  memset(h, 0, sizeof *h);
  h->channels = channels;
  h->sampleRate = rate;
  h->sourceKey = sourceKey;
  h->encoding = 1;
  h->frameCount = uint32_t(samples.size() / channels);
  if (bytes) memcpy(CaptureBlockPayload(r), samples.data(), bytes);
  return r;
}
