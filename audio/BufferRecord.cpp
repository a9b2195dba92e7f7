#include "audio/BufferRecord.h"

#include <new>

namespace {

volatile LONG g_liveRecords = 0;
volatile LONG g_liveData = 0;

CBufferRecord* NewRecord() {
  CBufferRecord* record = new (std::nothrow) CBufferRecord;
  if (record) InterlockedIncrement(&g_liveRecords);
  return record;
}

}  // namespace

CBufferData::CBufferData() { InterlockedIncrement(&g_liveData); }

CBufferData::~CBufferData() {
  delete[] data;
  InterlockedDecrement(&g_liveData);
}

CBufferRecord* CreateBufferRecord(uint32_t size) {
  CBufferRecord* record = NewRecord();
  if (!record) return nullptr;
  record->size = size;
  try {
    auto shared = std::make_shared<CBufferData>();
    shared->data = new (std::nothrow) uint8_t[size ? size : 1];
    shared->size = size;
    if (!shared->data) {
      shared.reset();
      ReleaseBufferRecord(record);
      return nullptr;
    }
    record->data = std::move(shared);
  } catch (const std::bad_alloc&) {
    ReleaseBufferRecord(record);
    return nullptr;
  }
  return record;
}

CBufferRecord* CloneBufferRecord(const CBufferRecord* source) {
  if (!source) return nullptr;
  CBufferRecord* record = NewRecord();
  if (!record) return nullptr;
  record->kind = source->kind;
  record->size = source->size;
  record->payloadBytes = source->payloadBytes;
  record->reserved1 = source->reserved1;
  record->documentSerial = source->documentSerial;
  record->trackIndex = source->trackIndex;
  record->reserved2 = source->reserved2;
  record->reserved3 = source->reserved3;
  record->pendingCounter = source->pendingCounter;
  try {
    record->indexList = source->indexList;
  } catch (const std::bad_alloc&) {
    ReleaseBufferRecord(record);
    return nullptr;
  }
  record->data = source->data;
  return record;
}

bool ReleaseBufferRecord(CBufferRecord*& record) {
  if (record) {
    delete record;
    InterlockedDecrement(&g_liveRecords);
  }
  record = nullptr;
  return true;
}

BufferBlockHeader* PlayBlockHeader(const CBufferRecord* record) {
  if (!record || !record->data || !record->data->data) return nullptr;
  return reinterpret_cast<BufferBlockHeader*>(record->data->data);
}

BufferBlockHeader* CaptureBlockHeader(const CBufferRecord* record) {
  if (!record || !record->data || !record->data->data) return nullptr;
  uintptr_t address = reinterpret_cast<uintptr_t>(record->data->data);
  address = (address + 15) & ~uintptr_t(15);
  return reinterpret_cast<BufferBlockHeader*>(address);
}

uint8_t* CaptureBlockPayload(const CBufferRecord* record) {
  BufferBlockHeader* header = CaptureBlockHeader(record);
  return header ? reinterpret_cast<uint8_t*>(header) + kBufferHeaderBytes : nullptr;
}

LONG GetLiveBufferRecordCount() { return g_liveRecords; }
LONG GetLiveBufferDataCount() { return g_liveData; }
