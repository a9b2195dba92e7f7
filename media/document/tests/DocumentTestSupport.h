// Test support for the sound document: a fake engine that records the calls it gets and keeps
// the packets it is given, a collector for the notifications, and builders for captured blocks.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "audio/BufferRecord.h"
#include "audio/SoundWorks.h"
#include "media/document/SoundDocument.h"

class FakeEngine : public CSoundWorksBase {
 public:
  static inline FakeEngine* last = nullptr;

  FakeEngine() { last = this; }
  ~FakeEngine() override {
    for (CBufferRecord* r : queued) ReleaseBufferRecord(r);
    if (last == this) last = nullptr;
  }

  DeviceList GetRenderDevices() override { return renderDevices; }
  DeviceList GetCaptureDevices() override { return captureDevices; }
  void StartCapture(std::wstring id, int32_t index, int32_t tag) override {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(L"StartCapture " + id + L" " + std::to_wstring(index) + L" " + std::to_wstring(tag));
  }
  void StopCapture(std::wstring id, int32_t index) override {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(L"StopCapture " + id + L" " + std::to_wstring(index));
  }
  bool StartRender(std::wstring id, int32_t index) override {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(L"StartRender " + id);
    return renderOpens;
  }
  void StopRender(std::wstring id, int32_t index) override {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(L"StopRender " + id);
  }
  // Keeps the packet as XAudio2 keeps its clone; the test hands it back with Return().
  bool PlayBlock(CBufferRecord* record, int32_t) override {
    std::lock_guard<std::mutex> lock(mutex);
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
  uint32_t GetCaptureDeviceCount() override { return captureCount; }
  uint32_t GetRenderDeviceCount() override { return 0; }
  void StartEngine() override { started = true; }
  uint32_t GetZero() override { return 0; }
  uint32_t GetSampleBitsConstant() override { return 16; }

  // The oldest queued packet, as the worker would receive it; null when none is queued.
  CBufferRecord* Take() {
    std::lock_guard<std::mutex> lock(mutex);
    if (queued.empty()) return nullptr;
    CBufferRecord* r = queued.front();
    queued.pop_front();
    return r;
  }
  std::vector<std::wstring> TakeCalls() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::wstring> out;
    out.swap(calls);
    return out;
  }

  std::mutex mutex;
  DeviceList renderDevices, captureDevices;
  std::vector<std::wstring> calls;
  std::deque<CBufferRecord*> queued;
  uint32_t captureCount = 1;
  bool renderOpens = true;
  bool playAccepts = true;
  bool started = false;
  int played = 0;
};

inline CSoundWorksBase* MakeFakeEngine(void*) { return new FakeEngine; }

// Every document of a test gets a temp folder of its own, so tests running side by side never
// clear each other's chunk files.
inline std::wstring UniqueTrackName(const wchar_t* stem) {
  static int n = 0;
  return std::wstring(stem) + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++n);
}

class DocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // make this thread's queue
    liveRecords = GetLiveBufferRecordCount();
    g_pfnCreateSoundEngine = MakeFakeEngine;
    g_pfnDocumentReport = [](const wchar_t* text) { reports.push_back(text); };
    reports.clear();
    doc = new CSoundDocument(GetCurrentThreadId(), UniqueTrackName(L"DocTest"), nullptr);
    engine = FakeEngine::last;
    doc->notifyTarget = NotifyTarget{GetCurrentThreadId(), nullptr, WM_SOUND_NOTIFY};
    doc->outputDeviceId = L"out";
    doc->inputDeviceId = L"in";
  }
  void TearDown() override {
    const std::wstring folder = doc ? doc->tempFolder : L"";
    delete doc;
    if (!folder.empty()) RemoveDirectoryW(folder.c_str());
    Codes();
    g_pfnCreateSoundEngine = nullptr;
    EXPECT_EQ(GetLiveBufferRecordCount(), liveRecords) << "buffer records leaked";
  }

  // The notification codes posted since the last call, in order.
  std::vector<int> Codes() {
    std::vector<int> codes;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_SOUND_NOTIFY, WM_SOUND_NOTIFY, PM_REMOVE)) {
      EXPECT_EQ(msg.lParam, reinterpret_cast<LPARAM>(doc));
      codes.push_back(int(msg.wParam));
    }
    return codes;
  }

  // A chunk in memory holding `frames` mono 16-bit frames counting up from `first`.
  CChunkInfo* AddChunk(uint32_t frames, int16_t first = 0) {
    int index = doc->NewChunk();
    EXPECT_GE(index, 0);
    CChunkInfo* chunk = doc->GetChunk(index);
    chunk->buffer = static_cast<uint8_t*>(malloc(frames * 2 + 1));
    for (uint32_t i = 0; i < frames; ++i) reinterpret_cast<int16_t*>(chunk->buffer)[i] = int16_t(first + i);
    chunk->used = chunk->capacity = frames * 2;
    chunk->frames = frames;
    return chunk;
  }

  // Hands the oldest queued packet back to the document as the worker does; false when none.
  bool ReturnPacket() {
    CBufferRecord* r = engine->Take();
    if (!r) return false;
    doc->OnSoundOut(&r);
    EXPECT_EQ(r, nullptr) << "the document did not consume its own packet";
    if (r) ReleaseBufferRecord(r);
    return true;
  }

  static inline std::vector<std::wstring> reports;
  CSoundDocument* doc = nullptr;
  FakeEngine* engine = nullptr;
  LONG liveRecords = 0;
};

// A converted capture block: float samples (one channel) behind a header at the 16-byte boundary.
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

// A resampled block: mono 16-bit samples, as AppendWithGain receives it.
inline CBufferRecord* MakePcmBlock(const std::vector<int16_t>& samples) {
  const uint32_t bytes = uint32_t(samples.size() * 2);
  CBufferRecord* r = CreateBufferRecord(bytes + kCaptureBlockOverhead);
  r->payloadBytes = bytes;
  CaptureBlockHeader(r)->frameCount = uint32_t(samples.size());
  if (bytes) memcpy(CaptureBlockPayload(r), samples.data(), bytes);
  return r;
}

inline std::vector<int16_t> ChunkSamples(const CChunkInfo* chunk) {
  if (!chunk || !chunk->buffer) return {};
  const int16_t* s = reinterpret_cast<const int16_t*>(chunk->buffer);
  return std::vector<int16_t>(s, s + chunk->used / 2);
}
