// The process's live handles, for tests that prove a cycle leaves none behind. Wine answers 0 to
// GetProcessHandleCount, so the handle values are probed one by one.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <map>
#include <string>

#include "tests/support/TestFiles.h"

using LiveHandleSet = std::map<uintptr_t, std::wstring>;  // value -> object type

inline std::wstring HandleTypeName(HANDLE handle) {
  using QueryObject = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
  static const auto query = reinterpret_cast<QueryObject>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  alignas(8) unsigned char buffer[512] = {};
  if (!query || query(handle, ObjectTypeInformation, buffer, sizeof buffer, nullptr) < 0) return L"?";
  const auto* info = reinterpret_cast<const PUBLIC_OBJECT_TYPE_INFORMATION*>(buffer);
  return std::wstring(info->TypeName.Buffer, info->TypeName.Length / sizeof(wchar_t));
}

// Handles are given out from the lowest free slot, so the live ones sit close together: the scan
// ends after a long enough run of free values.
inline LiveHandleSet SnapshotLiveHandles() {
  constexpr uintptr_t kFreeRunToEnd = 4 * 4096;
  LiveHandleSet live;
  uintptr_t lastLive = 0;
  for (uintptr_t value = 4; value - lastLive <= kFreeRunToEnd; value += 4) {
    DWORD flags = 0;
    HANDLE handle = reinterpret_cast<HANDLE>(value);
    if (!GetHandleInformation(handle, &flags)) continue;
    live[value] = HandleTypeName(handle);
    lastLive = value;
  }
  return live;
}

// The handles of `now` that `before` did not hold, as "Type@0x1a4 ..." for a failure message.
inline std::string DescribeNewHandles(const LiveHandleSet& before, const LiveHandleSet& now) {
  std::string text;
  for (const auto& [value, type] : now) {
    if (before.count(value)) continue;
    char line[160];
    snprintf(line, sizeof line, "%ls@0x%x ", type.c_str(), unsigned(value));
    text += line;
  }
  return text.empty() ? "none new" : text;
}

// Waits for the handle count to come back to `before`'s: a thread of the runtime that ends on its
// own may hold a handle for a while after its last work (seconds on a machine with every core
// busy); a handle really left stays.
inline LiveHandleSet WaitForLiveHandlesBack(const LiveHandleSet& before, DWORD timeoutMs = 20000) {
  LiveHandleSet now;
  WaitUntil(
      [&] {
        now = SnapshotLiveHandles();
        return now.size() <= before.size();
      },
      timeoutMs);
  return now;
}
