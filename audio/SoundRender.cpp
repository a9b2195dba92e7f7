// Playback through XAudio2: render devices, PlayBlock and the voice callback.
//
// Wine's (and XAudio2's) GetState, SubmitSourceBuffer and DestroyVoice wait while OnBufferEnd
// runs, so OnBufferEnd never takes the render lock: the pending count is interlocked, the list of
// queued blocks has its own lock that is never held across an XAudio2 call, and voices are
// destroyed after the render lock is released.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "audio/EngineInternal.h"
#include "audio/SoundWorksImpl.h"
#include "common/Locks.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

using namespace engine;

namespace {

using PFN_XAudio2CreateExport = HRESULT(WINAPI*)(IXAudio2**, UINT32, XAUDIO2_PROCESSOR);

HRESULT WINAPI LoadedXAudio2Create(IXAudio2** out, UINT32 flags, XAUDIO2_PROCESSOR processor) {
  static DWORD loadError = 0;
  static PFN_XAudio2CreateExport create = [] {
    HMODULE module = LoadLibraryW(L"XAudio2_9Redist.dll");
    FARPROC proc = module ? GetProcAddress(module, MAKEINTRESOURCEA(1)) : nullptr;
    if (!proc) loadError = GetLastError();
    return reinterpret_cast<PFN_XAudio2CreateExport>(reinterpret_cast<void*>(proc));
  }();
  if (!create) return HRESULT_FROM_WIN32(loadError ? loadError : ERROR_MOD_NOT_FOUND);
  return create(out, flags, processor);
}

std::wstring Hex(HRESULT hr, bool upper) {
  wchar_t text[16];
  swprintf(text, 16, upper ? L"%lX" : L"%lx", static_cast<unsigned long>(hr));
  return text;
}

bool ValidPlayFormat(const BufferBlockHeader& h) {
  return h.channels >= 1 && h.channels <= kMaxPlayChannels && h.sampleRate >= kMinPlayRate &&
         h.sampleRate <= kMaxPlayRate &&
         (h.bitsPerSample == 8 || h.bitsPerSample == 16 || h.bitsPerSample == 24 || h.bitsPerSample == 32) &&
         (h.encoding == 0 || h.encoding == 1);
}

// The speakers of the usual layouts of 3 to 8 channels (front left, front right, centre, LFE,
// back left, back right, ...); other counts name none and leave the mapping to XAudio2.
DWORD DefaultChannelMask(uint32_t channels) {
  static const DWORD masks[] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x13F, 0x63F};
  return channels < sizeof masks / sizeof masks[0] ? masks[channels] : 0;
}

// A voice of more than two channels is described with WAVEFORMATEXTENSIBLE, as XAudio2 wants it.
WAVEFORMATEXTENSIBLE VoiceFormat(const WAVEFORMATEX& f) {
  static const GUID kPcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
  static const GUID kFloat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
  WAVEFORMATEXTENSIBLE x = {};
  x.Format = f;
  if (f.nChannels <= 2) return x;
  x.SubFormat = f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ? kFloat : kPcm;
  x.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  x.Format.cbSize = sizeof x - sizeof x.Format;
  x.Samples.wValidBitsPerSample = f.wBitsPerSample;
  x.dwChannelMask = DefaultChannelMask(f.nChannels);
  return x;
}

void PrepareDecoder(CStreamContext* context, const BufferBlockHeader& h, CSoundWorksWAS* engine) {
  context->decoder = avcodec_find_decoder(AV_CODEC_ID_MP3);
  context->codecContext = avcodec_alloc_context3(context->decoder);
  if (context->codecContext) {
    uint32_t rate = h.sampleRate;
    if (rate > 96000)
      rate /= 4;
    else if (rate > 48000)
      rate /= 2;
    const int channels = int(std::min<uint32_t>(h.channels, 2));
    context->codecContext->sample_rate = int(rate);
    av_channel_layout_default(&context->codecContext->ch_layout, channels);
    context->codecContext->bit_rate = channels * 64000;
    context->codecContext->sample_fmt = AV_SAMPLE_FMT_S16P;
    int error = avcodec_open2(context->codecContext, context->decoder, nullptr);
    if (error < 0) engine->LogAvError("avcodec_open2 error: ", error);
  }
  context->frame = av_frame_alloc();
  context->packet = av_packet_alloc();
}

// One decoded sample, as the stream's sample type (8/16/24-bit integer or 32-bit float).
void StoreSample(uint8_t* out, uint32_t bits, const uint8_t* plane, int index, AVSampleFormat format) {
  float value = 0;
  switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_S16:
      value = reinterpret_cast<const int16_t*>(plane)[index] / 32768.0f;
      break;
    case AV_SAMPLE_FMT_S32:
      value = float(reinterpret_cast<const int32_t*>(plane)[index] / 2147483648.0);
      break;
    case AV_SAMPLE_FMT_FLT:
      value = reinterpret_cast<const float*>(plane)[index];
      break;
    default:
      break;
  }
  if (bits == 32) {
    memcpy(out, &value, 4);
    return;
  }
  value = std::clamp(value, -1.0f, 1.0f);
  if (bits == 8) {
    *out = uint8_t(128 + std::lround(value * 127.0f));
  } else if (bits == 24) {
    const int32_t s = int32_t(std::lround(value * 8388607.0f));
    out[0] = uint8_t(s);
    out[1] = uint8_t(s >> 8);
    out[2] = uint8_t(s >> 16);
  } else {
    const int16_t s = int16_t(std::lround(value * 32767.0f));
    memcpy(out, &s, 2);
  }
}

// Decodes an MP3 block into a new record laid out as a play block (header bytes not written).
CBufferRecord* DecodeMp3Block(CSoundWorksWAS* engine, CStreamContext* context, const CBufferRecord* record,
                              const BufferBlockHeader& h) {
  const uint32_t bytesPerSample = context->format.wBitsPerSample / 8;
  const uint64_t capacity64 = uint64_t(bytesPerSample) * h.frameCount * h.channels;
  if (capacity64 > 64u * 1024 * 1024) return nullptr;
  const uint32_t capacity = uint32_t(capacity64);
  CBufferRecord* output = CreateBufferRecord(capacity + kBufferHeaderBytes);
  if (!output) return nullptr;
  uint32_t written = 0;
  if (context->codecContext && context->frame && context->packet && avcodec_is_open(context->codecContext)) {
    av_frame_unref(context->frame);
    av_packet_unref(context->packet);
    context->packet->data = record->data->data + kBufferHeaderBytes;
    context->packet->size = int(record->size - kBufferHeaderBytes);
    int error = 0;
    if (context->packet->size > 0) {
      error = avcodec_send_packet(context->codecContext, context->packet);
      if (error < 0) engine->LogAvError("avcodec_send_packet error: ", error);
    }
    context->packet->data = nullptr;
    context->packet->size = 0;
    if (error >= 0) {
      uint8_t* base = output->data->data + kBufferHeaderBytes;
      const uint32_t frameBytes = bytesPerSample * h.channels;
      for (;;) {
        error = avcodec_receive_frame(context->codecContext, context->frame);
        if (error < 0) break;
        AVFrame* f = context->frame;
        const bool planar = av_sample_fmt_is_planar(AVSampleFormat(f->format));
        const int srcChannels = f->ch_layout.nb_channels;
        for (int i = 0; i < f->nb_samples && written + frameBytes <= capacity; ++i) {
          for (uint32_t c = 0; c < h.channels; ++c) {
            const int sc = std::min<int>(int(c), srcChannels - 1);
            const uint8_t* plane = planar ? f->extended_data[sc] : f->extended_data[0];
            const int index = planar ? i : i * srcChannels + sc;
            StoreSample(base + written + c * bytesPerSample, context->format.wBitsPerSample, plane, index,
                        AVSampleFormat(f->format));
          }
          written += frameBytes;
        }
        av_frame_unref(f);
      }
      if (error != AVERROR(EAGAIN) && error != AVERROR_EOF)
        engine->LogAvError("avcodec_receive_frame error: ", error);
    }
  }
  output->size = written + kBufferHeaderBytes;
  return output;
}

}  // namespace

void StreamingVoiceCallback::OnBufferEnd(void* context) {
  auto* record = static_cast<CBufferRecord*>(context);
  if (!record) return;
  if (engine) engine->ForgetQueuedBlock(record);
  if (record->pendingCounter) InterlockedDecrement(record->pendingCounter);
  // Decoded MP3 blocks belong to no track: nobody would claim them.
  if (record->kind != kBufferKindAudio ||
      !PostThreadMessageW(target.threadId, target.message, reinterpret_cast<WPARAM>(record), 0))
    ReleaseBufferRecord(record);
}

void CSoundWorksWAS::ForgetQueuedBlock(CBufferRecord* record) {
  EnterCriticalSection(&queuedLock_);
  auto it = std::find(queued_.begin(), queued_.end(), record);
  if (it != queued_.end()) queued_.erase(it);
  LeaveCriticalSection(&queuedLock_);
}

bool CSoundWorksWAS::IsActiveRenderEndpoint(const std::wstring& id) {
  IMMDeviceEnumerator* enumerator = Enumerator();
  if (!enumerator) return false;
  IMMDevice* device = nullptr;
  if (FAILED(enumerator->GetDevice(id.c_str(), &device)) || !device) return false;
  DWORD state = 0;
  bool active = SUCCEEDED(device->GetState(&state)) && state == DEVICE_STATE_ACTIVE;
  IMMEndpoint* endpoint = nullptr;
  if (active &&
      SUCCEEDED(device->QueryInterface(__uuidof(IMMEndpoint), reinterpret_cast<void**>(&endpoint))) &&
      endpoint) {
    EDataFlow flow = eRender;
    if (SUCCEEDED(endpoint->GetDataFlow(&flow)) && flow != eRender) active = false;
    endpoint->Release();
  }
  device->Release();
  return active;
}

bool CSoundWorksWAS::OpenRenderOutput(CAudioDevice* device) {
  PFN_XAudio2Create create = g_pfnXAudio2Create ? g_pfnXAudio2Create : LoadedXAudio2Create;
  HRESULT hr = create(&device->xaudio2, 0, XAUDIO2_DEFAULT_PROCESSOR);
  if (FAILED(hr) || !device->xaudio2) {
    device->xaudio2 = nullptr;
    Log("Error initializing XAudio2. Check your DirectX installation.");
    LogWide(Hex(hr, false));
    return false;
  }
  // Without an audio server a mastering voice on a missing endpoint crashes Wine's XAudio2.
  hr = E_FAIL;
  if (IsActiveRenderEndpoint(device->id))
    hr = device->xaudio2->CreateMasteringVoice(&device->masteringVoice, 0, 0, 0, device->id.c_str(), nullptr,
                                               AudioCategory_GameEffects);
  if (SUCCEEDED(hr) && device->masteringVoice) {
    LogWithName("Starting:", device->friendlyName);
    return true;
  }
  device->masteringVoice = nullptr;
  // No box here: it would run a message loop under the render lock, with this device half made.
  {
    std::lock_guard<Mutex> lock(failureLock_);
    failure_ = {L"Could not create XAudio device. Check your app settings.", L"Attention"};
  }
  Log("Could not create XAudio device. Check your app settings.");
  return false;
}

std::pair<std::wstring, std::wstring> CSoundWorksWAS::TakeFailureText() {
  std::lock_guard<Mutex> lock(failureLock_);
  return std::exchange(failure_, {});
}

bool CSoundWorksWAS::StartRender(std::wstring id, int32_t streamIndex) {
  std::lock_guard<RecursiveMutex> lock(renderLock);
  if (OpenOrCloseDevice(true, false, id, streamIndex)) return true;
  // Already open: usable when its mastering voice exists.
  for (CAudioDevice* device = renderDevices; device; device = device->next)
    if (device->id == id) return device->masteringVoice != nullptr;
  return false;
}

void CSoundWorksWAS::StopRender(std::wstring id, int32_t streamIndex) {
  std::vector<CAudioDevice*> retired;
  {
    std::lock_guard<RecursiveMutex> lock(renderLock);
    OpenOrCloseDevice(false, false, id, streamIndex);
    retired.swap(retiredRender_);
  }
  for (CAudioDevice* device : retired) DestroyRenderDevice(device);
}

// Outside the render lock: DestroyVoice waits for a running OnBufferEnd.
void CSoundWorksWAS::DestroyRenderDevice(CAudioDevice* device) {
  while (CStreamContext* context = device->streams) {
    device->streams = context->next;
    if (context->sourceVoice) {
      context->sourceVoice->DestroyVoice();
      context->sourceVoice = nullptr;
    }
    // XAudio2 does not end the blocks still queued on a destroyed voice: release them here.
    std::vector<CBufferRecord*> orphans;
    EnterCriticalSection(&queuedLock_);
    for (auto it = queued_.begin(); it != queued_.end();) {
      if ((*it)->pendingCounter == &context->pending) {
        orphans.push_back(*it);
        it = queued_.erase(it);
      } else {
        ++it;
      }
    }
    LeaveCriticalSection(&queuedLock_);
    for (CBufferRecord* record : orphans) ReleaseBufferRecord(record);
    ReleaseStreamContext(context);
  }
  LogWithName("Stopping:", device->friendlyName);
  SafeRelease(device->endpoint);
  if (device->masteringVoice) {
    device->masteringVoice->DestroyVoice();
    device->masteringVoice = nullptr;
  }
  SafeRelease(device->xaudio2);
  Release(device);
}

CStreamContext* CSoundWorksWAS::FindPlayContext(CAudioDevice* device, const BufferBlockHeader& h) {
  CStreamContext* context = device->streams;
  while (context && !(context->contextKey == h.contextKey && context->streamKey == h.streamKey &&
                      context->sourceKey == h.sourceKey && context->format.nSamplesPerSec == h.sampleRate &&
                      context->format.nChannels == h.channels))
    context = context->next;
  return context;
}

CStreamContext* CSoundWorksWAS::OpenPlayContext(CAudioDevice* device, const BufferBlockHeader& h) {
  if (!device->masteringVoice) {
    Log("Could not create render Device. Check that device is present.");
    OpenOrCloseDevice(false, false, device->id, 0);
    return nullptr;
  }
  CStreamContext* context = new (std::nothrow) CStreamContext;
  if (!context) return nullptr;
  context->sourceKey = h.sourceKey;
  context->contextKey = h.contextKey;
  context->streamKey = h.streamKey;
  context->ownerData = ownerData;
  PrepareDecoder(context, h, this);
  WAVEFORMATEX& f = context->format;
  // 32-bit blocks are float; 24-bit float does not exist, so 24 stays integer PCM.
  f.wFormatTag = h.bitsPerSample == 32 ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
  f.nChannels = WORD(h.channels);
  f.nSamplesPerSec = h.sampleRate;
  f.wBitsPerSample = WORD(h.bitsPerSample);
  f.nBlockAlign = WORD(h.bitsPerSample / 8 * h.channels);
  f.nAvgBytesPerSec = f.nBlockAlign * h.sampleRate;
  f.cbSize = 0;
  const WAVEFORMATEXTENSIBLE voice = VoiceFormat(f);
  HRESULT hr = device->xaudio2->CreateSourceVoice(&context->sourceVoice, &voice.Format, 0, 2.0f,
                                                  &voiceCallback, nullptr, nullptr);
  if (FAILED(hr) || !context->sourceVoice) {
    context->sourceVoice = nullptr;
    Log("Could not create SourceVoice. Check that format is valid.");
    ReleaseStreamContext(context);
    OpenOrCloseDevice(false, false, device->id, 0);
    return nullptr;
  }
  context->next = device->streams;
  if (device->streams) device->streams->prev = context;
  device->streams = context;
  return context;
}

CBufferRecord* CSoundWorksWAS::PreparePlayBuffer(CStreamContext* context, CBufferRecord* record,
                                                 const BufferBlockHeader& h, XAUDIO2_BUFFER* buffer) {
  CBufferRecord* queued = nullptr;
  const uint32_t frameBytes = context->format.nBlockAlign;
  if (h.encoding == 0) {
    record->pendingCounter = &context->pending;
    queued = CloneBufferRecord(record);
    if (!queued) return nullptr;
    const uint32_t audio = (record->size - kBufferHeaderBytes) / frameBytes * frameBytes;
    buffer->pAudioData = record->data->data + kBufferHeaderBytes;
    buffer->AudioBytes = audio;
    buffer->PlayLength = audio / frameBytes;
  } else {
    queued = DecodeMp3Block(this, context, record, h);
    if (!queued) return nullptr;
    queued->pendingCounter = &context->pending;
    buffer->pAudioData = queued->data->data + kBufferHeaderBytes;
    buffer->AudioBytes = queued->size - kBufferHeaderBytes;
    buffer->PlayLength = buffer->AudioBytes / frameBytes;
  }
  buffer->pContext = queued;
  return queued;
}

bool CSoundWorksWAS::SubmitPlayBuffer(CAudioDevice* device, CStreamContext* context, CBufferRecord* queued,
                                      const XAUDIO2_BUFFER& buffer) {
  XAUDIO2_VOICE_STATE state = {};
  context->sourceVoice->GetState(&state, 0);
  if (state.BuffersQueued >= 64) {
    LogWide(L"Error in XAudio2 too many buffers to enqueue. Device: " + device->id);
    ReleaseBufferRecord(queued);
    return false;
  }
  if (context->pending > 2 || buffer.AudioBytes == 0) {
    ReleaseBufferRecord(queued);
    return false;
  }
  // Counted and listed before the submission: OnBufferEnd may run before it returns.
  EnterCriticalSection(&queuedLock_);
  queued_.push_back(queued);
  LeaveCriticalSection(&queuedLock_);
  InterlockedIncrement(&context->pending);
  HRESULT hr = context->sourceVoice->SubmitSourceBuffer(&buffer, nullptr);
  if (FAILED(hr)) {
    LogWide(L"Error in XAudio2 SubmitSoundBuffer: " + Hex(hr, true) + L". Device: " + device->id);
    InterlockedDecrement(&context->pending);
    ForgetQueuedBlock(queued);
    ReleaseBufferRecord(queued);
    return false;
  }
  // Started with its first block: a one-block chunk must play and come back too.
  if (!context->voiceStarted) {
    hr = context->sourceVoice->Start(0, 0);
    if (FAILED(hr))
      Logf("Error in XAudio2 Start: %u", unsigned(hr));
    else
      context->voiceStarted = true;
  }
  return true;
}

bool CSoundWorksWAS::PlayBlock(CBufferRecord* record, int32_t) {
  if (!record) return false;
  bool queuedAny = false;
  std::vector<CAudioDevice*> retired;
  {
    std::lock_guard<RecursiveMutex> lock(renderLock);
    const BufferBlockHeader* hp = PlayBlockHeader(record);
    if (!hp || record->size < kBufferHeaderBytes || record->size > record->data->size) {
      Log("Play block refused: bad size");
      ReleaseBufferRecord(record);
      return false;
    }
    const BufferBlockHeader h = *hp;
    if (!ValidPlayFormat(h)) {
      Logf("Play block refused: channels %u, sampling rate %u, bits %u, encoding %u", h.channels,
           h.sampleRate, h.bitsPerSample, h.encoding);
      ReleaseBufferRecord(record);
      return false;
    }

    for (CAudioDevice* device = renderDevices; device; device = device->next) {
      CStreamContext* context = FindPlayContext(device, h);
      if (!context) {
        // A device that cannot play is closed, which changes the list: no further device now.
        context = OpenPlayContext(device, h);
        if (!context) break;
      }
      if (!context->sourceVoice) continue;
      XAUDIO2_BUFFER buffer = {};
      CBufferRecord* queued = PreparePlayBuffer(context, record, h, &buffer);
      if (!queued) continue;
      if (SubmitPlayBuffer(device, context, queued, buffer)) queuedAny = true;
    }
    retired.swap(retiredRender_);
  }
  for (CAudioDevice* device : retired) DestroyRenderDevice(device);
  ReleaseBufferRecord(record);
  return queuedAny;
}
