// The sibling product's shared memory "ZUBRA_USB_SHAREDMEM", through which it hands each station
// of the computer a text (the save-path prefix). It is opened, never created, at the first call
// and kept for the whole process: when the product is not running then, the program goes
// without it for the rest of the run.
//
// View layout (2,069 bytes): a 67-byte header that only the product writes, then two text slots
// of 1,001 bytes each (OEM code page, NUL-terminated): offset 67 for stations 0 and 1, offset
// 1,068 for station 2.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

constexpr DWORD kUsbSharedMemorySize = 2069;
constexpr DWORD kUsbSharedMemoryHeaderSize = 67;
constexpr DWORD kUsbSharedMemorySlotSize = 1001;

// Kept from the first call until program exit.
struct CUsbSharedMemoryHolder {
  HANDLE mapping;
  void* view;
  uint32_t mapped;  // 1 while the view exists
};

struct UsbSharedMemory {
  CUsbSharedMemoryHolder* holder;
  uint8_t* view;  // null unless mapped
  HANDLE mutex;   // the caller's slot for "GP_MYRECORDMUTEX" while it holds the lock
};

// Safe from any thread; every call returns the same object. Callers test `view` for null.
UsbSharedMemory* GetUsbSharedMemory();

// Offset of a station's text slot, or 0 for a station the product has no slot for.
DWORD UsbStationSlotOffset(uint32_t station);

// The longest wait for the product to let go of "GP_MYRECORDMUTEX".
constexpr DWORD kUsbSlotLockTimeoutMs = 3000;

// Takes the text the product left for `station` and clears its slot, under the named mutex
// "GP_MYRECORDMUTEX": `out` (capacity wide characters) is cleared and then receives at most
// capacity - 1 characters of the text. Without the shared memory, or for a station other than
// 0, 1 or 2, nothing is read or cleared and `out` ends empty. When the mutex cannot be taken
// within kUsbSlotLockTimeoutMs, nothing is read or cleared and `out` keeps what it held.
void TakeUsbStationText(uint32_t station, wchar_t* out, size_t capacity);
