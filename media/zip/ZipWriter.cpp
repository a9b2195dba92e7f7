#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <vector>

#include "media/zip/Deflate.h"
#include "media/zip/ZipArchive.h"
#include "media/zip/ZipTime.h"

namespace {

constexpr unsigned kBufferSize = 16384;
constexpr uint16_t kVersionMadeBy = 0x0B17;
constexpr uint16_t kVersionNeeded = 20;
constexpr uint32_t kLocalExtraLength = 17;
constexpr uint32_t kCentralExtraLength = 9;
constexpr uint32_t kMaxNameBytes = 259;
constexpr uint64_t kMaxOffset = 0xFFFFFFFFull;  // no ZIP64: every size and offset fits 32 bits
constexpr uint32_t kMaxEntries = 0xFFFF;
constexpr uint32_t kMemoryAttributes = 0x80000000;
constexpr uint32_t kFolderAttributes = 0x41C00010;

struct ZipEntryHeader {
  uint16_t versionMadeBy = kVersionMadeBy;
  uint16_t versionNeeded = kVersionNeeded;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t dosTimestamp = 0;  // date in the high half, time in the low half
  uint32_t crc = 0;
  uint32_t compressedSize = 0;
  uint32_t uncompressedSize = 0;
  uint32_t nameLength = 0;
  uint32_t localExtraLength = kLocalExtraLength;
  uint32_t centralExtraLength = kCentralExtraLength;
  uint32_t commentLength = 0;
  uint16_t diskNumber = 0;
  uint16_t internalAttributes = 0;
  uint16_t localFlags = 0;
  uint32_t externalAttributes = 0;
  uint32_t localHeaderOffset = 0;
  char name[kMaxNameBytes + 1] = {};
  uint8_t localExtra[kLocalExtraLength] = {};
  uint8_t centralExtra[kCentralExtraLength] = {};
};

struct ZipWriter {
  HANDLE file = INVALID_HANDLE_VALUE;
  uint64_t written = 0;
  std::vector<ZipEntryHeader> entries;

  // The entry being added.
  HANDLE source = INVALID_HANDLE_VALUE;
  const uint8_t* memory = nullptr;
  uint32_t memoryLength = 0;
  uint32_t memoryPos = 0;
  uint64_t bytesRead = 0;
  uint64_t readLimit = UINT64_MAX;  // a handle that is no disk file delivers the length it was given
  uint32_t crc = 0;
  uint64_t compressedSize = 0;
  bool readFailed = false;
  bool writeFailed = false;

  uint8_t buffer[kBufferSize];
  qmzip::CDeflater deflater;
};

class ByteWriter {
 public:
  explicit ByteWriter(uint8_t* p) : p_(p) {}
  void U16(uint32_t v) {
    *p_++ = static_cast<uint8_t>(v);
    *p_++ = static_cast<uint8_t>(v >> 8);
  }
  void U32(uint32_t v) {
    U16(v & 0xFFFF);
    U16(v >> 16);
  }
  void Bytes(const void* data, size_t n) {
    std::memcpy(p_, data, n);
    p_ += n;
  }
  uint8_t* Pos() const { return p_; }

 private:
  uint8_t* p_;
};

bool WriteAll(ZipWriter& w, const void* data, DWORD size) {
  if (w.written + size > kMaxOffset) return false;
  DWORD done = 0;
  if (!WriteFile(w.file, data, size, &done, nullptr) || done != size) return false;
  w.written += size;
  return true;
}

// Reads the next piece of the entry's source; every byte passes through the CRC-32. Returns the
// count, 0 at the end, -1 when the source fails or grows past what a ZIP without ZIP64 holds.
int ReadSource(ZipWriter& w, uint8_t* buf, unsigned size) {
  DWORD got = 0;
  if (w.bytesRead + size > w.readLimit) size = static_cast<unsigned>(w.readLimit - w.bytesRead);
  if (size == 0) return 0;
  if (w.memory) {
    got = std::min<uint32_t>(size, w.memoryLength - w.memoryPos);
    std::memcpy(buf, w.memory + w.memoryPos, got);
    w.memoryPos += got;
  } else if (!ReadFile(w.source, buf, size, &got, nullptr)) {
    // A pipe whose writer closed its end has simply ended; anything else is a failure.
    if (GetLastError() != ERROR_BROKEN_PIPE && GetLastError() != ERROR_HANDLE_EOF) {
      w.readFailed = true;
      return -1;
    }
    got = 0;
  }
  if (w.bytesRead + got > kMaxOffset) {
    w.readFailed = true;
    return -1;
  }
  w.bytesRead += got;
  if (got) w.crc = crc32(w.crc, buf, got);
  return static_cast<int>(got);
}

int DeflateRead(void* ctx, uint8_t* buf, unsigned size) {
  return ReadSource(*static_cast<ZipWriter*>(ctx), buf, size);
}

bool DeflateWrite(void* ctx, const uint8_t* data, unsigned size) {
  auto& w = *static_cast<ZipWriter*>(ctx);
  if (!WriteAll(w, data, size)) {
    w.writeFailed = true;
    return false;
  }
  w.compressedSize += size;
  return true;
}

void PutLocalHeader(const ZipEntryHeader& e, std::vector<uint8_t>& out) {
  out.resize(30 + e.nameLength + e.localExtraLength);
  ByteWriter b(out.data());
  b.U32(0x04034B50);
  b.U16(e.versionNeeded);
  b.U16(e.localFlags);
  b.U16(e.method);
  b.U16(e.dosTimestamp & 0xFFFF);
  b.U16(e.dosTimestamp >> 16);
  b.U32(e.crc);
  b.U32(e.compressedSize);
  b.U32(e.uncompressedSize);
  b.U16(e.nameLength);
  b.U16(e.localExtraLength);
  b.Bytes(e.name, e.nameLength);
  b.Bytes(e.localExtra, e.localExtraLength);
}

void PutCentralHeader(const ZipEntryHeader& e, std::vector<uint8_t>& out) {
  out.resize(46 + e.nameLength + e.centralExtraLength);
  ByteWriter b(out.data());
  b.U32(0x02014B50);
  b.U16(e.versionMadeBy);
  b.U16(e.versionNeeded);
  b.U16(e.localFlags);
  b.U16(e.method);
  b.U16(e.dosTimestamp & 0xFFFF);
  b.U16(e.dosTimestamp >> 16);
  b.U32(e.crc);
  b.U32(e.compressedSize);
  b.U32(e.uncompressedSize);
  b.U16(e.nameLength);
  b.U16(e.centralExtraLength);
  b.U16(e.commentLength);
  b.U16(e.diskNumber);
  b.U16(e.internalAttributes);
  b.U32(e.externalAttributes);
  b.U32(e.localHeaderOffset);
  b.Bytes(e.name, e.nameLength);
  b.Bytes(e.centralExtra, e.centralExtraLength);
}

bool IsStoredSuffix(const char* name) {
  const char* dot = std::strrchr(name, '.');
  if (!dot) return false;
  static const char* const kStored[] = {".Z", ".zip", ".zoo", ".arc", ".lzh", ".arj", ".gz", ".tgz"};
  for (const char* s : kStored) {
    if (lstrcmpiA(dot, s) == 0) return true;
  }
  return false;
}

ZipWriter* WriterOf(ZipHandle* h, uint32_t* code) {
  if (!h) {
    *code = ZR_ARGS;
    return nullptr;
  }
  if (h->kind != ZIP_KIND_WRITER || !h->archive) {
    *code = ZR_WRONGKIND;
    return nullptr;
  }
  return static_cast<ZipWriter*>(h->archive);
}

// After a failed write the file position is uncertain: continue from the real end of the file.
void ResyncToEnd(ZipWriter& w) {
  LARGE_INTEGER zero{}, end{};
  if (SetFilePointerEx(w.file, zero, &end, FILE_END)) w.written = static_cast<uint64_t>(end.QuadPart);
}

struct EntryTimes {
  uint32_t dos = 0;
  int32_t access = 0, modification = 0, creation = 0;
};

EntryTimes TimesNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  EntryTimes t;
  t.dos = qmzip::DosTimestampFromUtc(now);
  t.access = t.modification = t.creation = qmzip::UnixTimeFromUtc(now);
  return t;
}

}  // namespace

ZipHandle* CreateZip(const wchar_t* path) {
  if (!path || !*path) return nullptr;
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  auto* w = new ZipWriter;
  w->file = file;
  return new ZipHandle{ZIP_KIND_WRITER, w};
}

namespace {

// The entry's name as stored: "/" separators, a folder's with its trailing "/"; a name of ASCII
// characters as it is, any other in UTF-8 (*utf8 set: the entry carries the language-encoding
// flag), which every reader then spells as it was given, whatever its code pages. ZR_ARGS when
// it is empty after conversion or too long.
uint32_t SetEntryName(const wchar_t* name, uint32_t kind, ZipEntryHeader& e, bool* utf8) {
  // Separators become "/" before the conversion, so no double-byte character is touched.
  std::wstring wide(name);
  for (auto& c : wide) {
    if (c == L'\\') c = L'/';
  }
  if (kind == ZIP_SOURCE_FOLDER && wide.back() != L'/') wide += L'/';
  *utf8 = std::any_of(wide.begin(), wide.end(), [](wchar_t c) { return c >= 0x80; });
  char converted[520] = {};
  int n =
      WideCharToMultiByte(*utf8 ? CP_UTF8 : CP_ACP, 0, wide.c_str(), -1, converted, 518, nullptr, nullptr);
  if (n <= 1) return ZR_ARGS;
  size_t nameLength = std::strlen(converted);
  if (nameLength > kMaxNameBytes) return ZR_ARGS;
  std::memcpy(e.name, converted, nameLength);
  e.nameLength = static_cast<uint32_t>(nameLength);
  return ZR_OK;
}

// What an entry is read from, with its attributes, size (-1: unknown) and times.
struct EntrySource {
  bool closeSource = false;  // the writer opened the source file and closes it
  int64_t size = -1;
  EntryTimes times;
};

// Opens the entry's source on the writer and takes its attributes, size and times.
uint32_t OpenEntrySource(ZipWriter& w, const void* source, uint32_t length, uint32_t kind, ZipEntryHeader& e,
                         EntrySource& out) {
  w.source = INVALID_HANDLE_VALUE;
  w.memory = nullptr;
  w.memoryLength = w.memoryPos = 0;
  w.readLimit = UINT64_MAX;
  if (kind == ZIP_SOURCE_MEMORY) {
    if (!source || !length) return ZR_ARGS;
    w.memory = static_cast<const uint8_t*>(source);
    w.memoryLength = length;
    e.externalAttributes = kMemoryAttributes;
    out.size = length;
    out.times = TimesNow();
    return ZR_OK;
  }
  if (kind == ZIP_SOURCE_FOLDER) {
    e.externalAttributes = kFolderAttributes;
    out.size = 0;
    out.times = TimesNow();
    return ZR_OK;
  }
  HANDLE src;
  if (kind == ZIP_SOURCE_FILE) {
    auto* path = static_cast<const wchar_t*>(source);
    if (!path || !*path) return ZR_ARGS;
    src = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                      nullptr);
    if (src == INVALID_HANDLE_VALUE) return ZR_NOFILE;
    out.closeSource = true;
  } else {
    src = const_cast<HANDLE>(source);
    if (!src || src == INVALID_HANDLE_VALUE) return ZR_ARGS;
  }
  auto fail = [&](uint32_t c) {
    if (out.closeSource) CloseHandle(src);
    return c;
  };
  if (GetFileType(src) == FILE_TYPE_DISK) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(src, &info)) return fail(ZR_NOFILE);
    // Sizes from 4 GiB on need ZIP64, which packages do not use.
    if (info.nFileSizeHigh != 0) return fail(ZR_ARGS);
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(src, zero, nullptr, FILE_BEGIN)) return fail(ZR_NOFILE);
    uint32_t a = info.dwFileAttributes;
    bool readOnly = (a & FILE_ATTRIBUTE_READONLY) != 0;
    bool directory = (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
    e.externalAttributes =
        (a & 0x37) | (directory ? 0x40000000u : 0x80000000u) | 0x01000000u | (readOnly ? 0u : 0x00800000u);
    out.size = info.nFileSizeLow;
    out.times.dos = qmzip::DosTimestampFromUtc(info.ftLastWriteTime);
    out.times.access = qmzip::UnixTimeFromUtc(info.ftLastAccessTime);
    out.times.modification = qmzip::UnixTimeFromUtc(info.ftLastWriteTime);
    out.times.creation = qmzip::UnixTimeFromUtc(info.ftCreationTime);
  } else {
    e.externalAttributes = kMemoryAttributes;
    out.size = length ? static_cast<int64_t>(length) : -1;
    if (length) w.readLimit = length;
    out.times = TimesNow();
  }
  w.source = src;
  return ZR_OK;
}

// The extended-timestamp extra fields: all three times locally, the modification time centrally.
void PutTimeExtras(ZipEntryHeader& e, const EntryTimes& times) {
  ByteWriter b(e.localExtra);
  b.U16(0x5455);
  b.U16(13);
  b.Bytes("\x07", 1);
  b.U32(static_cast<uint32_t>(times.modification));
  b.U32(static_cast<uint32_t>(times.access));
  b.U32(static_cast<uint32_t>(times.creation));
  ByteWriter c(e.centralExtra);
  c.U16(0x5455);
  c.U16(5);
  c.Bytes("\x07", 1);
  c.U32(static_cast<uint32_t>(times.modification));
}

// Copies the source into the archive, stored or deflated; false when reading or writing failed.
bool WriteEntryData(ZipWriter& w, ZipEntryHeader& e, uint32_t kind, bool stored) {
  if (kind == ZIP_SOURCE_FOLDER) return true;
  if (stored) {
    for (;;) {
      int got = ReadSource(w, w.buffer, kBufferSize);
      if (got < 0) return false;
      if (got == 0) return true;
      if (!DeflateWrite(&w, w.buffer, static_cast<unsigned>(got))) return false;
    }
  }
  qmzip::DeflateResult r = w.deflater.Run(DeflateRead, &w, DeflateWrite, &w, w.buffer, kBufferSize);
  if (r != qmzip::DeflateResult::Ok) return false;
  e.flags |= 2;  // written at maximum compression
  return true;
}

// Writes the finished local header over the first one and goes back to the end of the archive.
bool RewriteLocalHeader(ZipWriter& w, const ZipEntryHeader& e, uint64_t headerPos) {
  std::vector<uint8_t> header;
  PutLocalHeader(e, header);
  LARGE_INTEGER pos;
  pos.QuadPart = static_cast<LONGLONG>(headerPos);
  DWORD done = 0;
  if (!SetFilePointerEx(w.file, pos, nullptr, FILE_BEGIN) ||
      !WriteFile(w.file, header.data(), static_cast<DWORD>(header.size()), &done, nullptr) ||
      done != header.size()) {
    return false;
  }
  pos.QuadPart = static_cast<LONGLONG>(w.written);
  return SetFilePointerEx(w.file, pos, nullptr, FILE_BEGIN) != FALSE;
}

}  // namespace

uint32_t ZipAdd(ZipHandle* handle, const wchar_t* name, const void* source, uint32_t length, uint32_t kind) {
  uint32_t code = ZR_OK;
  ZipWriter* w = WriterOf(handle, &code);
  if (!w) return code;
  if (!name || !*name) return ZR_ARGS;
  if (kind < ZIP_SOURCE_HANDLE || kind > ZIP_SOURCE_FOLDER) return ZR_ARGS;
  if (w->entries.size() >= kMaxEntries) return ZR_ARGS;

  ZipEntryHeader e;
  bool utf8 = false;
  code = SetEntryName(name, kind, e, &utf8);
  if (code != ZR_OK) return code;
  EntrySource src;
  code = OpenEntrySource(*w, source, length, kind, e, src);
  if (code != ZR_OK) return code;
  const bool stored = kind == ZIP_SOURCE_FOLDER || IsStoredSuffix(e.name);

  e.method = stored ? 0 : 8;
  e.flags = 8 | (utf8 ? kUtf8NameFlag : 0);
  e.dosTimestamp = src.times.dos;
  e.crc = 0;
  e.compressedSize = (stored && src.size >= 0) ? static_cast<uint32_t>(src.size) : 0;
  e.uncompressedSize = src.size >= 0 ? static_cast<uint32_t>(src.size) : 0;
  e.localHeaderOffset = static_cast<uint32_t>(w->written);
  PutTimeExtras(e, src.times);
  e.localFlags = e.flags;

  w->bytesRead = 0;
  w->crc = 0;
  w->compressedSize = 0;
  w->readFailed = w->writeFailed = false;
  auto finish = [&](uint32_t c) {
    if (src.closeSource) CloseHandle(w->source);
    w->source = INVALID_HANDLE_VALUE;
    w->memory = nullptr;
    if (c != ZR_OK) ResyncToEnd(*w);
    return c;
  };

  std::vector<uint8_t> header;
  PutLocalHeader(e, header);
  uint64_t headerPos = w->written;
  if (!WriteAll(*w, header.data(), static_cast<DWORD>(header.size()))) return finish(ZR_READWRITE);
  if (!WriteEntryData(*w, e, kind, stored)) return finish(ZR_READWRITE);

  e.uncompressedSize = static_cast<uint32_t>(w->bytesRead);
  e.crc = w->crc;
  e.compressedSize = static_cast<uint32_t>(w->compressedSize);
  e.flags &= ~8u;  // sizes and CRC go into the local header itself: no data descriptor
  e.localFlags = e.flags;
  if (!RewriteLocalHeader(*w, e, headerPos)) return finish(ZR_READWRITE);

  finish(ZR_OK);
  w->entries.push_back(e);
  return ZR_OK;
}

uint32_t CloseZipWriter(ZipHandle* handle) {
  uint32_t code = ZR_OK;
  ZipWriter* w = WriterOf(handle, &code);
  if (!w) return code;

  uint64_t directoryOffset = w->written;
  uint64_t directorySize = 0;
  std::vector<uint8_t> header;
  bool ok = true;
  for (const auto& e : w->entries) {
    PutCentralHeader(e, header);
    if (ok && !WriteAll(*w, header.data(), static_cast<DWORD>(header.size()))) ok = false;
    directorySize += header.size();
  }
  if (ok) {
    uint8_t end[22];
    ByteWriter b(end);
    b.U32(0x06054B50);
    b.U16(0);
    b.U16(0);
    b.U16(static_cast<uint32_t>(w->entries.size()));
    b.U16(static_cast<uint32_t>(w->entries.size()));
    b.U32(static_cast<uint32_t>(directorySize));
    b.U32(static_cast<uint32_t>(directoryOffset));
    b.U16(0);
    ok = WriteAll(*w, end, sizeof end);
  }
  if (!CloseHandle(w->file)) ok = false;
  delete w;
  delete handle;
  return ok ? ZR_OK : ZR_READWRITE;
}

uint32_t CloseZip(ZipHandle* handle) {
  if (!handle) return ZR_ARGS;
  return handle->kind == ZIP_KIND_READER ? CloseZipReader(handle) : CloseZipWriter(handle);
}
