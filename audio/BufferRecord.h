// The audio buffer record: every block of sound that moves between threads travels in one
// CBufferRecord, which shares its bytes (CBufferData) with its clones. A record has one owner at
// a time; the owner releases it once with ReleaseBufferRecord.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// The bytes of a block. Always held through a std::shared_ptr made by std::allocate_shared, so
// the object and its (atomic) reference count are one allocation.
struct CBufferData {
  uint8_t* data = nullptr;  // new[] of `size` bytes, not zero-filled
  uint32_t size = 0;

  CBufferData();
  CBufferData(const CBufferData&) = delete;
  CBufferData& operator=(const CBufferData&) = delete;
  ~CBufferData();
};

// 48 bytes at the start of a play block, or at the first 16-byte boundary of a capture-side block.
struct BufferBlockHeader {
  uint32_t channels;
  uint32_t sampleRate;
  uint32_t streamValue;
  uint32_t streamKey;
  uint32_t contextKey;
  uint32_t sourceKey;
  uint32_t encoding;  // 0 PCM, 1 MP3 bytes (play blocks) / float samples (converted capture blocks)
  uint32_t frameCount;
  uint32_t bitsPerSample;
  uint32_t reserved;
  uint64_t timestamp;
};
static_assert(sizeof(BufferBlockHeader) == 48, "the block header is 48 bytes");
static_assert(offsetof(BufferBlockHeader, timestamp) == 40, "timestamp at byte 40");

constexpr uint32_t kBufferHeaderBytes = 48;
// Capture-side blocks allocate payload + 64: the header, the payload and 16 bytes of alignment slack.
constexpr uint32_t kCaptureBlockOverhead = 64;
constexpr uint32_t kBufferKindAudio = 6;

struct CBufferRecord {
  uint32_t kind = 0;
  uint32_t size = 0;
  uint32_t payloadBytes = 0;
  uint32_t reserved1 = 0;
  uint32_t documentSerial = 0;
  int32_t trackIndex = 0;
  std::vector<uint32_t> indexList;
  uint32_t reserved2 = 0;
  uint32_t reserved3 = 0;
  // Set by PlayBlock: the pending-buffer counter of the render stream that queued the block.
  // Changed only with interlocked operations.
  volatile LONG* pendingCounter = nullptr;
  std::shared_ptr<CBufferData> data;
  uint32_t useCount = 1;
  int32_t slot = -1;
  uint32_t reserved4 = 0;
};

// A record with a fresh CBufferData of `size` bytes; null when memory ran out.
CBufferRecord* CreateBufferRecord(uint32_t size);
// A new record that shares the source's bytes (no copy); null when memory ran out or the source is null.
CBufferRecord* CloneBufferRecord(const CBufferRecord* source);
// Drops the record (and its bytes with the last reference); always sets `record` to null, returns true.
bool ReleaseBufferRecord(CBufferRecord*& record);

// Header placement. Play blocks: the first byte of the data.
BufferBlockHeader* PlayBlockHeader(const CBufferRecord* record);
// Capture-side blocks (raw, converted, resampled): the first 16-byte boundary inside the data.
BufferBlockHeader* CaptureBlockHeader(const CBufferRecord* record);
// The samples of a capture-side block: 48 bytes after its header.
uint8_t* CaptureBlockPayload(const CBufferRecord* record);

// Records and data blocks alive in the process right now (for leak checks).
LONG GetLiveBufferRecordCount();
LONG GetLiveBufferDataCount();
