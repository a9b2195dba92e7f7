// The engine frame: start-up lines and format, device lists, the render-command thread, COM
// pairing and destruction.
#include <thread>

#include "audio/tests/EngineFixture.h"

using namespace testing_support;

namespace {

using FrameTest = EngineTest;

HRESULT WINAPI NoClass(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID* out) {
  *out = nullptr;
  return REGDB_E_CLASSNOTREG;
}

TEST_F(FrameTest, NewEngineLogsStartAndFormat) {
  MakeEngine(1, 44100);
  auto lines = log.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Using XAudio2 and WAS on Windows Vista/7/8/10");
  EXPECT_EQ(lines[1], "Settings sound format: channels: 1, sampling rate: 44100");
  EXPECT_EQ(engine->framesPerBuffer, 4410u);
  EXPECT_EQ(engine->bytesPerBuffer, 8820u);
  EXPECT_EQ(engine->blockAlign, 2u);
  EXPECT_DOUBLE_EQ(engine->bufferMs, 100.0);
  engine->SetSoundFormat(2, 22050, 16, 100);
  EXPECT_EQ(engine->framesPerBuffer, 2205u);
  EXPECT_EQ(engine->bytesPerBuffer, 8820u);
  EXPECT_EQ(engine->GetZero(), 0u);
  EXPECT_EQ(engine->GetSampleBitsConstant(), 16u);
}

TEST_F(FrameTest, DeviceListsHoldActiveEndpointsOfTheirFlow) {
  AddRender(kSpeakersId, L"speakers");
  AddRender(kHeadsetId, L"headset")->state = DEVICE_STATE_UNPLUGGED;
  AddCapture(kMicId, fake::WineMixFormat(), L"mic");
  MakeEngine();
  DeviceList render = engine->GetRenderDevices();
  ASSERT_EQ(render.size(), 1u);
  EXPECT_EQ(render[0].first, kSpeakersId);
  EXPECT_EQ(render[0].second, L"speakers");
  DeviceList capture = engine->GetCaptureDevices();
  ASSERT_EQ(capture.size(), 1u);
  EXPECT_EQ(capture[0].second, L"mic");
  EXPECT_EQ(engine->GetDefaultDevice(1).first, kMicId);
  EXPECT_EQ(engine->GetDefaultDevice(0).second, L"speakers");
}

TEST_F(FrameTest, NoEnumeratorGivesEmptyListsAndNoDevices) {
  g_pfnSoundCoCreateInstance = NoClass;
  AddCapture(kMicId);
  MakeEngine();
  EXPECT_TRUE(engine->GetRenderDevices().empty());
  EXPECT_TRUE(engine->GetCaptureDevices().empty());
  EXPECT_TRUE(engine->GetDefaultDevice(1).first.empty());
  engine->StartCapture(kMicId, 0, 1);
  EXPECT_EQ(engine->GetCaptureDeviceCount(), 0u);
  EXPECT_TRUE(log.Has("Could not create capture Device. Check that device is present."));
  EXPECT_FALSE(engine->StartRender(kSpeakersId, 0));
  EXPECT_EQ(world->masteringCalls.load(), 0) << "no endpoint to check, so no mastering voice";
}

TEST_F(FrameTest, DestructionClosesEveryDevice) {
  AddRender(kSpeakersId);
  AddRender(kHeadsetId, L"headset");
  AddCapture(kMicId);
  MakeEngine();
  EXPECT_TRUE(engine->StartRender(kSpeakersId, 0));
  EXPECT_TRUE(engine->StartRender(kHeadsetId, 0));
  EXPECT_TRUE(engine->StartRender(kHeadsetId, 0)) << "already open and usable";
  engine->StartCapture(kMicId, 0, 1);
  EXPECT_EQ(engine->GetRenderDeviceCount(), 2u);
  EXPECT_EQ(engine->GetCaptureDeviceCount(), 1u);
  log.Clear();
  DestroyEngine();
  EXPECT_EQ(log.Count("Stopping:"), 3) << log.Joined();
}

TEST_F(FrameTest, RenderCommandThreadReleasesOnNineAndIgnoresEight) {
  MakeEngine();
  const LONG before = GetLiveBufferRecordCount();
  CBufferRecord* kept = CreateBufferRecord(64);
  CBufferRecord* dropped = CreateBufferRecord(64);
  auto post = [&](WPARAM command, CBufferRecord* r) {
    for (int i = 0; i < 100; ++i) {
      if (PostThreadMessageW(engine->renderThreadId, WM_ENGINE_COMMAND, command, LPARAM(r))) return true;
      Sleep(10);  // the thread's queue may not exist yet
    }
    return false;
  };
  ASSERT_TRUE(post(8, kept));
  ASSERT_TRUE(post(9, dropped));
  for (int i = 0; i < 100 && GetLiveBufferRecordCount() != before + 1; ++i) Sleep(10);
  EXPECT_EQ(GetLiveBufferRecordCount(), before + 1);
  ReleaseBufferRecord(kept);
}

// The UI thread is single-threaded already: the engine's own MTA call fails there, and the
// engine must not take away the thread's apartment when it goes.
TEST_F(FrameTest, EngineLeavesTheCreatorsApartmentAlone) {
  HRESULT again = E_FAIL;
  std::thread ui([&] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    auto* e = new CSoundWorksWAS(nullptr);
    delete e;
    again = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(again)) CoUninitialize();
    CoUninitialize();
  });
  ui.join();
  EXPECT_EQ(again, S_FALSE) << "the thread's apartment was uninitialised by the engine";
}

// What COM a thread still has: S_OK from a fresh single-threaded initialisation means none.
HRESULT ComLeftOnThisThread() {
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (SUCCEEDED(hr)) CoUninitialize();
  return hr;
}

// Whether the process has a multithreaded apartment, as a thread without COM of its own sees it.
bool ProcessHasMta() {
  bool has = false;
  std::thread([&has] {
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    has = CoGetApartmentType(&type, &qualifier) == S_OK && type == APTTYPE_MTA;
  }).join();
  return has;
}

// A file load builds an engine on a thread that ends at once, and another thread destroys it:
// neither keeps COM, while the engine's apartment lives exactly as long as the engine.
TEST_F(FrameTest, ComIsBalancedOnTheThreadsThatBuildAndDestroyTheEngine) {
  AddCapture(kMicId);
  ASSERT_FALSE(ProcessHasMta());
  CSoundWorksWAS* built = nullptr;
  HRESULT builder = E_FAIL, destroyer = E_FAIL;
  std::thread([&] {
    built = new CSoundWorksWAS(nullptr);
    built->SetSoundFormat(1, 44100, 16, 100);
    built->StartEngine();
    builder = ComLeftOnThisThread();
  }).join();
  EXPECT_EQ(builder, S_OK) << "the building thread ended with COM initialised";
  EXPECT_TRUE(ProcessHasMta()) << "the engine's objects live in no apartment";
  EXPECT_EQ(built->GetCaptureDevices().size(), 1u);
  std::thread([&] {
    delete built;
    destroyer = ComLeftOnThisThread();
  }).join();
  EXPECT_EQ(destroyer, S_OK) << "the destroying thread ended with COM initialised";
  EXPECT_FALSE(ProcessHasMta()) << "the engine's apartment outlived it";
}

}  // namespace
