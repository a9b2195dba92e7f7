#include "media/zip/tests/ZipTestUtil.h"

#include <zlib.h>

#include <cstring>

#include "media/zip/Deflate.h"
#include "tests/support/TestFiles.h"

namespace ziptest {
namespace {

struct MemoryInput {
  const Bytes* data;
  size_t pos;
};

int ReadMemory(void* ctx, uint8_t* buf, unsigned size) {
  auto* in = static_cast<MemoryInput*>(ctx);
  size_t n = std::min<size_t>(size, in->data->size() - in->pos);
  std::memcpy(buf, in->data->data() + in->pos, n);
  in->pos += n;
  return static_cast<int>(n);
}

bool WriteMemory(void* ctx, const uint8_t* data, unsigned size) {
  auto* out = static_cast<Bytes*>(ctx);
  out->insert(out->end(), data, data + size);
  return true;
}

}  // namespace

ScratchDir::ScratchDir() {
  wchar_t cur[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, cur);
  previous_ = cur;
  path_ = MakeTempFolder(L"zip-test-");
  SetCurrentDirectoryW(path_.c_str());
}

ScratchDir::~ScratchDir() {
  SetCurrentDirectoryW(previous_.c_str());
  RemoveTree(path_);
}

bool WriteBytes(const std::wstring& path, const Bytes& data) { return WriteWholeFile(path, data); }

Bytes ReadBytes(const std::wstring& path) { return ReadFileBytes<Bytes>(path); }

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

Bytes Deflate(const Bytes& input, unsigned outSize) {
  qmzip::CDeflater d;
  MemoryInput in{&input, 0};
  Bytes out;
  std::vector<uint8_t> buf(outSize);
  if (d.Run(ReadMemory, &in, WriteMemory, &out, buf.data(), outSize) != qmzip::DeflateResult::Ok) return {};
  return out;
}

Bytes Inflate(const Bytes& data, bool* ok) {
  *ok = false;
  z_stream s{};
  if (inflateInit2(&s, -MAX_WBITS) != Z_OK) return {};
  Bytes out;
  s.next_in = const_cast<Bytef*>(data.data());
  s.avail_in = static_cast<uInt>(data.size());
  uint8_t buf[65536];
  int r;
  do {
    s.next_out = buf;
    s.avail_out = sizeof buf;
    r = inflate(&s, Z_NO_FLUSH);
    out.insert(out.end(), buf, buf + (sizeof buf - s.avail_out));
  } while (r == Z_OK);
  *ok = r == Z_STREAM_END && s.avail_in == 0;
  inflateEnd(&s);
  return out;
}

Bytes RandomBytes(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& v : b) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v = static_cast<uint8_t>(x >> 24);
  }
  return b;
}

Bytes TextBytes(size_t n) {
  static const char* const words[] = {"the ",    "student ", "records ", "her ",   "voice ", "beside ",
                                      "a ",      "master ",  "track, ",  "chunk ", "by ",    "chunk.\r\n",
                                      "Listen ", "and ",     "repeat ",  "each ",  "line "};
  Bytes b;
  uint32_t x = 12345;
  while (b.size() < n) {
    x = x * 1103515245u + 12345u;
    const char* w = words[(x >> 16) % (sizeof words / sizeof *words)];
    b.insert(b.end(), w, w + std::strlen(w));
  }
  b.resize(n);
  return b;
}

}  // namespace ziptest
