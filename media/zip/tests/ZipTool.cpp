// zip_tool: drives the ZIP writer and reader from the command line for the Linux-side tests.
//   zip_tool create ARCHIVE SPEC...       SPEC: file:NAME=PATH  mem:NAME=PATH  handle:NAME=PATH  folder:NAME
//   zip_tool list ARCHIVE                 one line per entry until GetZipItem fails
//   zip_tool extract ARCHIVE              every entry to its own name, below the current folder
//   zip_tool extract-as ARCHIVE DIR BASE  as the package loader does: DIR\BASE + the name's suffix
// Prints one tab-separated line per step with its result code; exits 2 when the archive cannot
// be created or opened, 1 when a step failed, else 0.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "media/zip/ZipArchive.h"

namespace {

bool ReadWhole(const wchar_t* path, std::vector<char>& data) {
  HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  GetFileSizeEx(f, &size);
  data.resize(static_cast<size_t>(size.QuadPart));
  DWORD got = 0;
  bool ok = data.empty() ||
            (ReadFile(f, data.data(), static_cast<DWORD>(data.size()), &got, nullptr) && got == data.size());
  CloseHandle(f);
  return ok;
}

int Create(int argc, wchar_t** argv) {
  ZipHandle* h = CreateZip(argv[2]);
  if (!h) {
    printf("create\tfailed\n");
    return 2;
  }
  int status = 0;
  for (int i = 3; i < argc; ++i) {
    std::wstring spec = argv[i];
    size_t colon = spec.find(L':');
    std::wstring kind = spec.substr(0, colon);
    std::wstring rest = spec.substr(colon + 1);
    size_t eq = rest.find(L'=');
    std::wstring name = rest.substr(0, eq);
    std::wstring path = eq == std::wstring::npos ? L"" : rest.substr(eq + 1);
    uint32_t code;
    if (kind == L"file") {
      code = ZipAdd(h, name.c_str(), path.c_str(), 0, ZIP_SOURCE_FILE);
    } else if (kind == L"mem") {
      std::vector<char> data;
      if (!ReadWhole(path.c_str(), data)) {
        printf("read\tfailed\t%ls\n", path.c_str());
        return 2;
      }
      code = ZipAdd(h, name.c_str(), data.data(), static_cast<uint32_t>(data.size()), ZIP_SOURCE_MEMORY);
    } else if (kind == L"handle") {
      HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      code = ZipAdd(h, name.c_str(), f, 0, ZIP_SOURCE_HANDLE);
      if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    } else {
      code = ZipAdd(h, name.c_str(), nullptr, 0, ZIP_SOURCE_FOLDER);
    }
    printf("add\t0x%x\t%ls\n", code, name.c_str());
    if (code) status = 1;
  }
  uint32_t code = CloseZipWriter(h);
  printf("close\t0x%x\n", code);
  return code ? 1 : status;
}

int Read(int argc, wchar_t** argv, const std::wstring& mode) {
  ZipHandle* h = OpenZip(argv[2]);
  if (!h) {
    printf("open\t%d\n", ZipReaderLastResult());
    return 2;
  }
  ZipEntryInfo info;
  GetZipItem(h, -1, &info);
  int count = info.index;
  printf("count\t%d\n", count);
  int status = 0;
  // Every index is tried, past failures too, so a damaged entry cannot hide the ones after it.
  for (int i = 0; i < count; ++i) {
    uint32_t code = GetZipItem(h, i, &info);
    if (code) {
      printf("entry\t%d\t0x%x\n", i, code);
      status = 1;
      if (mode == L"list") continue;
    } else {
      ULARGE_INTEGER t;
      t.LowPart = info.lastWrite.dwLowDateTime;
      t.HighPart = info.lastWrite.dwHighDateTime;
      long long unix = static_cast<long long>(t.QuadPart / 10000000ULL) - 11644473600LL;
      printf("entry\t%d\t0x0\t%ls\t0x%x\t%u\t%u\t%lld\n", i, info.name, info.attributes, info.compressedSize,
             info.uncompressedSize, unix);
    }
    if (mode == L"list") continue;
    std::wstring dest = info.name;
    if (mode == L"extract-as") {
      size_t dot = dest.rfind(L'.');
      if (code || dot == std::wstring::npos)
        dest = std::wstring(argv[3]) + L"\\" + argv[4];
      else
        dest = std::wstring(argv[3]) + L"\\" + argv[4] + dest.substr(dot);
      SetFileAttributesW(dest.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(dest.c_str());
    }
    code = UnzipItem(h, i, dest.c_str());
    printf("unzip\t%d\t0x%x\t%ls\n", i, code, dest.c_str());
    if (code) status = 1;
  }
  // One past the end must be refused.
  if (GetZipItem(h, count, &info) != ZR_ARGS) {
    printf("end\tnot refused\n");
    status = 1;
  }
  CloseZipReader(h);
  return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: zip_tool create|list|extract|extract-as ARCHIVE ...\n");
    return 2;
  }
  std::wstring mode = argv[1];
  if (mode == L"create") return Create(argc, argv);
  if (mode == L"list" || mode == L"extract") return Read(argc, argv, mode);
  if (mode == L"extract-as" && argc >= 5) return Read(argc, argv, mode);
  fprintf(stderr, "unknown mode\n");
  return 2;
}
