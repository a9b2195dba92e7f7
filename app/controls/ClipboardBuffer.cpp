#include "app/controls/ClipboardBuffer.h"
#include "common/Locks.h"

#include <cstdlib>
#include <cstring>

ClipboardStorage::~ClipboardStorage() { free(data); }

std::wstring ClipboardBuffer::Text() const {
  if (!IsSet()) return {};
  std::lock_guard<RecursiveMutex> guard(*lock);
  return std::wstring(static_cast<const wchar_t*>(*data), *data ? *size / sizeof(wchar_t) : 0);
}

bool SetClipboardBuffer(const ClipboardBuffer& buffer, const void* data, size_t n) {
  if (!buffer.IsSet() || n > UINT32_MAX) return false;
  std::lock_guard<RecursiveMutex> guard(*buffer.lock);
  if (*buffer.capacity < n) {
    free(*buffer.data);
    *buffer.data = malloc(n);
    *buffer.capacity = *buffer.data ? static_cast<uint32_t>(n) : 0;
    if (!*buffer.data) {
      *buffer.size = 0;
      return false;
    }
  }
  if (n) memcpy(*buffer.data, data, n);
  *buffer.size = static_cast<uint32_t>(n);
  return true;
}
