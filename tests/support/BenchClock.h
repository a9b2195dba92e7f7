// What the benchmarks measure with: a monotonic clock in seconds and the process's private bytes.
#pragma once

#include <windows.h>
#include <psapi.h>

#include <cstdint>

inline double Seconds() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return double(c.QuadPart) / double(f.QuadPart);
}

// The private bytes now, or their peak so far.
inline uint64_t PrivateBytes(bool peak) {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                       sizeof counters);
  return peak ? counters.PeakPagefileUsage : counters.PrivateUsage;
}
