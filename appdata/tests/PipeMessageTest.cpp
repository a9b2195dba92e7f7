// The capture pipe's frames: the exact bytes of what the recorder sends, the checks on what it
// receives, and when a Student recording is streamed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "appdata/PipeMessage.h"
#include "tests/support/TestBytes.h"

namespace {

void Put(std::vector<uint8_t>& v, uint32_t value) {
  for (int i = 0; i < 4; ++i) v.push_back(uint8_t(value >> (8 * i)));
}

uint32_t At(const std::vector<uint8_t>& v, size_t offset) {
  uint32_t value;
  memcpy(&value, v.data() + offset, 4);
  return value;
}

// A frame: length word (given, or the true one), type, payload words and bytes.
std::vector<uint8_t> Frame(uint32_t type, const std::vector<uint32_t>& words,
                           const std::vector<uint8_t>& tail = {}, int64_t length = -1) {
  std::vector<uint8_t> f;
  Put(f, 0);
  Put(f, type);
  for (uint32_t w : words) Put(f, w);
  f.insert(f.end(), tail.begin(), tail.end());
  const uint32_t len = length >= 0 ? uint32_t(length) : uint32_t(f.size() - 4);
  memcpy(f.data(), &len, 4);
  return f;
}

TEST(PipeMessageBuild, SentFramesHaveTheirExactBytes) {
  EXPECT_EQ(BuildHelloFrame(), FromHex("1a000000 36000000 0000000000000000 5175696c6c6d6572696469616e00"));
  EXPECT_EQ(BuildStationAddressRequest(), FromHex("04000000 34000000"));
  EXPECT_EQ(BuildMixerQueryFrame(), FromHex("04000000 39040000"));
}

TEST(PipeMessageBuild, ForwardFrameCarriesTheInnerAudioFrameAtItsOffsets) {
  const StationRecipient recipients[2] = {{3, 0x0500000A}, {4, 0x0600000A}};
  const int16_t pcm[3] = {1, -2, 0x7FFF};
  std::vector<uint8_t> frame;
  BuildForwardFrame(frame, 7, 16384, recipients, 2, pcm, sizeof pcm);
  const uint32_t B = 6, R = 2;
  ASSERT_EQ(frame.size(), 54 + 8 * R + B);
  EXPECT_EQ(At(frame, 0), B + 8 * R + 50);
  EXPECT_EQ(At(frame, 4), 55u);
  EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 8, frame.begin() + 16), std::vector<uint8_t>(8, 0xFF));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(frame.data() + 16), 14),
            std::string("Quillmeridian\0", 14));
  EXPECT_EQ(At(frame, 30), B + 8 * R + 20);
  EXPECT_EQ(At(frame, 34), 2u);
  EXPECT_EQ(At(frame, 38), 7u);
  EXPECT_EQ(At(frame, 42), 16384u);
  EXPECT_EQ(At(frame, 46), B);
  EXPECT_EQ(At(frame, 50), R);
  EXPECT_EQ(At(frame, 54), 3u);
  EXPECT_EQ(At(frame, 58), 0x0500000Au);
  EXPECT_EQ(At(frame, 62), 4u);
  EXPECT_EQ(At(frame, 66), 0x0600000Au);
  EXPECT_EQ(memcmp(frame.data() + 70, pcm, B), 0);

  // The frame decodes as a forward frame, and its inner frame as the same audio.
  PipeFrameView inner;
  ASSERT_TRUE(DecodePipeFrame(frame.data() + 30, frame.size() - 30, &inner));
  EXPECT_EQ(inner.type, 2u);
  EXPECT_EQ(inner.byteCount, B);
  EXPECT_EQ(inner.recipientCount, R);
  EXPECT_EQ(memcmp(inner.pcm, pcm, B), 0);
}

TEST(PipeMessageDecode, WellFormedFramesGiveTheirFields) {
  PipeFrameView v;
  // "Hi" and a terminator.
  ASSERT_TRUE(DecodePipeFrame(Frame(1, {}, FromHex("48006900 0000")).data(), 14, &v));
  EXPECT_EQ(v.text, L"Hi");
  // The last whole code unit is the terminator even when the peer sent none; an odd byte is dropped.
  auto unterminated = Frame(1, {}, FromHex("480069 00 21"));
  ASSERT_TRUE(DecodePipeFrame(unterminated.data(), unterminated.size(), &v));
  EXPECT_EQ(v.text, L"H");

  auto audio = Frame(2, {3, 10, 4, 1, 9, 0x0700000A}, FromHex("01000200"));
  ASSERT_TRUE(DecodePipeFrame(audio.data(), audio.size(), &v));
  EXPECT_EQ(v.chunkIndex, 3u);
  EXPECT_EQ(v.sampleOffset, 10u);
  EXPECT_EQ(v.byteCount, 4u);
  EXPECT_EQ(v.recipientCount, 1u);
  EXPECT_EQ(v.pcm, audio.data() + 32);
  EXPECT_TRUE(AudioFrameIsForStation(v, 0x0700000A));
  EXPECT_FALSE(AudioFrameIsForStation(v, 0x0800000A));
  auto everyone = Frame(2, {0, 0, 2, 0}, FromHex("0100"));
  ASSERT_TRUE(DecodePipeFrame(everyone.data(), everyone.size(), &v));
  EXPECT_TRUE(AudioFrameIsForStation(v, 0));
  EXPECT_TRUE(AudioFrameIsForStation(v, 0x0800000A));

  ASSERT_TRUE(DecodePipeFrame(Frame(52, {0x0100000A}).data(), 12, &v));
  EXPECT_EQ(v.address, 0x0100000Au);
  ASSERT_TRUE(DecodePipeFrame(Frame(1001, {11, 22}).data(), 16, &v));
  EXPECT_EQ(v.mixerWords, 2u);
  EXPECT_EQ(v.mixerValues[0], 11u);
  EXPECT_EQ(v.mixerValues[1], 22u);
  // Unknown types are accepted (and then ignored by the worker).
  ASSERT_TRUE(DecodePipeFrame(Frame(777, {}).data(), 8, &v));
  EXPECT_EQ(v.type, 777u);
}

// Frames whose fields reach beyond their length, or that would make the track grow without
// bound: all refused.
TEST(PipeMessageDecode, FramesThatDoNotFitAreRefused) {
  struct Case {
    const char* name;
    std::vector<uint8_t> frame;
  };
  const Case cases[] = {
      {"length 0", FromHex("00000000")},
      {"length 3", FromHex("03000000 010000")},
      {"text with L = 4", Frame(1, {})},
      {"text with L = 5", Frame(1, {}, FromHex("41"))},
      {"address without its word", Frame(52, {})},
      {"address with half a word", Frame(52, {}, FromHex("0a00"))},
      {"mixer values without a word", Frame(1001, {}, FromHex("0b0000"))},
      {"audio header cut short", Frame(2, {0, 0, 0})},
      {"recipient count beyond the frame", Frame(2, {0, 0, 0, 2, 1, 0x0100000A})},
      // 8n wraps to 0 in 32 bits.
      {"recipient count that wraps", Frame(2, {0, 0, 0, 0x20000000})},
      {"byte count beyond the frame", Frame(2, {0, 0, 6, 0}, FromHex("01000200"))},
      {"byte count that wraps", Frame(2, {0, 0, 0xFFFFFFF0u, 1, 1, 1}, FromHex("0100"))},
      {"length word larger than the block", Frame(2, {0, 0, 4, 0}, FromHex("0100"), 100)},
      {"chunk index past the cap", Frame(2, {1000, 0, 2, 0}, FromHex("0100"))},
      {"huge chunk index", Frame(2, {0xFFFFFFFFu, 0, 2, 0}, FromHex("0100"))},
      {"sample offset past the chunk limit", Frame(2, {0, 0x20000000, 2, 0}, FromHex("0100"))},
  };
  for (const Case& c : cases) {
    PipeFrameView v;
    EXPECT_FALSE(DecodePipeFrame(c.frame.data(), c.frame.size(), &v)) << c.name;
  }
  // The edges that still fit.
  PipeFrameView v;
  auto lastChunk = Frame(2, {999, 0x1FFFFFFF, 2, 0}, FromHex("0100"));
  EXPECT_TRUE(DecodePipeFrame(lastChunk.data(), lastChunk.size(), &v));
  auto oneMixerWord = Frame(1001, {5});
  ASSERT_TRUE(DecodePipeFrame(oneMixerWord.data(), oneMixerWord.size(), &v));
  EXPECT_EQ(v.mixerWords, 1u);
}

TEST(PipeMessageStream, BlockDecisionForTheEdgesOfABlock) {
  struct Case {
    uint32_t frames, streamed;
    bool final;
    uint32_t expected;
  };
  const Case cases[] = {
      {0, 0, false, 0},
      {16384, 0, false, 0},  // a whole block unsent is not yet enough
      {16385, 0, false, 16384},
      {32768, 16384, false, 0},
      {32769, 16384, false, 16384},
      {16384, 0, true, 0},  // short recordings are never streamed
      {16385, 0, true, 0},
      {20000, 16384, true, 3616},   // the final block holds the rest
      {32768, 16384, true, 16384},  // exactly a block
      {16384, 16384, true, 0},      // never an empty frame, never a negative count
      {100, 16384, true, 0},
      {0xFFFFFFFFu, 0xFFFFFFF0u, false, 0},  // no wrap near the top
  };
  for (const Case& c : cases)
    EXPECT_EQ(StreamBlockSamples(c.frames, c.streamed, c.final), c.expected)
        << c.frames << " frames, " << c.streamed << " streamed, final " << c.final;
}

}  // namespace
