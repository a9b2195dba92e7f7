// LAME_ENC.DLL: an MP3 stream encoder over libmp3lame, used by the saving code through four
// exports that it looks up by ordinal:
//   1 LameEncOpenStream   2 LameEncEncodeChunk   3 LameEncFlushStream   4 LameEncCloseStream
// Every export uses the __cdecl calling convention (LAMEENC_CALL) and returns 0 on success or one
// of the LAMEENC_ERR_* codes.
//
// A stream writes an Info frame, then plain MPEG audio frames, and no ID3 tag. The Info frame
// carries the encoder delay in its LAME extension but neither the frame count nor the padding
// (the four calls give no chance to rewrite the first frame once the length is known): the
// writer of the file completes it when the stream is whole (LameTag.h), and decoders that read
// it then cut the delay and the padding.
#pragma once

#include <windows.h>

#include <stdint.h>

#define LAMEENC_CALL __cdecl

#define LAMEENC_DLL_NAME L"LAME_ENC.DLL"

enum : WORD {
  LAMEENC_ORDINAL_OPEN = 1,
  LAMEENC_ORDINAL_ENCODE = 2,
  LAMEENC_ORDINAL_FLUSH = 3,
  LAMEENC_ORDINAL_CLOSE = 4,
};

enum : uint32_t {
  LAMEENC_OK = 0,
  LAMEENC_ERR_INVALID_FORMAT = 1,  // kind, rate, mode or bit rate the encoder cannot take
  LAMEENC_ERR_INVALID_PARAM = 2,   // null pointer, too many samples, half a stereo frame
  LAMEENC_ERR_NO_MEMORY = 3,
  LAMEENC_ERR_ENCODE = 4,          // libmp3lame failed, or the stream was already flushed
  LAMEENC_ERR_INVALID_HANDLE = 5,  // not a stream opened by this library, or already closed
};

enum : uint32_t { LAMEENC_KIND_MP3 = 0 };
enum : uint8_t { LAMEENC_MODE_STEREO = 0, LAMEENC_MODE_MONO = 3 };

#pragma pack(push, 1)
// Stream configuration. The bytes after the bit rate are reserved: pass zeros.
struct LameEncConfig {
  uint32_t kind;              // LAMEENC_KIND_MP3
  uint32_t samplesPerSecond;  // input rate; kept as the MP3 rate when MPEG audio allows it
  uint8_t mode;               // LAMEENC_MODE_MONO (1 channel) or LAMEENC_MODE_STEREO (2 channels)
  uint16_t bitRateKbps;       // constant bit rate
  uint8_t reserved[320];
};
#pragma pack(pop)
static_assert(sizeof(LameEncConfig) == 331, "LameEncConfig is packed");

typedef struct LameEncStreamObject* LameEncStream;

// Opens a stream. On success *samplesPerCall is the most 16-bit samples (frames x channels) one
// encode call takes and *outputBufferSize the byte size of the buffer that encode and flush need.
typedef uint32_t(LAMEENC_CALL* LameEncOpenStreamFn)(const LameEncConfig* config, uint32_t* samplesPerCall,
                                                    uint32_t* outputBufferSize, LameEncStream* stream);
// Encodes sampleCount interleaved 16-bit samples (a whole number of frames, at most
// samplesPerCall). *bytesProduced bytes of MP3 data are written to output (possibly 0: the encoder
// buffers up to a frame and more).
typedef uint32_t(LAMEENC_CALL* LameEncEncodeChunkFn)(LameEncStream stream, uint32_t sampleCount,
                                                     const int16_t* samples, uint8_t* output,
                                                     uint32_t* bytesProduced);
// Writes the stream's last frames. The stream takes no samples afterwards.
typedef uint32_t(LAMEENC_CALL* LameEncFlushStreamFn)(LameEncStream stream, uint8_t* output,
                                                     uint32_t* bytesProduced);
// Frees the stream. The handle is invalid afterwards.
typedef uint32_t(LAMEENC_CALL* LameEncCloseStreamFn)(LameEncStream stream);
