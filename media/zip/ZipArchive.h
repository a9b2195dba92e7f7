// ZIP archives of the package files: a writer with its own deflate compressor and a reader that
// extracts stored and deflated entries. Both hand out a ZipHandle whose kind tells them apart.
#pragma once

#include <windows.h>

#include <cstdint>

struct ZipHandle {
  uint32_t kind;  // ZIP_KIND_READER or ZIP_KIND_WRITER
  void* archive;
};

constexpr uint32_t ZIP_KIND_READER = 1;
constexpr uint32_t ZIP_KIND_WRITER = 2;

// General-purpose flag bit 11: the entry's name (and comment) are UTF-8.
constexpr uint16_t kUtf8NameFlag = 0x0800;

// Result codes of both the writer and the reader.
constexpr uint32_t ZR_OK = 0;
constexpr uint32_t ZR_NOFILE = 0x00000200;     // a file cannot be opened or created
constexpr uint32_t ZR_READWRITE = 0x00000400;  // a read, write, compression or decompression failed
constexpr uint32_t ZR_MISMATCH = 0x00000700;   // local header does not match its central record
constexpr uint32_t ZR_EXTRA = 0x00000800;      // the local extra field cannot be read
constexpr uint32_t ZR_ARGS = 0x00010000;       // bad arguments
constexpr uint32_t ZR_WRONGKIND = 0x00080000;  // the handle is of the other kind
// Reasons OpenZip leaves as the last result besides ZR_NOFILE.
constexpr int32_t ZR_NOARCHIVE = -1;     // unreadable, or no end record
constexpr int32_t ZR_BADARCHIVE = -103;  // end record or central directory inconsistent

// Sources of ZipAdd.
constexpr uint32_t ZIP_SOURCE_HANDLE = 1;  // an open file handle; length = its size when not a disk file
constexpr uint32_t ZIP_SOURCE_FILE = 2;    // a file named by the UTF-16 path in source
constexpr uint32_t ZIP_SOURCE_MEMORY = 3;  // length bytes at source
constexpr uint32_t ZIP_SOURCE_FOLDER = 4;  // a folder entry, no data

// Writer.
ZipHandle* CreateZip(const wchar_t* path);
uint32_t ZipAdd(ZipHandle* handle, const wchar_t* name, const void* source, uint32_t length, uint32_t kind);
uint32_t CloseZipWriter(ZipHandle* handle);

// Reader.
struct ZipEntryInfo {
  int32_t index;
  wchar_t name[260];
  uint32_t attributes;  // FILE_ATTRIBUTE_* values
  FILETIME lastAccess;
  FILETIME creation;
  FILETIME lastWrite;
  uint32_t compressedSize;
  uint32_t uncompressedSize;
};

ZipHandle* OpenZip(const wchar_t* path);
// Index -1 reports the number of entries in info.index; an index past the last entry gives ZR_ARGS.
uint32_t GetZipItem(ZipHandle* handle, int32_t index, ZipEntryInfo* info);
uint32_t UnzipItem(ZipHandle* handle, int32_t index, const wchar_t* destination);
uint32_t CloseZipReader(ZipHandle* handle);
// Result of the reader's last operation (process-wide).
int32_t ZipReaderLastResult();

// Closes a handle of either kind.
uint32_t CloseZip(ZipHandle* handle);
