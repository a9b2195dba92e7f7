// LAME_ENC.DLL over libmp3lame: one lame_global_flags per stream; an Info frame carrying the
// encoder delay, then plain frames.
#include "standins/lame_enc/LameEnc.h"
#include "standins/lame_enc/LameTag.h"

#include <lame/lame.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <new>
#include <unordered_set>

struct LameEncStreamObject {
  lame_global_flags* lame = nullptr;
  uint32_t channels = 0;
  uint32_t samplesPerCall = 0;
  uint32_t outputBufferSize = 0;
  bool flushed = false;
  bool infoWritten = false;     // the Info frame goes in front of the first frame of sound
  SRWLOCK busy = SRWLOCK_INIT;  // held by the one call working on this stream
};

namespace {

// Live streams: a handle is used only while it is in this set, so a stale or foreign handle is
// refused instead of dereferenced.
SRWLOCK g_streamsLock = SRWLOCK_INIT;
std::unordered_set<LameEncStreamObject*>* g_streams = nullptr;

// Looks the handle up and returns it with its busy lock held, or null.
LameEncStreamObject* AcquireStream(LameEncStream handle) {
  if (!handle) return nullptr;
  LameEncStreamObject* found = nullptr;
  AcquireSRWLockShared(&g_streamsLock);
  if (g_streams && g_streams->count(handle)) {
    found = handle;
    AcquireSRWLockExclusive(&found->busy);
  }
  ReleaseSRWLockShared(&g_streamsLock);
  return found;
}

void ReleaseStream(LameEncStreamObject* stream) { ReleaseSRWLockExclusive(&stream->busy); }

void ReportLameError(const char* format, va_list args) {
  char text[512];
  int n = snprintf(text, sizeof text, "LAME_ENC: ");
  vsnprintf(text + n, sizeof text - n, format, args);
  OutputDebugStringA(text);
}

void IgnoreLameMessage(const char*, va_list) {}

// Room kept in every output buffer for the Info frame: the longest Layer III frame.
constexpr uint32_t kInfoFrameRoom = 1441 + 7;

// Writes at out an Info frame in the format of the sound frame whose header is given: silent side
// information, "Info" with no optional fields (the stream's length is not known while it is
// written), then the LAME extension with the encoder delay that decoders cut from the start.
// Returns its length, 0 when the header is not a Layer III one.
uint32_t BuildInfoFrame(const uint8_t* header, uint32_t delay, lame_global_flags* lame, uint8_t* out) {
  const uint8_t unpadded[4] = {header[0], uint8_t(header[1] | 1), uint8_t(header[2] & ~2), header[3]};
  const uint32_t length = Layer3FrameLength(unpadded);
  // Room for the frame count that the writer of the file may add once the stream is whole.
  if (!length || length < InfoTagOffset(header) + 12 + kLameExtensionBytes) return 0;
  memset(out, 0, length);
  memcpy(out, unpadded, 4);  // no CRC, no padding
  uint8_t* p = out + InfoTagOffset(header);
  memcpy(p, "Info", 4);
  p += 8;  // the flags stay 0: no frame count, byte count, table of contents or quality
  memcpy(p, "LAME3.100", 9);
  p[9] = 0x01;  // tag revision 0, constant bit rate
  const int lowpass = lame_get_lowpassfreq(lame) / 100;
  p[10] = uint8_t(lowpass < 0 ? 0 : lowpass > 255 ? 255 : lowpass);
  const int kbps = lame_get_brate(lame);
  p[20] = uint8_t(kbps > 255 ? 255 : kbps);
  const uint32_t d = delay > 4095 ? 4095 : delay;  // the padding (low 12 bits) is not known
  p[21] = uint8_t(d >> 4);
  p[22] = uint8_t((d & 15) << 4);
  const size_t crcAt = size_t(p - out) + 34;
  const uint16_t crc = LameTagCrc(out, crcAt);
  out[crcAt] = uint8_t(crc >> 8);
  out[crcAt + 1] = uint8_t(crc);
  return length;
}

// Puts the Info frame in front of the first bytes of sound in output (which has room for it).
void PrependInfoFrame(LameEncStreamObject* stream, uint8_t* output, uint32_t* produced) {
  if (stream->infoWritten || *produced < 4) return;
  uint8_t info[kInfoFrameRoom];
  const uint32_t length =
      BuildInfoFrame(output, static_cast<uint32_t>(lame_get_encoder_delay(stream->lame)), stream->lame, info);
  stream->infoWritten = true;
  if (!length) return;
  memmove(output + length, output, *produced);
  memcpy(output, info, length);
  *produced += length;
}

bool IsMpegRate(uint32_t rate) {
  static const uint32_t kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
  for (uint32_t r : kRates)
    if (r == rate) return true;
  return false;
}

}  // namespace

extern "C" {

__declspec(dllexport) uint32_t LAMEENC_CALL
    LameEncOpenStream(const LameEncConfig* config, uint32_t* samplesPerCall, uint32_t* outputBufferSize,
                      LameEncStream* stream) {
  if (stream) *stream = nullptr;
  if (!config || !samplesPerCall || !outputBufferSize || !stream) return LAMEENC_ERR_INVALID_PARAM;
  if (config->kind != LAMEENC_KIND_MP3 || config->samplesPerSecond == 0 || config->bitRateKbps == 0)
    return LAMEENC_ERR_INVALID_FORMAT;
  MPEG_mode mode;
  uint32_t channels;
  if (config->mode == LAMEENC_MODE_MONO) {
    mode = MONO;
    channels = 1;
  } else if (config->mode == LAMEENC_MODE_STEREO) {
    mode = STEREO;
    channels = 2;
  } else {
    return LAMEENC_ERR_INVALID_FORMAT;
  }

  lame_global_flags* lame = lame_init();
  if (!lame) return LAMEENC_ERR_NO_MEMORY;
  lame_set_errorf(lame, ReportLameError);
  lame_set_debugf(lame, IgnoreLameMessage);
  lame_set_msgf(lame, IgnoreLameMessage);
  lame_set_num_channels(lame, static_cast<int>(channels));
  lame_set_in_samplerate(lame, static_cast<int>(config->samplesPerSecond));
  // Keep the caller's rate when MPEG audio has it, so a decoded file matches the source; other
  // rates are resampled to one that libmp3lame picks.
  if (IsMpegRate(config->samplesPerSecond))
    lame_set_out_samplerate(lame, static_cast<int>(config->samplesPerSecond));
  lame_set_mode(lame, mode);
  lame_set_VBR(lame, vbr_off);
  lame_set_brate(lame, config->bitRateKbps);
  lame_set_bWriteVbrTag(lame, 0);
  lame_set_write_id3tag_automatic(lame, 0);
  if (lame_init_params(lame) < 0) {
    lame_close(lame);
    return LAMEENC_ERR_INVALID_FORMAT;
  }

  auto* object = new (std::nothrow) LameEncStreamObject;
  if (!object) {
    lame_close(lame);
    return LAMEENC_ERR_NO_MEMORY;
  }
  const uint32_t frameSize = static_cast<uint32_t>(lame_get_framesize(lame));
  object->lame = lame;
  object->channels = channels;
  object->samplesPerCall = frameSize * channels;
  // libmp3lame's worst case for one call of n samples per channel is 1.25 n + 7200 bytes, which
  // also covers what a flush writes.
  object->outputBufferSize = frameSize + frameSize / 4 + 7200 + kInfoFrameRoom;

  bool added = false;
  AcquireSRWLockExclusive(&g_streamsLock);
  try {
    if (!g_streams) g_streams = new std::unordered_set<LameEncStreamObject*>;
    added = g_streams->insert(object).second;
  } catch (const std::bad_alloc&) {
  }
  ReleaseSRWLockExclusive(&g_streamsLock);
  if (!added) {
    lame_close(lame);
    delete object;
    return LAMEENC_ERR_NO_MEMORY;
  }
  *samplesPerCall = object->samplesPerCall;
  *outputBufferSize = object->outputBufferSize;
  *stream = object;
  return LAMEENC_OK;
}

__declspec(dllexport) uint32_t LAMEENC_CALL
    LameEncEncodeChunk(LameEncStream handle, uint32_t sampleCount, const int16_t* samples, uint8_t* output,
                       uint32_t* bytesProduced) {
  if (bytesProduced) *bytesProduced = 0;
  if (!output || !bytesProduced || (sampleCount && !samples)) return LAMEENC_ERR_INVALID_PARAM;
  LameEncStreamObject* stream = AcquireStream(handle);
  if (!stream) return LAMEENC_ERR_INVALID_HANDLE;
  uint32_t result = LAMEENC_OK;
  if (stream->flushed) {
    result = LAMEENC_ERR_ENCODE;
  } else if (sampleCount > stream->samplesPerCall || sampleCount % stream->channels) {
    result = LAMEENC_ERR_INVALID_PARAM;
  } else if (sampleCount) {
    const int frames = static_cast<int>(sampleCount / stream->channels);
    const int size = static_cast<int>(stream->outputBufferSize - kInfoFrameRoom);
    // libmp3lame only reads the samples, whatever its prototypes say.
    short* pcm = const_cast<short*>(reinterpret_cast<const short*>(samples));
    int written = stream->channels == 1
                      ? lame_encode_buffer(stream->lame, pcm, nullptr, frames, output, size)
                      : lame_encode_buffer_interleaved(stream->lame, pcm, frames, output, size);
    if (written < 0) {
      result = LAMEENC_ERR_ENCODE;
    } else {
      *bytesProduced = static_cast<uint32_t>(written);
      PrependInfoFrame(stream, output, bytesProduced);
    }
  }
  ReleaseStream(stream);
  return result;
}

__declspec(dllexport) uint32_t LAMEENC_CALL
    LameEncFlushStream(LameEncStream handle, uint8_t* output, uint32_t* bytesProduced) {
  if (bytesProduced) *bytesProduced = 0;
  if (!output || !bytesProduced) return LAMEENC_ERR_INVALID_PARAM;
  LameEncStreamObject* stream = AcquireStream(handle);
  if (!stream) return LAMEENC_ERR_INVALID_HANDLE;
  uint32_t result = LAMEENC_OK;
  if (!stream->flushed) {
    int written =
        lame_encode_flush(stream->lame, output, static_cast<int>(stream->outputBufferSize - kInfoFrameRoom));
    stream->flushed = true;
    if (written < 0) {
      result = LAMEENC_ERR_ENCODE;
    } else {
      *bytesProduced = static_cast<uint32_t>(written);
      PrependInfoFrame(stream, output, bytesProduced);
    }
  }
  ReleaseStream(stream);
  return result;
}

__declspec(dllexport) uint32_t LAMEENC_CALL LameEncCloseStream(LameEncStream handle) {
  if (!handle) return LAMEENC_ERR_INVALID_HANDLE;
  size_t erased = 0;
  AcquireSRWLockExclusive(&g_streamsLock);
  if (g_streams) erased = g_streams->erase(handle);
  ReleaseSRWLockExclusive(&g_streamsLock);
  if (!erased) return LAMEENC_ERR_INVALID_HANDLE;
  // Let a call still working on the stream finish; no new one can find it now.
  AcquireSRWLockExclusive(&handle->busy);
  ReleaseSRWLockExclusive(&handle->busy);
  lame_close(handle->lame);
  delete handle;
  return LAMEENC_OK;
}

}  // extern "C"
