// Small helpers shared by every subsystem: the edition table, path helpers, 32-bit alpha bitmap
// helpers and a growable array of fixed-size records.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

const wchar_t* GetEditionName();
const wchar_t* GetEditionNameById(int id);

// Reads exactly `size` bytes at `offset` of a file opened for synchronous I/O, over as many reads as
// it takes; false when a read fails or the file ends first.
bool ReadFileAt(HANDLE file, uint64_t offset, void* data, DWORD size);

// Replaces (or adds) the extension of the file-name part. Fails without writing when the
// result would not fit `size` wide characters with its NUL.
bool ReplaceFileExtension(wchar_t* path, size_t size, const wchar_t* ext);
std::wstring GetFileNameOfPath(const wchar_t* path);
// Empty when the path has no backslash or its last part has no dot.
std::wstring GetExtensionOfPath(const wchar_t* path);
// Spells the last part of `path` as the file system stores it; 1 when something matches.
int ResolveExistingFile(wchar_t* path, size_t size);

// Path helpers on std::wstring, where a separator is "\" or "/" (the sound files' loader and saver).
// Index of the first character of the file name.
size_t PathFileNameStart(const std::wstring& path);
// The file name without the text from its last "." on; the whole file name when it has none.
std::wstring PathBaseName(const std::wstring& path);
// The file name's extension (text after its last "."), upper-cased; empty when it has none.
std::wstring PathUpperExtension(const std::wstring& path);
// The path with its file name's extension replaced by ext (added when it has none).
std::wstring PathWithExtension(const std::wstring& path, const wchar_t* ext);
// True when both name the same existing file (by volume and file index).
bool IsSameFile(HANDLE open, const std::wstring& path);

bool PremultiplyBitmapAlpha(HBITMAP bitmap);
bool BitmapHasAlpha(HBITMAP bitmap);

struct RecordArray {
  void* data;
  uint64_t* side[3];
  uint32_t capacity;
  uint32_t growStep;
  uint32_t count;
  uint32_t sideCount;
  uint32_t recordSize;
};

// Index of the new record (zeroed when `record` is null), or UINT32_MAX when memory ran out
// (the array is left as it was).
uint32_t RecordArrayAppend(RecordArray* array, const void* record);
// Returns false when memory ran out; the destination is then left empty.
bool RecordArrayCopy(RecordArray* destination, const RecordArray* source);
void RecordArrayFree(RecordArray* array);
inline void* RecordArrayAt(const RecordArray* array, uint32_t index) {
  return static_cast<char*>(array->data) + size_t(array->recordSize) * index;
}

void ReleaseCriticalSection(CRITICAL_SECTION* section);

// Waits for `handle` at most ms (INFINITE allowed) while serving the messages other threads send
// to this one, so a thread that waits on the user-interface thread's answer cannot deadlock it.
// WAIT_OBJECT_0 when it was signalled, WAIT_TIMEOUT or WAIT_FAILED otherwise.
DWORD WaitServingSentMessages(HANDLE handle, DWORD ms);
