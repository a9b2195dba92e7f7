// The frame of both named pipes and the messages of the capture product's pipe: the frames the
// recorder sends, the checks on the frames it receives, and the streaming block decision.
//
// PipeMessage, all integers u32 little-endian: length (bytes after this word), type, payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum PipeMessageType : uint32_t {
  PIPE_TEXT = 1,
  PIPE_AUDIO = 2,
  PIPE_STATION_ADDRESS = 52,
  PIPE_HELLO = 54,
  PIPE_FORWARD = 55,
  PIPE_MIXER_VALUES = 1001,
  PIPE_MIXER_QUERY = 1081,
};

// One entry of the stream recipient table; travels inside every streamed frame.
struct StationRecipient {
  uint32_t stationNumber;
  uint32_t address;  // IPv4, first octet in the lowest byte
};
static_assert(sizeof(StationRecipient) == 8, "a recipient is 8 bytes on the wire");

// The sender name of hello and forward frames, with its NUL.
constexpr char kPipeSenderName[14] = "Quillmeridian";
constexpr uint32_t kPipeHeaderBytes = 8;
// Offset of the PCM in a PIPE_AUDIO frame without recipients.
constexpr uint32_t kAudioHeaderBytes = 24;
// Offset of the inner PIPE_AUDIO frame in a PIPE_FORWARD frame.
constexpr uint32_t kForwardInnerOffset = 30;
// Streamed blocks hold this many samples; the final block holds the rest.
constexpr uint32_t kStreamBlockSamples = 16384;
// Received audio never addresses a chunk beyond this index, nor PCM beyond this byte.
constexpr uint32_t kMaxPipeChunkIndex = 999;
constexpr uint64_t kMaxPipePcmEnd = 1ull << 30;

std::vector<uint8_t> BuildHelloFrame();
std::vector<uint8_t> BuildStationAddressRequest();
std::vector<uint8_t> BuildMixerQueryFrame();
// A PIPE_FORWARD frame carrying one PIPE_AUDIO frame: the recipients and `pcmBytes` of PCM.
// `frame` is reused between calls so that streaming does not allocate for every block.
void BuildForwardFrame(std::vector<uint8_t>& frame, uint32_t chunkIndex, uint32_t sampleOffset,
                       const StationRecipient* recipients, uint32_t recipientCount, const void* pcm,
                       uint32_t pcmBytes);

// A received frame whose fields were all checked against its length. Pointers point into the
// received block.
struct PipeFrameView {
  uint32_t type = 0;
  // PIPE_TEXT: the payload's code units up to the first NUL (the last whole one counts as NUL).
  std::wstring text;
  // PIPE_AUDIO
  uint32_t chunkIndex = 0;
  uint32_t sampleOffset = 0;
  uint32_t byteCount = 0;
  uint32_t recipientCount = 0;
  const uint8_t* recipients = nullptr;  // recipientCount entries of 8 bytes, maybe unaligned
  const uint8_t* pcm = nullptr;
  // PIPE_STATION_ADDRESS
  uint32_t address = 0;
  // PIPE_MIXER_VALUES: the words at offsets 8 and 12; `mixerWords` says how many are present.
  uint32_t mixerValues[2] = {0, 0};
  uint32_t mixerWords = 0;
};

// Checks a received block (length word, then at most `blockSize` - 4 bytes) and decodes it.
// False when the block is shorter than a type word, or when a field of a known type reaches
// beyond the frame: such a frame is ignored whole. Unknown types decode to just their type.
bool DecodePipeFrame(const void* block, size_t blockSize, PipeFrameView* view);

// Whether the recipient list of a PIPE_AUDIO frame lets this station take it: an empty list
// addresses every station.
bool AudioFrameIsForStation(const PipeFrameView& view, uint32_t ownAddress);

// Samples of the next streamed block: `frames` recorded in the chunk, `streamed` already sent.
// Not final: a full block, once more than a block of unsent samples exists. Final: the rest,
// and nothing when nothing was sent yet (short recordings are not streamed).
uint32_t StreamBlockSamples(uint32_t frames, uint32_t streamed, bool final);
