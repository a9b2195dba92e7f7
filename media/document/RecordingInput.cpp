// The recording input: captured blocks wait until every open stream has delivered, are mixed by
// adding samples, converted to mono 16-bit at 44,100 Hz, scaled by the automatic gain and
// appended to the chunk the recording started in. Also the capture pipe's PCM writes.
#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <utility>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include "common/Locks.h"
#include "common/LogManager.h"
#include "media/document/SoundDocument.h"

#include <commctrl.h>

using Lock = std::lock_guard<RecursiveMutex>;

namespace {

// One gain for the whole process, 256 = unity; it carries over from block to block and from one
// recording to the next.
std::atomic<int32_t> g_recordingGain{CSoundDocument::kUnityGain};
std::atomic<uint64_t> g_growthCopiedBytes{0};

constexpr wchar_t kRecordingStoppedText[] =
    L"The recording was stopped: there is no room left to keep more of it. Everything recorded "
    L"until now is kept.";

// Frames of float samples a converted capture block really holds: never more than its stated
// payload or its bytes allow.
uint32_t FloatFrames(const CBufferRecord* record, const BufferBlockHeader* header, uint32_t channels) {
  const uint8_t* payload = CaptureBlockPayload(record);
  const uint8_t* end = record->data->data + record->data->size;
  if (!payload || payload > end || channels == 0) return 0;
  const uint64_t bytes = std::min<uint64_t>(record->payloadBytes, uint64_t(end - payload));
  return uint32_t(std::min<uint64_t>(header->frameCount, bytes / (4ull * channels)));
}

const BufferBlockHeader* ValidCaptureHeader(const CBufferRecord* record) {
  if (!record || !record->data || !record->data->data) return nullptr;
  const BufferBlockHeader* header = CaptureBlockHeader(record);
  if (!header) return nullptr;
  const uint8_t* end = record->data->data + record->data->size;
  if (reinterpret_cast<const uint8_t*>(header) + kBufferHeaderBytes > end) return nullptr;
  return header;
}

// An empty capture block of `frames` frames in the format of `like`; null without memory.
CBufferRecord* NewCaptureBlock(const CBufferRecord* like, uint64_t frames) {
  const BufferBlockHeader* h = CaptureBlockHeader(like);
  const uint64_t bytes = frames * 4 * std::max(h->channels, 1u);
  if (bytes + kCaptureBlockOverhead > CSoundDocument::kMaxChunkBytes) return nullptr;
  CBufferRecord* block = CreateBufferRecord(uint32_t(bytes) + kCaptureBlockOverhead);
  if (!block) return nullptr;
  block->kind = like->kind;
  block->trackIndex = like->trackIndex;
  block->size = uint32_t(bytes) + kCaptureBlockOverhead;
  block->payloadBytes = uint32_t(bytes);
  BufferBlockHeader* out = CaptureBlockHeader(block);
  *out = *h;
  out->frameCount = uint32_t(frames);
  return block;
}

// `count` frames of `record` from frame `from` on, in a new block.
CBufferRecord* SliceCaptureBlock(const CBufferRecord* record, uint32_t from, uint32_t count) {
  CBufferRecord* slice = NewCaptureBlock(record, count);
  if (slice && slice->payloadBytes)
    memcpy(CaptureBlockPayload(slice),
           CaptureBlockPayload(record) + size_t(from) * (slice->payloadBytes / count), slice->payloadBytes);
  return slice;
}

// b's frames after a's, in a new block; null when they differ in format or memory is short.
CBufferRecord* JoinCaptureBlocks(const CBufferRecord* a, const CBufferRecord* b) {
  const BufferBlockHeader* ha = ValidCaptureHeader(a);
  const BufferBlockHeader* hb = ValidCaptureHeader(b);
  if (!ha || !hb || ha->channels != hb->channels || ha->sampleRate != hb->sampleRate) return nullptr;
  const uint32_t channels = std::max(ha->channels, 1u);
  const uint32_t fa = FloatFrames(a, ha, channels), fb = FloatFrames(b, hb, channels);
  CBufferRecord* joined = NewCaptureBlock(a, uint64_t(fa) + fb);
  if (!joined) return nullptr;
  uint8_t* payload = CaptureBlockPayload(joined);
  memcpy(payload, CaptureBlockPayload(a), size_t(fa) * 4 * channels);
  memcpy(payload + size_t(fa) * 4 * channels, CaptureBlockPayload(b), size_t(fb) * 4 * channels);
  return joined;
}

}  // namespace

int32_t CSoundDocument::GetRecordingGain() { return g_recordingGain.load(); }
uint64_t CSoundDocument::GetGrowthCopiedBytes() { return g_growthCopiedBytes.load(); }

void CSoundDocument::ReleaseParked() {
  for (auto& entry : parked) ReleaseBufferRecord(entry.second);
  parked.clear();
}

void CSoundDocument::OnCaptureEnd(uint32_t session) {
  bool report = false;
  {
    Lock lock(packetLock);
    if (session == 0) session = captureSession_;
    endedSession_ = session;
    if (session == tailSession_) tailSession_ = 0;
    // The end of an older take must not mix a block of this one without its partner.
    if (!IsOlderSession(session)) {
      if (CBufferRecord* rest = MixParkedRecords()) ConvertAndAppend(rest);
    }
    if (draining_ && session == drainSession_) CompleteTake("complete");
    report = std::exchange(reportAppendFailure_, false);
  }
  if (report) Report(kRecordingStoppedText);
}

void CSoundDocument::OnSoundIn(CBufferRecord* record) {
  if (!record) {
    // End of a recording: what waits for a stream that has stopped is appended now.
    OnCaptureEnd(0);
    return;
  }
  bool report = false;
  {
    Lock lock(packetLock);
    TakeCapturedBlock(record);
    report = std::exchange(reportAppendFailure_, false);
  }
  // Told outside the lock: a box may stay up for long.
  if (report) Report(kRecordingStoppedText);
}

void CSoundDocument::TakeCapturedBlock(CBufferRecord* record) {
  const BufferBlockHeader* header = ValidCaptureHeader(record);
  if (!header) {
    ReleaseBufferRecord(record);
    return;
  }
  if (IsOlderSession(header->streamValue)) {
    // Late for its take (the track moved on, or gave up waiting): never part of another one.
    const uint32_t n = ++droppedBlocks_;
    char line[128];
    snprintf(line, sizeof line, "Captured block of an earlier take dropped (%u so far)", n);
    PostLogLine(LOG_WAVE_MANAGER, line);
    ReleaseBufferRecord(record);
    return;
  }
  const uint32_t key = header->sourceKey;
  if (header->streamValue != 0 && header->streamValue == tailSession_) {
    ParkTail(key, record);
    return;
  }
  CBufferRecord* ready[2] = {nullptr, nullptr};
  // A stream that delivers twice before the others: its older block goes on alone.
  for (const auto& entry : parked)
    if (entry.first == key) {
      ready[0] = MixParkedRecords();
      break;
    }
  parked.emplace_back(key, record);
  const uint32_t streams = engine ? engine->GetCaptureDeviceCount() : 0;
  if (parked.size() >= streams) ready[1] = MixParkedRecords();
  for (CBufferRecord* block : ready)
    if (block) ConvertAndAppend(block);
}

void CSoundDocument::ParkTail(uint32_t key, CBufferRecord* record) {
  auto it = std::find_if(parked.begin(), parked.end(), [key](const auto& e) { return e.first == key; });
  if (it == parked.end()) {
    parked.emplace_back(key, record);
  } else if (CBufferRecord* joined = JoinCaptureBlocks(it->second, record)) {
    ReleaseBufferRecord(it->second);
    ReleaseBufferRecord(record);
    it->second = joined;
  } else {
    // Cannot be joined: what waits goes on as it is, and the block waits in its place.
    CBufferRecord* ready = MixParkedRecords();
    parked.emplace_back(key, record);
    if (ready) ConvertAndAppend(ready);
    return;
  }
  // Once every stream of the session has delivered, the frames all of them hold are mixed now;
  // the rest waits for more of the other streams, or for the end marker.
  if (parked.size() < std::max(tailStreams_, 1u)) return;
  if (CBufferRecord* mixed = MixParkedPrefix()) ConvertAndAppend(mixed);
}

CBufferRecord* CSoundDocument::MixParkedPrefix() {
  const BufferBlockHeader* first = parked.empty() ? nullptr : ValidCaptureHeader(parked[0].second);
  if (!first) return MixParkedRecords();
  const uint32_t channels = std::max(first->channels, 1u);
  uint32_t n = UINT32_MAX;
  for (const auto& entry : parked) {
    const BufferBlockHeader* h = ValidCaptureHeader(entry.second);
    if (!h || std::max(h->channels, 1u) != channels) return MixParkedRecords();
    n = std::min(n, FloatFrames(entry.second, h, channels));
  }
  CBufferRecord* mixed = SliceCaptureBlock(parked[0].second, 0, n);
  std::vector<CBufferRecord*> rests(parked.size(), nullptr);
  bool ok = mixed != nullptr;
  for (size_t i = 0; ok && i < parked.size(); ++i) {
    CBufferRecord* r = parked[i].second;
    const uint32_t frames = FloatFrames(r, CaptureBlockHeader(r), channels);
    if (frames > n) ok = (rests[i] = SliceCaptureBlock(r, n, frames - n)) != nullptr;
  }
  if (!ok) {
    for (CBufferRecord* rest : rests) ReleaseBufferRecord(rest);
    ReleaseBufferRecord(mixed);
    return MixParkedRecords();
  }
  float* sum = reinterpret_cast<float*>(CaptureBlockPayload(mixed));
  for (size_t i = 1; i < parked.size(); ++i) {
    const float* add = reinterpret_cast<const float*>(CaptureBlockPayload(parked[i].second));
    for (uint64_t k = 0; k < uint64_t(n) * channels; ++k) sum[k] += add[k];
  }
  std::vector<std::pair<uint32_t, CBufferRecord*>> left;
  for (size_t i = 0; i < parked.size(); ++i) {
    ReleaseBufferRecord(parked[i].second);
    if (rests[i]) left.emplace_back(parked[i].first, rests[i]);
  }
  parked.swap(left);
  return mixed;
}

CBufferRecord* CSoundDocument::MixParkedRecords() {
  Lock lock(packetLock);
  if (parked.empty()) return nullptr;
  size_t baseIndex = 0;
  for (size_t i = 1; i < parked.size(); ++i)
    if (parked[i].second->payloadBytes > parked[baseIndex].second->payloadBytes) baseIndex = i;
  CBufferRecord* base = parked[baseIndex].second;
  const BufferBlockHeader* baseHeader = ValidCaptureHeader(base);
  const uint32_t channels = baseHeader ? std::max(baseHeader->channels, 1u) : 1;
  const uint32_t baseFrames = baseHeader ? FloatFrames(base, baseHeader, channels) : 0;
  float* sum = reinterpret_cast<float*>(CaptureBlockPayload(base));

  for (size_t i = 0; i < parked.size(); ++i) {
    if (i == baseIndex) continue;
    CBufferRecord* other = parked[i].second;
    const BufferBlockHeader* header = ValidCaptureHeader(other);
    if (header && sum && std::max(header->channels, 1u) == channels) {
      const float* add = reinterpret_cast<const float*>(CaptureBlockPayload(other));
      const uint64_t n = uint64_t(std::min(FloatFrames(other, header, channels), baseFrames)) * channels;
      for (uint64_t s = 0; s < n; ++s) sum[s] += add[s];
    }
    ReleaseBufferRecord(other);
  }
  parked.clear();
  return base;
}

void CSoundDocument::ConvertAndAppend(CBufferRecord* mixed) {
  const BufferBlockHeader* header = ValidCaptureHeader(mixed);
  const int channels = header ? int(header->channels ? header->channels : 1) : 1;
  const int rate = header && header->sampleRate ? int(header->sampleRate) : 44100;
  const uint32_t frames = header ? FloatFrames(mixed, header, uint32_t(channels)) : 0;
  if (frames == 0 || channels > 8) {  // empty blocks come at every stop
    ReleaseBufferRecord(mixed);
    return;
  }
  if (!converter || channels != converterChannels || rate != converterRate) {
    // The engine normally delivers mono at 44,100 Hz; anything else is mixed down and resampled.
    swr_free(&converter);
    AVChannelLayout in = {}, out = AV_CHANNEL_LAYOUT_MONO;
    av_channel_layout_default(&in, channels);
    if (swr_alloc_set_opts2(&converter, &out, AV_SAMPLE_FMT_S16, 44100, &in, AV_SAMPLE_FMT_FLT, rate, 0,
                            nullptr) < 0 ||
        swr_init(converter) < 0)
      swr_free(&converter);
    converterChannels = channels;
    converterRate = rate;
    if (!converter) {
      ReleaseBufferRecord(mixed);
      return;
    }
  }

  const int outFrames =
      int(av_rescale_rnd(swr_get_delay(converter, rate) + frames, 44100, rate, AV_ROUND_UP));
  uint8_t* output = nullptr;
  CBufferRecord* converted = nullptr;
  if (outFrames > 0 && av_samples_alloc(&output, nullptr, 1, outFrames, AV_SAMPLE_FMT_S16, 0) >= 0) {
    const uint8_t* input = CaptureBlockPayload(mixed);
    const int got = swr_convert(converter, &output, outFrames, &input, int(frames));
    if (got > 0 && (converted = CreateBufferRecord(2u * uint32_t(got) + kCaptureBlockOverhead)) != nullptr) {
      converted->payloadBytes = 2u * uint32_t(got);
      CaptureBlockHeader(converted)->frameCount = uint32_t(got);
      memcpy(CaptureBlockPayload(converted), output, converted->payloadBytes);
    } else if (got < 0) {
      PostLogLine(LOG_WAVE_MANAGER, "Recording: sample conversion failed");
    }
    av_freep(&output);
  }
  ReleaseBufferRecord(mixed);
  if (converted) AppendWithGain(converted);
}

// A growing chunk lives in a region of address space reserved for as much as a chunk may hold;
// memory is committed in steps as it fills, so the PCM is never copied while a take grows and
// never needs a second block of its size. A region too small for the next step (reserved while
// address space was short, or a malloc'd buffer that starts to grow) is replaced once by a larger
// one.
bool CSoundDocument::GrowChunk(CChunkInfo* chunk, uint64_t needed) {
  if (needed > kMaxChunkBytes) return false;
  if (chunk->capacity >= needed && (chunk->buffer || needed == 0)) return true;
  const uint64_t commit =
      std::min<uint64_t>((needed + kGrowStep - 1) / kGrowStep * kGrowStep, kMaxChunkBytes);
  if (chunk->buffer && chunk->reservedBytes >= commit) {
    if (!VirtualAlloc(chunk->buffer + chunk->capacity, size_t(commit - chunk->capacity), MEM_COMMIT,
                      PAGE_READWRITE))
      return false;
    chunk->capacity = uint32_t(commit);
    return true;
  }
  uint64_t reserve = std::max<uint64_t>(kMaxChunkBytes, commit);
  void* region = nullptr;
  while (!(region = VirtualAlloc(nullptr, size_t(reserve), MEM_RESERVE, PAGE_NOACCESS)) && reserve > commit)
    reserve = std::max<uint64_t>(reserve / 2, commit);
  if (!region) return false;
  if (!VirtualAlloc(region, size_t(commit), MEM_COMMIT, PAGE_READWRITE)) {
    VirtualFree(region, 0, MEM_RELEASE);
    return false;
  }
  auto* bytes = static_cast<uint8_t*>(region);
  const uint32_t keep = std::min(chunk->used, chunk->capacity);
  if (chunk->buffer && keep) {
    memcpy(bytes, chunk->buffer, keep);
    g_growthCopiedBytes += keep;
  }
  const uint32_t used = chunk->used;
  FreeChunkBuffer(chunk);
  chunk->buffer = bytes;
  chunk->used = used;
  chunk->capacity = uint32_t(commit);
  chunk->reservedBytes = uint32_t(reserve);
  return true;
}

void CSoundDocument::StopRecordingOnFailure(const char* why) {
  const uint32_t n = ++droppedBlocks_;
  char line[192];
  const CChunkInfo* chunk = recordingChunk;
  snprintf(line, sizeof line, "Recorded block dropped: %s (%u frames kept, %u blocks dropped so far)", why,
           chunk ? chunk->frames : 0u, n);
  PostLogLine(LOG_WAVE_MANAGER, line);
  if (!recording || appendFailed_) return;
  appendFailed_ = true;
  PostLogLine(LOG_WAVE_MANAGER, "Recording stopped: the take cannot grow any more");
  EndTake();
  recording = false;
  paused = false;
  Notify(NOTIFY_TRANSPORT_CHANGED);
  Notify(NOTIFY_CHUNK_IDLE);
  reportAppendFailure_ = true;
}

void CSoundDocument::AppendWithGain(CBufferRecord* record) {
  Lock lock(packetLock);
  CChunkInfo* chunk = recordingChunk;
  const bool current = chunk && chunk == GetCurrentChunk();
  const BufferBlockHeader* header = ValidCaptureHeader(record);
  // A take's blocks go to its chunk: while it records that is the current chunk; its tail may
  // find another chunk current when the worker moved on.
  if (!chunk || !(current || draining_) || !header) {
    if (header) {
      const uint32_t n = ++droppedBlocks_;
      char line[128];
      snprintf(line, sizeof line, "Captured block dropped: its chunk is no longer current (%u so far)", n);
      PostLogLine(LOG_WAVE_MANAGER, line);
    }
    ReleaseBufferRecord(record);
    return;
  }
  const uint8_t* end = record->data->data + record->data->size;
  const uint8_t* payload = CaptureBlockPayload(record);
  uint32_t bytes = uint32_t(std::min<uint64_t>(record->payloadBytes, uint64_t(end - payload)));
  bytes &= ~1u;
  const bool away = !current && !chunk->buffer;  // saved to its file and freed
  if (!away && !GrowChunk(chunk, uint64_t(chunk->used) + bytes)) {
    ReleaseBufferRecord(record);
    StopRecordingOnFailure(uint64_t(chunk->used) + bytes > kMaxChunkBytes ? "the chunk is full"
                                                                          : "no memory to grow the chunk");
    return;
  }

  int16_t* samples = reinterpret_cast<int16_t*>(CaptureBlockPayload(record));
  const uint32_t count = bytes / 2;
  int32_t peak = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const int32_t s = samples[i];
    if (s != -32768) peak = std::max(peak, s < 0 ? -s : s);  // |-32768| does not fit 16 bits
  }
  int32_t gain = g_recordingGain;
  const int32_t target = peak > 0 ? 7864080 / peak : gain;
  gain = target > gain ? gain + (target - gain) / 2 : target;
  if (gain > kMaxGain) gain = kMaxGain;
  g_recordingGain = gain;
  for (uint32_t i = 0; i < count; ++i) {
    const int32_t v = (int32_t(samples[i]) * gain) >> 8;
    samples[i] = int16_t(std::clamp(v, -32768, 32767));
  }

  if (away) {
    if (AppendAway(chunk, samples, bytes)) chunk->frames += count;
    ReleaseBufferRecord(record);
    return;
  }
  memcpy(chunk->buffer + chunk->used, samples, bytes);
  chunk->used += bytes;
  EnsureSoundFormat();
  chunk->frames += count;
  ReleaseBufferRecord(record);
  if (!current) return;
  if (playing) {
    // Played while its tail still came in: the playback keeps its place, the bar its chunk's length.
    SetPositionBarRange(chunk->frames);
    return;
  }
  playPosition += bytes / BlockAlign();
  SetPositionBarRange(playPosition);
  SetPositionBarPos(playPosition);

  framesPerPixel = 128;
  const int64_t limit = MulDiv(viewWidth, 4, 5);
  int64_t start = 0;
  if (int64_t(playPosition) / 128 > limit) start = std::max<int64_t>(0, int64_t(chunk->frames) - 128 * limit);
  RedrawWaveform(uint32_t(start), 128);
}

bool CSoundDocument::AppendAway(CChunkInfo* chunk, const int16_t* samples, uint32_t bytes) {
  if (!chunk->fileName[0]) return false;
  HANDLE file = CreateFileW(ChunkPath(chunk).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  const bool ok =
      file != INVALID_HANDLE_VALUE && WriteFile(file, samples, bytes, &written, nullptr) && written == bytes;
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!ok) {
    const uint32_t n = ++droppedBlocks_;
    PostLogLinef(LOG_WAVE_MANAGER, "Captured block of a take whose chunk is not current dropped (%u so far)",
                 n);
  }
  return ok;
}

void CSoundDocument::WriteChunkPcm(uint32_t sampleOffset, uint32_t byteCount, const void* data) {
  Lock lock(packetLock);
  CChunkInfo* chunk = GetCurrentChunk();
  if (!chunk || (byteCount && !data)) return;
  EnsureSoundFormat();
  const uint64_t bytesPerSample = wavHeader.bitsPerSample / 8;
  const uint64_t offset = uint64_t(sampleOffset) * bytesPerSample;
  const uint64_t end = offset + byteCount;
  if (end > kMaxChunkBytes) {
    PostLogLine(LOG_WAVE_MANAGER, "Pipe audio ignored: offset out of range");
    return;
  }
  // Everything that can refuse the write is checked before the chunk changes: a chunk of the
  // loaded file keeps its source frames until the audio has a place to go.
  const bool fromSource = chunk->fileName[0] == 0;
  if (fromSource && sampleOffset != 0 && !LoadChunk(currentChunk)) {
    PostLogLine(LOG_WAVE_MANAGER, "Pipe audio ignored: the chunk could not be read");
    return;
  }
  CChunkInfo fresh;  // a restart is written into a new buffer, the old one goes after
  CChunkInfo* target = sampleOffset == 0 ? &fresh : chunk;
  if (!GrowChunk(target, end)) {
    PostLogLine(LOG_WAVE_MANAGER, "Pipe audio ignored: no memory");
    return;
  }
  // Audio from the pipe replaces what the chunk held; a chunk of the loaded file gets a file of its
  // own, or the audio would be dropped when another chunk is selected.
  if (fromSource && !AssignChunkFile(chunk)) {
    FreeChunkBuffer(&fresh);
    PostLogLine(LOG_WAVE_MANAGER, "Pipe audio ignored: no chunk file");
    return;
  }
  if (sampleOffset == 0) {
    EmptyChunk(chunk);
    std::swap(chunk->buffer, fresh.buffer);
    std::swap(chunk->capacity, fresh.capacity);
    std::swap(chunk->reservedBytes, fresh.reservedBytes);
  }
  if (chunk->used < offset) memset(chunk->buffer + chunk->used, 0, size_t(offset - chunk->used));
  if (byteCount) memcpy(chunk->buffer + offset, data, byteCount);
  chunk->used = uint32_t(end);
  chunk->frames = chunk->used / BlockAlign();
  framesPerPixel = 128;
  RedrawWaveform(0, 128);
}
