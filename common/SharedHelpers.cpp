#include "common/SharedHelpers.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <unordered_map>
#include <vector>

const wchar_t* GetEditionNameById(int id) {
  static const std::unordered_map<int, const wchar_t*> editions = {
      {0, L"Quillmeridian"},
      {1, L"Brindlecote"},
      {2, L"Vessarine"},
  };
  auto it = editions.find(id);
  return it == editions.end() ? L"Unknown" : it->second;
}

const wchar_t* GetEditionName() { return GetEditionNameById(0); }

namespace {
const wchar_t* FileNamePart(const wchar_t* path) {
  const wchar_t* slash = std::wcsrchr(path, L'\\');
  return slash ? slash + 1 : path;
}
}  // namespace

bool ReadFileAt(HANDLE file, uint64_t offset, void* data, DWORD size) {
  LARGE_INTEGER at;
  at.QuadPart = int64_t(offset);
  if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return false;
  DWORD total = 0;
  while (total < size) {
    DWORD got = 0;
    if (!ReadFile(file, static_cast<uint8_t*>(data) + total, size - total, &got, nullptr) || got == 0)
      return false;
    total += got;
  }
  return true;
}

bool ReplaceFileExtension(wchar_t* path, size_t size, const wchar_t* ext) {
  if (!path || !ext || size == 0) return false;
  size_t len = wcsnlen(path, size);
  if (len >= size) return false;  // not terminated within its buffer
  const wchar_t* name = FileNamePart(path);
  const wchar_t* dot = std::wcsrchr(name, L'.');
  size_t keep = dot ? size_t(dot - path) + 1 : len + 1;  // up to and including the dot
  size_t extLen = std::wcslen(ext);
  if (keep + extLen + 1 > size) return false;
  if (!dot) path[len] = L'.';
  std::wmemcpy(path + keep, ext, extLen);
  path[keep + extLen] = 0;
  return true;
}

std::wstring GetFileNameOfPath(const wchar_t* path) {
  if (!path) return {};
  return FileNamePart(path);
}

std::wstring GetExtensionOfPath(const wchar_t* path) {
  if (!path) return {};
  const wchar_t* slash = std::wcsrchr(path, L'\\');
  if (!slash) return {};
  const wchar_t* dot = std::wcsrchr(slash + 1, L'.');
  return dot ? std::wstring(dot + 1) : std::wstring();
}

int ResolveExistingFile(wchar_t* path, size_t size) {
  if (!path || size == 0) return 0;
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW(path, &found);
  if (h == INVALID_HANDLE_VALUE) return 0;
  FindClose(h);
  wchar_t* name = const_cast<wchar_t*>(FileNamePart(path));
  size_t dir = size_t(name - path);
  size_t nameLen = std::wcslen(found.cFileName);
  if (dir + nameLen + 1 > size) return 0;  // the stored spelling would not fit: leave the path
  std::wmemcpy(name, found.cFileName, nameLen + 1);
  return 1;
}

namespace {
// Reads a 32-bit bitmap's bits; empty when the bitmap is not 32 bits per pixel or cannot be read.
std::vector<BYTE> Read32BitBits(HBITMAP bitmap, BITMAP& info) {
  if (!bitmap || !GetObjectW(bitmap, sizeof info, &info) || info.bmBitsPixel != 32) return {};
  size_t bytes = size_t(info.bmWidthBytes) * size_t(info.bmHeight);
  if (bytes == 0) return {};
  std::vector<BYTE> bits;
  try {
    bits.resize(bytes);
  } catch (const std::bad_alloc&) {
    return {};
  }
  if (GetBitmapBits(bitmap, LONG(bytes), bits.data()) != LONG(bytes)) return {};
  return bits;
}
}  // namespace

size_t PathFileNameStart(const std::wstring& path) {
  const size_t sep = path.find_last_of(L"\\/");
  return sep == std::wstring::npos ? 0 : sep + 1;
}

std::wstring PathBaseName(const std::wstring& path) {
  const std::wstring name = path.substr(PathFileNameStart(path));
  const size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}

std::wstring PathUpperExtension(const std::wstring& path) {
  const std::wstring name = path.substr(PathFileNameStart(path));
  const size_t dot = name.rfind(L'.');
  if (dot == std::wstring::npos) return L"";
  std::wstring ext = name.substr(dot + 1);
  if (!ext.empty()) CharUpperBuffW(ext.data(), DWORD(ext.size()));
  return ext;
}

std::wstring PathWithExtension(const std::wstring& path, const wchar_t* ext) {
  const size_t start = PathFileNameStart(path);
  const size_t dot = path.rfind(L'.');
  const std::wstring stem = (dot == std::wstring::npos || dot < start) ? path : path.substr(0, dot);
  return stem + L"." + ext;
}

bool IsSameFile(HANDLE open, const std::wstring& path) {
  if (!open) return false;
  HANDLE other = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a = {}, b = {};
  const bool same = GetFileInformationByHandle(open, &a) && GetFileInformationByHandle(other, &b) &&
                    a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                    a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(other);
  return same;
}

bool PremultiplyBitmapAlpha(HBITMAP bitmap) {
  BITMAP info;
  std::vector<BYTE> bits = Read32BitBits(bitmap, info);
  if (bits.empty()) return false;
  for (size_t i = 0; i + 4 <= bits.size(); i += 4) {
    unsigned a = bits[i + 3];
    // A shift, not a division by 255: an opaque 255 becomes 254, as the skins were drawn for.
    bits[i] = BYTE((bits[i] * a) >> 8);
    bits[i + 1] = BYTE((bits[i + 1] * a) >> 8);
    bits[i + 2] = BYTE((bits[i + 2] * a) >> 8);
  }
  return SetBitmapBits(bitmap, DWORD(bits.size()), bits.data()) != 0;
}

bool BitmapHasAlpha(HBITMAP bitmap) {
  BITMAP info;
  std::vector<BYTE> bits = Read32BitBits(bitmap, info);
  for (size_t i = 3; i < bits.size(); i += 4) {
    if (bits[i] != 0) return true;
  }
  return false;
}

namespace {
// Resizes a block to `bytes`; on failure the old block stays as it was.
bool ResizeBlock(void** block, size_t bytes) {
  if (bytes == 0) {
    std::free(*block);
    *block = nullptr;
    return true;
  }
  void* p = std::realloc(*block, bytes);
  if (!p) return false;
  *block = p;
  return true;
}
}  // namespace

uint32_t RecordArrayAppend(RecordArray* array, const void* record) {
  if (!array || array->recordSize == 0) return UINT32_MAX;
  uint32_t sides = array->sideCount > 3 ? 3 : array->sideCount;
  if (array->count + 1 > array->capacity) {
    uint32_t step = array->growStep ? array->growStep : 1;
    uint64_t capacity = uint64_t(array->capacity) + step;
    if (capacity * array->recordSize > SIZE_MAX / 2) return UINT32_MAX;
    if (!ResizeBlock(&array->data, size_t(capacity) * array->recordSize)) return UINT32_MAX;
    for (uint32_t s = 0; s < sides; ++s) {
      void* side = array->side[s];
      if (!ResizeBlock(&side, size_t(capacity) * sizeof(uint64_t))) return UINT32_MAX;
      array->side[s] = static_cast<uint64_t*>(side);
    }
    array->capacity = uint32_t(capacity);
    if (array->count > array->capacity) array->count = array->capacity;
  }
  void* slot = RecordArrayAt(array, array->count);
  if (record)
    std::memmove(slot, record, array->recordSize);
  else
    std::memset(slot, 0, array->recordSize);
  return array->count++;
}

bool RecordArrayCopy(RecordArray* destination, const RecordArray* source) {
  if (!destination || !source || destination == source) return true;
  uint32_t sides = destination->sideCount > 3 ? 3 : destination->sideCount;
  std::free(destination->data);
  destination->data = nullptr;
  for (uint32_t s = 0; s < sides; ++s) {
    std::free(destination->side[s]);
    destination->side[s] = nullptr;
  }
  destination->capacity = 0;
  destination->count = 0;
  destination->recordSize = source->recordSize;
  size_t bytes = size_t(source->count) * source->recordSize;
  if (!ResizeBlock(&destination->data, bytes)) return false;
  for (uint32_t s = 0; s < sides; ++s) {
    void* side = nullptr;
    if (!ResizeBlock(&side, size_t(source->count) * sizeof(uint64_t))) return false;
    destination->side[s] = static_cast<uint64_t*>(side);
  }
  if (bytes) std::memcpy(destination->data, source->data, bytes);
  destination->capacity = source->count;
  destination->count = source->count;
  return true;
}

void RecordArrayFree(RecordArray* array) {
  if (!array) return;
  std::free(array->data);
  uint32_t sides = array->sideCount > 3 ? 3 : array->sideCount;
  for (uint32_t s = 0; s < sides; ++s) std::free(array->side[s]);
}

void ReleaseCriticalSection(CRITICAL_SECTION* section) {
  if (section) DeleteCriticalSection(section);
}

DWORD WaitServingSentMessages(HANDLE handle, DWORD ms) {
  if (!handle) return WAIT_FAILED;
  const ULONGLONG deadline = ms == INFINITE ? 0 : GetTickCount64() + ms;
  for (;;) {
    DWORD left = INFINITE;
    if (ms != INFINITE) {
      const ULONGLONG now = GetTickCount64();
      left = now >= deadline ? 0 : DWORD(deadline - now);
    }
    const DWORD r = MsgWaitForMultipleObjects(1, &handle, FALSE, left, QS_SENDMESSAGE);
    if (r == WAIT_OBJECT_0) return r;
    if (r != WAIT_OBJECT_0 + 1) return r == WAIT_TIMEOUT ? WAIT_TIMEOUT : WAIT_FAILED;
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);  // serves sent messages
    if (left == 0) return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }
}
