// Helpers of the ZIP tests: a scratch folder, whole-file reads and writes, our deflate on a
// buffer, zlib's raw inflate as the checker, and little-endian field access.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ziptest {

using Bytes = std::vector<uint8_t>;

// A fresh folder under %TEMP%, made the current folder while it lives; removed afterwards.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::wstring& Path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
  std::wstring previous_;
};

bool WriteBytes(const std::wstring& path, const Bytes& data);
Bytes ReadBytes(const std::wstring& path);
bool Exists(const std::wstring& path);

// Our compressor over an in-memory input; outSize is the output buffer it flushes through.
Bytes Deflate(const Bytes& input, unsigned outSize = 16384);
// zlib's raw inflate; ok is false unless the stream ends exactly at the end of the data.
Bytes Inflate(const Bytes& data, bool* ok);

Bytes RandomBytes(size_t n, uint32_t seed);
Bytes TextBytes(size_t n);

inline uint16_t U16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }
inline uint32_t U32(const Bytes& b, size_t at) {
  return U16(b, at) | (static_cast<uint32_t>(U16(b, at + 2)) << 16);
}
inline void Put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(Bytes& b, size_t at, uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}

}  // namespace ziptest
