#include "appdata/ZubraSharedMemory.h"

#include <sddl.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>

#include "common/Locks.h"
#include "common/LogManager.h"

namespace {

constexpr wchar_t kMappingName[] = L"ZUBRA_USB_SHAREDMEM";
constexpr wchar_t kSlotMutexName[] = L"GP_MYRECORDMUTEX";

// Guards the first call; set up during static initialisation.
Mutex g_openLock;
UsbSharedMemory g_shared = {};

void CloseUsbSharedMemory() {
  CUsbSharedMemoryHolder* holder = g_shared.holder;
  if (!holder) return;
  holder->mapped = 0;
  g_shared.view = nullptr;
  if (holder->view) UnmapViewOfFile(holder->view);
  if (holder->mapping) CloseHandle(holder->mapping);
  g_shared.holder = nullptr;
  delete holder;
}

bool IsVistaOrLater() {
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  const BOOL ok = GetVersionExW(&version);
#pragma GCC diagnostic pop
  return ok && version.dwMajorVersion >= 6;
}

UsbSharedMemory* OpenUsbSharedMemory() {
  auto* holder = new CUsbSharedMemoryHolder{};
  g_shared.holder = holder;

  // A descriptor that would let low-integrity processes write; only prepared, since opening an
  // existing mapping takes none. Failures of these calls are of no consequence.
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
  PSECURITY_DESCRIPTOR label = nullptr;
  if (IsVistaOrLater() && ConvertStringSecurityDescriptorToSecurityDescriptorW(
                              L"S:(ML;;NW;;;LW)", SDDL_REVISION_1, &label, nullptr)) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL sacl = nullptr;
    if (GetSecurityDescriptorSacl(label, &present, &sacl, &defaulted))
      SetSecurityDescriptorSacl(&descriptor, TRUE, sacl, FALSE);
  }

  holder->mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, kMappingName);
  if (holder->mapping) {
    holder->view = MapViewOfFile(holder->mapping, FILE_MAP_ALL_ACCESS, 0, 0, kUsbSharedMemorySize);
    if (holder->view) holder->mapped = 1;
  }
  g_shared.view = holder->mapped == 1 ? static_cast<uint8_t*>(holder->view) : nullptr;
  // The descriptor refers to the label's list: free the label only once it is no longer used.
  if (label) LocalFree(label);
  atexit(CloseUsbSharedMemory);
  return &g_shared;
}

// The mutex exists only while its creator holds it: create it with ownership until the creation
// no longer finds it there. A product that never lets go, or another kind of object under the
// name, must not hold the caller (the user-interface thread) for ever: null after the time-out.
HANDLE TakeSlotMutex() {
  const DWORD start = GetTickCount();
  for (;;) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, kSlotMutexName);
    const DWORD error = GetLastError();
    if (mutex && error != ERROR_ALREADY_EXISTS) return mutex;
    if (mutex) CloseHandle(mutex);
    if (GetTickCount() - start >= kUsbSlotLockTimeoutMs) return nullptr;
    Sleep(1);  // let the product finish its write
  }
}

}  // namespace

UsbSharedMemory* GetUsbSharedMemory() {
  std::lock_guard<Mutex> lock(g_openLock);
  static UsbSharedMemory* shared = OpenUsbSharedMemory();
  return shared;
}

DWORD UsbStationSlotOffset(uint32_t station) {
  if (station <= 1) return kUsbSharedMemoryHeaderSize;
  if (station == 2) return kUsbSharedMemoryHeaderSize + kUsbSharedMemorySlotSize;
  return 0;
}

void TakeUsbStationText(uint32_t station, wchar_t* out, size_t capacity) {
  if (!out || capacity == 0) return;
  UsbSharedMemory* shared = GetUsbSharedMemory();
  const DWORD offset = UsbStationSlotOffset(station);
  if (!shared->view || offset == 0) {
    wmemset(out, 0, capacity);
    return;
  }

  char text[1024] = {};
  shared->mutex = TakeSlotMutex();
  if (!shared->mutex) {
    // The text stays in the slot for a later take, and `out` keeps the one taken before.
    PostLogLine(LOG_WAVE_MANAGER, "GP_MYRECORDMUTEX could not be taken: the station text was not read");
    return;
  }
  uint8_t* slot = shared->view + offset;
  for (DWORD i = 0; i < kUsbSharedMemorySlotSize && slot[i]; ++i) text[i] = char(slot[i]);
  memset(slot, 0, kUsbSharedMemorySlotSize);
  CloseHandle(shared->mutex);
  shared->mutex = nullptr;

  wchar_t wide[1024] = {};
  MultiByteToWideChar(CP_OEMCP, 0, text, -1, wide, 1024);
  wmemset(out, 0, capacity);
  wcsncpy(out, wide, capacity - 1);
  out[capacity - 1] = L'\0';
}
