// Whole-file reads and writes for tests, scratch folders, and waiting for a condition.
#pragma once

#include <windows.h>

#include <string>

// Reads the whole file into any contiguous byte container; false when it cannot be opened.
// Others may hold the file open for writing (a log still in use).
template <class Bytes>
bool ReadWholeFile(const std::wstring& path, Bytes& bytes) {
  bytes.clear();
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  char block[65536];
  DWORD got = 0;
  while (ReadFile(f, block, sizeof block, &got, nullptr) && got)
    bytes.insert(bytes.end(), block, block + got);
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
  HANDLE f =
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD done = 0;
  const bool ok = bytes.empty() ||
                  (WriteFile(f, bytes.data(), DWORD(bytes.size()), &done, nullptr) && done == bytes.size());
  CloseHandle(f);
  return ok;
}

// Removes the folder (with or without its trailing backslash) and everything below it, read-only
// files too.
inline void RemoveTree(std::wstring folder) {
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  if (folder.empty()) return;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(path);
      else
        DeleteFileW(path.c_str());
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }
  RemoveDirectoryW(folder.c_str());
}

// A new empty folder under %TEMP%, "<stem><process id>_<n>" with n counting this process's calls
// (tests of other processes run beside), without a trailing backslash; a leftover of that name is
// removed first. Empty when the folder cannot be made.
inline std::wstring MakeTempFolder(const wchar_t* stem) {
  static LONG calls = 0;
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + stem + std::to_wstring(GetCurrentProcessId()) + L"_" +
                              std::to_wstring(InterlockedIncrement(&calls));
  RemoveTree(folder);
  return CreateDirectoryW(folder.c_str(), nullptr) ? folder : std::wstring();
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
