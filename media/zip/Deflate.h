// Raw deflate compressor (RFC 1951 data, no zlib or gzip wrapper) for ZIP entries. Always works
// at level 8 with lazy matching: a 32 KiB window in a 64 KiB buffer, 3-byte hash chains, and per
// block the cheapest of stored, fixed-tree and dynamic-tree coding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qmzip {

// Supplies input: returns the bytes placed in buf (0 at the end of the data) or -1 on a read error.
using DeflateReadFn = int (*)(void* ctx, uint8_t* buf, unsigned size);
// Takes a finished piece of output: false when it could not be written.
using DeflateWriteFn = bool (*)(void* ctx, const uint8_t* data, unsigned size);

enum class DeflateResult { Ok, ReadFailed, WriteFailed, Internal };

class CDeflater {
 public:
  CDeflater();
  ~CDeflater();
  CDeflater(const CDeflater&) = delete;
  CDeflater& operator=(const CDeflater&) = delete;

  // Compresses everything the reader gives into one deflate stream, handing output to the writer
  // through outBuf (outSize bytes, at least 64). The deflater can be run again for another stream.
  DeflateResult Run(DeflateReadFn read, void* readCtx, DeflateWriteFn write, void* writeCtx, uint8_t* outBuf,
                    unsigned outSize);

  // Text of the consistency check that failed (Internal), else null.
  const char* Error() const { return error_; }
  uint64_t BytesIn() const { return bytesIn_; }
  uint64_t BytesOut() const { return bytesOut_; }

 private:
  struct State;
  std::unique_ptr<State> s_;
  const char* error_ = nullptr;
  uint64_t bytesIn_ = 0;
  uint64_t bytesOut_ = 0;
};

}  // namespace qmzip
