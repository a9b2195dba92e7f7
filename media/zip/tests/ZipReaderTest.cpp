// The reader: archives from our writer, and archives built field by field here to reach what
// other tools write and what damaged or hostile packages hold.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <functional>

#include "media/zip/ZipArchive.h"
#include "media/zip/tests/ZipTestUtil.h"

using namespace ziptest;

namespace {

struct RawEntry {
  std::string name;
  Bytes plain;
  Bytes data;  // as stored in the archive
  uint16_t method = 8;
  uint16_t flags = 0;
  uint32_t crc = 0, csize = 0, usize = 0;
  uint32_t external = 0x81A40000;  // a Unix tool's regular file, rw-r--r--
  uint16_t dosTime = 0x6000, dosDate = 0x5821;
  Bytes localExtra;
  bool descriptor = false;  // sizes and CRC after the data, zeros in the local header
  // Sizes (and the central record's offset) saturated, their values in zip64 blocks; claimedSize,
  // when set, is the uncompressed size the central block gives.
  bool zip64 = false;
  uint64_t claimedSize = 0;
};

RawEntry Raw(const std::string& name, const Bytes& plain, uint16_t method = 8) {
  RawEntry e;
  e.name = name;
  e.plain = plain;
  e.method = method;
  e.data = method == 8 ? Deflate(plain) : plain;
  e.crc = crc32(0, plain.data(), static_cast<uInt>(plain.size()));
  e.csize = static_cast<uint32_t>(e.data.size());
  e.usize = static_cast<uint32_t>(plain.size());
  return e;
}

void Append16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Append32(Bytes& b, uint32_t v) {
  Append16(b, v & 0xFFFF);
  Append16(b, v >> 16);
}
void AppendBytes(Bytes& b, const void* p, size_t n) {
  b.insert(b.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
}
void Append64(Bytes& b, uint64_t v) {
  Append32(b, static_cast<uint32_t>(v));
  Append32(b, static_cast<uint32_t>(v >> 32));
}
Bytes Zip64Block(std::initializer_list<uint64_t> values) {
  Bytes b;
  Append16(b, 1);
  Append16(b, static_cast<uint32_t>(8 * values.size()));
  for (uint64_t v : values) Append64(b, v);
  return b;
}

// Offsets are those of the archive alone, as when a stub is put in front without adjusting them.
Bytes BuildZip(const std::vector<RawEntry>& entries, const Bytes& stub = {}, const Bytes& comment = {}) {
  Bytes body;
  std::vector<uint32_t> offsets;
  for (const auto& e : entries) {
    offsets.push_back(static_cast<uint32_t>(body.size()));
    Bytes localExtra = e.zip64 ? Zip64Block({e.usize, e.csize}) : Bytes{};
    localExtra.insert(localExtra.end(), e.localExtra.begin(), e.localExtra.end());
    Append32(body, 0x04034B50);
    Append16(body, 20);
    Append16(body, e.flags);
    Append16(body, e.method);
    Append16(body, e.dosTime);
    Append16(body, e.dosDate);
    Append32(body, e.descriptor ? 0 : e.crc);
    Append32(body, e.descriptor ? 0 : e.zip64 ? 0xFFFFFFFF : e.csize);
    Append32(body, e.descriptor ? 0 : e.zip64 ? 0xFFFFFFFF : e.usize);
    Append16(body, static_cast<uint32_t>(e.name.size()));
    Append16(body, static_cast<uint32_t>(localExtra.size()));
    AppendBytes(body, e.name.data(), e.name.size());
    AppendBytes(body, localExtra.data(), localExtra.size());
    AppendBytes(body, e.data.data(), e.data.size());
    if (e.descriptor) {
      Append32(body, 0x08074B50);
      Append32(body, e.crc);
      Append32(body, e.csize);
      Append32(body, e.usize);
    }
  }
  uint32_t dirOffset = static_cast<uint32_t>(body.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto& e = entries[i];
    Bytes extra =
        e.zip64 ? Zip64Block({e.claimedSize ? e.claimedSize : e.usize, e.csize, offsets[i]}) : Bytes{};
    Append32(body, 0x02014B50);
    Append16(body, 0x031E);
    Append16(body, 20);
    Append16(body, e.flags);
    Append16(body, e.method);
    Append16(body, e.dosTime);
    Append16(body, e.dosDate);
    Append32(body, e.crc);
    Append32(body, e.zip64 ? 0xFFFFFFFF : e.csize);
    Append32(body, e.zip64 ? 0xFFFFFFFF : e.usize);
    Append16(body, static_cast<uint32_t>(e.name.size()));
    Append16(body, static_cast<uint32_t>(extra.size()));
    Append16(body, 0);
    Append16(body, 0);
    Append16(body, 0);
    Append32(body, e.external);
    Append32(body, e.zip64 ? 0xFFFFFFFF : offsets[i]);
    AppendBytes(body, e.name.data(), e.name.size());
    AppendBytes(body, extra.data(), extra.size());
  }
  uint32_t dirSize = static_cast<uint32_t>(body.size()) - dirOffset;
  Append32(body, 0x06054B50);
  Append16(body, 0);
  Append16(body, 0);
  Append16(body, static_cast<uint32_t>(entries.size()));
  Append16(body, static_cast<uint32_t>(entries.size()));
  Append32(body, dirSize);
  Append32(body, dirOffset);
  Append16(body, static_cast<uint32_t>(comment.size()));
  AppendBytes(body, comment.data(), comment.size());
  Bytes out = stub;
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// The archive (BuildZip's, without a comment) with a zip64 end record and its locator before its
// end record, whose fields are then saturated. The record gives directoryOffset when set; without
// the record the locator points at nothing.
Bytes WithZip64End(const Bytes& zip, uint64_t directoryOffset = 0, bool record = true) {
  Bytes eocd(zip.end() - 22, zip.end());
  Bytes out(zip.begin(), zip.end() - 22);
  uint32_t entries = U16(eocd, 10), size = U32(eocd, 12), offset = U32(eocd, 16);
  if (record) {
    Append32(out, 0x06064B50);
    Append64(out, 44);
    Append16(out, 45);
    Append16(out, 45);
    Append32(out, 0);
    Append32(out, 0);
    Append64(out, entries);
    Append64(out, entries);
    Append64(out, size);
    Append64(out, directoryOffset ? directoryOffset : offset);
  }
  Append32(out, 0x07064B50);
  Append32(out, 0);
  Append64(out, uint64_t{offset} + size);  // where the record is, before any stub
  Append32(out, 1);
  Put16(eocd, 8, 0xFFFF);
  Put16(eocd, 10, 0xFFFF);
  Put32(eocd, 12, 0xFFFFFFFF);
  Put32(eocd, 16, 0xFFFFFFFF);
  out.insert(out.end(), eocd.begin(), eocd.end());
  return out;
}

struct Reader {
  ZipHandle* h = nullptr;
  explicit Reader(const std::wstring& path) : h(OpenZip(path.c_str())) {}
  ~Reader() {
    if (h) CloseZipReader(h);
  }
  int Count() {
    ZipEntryInfo info;
    EXPECT_EQ(GetZipItem(h, -1, &info), ZR_OK);
    return info.index;
  }
};

// False when the archive did not open: as the case expects (a non-zero reason), or as a failure.
bool OpenedAsExpected(const Reader& r, int32_t expectedReason) {
  if (expectedReason) {
    EXPECT_EQ(r.h, nullptr);
    EXPECT_EQ(ZipReaderLastResult(), expectedReason);
    return false;
  }
  EXPECT_NE(r.h, nullptr);
  return r.h != nullptr;
}

FILETIME WriteTime(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA d{};
  GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d);
  return d.ftLastWriteTime;
}

uint64_t Ticks(const FILETIME& f) { return (uint64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime; }

uint64_t UnixTicks(uint32_t seconds) { return 116444736000000000ULL + uint64_t{seconds} * 10000000ULL; }

Bytes UtBlock(uint8_t flags, std::initializer_list<uint32_t> times, int sizeOverride = -1) {
  Bytes b;
  Append16(b, 0x5455);
  Append16(b, sizeOverride >= 0 ? static_cast<uint32_t>(sizeOverride)
                                : static_cast<uint32_t>(1 + 4 * times.size()));
  b.push_back(flags);
  for (uint32_t t : times) Append32(b, t);
  return b;
}

}  // namespace

TEST(ZipReader, ReadsBackWhatTheWriterWrote) {
  ScratchDir dir;
  Bytes text = TextBytes(70000), sound = RandomBytes(120000, 2), table = {1, 0, 0, 0, 2, 0, 0, 0};
  ASSERT_TRUE(WriteBytes(dir / L"src.mpa", sound));
  ZipHandle* w = CreateZip((dir / L"pack.qpk").c_str());
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(ZipAdd(w, L"pack.txt", text.data(), static_cast<uint32_t>(text.size()), ZIP_SOURCE_MEMORY),
            ZR_OK);
  ASSERT_EQ(ZipAdd(w, L"pack.mpa", (dir / L"src.mpa").c_str(), 0, ZIP_SOURCE_FILE), ZR_OK);
  ASSERT_EQ(ZipAdd(w, L"pack.cif", table.data(), static_cast<uint32_t>(table.size()), ZIP_SOURCE_MEMORY),
            ZR_OK);
  ASSERT_EQ(CloseZipWriter(w), ZR_OK);

  Reader r(dir / L"pack.qpk");
  ASSERT_NE(r.h, nullptr);
  EXPECT_EQ(r.Count(), 3);
  const wchar_t* names[] = {L"pack.txt", L"pack.mpa", L"pack.cif"};
  const Bytes* plain[] = {&text, &sound, &table};
  // Out of order too: moving backwards restarts from the first entry.
  for (int i : {2, 0, 1}) {
    ZipEntryInfo info;
    ASSERT_EQ(GetZipItem(r.h, i, &info), ZR_OK);
    EXPECT_EQ(info.index, i);
    EXPECT_STREQ(info.name, names[i]);
    EXPECT_EQ(info.uncompressedSize, plain[i]->size());
    std::wstring out = dir / (std::wstring(L"out") + names[i]);
    ASSERT_EQ(UnzipItem(r.h, i, out.c_str()), ZR_OK);
    EXPECT_EQ(ReadBytes(out), *plain[i]);
  }
  ZipEntryInfo info;
  EXPECT_EQ(GetZipItem(r.h, 3, &info), ZR_ARGS);
  EXPECT_EQ(GetZipItem(r.h, -2, &info), ZR_ARGS);
  EXPECT_EQ(UnzipItem(r.h, 3, (dir / L"x").c_str()), ZR_ARGS);
  EXPECT_EQ(ZipReaderLastResult(), static_cast<int32_t>(ZR_ARGS));

  // A memory entry extracts read-only; a file entry keeps its archive bit and its time.
  DWORD txt = GetFileAttributesW((dir / L"outpack.txt").c_str());
  DWORD mpa = GetFileAttributesW((dir / L"outpack.mpa").c_str());
  EXPECT_TRUE(txt & FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(mpa & FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(mpa & FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(Ticks(WriteTime(dir / L"outpack.mpa")) / 10000000, Ticks(WriteTime(dir / L"src.mpa")) / 10000000);
}

TEST(ZipReader, HandlesAreCheckedByKind) {
  ScratchDir dir;
  ASSERT_TRUE(WriteBytes(dir / L"a.zip", BuildZip({Raw("a.txt", TextBytes(100))})));
  Reader r(dir / L"a.zip");
  ASSERT_NE(r.h, nullptr);
  ZipHandle writerKind{ZIP_KIND_WRITER, r.h->archive};
  ZipEntryInfo info;
  EXPECT_EQ(GetZipItem(&writerKind, 0, &info), ZR_WRONGKIND);
  EXPECT_EQ(UnzipItem(&writerKind, 0, L"x.txt"), ZR_WRONGKIND);
  EXPECT_EQ(CloseZipReader(&writerKind), ZR_WRONGKIND);
  EXPECT_EQ(GetZipItem(nullptr, 0, &info), ZR_ARGS);
  EXPECT_EQ(UnzipItem(nullptr, 0, L"x.txt"), ZR_ARGS);
  EXPECT_EQ(CloseZipReader(nullptr), ZR_ARGS);
}

// Where the end record is found, and archives that cannot open.
TEST(ZipReader, LocatesTheEndRecord) {
  ScratchDir dir;
  Bytes content = TextBytes(5000);
  std::vector<RawEntry> one = {Raw("lesson.txt", content)};
  Bytes endAtZero(22, 0);
  Put32(endAtZero, 0, 0x06054B50);
  Bytes countsDiffer = BuildZip(one);
  Put16(countsDiffer, countsDiffer.size() - 22 + 8, 2);
  Bytes directoryPastEnd = BuildZip(one);
  Put32(directoryPastEnd, directoryPastEnd.size() - 22 + 16, 0x7FFFFFF0);
  Bytes otherDisk = BuildZip(one);
  Put16(otherDisk, otherDisk.size() - 22 + 4, 1);
  Bytes trailing65536 = BuildZip(one);  // end record 65,558 bytes from the end: too far
  Bytes junk(65536, 'j');
  trailing65536.insert(trailing65536.end(), junk.begin(), junk.end());
  Bytes trailing65535 = BuildZip(one);  // 65,557 bytes from the end: the farthest a comment reaches
  trailing65535.insert(trailing65535.end(), junk.begin(), junk.end() - 1);

  struct Case {
    const char* what;
    Bytes bytes;
    int32_t expected;  // 0: opens and extracts
  };
  const Case cases[] = {
      {"100-byte stub in front", BuildZip(one, Bytes(100, 'S')), 0},
      {"1,000-byte comment", BuildZip(one, {}, Bytes(1000, 'c')), 0},
      {"65,535-byte comment", BuildZip(one, {}, Bytes(65535, 'c')), 0},
      {"stub and longest comment", BuildZip(one, Bytes(3000, 'S'), Bytes(65535, 'c')), 0},
      {"65,535 bytes after the end record", trailing65535, 0},
      {"65,536 bytes after the end record", trailing65536, ZR_NOARCHIVE},
      {"fewer than 22 bytes", Bytes(21, 0), ZR_NOARCHIVE},
      {"empty file", Bytes{}, ZR_NOARCHIVE},
      {"only an end record at offset 0", endAtZero, ZR_NOARCHIVE},
      {"entry counts differ", countsDiffer, ZR_BADARCHIVE},
      {"directory past the end record", directoryPastEnd, ZR_BADARCHIVE},
      {"second disk", otherDisk, ZR_BADARCHIVE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteBytes(dir / L"t.zip", c.bytes));
    Reader r(dir / L"t.zip");
    if (!OpenedAsExpected(r, c.expected)) continue;
    EXPECT_EQ(r.Count(), 1);
    ASSERT_EQ(UnzipItem(r.h, 0, (dir / L"out.txt").c_str()), ZR_OK);
    EXPECT_EQ(ReadBytes(dir / L"out.txt"), content);
  }
  EXPECT_EQ(OpenZip((dir / L"missing.zip").c_str()), nullptr);
  EXPECT_EQ(ZipReaderLastResult(), static_cast<int32_t>(ZR_NOFILE));
}

// Zip64 records are read where their values fit the reader's 32-bit fields; beyond that the
// archive or the entry is refused.
TEST(ZipReader, Zip64RecordsAreReadWhereTheyFit) {
  RawEntry text = Raw("x.txt", TextBytes(30000)), sound = Raw("x.mpa", RandomBytes(20000, 6), 0);
  text.zip64 = sound.zip64 = true;
  RawEntry huge = text;
  huge.claimedSize = 5ull << 30;
  struct Case {
    const char* what;
    Bytes bytes;
    int32_t openResult;
    uint32_t firstEntry;
  };
  const Case cases[] = {
      {"zip64 sizes and end record", WithZip64End(BuildZip({text, sound})), 0, ZR_OK},
      {"the same behind a stub", WithZip64End(BuildZip({text, sound}, Bytes(100, 'S'))), 0, ZR_OK},
      {"zip64 sizes, plain end record", BuildZip({text, sound}), 0, ZR_OK},
      {"entry of 5 GiB", WithZip64End(BuildZip({huge, sound})), 0, ZR_MISMATCH},
      {"directory beyond 4 GiB", WithZip64End(BuildZip({text, sound}), 5ull << 30), ZR_BADARCHIVE, 0},
      {"locator without its record", WithZip64End(BuildZip({text, sound}), 0, false), ZR_BADARCHIVE, 0},
  };
  ScratchDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteBytes(dir / L"z.zip", c.bytes));
    Reader r(dir / L"z.zip");
    if (!OpenedAsExpected(r, c.openResult)) continue;
    EXPECT_EQ(r.Count(), 2);
    DeleteFileW((dir / L"x.txt").c_str());
    EXPECT_EQ(UnzipItem(r.h, 0, (dir / L"x.txt").c_str()), c.firstEntry);
    if (c.firstEntry == ZR_OK)
      EXPECT_EQ(ReadBytes(dir / L"x.txt"), text.plain);
    else
      EXPECT_FALSE(Exists(dir / L"x.txt"));
    ASSERT_EQ(UnzipItem(r.h, 1, (dir / L"x.mpa").c_str()), ZR_OK);
    EXPECT_EQ(ReadBytes(dir / L"x.mpa"), sound.plain);
  }
}

// zlib's raw deflate, as Python's zipfile and other tools write it (level 6 is their default).
Bytes ZlibDeflate(const Bytes& plain, int level) {
  z_stream s{};
  if (deflateInit2(&s, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  Bytes out(deflateBound(&s, static_cast<uLong>(plain.size())));
  s.next_in = const_cast<Bytef*>(plain.data());
  s.avail_in = static_cast<uInt>(plain.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  int r = deflate(&s, Z_FINISH);
  out.resize(r == Z_STREAM_END ? s.total_out : 0);
  deflateEnd(&s);
  return out;
}

// Runs of one byte compress to a few bytes of matches: zlib consumes all of them long before it
// has given all the output, and may still hold output, or the end of the stream, when the input
// is used up. Sizes around multiples of the reader's 16,384-byte pieces.
TEST(ZipReader, DeflatedEntriesAreReadToTheirEnd) {
  std::vector<std::pair<std::string, Bytes>> inputs;
  for (size_t n : {16383u, 16384u, 16385u, 16387u, 32768u, 32769u, 49152u, 65536u, 65537u, 1000000u}) {
    inputs.emplace_back("run of " + std::to_string(n), Bytes(n, 'x'));
  }
  Bytes runs = Bytes(20000, 0);
  Bytes text = TextBytes(40000);
  runs.insert(runs.end(), text.begin(), text.end());
  runs.insert(runs.end(), 70000, 0);
  inputs.emplace_back("silence, text, silence", runs);
  inputs.emplace_back("text 16384", TextBytes(16384));
  ScratchDir dir;
  for (const auto& [what, plain] : inputs) {
    for (int level : {1, 6, 9, 0}) {
      SCOPED_TRACE(testing::Message() << what << ", " << (level ? "zlib level " : "our deflate") << level);
      RawEntry e = Raw("x.bin", plain);
      if (level) e.data = ZlibDeflate(plain, level);
      ASSERT_FALSE(e.data.empty());
      e.csize = static_cast<uint32_t>(e.data.size());
      ASSERT_TRUE(WriteBytes(dir / L"r.zip", BuildZip({e})));
      Reader r(dir / L"r.zip");
      ASSERT_NE(r.h, nullptr);
      ASSERT_EQ(UnzipItem(r.h, 0, (dir / L"x.bin").c_str()), ZR_OK);
      EXPECT_TRUE(ReadBytes(dir / L"x.bin") == plain);
    }
  }
}

TEST(ZipReader, DataDescriptorEntriesUseTheCentralSizes) {
  ScratchDir dir;
  RawEntry a = Raw("a.txt", TextBytes(40000));
  a.flags = 8;
  a.descriptor = true;
  RawEntry b = Raw("b.bin", RandomBytes(3000, 1), 0);
  b.flags = 8;
  b.descriptor = true;
  ASSERT_TRUE(WriteBytes(dir / L"d.zip", BuildZip({a, b})));
  Reader r(dir / L"d.zip");
  ASSERT_NE(r.h, nullptr);
  ASSERT_EQ(UnzipItem(r.h, 0, (dir / L"a.txt").c_str()), ZR_OK);
  ASSERT_EQ(UnzipItem(r.h, 1, (dir / L"b.bin").c_str()), ZR_OK);
  EXPECT_EQ(ReadBytes(dir / L"a.txt"), a.plain);
  EXPECT_EQ(ReadBytes(dir / L"b.bin"), b.plain);
}

// Without an extended timestamp the DOS fields give every time; they hold local time, which is
// UTC less the zone's present bias.
TEST(ZipReader, DosTimesAreReadAsLocalTime) {
  ScratchDir dir;
  RawEntry e = Raw("dos.txt", TextBytes(100));
  e.dosDate = ((2024 - 1980) << 9) | (7 << 5) | 1;  // 2024-07-01
  e.dosTime = (12 << 11) | (30 << 5) | (10 / 2);    // 12:30:10
  ASSERT_TRUE(WriteBytes(dir / L"dos.zip", BuildZip({e})));
  TIME_ZONE_INFORMATION zone;
  DWORD which = GetTimeZoneInformation(&zone);
  int64_t biasMinutes = zone.Bias + (which == TIME_ZONE_ID_DAYLIGHT   ? zone.DaylightBias
                                     : which == TIME_ZONE_ID_STANDARD ? zone.StandardBias
                                                                      : 0);
  SYSTEMTIME wall = {2024, 7, 0, 1, 12, 30, 10, 0};
  FILETIME wallTicks;
  ASSERT_TRUE(SystemTimeToFileTime(&wall, &wallTicks));
  const uint64_t expected = Ticks(wallTicks) + biasMinutes * 60 * 10000000LL;

  Reader r(dir / L"dos.zip");
  ASSERT_NE(r.h, nullptr);
  ZipEntryInfo info;
  ASSERT_EQ(GetZipItem(r.h, 0, &info), ZR_OK);
  EXPECT_EQ(Ticks(info.lastWrite), expected) << "bias " << biasMinutes;
  EXPECT_EQ(Ticks(info.creation), expected);
  EXPECT_EQ(Ticks(info.lastAccess), expected);
  ASSERT_EQ(UnzipItem(r.h, 0, (dir / L"dos.txt").c_str()), ZR_OK);
  EXPECT_EQ(Ticks(WriteTime(dir / L"dos.txt")), expected);
}

// Entries the reader must refuse before writing anything.
TEST(ZipReader, UnsupportedOrMismatchedEntriesCreateNoFile) {
  struct Case {
    const char* what;
    std::function<void(RawEntry&)> change;
  };
  const Case cases[] = {
      {"bzip2", [](RawEntry& e) { e.method = 12; }},
      {"encrypted", [](RawEntry& e) { e.flags |= 1; }},
  };
  ScratchDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RawEntry e = Raw("x.txt", TextBytes(2000));
    c.change(e);
    ASSERT_TRUE(WriteBytes(dir / L"u.zip", BuildZip({e})));
    Reader r(dir / L"u.zip");
    ASSERT_NE(r.h, nullptr);
    ZipEntryInfo info;
    EXPECT_EQ(GetZipItem(r.h, 0, &info), ZR_MISMATCH);
    EXPECT_EQ(UnzipItem(r.h, 0, (dir / L"x.txt").c_str()), ZR_MISMATCH);
    EXPECT_FALSE(Exists(dir / L"x.txt"));
  }
  // A failed lookup in between does not make a later extraction take the wrong entry.
  {
    RawEntry bad = Raw("bad.txt", TextBytes(700));
    bad.method = 12;
    RawEntry first = Raw("first.txt", TextBytes(3000)), last = Raw("last.txt", RandomBytes(900, 4));
    ASSERT_TRUE(WriteBytes(dir / L"mixed.zip", BuildZip({first, bad, last})));
    Reader r(dir / L"mixed.zip");
    ASSERT_NE(r.h, nullptr);
    ZipEntryInfo info;
    ASSERT_EQ(GetZipItem(r.h, 0, &info), ZR_OK);
    EXPECT_EQ(GetZipItem(r.h, 1, &info), ZR_MISMATCH);
    ASSERT_EQ(UnzipItem(r.h, 0, (dir / L"first.txt").c_str()), ZR_OK);
    EXPECT_EQ(ReadBytes(dir / L"first.txt"), first.plain);
    ASSERT_EQ(UnzipItem(r.h, 2, (dir / L"last.txt").c_str()), ZR_OK)
        << "entries after a refused one are reachable";
    EXPECT_EQ(ReadBytes(dir / L"last.txt"), last.plain);
  }
  // A local header that disagrees with its central record.
  Bytes z = BuildZip({Raw("x.txt", TextBytes(2000))});
  Put32(z, 18, U32(z, 18) + 1);  // local compressed size
  ASSERT_TRUE(WriteBytes(dir / L"m.zip", z));
  Reader r(dir / L"m.zip");
  ASSERT_NE(r.h, nullptr);
  EXPECT_EQ(UnzipItem(r.h, 0, (dir / L"x.txt").c_str()), ZR_MISMATCH);
  EXPECT_FALSE(Exists(dir / L"x.txt"));
}

// Entries whose data is wrong: the extraction fails and no partial file stays behind.
TEST(ZipReader, DamagedDataFailsAndLeavesNoFile) {
  Bytes text = TextBytes(100000);
  struct Case {
    const char* what;
    std::function<RawEntry()> make;
  };
  const Case cases[] = {
      {"deflate data damaged",
       [&] {
         RawEntry e = Raw("x.txt", text);
         for (size_t i = 100; i < 140; ++i) e.data[i] ^= 0x5A;
         return e;
       }},
      {"CRC-32 wrong",
       [&] {
         RawEntry e = Raw("x.txt", text);
         e.crc ^= 1;
         return e;
       }},
      {"stored CRC-32 wrong",
       [&] {
         RawEntry e = Raw("x.txt", text, 0);
         e.crc ^= 0x80000000;
         return e;
       }},
      {"stream ends before the announced size",
       [&] {
         RawEntry e = Raw("x.txt", text);
         e.usize += 1;
         return e;
       }},
      {"stream gives more than the announced size",
       [&] {
         RawEntry e = Raw("x.txt", text);
         e.usize -= 1;
         e.crc = crc32(0, text.data(), static_cast<uInt>(text.size() - 1));
         return e;
       }},
      {"compressed data cut short",
       [&] {
         RawEntry e = Raw("x.txt", text);
         e.data.resize(e.data.size() / 2);
         e.csize = static_cast<uint32_t>(e.data.size());
         return e;
       }},
      {"stored sizes differ",
       [&] {
         RawEntry e = Raw("x.txt", text, 0);
         e.usize += 10;
         return e;
       }},
  };
  ScratchDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteBytes(dir / L"bad.zip", BuildZip({c.make(), Raw("ok.txt", text)})));
    Reader r(dir / L"bad.zip");
    ASSERT_NE(r.h, nullptr);
    EXPECT_EQ(UnzipItem(r.h, 0, (dir / L"x.txt").c_str()), ZR_READWRITE);
    EXPECT_FALSE(Exists(dir / L"x.txt"));
    // The entry after it is unharmed.
    ASSERT_EQ(UnzipItem(r.h, 1, (dir / L"ok.txt").c_str()), ZR_OK);
    EXPECT_EQ(ReadBytes(dir / L"ok.txt"), text);
  }
  // A stored entry that runs past the end of the file.
  RawEntry cut = Raw("cut.bin", RandomBytes(50000, 3), 0);
  Bytes z = BuildZip({cut});
  Bytes truncated(z.begin(), z.begin() + 30 + 7 + 20000);
  Bytes tail(z.begin() + 30 + 7 + 50000, z.end());
  Bytes shortFile = truncated;
  shortFile.insert(shortFile.end(), tail.begin(), tail.end());
  // Central directory offset now points 30,000 bytes too far: shift it back, keep the sizes.
  Put32(shortFile, shortFile.size() - 22 + 16, 30 + 7 + 20000);
  ASSERT_TRUE(WriteBytes(dir / L"short.zip", shortFile));
  Reader r(dir / L"short.zip");
  ASSERT_NE(r.h, nullptr);
  EXPECT_EQ(UnzipItem(r.h, 0, (dir / L"cut.bin").c_str()), ZR_READWRITE);
  EXPECT_FALSE(Exists(dir / L"cut.bin"));
}

TEST(ZipReader, DestinationFoldersAreMadeBelowTheRootOnly) {
  ScratchDir dir;
  Bytes content = TextBytes(300);
  ASSERT_TRUE(WriteBytes(dir / L"a.zip", BuildZip({Raw("y.mpa", content)})));
  Reader r(dir / L"a.zip");
  ASSERT_NE(r.h, nullptr);
  // A relative folder part is created below the root (the current folder at opening).
  ASSERT_EQ(UnzipItem(r.h, 0, L"sub\\deeper\\y.mpa"), ZR_OK);
  EXPECT_EQ(ReadBytes(dir / L"sub\\deeper\\y.mpa"), content);
  // An absolute folder part must exist already.
  std::wstring absolute = dir / L"notmade\\y.mpa";
  EXPECT_EQ(UnzipItem(r.h, 0, absolute.c_str()), ZR_NOFILE);
  EXPECT_FALSE(Exists(dir / L"notmade"));
  ASSERT_EQ(UnzipItem(r.h, 0, (dir / L"y.mpa").c_str()), ZR_OK);
  // A relative folder part that climbs out is not created.
  EXPECT_EQ(UnzipItem(r.h, 0, L"..\\climb-out-of-root\\y.mpa"), ZR_NOFILE);
  EXPECT_FALSE(Exists(dir / L"..\\climb-out-of-root"));
  std::wstring longFolder(262, L'f');
  EXPECT_EQ(UnzipItem(r.h, 0, (longFolder + L"\\y.mpa").c_str()), ZR_NOFILE);
}

TEST(ZipReader, DirectoryEntriesStayInsideTheRoot) {
  ScratchDir dir;
  std::vector<std::string> hostile = {
      "../escape-a/", "a/../../escape-b/", "..\\escape-c\\",   "/escape-d/",      "\\escape-e\\",
      "C:/escape-f/", "Z:escape-g/",       "ok/.. /escape-h/", "x/.../escape-i/", "ads:stream/"};
  std::vector<RawEntry> entries;
  RawEntry good = Raw("unit/media/", {}, 0);
  good.external = 0x41ED0010;
  entries.push_back(good);
  for (const auto& n : hostile) {
    RawEntry e = Raw(n, {}, 0);
    e.external = 0x10;
    entries.push_back(e);
  }
  ASSERT_TRUE(WriteBytes(dir / L"dirs.zip", BuildZip(entries)));
  // The root is a folder inside the scratch folder, so anything made outside it can be seen.
  std::wstring root = dir / L"root";
  CreateDirectoryW(root.c_str(), nullptr);
  SetCurrentDirectoryW(root.c_str());
  {
    Reader r(dir / L"dirs.zip");
    ASSERT_NE(r.h, nullptr);
    EXPECT_EQ(UnzipItem(r.h, 0, L"ignored"), ZR_OK);
    DWORD a = GetFileAttributesW((root + L"\\unit\\media").c_str());
    EXPECT_TRUE(a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY));
    for (size_t i = 0; i < hostile.size(); ++i) {
      EXPECT_EQ(UnzipItem(r.h, static_cast<int>(i + 1), L"ignored"), ZR_NOFILE) << hostile[i];
    }
  }
  SetCurrentDirectoryW(dir.Path().c_str());
  WIN32_FIND_DATAW fd;
  HANDLE f = FindFirstFileW((dir / L"*").c_str(), &fd);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  do {
    std::wstring name = fd.cFileName;
    EXPECT_TRUE(name == L"." || name == L".." || name == L"root" || name == L"dirs.zip")
        << "made outside: " << testing::PrintToString(name);
  } while (FindNextFileW(f, &fd));
  FindClose(f);
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  for (const wchar_t* n : {L"escape-a", L"escape-b", L"escape-c", L"escape-d", L"escape-e", L"escape-f"}) {
    EXPECT_FALSE(Exists(std::wstring(temp) + n));
    EXPECT_FALSE(Exists(std::wstring(L"C:\\") + n));
  }
}

TEST(ZipReader, ExtendedTimestampsAreWalkedWithinTheField) {
  const uint32_t mtime = 1719835200, atime = 1704164645;
  Bytes foreign;  // another block first, as other tools write
  Append16(foreign, 0x000A);
  Append16(foreign, 8);
  AppendBytes(foreign, "\1\2\3\4\5\6\7\x08", 8);
  struct Case {
    const char* what;
    Bytes extra;
    bool usesUt;
  };
  Bytes both = foreign;
  Bytes ut = UtBlock(3, {mtime, atime});
  both.insert(both.end(), ut.begin(), ut.end());
  Bytes overlong = UtBlock(3, {mtime, atime}, 200);  // says more than the field holds
  Bytes truncatedBlock = UtBlock(7, {mtime}, 5);     // flags name three times, one is there
  Bytes cutField = UtBlock(1, {mtime});
  cutField.resize(6);
  const Case cases[] = {
      {"after a foreign block", both, true},
      {"block size past the field", overlong, false},
      {"flags name more times than it holds", truncatedBlock, true},
      {"field cut inside the block", cutField, false},
  };
  ScratchDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RawEntry e = Raw("t.txt", TextBytes(50));
    e.localExtra = c.extra;
    ASSERT_TRUE(WriteBytes(dir / L"t.zip", BuildZip({e})));
    Reader r(dir / L"t.zip");
    ASSERT_NE(r.h, nullptr);
    ZipEntryInfo info;
    ASSERT_EQ(GetZipItem(r.h, 0, &info), ZR_OK);
    FILETIME dos = info.creation;  // never named by these blocks except the truncated one
    if (c.usesUt) {
      EXPECT_EQ(Ticks(info.lastWrite), UnixTicks(mtime)) << "UT times are UTC";
      if (c.extra.size() > 13) {
        EXPECT_EQ(Ticks(info.lastAccess), UnixTicks(atime));
      }
    } else {
      EXPECT_EQ(Ticks(info.lastWrite), Ticks(dos));
    }
  }
}

TEST(ZipReader, LongNamesAreCutWithATerminator) {
  ScratchDir dir;
  std::string name(300, 'n');
  name += ".txt";
  ASSERT_TRUE(
      WriteBytes(dir / L"l.zip", BuildZip({Raw(name, TextBytes(10)), Raw("next.txt", TextBytes(20))})));
  Reader r(dir / L"l.zip");
  ASSERT_NE(r.h, nullptr);
  ZipEntryInfo info;
  std::memset(&info, 0xFF, sizeof info);
  ASSERT_EQ(GetZipItem(r.h, 0, &info), ZR_OK);
  EXPECT_EQ(wcslen(info.name), 259u);
  ASSERT_EQ(GetZipItem(r.h, 1, &info), ZR_OK) << "the walk past a long name stays on the records";
  EXPECT_STREQ(info.name, L"next.txt");
}
