#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "media/zip/ZipArchive.h"
#include "media/zip/ZipTime.h"

namespace {

constexpr unsigned kInputSize = 16384;
constexpr uint64_t kEndRecordSize = 22;
// The end record plus the longest comment it can announce.
constexpr uint64_t kEndSearchWindow = kEndRecordSize + 0xFFFF;
constexpr size_t kMaxPath = 260;

// Results between the internal steps.
constexpr int kReadError = -1;
constexpr int kBadArchive = -103;

int32_t g_lastResult = 0;

uint32_t Result(uint32_t code) {
  g_lastResult = static_cast<int32_t>(code);
  return code;
}

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) { return Get16(p) | (static_cast<uint32_t>(Get16(p + 2)) << 16); }
uint64_t Get64(const uint8_t* p) { return Get32(p) | (static_cast<uint64_t>(Get32(p + 4)) << 32); }

constexpr uint32_t kSaturated32 = 0xFFFFFFFF;  // "see the zip64 record" in a 32-bit field
constexpr uint64_t kZip64RecordSize = 56;      // the zip64 end record without extensible data
constexpr uint64_t kZip64LocatorSize = 20;

// The zip64 extended information block (tag 1) of an extra field: its 64-bit values replace, in
// order, the fields given. False when the block is missing or too short for them.
bool ReadZip64Values(const uint8_t* extra, size_t length, uint64_t* const* fields, int count) {
  size_t pos = 0;
  while (pos + 4 <= length) {
    uint16_t tag = Get16(extra + pos);
    size_t size = Get16(extra + pos + 2);
    if (pos + 4 + size > length) return false;
    if (tag == 1) {
      if (size < 8u * static_cast<size_t>(count)) return false;
      for (int i = 0; i < count; ++i) *fields[i] = Get64(extra + pos + 4 + 8 * i);
      return true;
    }
    pos += 4 + size;
  }
  return false;
}

struct SourceFile {
  HANDLE file = INVALID_HANDLE_VALUE;
  bool canSeek = false;
  bool readFailed = false;

  // Reads exactly size bytes at offset.
  bool ReadAt(uint64_t offset, void* buf, DWORD size) {
    if (!canSeek) return false;
    LARGE_INTEGER pos;
    pos.QuadPart = static_cast<LONGLONG>(offset);
    DWORD got = 0;
    if (!SetFilePointerEx(file, pos, nullptr, FILE_BEGIN) || !ReadFile(file, buf, size, &got, nullptr) ||
        got != size) {
      readFailed = true;
      return false;
    }
    return true;
  }
};

struct CentralRecord {
  uint16_t versionMadeBy, versionNeeded, flags, method;
  uint32_t dosTimestamp, crc, compressedSize, uncompressedSize;
  uint16_t nameLength, extraLength, commentLength, diskNumber, internalAttributes;
  uint32_t externalAttributes, localHeaderOffset;
  char name[kMaxPath + 1];  // at most 260 bytes of the name, then a zero
  size_t nameBytes;
  bool tooLarge;  // a zip64 size or offset beyond 32 bits: the entry cannot be read
};

struct OpenEntry {
  std::unique_ptr<uint8_t[]> input{new uint8_t[kInputSize]};
  unsigned inputPos = 0;
  unsigned inputCount = 0;
  z_stream stream{};
  bool streamInitialised = false;
  bool streamEnded = false;
  bool finished = false;
  uint64_t dataOffset = 0;  // in the file, the bytes before the archive included
  uint32_t crc = 0;
  uint32_t expectedCrc = 0;
  uint16_t method = 0;
  uint32_t compressedLeft = 0;
  uint32_t uncompressedLeft = 0;

  ~OpenEntry() {
    if (streamInitialised) inflateEnd(&stream);
  }
};

struct OpenArchive {
  SourceFile source;
  uint32_t entryCount = 0;
  uint32_t commentLength = 0;
  uint64_t bytesBefore = 0;
  uint32_t currentIndex = 0;
  uint64_t currentOffset = 0;  // of the current central record, before the shift
  bool currentValid = false;
  uint64_t endRecordOffset = 0;
  uint32_t directorySize = 0;
  uint32_t directoryOffset = 0;
  CentralRecord current{};
  std::unique_ptr<OpenEntry> entry;

  int ReadCentral() {
    currentValid = false;
    uint64_t dirEnd = uint64_t{directoryOffset} + directorySize;
    if (currentOffset + 46 > dirEnd) return kBadArchive;
    uint8_t h[46];
    if (!source.ReadAt(currentOffset + bytesBefore, h, sizeof h)) return kReadError;
    if (Get32(h) != 0x02014B50) return kBadArchive;
    CentralRecord& c = current;
    c.versionMadeBy = Get16(h + 4);
    c.versionNeeded = Get16(h + 6);
    c.flags = Get16(h + 8);
    c.method = Get16(h + 10);
    c.dosTimestamp = (uint32_t{Get16(h + 14)} << 16) | Get16(h + 12);
    c.crc = Get32(h + 16);
    c.compressedSize = Get32(h + 20);
    c.uncompressedSize = Get32(h + 24);
    c.nameLength = Get16(h + 28);
    c.extraLength = Get16(h + 30);
    c.commentLength = Get16(h + 32);
    c.diskNumber = Get16(h + 34);
    c.internalAttributes = Get16(h + 36);
    c.externalAttributes = Get32(h + 38);
    c.localHeaderOffset = Get32(h + 42);
    if (currentOffset + 46 + c.nameLength + c.extraLength + c.commentLength > dirEnd) return kBadArchive;
    if (!ReadZip64Fields()) return kBadArchive;
    c.nameBytes = std::min<size_t>(c.nameLength, kMaxPath);
    std::memset(c.name, 0, sizeof c.name);
    if (c.nameBytes &&
        !source.ReadAt(currentOffset + bytesBefore + 46, c.name, static_cast<DWORD>(c.nameBytes))) {
      return kReadError;
    }
    currentValid = true;
    return 0;
  }

  // Sizes and offset that the record gives as saturated come from its zip64 block.
  bool ReadZip64Fields() {
    CentralRecord& c = current;
    c.tooLarge = false;
    uint64_t usize = c.uncompressedSize, csize = c.compressedSize, offset = c.localHeaderOffset;
    uint64_t* fields[3];
    int count = 0;
    if (c.uncompressedSize == kSaturated32) fields[count++] = &usize;
    if (c.compressedSize == kSaturated32) fields[count++] = &csize;
    if (c.localHeaderOffset == kSaturated32) fields[count++] = &offset;
    if (count == 0) return true;
    std::vector<uint8_t> extra(c.extraLength);
    if (!c.extraLength ||
        !source.ReadAt(currentOffset + bytesBefore + 46 + c.nameLength, extra.data(), c.extraLength) ||
        !ReadZip64Values(extra.data(), extra.size(), fields, count)) {
      return false;
    }
    c.tooLarge = usize > kSaturated32 || csize > kSaturated32 || offset > kSaturated32;
    if (!c.tooLarge) {
      c.uncompressedSize = static_cast<uint32_t>(usize);
      c.compressedSize = static_cast<uint32_t>(csize);
      c.localHeaderOffset = static_cast<uint32_t>(offset);
    }
    return true;
  }

  int MoveTo(uint32_t index) {
    if (index < currentIndex || !currentValid) {
      currentIndex = 0;
      currentOffset = directoryOffset;
      if (int r = ReadCentral()) return r;
    }
    while (currentIndex < index) {
      currentOffset += 46u + current.nameLength + current.extraLength + current.commentLength;
      ++currentIndex;
      if (int r = ReadCentral()) return r;
    }
    return 0;
  }

  // Checks the current entry's local header against its central record; gives the offset of
  // the entry data and of the local extra field.
  uint32_t CheckLocal(uint64_t* dataOffset, uint64_t* extraOffset, uint16_t* extraLength) {
    const CentralRecord& c = current;
    if (c.tooLarge) return ZR_MISMATCH;
    uint8_t h[30];
    uint64_t at = uint64_t{c.localHeaderOffset} + bytesBefore;
    if (!source.ReadAt(at, h, sizeof h)) return ZR_MISMATCH;
    if (Get32(h) != 0x04034B50) return ZR_MISMATCH;
    uint16_t flags = Get16(h + 6);
    uint16_t method = Get16(h + 8);
    if (method != c.method || (method != 0 && method != 8)) return ZR_MISMATCH;
    // Encrypted data would extract as noise.
    if ((flags | c.flags) & 1) return ZR_MISMATCH;
    if (Get16(h + 26) != c.nameLength) return ZR_MISMATCH;
    *extraLength = Get16(h + 28);
    *extraOffset = at + 30 + c.nameLength;
    *dataOffset = *extraOffset + *extraLength;
    if (flags & 8) return ZR_OK;
    uint64_t csize = Get32(h + 18), usize = Get32(h + 22);
    if (usize == kSaturated32 || csize == kSaturated32) {
      // A zip64 local header holds both sizes in its zip64 block, the uncompressed one first.
      std::vector<uint8_t> extra(*extraLength);
      uint64_t* fields[2] = {&usize, &csize};
      if (!*extraLength || !source.ReadAt(*extraOffset, extra.data(), *extraLength) ||
          !ReadZip64Values(extra.data(), extra.size(), fields, 2)) {
        return ZR_MISMATCH;
      }
    }
    if (Get32(h + 14) != c.crc || csize != c.compressedSize || usize != c.uncompressedSize)
      return ZR_MISMATCH;
    return ZR_OK;
  }
};

struct ZipReader {
  std::unique_ptr<OpenArchive> archive;
  int32_t openIndex = -1;
  ZipEntryInfo cached{};
  int32_t cachedIndex = -1;
  std::wstring root;  // current folder at opening, ending in "\"
};

ZipReader* ReaderOf(ZipHandle* h, uint32_t* code) {
  if (!h) {
    *code = ZR_ARGS;
    return nullptr;
  }
  if (h->kind != ZIP_KIND_READER || !h->archive) {
    *code = ZR_WRONGKIND;
    return nullptr;
  }
  return static_cast<ZipReader*>(h->archive);
}

void CloseEntry(ZipReader& r) {
  r.archive->entry.reset();
  r.openIndex = -1;
}

uint32_t AttributesFrom(uint32_t a) {
  uint32_t out = FILE_ATTRIBUTE_NORMAL;
  if (a & ((1u << 30) | (1u << 4))) out |= FILE_ATTRIBUTE_DIRECTORY;
  if (a & (1u << 5)) out |= FILE_ATTRIBUTE_ARCHIVE;
  if (a & (1u << 1)) out |= FILE_ATTRIBUTE_HIDDEN;
  if (!(a & (1u << 23)) || (a & 1u)) out |= FILE_ATTRIBUTE_READONLY;
  if (a & (1u << 2)) out |= FILE_ATTRIBUTE_SYSTEM;
  return out;
}

// The extended-timestamp block of a local extra field, walked by its 16-bit sizes and never past
// the field: each time it holds replaces the DOS-derived one.
void ApplyUnixTimes(const uint8_t* extra, size_t length, ZipEntryInfo& info) {
  size_t pos = 0;
  while (pos + 4 <= length) {
    uint16_t tag = Get16(extra + pos);
    size_t size = Get16(extra + pos + 2);
    if (pos + 4 + size > length) return;
    if (tag == 0x5455 && size >= 1) {
      const uint8_t* d = extra + pos + 4;
      uint8_t flags = d[0];
      size_t at = 1;
      FILETIME* targets[3] = {&info.lastWrite, &info.lastAccess, &info.creation};
      for (int bit = 0; bit < 3; ++bit) {
        if (!(flags & (1u << bit))) continue;
        if (at + 4 > size) break;
        *targets[bit] = qmzip::UtcFromUnixTime(static_cast<int32_t>(Get32(d + at)));
        at += 4;
      }
      return;
    }
    pos += 4 + size;
  }
}

uint32_t EntryInfo(ZipReader& r, int32_t index, ZipEntryInfo* info) {
  OpenArchive& a = *r.archive;
  // The current record must be this entry's even when its information is cached: extraction
  // reads the entry through it.
  int moved = a.MoveTo(static_cast<uint32_t>(index));
  if (moved == kReadError) return ZR_READWRITE;
  if (moved) return ZR_MISMATCH;
  if (index == r.cachedIndex) {
    *info = r.cached;
    return ZR_OK;
  }
  uint64_t dataOffset, extraOffset;
  uint16_t extraLength;
  if (uint32_t c = a.CheckLocal(&dataOffset, &extraOffset, &extraLength)) return c;
  std::vector<uint8_t> extra(extraLength);
  if (extraLength && !a.source.ReadAt(extraOffset, extra.data(), extraLength)) return ZR_EXTRA;

  ZipEntryInfo e{};
  e.index = index;
  // The name is converted with its explicit length: it has no terminator of its own.
  const CentralRecord& c = a.current;
  if (c.nameBytes) {
    wchar_t wide[2 * kMaxPath + 2] = {};
    const UINT codePage = (c.flags & kUtf8NameFlag) ? CP_UTF8 : CP_ACP;
    int n = MultiByteToWideChar(codePage, 0, c.name, static_cast<int>(c.nameBytes), wide, 2 * kMaxPath);
    n = std::min(n, 259);
    if (n > 0) std::memcpy(e.name, wide, n * sizeof(wchar_t));
  }
  e.attributes = AttributesFrom(c.externalAttributes);
  e.lastWrite = qmzip::UtcFromDosTimestamp(c.dosTimestamp);
  e.lastAccess = e.creation = e.lastWrite;
  ApplyUnixTimes(extra.data(), extra.size(), e);
  e.compressedSize = c.compressedSize;
  e.uncompressedSize = c.uncompressedSize;
  r.cached = e;
  r.cachedIndex = index;
  *info = e;
  return ZR_OK;
}

// A relative path that stays below the folder it is taken from: no drive, no leading separator,
// no stream names, and no ".." (nor any name of dots and spaces alone, which Windows may read
// as one).
bool IsContainedRelative(const std::wstring& p) {
  if (p.empty() || p[0] == L'/' || p[0] == L'\\') return false;
  if (p.find(L':') != std::wstring::npos) return false;
  if (p.find(L"../") != std::wstring::npos || p.find(L"..\\") != std::wstring::npos) return false;
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = p.find_first_of(L"/\\", start);
    if (end == std::wstring::npos) end = p.size();
    std::wstring part = p.substr(start, end - start);
    if (part.size() >= 2 && part.find_first_not_of(L". ") == std::wstring::npos) return false;
    start = end + 1;
  }
  return true;
}

// Creates root + each level of the relative folder path, parents first.
bool CreateFolders(const std::wstring& root, const std::wstring& relative) {
  if (root.empty() || !IsContainedRelative(relative)) return false;
  std::wstring path = root + relative;
  for (auto& ch : path) {
    if (ch == L'/') ch = L'\\';
  }
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  if (path.size() >= kMaxPath) return false;
  for (size_t i = root.size(); i <= path.size(); ++i) {
    if (i == path.size() || path[i] == L'\\') {
      std::wstring level = path.substr(0, i);
      if (!CreateDirectoryW(level.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        DWORD attrs = GetFileAttributesW(level.c_str());
        if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) return false;
      }
    }
  }
  DWORD attrs = GetFileAttributesW(path.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsAbsolute(const std::wstring& p) {
  return (!p.empty() && (p[0] == L'/' || p[0] == L'\\')) || (p.size() >= 2 && p[1] == L':');
}

uint32_t OpenEntryData(OpenArchive& a, uint32_t* code) {
  uint64_t dataOffset, extraOffset;
  uint16_t extraLength;
  if (uint32_t c = a.CheckLocal(&dataOffset, &extraOffset, &extraLength)) return *code = c;
  auto e = std::make_unique<OpenEntry>();
  e->dataOffset = dataOffset;
  e->expectedCrc = a.current.crc;
  e->method = a.current.method;
  e->compressedLeft = a.current.compressedSize;
  e->uncompressedLeft = a.current.uncompressedSize;
  // Stored data is its own uncompressed form: sizes that differ mean a damaged entry.
  if (e->method == 0 && e->compressedLeft != e->uncompressedLeft) return *code = ZR_READWRITE;
  if (e->method == 8) {
    if (inflateInit2(&e->stream, -MAX_WBITS) != Z_OK) return *code = ZR_READWRITE;
    e->streamInitialised = true;
  }
  a.entry = std::move(e);
  return *code = ZR_OK;
}

bool Refill(OpenArchive& a, OpenEntry& e) {
  if (e.compressedLeft == 0) return false;
  unsigned n = std::min<uint32_t>(kInputSize, e.compressedLeft);
  if (!a.source.ReadAt(e.dataOffset, e.input.get(), n)) return false;
  e.dataOffset += n;
  e.compressedLeft -= n;
  e.inputPos = 0;
  e.inputCount = n;
  e.stream.next_in = e.input.get();
  e.stream.avail_in = n;
  return true;
}

// Runs inflate into out until it gives at least one byte or the stream ends: 0 only at the end of
// the stream, -1 when the data are damaged or run out before it. zlib may still hold output, or
// the stream's end, when the last input byte has gone in, so an empty input ends nothing: only
// a call that takes no input and gives no output does.
int InflateSome(OpenArchive& a, OpenEntry& e, uint8_t* out, unsigned size) {
  while (!e.streamEnded) {
    if (e.stream.avail_in == 0 && e.compressedLeft > 0 && !Refill(a, e)) return -1;
    const uInt inputBefore = e.stream.avail_in;
    e.stream.next_out = out;
    e.stream.avail_out = size;
    int z = inflate(&e.stream, Z_NO_FLUSH);
    unsigned got = size - e.stream.avail_out;
    if (z == Z_STREAM_END)
      e.streamEnded = true;
    else if ((z != Z_OK && z != Z_BUF_ERROR) || (got == 0 && e.stream.avail_in == inputBefore))
      return -1;
    if (got) return static_cast<int>(got);
  }
  return 0;
}

// One read of at most n bytes of the open entry. Returns the count; 0 only at a verified end
// (every byte delivered, the deflate stream ended, the CRC-32 matches); -1 on any failure.
int ReadEntryData(OpenArchive& a, uint8_t* buf, unsigned n) {
  OpenEntry& e = *a.entry;
  if (e.finished) return 0;
  if (e.uncompressedLeft == 0) {
    // Nothing more may come: a deflate stream must end here, without a further byte.
    uint8_t extra;
    if (e.method == 8 && InflateSome(a, e, &extra, 1) != 0) return -1;
    if (e.crc != e.expectedCrc) return -1;
    e.finished = true;
    return 0;
  }
  unsigned want = std::min<uint32_t>(n, e.uncompressedLeft);
  unsigned got = 0;
  if (e.method == 0) {
    if (e.inputPos == e.inputCount && !Refill(a, e)) return -1;
    got = std::min(want, e.inputCount - e.inputPos);
    std::memcpy(buf, e.input.get() + e.inputPos, got);
    e.inputPos += got;
  } else {
    // A stream that ends before the size the entry announces is damaged.
    int inflated = InflateSome(a, e, buf, want);
    if (inflated <= 0) return -1;
    got = static_cast<unsigned>(inflated);
  }
  e.crc = crc32(e.crc, buf, got);
  e.uncompressedLeft -= got;
  return static_cast<int>(got);
}

struct EndValues {
  uint64_t thisDisk, directoryDisk, entriesHere, entriesTotal, directorySize, directoryOffset;
  uint64_t directoryEndsAt;  // where in the file the central directory must end
};

// The values of the end record at endOffset, or of the zip64 end record when a zip64 locator
// stands just before it; the central directory then ends where the zip64 record begins. False
// when a locator points at no zip64 record.
bool ReadEndValues(SourceFile& source, const uint8_t* end, uint64_t endOffset, EndValues* v) {
  *v = {Get16(end + 4),  Get16(end + 6),  Get16(end + 8), Get16(end + 10),
        Get32(end + 12), Get32(end + 16), endOffset};
  uint8_t locator[kZip64LocatorSize];
  if (endOffset < kZip64LocatorSize + kZip64RecordSize ||
      !source.ReadAt(endOffset - kZip64LocatorSize, locator, sizeof locator) ||
      Get32(locator) != 0x07064B50) {
    return true;
  }
  // The record is where the locator says, or, with data in front of the archive, just before it.
  uint8_t record[kZip64RecordSize];
  for (uint64_t at : {Get64(locator + 8), endOffset - kZip64LocatorSize - kZip64RecordSize}) {
    if (at + kZip64RecordSize > endOffset || !source.ReadAt(at, record, sizeof record) ||
        Get32(record) != 0x06064B50) {
      continue;
    }
    *v = {Get32(record + 16),
          Get32(record + 20),
          Get64(record + 24),
          Get64(record + 32),
          Get64(record + 40),
          Get64(record + 48),
          at};
    return Get32(locator + 4) == 0;
  }
  return false;
}

void DeletePartial(const wchar_t* path) {
  SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(path);
}

}  // namespace

ZipHandle* OpenZip(const wchar_t* path) {
  if (!path || !*path) {
    Result(ZR_ARGS);
    return nullptr;
  }
  auto reader = std::make_unique<ZipReader>();
  wchar_t folder[kMaxPath] = {};
  DWORD n = GetCurrentDirectoryW(kMaxPath, folder);
  if (n > 0 && n < kMaxPath) {
    reader->root.assign(folder, n);
    if (reader->root.back() != L'\\') reader->root += L'\\';
  }

  auto archive = std::make_unique<OpenArchive>();
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Result(ZR_NOFILE);
    return nullptr;
  }
  archive->source.file = file;
  archive->source.canSeek = GetFileType(file) == FILE_TYPE_DISK;
  auto fail = [&](int32_t code) -> ZipHandle* {
    CloseHandle(file);
    g_lastResult = code;
    return nullptr;
  };

  LARGE_INTEGER size{};
  if (!archive->source.canSeek || !GetFileSizeEx(file, &size)) return fail(ZR_NOARCHIVE);
  uint64_t fileSize = static_cast<uint64_t>(size.QuadPart);

  // The end record nearest the end of the file whose 22 bytes fit in it.
  uint64_t window = std::min(kEndSearchWindow, fileSize);
  if (window < kEndRecordSize) return fail(ZR_NOARCHIVE);
  std::vector<uint8_t> tail(static_cast<size_t>(window));
  uint64_t tailStart = fileSize - window;
  if (!archive->source.ReadAt(tailStart, tail.data(), static_cast<DWORD>(window))) return fail(ZR_NOARCHIVE);
  int64_t found = -1;
  for (int64_t i = static_cast<int64_t>(window - kEndRecordSize); i >= 0; --i) {
    if (tail[i] == 0x50 && tail[i + 1] == 0x4B && tail[i + 2] == 0x05 && tail[i + 3] == 0x06) {
      found = i;
      break;
    }
  }
  if (found < 0 || tailStart + found == 0) return fail(ZR_NOARCHIVE);
  uint64_t endOffset = tailStart + static_cast<uint64_t>(found);
  EndValues v;
  if (!ReadEndValues(archive->source, tail.data() + found, endOffset, &v)) return fail(ZR_BADARCHIVE);
  archive->commentLength = Get16(tail.data() + found + 20);
  // Archives beyond what 32-bit offsets reach cannot be read.
  if (v.entriesHere != v.entriesTotal || v.thisDisk != 0 || v.directoryDisk != 0 ||
      v.directorySize > kSaturated32 || v.directoryOffset > kSaturated32 || v.entriesTotal > kSaturated32) {
    return fail(ZR_BADARCHIVE);
  }
  archive->directorySize = static_cast<uint32_t>(v.directorySize);
  archive->directoryOffset = static_cast<uint32_t>(v.directoryOffset);
  uint64_t directoryEnd = v.directoryOffset + v.directorySize;
  if (v.directoryEndsAt < directoryEnd) return fail(ZR_BADARCHIVE);
  archive->entryCount = static_cast<uint32_t>(v.entriesTotal);
  archive->endRecordOffset = endOffset;
  archive->bytesBefore = v.directoryEndsAt - directoryEnd;
  archive->currentIndex = 0;
  archive->currentOffset = archive->directoryOffset;
  if (archive->entryCount) archive->ReadCentral();

  reader->archive = std::move(archive);
  g_lastResult = 0;
  return new ZipHandle{ZIP_KIND_READER, reader.release()};
}

uint32_t GetZipItem(ZipHandle* handle, int32_t index, ZipEntryInfo* info) {
  uint32_t code = ZR_OK;
  ZipReader* r = ReaderOf(handle, &code);
  if (!r) return Result(code);
  if (!info) return Result(ZR_ARGS);
  CloseEntry(*r);
  if (index == -1) {
    *info = ZipEntryInfo{};
    info->index = static_cast<int32_t>(r->archive->entryCount);
    return Result(ZR_OK);
  }
  if (index < 0 || static_cast<uint32_t>(index) >= r->archive->entryCount) return Result(ZR_ARGS);
  return Result(EntryInfo(*r, index, info));
}

uint32_t UnzipItem(ZipHandle* handle, int32_t index, const wchar_t* destination) {
  uint32_t code = ZR_OK;
  ZipReader* r = ReaderOf(handle, &code);
  if (!r) return Result(code);
  CloseEntry(*r);
  if (index < 0 || static_cast<uint32_t>(index) >= r->archive->entryCount) return Result(ZR_ARGS);
  ZipEntryInfo info;
  if (uint32_t c = EntryInfo(*r, index, &info)) return Result(c);

  if (info.attributes & FILE_ATTRIBUTE_DIRECTORY) {
    // Folders named by the archive follow the same rule as a destination's folder part.
    return Result(CreateFolders(r->root, info.name) ? ZR_OK : ZR_NOFILE);
  }
  if (!destination || !*destination) return Result(ZR_ARGS);
  std::wstring dest(destination);
  size_t slash = dest.find_last_of(L"/\\");
  if (slash != std::wstring::npos && slash > 0) {
    std::wstring folder = dest.substr(0, slash);
    if (folder.size() >= kMaxPath) return Result(ZR_NOFILE);
    // A relative folder part is made below the root folder; an absolute one must exist.
    if (!IsAbsolute(folder) && IsContainedRelative(folder)) CreateFolders(r->root, folder);
  }

  DWORD flags = info.attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                   FILE_ATTRIBUTE_ARCHIVE);
  if (!flags) flags = FILE_ATTRIBUTE_NORMAL;
  HANDLE out = CreateFileW(destination, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, flags, nullptr);
  if (out == INVALID_HANDLE_VALUE) return Result(ZR_NOFILE);

  OpenArchive& a = *r->archive;
  bool ok = OpenEntryData(a, &code) == ZR_OK;
  if (ok) {
    r->openIndex = index;
    auto buf = std::make_unique<uint8_t[]>(kInputSize);
    for (;;) {
      int got = ReadEntryData(a, buf.get(), kInputSize);
      if (got < 0) {
        ok = false;
        break;
      }
      if (got == 0) break;
      DWORD done = 0;
      if (!WriteFile(out, buf.get(), static_cast<DWORD>(got), &done, nullptr) ||
          done != static_cast<DWORD>(got)) {
        ok = false;
        break;
      }
    }
  }
  if (ok && GetFileType(out) == FILE_TYPE_DISK) {
    // A time the entry could not give (an invalid DOS date) leaves the file's own.
    auto given = [](const FILETIME& t) { return t.dwLowDateTime || t.dwHighDateTime ? &t : nullptr; };
    SetFileTime(out, given(info.creation), given(info.lastAccess), given(info.lastWrite));
  }
  if (!CloseHandle(out)) ok = false;
  CloseEntry(*r);
  if (!ok) {
    DeletePartial(destination);
    return Result(code == ZR_MISMATCH ? ZR_MISMATCH : ZR_READWRITE);
  }
  return Result(ZR_OK);
}

uint32_t CloseZipReader(ZipHandle* handle) {
  uint32_t code = ZR_OK;
  ZipReader* r = ReaderOf(handle, &code);
  if (!r) return Result(code);
  CloseEntry(*r);
  CloseHandle(r->archive->source.file);
  delete r;
  delete handle;
  return Result(ZR_OK);
}

int32_t ZipReaderLastResult() { return g_lastResult; }
