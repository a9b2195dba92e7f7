// madlldlib.dll over FFmpeg: mp3 demuxer (ID3v2, Xing/Info/VBRI, encoder delay and padding),
// the default MP3 decoder, libswresample to interleaved 16-bit, and a WAV written beside the
// output and moved into place when whole. A long file is decoded in segments on several threads.
#include "standins/madlldlib/MadllDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr unsigned kMaxThreads = 16;

// FFmpeg allocates through the CRT's _aligned_malloc, _aligned_realloc and _aligned_free, which
// share one heap and its lock: the segment threads allocate for every frame, and under Wine they
// then spend more time waiting for that lock than decoding. So this library's imports of the three
// point here instead, and each of the decoder's threads allocates from a heap of its own. Every
// block records its heap, so it may be freed on any thread; the heaps are made once and kept.
struct BlockHeader {
  HANDLE heap;
  void* raw;    // what HeapAlloc returned
  size_t size;  // what the caller asked for
};

// Threads without a heap of their own (the caller's) use the process heap.
DWORD ThreadHeapSlot() {
  static const DWORD slot = TlsAlloc();
  return slot;
}

void* HeapAlignedMalloc(size_t size, size_t alignment) {
  if (alignment < alignof(BlockHeader)) alignment = alignof(BlockHeader);
  if ((alignment & (alignment - 1)) || size > SIZE_MAX - alignment - sizeof(BlockHeader)) return nullptr;
  HANDLE heap = ThreadHeapSlot() == TLS_OUT_OF_INDEXES ? nullptr : TlsGetValue(ThreadHeapSlot());
  if (!heap) heap = GetProcessHeap();
  void* raw = HeapAlloc(heap, 0, size + alignment + sizeof(BlockHeader));
  if (!raw) return nullptr;
  const uintptr_t at =
      (reinterpret_cast<uintptr_t>(raw) + sizeof(BlockHeader) + alignment - 1) & ~(alignment - 1);
  BlockHeader* header = reinterpret_cast<BlockHeader*>(at) - 1;
  header->heap = heap;
  header->raw = raw;
  header->size = size;
  return reinterpret_cast<void*>(at);
}

void HeapAlignedFree(void* block) {
  if (!block) return;
  const BlockHeader* header = static_cast<BlockHeader*>(block) - 1;
  HeapFree(header->heap, 0, header->raw);
}

void* HeapAlignedRealloc(void* block, size_t size, size_t alignment) {
  if (!block) return HeapAlignedMalloc(size, alignment);
  void* moved = HeapAlignedMalloc(size, alignment);
  if (!moved) return nullptr;  // the block stays as it was
  memcpy(moved, block, std::min(size, (static_cast<BlockHeader*>(block) - 1)->size));
  HeapAlignedFree(block);
  return moved;
}

// Gives the calling thread the heap numbered index (made on first use), shared by every thread
// that has the same index, in this decode or another.
void UseOwnHeap(unsigned index) {
  static HANDLE heaps[kMaxThreads + 1];
  static std::mutex made;
  if (ThreadHeapSlot() == TLS_OUT_OF_INDEXES || index > kMaxThreads) return;
  std::lock_guard<std::mutex> lock(made);
  if (!heaps[index]) heaps[index] = HeapCreate(0, 0, 0);
  if (heaps[index]) TlsSetValue(ThreadHeapSlot(), heaps[index]);
}

// Set while a thread decodes a segment: any error FFmpeg reports on that thread marks it.
thread_local bool* t_errorSeen = nullptr;

// FFmpeg's complaints go to the debugger output instead of a console the program does not have.
void ForwardFfmpegLog(void*, int level, const char* format, va_list args) {
  if (level > AV_LOG_ERROR) return;
  if (t_errorSeen) *t_errorSeen = true;
  char text[512];
  int n = snprintf(text, sizeof text, "madlldlib: ");
  vsnprintf(text + n, sizeof text - n, format, args);
  OutputDebugStringA(text);
}

std::wstring OemToWide(const char* text) {
  int n = MultiByteToWideChar(CP_OEMCP, 0, text, -1, nullptr, 0);
  if (n <= 1) return {};
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_OEMCP, 0, text, -1, wide.data(), n);
  wide.resize(static_cast<size_t>(n - 1));
  return wide;
}

std::string WideToUtf8(const std::wstring& wide) {
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string utf8(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8.data(), n, nullptr, nullptr);
  utf8.resize(static_cast<size_t>(n - 1));
  return utf8;
}

uint32_t Capped(int64_t value) {
  return value < 0 ? 0 : value > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

uint32_t ReadBE32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// An MPEG audio Layer III frame header at p: its byte length and where its side information ends.
struct FrameHeader {
  uint32_t length = 0;   // 0: not a Layer III header of known size (free format included)
  uint32_t sideEnd = 0;  // offset of the byte after the side information
};

FrameHeader ParseLayer3Header(const uint8_t* p) {
  FrameHeader h;
  if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return h;
  const int version = (p[1] >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
  const int layer = (p[1] >> 1) & 3;    // 1 Layer III
  const int bitIndex = p[2] >> 4, rateIndex = (p[2] >> 2) & 3, padding = (p[2] >> 1) & 1;
  if (version == 1 || layer != 1 || bitIndex == 0 || bitIndex == 15 || rateIndex == 3) return h;
  static const int kRates[4][3] = {
      {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
  static const int kKbpsV1[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
  static const int kKbpsV2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
  const bool mono = (p[3] >> 6) == 3;
  if (version == 3) {
    h.length = static_cast<uint32_t>(144000 * kKbpsV1[bitIndex] / kRates[3][rateIndex] + padding);
    h.sideEnd = 4 + (mono ? 17 : 32);
  } else {
    h.length = static_cast<uint32_t>(72000 * kKbpsV2[bitIndex] / kRates[version][rateIndex] + padding);
    h.sideEnd = 4 + (mono ? 9 : 17);
  }
  return h;
}

// What a Xing/Info or VBRI header frame (the first frame after the ID3v2 tags) tells.
struct LeadingTag {
  // Sound frames announced (the header frame not counted, as the demuxer does not deliver it);
  // 0 when the file has no such frame or it gives no count.
  uint32_t frames = 0;
  // A Xing/Info frame that announces neither frames nor bytes (written by a streaming encoder that
  // cannot know them) is not passed over by the demuxer: it decodes as this many silent samples,
  // which are no part of the sound.
  uint32_t silentSamples = 0;
};

LeadingTag ReadLeadingTag(HANDLE file) {
  LeadingTag tag;
  uint8_t head[10];
  DWORD got = 0;
  int64_t at = 0;
  for (;;) {  // ID3v2 tags, possibly several in a row
    LARGE_INTEGER pos;
    pos.QuadPart = at;
    if (!SetFilePointerEx(file, pos, nullptr, FILE_BEGIN) || !ReadFile(file, head, 10, &got, nullptr) ||
        got < 10)
      return tag;
    if (memcmp(head, "ID3", 3) || ((head[6] | head[7] | head[8] | head[9]) & 0x80)) break;
    const int64_t size = int64_t(head[6]) << 21 | int64_t(head[7]) << 14 | int64_t(head[8]) << 7 | head[9];
    at += 10 + size + ((head[5] & 0x10) ? 10 : 0);
  }
  uint8_t frame[4096];
  LARGE_INTEGER pos;
  pos.QuadPart = at;
  if (!SetFilePointerEx(file, pos, nullptr, FILE_BEGIN) ||
      !ReadFile(file, frame, sizeof frame, &got, nullptr))
    return tag;
  // The first header that another header follows at its length: a lone sync word in junk is no frame.
  for (DWORD i = 0; i + 4 <= got; ++i) {
    FrameHeader h = ParseLayer3Header(frame + i);
    if (!h.length || i + h.length + 4 > got || !ParseLayer3Header(frame + i + h.length).length) continue;
    const uint8_t* f = frame + i;
    if (h.sideEnd + 12 <= h.length &&
        (!memcmp(f + h.sideEnd, "Xing", 4) || !memcmp(f + h.sideEnd, "Info", 4))) {
      const uint32_t flags = ReadBE32(f + h.sideEnd + 4);
      if (flags & 1) tag.frames = ReadBE32(f + h.sideEnd + 8);
      if (!(flags & 3)) tag.silentSamples = ((f[1] >> 3) & 3) == 3 ? 1152 : 576;
      return tag;
    }
    // Whether a VBRI count includes its own frame varies between encoders: allow for it.
    if (36 + 18 <= h.length && !memcmp(f + 36, "VBRI", 4)) {
      const uint32_t frames = ReadBE32(f + 36 + 14);
      tag.frames = frames ? frames - 1 : 0;
      return tag;
    }
    return tag;
  }
  return tag;
}

// Buffered writer over a Win32 file that remembers the first failure. Large blocks go straight
// to the file.
class WavWriter {
 public:
  explicit WavWriter(HANDLE file) : file_(file) { buffer_.reserve(kBufferSize); }
  bool Append(const uint8_t* data, size_t size) {
    if (size >= kDirectSize) {
      if (Flush()) ok_ = WriteAll(data, size);
      if (ok_) dataBytes_ += size;
      return ok_;
    }
    while (ok_ && size) {
      size_t n = std::min(size, kBufferSize - buffer_.size());
      buffer_.insert(buffer_.end(), data, data + n);
      data += n;
      size -= n;
      dataBytes_ += n;
      if (buffer_.size() == kBufferSize) Flush();
    }
    return ok_;
  }
  bool Flush() {
    if (ok_ && !buffer_.empty()) ok_ = WriteAll(buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok_;
  }
  bool WriteAll(const uint8_t* data, size_t size) {
    DWORD written = 0;
    return WriteFile(file_, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
  }
  uint64_t DataBytes() const { return dataBytes_; }

 private:
  static constexpr size_t kBufferSize = 4 << 20;
  static constexpr size_t kDirectSize = 1 << 20;
  HANDLE file_;
  std::vector<uint8_t> buffer_;
  uint64_t dataBytes_ = 0;
  bool ok_ = true;
};

void PutLE16(uint8_t* p, uint32_t v) { p[0] = uint8_t(v), p[1] = uint8_t(v >> 8); }
void PutLE32(uint8_t* p, uint32_t v) { PutLE16(p, v), PutLE16(p + 2, v >> 16); }

void BuildWavHeader(uint8_t* h, uint32_t channels, uint32_t rate, uint32_t dataBytes) {
  memcpy(h, "RIFF", 4);
  PutLE32(h + 4, dataBytes + 36);
  memcpy(h + 8, "WAVEfmt ", 8);
  PutLE32(h + 16, 16);
  PutLE16(h + 20, 1);
  PutLE16(h + 22, channels);
  PutLE32(h + 24, rate);
  PutLE32(h + 28, rate * channels * 2);
  PutLE16(h + 32, channels * 2);
  PutLE16(h + 34, 16);
  memcpy(h + 36, "data", 4);
  PutLE32(h + 40, dataBytes);
}

// The MP3 file mapped into memory for the demuxer, which reads it through its own I/O context:
// its reads then cost no system call each.
class MappedInput {
 public:
  ~MappedInput() {
    if (io_) av_freep(&io_->buffer);
    avio_context_free(&io_);
    if (view_) UnmapViewOfFile(view_);
    if (mapping_) CloseHandle(mapping_);
  }
  // False when the file cannot be mapped whole (the caller reads it by name instead).
  bool Open(const std::wstring& path) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart <= kMaxMapped)
      mapping_ = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    CloseHandle(file);
    if (!mapping_) return false;
    view_ = static_cast<const uint8_t*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0));
    if (!view_) return false;
    size_ = size.QuadPart;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (!buffer) return false;
    io_ = avio_alloc_context(buffer, kBufferSize, 0, this, Read, nullptr, Seek);
    if (!io_) av_free(buffer);
    return io_ != nullptr;
  }
  AVIOContext* Io() const { return io_; }

 private:
  static constexpr int64_t kMaxMapped = 512 << 20;  // an hour at 320 kbit/s is 144 MB
  static constexpr int kBufferSize = 64 << 10;

  static int Read(void* opaque, uint8_t* buffer, int size) {
    auto* self = static_cast<MappedInput*>(opaque);
    const int64_t n = std::min<int64_t>(size, self->size_ - self->at_);
    if (n <= 0) return AVERROR_EOF;
    memcpy(buffer, self->view_ + self->at_, size_t(n));
    self->at_ += n;
    return int(n);
  }
  static int64_t Seek(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<MappedInput*>(opaque);
    switch (whence & ~AVSEEK_FORCE) {
      case AVSEEK_SIZE:
        return self->size_;
      case SEEK_SET:
        break;
      case SEEK_CUR:
        offset += self->at_;
        break;
      case SEEK_END:
        offset += self->size_;
        break;
      default:
        return AVERROR(EINVAL);
    }
    if (offset < 0 || offset > self->size_) return AVERROR(EINVAL);
    return self->at_ = offset;
  }

  HANDLE mapping_ = nullptr;
  const uint8_t* view_ = nullptr;
  int64_t size_ = 0, at_ = 0;
  AVIOContext* io_ = nullptr;
};

// MPEG frames per segment of a parallel decode, and the frames before it that each segment
// decodes first and drops: after them the bit reservoir (at most 511 bytes back), the transform's
// overlap and the synthesis filter hold what a decode from the file's start holds.
constexpr size_t kSegmentFrames = 1024;
constexpr size_t kWarmUpFrames = 16;
// Returned by a parallel decode that must be redone on one thread.
constexpr int kDecodeOnOneThread = -1;

// The processors this process may run on.
unsigned UsableProcessors() {
  DWORD_PTR process = 0, system = 0;
  unsigned n = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
    for (; process; process &= process - 1) ++n;
  return std::clamp(n, 1u, kMaxThreads);
}

// The default (floating-point) decoder: with its SIMD code it decodes twice as fast here as the
// fixed-point one, whose 64-bit products are slow on a 32-bit processor. It also rounds each
// output sample on its own, where the fixed-point synthesis carries its rounding remainder from
// sample to sample through the whole file: only the floating-point output of a segment decoded
// on its own equals that of a decode from the start.
int OpenDecoder(const AVCodecParameters* parameters, AVRational timeBase, AVCodecContext** out) {
  const AVCodec* decoder = avcodec_find_decoder(parameters->codec_id);
  if (!decoder) return MADLL_ERR_NOT_MPEG_AUDIO;
  AVCodecContext* codec = *out = avcodec_alloc_context3(decoder);
  if (!codec) return MADLL_ERR_NO_MEMORY;
  if (avcodec_parameters_to_context(codec, parameters) < 0) return MADLL_ERR_DECODE;
  // The decoder cuts the encoder delay and padding only when it knows the packets' time base.
  codec->pkt_timebase = timeBase;
  codec->thread_count = 1;
  if (avcodec_open2(codec, decoder, nullptr) < 0) return MADLL_ERR_DECODE;
  return MADLL_OK;
}

// A run of consecutive MPEG frames of the file, decoded on its own to interleaved 16-bit samples
// in the format of its first frame. It starts with the last frames of the run before, whose
// output is dropped.
struct Segment {
  ~Segment() {
    for (Packet& p : packets) av_packet_free(&p.props);
    av_channel_layout_uninit(&layout);
  }
  size_t OwnFrames() const { return packets.size() - warmUp; }

  // Payloads side by side in one block: the demuxer's own packets are freed as they are read, as
  // in a decode from the start, rather than living on in the thousands.
  struct Packet {
    size_t offset;
    int size;
    int64_t pts, dts, duration, pos;
    int flags;
    AVPacket* props;  // a copy without payload of a packet that carries side data
  };
  void Add(const AVPacket* packet, const uint8_t* data) {
    AVPacket* props = nullptr;
    if (packet->side_data_elems) {
      props = av_packet_alloc();
      if (!props || av_packet_copy_props(props, packet) < 0) {
        av_packet_free(&props);
        throw std::bad_alloc();
      }
    }
    packets.push_back({bytes.size(), packet->size, packet->pts, packet->dts, packet->duration, packet->pos,
                       packet->flags, props});
    bytes.insert(bytes.end(), data, data + packet->size);
  }
  std::vector<Packet> packets;  // the warm-up frames first
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> bytesRead;  // input read after each of its own packets
  size_t warmUp = 0;
  bool last = false;  // holds the file's last frame: the decoder is drained
  bool done = false;  // under the pool's lock
  // False when a frame did not decode in the segment's format or FFmpeg reported an error: a
  // decode from the start may then give other samples.
  bool clean = true;
  int rate = 0, format = -1;
  AVChannelLayout layout{};
  std::vector<uint8_t> pcm;
  std::vector<uint32_t> frameReads;  // per frame decoded: the input read when its packet was
};

// Appends a decoded frame to the segment; false when its format is not the segment's.
bool KeepFrame(Segment& seg, const AVFrame* frame, SwrContext** swr) {
  if (frame->nb_samples <= 0) return true;
  if (seg.format < 0) {
    const int channels = frame->ch_layout.nb_channels;
    if (channels < 1 || channels > 2 || frame->sample_rate <= 0) return false;
    if (av_channel_layout_copy(&seg.layout, &frame->ch_layout) < 0) return false;
    seg.rate = frame->sample_rate;
    seg.format = frame->format;
    seg.pcm.reserve(seg.OwnFrames() * 1152 * size_t(channels) * 2);
  } else if (frame->sample_rate != seg.rate || frame->format != seg.format ||
             av_channel_layout_compare(&frame->ch_layout, &seg.layout)) {
    return false;
  }
  const int channels = seg.layout.nb_channels;
  const size_t at = seg.pcm.size();
  seg.pcm.resize(at + size_t(frame->nb_samples) * channels * 2);
  uint8_t* out = seg.pcm.data() + at;
  if (frame->format == AV_SAMPLE_FMT_S16) {
    memcpy(out, frame->data[0], size_t(frame->nb_samples) * channels * 2);
    return true;
  }
  if (!*swr) {
    AVChannelLayout outLayout{};
    av_channel_layout_default(&outLayout, channels);
    const bool made =
        swr_alloc_set_opts2(swr, &outLayout, AV_SAMPLE_FMT_S16, seg.rate, &seg.layout,
                            static_cast<AVSampleFormat>(seg.format), seg.rate, 0, nullptr) >= 0 &&
        swr_init(*swr) >= 0;
    av_channel_layout_uninit(&outLayout);
    if (!made) return false;
  }
  return swr_convert(*swr, &out, frame->nb_samples, const_cast<const uint8_t**>(frame->extended_data),
                     frame->nb_samples) == frame->nb_samples;
}

void DecodeSegment(const AVCodecParameters* parameters, AVRational timeBase, Segment& seg) {
  bool errorSeen = false;
  t_errorSeen = &errorSeen;
  AVCodecContext* codec = nullptr;
  AVFrame* frame = av_frame_alloc();
  SwrContext* swr = nullptr;
  // Takes what the packets just sent give (count of them, the first at index); false when the
  // segment cannot go on. Sets *frames to the frames received.
  auto receive = [&](size_t index, size_t count, size_t* frames) {
    for (*frames = 0;; ++*frames) {
      int r;
      do r = avcodec_receive_frame(codec, frame);
      while (r == AVERROR_INVALIDDATA);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
      if (r < 0) return false;
      bool kept = true;
      const size_t at = count > 1 ? index + std::min(*frames, count - 1) : index;
      if (at >= seg.warmUp) {
        kept = KeepFrame(seg, frame, &swr);
        seg.frameReads.push_back(seg.bytesRead[at - seg.warmUp]);
      }
      av_frame_unref(frame);
      if (!kept) return false;
    }
  };
  bool ok = frame && OpenDecoder(parameters, timeBase, &codec) == MADLL_OK;
  AVPacket* packet = av_packet_alloc();
  ok = ok && packet;
  seg.frameReads.reserve(seg.OwnFrames());
  // Plain frames go to the decoder many to a packet, which it decodes one after another as it
  // would one to a packet: the library then copies and allocates once per run instead of once per
  // frame, and the threads meet less in the heap. A packet with side data (the encoder delay and
  // padding) or flags goes alone, and so do those after it until one gives a frame: a delay may
  // swallow several frames whole. A run must give one frame per packet, or its frames could not
  // be told apart: otherwise the file is decoded again on one thread.
  auto plain = [](const Segment::Packet& q) { return !q.props && !(q.flags & ~AV_PKT_FLAG_KEY); };
  bool delayPending = false;
  for (size_t i = 0; ok && i < seg.packets.size();) {
    const Segment::Packet& p = seg.packets[i];
    size_t end = i + 1;
    if (plain(p) && !delayPending)
      while (end < seg.packets.size() && plain(seg.packets[end])) ++end;
    av_packet_unref(packet);
    if (p.props && av_packet_copy_props(packet, p.props) < 0) {
      ok = false;
      break;
    }
    const Segment::Packet& last = seg.packets[end - 1];
    packet->data = seg.bytes.data() + p.offset;
    packet->size = int(last.offset + size_t(last.size) - p.offset);
    packet->pts = p.pts;
    packet->dts = p.dts;
    packet->duration = p.duration;
    packet->pos = p.pos;
    packet->flags = p.flags;
    const int r = avcodec_send_packet(codec, packet);
    size_t frames = 0;
    ok = (r >= 0 || r == AVERROR_INVALIDDATA) && receive(i, end - i, &frames);
    if (end - i > 1 && frames != end - i) ok = false;
    if (p.props) delayPending = true;
    if (frames) delayPending = false;
    i = end;
  }
  size_t drained = 0;
  if (ok && seg.last && seg.OwnFrames())
    ok = avcodec_send_packet(codec, nullptr) >= 0 && receive(seg.packets.size() - 1, 1, &drained);
  seg.clean = ok && !errorSeen;
  t_errorSeen = nullptr;
  av_packet_unref(packet);
  av_packet_free(&packet);
  swr_free(&swr);
  av_frame_free(&frame);
  avcodec_free_context(&codec);
}

// Worker threads that decode the segments handed to them, in the order handed.
class SegmentPool {
 public:
  SegmentPool(unsigned threads, const AVCodecParameters* parameters, AVRational timeBase)
      : parameters_(parameters), timeBase_(timeBase) {
    try {
      for (unsigned i = 0; i < threads; ++i)
        workers_.emplace_back([this, i] {
          UseOwnHeap(i);
          Work();
        });
    } catch (const std::system_error&) {
      // Fewer threads; with none, Submit decodes on the caller's.
    }
  }
  ~SegmentPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    queued_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }
  void Submit(Segment* seg) {
    if (workers_.empty()) {
      Decode(*seg);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(seg);
    }
    queued_.notify_one();
  }
  bool Done(const Segment& seg) {
    std::lock_guard<std::mutex> lock(mutex_);
    return seg.done;
  }
  void Wait(const Segment& seg) {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [&] { return seg.done; });
  }

 private:
  void Decode(Segment& seg) {
    try {
      DecodeSegment(parameters_, timeBase_, seg);
    } catch (const std::bad_alloc&) {
      seg.clean = false;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seg.done = true;
    }
    finished_.notify_all();
  }
  void Work() {
    for (;;) {
      Segment* seg = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        queued_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (stop_) return;
        seg = queue_.front();
        queue_.pop_front();
      }
      Decode(*seg);
    }
  }

  const AVCodecParameters* parameters_;
  AVRational timeBase_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable queued_, finished_;
  std::deque<Segment*> queue_;
  bool stop_ = false;
};

// One decode: owns every FFmpeg object and the temporary WAV, and frees them on every path.
class Decode {
 public:
  // framesReported: progress already reported for this file, not reported again.
  Decode(MadllProgressCallback progress, uint32_t framesReported)
      : progress_(progress), framesReported_(framesReported) {}
  ~Decode() {
    swr_free(&swr_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
    avformat_close_input(&format_);
    av_channel_layout_uninit(&inLayout_);
    av_channel_layout_uninit(&outLayout_);
    av_channel_layout_uninit(&fileLayout_);
    if (out_ != INVALID_HANDLE_VALUE) CloseHandle(out_);
    if (!tempPath_.empty()) DeleteFileW(tempPath_.c_str());
  }

  // threads 1: frame after frame on the caller's thread. More: in segments on that many threads;
  // kDecodeOnOneThread when the file must be decoded on one.
  int Run(const std::wstring& mp3Path, const std::wstring& wavPath, unsigned threads) {
    const DWORD attributes = GetFileAttributesW(mp3Path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
      return MADLL_ERR_OPEN_INPUT;
    HANDLE in =
        CreateFileW(mp3Path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE) return MADLL_ERR_OPEN_INPUT;
    LARGE_INTEGER size{};
    GetFileSizeEx(in, &size);
    inputSize_ = size.QuadPart;
    const LeadingTag tag = ReadLeadingTag(in);
    announcedFrames_ = tag.frames;
    dropSamples_ = tag.silentSamples;
    CloseHandle(in);

    if (int r = OpenInput(mp3Path)) return r;
    if (int r = CreateOutput(wavPath)) return r;
    if (int r = threads > 1 ? DecodeInSegments(threads) : DecodeAll()) return r;
    if (!frames_ || !writer_ || !writer_->DataBytes()) return MADLL_ERR_NOT_MPEG_AUDIO;
    if (truncated_ || packets_ < announcedFrames_) return MADLL_ERR_TRUNCATED;
    return FinishOutput(wavPath);
  }

  uint32_t FramesReported() const { return std::max(frames_, framesReported_); }

 private:
  int OpenInput(const std::wstring& mp3Path) {
    const std::string utf8 = WideToUtf8(mp3Path);
    if (input_.Open(mp3Path)) {
      format_ = avformat_alloc_context();
      if (!format_) return MADLL_ERR_NO_MEMORY;
      format_->pb = input_.Io();
    }
    int r = avformat_open_input(&format_, utf8.c_str(), nullptr, nullptr);
    // The file opened and read above: a refusal here is about its content.
    if (r == AVERROR(ENOMEM)) return MADLL_ERR_NO_MEMORY;
    if (r == AVERROR(EIO) || r == AVERROR(EACCES) || r == AVERROR(ENOENT)) return MADLL_ERR_OPEN_INPUT;
    if (r < 0) return MADLL_ERR_NOT_MPEG_AUDIO;
    if (strcmp(format_->iformat->name, "mp3")) return MADLL_ERR_NOT_MPEG_AUDIO;
    // The demuxer fills in rate and channels only from decoded frames, so take the first audio
    // stream as it is (av_find_best_stream would pass over it).
    for (unsigned i = 0; i < format_->nb_streams && stream_ < 0; ++i)
      if (format_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) stream_ = static_cast<int>(i);
    if (stream_ < 0) return MADLL_ERR_NOT_MPEG_AUDIO;
    AVStream* st = format_->streams[stream_];
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!packet_ || !frame_) return MADLL_ERR_NO_MEMORY;
    return OpenDecoder(st->codecpar, st->time_base, &codec_);
  }

  int CreateOutput(const std::wstring& wavPath) {
    const DWORD attributes = GetFileAttributesW(wavPath.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
      return MADLL_ERR_WRITE_OUTPUT;
    DWORD n = GetFullPathNameW(wavPath.c_str(), 0, nullptr, nullptr);
    if (!n) return MADLL_ERR_WRITE_OUTPUT;
    std::wstring full(n, L'\0');
    wchar_t* namePart = nullptr;
    n = GetFullPathNameW(wavPath.c_str(), n, full.data(), &namePart);
    if (!n || !namePart) return MADLL_ERR_WRITE_OUTPUT;
    const std::wstring folder = full.substr(0, static_cast<size_t>(namePart - full.data()));
    wchar_t temp[MAX_PATH];
    if (folder.size() > MAX_PATH - 14 || !GetTempFileNameW(folder.c_str(), L"mdl", 0, temp))
      return MADLL_ERR_WRITE_OUTPUT;
    tempPath_ = temp;
    // The empty file is opened, not truncated: ext4 flushes a file truncated to nothing when it
    // is closed, which for an hour's WAV costs a tenth of a second.
    out_ = CreateFileW(temp, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out_ == INVALID_HANDLE_VALUE) return MADLL_ERR_WRITE_OUTPUT;
    writer_ = std::make_unique<WavWriter>(out_);
    uint8_t header[44] = {};
    return writer_->WriteAll(header, sizeof header) ? MADLL_OK : MADLL_ERR_WRITE_OUTPUT;
  }

  // Reads the next packet of the stream into packet_: 1 read, 0 at the end, else -error.
  int ReadPacket() {
    for (;;) {
      const int r = av_read_frame(format_, packet_);
      if (r == AVERROR_EOF) return 0;
      if (r < 0) return -MADLL_ERR_OPEN_INPUT;
      if (packet_->stream_index != stream_) {
        av_packet_unref(packet_);
        continue;
      }
      ++packets_;
      if (packet_->size >= 4) {
        const FrameHeader h = ParseLayer3Header(packet_->data);
        if (h.length && static_cast<uint32_t>(packet_->size) < h.length) truncated_ = true;
      }
      return 1;
    }
  }

  int DecodeAll() {
    for (;;) {
      const int read = ReadPacket();
      if (read < 0) return -read;
      if (read == 0) break;
      const int r = avcodec_send_packet(codec_, packet_);
      av_packet_unref(packet_);
      // A damaged frame is passed over, as players do; the rest of the file still decodes.
      if (r < 0 && r != AVERROR_INVALIDDATA) return MADLL_ERR_DECODE;
      if (int e = ReceiveFrames()) return e;
    }
    if (avcodec_send_packet(codec_, nullptr) < 0) return MADLL_ERR_DECODE;
    if (int e = ReceiveFrames()) return e;
    return DrainConverter();
  }

  // A thread of its own reads the packets and hands them out in segments, the pool's threads
  // decode them, and this thread writes them in file order as they are done (and reports the
  // progress), with a bounded number of segments in memory.
  int DecodeInSegments(unsigned threads) {
    struct Queue {
      std::mutex mutex;
      std::condition_variable changed;
      std::deque<std::unique_ptr<Segment>> segments;  // handed out, not yet written
      bool ended = false;                             // the reader has handed out all it will
      bool stop = false;                              // the writer has given up
      std::vector<std::vector<uint8_t>> spare;        // sample buffers of written segments
    } queue;
    const AVStream* st = format_->streams[stream_];
    SegmentPool pool(threads, st->codecpar, st->time_base);  // ended before the segments are freed
    const size_t inMemory = size_t(threads) * 2 + 2;
    int readResult = MADLL_OK;

    auto read = [&]() -> int {
      auto handOut = [&](std::unique_ptr<Segment> seg) {
        pool.Submit(seg.get());
        std::unique_lock<std::mutex> lock(queue.mutex);
        queue.segments.push_back(std::move(seg));
        queue.changed.notify_all();
        queue.changed.wait(lock, [&] { return queue.stop || queue.segments.size() < inMemory; });
        return !queue.stop;
      };
      auto segment = std::make_unique<Segment>();
      for (;;) {
        const int got = ReadPacket();
        if (got < 0) return -got;
        if (got == 0) break;
        segment->Add(packet_, packet_->data);
        av_packet_unref(packet_);
        segment->bytesRead.push_back(Capped(avio_tell(format_->pb)));
        if (segment->OwnFrames() < kSegmentFrames) continue;
        auto next = std::make_unique<Segment>();
        for (size_t i = segment->packets.size() - kWarmUpFrames; i < segment->packets.size(); ++i) {
          const Segment::Packet& p = segment->packets[i];
          AVPacket* props = p.props ? av_packet_clone(p.props) : nullptr;
          if (p.props && !props) return MADLL_ERR_NO_MEMORY;
          next->packets.push_back(p);
          next->packets.back().offset = next->bytes.size();
          next->packets.back().props = props;
          next->bytes.insert(next->bytes.end(), segment->bytes.begin() + ptrdiff_t(p.offset),
                             segment->bytes.begin() + ptrdiff_t(p.offset) + p.size);
        }
        next->warmUp = kWarmUpFrames;
        {
          std::lock_guard<std::mutex> lock(queue.mutex);
          if (!queue.spare.empty()) {
            next->pcm = std::move(queue.spare.back());
            queue.spare.pop_back();
          }
        }
        if (!handOut(std::move(segment))) return MADLL_OK;
        segment = std::move(next);
      }
      segment->last = true;
      handOut(std::move(segment));
      return MADLL_OK;
    };
    std::thread reader;
    try {
      reader = std::thread([&] {
        UseOwnHeap(kMaxThreads);
        try {
          readResult = read();
        } catch (const std::bad_alloc&) {
          readResult = MADLL_ERR_NO_MEMORY;
        }
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.ended = true;
        queue.changed.notify_all();
      });
    } catch (const std::system_error&) {
      return kDecodeOnOneThread;
    }
    int result = MADLL_OK;
    for (;;) {
      Segment* head = nullptr;
      {
        std::unique_lock<std::mutex> lock(queue.mutex);
        queue.changed.wait(lock, [&] { return queue.ended || !queue.segments.empty(); });
        if (queue.segments.empty()) break;
        head = queue.segments.front().get();
      }
      pool.Wait(*head);
      result = WriteSegment(*head);
      std::unique_ptr<Segment> written;
      {
        std::lock_guard<std::mutex> lock(queue.mutex);
        written = std::move(queue.segments.front());
        queue.segments.pop_front();
        written->pcm.clear();
        queue.spare.push_back(std::move(written->pcm));
        if (result) queue.stop = true;
        queue.changed.notify_all();
      }
      if (result) break;
    }
    reader.join();
    return result ? result : readResult;
  }

  // Writes a decoded segment, which must continue the file's format.
  int WriteSegment(const Segment& seg) {
    if (!seg.clean) return kDecodeOnOneThread;
    if (seg.format >= 0) {
      if (!outChannels_) {
        outChannels_ = uint32_t(seg.layout.nb_channels);
        outRate_ = uint32_t(seg.rate);
        fileFormat_ = seg.format;
        if (av_channel_layout_copy(&fileLayout_, &seg.layout) < 0) return MADLL_ERR_NO_MEMORY;
      } else if (seg.rate != int(outRate_) || seg.format != fileFormat_ ||
                 av_channel_layout_compare(&seg.layout, &fileLayout_)) {
        return kDecodeOnOneThread;  // the one-thread decode converts to the first format
      }
      if (int e = Append(seg.pcm.data(), int(seg.pcm.size() / (outChannels_ * 2)))) return e;
    }
    for (uint32_t bytesRead : seg.frameReads) {
      ++frames_;
      Report(bytesRead);
    }
    return MADLL_OK;
  }

  void Report(uint32_t bytesRead) {
    if (progress_ && frames_ > framesReported_) progress_(frames_, bytesRead, Capped(inputSize_));
  }

  int ReceiveFrames() {
    for (;;) {
      int r = avcodec_receive_frame(codec_, frame_);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return MADLL_OK;
      if (r == AVERROR_INVALIDDATA) continue;
      if (r < 0) return MADLL_ERR_DECODE;
      int e = ConvertFrame();
      av_frame_unref(frame_);
      if (e) return e;
      ++frames_;
      Report(Capped(avio_tell(format_->pb)));
    }
  }
  // The WAV keeps the first frame's rate and channels; a later frame of another format is
  // converted to it.
  int ConvertFrame() {
    if (frame_->nb_samples <= 0) return MADLL_OK;
    if (!outChannels_) {
      if (frame_->ch_layout.nb_channels < 1 || frame_->ch_layout.nb_channels > 2 || frame_->sample_rate <= 0)
        return MADLL_ERR_DECODE;
      outChannels_ = static_cast<uint32_t>(frame_->ch_layout.nb_channels);
      outRate_ = static_cast<uint32_t>(frame_->sample_rate);
      av_channel_layout_default(&outLayout_, frame_->ch_layout.nb_channels);
    }
    // Frames already in the WAV's format are written as they are.
    if (!swr_ && frame_->format == AV_SAMPLE_FMT_S16 && frame_->sample_rate == int(outRate_) &&
        frame_->ch_layout.nb_channels == int(outChannels_))
      return Append(frame_->data[0], frame_->nb_samples);
    const bool sameInput = swr_ && frame_->sample_rate == inRate_ && frame_->format == inFormat_ &&
                           !av_channel_layout_compare(&frame_->ch_layout, &inLayout_);
    if (!sameInput) {
      if (swr_) {
        if (int e = DrainConverter()) return e;
        swr_free(&swr_);
      }
      av_channel_layout_uninit(&inLayout_);
      if (av_channel_layout_copy(&inLayout_, &frame_->ch_layout) < 0) return MADLL_ERR_NO_MEMORY;
      inRate_ = frame_->sample_rate;
      inFormat_ = frame_->format;
      if (swr_alloc_set_opts2(&swr_, &outLayout_, AV_SAMPLE_FMT_S16, static_cast<int>(outRate_), &inLayout_,
                              static_cast<AVSampleFormat>(inFormat_), inRate_, 0, nullptr) < 0 ||
          swr_init(swr_) < 0)
        return MADLL_ERR_DECODE;
    }
    return Convert(const_cast<const uint8_t**>(frame_->extended_data), frame_->nb_samples);
  }

  // Converts and appends; returns the samples written through *produced when asked.
  int Convert(const uint8_t** input, int inputSamples, int* producedOut = nullptr) {
    int capacity = swr_get_out_samples(swr_, inputSamples);
    if (capacity < 0) return MADLL_ERR_DECODE;
    if (!input) capacity = std::max(capacity, 4096);  // draining: room for the resampler's tail
    if (capacity == 0) return MADLL_OK;
    pcm_.resize(static_cast<size_t>(capacity) * outChannels_ * 2);
    uint8_t* out = pcm_.data();
    const int produced = swr_convert(swr_, &out, capacity, input, inputSamples);
    if (produced < 0) return MADLL_ERR_DECODE;
    if (producedOut) *producedOut = produced;
    return Append(pcm_.data(), produced);
  }

  // Appends interleaved 16-bit samples in the WAV's format, less those still to be dropped.
  int Append(const uint8_t* samples, int count) {
    const uint32_t drop = std::min<uint32_t>(dropSamples_, static_cast<uint32_t>(count));
    dropSamples_ -= drop;
    const uint64_t bytes = static_cast<uint64_t>(count - drop) * outChannels_ * 2;
    if (writer_->DataBytes() + bytes > 0xFFFFFFFFull - 36) return MADLL_ERR_TOO_LONG;
    return writer_->Append(samples + size_t(drop) * outChannels_ * 2, static_cast<size_t>(bytes))
               ? MADLL_OK
               : MADLL_ERR_WRITE_OUTPUT;
  }

  int DrainConverter() {
    for (int produced = 1; swr_ && produced > 0;)
      if (int e = Convert(nullptr, 0, &produced)) return e;
    return MADLL_OK;
  }

  int FinishOutput(const std::wstring& wavPath) {
    if (!writer_->Flush()) return MADLL_ERR_WRITE_OUTPUT;
    uint8_t header[44];
    BuildWavHeader(header, outChannels_, outRate_, static_cast<uint32_t>(writer_->DataBytes()));
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(out_, zero, nullptr, FILE_BEGIN) || !writer_->WriteAll(header, sizeof header))
      return MADLL_ERR_WRITE_OUTPUT;
    const BOOL closed = CloseHandle(out_);
    out_ = INVALID_HANDLE_VALUE;
    if (!closed || !MoveFileExW(tempPath_.c_str(), wavPath.c_str(), MOVEFILE_REPLACE_EXISTING))
      return MADLL_ERR_WRITE_OUTPUT;
    tempPath_.clear();
    return MADLL_OK;
  }

  MappedInput input_;  // before format_, which reads from it
  MadllProgressCallback progress_ = nullptr;
  uint32_t framesReported_ = 0;
  int64_t inputSize_ = 0;
  uint32_t announcedFrames_ = 0;
  uint32_t dropSamples_ = 0;
  AVFormatContext* format_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  SwrContext* swr_ = nullptr;
  int stream_ = -1;
  uint32_t packets_ = 0, frames_ = 0;
  bool truncated_ = false;
  AVChannelLayout inLayout_{}, outLayout_{};
  int inRate_ = 0, inFormat_ = -1;
  uint32_t outChannels_ = 0, outRate_ = 0;
  int fileFormat_ = -1;  // the sample format and layout of the segments written
  AVChannelLayout fileLayout_{};
  std::vector<uint8_t> pcm_;
  HANDLE out_ = INVALID_HANDLE_VALUE;
  std::wstring tempPath_;
  std::unique_ptr<WavWriter> writer_;
};

}  // namespace

// The CRT's import slots, which the static FFmpeg libraries call through, filled here.
extern "C" {
void* (*_imp___aligned_malloc)(size_t, size_t) = HeapAlignedMalloc;
void* (*_imp___aligned_realloc)(void*, size_t, size_t) = HeapAlignedRealloc;
void (*_imp___aligned_free)(void*) = HeapAlignedFree;
}

extern "C" MADLL_API int WINAPI CbMpegAudioDecoder(const char* mp3Path, const char* wavPath, int writeWav,
                                                   void* reserved, MadllProgressCallback progress) {
  if (!mp3Path || !wavPath || !*mp3Path || !*wavPath || writeWav != 1) return MADLL_ERR_ARGUMENTS;
  static const bool logRouted = (av_log_set_callback(ForwardFfmpegLog), true);
  (void)logRouted;
  const std::wstring in = OemToWide(mp3Path), out = OemToWide(wavPath);
  if (in.empty() || out.empty()) return MADLL_ERR_ARGUMENTS;
  try {
    uint32_t reported = 0;
    const unsigned threads = UsableProcessors();
    if (threads > 1) {
      Decode decode(progress, 0);
      const int r = decode.Run(in, out, threads);
      if (r != kDecodeOnOneThread) return r;
      reported = decode.FramesReported();
    }
    Decode decode(progress, reported);
    return decode.Run(in, out, 1);
  } catch (const std::bad_alloc&) {
    return MADLL_ERR_NO_MEMORY;
  }
}
