// The writer: archives are parsed byte by byte here and compared with the ZIP layout the package
// files use (local headers, central directory, end record, extended-timestamp fields).
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <thread>

#include "media/zip/ZipArchive.h"
#include "media/zip/tests/ZipTestUtil.h"

using namespace ziptest;

namespace {

struct Entry {
  // Central record.
  uint16_t madeBy, needed, flags, method, time, date;
  uint32_t crc, csize, usize, external, localOffset;
  uint16_t extraLength, commentLength, disk, internal;
  std::string name;
  Bytes centralExtra;
  // Local header.
  uint16_t localNeeded, localFlags, localMethod, localTime, localDate, localExtraLength;
  uint32_t localCrc, localCsize, localUsize;
  std::string localName;
  Bytes localExtra;
  Bytes data;
  size_t dataEnd;
};

struct Archive {
  Bytes bytes;
  uint16_t count = 0;
  uint32_t dirSize = 0, dirOffset = 0;
  std::vector<Entry> entries;
};

Archive Parse(const std::wstring& path) {
  Archive a;
  a.bytes = ReadBytes(path);
  const Bytes& b = a.bytes;
  EXPECT_GE(b.size(), 22u);
  if (b.size() < 22) return a;
  size_t end = b.size() - 22;  // the writer puts no comment after the end record
  EXPECT_EQ(U32(b, end), 0x06054B50u);
  EXPECT_EQ(U16(b, end + 4), 0);
  EXPECT_EQ(U16(b, end + 6), 0);
  EXPECT_EQ(U16(b, end + 8), U16(b, end + 10));
  EXPECT_EQ(U16(b, end + 20), 0);
  a.count = U16(b, end + 10);
  a.dirSize = U32(b, end + 12);
  a.dirOffset = U32(b, end + 16);
  EXPECT_EQ(size_t{a.dirOffset} + a.dirSize, end);
  size_t p = a.dirOffset;
  for (int i = 0; i < a.count; ++i) {
    Entry e;
    EXPECT_EQ(U32(b, p), 0x02014B50u);
    e.madeBy = U16(b, p + 4);
    e.needed = U16(b, p + 6);
    e.flags = U16(b, p + 8);
    e.method = U16(b, p + 10);
    e.time = U16(b, p + 12);
    e.date = U16(b, p + 14);
    e.crc = U32(b, p + 16);
    e.csize = U32(b, p + 20);
    e.usize = U32(b, p + 24);
    uint16_t n = U16(b, p + 28);
    e.extraLength = U16(b, p + 30);
    e.commentLength = U16(b, p + 32);
    e.disk = U16(b, p + 34);
    e.internal = U16(b, p + 36);
    e.external = U32(b, p + 38);
    e.localOffset = U32(b, p + 42);
    e.name.assign(reinterpret_cast<const char*>(&b[p + 46]), n);
    e.centralExtra.assign(b.begin() + p + 46 + n, b.begin() + p + 46 + n + e.extraLength);
    p += 46 + n + e.extraLength + e.commentLength;

    size_t l = e.localOffset;
    EXPECT_EQ(U32(b, l), 0x04034B50u);
    e.localNeeded = U16(b, l + 4);
    e.localFlags = U16(b, l + 6);
    e.localMethod = U16(b, l + 8);
    e.localTime = U16(b, l + 10);
    e.localDate = U16(b, l + 12);
    e.localCrc = U32(b, l + 14);
    e.localCsize = U32(b, l + 18);
    e.localUsize = U32(b, l + 22);
    uint16_t ln = U16(b, l + 26);
    e.localExtraLength = U16(b, l + 28);
    e.localName.assign(reinterpret_cast<const char*>(&b[l + 30]), ln);
    e.localExtra.assign(b.begin() + l + 30 + ln, b.begin() + l + 30 + ln + e.localExtraLength);
    size_t data = l + 30 + ln + e.localExtraLength;
    e.data.assign(b.begin() + data, b.begin() + data + e.csize);
    e.dataEnd = data + e.csize;
    a.entries.push_back(e);
  }
  EXPECT_EQ(p, size_t{a.dirOffset} + a.dirSize);
  return a;
}

Bytes Plain(const Entry& e) {
  if (e.method == 0) return e.data;
  bool ok = false;
  Bytes out = Inflate(e.data, &ok);
  EXPECT_TRUE(ok) << e.name;
  return out;
}

uint32_t Crc(const Bytes& b) { return crc32(0, b.data(), static_cast<uInt>(b.size())); }

FILETIME Utc(int y, int mo, int d, int h, int mi, int s) {
  SYSTEMTIME st{static_cast<WORD>(y),  static_cast<WORD>(mo), 0, static_cast<WORD>(d), static_cast<WORD>(h),
                static_cast<WORD>(mi), static_cast<WORD>(s),  0};
  FILETIME ft;
  SystemTimeToFileTime(&st, &ft);
  return ft;
}

int64_t Ticks(const FILETIME& f) {
  return static_cast<int64_t>((uint64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime);
}

// The zone's present offset in minutes: UTC = local time + bias.
int64_t PresentBiasMinutes() {
  TIME_ZONE_INFORMATION zone;
  DWORD which = GetTimeZoneInformation(&zone);
  return zone.Bias + (which == TIME_ZONE_ID_DAYLIGHT   ? zone.DaylightBias
                      : which == TIME_ZONE_ID_STANDARD ? zone.StandardBias
                                                       : 0);
}

void SetTimes(const std::wstring& path, const FILETIME& created, const FILETIME& accessed,
              const FILETIME& written) {
  HANDLE f = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetFileTime(f, &created, &accessed, &written));
  CloseHandle(f);
}

}  // namespace

TEST(ZipWriter, EmptyArchiveIsTheEndRecordAlone) {
  ScratchDir dir;
  ZipHandle* h = CreateZip((dir / L"empty.zip").c_str());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(CloseZip(h), ZR_OK) << "the shared close picks the writer by the handle's kind";
  Bytes expected(22, 0);
  Put32(expected, 0, 0x06054B50);
  EXPECT_EQ(ReadBytes(dir / L"empty.zip"), expected);
}

TEST(ZipWriter, PackageEntriesFollowTheLayout) {
  ScratchDir dir;
  Bytes text = TextBytes(3000), sound = RandomBytes(50000, 4), table = {0, 0, 0, 0, 0x10, 0x27, 0, 0};
  ASSERT_TRUE(WriteBytes(dir / L"lesson.mpa", sound));
  SetTimes(dir / L"lesson.mpa", Utc(2023, 3, 4, 5, 6, 7), Utc(2024, 1, 2, 3, 4, 5),
           Utc(2024, 7, 1, 12, 0, 0));
  SetFileAttributesW((dir / L"lesson.mpa").c_str(), FILE_ATTRIBUTE_ARCHIVE);

  ZipHandle* h = CreateZip((dir / L"lesson.qpk").c_str());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(ZipAdd(h, L"lesson.txt", text.data(), static_cast<uint32_t>(text.size()), ZIP_SOURCE_MEMORY),
            ZR_OK);
  EXPECT_EQ(ZipAdd(h, L"lesson.mpa", (dir / L"lesson.mpa").c_str(), 0, ZIP_SOURCE_FILE), ZR_OK);
  EXPECT_EQ(ZipAdd(h, L"lesson.cif", table.data(), static_cast<uint32_t>(table.size()), ZIP_SOURCE_MEMORY),
            ZR_OK);
  ASSERT_EQ(CloseZipWriter(h), ZR_OK);

  Archive a = Parse(dir / L"lesson.qpk");
  ASSERT_EQ(a.count, 3);
  const char* names[] = {"lesson.txt", "lesson.mpa", "lesson.cif"};
  const Bytes* sources[] = {&text, &sound, &table};
  size_t expectedOffset = 0;
  for (int i = 0; i < 3; ++i) {
    const Entry& e = a.entries[i];
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(e.name, names[i]);
    EXPECT_EQ(e.localName, names[i]);
    EXPECT_EQ(e.localOffset, expectedOffset) << "entries follow one another from offset 0";
    EXPECT_EQ(e.madeBy, 0x0B17);
    EXPECT_EQ(e.needed, 20);
    EXPECT_EQ(e.localNeeded, 20);
    EXPECT_EQ(e.method, 8);
    EXPECT_EQ(e.flags, 2);
    EXPECT_EQ(e.localFlags, 2) << "no data descriptor";
    EXPECT_EQ(e.localMethod, 8);
    EXPECT_EQ(e.localTime, e.time);
    EXPECT_EQ(e.localDate, e.date);
    EXPECT_EQ(e.crc, Crc(*sources[i]));
    EXPECT_EQ(e.localCrc, e.crc);
    EXPECT_EQ(e.usize, sources[i]->size());
    EXPECT_EQ(e.localUsize, e.usize);
    EXPECT_EQ(e.localCsize, e.csize);
    EXPECT_EQ(e.commentLength, 0);
    EXPECT_EQ(e.disk, 0);
    EXPECT_EQ(e.internal, 0);
    EXPECT_EQ(Plain(e), *sources[i]);
    // Extended timestamps: 13 bytes with all three times locally, the modification time centrally.
    ASSERT_EQ(e.localExtra.size(), 17u);
    ASSERT_EQ(e.centralExtra.size(), 9u);
    EXPECT_EQ(U16(e.localExtra, 0), 0x5455);
    EXPECT_EQ(U16(e.localExtra, 2), 13);
    EXPECT_EQ(e.localExtra[4], 7);
    EXPECT_EQ(U16(e.centralExtra, 0), 0x5455);
    EXPECT_EQ(U16(e.centralExtra, 2), 5);
    EXPECT_EQ(e.centralExtra[4], 7);
    EXPECT_EQ(U32(e.centralExtra, 5), U32(e.localExtra, 5));
    expectedOffset = e.dataEnd;
  }
  EXPECT_EQ(a.dirOffset, expectedOffset);
  EXPECT_EQ(a.dirSize, 3u * (46 + 10 + 9));
  EXPECT_EQ(a.entries[0].external, 0x80000000u);
  EXPECT_EQ(a.entries[2].external, 0x80000000u);
  EXPECT_EQ(a.entries[1].external, 0x81800020u) << "archive bit, regular file, readable and writable";
  // The file's modification time as true UTC seconds (the host keeps access and creation times
  // its own way, so only this one is compared).
  EXPECT_EQ(U32(a.entries[1].localExtra, 5), 1719835200u);
}

TEST(ZipWriter, NameSuffixChoosesStoredOrDeflated) {
  struct Case {
    const wchar_t* name;
    uint16_t method;
  };
  const Case cases[] = {
      {L"a.ZIP", 0},
      {L"b.Gz", 0},
      {L"c.tgz", 0},
      {L"d.Z", 0},
      {L"e.z", 0},
      {L"f.zoo", 0},
      {L"g.ARC", 0},
      {L"h.lzh", 0},
      {L"i.arj", 0},
      {L"notes.txt.gz", 0},
      {L"notes.txt", 8},
      {L"noext", 8},
      {L"in.zip/file.txt", 8},
      {L"folder.gz/readme", 8},
      {L"sound.mpa", 8},
      {L"x.zipx", 8},
  };
  ScratchDir dir;
  Bytes data = TextBytes(20000);
  ZipHandle* h = CreateZip((dir / L"s.zip").c_str());
  ASSERT_NE(h, nullptr);
  for (const auto& c : cases)
    ASSERT_EQ(ZipAdd(h, c.name, data.data(), static_cast<uint32_t>(data.size()), ZIP_SOURCE_MEMORY), ZR_OK);
  ASSERT_EQ(CloseZipWriter(h), ZR_OK);
  Archive a = Parse(dir / L"s.zip");
  ASSERT_EQ(a.entries.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Entry& e = a.entries[i];
    SCOPED_TRACE(e.name);
    EXPECT_EQ(e.method, cases[i].method);
    EXPECT_EQ(e.flags, cases[i].method == 8 ? 2 : 0);
    EXPECT_EQ(e.localFlags, e.flags);
    if (e.method == 0) {
      EXPECT_EQ(e.csize, e.usize);
    } else {
      EXPECT_LT(e.csize, e.usize);
    }
    EXPECT_EQ(Plain(e), data);
  }
}

TEST(ZipWriter, SeparatorsAndFolderEntries) {
  ScratchDir dir;
  uint8_t one = 'x';
  ZipHandle* h = CreateZip((dir / L"f.zip").c_str());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(ZipAdd(h, L"unit1\\part2\\text.txt", &one, 1, ZIP_SOURCE_MEMORY), ZR_OK);
  EXPECT_EQ(ZipAdd(h, L"unit1\\media", nullptr, 0, ZIP_SOURCE_FOLDER), ZR_OK);
  EXPECT_EQ(ZipAdd(h, L"unit2/", nullptr, 0, ZIP_SOURCE_FOLDER), ZR_OK);
  ASSERT_EQ(CloseZipWriter(h), ZR_OK);
  Archive a = Parse(dir / L"f.zip");
  ASSERT_EQ(a.count, 3);
  EXPECT_EQ(a.entries[0].name, "unit1/part2/text.txt");
  EXPECT_EQ(a.entries[1].name, "unit1/media/");
  EXPECT_EQ(a.entries[2].name, "unit2/");
  for (int i : {1, 2}) {
    const Entry& e = a.entries[i];
    EXPECT_EQ(e.method, 0);
    EXPECT_EQ(e.flags, 0);
    EXPECT_EQ(e.csize, 0u);
    EXPECT_EQ(e.usize, 0u);
    EXPECT_EQ(e.crc, 0u);
    EXPECT_EQ(e.external, 0x41C00010u);
  }
}

TEST(ZipWriter, EmptyFileIsTheTwoByteEmptyStream) {
  ScratchDir dir;
  ASSERT_TRUE(WriteBytes(dir / L"empty.txt", {}));
  ZipHandle* h = CreateZip((dir / L"e.zip").c_str());
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(ZipAdd(h, L"empty.txt", (dir / L"empty.txt").c_str(), 0, ZIP_SOURCE_FILE), ZR_OK);
  ASSERT_EQ(CloseZipWriter(h), ZR_OK);
  Archive a = Parse(dir / L"e.zip");
  ASSERT_EQ(a.count, 1);
  EXPECT_EQ(a.entries[0].method, 8);
  EXPECT_EQ(a.entries[0].data, (Bytes{0x03, 0x00}));
  EXPECT_EQ(a.entries[0].crc, 0u);
  EXPECT_EQ(a.entries[0].csize, 2u);
  EXPECT_EQ(a.entries[0].usize, 0u);
}

TEST(ZipWriter, BadArgumentsAreRefusedAndWriteNothing) {
  ScratchDir dir;
  uint8_t data[4] = {1, 2, 3, 4};
  ZipHandle* h = CreateZip((dir / L"b.zip").c_str());
  ASSERT_NE(h, nullptr);
  std::wstring name259(255, L'n'), name260(256, L'n');
  name259 += L".txt";
  name260 += L".txt";
  ZipHandle readerKind{ZIP_KIND_READER, h->archive};
  struct Case {
    const char* what;
    ZipHandle* handle;
    const wchar_t* name;
    const void* source;
    uint32_t length, kind, expected;
  };
  const Case cases[] = {
      {"null handle", nullptr, L"a.txt", data, 4, ZIP_SOURCE_MEMORY, ZR_ARGS},
      {"reader handle", &readerKind, L"a.txt", data, 4, ZIP_SOURCE_MEMORY, ZR_WRONGKIND},
      {"null name", h, nullptr, data, 4, ZIP_SOURCE_MEMORY, ZR_ARGS},
      {"empty name", h, L"", data, 4, ZIP_SOURCE_MEMORY, ZR_ARGS},
      {"null memory", h, L"a.txt", nullptr, 4, ZIP_SOURCE_MEMORY, ZR_ARGS},
      {"memory of length 0", h, L"a.txt", data, 0, ZIP_SOURCE_MEMORY, ZR_ARGS},
      {"file without a path", h, L"a.txt", nullptr, 0, ZIP_SOURCE_FILE, ZR_ARGS},
      {"null handle source", h, L"a.txt", nullptr, 0, ZIP_SOURCE_HANDLE, ZR_ARGS},
      {"kind 0", h, L"a.txt", data, 4, 0, ZR_ARGS},
      {"kind 5", h, L"a.txt", data, 4, 5, ZR_ARGS},
      {"name of 260 bytes", h, name260.c_str(), data, 4, ZIP_SOURCE_MEMORY, ZR_ARGS},
      {"missing file", h, L"a.txt", L"no such file.txt", 0, ZIP_SOURCE_FILE, ZR_NOFILE},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ZipAdd(c.handle, c.name, c.source, c.length, c.kind), c.expected) << c.what;
  }
  EXPECT_EQ(ReadBytes(dir / L"b.zip").size(), 0u) << "a refused add writes nothing";
  EXPECT_EQ(ZipAdd(h, name259.c_str(), data, 4, ZIP_SOURCE_MEMORY), ZR_OK) << "259 bytes still fit";
  EXPECT_EQ(CloseZipWriter(&readerKind), ZR_WRONGKIND);
  EXPECT_EQ(CloseZipWriter(nullptr), ZR_ARGS);
  ASSERT_EQ(CloseZipWriter(h), ZR_OK);
  Archive a = Parse(dir / L"b.zip");
  ASSERT_EQ(a.count, 1);
  EXPECT_EQ(a.entries[0].name.size(), 259u);
}

TEST(ZipWriter, FailedSourceReadIsAnErrorAndTheEntryIsNotListed) {
  ScratchDir dir;
  Bytes good = TextBytes(5000);
  ASSERT_TRUE(WriteBytes(dir / L"src.mpa", RandomBytes(40000, 1)));
  // A handle that cannot be read: every read of the source fails.
  HANDLE writeOnly = CreateFileW((dir / L"src.mpa").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writeOnly, INVALID_HANDLE_VALUE);
  ZipHandle* h = CreateZip((dir / L"r.zip").c_str());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(ZipAdd(h, L"first.txt", good.data(), static_cast<uint32_t>(good.size()), ZIP_SOURCE_MEMORY),
            ZR_OK);
  EXPECT_EQ(ZipAdd(h, L"broken.mpa", writeOnly, 0, ZIP_SOURCE_HANDLE), ZR_READWRITE);
  EXPECT_EQ(ZipAdd(h, L"broken.zip", writeOnly, 0, ZIP_SOURCE_HANDLE), ZR_READWRITE) << "stored copy too";
  EXPECT_EQ(ZipAdd(h, L"last.txt", good.data(), static_cast<uint32_t>(good.size()), ZIP_SOURCE_MEMORY),
            ZR_OK);
  CloseHandle(writeOnly);
  ASSERT_EQ(CloseZipWriter(h), ZR_OK);
  Archive a = Parse(dir / L"r.zip");
  ASSERT_EQ(a.count, 2);
  EXPECT_EQ(a.entries[0].name, "first.txt");
  EXPECT_EQ(a.entries[1].name, "last.txt");
  EXPECT_EQ(Plain(a.entries[1]), good) << "the entry after the failure points at its own header";
}

TEST(ZipWriter, PipeHandleIsReadToItsEnd) {
  ScratchDir dir;
  HANDLE readEnd, writeEnd;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 4096));
  Bytes data = TextBytes(100000);
  std::thread writer([&] {
    DWORD done;
    for (size_t at = 0; at < data.size(); at += 3000) {
      WriteFile(writeEnd, data.data() + at, static_cast<DWORD>(std::min<size_t>(3000, data.size() - at)),
                &done, nullptr);
    }
    CloseHandle(writeEnd);
  });
  ZipHandle* h = CreateZip((dir / L"p.zip").c_str());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(ZipAdd(h, L"piped.txt", readEnd, 0, ZIP_SOURCE_HANDLE), ZR_OK);
  writer.join();
  CloseHandle(readEnd);
  ASSERT_EQ(CloseZipWriter(h), ZR_OK);
  Archive a = Parse(dir / L"p.zip");
  ASSERT_EQ(a.count, 1);
  EXPECT_EQ(a.entries[0].usize, data.size());
  EXPECT_EQ(a.entries[0].external, 0x80000000u);
  EXPECT_EQ(Plain(a.entries[0]), data);
}

TEST(ZipWriter, PipeHandleWithALengthStopsThere) {
  // The writer keeps its end open: the add must not wait for an end that never comes.
  ScratchDir dir;
  HANDLE readEnd, writeEnd;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 65536));
  Bytes data = TextBytes(6000);
  DWORD done;
  ASSERT_TRUE(WriteFile(writeEnd, data.data(), static_cast<DWORD>(data.size()), &done, nullptr));
  ZipHandle* h = CreateZip((dir / L"p.zip").c_str());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(ZipAdd(h, L"first.txt", readEnd, 5000, ZIP_SOURCE_HANDLE), ZR_OK);
  EXPECT_EQ(ZipAdd(h, L"rest.zip", readEnd, 1000, ZIP_SOURCE_HANDLE), ZR_OK);
  CloseHandle(writeEnd);
  CloseHandle(readEnd);
  ASSERT_EQ(CloseZipWriter(h), ZR_OK);
  Archive a = Parse(dir / L"p.zip");
  ASSERT_EQ(a.count, 2);
  EXPECT_EQ(Plain(a.entries[0]), Bytes(data.begin(), data.begin() + 5000));
  EXPECT_EQ(Plain(a.entries[1]), Bytes(data.begin() + 5000, data.end()));
}

TEST(ZipWriter, AttributesOfAFileSource) {
  ScratchDir dir;
  ASSERT_TRUE(WriteBytes(dir / L"ro.txt", {1, 2, 3}));
  SetFileAttributesW((dir / L"ro.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  ZipHandle* h = CreateZip((dir / L"a.zip").c_str());
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(ZipAdd(h, L"ro.txt", (dir / L"ro.txt").c_str(), 0, ZIP_SOURCE_FILE), ZR_OK);
  ASSERT_EQ(CloseZipWriter(h), ZR_OK);
  Archive a = Parse(dir / L"a.zip");
  ASSERT_EQ(a.count, 1);
  // Read-only and hidden, no write permission (the host may add the archive bit).
  EXPECT_EQ(a.entries[0].external & ~0x20u, 0x81000003u);
}

// File times outside what the fields hold: the DOS date is held to 1980-2107, the Unix times to
// 1970-2037 with the time of day kept.
TEST(ZipWriter, TimesAreClampedToTheirFields) {
  struct Case {
    FILETIME written;
    uint32_t unixTime;  // expected modification time in the extra field
    int dosYear;        // expected year of the DOS date
  };
  const Case cases[] = {
      {Utc(2040, 6, 15, 13, 14, 16), 2145878056u, -1},  // 2037-12-31 13:14:16 UTC
      {Utc(1965, 5, 5, 10, 0, 0), 36000u, 1980},        // 1970-01-01 10:00:00 UTC
      {Utc(1975, 5, 5, 10, 0, 0), 168516000u, 1980},
      {Utc(2110, 2, 3, 4, 5, 6), 2145845106u, 2107},  // 2037-12-31 04:05:06 UTC
      {Utc(2024, 7, 1, 12, 0, 0), 1719835200u, -1},
  };
  ScratchDir dir;
  ZipHandle* h = CreateZip((dir / L"t.zip").c_str());
  ASSERT_NE(h, nullptr);
  int i = 0;
  for (const auto& c : cases) {
    std::wstring path = dir / (L"f" + std::to_wstring(i++) + L".txt");
    ASSERT_TRUE(WriteBytes(path, {1}));
    SetTimes(path, c.written, c.written, c.written);
    ASSERT_EQ(ZipAdd(h, path.substr(dir.Path().size() + 1).c_str(), path.c_str(), 0, ZIP_SOURCE_FILE), ZR_OK);
  }
  ASSERT_EQ(CloseZipWriter(h), ZR_OK);
  Archive a = Parse(dir / L"t.zip");
  ASSERT_EQ(a.entries.size(), std::size(cases));
  for (size_t k = 0; k < std::size(cases); ++k) {
    const Entry& e = a.entries[k];
    SCOPED_TRACE(e.name);
    EXPECT_EQ(U32(e.localExtra, 5), cases[k].unixTime);
    EXPECT_EQ(U32(e.centralExtra, 5), cases[k].unixTime);
    if (cases[k].dosYear > 0) {
      EXPECT_EQ((e.date >> 9) + 1980, cases[k].dosYear);
    } else {
      // Within the DOS range: the local time of the write, to the even second below.
      FILETIME local = Utc(1980 + (e.date >> 9), (e.date >> 5) & 15, e.date & 31, e.time >> 11,
                           (e.time >> 5) & 63, (e.time & 31) * 2);
      EXPECT_EQ(Ticks(local) + PresentBiasMinutes() * 60 * 10000000LL,
                Ticks(cases[k].written) / 20000000 * 20000000);
    }
    if (cases[k].dosYear == 1980) {
      EXPECT_EQ(e.date, (0 << 9) | (1 << 5) | 1);
      EXPECT_EQ(e.time, 0);
    }
    if (cases[k].dosYear == 2107) {
      EXPECT_EQ(e.date, (127 << 9) | (12 << 5) | 31);
      EXPECT_EQ(e.time, (23 << 11) | (59 << 5) | 29);
    }
  }
}

TEST(ZipWriter, SourcesOf4GiBAreRefused) {
  ScratchDir dir;
  // A sparse file one byte past 4 GiB.
  HANDLE f = CreateFileW((dir / L"huge.mpa").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  LARGE_INTEGER size;
  size.QuadPart = 0x100000001LL;
  ASSERT_TRUE(SetFilePointerEx(f, size, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(f));
  CloseHandle(f);
  ZipHandle* h = CreateZip((dir / L"h.zip").c_str());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(ZipAdd(h, L"huge.mpa", (dir / L"huge.mpa").c_str(), 0, ZIP_SOURCE_FILE), ZR_ARGS);
  EXPECT_EQ(ReadBytes(dir / L"h.zip").size(), 0u);
  ASSERT_EQ(CloseZipWriter(h), ZR_OK);
  DeleteFileW((dir / L"huge.mpa").c_str());
}
