// Capture through WASAPI: shared-mode streams polled every 20 ms, gathered into blocks of one
// buffer length and converted to 32-bit float at the engine's rate and channels.
#include <windows.h>
#include <mmreg.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "audio/EngineInternal.h"
#include "audio/SoundWorksImpl.h"
#include "common/Locks.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

using namespace engine;

namespace {

const GUID kSubtypePcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
const GUID kSubtypeFloat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

struct MixDescription {
  AVSampleFormat sampleFormat = AV_SAMPLE_FMT_NONE;
  bool packed24 = false;
  int64_t layout = 0;
};

// How the resampler must read the endpoint's mix format: its sample type and its own channel
// layout. False for formats that cannot be read.
bool DescribeMixFormat(const WAVEFORMATEX* format, MixDescription* out) {
  const unsigned channels = format->nChannels;
  if (channels == 0 || channels > 8 || format->nSamplesPerSec == 0) return false;
  bool isFloat = false;
  DWORD mask = 0;
  if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE && format->cbSize >= 22) {
    auto* ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format);
    if (IsEqualGUID(ext->SubFormat, kSubtypeFloat))
      isFloat = true;
    else if (!IsEqualGUID(ext->SubFormat, kSubtypePcm))
      return false;
    mask = ext->dwChannelMask;
  } else if (format->wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
    isFloat = true;
  } else if (format->wFormatTag != WAVE_FORMAT_PCM) {
    return false;
  }
  const unsigned bits = format->wBitsPerSample;
  if (format->nBlockAlign != channels * bits / 8 || bits % 8 != 0) return false;
  if (isFloat) {
    if (bits == 32)
      out->sampleFormat = AV_SAMPLE_FMT_FLT;
    else if (bits == 64)
      out->sampleFormat = AV_SAMPLE_FMT_DBL;
    else
      return false;
  } else {
    switch (bits) {
      case 8:
        out->sampleFormat = AV_SAMPLE_FMT_U8;
        break;
      case 16:
        out->sampleFormat = AV_SAMPLE_FMT_S16;
        break;
      case 24:
        out->sampleFormat = AV_SAMPLE_FMT_S32;
        out->packed24 = true;
        break;
      case 32:
        out->sampleFormat = AV_SAMPLE_FMT_S32;
        break;
      default:
        return false;
    }
  }
  // The speaker bits of a wave channel mask are FFmpeg's channel bits.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (mask && unsigned(__builtin_popcount(mask)) == channels)
    out->layout = int64_t(mask);
  else
    out->layout = av_get_default_channel_layout(int(channels));
#pragma GCC diagnostic pop
  return out->layout != 0;
}

struct CoTaskFree {
  void operator()(void* p) const { CoTaskMemFree(p); }
};

// The steps of starting one capture stream. Each returns null when done or what failed.

// Activates the endpoint's audio client; a render endpoint is captured as loopback.
const char* ActivateCaptureClient(CAudioDevice* device, CStreamContext* context, DWORD* flags) {
  if (!device->endpoint) return "Could not create capture Device. Check that device is present.";
  IMMEndpoint* endpointInfo = nullptr;
  if (SUCCEEDED(
          device->endpoint->QueryInterface(__uuidof(IMMEndpoint), reinterpret_cast<void**>(&endpointInfo))) &&
      endpointInfo) {
    EDataFlow flow = eCapture;
    if (SUCCEEDED(endpointInfo->GetDataFlow(&flow)) && flow == eRender) *flags = AUDCLNT_STREAMFLAGS_LOOPBACK;
    endpointInfo->Release();
  }
  if (FAILED(device->endpoint->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                        reinterpret_cast<void**>(&context->audioClient))) ||
      !context->audioClient) {
    context->audioClient = nullptr;
    return "Could not activate capture AudioClient. Check that device is present.";
  }
  return nullptr;
}

// Reads the endpoint's mix format into the context and `input`; `mix` keeps it for Initialize.
const char* ReadCaptureMixFormat(CStreamContext* context, std::unique_ptr<WAVEFORMATEX, CoTaskFree>* mix,
                                 MixDescription* input) {
  WAVEFORMATEX* rawMix = nullptr;
  if (FAILED(context->audioClient->GetMixFormat(&rawMix)) || !rawMix)
    return "Could not get mix format. Check that device is operational.";
  mix->reset(rawMix);
  context->format = *rawMix;
  if (!DescribeMixFormat(rawMix, input)) return "Could not use the capture mix format";
  context->inputSampleFormat = input->sampleFormat;
  context->packed24 = input->packed24;
  return nullptr;
}

// The converter from the mix format to float at the engine's rate, mono or stereo.
const char* CreateCaptureResampler(CStreamContext* context, const WAVEFORMATEX& mix,
                                   const MixDescription& input, uint32_t rate, uint32_t channels) {
  context->outChannels = channels == 1 ? 1 : 2;
  context->outRate = rate;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  context->resampler = swr_alloc_set_opts(
      nullptr, context->outChannels == 1 ? AV_CH_LAYOUT_MONO : AV_CH_LAYOUT_STEREO, AV_SAMPLE_FMT_FLT,
      int(rate), input.layout, input.sampleFormat, int(mix.nSamplesPerSec), 0, nullptr);
#pragma GCC diagnostic pop
  // Normalised down-mix: many channels of one voice must not add up past full scale.
  if (context->resampler) av_opt_set_double(context->resampler, "rematrix_maxval", 1.0, 0);
  if (!context->resampler || swr_init(context->resampler) < 0)
    return "Could not set up the capture resampler";
  return nullptr;
}

// Shared-mode, event-driven stream of four buffer lengths, and its capture service.
const char* InitializeCaptureStream(CAudioDevice* device, CStreamContext* context, const WAVEFORMATEX* mix,
                                    DWORD flags, double bufferMs) {
  const REFERENCE_TIME duration = REFERENCE_TIME(bufferMs * 4 * 10000);
  if (FAILED(context->audioClient->Initialize(
          AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK | flags, duration, 0, mix, nullptr)))
    return "Could not initialize capture device";
  if (FAILED(context->audioClient->SetEventHandle(device->event))) return "Could not SetEventHandle";
  UINT32 frames = 0;
  if (FAILED(context->audioClient->GetBufferSize(&frames))) return "Could not GetBufferSize";
  if (FAILED(context->audioClient->GetService(__uuidof(IAudioCaptureClient),
                                              reinterpret_cast<void**>(&context->captureClient))) ||
      !context->captureClient) {
    context->captureClient = nullptr;
    return "Could not GetService IAudioCaptureClient";
  }
  return nullptr;
}

void LinkStream(CAudioDevice* device, CStreamContext* context) {
  context->next = device->streams;
  if (device->streams) device->streams->prev = context;
  device->streams = context;
}

void UnlinkStream(CAudioDevice* device, CStreamContext* context) {
  if (context->prev)
    context->prev->next = context->next;
  else
    device->streams = context->next;
  if (context->next) context->next->prev = context->prev;
}

}  // namespace

void CSoundWorksWAS::StartCapture(std::wstring id, int32_t streamIndex, int32_t tag) {
  if (id.empty()) return;
  std::lock_guard<RecursiveMutex> lock(captureLock);
  if (sampleRate == 0 || channels == 0 || framesPerBuffer == 0) {
    Log("Could not start capture: no sound format set");
    return;
  }
  if (!OpenOrCloseDevice(true, true, id, streamIndex)) return;
  endMarkerPosted_ = false;

  // The device just opened is the list's last; streams of the same index are told apart by key.
  CAudioDevice* device = captureDevices;
  uint32_t sameIndex = 0;
  for (CAudioDevice* d = captureDevices; d; d = d->next) {
    if (d->streamIndex == streamIndex) ++sameIndex;
    device = d;
  }
  device->tag = tag;

  auto* context = new (std::nothrow) CStreamContext;
  if (!context) {
    Log("Could not create capture stream");
    StopCaptureInternal(id, 0, false);
    return;
  }
  context->sourceKey = sameIndex - 1;
  context->streamKey = uint32_t(streamIndex);
  context->streamValue = streamIndex >= 0 && streamIndex < 4 ? streamValues[streamIndex] : 0;
  context->ownerData = ownerData;
  context->lastSendTicks = GetTickCount64();

  DWORD flags = 0;
  std::unique_ptr<WAVEFORMATEX, CoTaskFree> mix;
  MixDescription input;
  const char* failure = ActivateCaptureClient(device, context, &flags);
  if (!failure) failure = ReadCaptureMixFormat(context, &mix, &input);
  if (!failure) failure = CreateCaptureResampler(context, *mix, input, sampleRate, channels);
  if (!failure) failure = InitializeCaptureStream(device, context, mix.get(), flags, bufferMs);
  mix.reset();
  if (!failure) {
    LinkStream(device, context);
    if (SUCCEEDED(context->audioClient->Start())) return;
    failure = "Could not Start AudioClient";
    UnlinkStream(device, context);
  }
  Log(failure);
  ReleaseStreamContext(context);
  StopCaptureInternal(id, 0, false);
}

void CSoundWorksWAS::StopCapture(std::wstring id, int32_t streamIndex) {
  StopCaptureInternal(id, streamIndex, true);
}

void CSoundWorksWAS::StopCaptureInternal(const std::wstring& id, int32_t streamIndex, bool endOfRecording) {
  std::lock_guard<RecursiveMutex> lock(captureLock);
  if (OpenOrCloseDevice(false, true, id, streamIndex) && endOfRecording && !captureDevices)
    PostEndMarker(streamIndex >= 0 && streamIndex < 4 ? streamValues[streamIndex] : 0);
}

bool CSoundWorksWAS::PostCaptureEnd(uint32_t streamValue) {
  std::lock_guard<RecursiveMutex> lock(captureLock);
  // The last stream's close already sent this end: one marker per recording.
  if (!(endMarkerPosted_ && endMarkerValue_ == streamValue)) PostEndMarker(streamValue);
  return captureTarget.threadId != 0;
}

// The device is already out of the list. Its streams end now; what they gathered is still
// converted and delivered (unless the engine is going away), and the convert thread keeps the
// context and device alive until it is done with them.
void CSoundWorksWAS::CloseCaptureDevice(CAudioDevice* device, bool deliverRest) {
  while (CStreamContext* context = device->streams) {
    device->streams = context->next;
    if (device->streams) device->streams->prev = nullptr;
    context->prev = context->next = nullptr;
    if (context->audioClient) context->audioClient->Stop();
    SafeRelease(context->captureClient);
    SafeRelease(context->audioClient);
    if (deliverRest) {
      if (context->gatherBlock) HandOverBlock(context, device, ENGINE_CMD_CONVERT);
      HandOverBlock(context, device, ENGINE_CMD_FLUSH);
    }
    ReleaseBufferRecord(context->gatherBlock);
    Release(context);
  }
  LogWithName("Stopping:", device->friendlyName);
  SafeRelease(device->endpoint);
  Release(device);
}

// Posts the gathered block (or, for a flush, no block) with references to its context and device.
void CSoundWorksWAS::HandOverBlock(CStreamContext* context, CAudioDevice* device, WPARAM command) {
  auto* message = new (std::nothrow) CaptureBlockMessage{nullptr, context, device};
  if (command == ENGINE_CMD_CONVERT) {
    if (message)
      message->block = context->gatherBlock;
    else
      ReleaseBufferRecord(context->gatherBlock);
    context->gatherBlock = nullptr;
  }
  if (!message) {
    if (command == ENGINE_CMD_CONVERT) CountDroppedBlock("no memory for its hand-over");
    return;
  }
  AddRef(context);
  AddRef(device);
  if (!convertThreadId ||
      !PostThreadMessageW(convertThreadId, WM_ENGINE_COMMAND, command, reinterpret_cast<LPARAM>(message))) {
    if (message->block) CountDroppedBlock("its hand-over could not be posted");
    ReleaseBufferRecord(message->block);
    Release(context);
    Release(device);
    delete message;
  }
}

void CSoundWorksWAS::CountDroppedBlock(const char* why) {
  const uint32_t n = ++droppedCaptureBlocks;
  Logf("Captured block dropped, %s (%u dropped so far)", why, n);
}

void CSoundWorksWAS::PostEndMarker(uint32_t streamValue) {
  std::lock_guard<RecursiveMutex> lock(captureLock);
  endMarkerPosted_ = true;
  endMarkerValue_ = streamValue;
  // Through the convert thread's queue, so the marker follows the last converted block.
  if (!convertThreadId ||
      !PostThreadMessageW(convertThreadId, WM_ENGINE_COMMAND, ENGINE_CMD_END_MARKER, LPARAM(streamValue)))
    PostThreadMessageW(captureTarget.threadId, captureTarget.message, 0, LPARAM(streamValue));
}

CBufferRecord* CSoundWorksWAS::StartGatherBlock(CStreamContext* context, uint32_t frames,
                                                uint32_t blockFrames, uint64_t position) {
  const uint32_t align = context->format.nBlockAlign;
  const uint64_t size = (uint64_t(frames) + uint64_t(blockFrames)) * align + kCaptureBlockOverhead;
  CBufferRecord* block = size <= UINT32_MAX ? CreateBufferRecord(uint32_t(size)) : nullptr;
  if (!block) {
    CountDroppedBlock("no memory for it");
    return nullptr;
  }
  block->kind = kBufferKindAudio;
  BufferBlockHeader* header = CaptureBlockHeader(block);
  memset(header, 0, sizeof *header);
  header->sourceKey = context->sourceKey;
  header->timestamp = position;
  context->gatherBlock = block;
  return block;
}

// The endpoint lost frames (it says so with the discontinuity flag and a jump of its position):
// as many frames of silence keep the recording's time true.
void CSoundWorksWAS::InsertSilence(CStreamContext* context, CAudioDevice* device, uint64_t frames,
                                   uint32_t blockFrames, uint64_t position) {
  const uint32_t align = context->format.nBlockAlign;
  uint64_t left = frames;
  while (left > 0) {
    CBufferRecord* block = context->gatherBlock;
    if (!block && !(block = StartGatherBlock(context, blockFrames, blockFrames, position))) break;
    const uint32_t room = (block->size - kCaptureBlockOverhead - block->payloadBytes) / align;
    if (room == 0) {
      HandOverBlock(context, device, ENGINE_CMD_CONVERT);
      continue;
    }
    const uint32_t n = uint32_t(std::min<uint64_t>(left, room));
    memset(CaptureBlockPayload(block) + block->payloadBytes, 0, size_t(n) * align);
    CaptureBlockHeader(block)->frameCount += n;
    block->payloadBytes += n * align;
    left -= n;
    if (CaptureBlockHeader(block)->frameCount >= blockFrames)
      HandOverBlock(context, device, ENGINE_CMD_CONVERT);
  }
  insertedSilenceFrames += frames - left;
  Logf("Capture discontinuity: %llu frames of silence put in",
       static_cast<unsigned long long>(frames - left));
}

int CSoundWorksWAS::PollCaptureDevice(CAudioDevice* device) {
  CStreamContext* context = device->streams;
  if (!context || !context->captureClient) return 1;
  BYTE* data = nullptr;
  UINT32 frames = 0;
  DWORD flags = 0;
  UINT64 position = 0;
  UINT64 devicePosition = 0;
  HRESULT hr = context->captureClient->GetBuffer(&data, &frames, &flags, &devicePosition, &position);
  if (hr == AUDCLNT_E_DEVICE_INVALIDATED) {
    // Gone for good: close it, so the track stops waiting for its blocks; what it gave so far stays.
    LogWithName("Capture device lost, recording ends:", device->friendlyName);
    std::wstring id = device->id;
    StopCaptureInternal(id, device->streamIndex, true);
    return 1;
  }
  if (frames == 0) return 1;
  if (hr != S_OK) {
    context->captureClient->ReleaseBuffer(frames);
    return 1;
  }

  const uint32_t align = context->format.nBlockAlign;
  const uint32_t bytes = frames * align;
  int blockFrames = 0;
  if (sampleRate)
    blockFrames = MulDiv(int(framesPerBuffer), int(context->format.nSamplesPerSec), int(sampleRate));
  if (blockFrames <= 0) blockFrames = int(frames);

  if (flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) {
    // The first packet of a stream may carry the flag with nothing lost before it.
    const uint64_t expected = context->nextPosition;
    const uint64_t limit = uint64_t(context->format.nSamplesPerSec) * 10;  // more is a broken clock
    if (context->positionKnown && devicePosition > expected)
      InsertSilence(context, device, std::min(devicePosition - expected, limit), uint32_t(blockFrames),
                    position);
    else if (context->positionKnown)
      Log("Capture discontinuity without a measurable gap");
  }
  context->nextPosition = devicePosition + frames;
  context->positionKnown = true;

  // A packet larger than the room left closes the block early instead of overrunning it.
  if (CBufferRecord* block = context->gatherBlock) {
    if (block->payloadBytes + bytes > block->size - kCaptureBlockOverhead)
      HandOverBlock(context, device, ENGINE_CMD_CONVERT);
  }
  if (!context->gatherBlock && !StartGatherBlock(context, frames, uint32_t(blockFrames), position)) {
    context->captureClient->ReleaseBuffer(frames);
    return 0;
  }
  CBufferRecord* block = context->gatherBlock;
  BufferBlockHeader* header = CaptureBlockHeader(block);
  uint8_t* target = CaptureBlockPayload(block) + block->payloadBytes;
  if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) || !data)
    memset(target, 0, bytes);
  else
    memcpy(target, data, bytes);
  header->frameCount += frames;
  block->payloadBytes += bytes;
  if (header->frameCount >= uint32_t(blockFrames)) HandOverBlock(context, device, ENGINE_CMD_CONVERT);
  context->captureClient->ReleaseBuffer(frames);
  return 0;
}

void CSoundWorksWAS::PostConverted(CStreamContext* context, CAudioDevice* device, const uint8_t* samples,
                                   int frames) {
  const uint32_t bytes = uint32_t(frames) * context->outChannels * sizeof(float);
  CBufferRecord* record = CreateBufferRecord(bytes + kCaptureBlockOverhead);
  if (!record) {
    CountDroppedBlock("no memory for its converted samples");
    return;
  }
  context->convertBlock = record;
  record->kind = kBufferKindAudio;
  record->trackIndex = -1;
  record->reserved2 = 2;
  BufferBlockHeader* header = CaptureBlockHeader(record);
  memset(header, 0, sizeof *header);
  header->channels = context->outChannels;
  header->sampleRate = context->outRate;
  header->streamValue = context->streamValue;
  header->streamKey = context->streamKey;
  header->contextKey = 0;
  header->sourceKey = context->sourceKey;
  header->encoding = 1;
  header->frameCount = uint32_t(frames);
  if (bytes) memcpy(CaptureBlockPayload(record), samples, bytes);
  record->payloadBytes = bytes;
  record->size = bytes + kCaptureBlockOverhead;
  if (!PostThreadMessageW(captureTarget.threadId, captureTarget.message, reinterpret_cast<WPARAM>(record),
                          0)) {
    ReleaseBufferRecord(record);
    CountDroppedBlock("it could not be posted to the track");
  }
  context->convertBlock = nullptr;
}

void CSoundWorksWAS::ConvertCapturedBlock(CaptureBlockMessage* message) {
  CStreamContext* context = message->context;
  CAudioDevice* device = message->device;
  CBufferRecord* raw = message->block;
  const BufferBlockHeader* header = CaptureBlockHeader(raw);
  const int n = header ? int(header->frameCount) : 0;
  const int inRate = int(context->format.nSamplesPerSec);
  const uint8_t* input = CaptureBlockPayload(raw);

  // Packed 24-bit samples are widened to 32 bits, which the resampler reads.
  std::unique_ptr<int32_t[]> widened;
  if (context->packed24 && n > 0) {
    const size_t count = size_t(n) * context->format.nChannels;
    widened.reset(new (std::nothrow) int32_t[count]);
    if (widened) {
      for (size_t i = 0; i < count; ++i) {
        const uint8_t* s = input + 3 * i;
        widened[i] = int32_t(uint32_t(s[0]) << 8 | uint32_t(s[1]) << 16 | uint32_t(s[2]) << 24);
      }
    }
    input = reinterpret_cast<const uint8_t*>(widened.get());
  }

  if (input && n > 0 && context->resampler && inRate > 0) {
    const int64_t maxOut =
        av_rescale_rnd(swr_get_delay(context->resampler, inRate) + n, context->outRate, inRate, AV_ROUND_UP);
    uint8_t* out = nullptr;
    if (av_samples_alloc(&out, nullptr, int(context->outChannels), int(maxOut), AV_SAMPLE_FMT_FLT, 0) >= 0) {
      const uint8_t* in[1] = {input};
      int got = swr_convert(context->resampler, &out, int(maxOut), in, n);
      if (got < 0)
        LogAvError("", got);
      else
        PostConverted(context, device, out, got);
      av_freep(&out);
    }
  }
  ReleaseBufferRecord(message->block);
  Release(context);
  Release(device);
  delete message;
}

void CSoundWorksWAS::FlushCaptureStream(CaptureBlockMessage* message) {
  CStreamContext* context = message->context;
  const int inRate = int(context->format.nSamplesPerSec);
  if (context->resampler && inRate > 0) {
    const int64_t delay = swr_get_delay(context->resampler, inRate);
    const int64_t maxOut = av_rescale_rnd(delay, context->outRate, inRate, AV_ROUND_UP) + 16;
    uint8_t* out = nullptr;
    if (delay > 0 &&
        av_samples_alloc(&out, nullptr, int(context->outChannels), int(maxOut), AV_SAMPLE_FMT_FLT, 0) >= 0) {
      int got = swr_convert(context->resampler, &out, int(maxOut), nullptr, 0);
      if (got < 0)
        LogAvError("", got);
      else if (got > 0)
        PostConverted(context, message->device, out, got);
      av_freep(&out);
    }
  }
  ReleaseBufferRecord(message->block);
  Release(context);
  Release(message->device);
  delete message;
}
