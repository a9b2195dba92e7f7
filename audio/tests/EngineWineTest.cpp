// The engine on Wine's own Core Audio and XAudio2 (through XAudio2_9Redist.dll) and the harness's
// PulseAudio null devices.
#include <gtest/gtest.h>

#include <atomic>
#include <cwctype>
#include <thread>

#include "audio/SoundWorksImpl.h"
#include "audio/tests/TestSupport.h"

using namespace testing_support;

namespace {

std::wstring IdNamed(const DeviceList& list, const std::wstring& name) {
  for (const auto& [id, friendly] : list)
    if (friendly == name) return id;
  return L"";
}

bool LooksLikeEndpointId(const std::wstring& id) {
  // {0.0.F.00000000}.{GUID}
  return id.size() == 55 && id.rfind(L"{0.0.", 0) == 0 && id[5] >= L'0' && id[5] <= L'1' &&
         id.substr(6, 12) == L".00000000}.{" && id.back() == L'}';
}

class WineEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureQueue();
    baseRecords_ = GetLiveBufferRecordCount();
    engine = new CSoundWorksWAS(nullptr);
    engine->SetSoundFormat(1, 44100, 16, 100);
    engine->voiceCallback.target = {GetCurrentThreadId(), nullptr, WM_SOUND_OUT};
    engine->captureTarget = {GetCurrentThreadId(), nullptr, WM_SOUND_IN};
    engine->StartEngine();
  }
  void TearDown() override {
    delete engine;
    DrainMessages(WM_SOUND_IN);
    DrainMessages(WM_SOUND_OUT);
    EXPECT_EQ(GetLiveBufferRecordCount(), baseRecords_) << "buffer records leaked";
  }
  CSoundWorksWAS* engine = nullptr;
  LogCapture log;

 private:
  LONG baseRecords_ = 0;
};

TEST_F(WineEngineTest, DeviceListsShowTheNullDevicesByEndpointId) {
  DeviceList render = engine->GetRenderDevices();
  DeviceList capture = engine->GetCaptureDevices();
  for (const wchar_t* name : {L"speakers", L"micsink"}) EXPECT_FALSE(IdNamed(render, name).empty()) << name;
  for (const wchar_t* name : {L"mic", L"Monitor of speakers"})
    EXPECT_FALSE(IdNamed(capture, name).empty()) << name;
  for (const auto& [id, name] : render) EXPECT_TRUE(LooksLikeEndpointId(id)) << id.size();
  EXPECT_FALSE(engine->GetDefaultDevice(0).first.empty());
  EXPECT_FALSE(engine->GetDefaultDevice(1).first.empty());
}

// Wine has no loopback: that stream counts as failed and the microphone beside it goes on.
TEST_F(WineEngineTest, LoopbackFailsAloneAndTheMicrophoneStillDelivers) {
  std::wstring speakers = IdNamed(engine->GetRenderDevices(), L"speakers");
  std::wstring mic = IdNamed(engine->GetCaptureDevices(), L"mic");
  ASSERT_FALSE(speakers.empty());
  ASSERT_FALSE(mic.empty());
  engine->StartCapture(mic, 0, 1);
  engine->StartCapture(speakers, 0, 3);
  EXPECT_TRUE(log.Has("Could not GetService IAudioCaptureClient")) << log.Joined();
  EXPECT_EQ(engine->GetCaptureDeviceCount(), 1u);
  auto got = Collect(WM_SOUND_IN, 5000, [](auto& g) { return g.size() >= 3; });
  EXPECT_GE(got.size(), 3u);
  for (WPARAM w : got) {
    const BufferBlockHeader* h = CaptureBlockHeader(reinterpret_cast<CBufferRecord*>(w));
    EXPECT_EQ(h->sourceKey, 0u);
    EXPECT_EQ(h->channels, 1u);
    EXPECT_NEAR(double(h->frameCount), 4410, 30);
  }
  ReleaseAll(got);
  engine->StopCapture(mic, 0);
  auto rest = Collect(WM_SOUND_IN, 3000, [](auto& g) {
    for (WPARAM w : g)
      if (!w) return true;
    return false;
  });
  ASSERT_FALSE(rest.empty());
  EXPECT_EQ(rest.back(), 0u) << "the end marker after the last block";
  ReleaseAll(rest);
}

// Playing as a track does while the device is closed and reopened every 250 ms, 24 times (about
// six seconds; a busy machine takes longer for each reopening), with a watchdog: Wine's GetState,
// SubmitSourceBuffer and DestroyVoice wait while OnBufferEnd runs. Every block made is released in
// the end.
TEST_F(WineEngineTest, PlayWithStopStartNeverDeadlocksOrLeaks) {
  std::wstring speakers = IdNamed(engine->GetRenderDevices(), L"speakers");
  ASSERT_FALSE(speakers.empty());
  std::atomic<int> progress{0};
  DeadlockWatchdog watchdog(progress, 8000, 100);
  int returned = 0, restarts = 0;
  uint64_t frame = 0;
  auto block = [&] {
    CBufferRecord* r = MakePlayBlock(1, 44100, 16, 4410, 1, 7, 440, frame);
    frame += 4410;
    return r;
  };
  // The limit only ends a run that no longer progresses as it should.
  const ULONGLONG limit = GetTickCount64() + 60000;
  ULONGLONG nextRestart = 0;
  while (restarts < 24 && GetTickCount64() < limit) {
    if (GetTickCount64() >= nextRestart) {
      engine->StopRender(speakers, 0);
      ASSERT_TRUE(engine->StartRender(speakers, 0));
      engine->PlayBlock(block(), 0);
      engine->PlayBlock(block(), 0);
      nextRestart = GetTickCount64() + 250;
      ++restarts;
      ++progress;
    }
    MSG msg;
    if (PeekMessageW(&msg, nullptr, WM_SOUND_OUT, WM_SOUND_OUT, PM_REMOVE)) {
      auto* r = reinterpret_cast<CBufferRecord*>(msg.wParam);
      ReleaseBufferRecord(r);
      engine->PlayBlock(block(), 0);
      ++returned;
      ++progress;
    } else {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_POSTMESSAGE);
    }
  }
  engine->StopRender(speakers, 0);
  EXPECT_EQ(restarts, 24);
  EXPECT_GE(returned, 20) << "blocks come back between the restarts";
}

// One block is a whole chunk: it must play and come back by itself.
TEST_F(WineEngineTest, SingleBlockComesBack) {
  std::wstring speakers = IdNamed(engine->GetRenderDevices(), L"speakers");
  ASSERT_TRUE(engine->StartRender(speakers, 0)) << log.Joined();
  ASSERT_TRUE(engine->PlayBlock(MakePlayBlock(1, 44100, 16, 2205), 0));
  auto got = Collect(WM_SOUND_OUT, 3000, [](auto& g) { return !g.empty(); });
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(reinterpret_cast<CBufferRecord*>(got[0])->documentSerial, 7u);
  ReleaseAll(got);
}

// A file load builds an engine on a thread that ends at once: the engine still finds and opens
// its devices afterwards, and neither the building nor the destroying thread keeps COM.
TEST_F(WineEngineTest, AnEngineOutlivesTheThreadThatBuiltIt) {
  auto comLeft = [] {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(hr)) CoUninitialize();
    return hr;
  };
  const DWORD self = GetCurrentThreadId();
  CSoundWorksWAS* built = nullptr;
  HRESULT builder = E_FAIL, destroyer = E_FAIL;
  std::thread([&] {
    built = new CSoundWorksWAS(nullptr);
    built->SetSoundFormat(1, 44100, 16, 100);
    built->captureTarget = {self, nullptr, WM_SOUND_IN};
    built->StartEngine();
    builder = comLeft();
  }).join();
  EXPECT_EQ(builder, S_OK) << "the building thread ended with COM initialised";
  const std::wstring mic = IdNamed(built->GetCaptureDevices(), L"mic");
  ASSERT_FALSE(mic.empty());
  built->StartCapture(mic, 0, 1);
  auto got = Collect(WM_SOUND_IN, 5000, [](auto& g) { return g.size() >= 2; });
  EXPECT_GE(got.size(), 2u);
  ReleaseAll(got);
  built->StopCapture(mic, 0);
  std::thread([&] {
    delete built;
    destroyer = comLeft();
  }).join();
  EXPECT_EQ(destroyer, S_OK) << "the destroying thread ended with COM initialised";
}

}  // namespace
