// Capture through fakes of the WASAPI objects: block sizes, conversion of every kind of mix format,
// packets larger than the block, silent packets, stop, the end marker, failures and invalidation.
#include <algorithm>
#include <map>

#include "audio/tests/EngineFixture.h"

using namespace testing_support;

namespace {

using CaptureTest = EngineTest;

uint32_t TotalFrames(const std::vector<WPARAM>& got) {
  uint32_t n = 0;
  for (WPARAM w : got)
    if (w) n += CaptureBlockHeader(reinterpret_cast<CBufferRecord*>(w))->frameCount;
  return n;
}

// 48 kHz stereo float into a 44.1 kHz mono engine: the block closes at 4,800 mix frames (ten
// 10 ms packets) and comes out as about 4,410 float frames with the documented header.
TEST_F(CaptureTest, BlockClosesAtOneBufferLengthAndCarriesItsHeader) {
  auto mix = fake::WineMixFormat(48000);
  fake::Device* mic = AddCapture(kMicId, mix);
  MakeEngine(1, 44100);
  engine->SetTagKeys01(0xAB, 0xCD);
  engine->StartCapture(kMicId, 0, 1);
  ASSERT_EQ(engine->GetCaptureDeviceCount(), 1u) << log.Joined();
  fake::AudioClient* client = mic->client;
  EXPECT_EQ(client->initMode, AUDCLNT_SHAREMODE_SHARED);
  EXPECT_EQ(client->initFlags, DWORD(AUDCLNT_STREAMFLAGS_EVENTCALLBACK));
  EXPECT_EQ(client->initDuration, 4000000);
  EXPECT_NE(client->eventHandle, nullptr);
  EXPECT_TRUE(client->started);

  for (int i = 0; i < 9; ++i) Stream(mic)->Push(SinePacket(mix, 480, 480u * i, 1000, 0.5));
  ASSERT_TRUE(WaitDrained(Stream(mic)));
  auto none = Collect(WM_SOUND_IN, 150, [](auto& g) { return !g.empty(); });
  EXPECT_TRUE(none.empty()) << "a block before 4,800 frames";
  ReleaseAll(none);

  Stream(mic)->Push(SinePacket(mix, 480, 480u * 9, 1000, 0.5));
  auto got = Collect(WM_SOUND_IN, 2000, [](auto& g) { return !g.empty(); });
  ASSERT_EQ(got.size(), 1u);
  auto* r = reinterpret_cast<CBufferRecord*>(got[0]);
  const BufferBlockHeader* h = CaptureBlockHeader(r);
  EXPECT_EQ(r->kind, 6u);
  EXPECT_EQ(r->trackIndex, -1);
  EXPECT_EQ(r->reserved2, 2u);
  EXPECT_EQ(h->channels, 1u);
  EXPECT_EQ(h->sampleRate, 44100u);
  EXPECT_EQ(h->streamValue, 0xABu);
  EXPECT_EQ(h->streamKey, 0u);
  EXPECT_EQ(h->contextKey, 0u);
  EXPECT_EQ(h->sourceKey, 0u);
  EXPECT_EQ(h->encoding, 1u);
  EXPECT_EQ(h->bitsPerSample, 0u);
  EXPECT_EQ(h->timestamp, 0u);
  EXPECT_GT(h->frameCount, 4300u);
  EXPECT_LE(h->frameCount, 4410u);
  EXPECT_EQ(r->payloadBytes, h->frameCount * 4);
  EXPECT_EQ(r->size, r->payloadBytes + 64);
  ReleaseAll(got);
}

struct MixCase {
  const char* name;
  std::vector<uint8_t> mix;
};

class MixFormatTest : public EngineTest, public ::testing::WithParamInterface<int> {};

std::vector<MixCase> MixCases() {
  return {
      {"float32 stereo 48k", fake::MixFormat(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32)},
      {"pcm16 mono 44.1k", fake::MixFormat(WAVE_FORMAT_PCM, 1, 44100, 16)},
      {"pcm8 mono 22.05k", fake::MixFormat(WAVE_FORMAT_PCM, 1, 22050, 8)},
      {"pcm24 stereo 48k", fake::MixFormat(WAVE_FORMAT_PCM, 2, 48000, 24)},
      {"pcm32 ext stereo 96k", fake::MixFormat(0, 2, 96000, 32, 0x3, true, false)},
      {"float64 ext stereo 44.1k", fake::MixFormat(0, 2, 44100, 64, 0x3, true, true)},
      {"float32 ext 5.1 48k", fake::MixFormat(0, 6, 48000, 32, 0x3F, true, true)},
      {"float32 ext quad 44.1k", fake::MixFormat(0, 4, 44100, 32, 0x33, true, true)},
      {"pcm16 ext 7.1 no mask", fake::MixFormat(0, 8, 48000, 16, 0, true, false)},
  };
}

// Every mix format is read by its own sample type and channel count: the tone keeps its pitch,
// its length and a sane level (reading PCM as float, or six channels as two, breaks all three).
TEST_P(MixFormatTest, ToneSurvivesConversion) {
  const MixCase c = MixCases()[GetParam()];
  SCOPED_TRACE(c.name);
  const auto* f = reinterpret_cast<const WAVEFORMATEX*>(c.mix.data());
  fake::Device* mic = AddCapture(kMicId, c.mix);
  MakeEngine(2, 44100);
  engine->StartCapture(kMicId, 0, 1);
  ASSERT_EQ(engine->GetCaptureDeviceCount(), 1u) << log.Joined();
  const UINT32 packet = f->nSamplesPerSec / 100;
  const int packets = 40;  // 400 ms
  for (int i = 0; i < packets; ++i)
    Stream(mic)->Push(SinePacket(c.mix, packet, uint64_t(packet) * i, 1000, 0.5));
  ASSERT_TRUE(WaitDrained(Stream(mic)));
  engine->StopCapture(kMicId, 0);
  auto got = Collect(WM_SOUND_IN, 3000, HasNull);
  ASSERT_TRUE(HasNull(got));

  std::vector<float> left;
  for (WPARAM w : got) {
    if (!w) continue;
    auto s = Samples(w);
    for (size_t i = 0; i < s.size(); i += 2) left.push_back(s[i]);
  }
  const double expected = 0.4 * 44100;
  EXPECT_NEAR(double(left.size()), expected, expected * 0.02);
  float peak = 0;
  for (float v : left) peak = std::max(peak, std::fabs(v));
  EXPECT_LE(peak, 1.01f);
  EXPECT_GT(Rms(left), 0.1);
  const double tone = GoertzelPower(left, 44100, 1000);
  for (double other : {333.3, 500.0, 1500.0, 2000.0, 3000.0})
    EXPECT_GT(tone, 50 * GoertzelPower(left, 44100, other)) << other << " Hz";
  ReleaseAll(got);
}

INSTANTIATE_TEST_SUITE_P(Formats, MixFormatTest, ::testing::Range(0, int(MixCases().size())));

// A packet larger than the room left in the block is not written past its end: the block is handed
// over early and every frame arrives once, in order.
TEST_F(CaptureTest, LargerLaterPacketClosesTheBlockEarly) {
  auto mix = fake::WineMixFormat(44100);
  fake::Device* mic = AddCapture(kMicId, mix);
  MakeEngine(2, 44100);
  engine->StartCapture(kMicId, 0, 1);
  ASSERT_EQ(engine->GetCaptureDeviceCount(), 1u);
  // A ramp, so that any lost, doubled or overwritten frame shows.
  auto ramp = [](UINT32 frames, uint32_t start) {
    fake::Packet p;
    p.frames = frames;
    p.bytes.resize(frames * 8);
    float* s = reinterpret_cast<float*>(p.bytes.data());
    for (UINT32 i = 0; i < frames; ++i) s[2 * i] = s[2 * i + 1] = float(start + i) / 65536.0f;
    return p;
  };
  Stream(mic)->Push(ramp(10, 0));
  ASSERT_TRUE(WaitDrained(Stream(mic)));  // the block is sized for 10 + 4,410 frames
  Stream(mic)->Push(ramp(9000, 10));
  Stream(mic)->Push(ramp(20000, 9010));
  ASSERT_TRUE(WaitDrained(Stream(mic)));
  engine->StopCapture(kMicId, 0);
  auto got = Collect(WM_SOUND_IN, 3000, HasNull);
  ASSERT_TRUE(HasNull(got));
  EXPECT_EQ(CaptureBlockHeader(reinterpret_cast<CBufferRecord*>(got[0]))->frameCount, 10u)
      << "the first block goes before the large packet";
  std::vector<float> left;
  for (WPARAM w : got) {
    if (!w) continue;
    auto s = Samples(w);
    for (size_t i = 0; i < s.size(); i += 2) left.push_back(s[i]);
  }
  ASSERT_EQ(left.size(), 29010u);
  for (size_t i = 0; i < left.size(); ++i) ASSERT_NEAR(left[i], float(i) / 65536.0f, 1e-6) << i;
  ReleaseAll(got);
}

TEST_F(CaptureTest, SilentPacketsAreDeliveredAsZeros) {
  auto mix = fake::WineMixFormat(44100);
  fake::Device* mic = AddCapture(kMicId, mix);
  MakeEngine(2, 44100);
  engine->StartCapture(kMicId, 0, 1);
  fake::Packet loud = SinePacket(mix, 2205, 0, 1000, 0.9);
  loud.flags = AUDCLNT_BUFFERFLAGS_SILENT;
  fake::Packet noData;
  noData.frames = 2205;
  noData.flags = AUDCLNT_BUFFERFLAGS_SILENT;
  Stream(mic)->Push(loud);
  Stream(mic)->Push(noData);
  auto got = Collect(WM_SOUND_IN, 2000, [](auto& g) { return !g.empty(); });
  ASSERT_EQ(got.size(), 1u);
  auto s = Samples(got[0]);
  EXPECT_EQ(s.size(), 4410u * 2);
  for (float v : s) ASSERT_EQ(v, 0.0f);
  ReleaseAll(got);
}

// At stop the partial block is delivered and the resampler drained: nothing the microphone heard
// is lost, and the end marker comes after the last block.
TEST_F(CaptureTest, StopDeliversTheRestThenTheEndMarker) {
  auto mix = fake::WineMixFormat(48000);
  fake::Device* mic = AddCapture(kMicId, mix);
  MakeEngine(1, 44100);
  engine->StartCapture(kMicId, 0, 1);
  Stream(mic)->Push(SinePacket(mix, 1000, 0, 1000, 0.5));
  ASSERT_TRUE(WaitDrained(Stream(mic)));
  engine->StopCapture(kMicId, 0);
  EXPECT_EQ(engine->GetCaptureDeviceCount(), 0u);
  auto got = Collect(WM_SOUND_IN, 2000, HasNull);
  auto more = Collect(WM_SOUND_IN, 200, [](auto&) { return false; });
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), 0u) << "the end marker comes last";
  EXPECT_TRUE(more.empty()) << "one end marker, nothing after it";
  EXPECT_NEAR(double(TotalFrames(got)), 1000.0 * 44100 / 48000, 2.0);
  ReleaseAll(got);
  ReleaseAll(more);
}

struct GapCase {
  const char* name;
  DWORD flags;       // of the packet after the gap
  uint64_t silence;  // mix frames of silence expected in its place
};

class DiscontinuityTest : public EngineTest, public ::testing::WithParamInterface<GapCase> {};

// A packet flagged as a discontinuity after the endpoint's position jumped: the lost frames come
// back as silence, so the recording keeps its time. Without the flag a jump is no gap.
TEST_P(DiscontinuityTest, GapBecomesSilence) {
  auto mix = fake::WineMixFormat(48000);
  fake::Device* mic = AddCapture(kMicId, mix);
  MakeEngine(1, 44100);
  engine->StartCapture(kMicId, 0, 1);
  fake::Packet first = SinePacket(mix, 4800, 0, 1000, 0.5);
  first.devicePosition = 0;
  fake::Packet second = SinePacket(mix, 4800, 4800, 1000, 0.5);
  second.devicePosition = 4800 + 2400;  // 2,400 frames lost
  second.flags = GetParam().flags;
  Stream(mic)->Push(first);
  Stream(mic)->Push(second);
  ASSERT_TRUE(WaitDrained(Stream(mic)));
  engine->StopCapture(kMicId, 0);
  auto got = Collect(WM_SOUND_IN, 2000, HasNull);
  EXPECT_NEAR(double(TotalFrames(got)), double(9600 + GetParam().silence) * 44100 / 48000, 2.0);
  EXPECT_EQ(uint64_t(engine->insertedSilenceFrames.load()), GetParam().silence);
  if (GetParam().silence) EXPECT_TRUE(log.Has("Capture discontinuity: 2400 frames of silence put in"));
  ReleaseAll(got);
}

INSTANTIATE_TEST_SUITE_P(Capture, DiscontinuityTest,
                         ::testing::Values(GapCase{"Flagged", AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY, 2400},
                                           GapCase{"NotFlagged", 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CaptureTest, EndMarkerFollowsTheLastStreamOfTheRecording) {
  fake::Device* mic = AddCapture(kMicId);
  fake::Device* line = AddCapture(kLineId, fake::WineMixFormat(), L"line");
  MakeEngine(1, 44100);
  engine->StartCapture(kMicId, 0, 1);
  engine->StartCapture(kLineId, 0, 3);
  ASSERT_EQ(engine->GetCaptureDeviceCount(), 2u);
  Stream(mic)->Push(SinePacket(mic->mix, 500, 0, 1000, 0.5));
  Stream(line)->Push(SinePacket(line->mix, 500, 0, 1000, 0.5));
  ASSERT_TRUE(WaitDrained(Stream(mic)));
  ASSERT_TRUE(WaitDrained(Stream(line)));
  engine->StopCapture(kMicId, 0);
  auto first = Collect(WM_SOUND_IN, 300, [](auto&) { return false; });
  EXPECT_FALSE(HasNull(first)) << "a stream is still open";
  engine->StopCapture(kLineId, 0);
  engine->StopCapture(kLineId, 0);  // not open any more: no second marker
  auto second = Collect(WM_SOUND_IN, 300, [](auto&) { return false; });
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(std::count(second.begin(), second.end(), WPARAM(0)), 1);
  EXPECT_EQ(second.back(), 0u);
  ReleaseAll(first);
  ReleaseAll(second);
}

// An unplugged device closes its stream, so the track stops waiting for it.
TEST_F(CaptureTest, InvalidatedDeviceClosesItsStream) {
  fake::Device* mic = AddCapture(kMicId);
  MakeEngine(1, 44100);
  engine->StartCapture(kMicId, 0, 1);
  ASSERT_EQ(engine->GetCaptureDeviceCount(), 1u);
  Stream(mic)->SetStickyError(AUDCLNT_E_DEVICE_INVALIDATED);
  auto got = Collect(WM_SOUND_IN, 2000, HasNull);
  EXPECT_TRUE(HasNull(got));
  EXPECT_EQ(engine->GetCaptureDeviceCount(), 0u);
  EXPECT_EQ(log.Count("Stopping:"), 1);
  EXPECT_EQ(log.Count("Capture device lost, recording ends:"), 1);
  engine->StopCapture(kMicId, 0);
  auto after = Collect(WM_SOUND_IN, 200, [](auto&) { return false; });
  EXPECT_TRUE(after.empty());
  ReleaseAll(got);
}

struct FailureCase {
  const char* name;
  fake::FailAt at;
  const char* line;
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class CaptureFailureTest : public EngineTest, public ::testing::WithParamInterface<FailureCase> {};

// Every failing step logs its line and leaves the id closed, with nothing leaked.
TEST_P(CaptureFailureTest, FailedStepClosesTheDevice) {
  fake::Device* mic = AddCapture(kMicId);
  mic->fail = GetParam().at;
  MakeEngine(1, 44100);
  engine->StartCapture(kMicId, 0, 1);
  EXPECT_TRUE(log.Has(GetParam().line)) << log.Joined();
  EXPECT_EQ(engine->GetCaptureDeviceCount(), 0u);
  EXPECT_EQ(log.Count("Starting:"), 1);
  EXPECT_EQ(log.Count("Stopping:"), 1);
  // Closed for real: the id opens again.
  mic->fail = fake::FailAt::None;
  engine->StartCapture(kMicId, 0, 1);
  EXPECT_EQ(engine->GetCaptureDeviceCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CaptureFailureTest,
    ::testing::Values(
        FailureCase{"Activate", fake::FailAt::Activate,
                    "Could not activate capture AudioClient. Check that device is present."},
        FailureCase{"GetMixFormat", fake::FailAt::GetMixFormat,
                    "Could not get mix format. Check that device is operational."},
        FailureCase{"Initialize", fake::FailAt::Initialize, "Could not initialize capture device"},
        FailureCase{"SetEventHandle", fake::FailAt::SetEventHandle, "Could not SetEventHandle"},
        FailureCase{"GetBufferSize", fake::FailAt::GetBufferSize, "Could not GetBufferSize"},
        FailureCase{"GetService", fake::FailAt::GetService, "Could not GetService IAudioCaptureClient"},
        FailureCase{"Start", fake::FailAt::Start, "Could not Start AudioClient"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CaptureTest, UnknownIdAndUnreadableMixFormatFail) {
  AddCapture(kLineId, fake::MixFormat(WAVE_FORMAT_PCM, 2, 48000, 12));
  MakeEngine(1, 44100);
  engine->StartCapture(kMicId, 0, 1);
  EXPECT_TRUE(log.Has("Could not create capture Device. Check that device is present.")) << log.Joined();
  engine->StartCapture(kLineId, 0, 1);
  EXPECT_TRUE(log.Has("Could not use the capture mix format")) << log.Joined();
  EXPECT_EQ(engine->GetCaptureDeviceCount(), 0u);
}

// Loopback follows the endpoint's data flow, never the tag.
TEST_F(CaptureTest, RenderEndpointIsCapturedInLoopback) {
  fake::Device* speakers = AddRender(kSpeakersId);
  fake::Device* mic = AddCapture(kMicId);
  MakeEngine(1, 44100);
  engine->StartCapture(kSpeakersId, 0, 1);
  engine->StartCapture(kMicId, 0, 3);
  ASSERT_EQ(engine->GetCaptureDeviceCount(), 2u);
  EXPECT_EQ(speakers->client->initFlags,
            DWORD(AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_LOOPBACK));
  EXPECT_EQ(mic->client->initFlags, DWORD(AUDCLNT_STREAMFLAGS_EVENTCALLBACK));
}

// Source keys count the open streams of the stream index when a stream opens.
TEST_F(CaptureTest, SourceKeysFollowTheOpeningOrder) {
  fake::Device* mic = AddCapture(kMicId);
  fake::Device* line = AddCapture(kLineId, fake::WineMixFormat(), L"line");
  MakeEngine(1, 44100);
  auto keyOf = [&](fake::Device* d) {
    DrainMessages(WM_SOUND_IN);
    Stream(d)->Push(SinePacket(d->mix, 4410, 0, 1000, 0.5));
    auto got = Collect(WM_SOUND_IN, 2000, [](auto& g) { return !g.empty(); });
    uint32_t key = got.empty() ? 99 : CaptureBlockHeader(reinterpret_cast<CBufferRecord*>(got[0]))->sourceKey;
    ReleaseAll(got);
    return key;
  };
  engine->StartCapture(kMicId, 0, 1);
  engine->StartCapture(kLineId, 0, 3);
  EXPECT_EQ(keyOf(mic), 0u);
  EXPECT_EQ(keyOf(line), 1u);
  engine->StopCapture(kMicId, 0);
  engine->StartCapture(kMicId, 0, 1);
  EXPECT_EQ(keyOf(mic), 1u);
}

TEST_F(CaptureTest, EmptyIdsDuplicatesAndUnknownStopsChangeNothing) {
  fake::Device* mic = AddCapture(kMicId);
  MakeEngine(1, 44100);
  log.Clear();
  engine->StartCapture(L"", 0, 1);
  EXPECT_TRUE(log.Lines().empty());
  engine->StartCapture(kMicId, 0, 1);
  engine->StartCapture(kMicId, 0, 1);
  EXPECT_EQ(engine->GetCaptureDeviceCount(), 1u);
  EXPECT_EQ(mic->activations, 1);
  EXPECT_EQ(log.Count("Starting:"), 1);
  engine->StopCapture(kLineId, 0);
  EXPECT_EQ(engine->GetCaptureDeviceCount(), 1u);
  EXPECT_EQ(log.Count("Stopping:"), 0);
}

// An engine whose format was never set has a rate of 0; capture must refuse instead of dividing by it.
TEST_F(CaptureTest, NoSoundFormatRefusesCapture) {
  AddCapture(kMicId);
  MakeEngine(1, 44100, false);
  engine->StartCapture(kMicId, 0, 1);
  EXPECT_EQ(engine->GetCaptureDeviceCount(), 0u);
  EXPECT_TRUE(log.Has("Could not start capture: no sound format set"));
}

// Start and stop while packets flow: blocks in flight keep their stream alive until converted.
TEST_F(CaptureTest, StartStopUnderTrafficLeaksNothing) {
  fake::Device* mic = AddCapture(kMicId, fake::WineMixFormat(48000));
  MakeEngine(1, 44100);
  int markers = 0;
  for (int round = 0; round < 30; ++round) {
    engine->StartCapture(kMicId, 0, 1);
    ASSERT_EQ(engine->GetCaptureDeviceCount(), 1u);
    for (int i = 0; i < 12; ++i) Stream(mic)->Push(SinePacket(mic->mix, 480, 480u * i, 1000, 0.5));
    Sleep(round % 3 == 0 ? 0 : 25);
    engine->StopCapture(kMicId, 0);
    auto got = Collect(WM_SOUND_IN, 2000, HasNull);
    markers += HasNull(got);
    ReleaseAll(got);
  }
  EXPECT_EQ(markers, 30);
}

TEST_F(CaptureTest, CheckSendDelayLogsGapsOfMoreThanTwoBuffers) {
  AddCapture(kMicId);
  MakeEngine(1, 44100);
  engine->StartCapture(kMicId, 0, 1);
  CBufferRecord* r = CreateBufferRecord(64);
  memset(CaptureBlockHeader(r), 0, sizeof(BufferBlockHeader));
  Sleep(250);
  engine->CheckSendDelay(r);
  EXPECT_TRUE(log.HasPrefix("Send stream double delay: ")) << log.Joined();
  log.Clear();
  engine->CheckSendDelay(r);
  EXPECT_FALSE(log.HasPrefix("Send stream double delay: "));
  ReleaseBufferRecord(r);
}

}  // namespace
