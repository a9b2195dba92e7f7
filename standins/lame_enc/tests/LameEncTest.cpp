// LAME_ENC.DLL through its ordinals: stream set-up, refusals, and the shape of the MP3 it writes.
#include "standins/lame_enc/LameEnc.h"
#include "standins/lame_enc/LameTag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// GetProcAddress gives a FARPROC; go through a plain function pointer to the real type.
template <typename Fn>
Fn ProcAs(FARPROC proc) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

struct LameEncApi {
  HMODULE module = nullptr;
  LameEncOpenStreamFn open = nullptr;
  LameEncEncodeChunkFn encode = nullptr;
  LameEncFlushStreamFn flush = nullptr;
  LameEncCloseStreamFn close = nullptr;
};

const LameEncApi& Api() {
  static LameEncApi api = [] {
    LameEncApi a;
    a.module = LoadLibraryW(LAMEENC_DLL_NAME);
    if (a.module) {
      a.open = ProcAs<LameEncOpenStreamFn>(GetProcAddress(a.module, MAKEINTRESOURCEA(LAMEENC_ORDINAL_OPEN)));
      a.encode =
          ProcAs<LameEncEncodeChunkFn>(GetProcAddress(a.module, MAKEINTRESOURCEA(LAMEENC_ORDINAL_ENCODE)));
      a.flush =
          ProcAs<LameEncFlushStreamFn>(GetProcAddress(a.module, MAKEINTRESOURCEA(LAMEENC_ORDINAL_FLUSH)));
      a.close =
          ProcAs<LameEncCloseStreamFn>(GetProcAddress(a.module, MAKEINTRESOURCEA(LAMEENC_ORDINAL_CLOSE)));
    }
    return a;
  }();
  return api;
}

LameEncConfig MakeConfig(uint32_t rate, uint32_t channels) {
  LameEncConfig config;
  std::memset(&config, 0, sizeof config);
  config.kind = LAMEENC_KIND_MP3;
  config.samplesPerSecond = rate;
  config.mode = channels == 1 ? LAMEENC_MODE_MONO : LAMEENC_MODE_STEREO;
  config.bitRateKbps = static_cast<uint16_t>(64 * channels);
  return config;
}

std::vector<int16_t> Tone(uint32_t rate, uint32_t channels, uint32_t frames) {
  std::vector<int16_t> pcm(static_cast<size_t>(frames) * channels);
  for (uint32_t i = 0; i < frames; ++i)
    for (uint32_t c = 0; c < channels; ++c)
      pcm[i * channels + c] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * (440.0 + 220 * c) * i / rate));
  return pcm;
}

// Encodes the samples in pieces of the size the stream asks for, flushes and closes.
std::vector<uint8_t> EncodeAll(const LameEncConfig& config, const std::vector<int16_t>& pcm) {
  const LameEncApi& api = Api();
  uint32_t perCall = 0, bufferSize = 0;
  LameEncStream stream = nullptr;
  EXPECT_EQ(api.open(&config, &perCall, &bufferSize, &stream), LAMEENC_OK);
  std::vector<uint8_t> out, buffer(bufferSize);
  for (size_t at = 0; at < pcm.size();) {
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(perCall, pcm.size() - at));
    uint32_t produced = 0;
    EXPECT_EQ(api.encode(stream, n, pcm.data() + at, buffer.data(), &produced), LAMEENC_OK);
    EXPECT_LE(produced, bufferSize);
    out.insert(out.end(), buffer.begin(), buffer.begin() + produced);
    at += n;
  }
  uint32_t produced = 0;
  EXPECT_EQ(api.flush(stream, buffer.data(), &produced), LAMEENC_OK);
  out.insert(out.end(), buffer.begin(), buffer.begin() + produced);
  EXPECT_EQ(api.close(stream), LAMEENC_OK);
  return out;
}

TEST(LameEncStream, OpensAtTheRequestedFormat) {
  ASSERT_TRUE(Api().open && Api().encode && Api().flush && Api().close)
      << "LAME_ENC.DLL or an ordinal is missing";
  struct Case {
    uint32_t rate, channels, frameSize;
  } cases[] = {{44100, 1, 1152}, {44100, 2, 1152}, {48000, 2, 1152},
               {22050, 1, 576},  {16000, 2, 576},  {8000, 1, 576}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.channels << " channels");
    LameEncConfig config = MakeConfig(c.rate, c.channels);
    uint32_t perCall = 0, bufferSize = 0;
    LameEncStream stream = nullptr;
    ASSERT_EQ(Api().open(&config, &perCall, &bufferSize, &stream), LAMEENC_OK);
    EXPECT_NE(stream, nullptr);
    EXPECT_EQ(perCall, c.frameSize * c.channels);
    EXPECT_GE(bufferSize, 7200u);  // a flush needs that much
    std::vector<uint8_t> buffer(bufferSize);
    uint32_t produced = 1;
    EXPECT_EQ(Api().flush(stream, buffer.data(), &produced), LAMEENC_OK);
    EXPECT_EQ(Api().close(stream), LAMEENC_OK);
  }
}

TEST(LameEncStream, RefusesConfigurationsItCannotEncode) {
  struct Case {
    const char* what;
    void (*change)(LameEncConfig&);
  } cases[] = {
      {"kind other than MP3", [](LameEncConfig& c) { c.kind = 1; }},
      {"rate 0", [](LameEncConfig& c) { c.samplesPerSecond = 0; }},
      {"bit rate 0", [](LameEncConfig& c) { c.bitRateKbps = 0; }},
      {"joint stereo mode", [](LameEncConfig& c) { c.mode = 1; }},
      {"unknown mode", [](LameEncConfig& c) { c.mode = 7; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LameEncConfig config = MakeConfig(44100, 2);
    c.change(config);
    uint32_t perCall = 0, bufferSize = 0;
    LameEncStream stream = reinterpret_cast<LameEncStream>(1);
    EXPECT_EQ(Api().open(&config, &perCall, &bufferSize, &stream), LAMEENC_ERR_INVALID_FORMAT);
    EXPECT_EQ(stream, nullptr);
  }
  LameEncConfig config = MakeConfig(44100, 1);
  uint32_t perCall = 0, bufferSize = 0;
  LameEncStream stream = nullptr;
  EXPECT_EQ(Api().open(nullptr, &perCall, &bufferSize, &stream), LAMEENC_ERR_INVALID_PARAM);
  EXPECT_EQ(Api().open(&config, nullptr, &bufferSize, &stream), LAMEENC_ERR_INVALID_PARAM);
  EXPECT_EQ(Api().open(&config, &perCall, &bufferSize, nullptr), LAMEENC_ERR_INVALID_PARAM);
}

TEST(LameEncStream, RefusesHandlesItDidNotOpenOrAlreadyClosed) {
  LameEncConfig config = MakeConfig(44100, 1);
  uint32_t perCall = 0, bufferSize = 0;
  LameEncStream stream = nullptr;
  ASSERT_EQ(Api().open(&config, &perCall, &bufferSize, &stream), LAMEENC_OK);
  ASSERT_EQ(Api().close(stream), LAMEENC_OK);

  int notAStream[64] = {};
  std::vector<uint8_t> buffer(bufferSize);
  std::vector<int16_t> pcm(perCall);
  for (LameEncStream bad :
       {static_cast<LameEncStream>(nullptr), stream, reinterpret_cast<LameEncStream>(notAStream)}) {
    uint32_t produced = 99;
    EXPECT_EQ(Api().encode(bad, perCall, pcm.data(), buffer.data(), &produced), LAMEENC_ERR_INVALID_HANDLE);
    EXPECT_EQ(produced, 0u);
    EXPECT_EQ(Api().flush(bad, buffer.data(), &produced), LAMEENC_ERR_INVALID_HANDLE);
    EXPECT_EQ(Api().close(bad), LAMEENC_ERR_INVALID_HANDLE);
  }
}

TEST(LameEncStream, RefusesPiecesThatDoNotFitAndStaysUsable) {
  LameEncConfig config = MakeConfig(44100, 2);
  uint32_t perCall = 0, bufferSize = 0;
  LameEncStream stream = nullptr;
  ASSERT_EQ(Api().open(&config, &perCall, &bufferSize, &stream), LAMEENC_OK);
  std::vector<int16_t> pcm = Tone(44100, 2, perCall);  // twice what one call takes
  std::vector<uint8_t> buffer(bufferSize);
  uint32_t produced = 0;
  EXPECT_EQ(Api().encode(stream, perCall + 2, pcm.data(), buffer.data(), &produced),
            LAMEENC_ERR_INVALID_PARAM);
  EXPECT_EQ(Api().encode(stream, 3, pcm.data(), buffer.data(), &produced), LAMEENC_ERR_INVALID_PARAM)
      << "half a stereo frame";
  EXPECT_EQ(Api().encode(stream, 4, nullptr, buffer.data(), &produced), LAMEENC_ERR_INVALID_PARAM);
  EXPECT_EQ(Api().encode(stream, 4, pcm.data(), nullptr, &produced), LAMEENC_ERR_INVALID_PARAM);
  EXPECT_EQ(Api().encode(stream, 0, nullptr, buffer.data(), &produced), LAMEENC_OK);
  EXPECT_EQ(produced, 0u);

  uint32_t total = 0;
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(Api().encode(stream, perCall, pcm.data(), buffer.data(), &produced), LAMEENC_OK);
    total += produced;
  }
  ASSERT_EQ(Api().flush(stream, buffer.data(), &produced), LAMEENC_OK);
  total += produced;
  EXPECT_GT(total, 0u);
  // Flushed: no more samples; a second flush has nothing left to write.
  EXPECT_EQ(Api().encode(stream, perCall, pcm.data(), buffer.data(), &produced), LAMEENC_ERR_ENCODE);
  EXPECT_EQ(Api().flush(stream, buffer.data(), &produced), LAMEENC_OK);
  EXPECT_EQ(produced, 0u);
  EXPECT_EQ(Api().close(stream), LAMEENC_OK);
}

// An Info frame with the encoder delay in its LAME extension, then frame after frame of sound to
// the last byte: no ID3 tag before, no ID3v1 after.
TEST(LameEncOutput, InfoFrameWithTheDelayThenPlainFrames) {
  for (uint32_t channels : {1u, 2u}) {
    SCOPED_TRACE(testing::Message() << channels << " channels");
    std::vector<uint8_t> mp3 = EncodeAll(MakeConfig(44100, channels), Tone(44100, channels, 22051));
    ASSERT_GT(mp3.size(), 4u);
    size_t at = 0, frames = 0;
    while (at + 4 <= mp3.size()) {
      size_t length = Layer3FrameLength(&mp3[at]);
      ASSERT_NE(length, 0u) << "no frame header at byte " << at;
      const int mode = mp3[at + 3] >> 6;
      EXPECT_EQ(mode, channels == 1 ? 3 : 0) << "channel mode of frame " << frames;
      EXPECT_EQ(mp3[at + 2] >> 4, channels == 1 ? 5 : 9) << "bit rate index (64 or 128 kbit/s)";
      // Only the first frame is a tag.
      const std::string tag(reinterpret_cast<const char*>(&mp3[at + 4 + (channels == 1 ? 17 : 32)]), 4);
      EXPECT_EQ(tag == "Info" || tag == "Xing", frames == 0) << "frame " << frames;
      at += length;
      ++frames;
    }
    EXPECT_EQ(at, mp3.size());
    // The Info frame and 22,051 frames plus the encoder delay in at least 20 frames of 1,152.
    EXPECT_GE(frames, 21u);

    // Silent side information, "Info" with no optional fields (the length is not known while the
    // stream is written), then the LAME extension: version, and the delay of 576 with no padding.
    const size_t side = channels == 1 ? 17 : 32;
    const uint8_t* info = mp3.data() + 4 + side;
    EXPECT_TRUE(std::all_of(mp3.begin() + 4, mp3.begin() + 4 + side, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(info), 4), "Info");
    EXPECT_EQ(info[4] | info[5] | info[6] | info[7], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(info + 8), 4), "LAME");
    const uint32_t delays = uint32_t(info[8 + 21]) << 16 | uint32_t(info[8 + 22]) << 8 | info[8 + 23];
    EXPECT_EQ(delays >> 12, 576u);
    EXPECT_EQ(delays & 4095, 0u);
    // The tag's CRC-16 covers the frame up to it.
    const size_t crcAt = size_t(info + 8 + 34 - mp3.data());
    uint16_t crc = 0;
    for (size_t i = 0; i < crcAt; ++i) {
      crc ^= mp3[i];
      for (int b = 0; b < 8; ++b) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    EXPECT_EQ(mp3[crcAt] << 8 | mp3[crcAt + 1], crc);
  }
}

TEST(LameEncOutput, StreamsInParallelThreadsMatchOneAlone) {
  const LameEncConfig config = MakeConfig(44100, 2);
  const std::vector<int16_t> pcm = Tone(44100, 2, 44100);
  const std::vector<uint8_t> alone = EncodeAll(config, pcm);
  std::vector<uint8_t> results[4];
  std::vector<std::thread> threads;
  for (auto& r : results) threads.emplace_back([&] { r = EncodeAll(config, pcm); });
  for (auto& t : threads) t.join();
  for (const auto& r : results) EXPECT_EQ(r, alone);
}

}  // namespace
