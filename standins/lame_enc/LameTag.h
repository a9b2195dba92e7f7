// The Info frame that LAME_ENC.DLL puts in front of a stream, and how the writer of the file
// completes it once the stream is whole: the frame count and the end padding that the encoder
// cannot know when the frame goes out. A decoder that reads both (FFmpeg, mpg123) then gives
// exactly the samples that were encoded, neither the encoder's delay nor its padding.
#pragma once

#include <stdint.h>
#include <string.h>

// Byte length of the Layer III frame whose header is at p (its padding bit counted), 0 when none.
inline uint32_t Layer3FrameLength(const uint8_t* p) {
  if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0 || ((p[1] >> 1) & 3) != 1) return 0;
  static const int kRates[4][3] = {
      {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
  static const int kV1[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
  static const int kV2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
  const int version = (p[1] >> 3) & 3, rateIndex = (p[2] >> 2) & 3, bitIndex = p[2] >> 4;
  if (version == 1 || rateIndex == 3) return 0;
  const int kbps = version == 3 ? kV1[bitIndex] : kV2[bitIndex];
  if (!kbps) return 0;
  return uint32_t((version == 3 ? 144000 : 72000) * kbps / kRates[version][rateIndex]) + ((p[2] >> 1) & 1);
}

// Where the "Info" tag of a Layer III frame whose header is at p begins.
inline uint32_t InfoTagOffset(const uint8_t* p) {
  const bool mpeg1 = ((p[1] >> 3) & 3) == 3, mono = (p[3] >> 6) == 3;
  return 4 + (mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17));
}

// CRC-16 (polynomial 0x8005, reflected, start 0) as the LAME tag carries it.
inline uint16_t LameTagCrc(const uint8_t* p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
  }
  return crc;
}

// The LAME extension is 36 bytes: "LAME3.100", ..., the delay and padding at 21-23, the CRC of
// the frame up to it at 34.
constexpr uint32_t kLameExtensionBytes = 36;

// Completes in place an Info frame (length bytes at frame) that announces nothing yet: it then
// announces soundFrames frames after it and the padding that leaves exactly `samples` samples
// per channel once the delay it carries is cut. False, the frame unchanged, when it is no such
// frame or the numbers do not fit it.
inline bool CompleteInfoFrame(uint8_t* frame, uint32_t length, uint32_t soundFrames, uint64_t samples) {
  if (length < 4 || Layer3FrameLength(frame) != length) return false;
  const uint32_t tag = InfoTagOffset(frame);
  if (tag + 12 + kLameExtensionBytes > length || memcmp(frame + tag, "Info", 4) ||
      memcmp(frame + tag + 4, "\0\0\0\0", 4) || memcmp(frame + tag + 8, "LAME", 4))
    return false;
  const uint8_t* delayAt = frame + tag + 8 + 21;
  const uint32_t delay = uint32_t(delayAt[0]) << 4 | delayAt[1] >> 4;
  const uint64_t perFrame = ((frame[1] >> 3) & 3) == 3 ? 1152 : 576;
  const uint64_t coded = uint64_t(soundFrames) * perFrame;
  if (coded < delay + samples || coded - delay - samples > 4095) return false;
  const uint32_t padding = uint32_t(coded - delay - samples);
  // The frame count goes in front of the extension, which moves back by its four bytes.
  memmove(frame + tag + 12, frame + tag + 8, kLameExtensionBytes);
  frame[tag + 7] = 1;  // flags: frames
  frame[tag + 8] = uint8_t(soundFrames >> 24);
  frame[tag + 9] = uint8_t(soundFrames >> 16);
  frame[tag + 10] = uint8_t(soundFrames >> 8);
  frame[tag + 11] = uint8_t(soundFrames);
  uint8_t* ext = frame + tag + 12;
  ext[22] = uint8_t((ext[22] & 0xF0) | (padding >> 8));
  ext[23] = uint8_t(padding);
  const uint32_t crcAt = tag + 12 + 34;
  const uint16_t crc = LameTagCrc(frame, crcAt);
  frame[crcAt] = uint8_t(crc >> 8);
  frame[crcAt + 1] = uint8_t(crc);
  return true;
}
