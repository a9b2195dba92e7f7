#include "appdata/PipeMessage.h"

#include <algorithm>
#include <cstring>

namespace {

void PutU32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
  out[at] = uint8_t(value);
  out[at + 1] = uint8_t(value >> 8);
  out[at + 2] = uint8_t(value >> 16);
  out[at + 3] = uint8_t(value >> 24);
}

uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::vector<uint8_t> HeaderOnly(uint32_t type) {
  std::vector<uint8_t> frame(kPipeHeaderBytes);
  PutU32(frame, 0, 4);
  PutU32(frame, 4, type);
  return frame;
}

}  // namespace

std::vector<uint8_t> BuildHelloFrame() {
  std::vector<uint8_t> frame(kPipeHeaderBytes + 8 + sizeof kPipeSenderName, 0);
  PutU32(frame, 0, uint32_t(frame.size() - 4));
  PutU32(frame, 4, PIPE_HELLO);
  memcpy(frame.data() + 16, kPipeSenderName, sizeof kPipeSenderName);
  return frame;
}

std::vector<uint8_t> BuildStationAddressRequest() { return HeaderOnly(PIPE_STATION_ADDRESS); }

std::vector<uint8_t> BuildMixerQueryFrame() { return HeaderOnly(PIPE_MIXER_QUERY); }

void BuildForwardFrame(std::vector<uint8_t>& frame, uint32_t chunkIndex, uint32_t sampleOffset,
                       const StationRecipient* recipients, uint32_t recipientCount, const void* pcm,
                       uint32_t pcmBytes) {
  const uint32_t inner = kAudioHeaderBytes + 8 * recipientCount + pcmBytes;  // whole inner frame
  frame.assign(kForwardInnerOffset + inner, 0);
  PutU32(frame, 0, uint32_t(frame.size() - 4));
  PutU32(frame, 4, PIPE_FORWARD);
  memset(frame.data() + 8, 0xFF, 8);
  memcpy(frame.data() + 16, kPipeSenderName, sizeof kPipeSenderName);
  uint8_t* audio = frame.data() + kForwardInnerOffset;
  const size_t base = kForwardInnerOffset;
  PutU32(frame, base + 0, inner - 4);
  PutU32(frame, base + 4, PIPE_AUDIO);
  PutU32(frame, base + 8, chunkIndex);
  PutU32(frame, base + 12, sampleOffset);
  PutU32(frame, base + 16, pcmBytes);
  PutU32(frame, base + 20, recipientCount);
  for (uint32_t i = 0; i < recipientCount; ++i) {
    PutU32(frame, base + kAudioHeaderBytes + 8 * i, recipients[i].stationNumber);
    PutU32(frame, base + kAudioHeaderBytes + 8 * i + 4, recipients[i].address);
  }
  if (pcmBytes) memcpy(audio + kAudioHeaderBytes + 8 * recipientCount, pcm, pcmBytes);
}

bool DecodePipeFrame(const void* block, size_t blockSize, PipeFrameView* view) {
  *view = PipeFrameView{};
  if (!block || blockSize < 4) return false;
  const uint8_t* p = static_cast<const uint8_t*>(block);
  // Every field is checked against this end, in 64 bits.
  const uint64_t end = std::min<uint64_t>(uint64_t(GetU32(p)) + 4, blockSize);
  if (end < kPipeHeaderBytes) return false;
  view->type = GetU32(p + 4);
  auto fits = [end](uint64_t offset, uint64_t size) { return offset + size <= end; };

  switch (view->type) {
    case PIPE_TEXT: {
      const uint64_t units = (end - kPipeHeaderBytes) / 2;
      if (units == 0) return false;
      const uint8_t* text = p + kPipeHeaderBytes;
      // The last whole code unit is the terminator, whatever the peer put there.
      for (uint64_t i = 0; i + 1 < units; ++i) {
        const wchar_t unit = wchar_t(text[2 * i] | text[2 * i + 1] << 8);
        if (unit == 0) break;
        view->text.push_back(unit);
      }
      return true;
    }
    case PIPE_AUDIO: {
      if (!fits(0, kAudioHeaderBytes)) return false;
      view->chunkIndex = GetU32(p + 8);
      view->sampleOffset = GetU32(p + 12);
      view->byteCount = GetU32(p + 16);
      view->recipientCount = GetU32(p + 20);
      const uint64_t recipientBytes = 8ull * view->recipientCount;
      if (!fits(kAudioHeaderBytes, recipientBytes)) return false;
      if (!fits(kAudioHeaderBytes + recipientBytes, view->byteCount)) return false;
      if (view->chunkIndex > kMaxPipeChunkIndex) return false;
      if (2ull * view->sampleOffset + view->byteCount > kMaxPipePcmEnd) return false;
      view->recipients = p + kAudioHeaderBytes;
      view->pcm = p + kAudioHeaderBytes + recipientBytes;
      return true;
    }
    case PIPE_STATION_ADDRESS:
      if (!fits(8, 4)) return false;
      view->address = GetU32(p + 8);
      return true;
    case PIPE_MIXER_VALUES:
      if (!fits(8, 4)) return false;
      view->mixerValues[0] = GetU32(p + 8);
      view->mixerWords = 1;
      if (fits(12, 4)) {
        view->mixerValues[1] = GetU32(p + 12);
        view->mixerWords = 2;
      }
      return true;
    default:
      return true;
  }
}

bool AudioFrameIsForStation(const PipeFrameView& view, uint32_t ownAddress) {
  if (view.recipientCount == 0) return true;
  for (uint32_t i = 0; i < view.recipientCount; ++i)
    if (GetU32(view.recipients + 8 * i + 4) == ownAddress) return true;
  return false;
}

uint32_t StreamBlockSamples(uint32_t frames, uint32_t streamed, bool final) {
  if (final) return streamed == 0 || frames <= streamed ? 0 : frames - streamed;
  return uint64_t(streamed) + kStreamBlockSamples < frames ? kStreamBlockSamples : 0;
}
