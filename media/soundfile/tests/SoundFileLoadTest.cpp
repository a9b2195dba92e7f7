// Loading: crafted WAV files, the ".cif" and ".txt" side files, hostile packages, failed loads
// that leave the track empty, and the load thread's notification.
#include "media/soundfile/tests/SoundFileTestSupport.h"
#include "media/zip/ZipArchive.h"

namespace {

struct WavCase {
  const char* name;
  Bytes bytes;
  bool loads;
  uint32_t dataOffset;
  uint32_t frames;
};

Bytes Fmt16(uint16_t channels = 1, uint32_t rate = 8000) {
  return RiffChunk("fmt ", FmtPayload(1, channels, rate, uint16_t(channels * 2), 16));
}

std::vector<WavCase> WavCases() {
  const Bytes data = Pcm16(100, 7);
  Bytes listWithData("INFO", 4);
  listWithData += RiffChunk("data", Pcm16(3));  // a "data" tag inside the LIST payload
  Bytes truncated = RiffFile(Fmt16() + RiffChunk("data", data, 1000 * 2));
  truncated += 'x';  // half a frame at the end
  return {
      {"canonical", CanonicalWav(1, 8000, data), true, 44, 100},
      {"stereo", CanonicalWav(2, 8000, data), true, 44, 50},
      {"LIST before data",
       RiffFile(Fmt16() + RiffChunk("LIST", Bytes("INFOabcd", 8)) + RiffChunk("data", data)), true, 44 + 16,
       100},
      {"data inside a LIST payload",
       RiffFile(Fmt16() + RiffChunk("LIST", listWithData) + RiffChunk("data", data)), true,
       44 + 8 + 4 + 8 + 6, 100},
      {"odd chunk padded", RiffFile(Fmt16() + RiffChunk("junk", Bytes("abc", 3)) + RiffChunk("data", data)),
       true, 44 + 12, 100},
      // Written by some tools: the walk goes astray, the search for "data" finds it.
      {"odd chunk without its pad byte",
       RiffFile(Fmt16() + RiffChunk("junk", Bytes("abc", 3)).substr(0, 11) + RiffChunk("data", data)), true,
       44 + 11, 100},
      {"format chunk of 18 bytes",
       RiffFile(RiffChunk("fmt ", FmtPayload(1, 1, 8000, 2, 16) + Bytes(2, '\0')) + RiffChunk("data", data)),
       true, 46, 100},
      {"truncated data", truncated, true, 44, 100},
      {"float", RiffFile(RiffChunk("fmt ", FmtPayload(3, 1, 8000, 4, 32)) + RiffChunk("data", data)), false,
       0, 0},
      {"8-bit", RiffFile(RiffChunk("fmt ", FmtPayload(1, 1, 8000, 1, 8)) + RiffChunk("data", data)), false, 0,
       0},
      {"data size 0", RiffFile(Fmt16() + RiffChunk("data", "")), false, 0, 0},
      {"data of half a frame", RiffFile(Fmt16() + RiffChunk("data", "x")), false, 0, 0},
      {"block align 0", RiffFile(RiffChunk("fmt ", FmtPayload(1, 1, 8000, 0, 16)) + RiffChunk("data", data)),
       false, 0, 0},
      {"channels 0", RiffFile(RiffChunk("fmt ", FmtPayload(1, 0, 8000, 2, 16)) + RiffChunk("data", data)),
       false, 0, 0},
      {"block align not channels x 2",
       RiffFile(RiffChunk("fmt ", FmtPayload(1, 2, 8000, 2, 16)) + RiffChunk("data", data)), false, 0, 0},
      {"rate 0", RiffFile(RiffChunk("fmt ", FmtPayload(1, 1, 0, 2, 16)) + RiffChunk("data", data)), false, 0,
       0},
      {"no data chunk", RiffFile(Fmt16() + RiffChunk("LIST", data)), false, 0, 0},
      {"chunk size past the end",
       RiffFile(Fmt16() + RiffChunk("LIST", "abcd", 0xFFFFFFF0u) + RiffChunk("data", data)), true, 44 + 12,
       100},
      {"fmt not first", RiffFile(RiffChunk("LIST", "abcd") + Fmt16() + RiffChunk("data", data)), false, 0, 0},
      {"not RIFF", "RIFX" + CanonicalWav(1, 8000, data).substr(4), false, 0, 0},
      {"short header", CanonicalWav(1, 8000, data).substr(0, 30), false, 0, 0},
  };
}

}  // namespace

using LoadTest = SoundFileTest;

TEST_F(LoadTest, CraftedWavFiles) {
  for (const WavCase& c : WavCases()) {
    SCOPED_TRACE(c.name);
    const std::wstring path = dir + L"case.wav";
    WriteBytes(path, c.bytes);
    AddChunk(10);  // a chunk of a former sound, which no load may leave behind
    doc->modified = 1;
    ASSERT_EQ(doc->LoadSoundFile(path), c.loads);
    if (!c.loads) {
      EXPECT_EQ(doc->sourceWav, nullptr);
      EXPECT_EQ(doc->GetChunkCount(), 0);
      EXPECT_EQ(doc->currentChunk.load(), -1);
      EXPECT_EQ(doc->modified, 0) << "an empty track has nothing to save";
      continue;
    }
    EXPECT_EQ(doc->sourceDataOffset, c.dataOffset);
    ASSERT_EQ(doc->GetChunkCount(), 1);
    EXPECT_EQ(doc->currentChunk.load(), 0);
    const CChunkInfo* chunk = doc->GetChunk(0);
    EXPECT_EQ(chunk->start, 0u);
    EXPECT_EQ(chunk->frames, c.frames);
    EXPECT_EQ(chunk->fileName[0], L'\0');
    EXPECT_EQ(ChunkBytes(0), Pcm16(100, 7).substr(0, c.frames * doc->wavHeader.blockAlign));
    EXPECT_EQ(memcmp(&doc->wavHeader, c.bytes.data(), 36), 0)
        << "the header image is the file's first 36 bytes";
    EXPECT_EQ(doc->modified, 0);
    EXPECT_EQ(std::wstring(doc->loadedPath), path);
    // The engine was rebuilt for the file's format.
    ASSERT_NE(FakeEngine::last, nullptr);
    EXPECT_EQ(FakeEngine::last->channels, doc->wavHeader.channels);
    EXPECT_EQ(FakeEngine::last->sampleRate, 8000u);
    EXPECT_TRUE(FakeEngine::last->started);
    doc->FreeAllChunks();
    doc->ResetSoundData();
  }
  engine = FakeEngine::last;
}

// Rates from 1,000 to 200,000 Hz and up to 64 channels load: what the engine plays. Any other
// file would load and then end its playback at once.
TEST_F(LoadTest, SamplingRatesInRange) {
  for (auto [rate, loads] :
       {std::pair{999u, false}, std::pair{1000u, true}, std::pair{200000u, true}, std::pair{200001u, false},
        std::pair{384000u, false}, std::pair{4000000000u, false}}) {
    SCOPED_TRACE(rate);
    const std::wstring path = dir + std::to_wstring(rate) + L".wav";
    WriteBytes(path, CanonicalWav(1, rate, Pcm16(100)));
    EXPECT_EQ(doc->LoadSoundFile(path), loads);
    EXPECT_EQ(doc->wavHeader.samplesPerSec, loads ? rate : 0u);
  }
  for (auto [channels, loads] : {std::pair{6u, true}, std::pair{64u, true}, std::pair{65u, false}}) {
    SCOPED_TRACE(channels);
    const std::wstring path = dir + L"ch" + std::to_wstring(channels) + L".wav";
    WriteBytes(path, CanonicalWav(uint16_t(channels), 8000, Pcm16(channels * 10)));
    EXPECT_EQ(doc->LoadSoundFile(path), loads);
    EXPECT_EQ(doc->wavHeader.channels, loads ? channels : 0u);
  }
}

TEST_F(LoadTest, PathsThatCannotLoad) {
  WriteBytes(dir + L"noext", CanonicalWav(1, 8000, Pcm16(10)));
  for (const std::wstring& path :
       {std::wstring(L"a.w"), dir + L"noext", dir + L"missing.wav", dir + std::wstring(300, L'x') + L".wav",
        dir + L"missing.mp3", dir + L"missing.qpk"}) {
    SCOPED_TRACE(testing::PrintToString(path));
    EXPECT_FALSE(doc->LoadSoundFile(path));
    EXPECT_EQ(doc->sourceWav, nullptr);
    EXPECT_EQ(doc->GetChunkCount(), 0);
  }
}

// Only the last three letters of the path, in any case, choose the kind.
TEST_F(LoadTest, KindFromTheLastThreeLetters) {
  WriteBytes(dir + L"music.wave", CanonicalWav(1, 8000, Pcm16(10)));
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"music.wave"));
  EXPECT_EQ(doc->loadedAsMp3, 0);
  EXPECT_EQ(doc->loadedAsPackage, 0);
  // Not an MP3: the decoder refuses it, the load fails and the kind is still recorded.
  WriteBytes(dir + L"talk.Mp3", "not an mp3 at all");
  EXPECT_FALSE(doc->LoadSoundFile(dir + L"talk.Mp3"));
  EXPECT_EQ(doc->loadedAsMp3, 1);
  EXPECT_EQ(doc->loadedAsPackage, 0);
}

TEST_F(LoadTest, ChunkTables) {
  struct Case {
    const char* name;
    std::vector<uint32_t> words;  // start, length pairs in ms; an odd count makes a 4-byte tail
    std::vector<std::pair<uint32_t, uint32_t>> chunks;  // start frame, frames
  };
  // Records of the whole sound, n times.
  auto wholeTimes = [](size_t n) {
    std::vector<uint32_t> words;
    for (size_t i = 0; i < n; ++i) words.insert(words.end(), {0, 1000});
    return words;
  };
  // One second at 44,100 Hz.
  const std::vector<Case> cases = {
      {"one record", {500, 250}, {{22050, 11025}}},
      {"1,000 frames stored as 22 ms", {0, 22}, {{0, 970}}},
      // A table of another tool's that overlaps or repeats a phrase is used as it is.
      {"overlapping and out of order", {600, 100, 0, 1000}, {{26460, 4410}, {0, 44100}}},
      {"the whole sound three times", {0, 1000, 0, 1000, 0, 1000}, {{0, 44100}, {0, 44100}, {0, 44100}}},
      {"a phrase repeated",
       {0, 400, 200, 300, 200, 300, 500, 500},
       {{0, 17640}, {8820, 13230}, {8820, 13230}, {22050, 22050}}},
      // Chunks holding the sound sixteen times are a table's; seventeen times, a save's multiplier.
      {"the whole sound sixteen times", wholeTimes(16),
       std::vector<std::pair<uint32_t, uint32_t>>(16, {0, 44100})},
      {"the whole sound seventeen times", wholeTimes(17), {{0, 44100}}},
      {"out of order without overlap", {500, 500, 0, 500}, {{22050, 22050}, {0, 22050}}},
      {"past the sound", {900, 500, 2000, 10}, {{39690, 4410}, {44100, 0}}},
      {"products past 32 bits", {0xFFFFFFFFu, 0xFFFFFFFFu}, {{44100, 0}}},
      {"not a multiple of 8", {500, 1500, 7}, {{0, 44100}}},
      {"empty", {}, {{0, 44100}}},
  };
  WriteBytes(dir + L"t.wav", CanonicalWav(1, 44100, Pcm16(44100)));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes cif;
    for (uint32_t w : c.words) Put32(cif, w);
    WriteBytes(dir + L"t.cif", cif);
    ASSERT_TRUE(doc->LoadSoundFile(dir + L"t.wav"));
    ASSERT_EQ(doc->GetChunkCount(), int(c.chunks.size()));
    for (size_t i = 0; i < c.chunks.size(); ++i) {
      EXPECT_EQ(doc->GetChunk(int(i))->start, c.chunks[i].first) << i;
      EXPECT_EQ(doc->GetChunk(int(i))->frames, c.chunks[i].second) << i;
    }
    EXPECT_EQ(doc->currentChunk.load(), 0);
    EXPECT_EQ(doc->modified, 0);
  }
  // A table of a million records makes no more chunks than the cap.
  WriteBytes(dir + L"t.cif", Bytes(8 * 1000000, '\0'));
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"t.wav"));
  EXPECT_EQ(doc->GetChunkCount(), int(kMaxFileChunks));

  // 10,000 records of the whole sound save as the sound, not as 10,000 copies of it.
  Bytes whole;
  for (int i = 0; i < 10000; ++i) whole += Bytes("\0\0\0\0\xE8\x03\0\0", 8);
  WriteBytes(dir + L"t.cif", whole);
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"t.wav"));
  ASSERT_TRUE(doc->SaveSoundFile(dir + L"saved.wav"));
  EXPECT_EQ(ReadBytes(dir + L"saved.wav").substr(44), Pcm16(44100));
}

TEST_F(LoadTest, ChunkTexts) {
  auto utf16 = [](const std::wstring& text) {
    return Bytes("\xFF\xFE", 2) + Bytes(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  };
  struct Case {
    const char* name;
    Bytes file;
    std::vector<std::wstring> texts;  // of every chunk after the load; the sound gives two
  };
  const std::vector<Case> cases = {
      {"UTF-16, three lines over two chunks", utf16(L"one\r\ntwo\r\nthree\r\n"), {L"one", L"two", L"three"}},
      {"UTF-16 without a last line end", utf16(L"one\r\ntwo"), {L"one", L"two"}},
      {"UTF-16 with LF alone", utf16(L"one\ntwo\n"), {L"one", L"two"}},
      {"UTF-16 with CR alone", utf16(L"one\rtwo\r"), {L"one", L"two"}},
      {"UTF-16 LF CR is two breaks", utf16(L"one\n\rtwo\r\n"), {L"one", L"", L"two"}},
      {"mark alone", utf16(L""), {L"", L""}},
      {"empty lines", utf16(L"\r\n\r\nx\r\n"), {L"", L"", L"x"}},
      {"OEM with CR LF", "abc\r\ndef\r\n", {L"abc", L"def"}},
      {"OEM with LF CR", "abc\n\rdef\n\r", {L"abc", L"def"}},
      {"OEM code page", "\x81\x84\r\n", {L"\u00fc\u00e4", L""}},
      {"a long line is cut", utf16(std::wstring(1500, L'y') + L"\r\n"), {std::wstring(1023, L'y'), L""}},
  };
  WriteBytes(dir + L"t.wav", CanonicalWav(1, 8000, Pcm16(8000)));
  WriteBytes(dir + L"t.cif", Bytes("\0\0\0\0\xF4\x01\0\0\xF4\x01\0\0\xF4\x01\0\0", 16));  // two halves
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(dir + L"t.txt", c.file);
    ASSERT_TRUE(doc->LoadSoundFile(dir + L"t.wav"));
    EXPECT_EQ(doc->textsPresent, 1);
    ASSERT_EQ(doc->GetChunkCount(), int(c.texts.size()));
    for (size_t i = 0; i < c.texts.size(); ++i) EXPECT_EQ(doc->GetChunk(int(i))->text, c.texts[i]) << i;
    // Chunks that only the texts made hold no frames.
    for (size_t i = 2; i < c.texts.size(); ++i) EXPECT_EQ(doc->GetChunk(int(i))->frames, 0u);
  }

  // Millions of line ends make no more chunks than the cap.
  WriteBytes(dir + L"t.txt", Bytes(3000000, '\r'));
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"t.wav"));
  EXPECT_EQ(doc->GetChunkCount(), int(kMaxFileChunks));

  // Missing or oversized: texts present is cleared, the chunks keep no text.
  DeleteFileW((dir + L"t.txt").c_str());
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"t.wav"));
  EXPECT_EQ(doc->textsPresent, 0);
  HANDLE big = CreateFileW((dir + L"t.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  LARGE_INTEGER size;
  size.QuadPart = kMaxTextFileBytes + 1;
  SetFilePointerEx(big, size, nullptr, FILE_BEGIN);
  SetEndOfFile(big);
  CloseHandle(big);
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"t.wav"));
  EXPECT_EQ(doc->textsPresent, 0);
  EXPECT_EQ(doc->GetChunkCount(), 2);
}

TEST_F(LoadTest, PackageEntriesLandOnlyInTheTempFolder) {
  const Bytes wav = CanonicalWav(1, 8000, Pcm16(8000));
  WriteBytes(dir + L"lesson.qpk", StoredZip({
                                      {"folder/", "", true},
                                      {"escapedir.mpa", "", true},
                                      {"..\\escapedir.cif/", "", true},
                                      {"x.wav", wav},
                                      {"x.cif", Bytes("\0\0\0\0\xE8\x03\0\0", 8)},
                                      {"later.cif", Bytes("\0\0\0\0\xF4\x01\0\0", 8)},  // replaces x.cif
                                      {"x.txt", Bytes("\xFF\xFE"
                                                      "a\0\r\0\n\0",
                                                      8)},
                                      {"evil.\\..\\..\\escaped", "boom"},
                                      {"evil./../../escaped", "boom"},
                                      {"evil.c:escaped", "boom"},
                                      {"noextension", "boom"},
                                  }));
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"lesson.qpk"));
  EXPECT_EQ(doc->loadedAsMp3, 1);
  EXPECT_EQ(doc->loadedAsPackage, 1);
  EXPECT_EQ(std::wstring(doc->loadedPath), dir + L"lesson.qpk");
  // The WAV entry is the source, undecoded; the side files came from the temp folder.
  ASSERT_EQ(doc->GetChunkCount(), 1);
  EXPECT_EQ(doc->GetChunk(0)->frames, 4000u);
  EXPECT_EQ(doc->GetChunk(0)->text, L"a");
  EXPECT_EQ(ChunkBytes(0), Pcm16(4000));

  const std::wstring temp = doc->tempFolder;
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((temp + L"*").c_str(), &found);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  do {
    if (wcscmp(found.cFileName, L".") && wcscmp(found.cFileName, L"..")) names.push_back(found.cFileName);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"lesson.cif", L"lesson.txt", L"lesson.wav"}));
  // Nothing reached the folders above.
  const std::wstring parent = temp.substr(0, temp.rfind(L'\\', temp.size() - 2) + 1);
  EXPECT_FALSE(Exists(parent + L"escaped"));
  EXPECT_FALSE(Exists(parent + L"..\\escaped"));
  EXPECT_FALSE(Exists(dir + L"escaped"));
  // Folder entries are never made, neither in the reader's folder (the current one) nor elsewhere.
  wchar_t cwd[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, cwd);
  EXPECT_FALSE(Exists(std::wstring(cwd) + L"\\escapedir.mpa"));
  EXPECT_FALSE(Exists(std::wstring(cwd) + L"\\folder"));
  EXPECT_FALSE(Exists(temp + L"escapedir.mpa"));
}

// Declared sizes count before anything is extracted: entries that would pass what a package can
// hold are refused, and the temp folder stays empty.
TEST_F(LoadTest, PackageDeclaringGigabytesIsRefusedUnextracted) {
  const Bytes wav = CanonicalWav(1, 8000, Pcm16(800));
  const uint32_t huge = 1536u << 20;  // 1.5 GB each
  WriteBytes(dir + L"bomb.qpk",
             StoredZip({{"x.wav", wav}, {"x.mpa", "", false, huge}, {"x.dat", "", false, huge}}));
  EXPECT_FALSE(doc->LoadSoundFile(dir + L"bomb.qpk"));
  EXPECT_EQ(FolderNames(doc->tempFolder), std::vector<std::wstring>{});
  EXPECT_EQ(doc->sourceWav, nullptr);

  // Many entries with one target extract only the last: the others would be replaced anyway.
  std::vector<ZipEntrySpec> repeated = {{"x.wav", wav}};
  for (int i = 0; i < 500; ++i)
    repeated.push_back({"n" + std::to_string(i) + ".cif", Bytes("\0\0\0\0\xE8\x03\0\0", 8), false, 1u << 30});
  repeated.push_back({"last.cif", Bytes("\0\0\0\0\x32\0\0\0", 8)});  // 50 ms
  WriteBytes(dir + L"many.qpk", StoredZip(repeated));
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"many.qpk"))
      << "500 GB declared, of which only 8 bytes are extracted";
  ASSERT_EQ(doc->GetChunkCount(), 1);
  EXPECT_EQ(doc->GetChunk(0)->frames, 400u);
}

// A side-file entry is extracted only up to what the loader reads of its kind: a deflated text of
// 11 MB or a chunk table of 100,000 bytes in a small package never reaches the temp folder, and
// the package loads as it would with the side file passed over.
TEST_F(LoadTest, SideFileEntriesBoundedByTheirKind) {
  struct Case {
    const char* name;
    const wchar_t* entry;
    size_t bytes;
  };
  const Case cases[] = {
      {"texts past the text limit", L"x.txt", kMaxTextFileBytes + 1000000},
      {"chunk table past the chunk limit", L"x.cif", (kMaxFileChunks + 2500) * 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring path = dir + L"big.qpk";
    ZipHandle* zip = CreateZip(path.c_str());
    ASSERT_NE(zip, nullptr);
    const Bytes wav = CanonicalWav(1, 8000, Pcm16(800)), filler(c.bytes, '\0');
    ASSERT_EQ(ZipAdd(zip, L"x.wav", wav.data(), uint32_t(wav.size()), ZIP_SOURCE_MEMORY), ZR_OK);
    ASSERT_EQ(ZipAdd(zip, c.entry, filler.data(), uint32_t(filler.size()), ZIP_SOURCE_MEMORY), ZR_OK);
    ASSERT_EQ(CloseZipWriter(zip), ZR_OK);
    ASSERT_LT(ReadBytes(path).size(), 100000u);
    ASSERT_TRUE(doc->LoadSoundFile(path));
    EXPECT_EQ(FolderNames(doc->tempFolder), std::vector<std::wstring>{L"big.wav"});
    EXPECT_EQ(doc->GetChunkCount(), 1);
    EXPECT_EQ(doc->textsPresent, 0);
  }
}

// An entry that is there but cannot be read whole fails the load, and the user is told which
// entry of which file: the package never loads without its texts or its chunks.
TEST_F(LoadTest, PackageWithAnUnreadableEntryDoesNotLoad) {
  const Bytes wav = CanonicalWav(1, 8000, Pcm16(800));
  const Bytes good =
      StoredZip({{"x.txt", "TEXTS\r\n"}, {"x.wav", wav}, {"x.cif", Bytes("\0\0\0\0\x32\0\0\0", 8)}});
  // A byte of an entry's data changed, skip bytes after the first marker: the CRC-32 no longer
  // matches.
  auto damaged = [&](const Bytes& marker, size_t skip = 0) {
    Bytes b = good;
    b[b.find(marker) + skip] ^= 0x20;
    return b;
  };
  auto method12 = [&] {
    Bytes b = good;
    b[8] = 12;                                    // the first local header
    b[b.find(Bytes("PK\x01\x02", 4)) + 10] = 12;  // and its central record
    return b;
  };
  struct Case {
    const char* name;
    Bytes package;
    std::wstring entry;
  };
  const std::vector<Case> cases = {
      {"texts damaged", damaged("TEXTS"), L"\"x.txt\""},
      {"chunk table damaged", damaged(Bytes("x.cif\0\0\0\0\x32", 10), 9), L"\"x.cif\""},
      {"sound damaged", damaged(Bytes("data", 4)), L"\"x.wav\""},
      {"texts compressed in a way no reader here knows", method12(), L"\"number 1\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(dir + L"lesson.qpk", c.package);
    prompts.Clear();
    EXPECT_FALSE(doc->LoadSoundFile(dir + L"lesson.qpk"));
    EXPECT_EQ(doc->sourceWav, nullptr);
    EXPECT_EQ(doc->GetChunkCount(), 0);
    const std::vector<std::wstring> told = Reports();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find(L"\"" + dir + L"lesson.qpk\""), std::wstring::npos) << told[0];
    EXPECT_NE(told[0].find(c.entry), std::wstring::npos) << told[0];
  }
  // Whole, the same package loads with its texts and chunks.
  WriteBytes(dir + L"lesson.qpk", good);
  prompts.Clear();
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"lesson.qpk"));
  EXPECT_EQ(doc->GetChunk(0)->text, L"TEXTS");
  EXPECT_EQ(doc->GetChunk(0)->frames, 400u);
  EXPECT_TRUE(Reports().empty());
}

TEST_F(LoadTest, PackagesThatCannotLoad) {
  WriteBytes(dir + L"junk.qpk", "PK but not a zip");
  EXPECT_FALSE(doc->LoadSoundFile(dir + L"junk.qpk"));
  WriteBytes(dir + L"nosound.qpk", StoredZip({{"x.cif", Bytes(8, '\0')}}));
  EXPECT_FALSE(doc->LoadSoundFile(dir + L"nosound.qpk"));
  WriteBytes(dir + L"badmp3.qpk", StoredZip({{"x.mpa", "no frames in here"}}));
  EXPECT_FALSE(doc->LoadSoundFile(dir + L"badmp3.qpk"));
  EXPECT_EQ(doc->GetChunkCount(), 0);
  EXPECT_EQ(doc->sourceWav, nullptr);
}

TEST_F(LoadTest, LoadThreadPostsLoadedEitherWay) {
  WriteBytes(dir + L"ok.wav", CanonicalWav(1, 8000, Pcm16(80)));
  for (const wchar_t* name : {L"ok.wav", L"missing.wav"}) {
    Codes();
    HANDLE thread =
        CreateThread(nullptr, 0, LoadThreadProc, new SoundFileRequest{doc, dir + name}, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    const std::vector<int> codes = Codes();
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.back(), int(NOTIFY_LOADED));
    EXPECT_EQ(doc->GetChunkCount(), name == std::wstring(L"ok.wav") ? 1 : 0);
  }
}

// Reads of the source keep a chunk's frames equal to what the file gave.
TEST_F(LoadTest, SourceFramesBoundedByTheFile) {
  WriteBytes(dir + L"t.wav", CanonicalWav(1, 8000, Pcm16(100)));
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"t.wav"));
  CChunkInfo chunk;
  // Nothing of the source lies past its end: a chunk's own buffer stays as it is.
  const Bytes own = Pcm16(10, 500);
  chunk.buffer = static_cast<uint8_t*>(malloc(own.size()));
  memcpy(chunk.buffer, own.data(), own.size());
  chunk.used = chunk.capacity = uint32_t(own.size());
  uint8_t* const before = chunk.buffer;
  EXPECT_TRUE(doc->ReadSourceFrames(100, 5, &chunk));
  EXPECT_EQ(chunk.buffer, before);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(chunk.buffer), chunk.used), own);
  free(chunk.buffer);
  chunk = CChunkInfo{};
  EXPECT_TRUE(doc->ReadSourceFrames(90, 50, &chunk));
  EXPECT_EQ(chunk.used, 20u);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(chunk.buffer), chunk.used), Pcm16(100).substr(180));
  free(chunk.buffer);
  chunk = CChunkInfo{};
  EXPECT_TRUE(doc->ReadSourceFrames(100, 5, &chunk));
  EXPECT_EQ(chunk.buffer, nullptr);

  // The file shrank under the track: the chunk keeps only the frames that were read.
  CChunkInfo* whole = doc->GetChunk(0);
  free(whole->buffer);
  whole->buffer = nullptr;
  SetFilePointer(doc->sourceWav, 44 + 60 * 2, nullptr, FILE_BEGIN);
  SetEndOfFile(doc->sourceWav);
  EXPECT_TRUE(doc->LoadChunk(0));
  EXPECT_EQ(whole->frames, 60u);
  EXPECT_EQ(whole->used, 120u);
  free(whole->buffer);
  whole->buffer = nullptr;
  SetEndOfFile(doc->sourceWav);
  SetFilePointer(doc->sourceWav, 44, nullptr, FILE_BEGIN);
  SetEndOfFile(doc->sourceWav);
  EXPECT_FALSE(doc->LoadChunk(0)) << "nothing could be read";
  EXPECT_EQ(whole->buffer, nullptr);
}

// Pipe audio written into a chunk of a loaded file is kept when another chunk is selected and
// comes back in place of the file's frames.
TEST_F(LoadTest, PipeAudioInAChunkOfTheLoadedFileSurvivesSelectingAnother) {
  WriteBytes(dir + L"t.wav", CanonicalWav(1, 8000, Pcm16(8000)));
  WriteBytes(dir + L"t.cif", Bytes("\0\0\0\0\xF4\x01\0\0\xF4\x01\0\0\xF4\x01\0\0", 16));  // two halves
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"t.wav"));
  ASSERT_EQ(doc->GetChunkCount(), 2);
  doc->SelectChunk(0);
  ASSERT_EQ(doc->currentChunk.load(), 0);
  const Bytes pipe = Pcm16(300, 3);
  doc->WriteChunkPcm(0, uint32_t(pipe.size()), pipe.data());
  CChunkInfo* first = doc->GetChunk(0);
  EXPECT_NE(first->fileName[0], 0);  // a file of its own, so the audio can leave memory
  doc->SelectChunk(1);
  EXPECT_EQ(first->buffer, nullptr);
  doc->SelectChunk(0);
  ASSERT_NE(first->buffer, nullptr);
  EXPECT_EQ(first->frames, 300u);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(first->buffer), first->used), pipe);
}

// A source that could not be reopened (after a save over it, say) still lets the path go.
TEST_F(LoadTest, ResetFreesThePathWithoutASource) {
  WriteBytes(dir + L"t.wav", CanonicalWav(1, 8000, Pcm16(100)));
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"t.wav"));
  ASSERT_NE(doc->loadedPath, nullptr);
  CloseHandle(doc->sourceWav);
  doc->sourceWav = nullptr;
  doc->ResetSoundData();
  EXPECT_EQ(doc->loadedPath, nullptr);
}
