// The program's own clipboard: the last text cut or copied in a chunk-text box, UTF-16 without a
// NUL. One per program instance (the application data object keeps it); any thread may use it.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

struct ClipboardBuffer {
  ClipboardBuffer() = default;
  ~ClipboardBuffer();
  ClipboardBuffer(const ClipboardBuffer&) = delete;
  ClipboardBuffer& operator=(const ClipboardBuffer&) = delete;

  void* data = nullptr;  // malloc
  size_t capacity = 0;   // bytes
  size_t size = 0;       // bytes
  std::recursive_mutex lock;

  std::wstring Text();
};

// Replaces the content with n bytes. False (and an empty buffer) when memory ran out.
bool SetClipboardBuffer(ClipboardBuffer* buffer, const void* data, size_t n);
