// The program's own clipboard: the last text cut or copied in a chunk-text box, UTF-16 without a
// NUL, in a malloc'd block. The application data object keeps its fields; ClipboardBuffer points
// at them, so any owner of such fields can plug in. Any thread may use it under the lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "common/Locks.h"

struct ClipboardBuffer {
  void** data = nullptr;
  uint32_t* capacity = nullptr;  // bytes
  uint32_t* size = nullptr;      // bytes
  RecursiveMutex* lock = nullptr;

  bool IsSet() const { return data && capacity && size && lock; }
  std::wstring Text() const;
};

// Fields of an own clipboard for an owner that keeps none elsewhere (tests, tools).
struct ClipboardStorage {
  ClipboardStorage() = default;
  ~ClipboardStorage();
  ClipboardStorage(const ClipboardStorage&) = delete;
  ClipboardStorage& operator=(const ClipboardStorage&) = delete;
  ClipboardBuffer Buffer() { return {&data, &capacity, &size, &lock}; }

  void* data = nullptr;
  uint32_t capacity = 0;
  uint32_t size = 0;
  RecursiveMutex lock;
};

// Replaces the content with n bytes. False (and an empty buffer) when memory ran out.
bool SetClipboardBuffer(const ClipboardBuffer& buffer, const void* data, size_t n);
