// Playback through a fake XAudio2 that, like Wine's, holds a voice lock while OnBufferEnd runs.
#include <lame/lame.h>

#include <atomic>
#include <thread>

#include "audio/tests/EngineFixture.h"

using namespace testing_support;

namespace {

using RenderTest = EngineTest;

CBufferRecord* Played(WPARAM w) { return reinterpret_cast<CBufferRecord*>(w); }

TEST_F(RenderTest, OneContextPerKeyCombinationAndRate) {
  AddRender(kSpeakersId);
  MakeEngine();
  ASSERT_TRUE(engine->StartRender(kSpeakersId, 0));
  EXPECT_EQ(world->masteringIds.at(0), kSpeakersId);
  EXPECT_TRUE(engine->PlayBlock(MakePlayBlock(1, 44100, 16, 4410), 0));
  EXPECT_TRUE(engine->PlayBlock(MakePlayBlock(1, 44100, 16, 4410), 0));
  ASSERT_EQ(world->sourceFormats.size(), 1u) << "same five header words reuse the voice";
  const WAVEFORMATEX& f = world->sourceFormats[0];
  EXPECT_EQ(f.wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(f.nChannels, 1);
  EXPECT_EQ(f.nSamplesPerSec, 44100u);
  EXPECT_EQ(f.wBitsPerSample, 16);
  EXPECT_EQ(f.nBlockAlign, 2);
  EXPECT_EQ(f.nAvgBytesPerSec, 88200u);
  EXPECT_EQ(f.cbSize, 0);
  EXPECT_TRUE(engine->PlayBlock(MakePlayBlock(1, 22050, 16, 2205), 0));
  EXPECT_TRUE(engine->PlayBlock(MakePlayBlock(2, 48000, 32, 4800, 2), 0));
  ASSERT_EQ(world->sourceFormats.size(), 3u);
  EXPECT_EQ(world->sourceFormats[1].nSamplesPerSec, 22050u);
  EXPECT_EQ(world->sourceFormats[2].wFormatTag, WAVE_FORMAT_IEEE_FLOAT);
  EXPECT_EQ(world->sourceFormats[2].nBlockAlign, 8);
  // PCM blocks are not copied: XAudio2 gets the 4,410 frames behind the 48-byte header.
  EXPECT_EQ(world->submittedAudio.at(0).size(), 8820u);
}

// A chunk of one block must play and come back; the count it comes back with is already reduced.
TEST_F(RenderTest, SingleBlockPlaysAndComesBackWithItsCountReduced) {
  AddRender(kSpeakersId);
  MakeEngine();
  ASSERT_TRUE(engine->StartRender(kSpeakersId, 0));
  CBufferRecord* block = MakePlayBlock(1, 44100, 16, 441);
  CBufferData* bytes = block->data.get();
  ASSERT_TRUE(engine->PlayBlock(block, 0));
  fake::SourceVoice* voice = Voice();
  ASSERT_NE(voice, nullptr);
  EXPECT_TRUE(voice->Started()) << "the voice starts with its first block";
  ASSERT_TRUE(voice->EndOne());
  auto got = Collect(WM_SOUND_OUT, 1000, [](auto& g) { return !g.empty(); });
  ASSERT_EQ(got.size(), 1u);
  CBufferRecord* back = Played(got[0]);
  EXPECT_EQ(back->data.get(), bytes) << "the clone shares the block's bytes";
  EXPECT_EQ(back->documentSerial, 7u);
  EXPECT_EQ(back->size, 441u * 2 + 48);
  ASSERT_NE(back->pendingCounter, nullptr);
  EXPECT_EQ(*back->pendingCounter, 0);
  ReleaseAll(got);
}

TEST_F(RenderTest, ThirdBlockPlaysFourthIsDropped) {
  AddRender(kSpeakersId);
  MakeEngine();
  ASSERT_TRUE(engine->StartRender(kSpeakersId, 0));
  const LONG before = GetLiveBufferRecordCount();
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(engine->PlayBlock(MakePlayBlock(1, 44100, 16, 441), 0)) << i;
  EXPECT_FALSE(engine->PlayBlock(MakePlayBlock(1, 44100, 16, 441), 0)) << "more than two pending";
  EXPECT_EQ(world->submitted.load(), 3);
  EXPECT_EQ(GetLiveBufferRecordCount(), before + 3) << "only the three queued clones live";
  ASSERT_TRUE(Voice()->EndOne());
  auto got = Collect(WM_SOUND_OUT, 1000, [](auto& g) { return !g.empty(); });
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(*Played(got[0])->pendingCounter, 2);
  EXPECT_TRUE(engine->PlayBlock(MakePlayBlock(1, 44100, 16, 441), 0));
  ReleaseAll(got);
}

TEST_F(RenderTest, EachOpenDeviceGetsItsOwnClone) {
  AddRender(kSpeakersId);
  AddRender(kHeadsetId, L"headset");
  MakeEngine();
  ASSERT_TRUE(engine->StartRender(kSpeakersId, 0));
  ASSERT_TRUE(engine->StartRender(kHeadsetId, 0));
  ASSERT_TRUE(engine->PlayBlock(MakePlayBlock(1, 44100, 16, 441), 0));
  ASSERT_EQ(world->submitted.load(), 2);
  ASSERT_TRUE(Voice(0)->EndOne());
  ASSERT_TRUE(Voice(1)->EndOne());
  auto got = Collect(WM_SOUND_OUT, 1000, [](auto& g) { return g.size() >= 2; });
  ASSERT_EQ(got.size(), 2u);
  EXPECT_NE(got[0], got[1]);
  EXPECT_EQ(Played(got[0])->data.get(), Played(got[1])->data.get());
  EXPECT_NE(Played(got[0])->pendingCounter, Played(got[1])->pendingCounter);
  ReleaseAll(got);
}

// Wine's XAudio2 ends no buffer that is still queued when its voice is destroyed.
TEST_F(RenderTest, QueuedBlocksAreReleasedWhenTheDeviceCloses) {
  AddRender(kSpeakersId);
  MakeEngine();
  const LONG before = GetLiveBufferRecordCount();
  ASSERT_TRUE(engine->StartRender(kSpeakersId, 0));
  ASSERT_TRUE(engine->PlayBlock(MakePlayBlock(1, 44100, 16, 4410), 0));
  ASSERT_TRUE(engine->PlayBlock(MakePlayBlock(1, 44100, 16, 4410), 0));
  EXPECT_EQ(GetLiveBufferRecordCount(), before + 2);
  engine->StopRender(kSpeakersId, 0);
  EXPECT_EQ(GetLiveBufferRecordCount(), before);
  EXPECT_EQ(world->liveVoices.load(), 0);
  EXPECT_EQ(engine->GetRenderDeviceCount(), 0u);
}

TEST_F(RenderTest, MasteringVoiceFailureIsReturnedAndEndsPlayback) {
  AddRender(kSpeakersId);
  world->failMastering = true;
  MakeEngine();
  EXPECT_FALSE(engine->StartRender(kSpeakersId, 0));
  EXPECT_TRUE(prompts.Asked().empty()) << "the engine put a box up itself";
  const auto failure = engine->TakeFailureText();
  EXPECT_EQ(failure.first, L"Could not create XAudio device. Check your app settings.");
  EXPECT_EQ(failure.second, L"Attention");
  EXPECT_TRUE(engine->TakeFailureText().first.empty()) << "taken once";
  EXPECT_TRUE(log.Has("Could not create XAudio device. Check your app settings."));
  EXPECT_EQ(engine->GetRenderDeviceCount(), 1u);
  EXPECT_FALSE(engine->StartRender(kSpeakersId, 0)) << "still without a mastering voice";
  EXPECT_FALSE(engine->PlayBlock(MakePlayBlock(1, 44100, 16, 441), 0)) << "the caller must learn it";
  EXPECT_TRUE(log.Has("Could not create render Device. Check that device is present."));
  EXPECT_EQ(engine->GetRenderDeviceCount(), 0u);
  EXPECT_EQ(log.Count("Stopping:"), 1);
}

// Every heap of the process is sound (a write into a freed block breaks its free list).
bool AllHeapsValid() {
  HANDLE heaps[64];
  const DWORD n = GetProcessHeaps(64, heaps);
  for (DWORD i = 0; i < n && i < 64; ++i)
    if (!HeapValidate(heaps[i], 0, nullptr)) return false;
  return true;
}

// A box is a message loop: a second Play click inside it stops and reopens the device. The caller
// shows the failure once StartRender has returned, so the click finds the device whole.
TEST_F(RenderTest, PlayClickedAgainWhileTheFailureIsShownLeavesTheHeapWhole) {
  AddRender(kSpeakersId);
  world->failMastering = true;
  MakeEngine();
  static CSoundWorksBase* reentered;
  static int clicks;
  reentered = engine;
  clicks = 0;
  g_pfnShowPrompt = [](HWND, LPCWSTR, LPCWSTR, UINT) {
    ++clicks;
    reentered->StopRender(kSpeakersId, 0);  // what a second Play does first
    reentered->StartRender(kSpeakersId, 0);
    return IDOK;
  };
  for (int round = 0; round < 20; ++round) {
    engine->StopRender(kSpeakersId, 0);
    ASSERT_FALSE(engine->StartRender(kSpeakersId, 0));
    EXPECT_EQ(clicks, round) << "a box was shown inside StartRender";
    const auto failure = engine->TakeFailureText();
    ASSERT_FALSE(failure.first.empty());
    ShowPrompt(nullptr, failure.first.c_str(), failure.second.c_str(), MB_OK);  // the dialog, afterwards
    ASSERT_TRUE(AllHeapsValid()) << "round " << round;
  }
  EXPECT_EQ(clicks, 20);
  EXPECT_EQ(engine->GetRenderDeviceCount(), 1u);
  engine->StopRender(kSpeakersId, 0);
  EXPECT_EQ(engine->GetRenderDeviceCount(), 0u);
  EXPECT_TRUE(AllHeapsValid());
}

struct EndpointCase {
  const char* name;
  DWORD state;
  bool known;
  EDataFlow flow;
};
void PrintTo(const EndpointCase& c, std::ostream* os) { *os << c.name; }

class InactiveEndpointTest : public EngineTest, public ::testing::WithParamInterface<EndpointCase> {};

// No mastering voice is asked for an id that is not an active render endpoint (Wine's XAudio2
// crashes there when no audio server runs).
TEST_P(InactiveEndpointTest, NoMasteringVoiceIsCreated) {
  const EndpointCase c = GetParam();
  if (c.known) enumerator->Add(kSpeakersId, L"speakers", c.flow, fake::WineMixFormat())->state = c.state;
  MakeEngine();
  EXPECT_FALSE(engine->StartRender(kSpeakersId, 0));
  EXPECT_EQ(world->masteringCalls.load(), 0);
  EXPECT_TRUE(prompts.Asked().empty()) << "the engine put a box up itself";
  EXPECT_EQ(engine->TakeFailureText().first, L"Could not create XAudio device. Check your app settings.");
}

INSTANTIATE_TEST_SUITE_P(Endpoints, InactiveEndpointTest,
                         ::testing::Values(EndpointCase{"unknown", 0, false, eRender},
                                           EndpointCase{"unplugged", DEVICE_STATE_UNPLUGGED, true, eRender},
                                           EndpointCase{"disabled", DEVICE_STATE_DISABLED, true, eRender},
                                           EndpointCase{"capture", DEVICE_STATE_ACTIVE, true, eCapture}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RenderTest, XAudio2CreateFailureIsLoggedWithItsCode) {
  AddRender(kSpeakersId);
  world->createResult = HRESULT(0x88960001);
  MakeEngine();
  EXPECT_FALSE(engine->StartRender(kSpeakersId, 0));
  EXPECT_TRUE(log.Has("Error initializing XAudio2. Check your DirectX installation."));
  EXPECT_TRUE(log.Has("88960001")) << log.Joined();
  EXPECT_FALSE(engine->PlayBlock(MakePlayBlock(1, 44100, 16, 441), 0));
  EXPECT_EQ(engine->GetRenderDeviceCount(), 0u);
}

TEST_F(RenderTest, FailedSubmissionIsLoggedAndReleased) {
  AddRender(kSpeakersId);
  world->submitResult = HRESULT(0x88960001);
  MakeEngine();
  ASSERT_TRUE(engine->StartRender(kSpeakersId, 0));
  const LONG before = GetLiveBufferRecordCount();
  EXPECT_FALSE(engine->PlayBlock(MakePlayBlock(1, 44100, 16, 441), 0));
  EXPECT_TRUE(log.Has(std::string("Error in XAudio2 SubmitSoundBuffer: 88960001. Device: ") +
                      "{0.0.0.00000000}.{22222222-0000-0000-0000-000000000001}"))
      << log.Joined();
  EXPECT_EQ(GetLiveBufferRecordCount(), before);
}

struct HeaderCase {
  const char* name;
  uint32_t channels, rate, bits, encoding;
  bool accepted;
};
void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.name; }

class PlayHeaderTest : public EngineTest, public ::testing::WithParamInterface<HeaderCase> {};

// Block headers are not trusted: a zero channel count divides by zero, and XAudio2 under Wine takes
// any format.
TEST_P(PlayHeaderTest, OnlyPlayableFormatsReachXAudio2) {
  const HeaderCase c = GetParam();
  AddRender(kSpeakersId);
  MakeEngine();
  ASSERT_TRUE(engine->StartRender(kSpeakersId, 0));
  const LONG before = GetLiveBufferRecordCount();
  CBufferRecord* block = MakePlayBlock(std::max(c.channels, 1u), 8000, 16, 100);
  BufferBlockHeader* h = PlayBlockHeader(block);
  h->channels = c.channels;
  h->sampleRate = c.rate;
  h->bitsPerSample = c.bits;
  h->encoding = c.encoding;
  EXPECT_EQ(engine->PlayBlock(block, 0), c.accepted);
  EXPECT_EQ(world->sourceFormats.size(), c.accepted ? 1u : 0u);
  if (c.accepted && c.channels <= 2) {
    EXPECT_EQ(world->sourceFormats[0].wFormatTag, c.bits == 32 ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM);
    EXPECT_TRUE(world->extensibleFormats.empty());
  } else if (c.accepted) {
    // More than two channels: WAVEFORMATEXTENSIBLE, with the sample type in its subformat.
    ASSERT_EQ(world->extensibleFormats.size(), 1u);
    const WAVEFORMATEXTENSIBLE& x = world->extensibleFormats[0];
    EXPECT_EQ(x.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(x.Format.cbSize, 22);
    EXPECT_EQ(x.Format.nChannels, c.channels);
    EXPECT_EQ(x.Format.nBlockAlign, c.channels * c.bits / 8);
    EXPECT_EQ(x.Samples.wValidBitsPerSample, c.bits);
    EXPECT_EQ(x.SubFormat.Data1, c.bits == 32 ? 3u : 1u);
    if (c.channels == 6) EXPECT_EQ(x.dwChannelMask, 0x3Fu) << "5.1";
  } else {
    EXPECT_EQ(GetLiveBufferRecordCount(), before);
    EXPECT_TRUE(log.HasPrefix("Play block refused")) << log.Joined();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Headers, PlayHeaderTest,
    ::testing::Values(
        HeaderCase{"channels0", 0, 44100, 16, 0, false}, HeaderCase{"channels65", 65, 44100, 16, 0, false},
        HeaderCase{"channels3", 3, 44100, 16, 0, true}, HeaderCase{"channels6", 6, 48000, 16, 0, true},
        HeaderCase{"channels64float", 64, 48000, 32, 0, true}, HeaderCase{"bits0", 1, 44100, 0, 0, false},
        HeaderCase{"bits12", 1, 44100, 12, 0, false}, HeaderCase{"rate999", 1, 999, 16, 0, false},
        HeaderCase{"rate200001", 1, 200001, 16, 0, false}, HeaderCase{"encoding2", 1, 44100, 16, 2, false},
        HeaderCase{"low", 2, 1000, 8, 0, true}, HeaderCase{"high24", 2, 200000, 24, 0, true},
        HeaderCase{"float32", 1, 96000, 32, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RenderTest, TooShortBlockIsRefused) {
  AddRender(kSpeakersId);
  MakeEngine();
  ASSERT_TRUE(engine->StartRender(kSpeakersId, 0));
  CBufferRecord* block = MakePlayBlock(1, 44100, 16, 10);
  block->size = 20;
  EXPECT_FALSE(engine->PlayBlock(block, 0));
  EXPECT_FALSE(engine->PlayBlock(nullptr, 0));
  EXPECT_TRUE(world->sourceFormats.empty());
}

// MP3 bytes (encoding 1) are decoded into a block of the stream's PCM; that block belongs to no
// track and is released when XAudio2 is done with it.
TEST_F(RenderTest, Mp3BlockIsDecodedToPcm) {
  std::vector<short> pcm(22050);
  for (size_t i = 0; i < pcm.size(); ++i)
    pcm[i] = short(16000 * std::sin(2 * M_PI * 440 * double(i) / 44100));
  lame_global_flags* lame = lame_init();
  lame_set_in_samplerate(lame, 44100);
  lame_set_num_channels(lame, 1);
  lame_set_mode(lame, MONO);
  lame_set_brate(lame, 64);
  lame_set_bWriteVbrTag(lame, 0);
  ASSERT_GE(lame_init_params(lame), 0);
  std::vector<unsigned char> mp3(64 * 1024);
  int n = lame_encode_buffer(lame, pcm.data(), nullptr, int(pcm.size()), mp3.data(), int(mp3.size()));
  ASSERT_GT(n, 0);
  n += lame_encode_flush(lame, mp3.data() + n, int(mp3.size()) - n);
  lame_close(lame);
  mp3.resize(size_t(n));

  AddRender(kSpeakersId);
  MakeEngine();
  ASSERT_TRUE(engine->StartRender(kSpeakersId, 0));
  CBufferRecord* block = CreateBufferRecord(uint32_t(mp3.size()) + 48);
  block->kind = 6;
  BufferBlockHeader* h = PlayBlockHeader(block);
  memset(h, 0, sizeof *h);
  h->channels = 1;
  h->sampleRate = 44100;
  h->bitsPerSample = 16;
  h->encoding = 1;
  h->frameCount = 26000;
  memcpy(block->data->data + 48, mp3.data(), mp3.size());
  const LONG before = GetLiveBufferRecordCount();
  ASSERT_TRUE(engine->PlayBlock(block, 0)) << log.Joined();
  ASSERT_EQ(world->submittedAudio.size(), 1u);
  const auto& bytes = world->submittedAudio[0];
  std::vector<float> decoded(bytes.size() / 2);
  for (size_t i = 0; i < decoded.size(); ++i) {
    int16_t s;
    memcpy(&s, &bytes[2 * i], 2);
    decoded[i] = s / 32768.0f;
  }
  EXPECT_GE(decoded.size(), 21000u);
  EXPECT_LE(decoded.size(), 26000u);
  EXPECT_NEAR(Rms(decoded), 16000.0 / 32768 / std::sqrt(2.0), 0.06);
  EXPECT_GT(GoertzelPower(decoded, 44100, 440), 50 * GoertzelPower(decoded, 44100, 880));
  ASSERT_TRUE(Voice()->EndOne());
  EXPECT_EQ(GetLiveBufferRecordCount(), before - 1) << "the decoded block is released, not posted";
  auto got = Collect(WM_SOUND_OUT, 200, [](auto& g) { return !g.empty(); });
  EXPECT_TRUE(got.empty());
  ReleaseAll(got);
}

// Play as a track does (a block back, the next block in) while the device is closed and reopened
// every few tens of milliseconds; the voices end buffers on their own threads, holding their lock
// for a while each time as XAudio2 does while it mixes.
TEST_F(RenderTest, StopAndStartWhilePlayingNeverDeadlock) {
  AddRender(kSpeakersId);
  world->autoEndMs = 1;
  world->holdMs = 2;
  MakeEngine();
  std::atomic<int> progress{0};
  DeadlockWatchdog watchdog(progress, 5000, 50);
  const ULONGLONG end = GetTickCount64() + 3000;
  ULONGLONG nextRestart = 0;
  int returned = 0;
  while (GetTickCount64() < end) {
    if (GetTickCount64() >= nextRestart) {
      engine->StopRender(kSpeakersId, 0);
      engine->StartRender(kSpeakersId, 0);
      engine->PlayBlock(MakePlayBlock(1, 44100, 16, 441), 0);
      engine->PlayBlock(MakePlayBlock(1, 44100, 16, 441), 0);
      nextRestart = GetTickCount64() + 40;
      ++progress;
    }
    MSG msg;
    if (PeekMessageW(&msg, nullptr, WM_SOUND_OUT, WM_SOUND_OUT, PM_REMOVE)) {
      auto* r = Played(msg.wParam);
      ReleaseBufferRecord(r);
      engine->PlayBlock(MakePlayBlock(1, 44100, 16, 441), 0);
      ++returned;
      ++progress;
    } else {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_POSTMESSAGE);
    }
  }
  EXPECT_GT(returned, 100);
  engine->StopRender(kSpeakersId, 0);
}

}  // namespace
