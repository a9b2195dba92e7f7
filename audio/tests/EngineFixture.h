// An engine wired to the fake Core Audio and the fake XAudio2; checks for leaked COM objects,
// records and voices after every test.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "audio/SoundWorksImpl.h"
#include "audio/tests/FakeCoreAudio.h"
#include "audio/tests/FakeXAudio2.h"
#include "audio/tests/TestSupport.h"
#include "tests/support/ScriptedPrompts.h"

namespace testing_support {

inline const wchar_t* kMicId = L"{0.0.1.00000000}.{11111111-0000-0000-0000-000000000001}";
inline const wchar_t* kLineId = L"{0.0.1.00000000}.{11111111-0000-0000-0000-000000000002}";
inline const wchar_t* kSpeakersId = L"{0.0.0.00000000}.{22222222-0000-0000-0000-000000000001}";
inline const wchar_t* kHeadsetId = L"{0.0.0.00000000}.{22222222-0000-0000-0000-000000000002}";

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureQueue();
    baseRecords_ = GetLiveBufferRecordCount();
    enumerator = new fake::Enumerator;
    fake::g_enumerator = enumerator;
    world = std::make_unique<fake::XAudioWorld>();
    fake::g_xaudio = world.get();
    fake::g_engines.clear();
    g_pfnSoundCoCreateInstance = fake::CoCreate;
    g_pfnXAudio2Create = fake::XAudio2CreateFake;
  }

  void TearDown() override {
    DestroyEngine();
    DrainMessages(WM_SOUND_IN);
    DrainMessages(WM_SOUND_OUT);
    enumerator->Release();
    fake::g_enumerator = nullptr;
    EXPECT_EQ(fake::g_liveObjects.load(), 0) << "COM objects leaked";
    EXPECT_EQ(GetLiveBufferRecordCount(), baseRecords_) << "buffer records leaked";
    EXPECT_EQ(world->liveVoices.load(), 0) << "source voices leaked";
    EXPECT_EQ(world->liveEngines.load(), 0) << "XAudio2 objects leaked";
    fake::g_engines.clear();
    fake::g_xaudio = nullptr;
    g_pfnSoundCoCreateInstance = CoCreateInstance;
    g_pfnXAudio2Create = nullptr;
  }

  CSoundWorksWAS* MakeEngine(uint32_t channels = 1, uint32_t rate = 44100, bool setFormat = true) {
    engine = new CSoundWorksWAS(nullptr);
    if (setFormat) engine->SetSoundFormat(channels, rate, 16, 100);
    engine->voiceCallback.target = {GetCurrentThreadId(), nullptr, WM_SOUND_OUT};
    engine->captureTarget = {GetCurrentThreadId(), nullptr, WM_SOUND_IN};
    engine->StartEngine();
    return engine;
  }

  void DestroyEngine() {
    delete engine;
    engine = nullptr;
  }

  fake::Device* AddCapture(const wchar_t* id, std::vector<uint8_t> mix = fake::WineMixFormat(),
                           const wchar_t* name = L"mic") {
    return enumerator->Add(id, name, eCapture, std::move(mix));
  }
  fake::Device* AddRender(const wchar_t* id, const wchar_t* name = L"speakers") {
    return enumerator->Add(id, name, eRender, fake::WineMixFormat());
  }

  // The capture client of the stream opened on `device`.
  static fake::CaptureClient* Stream(fake::Device* device) {
    return device->client ? device->client->capture : nullptr;
  }

  // Waits until the poll thread has taken every packet pushed so far.
  static bool WaitDrained(fake::CaptureClient* client, DWORD timeoutMs = 2000) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!client->Drained()) {
      if (GetTickCount64() > end) return false;
      Sleep(5);
    }
    Sleep(30);  // the poll step that took the last packet has finished
    return true;
  }

  fake::SourceVoice* Voice(size_t engineIndex = 0, size_t voiceIndex = 0) {
    if (engineIndex >= fake::g_engines.size()) return nullptr;
    auto& voices = fake::g_engines[engineIndex]->voices;
    return voiceIndex < voices.size() ? voices[voiceIndex] : nullptr;
  }

  CSoundWorksWAS* engine = nullptr;
  ScriptedPrompts prompts;  // the engine's boxes
  fake::Enumerator* enumerator = nullptr;
  std::unique_ptr<fake::XAudioWorld> world;
  LogCapture log;

 private:
  LONG baseRecords_ = 0;
};

// One packet of a sine (all channels alike) in the sample type of `mix`.
inline fake::Packet SinePacket(const std::vector<uint8_t>& mixBytes, UINT32 frames, uint64_t start,
                               double frequency, double amplitude) {
  const auto* mix = reinterpret_cast<const WAVEFORMATEX*>(mixBytes.data());
  bool isFloat = mix->wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
  if (mix->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    auto* ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(mix);
    isFloat = ext->SubFormat.Data1 == 3;
  }
  const unsigned bits = mix->wBitsPerSample;
  fake::Packet p;
  p.frames = frames;
  p.bytes.resize(size_t(frames) * mix->nBlockAlign);
  uint8_t* out = p.bytes.data();
  for (UINT32 i = 0; i < frames; ++i) {
    const double v = amplitude * std::sin(2 * M_PI * frequency * double(start + i) / mix->nSamplesPerSec);
    for (unsigned c = 0; c < mix->nChannels; ++c) {
      if (isFloat && bits == 32) {
        float f = float(v);
        memcpy(out, &f, 4);
      } else if (isFloat && bits == 64) {
        memcpy(out, &v, 8);
      } else if (bits == 8) {
        *out = uint8_t(128 + std::lround(v * 127));
      } else if (bits == 16) {
        int16_t s = int16_t(std::lround(v * 32767));
        memcpy(out, &s, 2);
      } else if (bits == 24) {
        int32_t s = int32_t(std::lround(v * 8388607));
        out[0] = uint8_t(s);
        out[1] = uint8_t(s >> 8);
        out[2] = uint8_t(s >> 16);
      } else if (bits == 32) {
        int32_t s = int32_t(std::lround(v * 2147483647.0));
        memcpy(out, &s, 4);
      }
      out += bits / 8;
    }
  }
  return p;
}

// The float samples of a converted capture block.
inline std::vector<float> Samples(WPARAM w) {
  auto* r = reinterpret_cast<CBufferRecord*>(w);
  const BufferBlockHeader* h = CaptureBlockHeader(r);
  const float* p = reinterpret_cast<const float*>(CaptureBlockPayload(r));
  return std::vector<float>(p, p + size_t(h->frameCount) * h->channels);
}

inline bool HasNull(const std::vector<WPARAM>& got) {
  for (WPARAM w : got)
    if (w == 0) return true;
  return false;
}

}  // namespace testing_support
