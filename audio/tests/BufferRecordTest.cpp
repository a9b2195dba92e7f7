#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "audio/BufferRecord.h"

namespace {

TEST(BufferRecord, CreateSetsTheDocumentedDefaults) {
  const LONG records = GetLiveBufferRecordCount();
  CBufferRecord* r = CreateBufferRecord(1000);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->kind, 0u);
  EXPECT_EQ(r->size, 1000u);
  EXPECT_EQ(r->payloadBytes, 0u);
  EXPECT_EQ(r->documentSerial, 0u);
  EXPECT_EQ(r->trackIndex, 0);
  EXPECT_TRUE(r->indexList.empty());
  EXPECT_EQ(r->pendingCounter, nullptr);
  EXPECT_EQ(r->useCount, 1u);
  EXPECT_EQ(r->slot, -1);
  ASSERT_TRUE(r->data);
  EXPECT_EQ(r->data->size, 1000u);
  EXPECT_NE(r->data->data, nullptr);
  EXPECT_EQ(GetLiveBufferRecordCount(), records + 1);
  EXPECT_TRUE(ReleaseBufferRecord(r));
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(GetLiveBufferRecordCount(), records);
}

TEST(BufferRecord, ReleasingNullLeavesNullAndSucceeds) {
  CBufferRecord* r = nullptr;
  EXPECT_TRUE(ReleaseBufferRecord(r));
  EXPECT_EQ(r, nullptr);
}

// A size that cannot be allocated in a 32-bit process gives null instead of an exception.
TEST(BufferRecord, CreateReportsAnImpossibleAllocationAsNull) {
  const LONG records = GetLiveBufferRecordCount();
  const LONG data = GetLiveBufferDataCount();
  CBufferRecord* r = nullptr;
  EXPECT_NO_THROW(r = CreateBufferRecord(0xFFFFFF00u));
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(GetLiveBufferRecordCount(), records);
  EXPECT_EQ(GetLiveBufferDataCount(), data);
}

TEST(BufferRecord, CloneSharesTheBytesAndOutlivesItsSource) {
  const LONG data = GetLiveBufferDataCount();
  volatile LONG counter = 5;
  CBufferRecord* source = CreateBufferRecord(64);
  source->kind = 6;
  source->payloadBytes = 16;
  source->documentSerial = 9;
  source->trackIndex = 1;
  source->reserved2 = 2;
  source->pendingCounter = &counter;
  source->indexList = {3, 4, 5};
  source->useCount = 4;
  source->slot = 12;
  source->data->data[10] = 0x5A;

  CBufferRecord* clone = CloneBufferRecord(source);
  ASSERT_NE(clone, nullptr);
  EXPECT_EQ(clone->data.get(), source->data.get()) << "a clone must not copy the bytes";
  EXPECT_EQ(clone->kind, 6u);
  EXPECT_EQ(clone->size, 64u);
  EXPECT_EQ(clone->payloadBytes, 16u);
  EXPECT_EQ(clone->documentSerial, 9u);
  EXPECT_EQ(clone->trackIndex, 1);
  EXPECT_EQ(clone->reserved2, 2u);
  EXPECT_EQ(clone->pendingCounter, &counter);
  EXPECT_EQ(clone->indexList, (std::vector<uint32_t>{3, 4, 5}));
  EXPECT_EQ(clone->useCount, 1u);
  EXPECT_EQ(clone->slot, -1);
  EXPECT_EQ(GetLiveBufferDataCount(), data + 1);

  ReleaseBufferRecord(source);
  EXPECT_EQ(GetLiveBufferDataCount(), data + 1) << "the clone still holds the bytes";
  EXPECT_EQ(clone->data->data[10], 0x5A);
  ReleaseBufferRecord(clone);
  EXPECT_EQ(GetLiveBufferDataCount(), data);
}

// Capture-side blocks: the header sits at the first 16-byte boundary and the payload capacity
// (size - 64) always fits behind it; play blocks keep the header at the first byte.
TEST(BufferRecord, HeaderPlacementByKindOfBlock) {
  for (uint32_t payload : {0u, 1u, 15u, 16u, 17u, 100u, 4410u * 4u, 38400u}) {
    CBufferRecord* r = CreateBufferRecord(payload + kCaptureBlockOverhead);
    ASSERT_NE(r, nullptr);
    uint8_t* base = r->data->data;
    auto* header = reinterpret_cast<uint8_t*>(CaptureBlockHeader(r));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(header) % 16, 0u);
    EXPECT_GE(header, base);
    EXPECT_LT(header, base + 16);
    EXPECT_EQ(CaptureBlockPayload(r), header + kBufferHeaderBytes);
    EXPECT_LE(CaptureBlockPayload(r) + payload, base + r->data->size) << payload;
    EXPECT_EQ(reinterpret_cast<uint8_t*>(PlayBlockHeader(r)), base);
    ReleaseBufferRecord(r);
  }
}

}  // namespace
