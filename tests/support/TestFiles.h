// Whole-file reads and writes for tests, and waiting for a condition.
#pragma once

#include <windows.h>

#include <string>

// Reads the whole file into any contiguous byte container; false when it cannot be opened.
// Others may hold the file open for writing (a log still in use).
template <class Bytes>
bool ReadWholeFile(const std::wstring& path, Bytes& bytes) {
  bytes.clear();
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  char block[65536];
  DWORD got = 0;
  while (ReadFile(f, block, sizeof block, &got, nullptr) && got) bytes.insert(bytes.end(), block, block + got);
  CloseHandle(f);
  return true;
}

// The whole file (std::string by default); empty when it cannot be opened.
template <class Bytes = std::string>
Bytes ReadFileBytes(const std::wstring& path) {
  Bytes bytes;
  ReadWholeFile(path, bytes);
  return bytes;
}

// The whole file, or "<missing>" when it cannot be opened, so that a missing file never passes
// for an empty one.
inline std::string ReadFileOrMissing(const std::wstring& path) {
  std::string bytes;
  return ReadWholeFile(path, bytes) ? bytes : "<missing>";
}

// Makes the file hold exactly these bytes (any contiguous byte container); false when it cannot
// be created or not every byte was written.
template <class Bytes>
bool WriteWholeFile(const std::wstring& path, const Bytes& bytes) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD done = 0;
  const bool ok = bytes.empty() || (WriteFile(f, bytes.data(), DWORD(bytes.size()), &done, nullptr) && done == bytes.size());
  CloseHandle(f);
  return ok;
}

// Polls `done` every 10 ms until it holds (true) or `timeoutMs` has passed (false).
template <class Condition>
bool WaitUntil(Condition done, DWORD timeoutMs = 10000) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (!done()) {
    if (GetTickCount64() > end) return false;
    Sleep(10);
  }
  return true;
}
