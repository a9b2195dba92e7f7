// Our deflate against zlib's deflate at level 8, memLevel 9 (raw, 32 KiB window) on the same
// inputs in one run: text (the project's own sources), 16-bit PCM, an MP3 of that PCM, random
// data. Prints one line with, per input, the size ratio (ours / zlib) and the speed ratio
// (ours / zlib, higher is faster), and the same over all inputs together.
#include <windows.h>
#include <zlib.h>

#include <lame/lame.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "media/zip/Deflate.h"

namespace {

using Bytes = std::vector<uint8_t>;

double Now() {
  LARGE_INTEGER t, f;
  QueryPerformanceCounter(&t);
  QueryPerformanceFrequency(&f);
  return double(t.QuadPart) / double(f.QuadPart);
}

void AppendFile(const std::wstring& path, Bytes& out) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  uint8_t buf[65536];
  DWORD got;
  while (ReadFile(f, buf, sizeof buf, &got, nullptr) && got) out.insert(out.end(), buf, buf + got);
  CloseHandle(f);
}

void AppendSources(const std::wstring& dir, Bytes& out, int depth) {
  if (depth > 4) return;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return;
  std::vector<std::wstring> files, dirs;
  do {
    std::wstring name = fd.cFileName;
    if (name[0] == L'.' || name.rfind(L"build", 0) == 0) continue;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      dirs.push_back(name);
    else if (name.size() > 4 && (name.ends_with(L".cpp") || name.ends_with(L".h")))
      files.push_back(name);
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  std::sort(files.begin(), files.end());
  std::sort(dirs.begin(), dirs.end());
  for (const auto& f : files) AppendFile(dir + L"\\" + f, out);
  for (const auto& d : dirs) AppendSources(dir + L"\\" + d, out, depth + 1);
}

Bytes TextInput() {
  Bytes text;
  wchar_t source[MAX_PATH] = {};
  DWORD n = GetEnvironmentVariableW(L"QM_SOURCE", source, MAX_PATH);
  if (n && n < MAX_PATH) {
    // QM_SOURCE is a Linux path; Wine's Z: drive is the Linux root.
    std::wstring dir = std::wstring(L"Z:") + source;
    for (auto& c : dir) {
      if (c == L'/') c = L'\\';
    }
    AppendSources(dir, text, 0);
  }
  if (text.size() < 100000) {
    static const char* words[] = {"lesson ", "teacher ", "student ", "record ",
                                  "listen ", "repeat ",  "chunk\r\n"};
    uint32_t x = 1;
    while (text.size() < 1000000) {
      x = x * 1103515245u + 12345u;
      const char* w = words[(x >> 16) % 7];
      text.insert(text.end(), w, w + std::strlen(w));
    }
  }
  return text;
}

// Ten seconds of a voice-like mono signal at 44,100 Hz: a few drifting harmonics, syllable-rate
// envelope and a little noise.
std::vector<int16_t> PcmSamples() {
  const int rate = 44100, n = rate * 10;
  std::vector<int16_t> s(n);
  uint32_t x = 7;
  for (int i = 0; i < n; ++i) {
    double t = double(i) / rate;
    double f0 = 160 + 30 * std::sin(2 * M_PI * 0.7 * t);
    double env = 0.5 + 0.5 * std::sin(2 * M_PI * 4 * t);
    double v = 0;
    for (int h = 1; h <= 5; ++h) v += std::sin(2 * M_PI * f0 * h * t) / h;
    x = x * 1103515245u + 12345u;
    double noise = (double((x >> 16) & 0xFFFF) / 65535.0 - 0.5) * 0.02;
    s[i] = static_cast<int16_t>(std::lround(9000 * env * v / 2.3 + 32767 * noise));
  }
  return s;
}

Bytes Mp3Of(const std::vector<int16_t>& pcm) {
  lame_t l = lame_init();
  lame_set_in_samplerate(l, 44100);
  lame_set_num_channels(l, 1);
  lame_set_mode(l, MONO);
  lame_set_brate(l, 64);
  lame_init_params(l);
  Bytes out(pcm.size() + 7200);
  int n = lame_encode_buffer(l, pcm.data(), pcm.data(), static_cast<int>(pcm.size()), out.data(),
                             static_cast<int>(out.size()));
  int m = lame_encode_flush(l, out.data() + n, static_cast<int>(out.size()) - n);
  lame_close(l);
  out.resize(static_cast<size_t>(n + m));
  return out;
}

struct Input {
  const Bytes* data;
  size_t pos;
};

int ReadInput(void* ctx, uint8_t* buf, unsigned size) {
  auto* in = static_cast<Input*>(ctx);
  size_t n = std::min<size_t>(size, in->data->size() - in->pos);
  std::memcpy(buf, in->data->data() + in->pos, n);
  in->pos += n;
  return static_cast<int>(n);
}

struct Output {
  size_t total = 0;
  uint32_t check = 0;
};

bool CountOutput(void* ctx, const uint8_t* data, unsigned size) {
  auto* out = static_cast<Output*>(ctx);
  out->total += size;
  out->check = crc32(out->check, data, size);
  return true;
}

size_t OursOnce(const Bytes& in, qmzip::CDeflater& d, uint8_t* buf) {
  Input input{&in, 0};
  Output out;
  if (d.Run(ReadInput, &input, CountOutput, &out, buf, 16384) != qmzip::DeflateResult::Ok) return 0;
  return out.total;
}

size_t ZlibOnce(const Bytes& in, Bytes& out) {
  z_stream s{};
  deflateInit2(&s, 8, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
  out.resize(deflateBound(&s, static_cast<uLong>(in.size())));
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  int r = deflate(&s, Z_FINISH);
  size_t total = s.total_out;
  deflateEnd(&s);
  return r == Z_STREAM_END ? total : 0;
}

bool RoundTrips(const Bytes& in, qmzip::CDeflater& d, uint8_t* buf) {
  Input input{&in, 0};
  Bytes packed;
  auto keep = [](void* ctx, const uint8_t* data, unsigned size) -> bool {
    auto* p = static_cast<Bytes*>(ctx);
    p->insert(p->end(), data, data + size);
    return true;
  };
  if (d.Run(ReadInput, &input, keep, &packed, buf, 16384) != qmzip::DeflateResult::Ok) return false;
  z_stream s{};
  inflateInit2(&s, -MAX_WBITS);
  Bytes back(in.size() + 1);
  s.next_in = packed.data();
  s.avail_in = static_cast<uInt>(packed.size());
  s.next_out = back.data();
  s.avail_out = static_cast<uInt>(back.size());
  int r = inflate(&s, Z_FINISH);
  bool ok =
      r == Z_STREAM_END && s.total_out == in.size() && std::memcmp(back.data(), in.data(), in.size()) == 0;
  inflateEnd(&s);
  return ok;
}

}  // namespace

int main() {
  std::vector<int16_t> pcm = PcmSamples();
  Bytes pcmBytes(reinterpret_cast<const uint8_t*>(pcm.data()),
                 reinterpret_cast<const uint8_t*>(pcm.data() + pcm.size()));
  Bytes random(2 << 20);
  uint32_t x = 99;
  for (auto& b : random) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  struct Named {
    const char* name;
    Bytes data;
  };
  Named inputs[] = {{"text", TextInput()}, {"pcm", pcmBytes}, {"mp3", Mp3Of(pcm)}, {"random", random}};

  qmzip::CDeflater deflater;
  std::vector<uint8_t> buf(16384);
  Bytes zout;
  std::string line = "zip_deflate:";
  size_t oursAll = 0, zlibAll = 0;
  double oursTimeAll = 0, zlibTimeAll = 0;
  bool ok = true;
  for (auto& in : inputs) {
    if (!RoundTrips(in.data, deflater, buf.data())) ok = false;
    // Best of several runs for each, interleaved so both see the same machine state.
    double oursBest = 1e9, zlibBest = 1e9;
    size_t oursSize = 0, zlibSize = 0;
    for (int run = 0; run < 5; ++run) {
      double t0 = Now();
      oursSize = OursOnce(in.data, deflater, buf.data());
      double t1 = Now();
      zlibSize = ZlibOnce(in.data, zout);
      double t2 = Now();
      oursBest = std::min(oursBest, t1 - t0);
      zlibBest = std::min(zlibBest, t2 - t1);
    }
    oursAll += oursSize, zlibAll += zlibSize;
    oursTimeAll += oursBest, zlibTimeAll += zlibBest;
    char part[384];
    snprintf(part, sizeof part,
             " %s_bytes=%zu %s_ours=%zu %s_zlib=%zu %s_size_ratio=%.4f %s_speed_ratio=%.2f %s_mb_s=%.1f",
             in.name, in.data.size(), in.name, oursSize, in.name, zlibSize, in.name,
             double(oursSize) / double(zlibSize), in.name, zlibBest / oursBest, in.name,
             double(in.data.size()) / oursBest / 1e6);
    line += part;
  }
  char tail[160];
  snprintf(tail, sizeof tail, " all_size_ratio=%.4f all_speed_ratio=%.2f roundtrip=%s",
           double(oursAll) / double(zlibAll), zlibTimeAll / oursTimeAll, ok ? "ok" : "FAILED");
  line += tail;
  printf("%s\n", line.c_str());
  return ok ? 0 : 1;
}
