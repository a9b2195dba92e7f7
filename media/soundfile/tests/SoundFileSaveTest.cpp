// Saving: the exact WAV, ".cif" and ".txt" bytes, package entries and their order, MP3 through
// LAME_ENC.DLL read back through the decoder, failures that keep "modified" and the audio, saving
// over the open source WAV, and the save thread's result.
#include <cmath>

#include "standins/lame_enc/LameEnc.h"
#include "media/soundfile/tests/SoundFileTestSupport.h"
#include "media/zip/ZipArchive.h"

namespace {

Bytes WavHeader44(uint16_t channels, uint32_t rate, uint32_t dataBytes) {
  Bytes b("RIFF", 4);
  Put32(b, dataBytes + 36);
  b += "WAVEfmt ";
  Put32(b, 16);
  b += FmtPayload(1, channels, rate, uint16_t(channels * 2), 16);
  b += "data";
  Put32(b, dataBytes);
  return b;
}

Bytes Utf16(const std::wstring& text) {
  return Bytes(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

// The entries of a package: names in archive order and their bytes.
std::vector<std::pair<std::wstring, Bytes>> PackageEntries(const std::wstring& path,
                                                           const std::wstring& scratch) {
  std::vector<std::pair<std::wstring, Bytes>> out;
  ZipHandle* zip = OpenZip(path.c_str());
  if (!zip) return out;
  for (int32_t i = 0;; ++i) {
    ZipEntryInfo info = {};
    if (GetZipItem(zip, i, &info) != ZR_OK) break;
    const std::wstring file = scratch + L"entry.bin";
    EXPECT_EQ(UnzipItem(zip, i, file.c_str()), ZR_OK);
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    out.emplace_back(info.name, ReadBytes(file));
    DeleteFileW(file.c_str());
  }
  CloseZipReader(zip);
  return out;
}

uint32_t EncoderSamplesPerCall(uint32_t channels) {
  HMODULE dll = LoadLibraryW(LAMEENC_DLL_NAME);
  auto open = reinterpret_cast<LameEncOpenStreamFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(dll, MAKEINTRESOURCEA(LAMEENC_ORDINAL_OPEN))));
  auto close = reinterpret_cast<LameEncCloseStreamFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(dll, MAKEINTRESOURCEA(LAMEENC_ORDINAL_CLOSE))));
  LameEncConfig config = {};
  config.samplesPerSecond = 44100;
  config.mode = channels == 1 ? LAMEENC_MODE_MONO : LAMEENC_MODE_STEREO;
  config.bitRateKbps = uint16_t(64 * channels);
  uint32_t perCall = 0, size = 0;
  LameEncStream stream = nullptr;
  if (!open || open(&config, &perCall, &size, &stream) != LAMEENC_OK) return 0;
  close(stream);
  return perCall;
}

// The encoder's delay travels in the MP3's Info frame and the decoder cuts it: decoded sound starts
// where the track's did and ends padded with up to two MPEG frames (the encoder's flush).
constexpr uint32_t kCodecPadding = 2 * 1152;

}  // namespace

class SaveTest : public SoundFileTest {
 protected:
  // Sine samples of `channels` channels, as 16-bit PCM bytes.
  static Bytes Tone(uint32_t frames, uint32_t channels, uint32_t rate = 44100) {
    Bytes b;
    for (uint32_t i = 0; i < frames; ++i)
      for (uint32_t c = 0; c < channels; ++c)
        Put16(b, uint16_t(int16_t(9000 * std::sin(2 * M_PI * (330.0 + 110 * c) * i / rate))));
    return b;
  }
  // A loaded track of the given PCM, its chunks from ".cif" records (start, length in ms).
  void LoadTrack(const std::wstring& name, uint16_t channels, uint32_t rate, const Bytes& pcm,
                 const std::vector<uint32_t>& cif = {}) {
    WriteBytes(dir + name + L".wav", CanonicalWav(channels, rate, pcm));
    Bytes table;
    for (uint32_t w : cif) Put32(table, w);
    if (!cif.empty()) WriteBytes(dir + name + L".cif", table);
    ASSERT_TRUE(doc->LoadSoundFile(dir + name + L".wav"));
  }
};

TEST_F(SaveTest, WavFileBytes) {
  for (const wchar_t* asked : {L"Out.wav", L"Out.wma", L"Out"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(asked)));
    doc->FreeAllChunks();
    MakeTrack({100, 50}, 3);
    doc->currentChunk = 0;
    doc->modified = 1;
    doc->audioChanged = 1;
    ASSERT_TRUE(doc->SaveSoundFile(dir + asked));
    EXPECT_EQ(ReadBytes(dir + L"Out.wav"), WavHeader44(1, 44100, 300) + Pcm16(150, 3));
    EXPECT_FALSE(Exists(dir + L"Out.wav.saving"));
    EXPECT_FALSE(Exists(dir + L"Out.txt"));
    EXPECT_FALSE(Exists(dir + L"Out.cif"));
    EXPECT_EQ(doc->modified, 0);
    EXPECT_EQ(doc->audioChanged, 0u);
    EXPECT_EQ(doc->lastSaveResult.load(), 1);
    DeleteFileW((dir + L"Out.wav").c_str());
  }
  EXPECT_TRUE(Messages().empty());
}

// The sizes in the header are those of the data written: a chunk claiming more frames than it
// holds is written (and kept) with the frames it holds.
TEST_F(SaveTest, WavHeaderAgreesWithTheData) {
  MakeTrack({40, 30});
  doc->GetChunk(0)->frames = 1000;
  ASSERT_TRUE(doc->WriteWavFile(dir + L"x.wav"));
  EXPECT_EQ(ReadBytes(dir + L"x.wav"), WavHeader44(1, 44100, 140) + Pcm16(40) + Pcm16(30, 40));
  EXPECT_EQ(doc->GetChunk(0)->frames, 40u);
}

TEST_F(SaveTest, TrackWithoutChunksWritesNoSoundFile) {
  for (const wchar_t* name : {L"empty.wav", L"empty.mp3"}) {
    EXPECT_TRUE(doc->SaveSoundFile(dir + name));
    EXPECT_FALSE(Exists(dir + name));
  }
  EXPECT_TRUE(Messages().empty());
}

TEST_F(SaveTest, ChunkTableBytes) {
  MakeTrack({44100, 22050, 0, 1000});
  uint8_t* table = nullptr;
  const uint32_t length = doc->BuildChunkTable(&table);
  ASSERT_NE(table, nullptr);
  Bytes expected;
  for (uint32_t w : {0u, 1000u, 1000u, 500u, 1500u, 0u, 1500u, 22u}) Put32(expected, w);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(table), length), expected);
  free(table);

  doc->FreeAllChunks();
  MakeTrack({0, 0});
  EXPECT_EQ(doc->BuildChunkTable(&table), 0u);
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(doc->chunksToWrite, 0u);
}

TEST_F(SaveTest, ChunkTextBytes) {
  MakeTrack({10, 10, 10, 10});
  doc->GetChunk(0)->text = L"a";
  doc->GetChunk(2)->text = L"b";
  doc->GetChunk(3)->text = L"two\r\nlines\rand\nmore";
  uint8_t* texts = nullptr;
  const uint32_t length = doc->ExportChunkTexts(&texts);
  EXPECT_EQ(Bytes(reinterpret_cast<char*>(texts), length),
            Bytes("\xFF\xFE", 2) + Utf16(L"a\r\n\r\nb\r\ntwo  lines and more\r\n"));
  free(texts);
  EXPECT_EQ(doc->GetChunk(3)->text, L"two\r\nlines\rand\nmore") << "the track keeps its texts";

  // Beside a WAV, and read back line for line.
  doc->textsPresent = 1;
  ASSERT_TRUE(doc->SaveSoundFile(dir + L"t.wav"));
  EXPECT_EQ(ReadBytes(dir + L"t.txt"),
            Bytes("\xFF\xFE", 2) + Utf16(L"a\r\n\r\nb\r\ntwo  lines and more\r\n"));
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"t.wav"));
  ASSERT_EQ(doc->GetChunkCount(), 4) << "one chunk of sound, three made by the texts";
  EXPECT_EQ(doc->GetChunk(3)->text, L"two  lines and more");

  doc->FreeAllChunks();
  EXPECT_EQ(doc->ExportChunkTexts(&texts), 2u);
  free(texts);
}

// A save frees the buffers it loaded, never one that was in memory before: that may hold audio
// that is nowhere else (pipe audio in a chunk that is not current, say).
TEST_F(SaveTest, FreesOnlyWhatItLoaded) {
  MakeTrack({20, 20, 20});
  ASSERT_TRUE(doc->SaveChunk(1));
  CChunkInfo* onDisk = doc->GetChunk(1);
  free(onDisk->buffer);
  onDisk->buffer = nullptr;
  onDisk->used = onDisk->capacity = 0;
  doc->currentChunk = 0;
  ASSERT_TRUE(doc->SaveSoundFile(dir + L"x.wav"));
  EXPECT_EQ(ReadBytes(dir + L"x.wav"), WavHeader44(1, 44100, 120) + Pcm16(60));
  EXPECT_NE(doc->GetChunk(0)->buffer, nullptr);
  EXPECT_EQ(doc->GetChunk(1)->buffer, nullptr);
  ASSERT_NE(doc->GetChunk(2)->buffer, nullptr);
  EXPECT_EQ(ChunkBytes(2), Pcm16(20, 40));
}

TEST_F(SaveTest, PackageEntriesInOrder) {
  MakeTrack({44100, 22050});
  doc->GetChunk(1)->text = L"second";
  for (bool texts : {true, false}) {
    SCOPED_TRACE(texts ? "with texts" : "without texts");
    doc->textsPresent = texts;
    ASSERT_TRUE(doc->SaveSoundFile(dir + L"Lesson.QPK"));
    ASSERT_TRUE(Exists(dir + L"Lesson.qpk"));
    EXPECT_FALSE(Exists(dir + L"Lesson.mpa"));
    EXPECT_FALSE(Exists(dir + L"Lesson.qpk.saving"));
    EXPECT_FALSE(Exists(dir + L"Lesson.txt"));
    const auto entries = PackageEntries(dir + L"Lesson.qpk", dir);
    std::vector<std::wstring> names;
    for (const auto& e : entries) names.push_back(e.first);
    const std::vector<std::wstring> expected =
        texts ? std::vector<std::wstring>{L"Lesson.txt", L"Lesson.mpa", L"Lesson.cif"}
              : std::vector<std::wstring>{L"Lesson.mpa", L"Lesson.cif"};
    EXPECT_EQ(names, expected);
    Bytes cif;
    for (uint32_t w : {0u, 1000u, 1000u, 500u}) Put32(cif, w);
    EXPECT_EQ(entries.back().second, cif);
    if (texts) {
      EXPECT_EQ(entries.front().second, Bytes("\xFF\xFE", 2) + Utf16(L"\r\nsecond\r\n"));
    }
    EXPECT_EQ(entries[texts ? 1 : 0].second.substr(0, 1), "\xFF") << "MPEG frame sync";
    DeleteFileW((dir + L"Lesson.qpk").c_str());
  }
  EXPECT_TRUE(Messages().empty());
}

// Package -> load -> save -> load: chunk starts stay within 1 ms (the ".cif" counts whole ms),
// every text survives, and the sound grows by no more than the codec's delay and padding.
TEST_F(SaveTest, PackageRoundTrip) {
  const uint32_t frames = 3 * 44100 + 17;
  LoadTrack(L"src", 1, 44100, Tone(frames, 1), {0, 1250, 1250, 1000, 2250, 1000});
  doc->GetChunk(0)->text = L"first line";
  doc->GetChunk(2)->text = L"\u00e9t\u00e9 \u4e2d";
  doc->textsPresent = 1;
  const std::vector<uint32_t> starts = {0, 55125, 99225};
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const std::wstring path = dir + (round ? L"again.qpk" : L"pack.qpk");
    uint32_t written = 0;  // a save writes the frames of the chunks
    for (int i = 0; i < doc->GetChunkCount(); ++i) written += doc->GetChunk(i)->frames;
    ASSERT_TRUE(doc->SaveSoundFile(path));
    ASSERT_TRUE(doc->LoadSoundFile(path));
    ASSERT_EQ(doc->GetChunkCount(), 3);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(double(doc->GetChunk(i)->start), double(starts[i]), 44.1) << i;
    EXPECT_EQ(doc->GetChunk(0)->text, L"first line");
    EXPECT_EQ(doc->GetChunk(1)->text, L"");
    EXPECT_EQ(doc->GetChunk(2)->text, L"\u00e9t\u00e9 \u4e2d");
    EXPECT_EQ(doc->textsPresent, 1);
    // Extracted and decoded in the temp folder under the package's name.
    const std::wstring temp = doc->tempFolder, base = round ? L"again" : L"pack";
    EXPECT_TRUE(Exists(temp + base + L".mp3"));
    EXPECT_TRUE(Exists(temp + base + L".wav"));
    EXPECT_FALSE(Exists(temp + base + L".mpa"));
    const uint32_t decoded = doc->sourceDataSize / 2;
    EXPECT_GE(decoded, written);
    EXPECT_LE(decoded, written + kCodecPadding);
  }
}

TEST_F(SaveTest, Mp3MonoAndStereo) {
  for (uint16_t channels : {uint16_t(1), uint16_t(2)}) {
    SCOPED_TRACE(channels);
    // One frame past a whole number of encoder calls: the last frame is encoded too.
    const uint32_t perCall = EncoderSamplesPerCall(channels) / channels;
    ASSERT_GT(perCall, 0u);
    const uint32_t frames = 40 * perCall + 1;
    LoadTrack(L"m", channels, 44100, Tone(frames, channels));
    ASSERT_TRUE(doc->SaveSoundFile(dir + L"m.mp3"));
    EXPECT_FALSE(Exists(dir + L"m.mp3.saving"));
    const Bytes mp3 = ReadBytes(dir + L"m.mp3");
    ASSERT_GE(mp3.size(), 4u);
    EXPECT_EQ(uint8_t(mp3[0]), 0xFF);
    // MPEG-1 layer III, 64 kbit/s mono (bit-rate index 5, mode 3) or 128 kbit/s stereo (9, mode 0).
    EXPECT_EQ(uint8_t(mp3[2]) >> 4, channels == 1 ? 5 : 9);
    EXPECT_EQ(uint8_t(mp3[3]) >> 6, channels == 1 ? 3 : 0);
    // Side files are read from the MP3's own folder.
    WriteBytes(dir + L"m.cif", Bytes("\0\0\0\0\xF4\x01\0\0\xF4\x01\0\0\xF4\x01\0\0", 16));
    ASSERT_TRUE(doc->LoadSoundFile(dir + L"m.mp3"));
    DeleteFileW((dir + L"m.cif").c_str());
    EXPECT_EQ(doc->GetChunkCount(), 2);
    EXPECT_EQ(doc->GetChunk(1)->start, 22050u);
    EXPECT_EQ(doc->wavHeader.channels, channels);
    const uint32_t decoded = doc->sourceDataSize / doc->wavHeader.blockAlign;
    EXPECT_GE(decoded, frames);
    EXPECT_LE(decoded, frames + kCodecPadding);
  }
}

TEST_F(SaveTest, FailuresKeepModifiedAndSayWhy) {
  struct Case {
    const char* name;
    std::wstring path;
    uint16_t channels;
    uint16_t bits;
    std::wstring message;  // caption: text
  };
  const std::wstring edition = GetEditionName();
  const std::vector<Case> cases = {
      {"missing folder, WAV", dir + L"nowhere\\x.wav", 1, 16, edition + L": Could not write the sound file"},
      {"missing folder, MP3", dir + L"nowhere\\x.mp3", 1, 16,
       L"MP3 encoding error: Unable to save to requested destination"},
      {"missing folder, package", dir + L"nowhere\\x.qpk", 1, 16,
       edition + L": Could not create the package file"},
      {"8-bit samples", dir + L"eight.mp3", 1, 8,
       L"MP3 encoding error: Bad format reported during encoder initialization"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    prompts.Clear();
    doc->FreeAllChunks();
    MakeTrack({300, 200});
    doc->wavHeader.channels = c.channels;
    doc->wavHeader.bitsPerSample = c.bits;
    doc->wavHeader.blockAlign = uint16_t(c.channels * c.bits / 8);
    doc->modified = 1;
    EXPECT_FALSE(doc->SaveSoundFile(c.path));
    EXPECT_EQ(Messages(), std::vector<std::wstring>{c.message});
    EXPECT_EQ(doc->modified, 1);
    EXPECT_EQ(doc->lastSaveResult.load(), 0);
    EXPECT_FALSE(Exists(c.path));
    EXPECT_FALSE(Exists(c.path + L".saving"));
    EXPECT_NE(doc->GetChunk(0)->buffer, nullptr) << "the audio stays in the track";
  }
}

// A 6-channel WAV loads and saves as WAV, but the encoder takes one or two channels only.
TEST_F(SaveTest, SixChannelWav) {
  const Bytes pcm = Pcm16(6 * 500);
  LoadTrack(L"six", 6, 8000, pcm);
  doc->modified = 1;
  EXPECT_FALSE(doc->SaveSoundFile(dir + L"six.mp3"));
  EXPECT_EQ(Messages(),
            std::vector<std::wstring>{L"MP3 encoding error: Incorrect number of channels in the file"});
  EXPECT_FALSE(Exists(dir + L"six.mp3"));
  EXPECT_EQ(doc->modified, 1);
  EXPECT_FALSE(doc->SaveSoundFile(dir + L"six.qpk"));
  EXPECT_FALSE(Exists(dir + L"six.qpk"));
  ASSERT_TRUE(doc->SaveSoundFile(dir + L"copy.wav"));
  EXPECT_EQ(ReadBytes(dir + L"copy.wav"), WavHeader44(6, 8000, 6000) + pcm);
}

// Names the OEM code page cannot spell reach the decoder by their short names.
TEST_F(SaveTest, Mp3NamedOutsideTheOemCodePage) {
  LoadTrack(L"tone", 1, 44100, Tone(44100, 1));
  const std::wstring name = dir + L"\u4e2d\u6587 lesson.mp3";
  ASSERT_TRUE(doc->SaveSoundFile(name));
  ASSERT_TRUE(doc->LoadSoundFile(name));
  EXPECT_GE(doc->sourceDataSize / 2, 44100u);
}

// A package named outside every 8-bit code page keeps its entry names: stored in UTF-8 with the
// language-encoding flag (bit 11) on every entry, read back as they were given; plain ASCII names
// stay as they are, without the flag.
TEST_F(SaveTest, PackageEntryNamesOutsideTheCodePages) {
  MakeTrack({4410});
  doc->GetChunk(0)->text = L"t";
  doc->textsPresent = 1;
  for (const std::wstring base :
       {std::wstring(L"Pr\u00fcfung \u2014 \u97f3\u58f0"), std::wstring(L"plain")}) {
    SCOPED_TRACE(testing::PrintToString(base));
    ASSERT_TRUE(doc->SaveSoundFile(dir + base + L".qpk"));
    const auto entries = PackageEntries(dir + base + L".qpk", doc->tempFolder);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].first, base + L".txt");
    EXPECT_EQ(entries[1].first, base + L".mpa");
    EXPECT_EQ(entries[2].first, base + L".cif");
    const Bytes zip = ReadBytes(dir + base + L".qpk");
    const bool utf8 = base != L"plain";
    EXPECT_EQ((uint8_t(zip[7]) & 0x08) != 0, utf8) << "the first local header's flags";
    const size_t central = zip.find(Bytes("PK\x01\x02", 4));
    ASSERT_NE(central, Bytes::npos);
    EXPECT_EQ((uint8_t(zip[central + 9]) & 0x08) != 0, utf8) << "the first central record's flags";
  }
}

// Without LAME_ENC.DLL (the library gives no calls) an MP3 or package save says the encoder is
// missing, and a WAV save still works.
TEST_F(SaveTest, MissingEncoderLibrarySaysSo) {
  static const LameEncCalls kNoLibrary = {};
  g_pLameEncCalls = &kNoLibrary;
  LoadTrack(L"m", 1, 44100, Tone(4410, 1));
  for (const wchar_t* name : {L"m.mp3", L"m.qpk"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
    prompts.Clear();
    doc->modified = 1;
    EXPECT_FALSE(doc->SaveSoundFile(dir + name));
    const std::vector<std::wstring> messages = Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind(L"MP3 encoding error: ", 0), 0u) << messages[0];
    EXPECT_NE(messages[0].find(L"LAME_ENC.DLL is missing"), std::wstring::npos) << messages[0];
    EXPECT_FALSE(Exists(dir + name));
    EXPECT_EQ(doc->modified, 1);
  }
  EXPECT_TRUE(doc->SaveSoundFile(dir + L"m2.wav"));
  g_pLameEncCalls = nullptr;
}

// The encoder failing on a piece, or at its flush, fails the save: code 2 with its message, no
// MP3 left, the stream closed once.
TEST_F(SaveTest, EncoderFailureMidStream) {
  static int failAtEncode, failFlush, encodes, closes;
  static const LameEncCalls wrapped = {
      [](const LameEncConfig* config, uint32_t* perCall, uint32_t* size, LameEncStream* stream) {
        return LameEncLibrary().open(config, perCall, size, stream);
      },
      [](LameEncStream stream, uint32_t n, const int16_t* samples, uint8_t* out, uint32_t* produced) {
        if (++encodes == failAtEncode) return uint32_t(LAMEENC_ERR_ENCODE);
        return LameEncLibrary().encode(stream, n, samples, out, produced);
      },
      [](LameEncStream stream, uint8_t* out, uint32_t* produced) {
        return failFlush ? uint32_t(LAMEENC_ERR_ENCODE) : LameEncLibrary().flush(stream, out, produced);
      },
      [](LameEncStream stream) {
        ++closes;
        return LameEncLibrary().close(stream);
      },
  };
  g_pLameEncCalls = &wrapped;
  LoadTrack(L"e", 1, 44100, Tone(44100, 1));
  for (auto [encode, flush] : {std::pair{5, 0}, std::pair{0, 1}}) {
    SCOPED_TRACE(encode ? "encode fails" : "flush fails");
    failAtEncode = encode;
    failFlush = flush;
    encodes = closes = 0;
    prompts.Clear();
    doc->modified = 1;
    EXPECT_FALSE(doc->SaveSoundFile(dir + L"e.mp3"));
    EXPECT_EQ(Messages(), std::vector<std::wstring>{
                              L"MP3 encoding error: Bad format reported during encoder initialization"});
    EXPECT_EQ(closes, 1);
    if (encode) {
      EXPECT_EQ(encodes, encode) << "encoding went on after a failure";
    }
    EXPECT_FALSE(Exists(dir + L"e.mp3"));
    EXPECT_FALSE(Exists(dir + L"e.mp3.saving"));
    EXPECT_EQ(doc->modified, 1);
  }
  g_pLameEncCalls = nullptr;
}

TEST_F(SaveTest, PackageAddFailureLeavesNothingBehind) {
  static int failAt;
  static int calls;
  g_pfnSoundZipAdd = [](ZipHandle* zip, const wchar_t* name, const void* source, uint32_t length,
                        uint32_t kind) {
    return ++calls == failAt ? ZR_READWRITE : ZipAdd(zip, name, source, length, kind);
  };
  // With texts the adds are: 1 the texts, 2 the sound, 3 the chunk table.
  for (int fail : {1, 2, 3}) {
    SCOPED_TRACE(fail);
    failAt = fail;
    calls = 0;
    prompts.Clear();
    doc->FreeAllChunks();
    MakeTrack({4410, 4410});
    doc->GetChunk(0)->text = L"t";
    doc->textsPresent = 1;
    doc->modified = 1;
    EXPECT_FALSE(doc->SaveSoundFile(dir + L"p.qpk"));
    EXPECT_EQ(Messages().size(), 1u);
    EXPECT_EQ(doc->modified, 1);
    EXPECT_FALSE(Exists(dir + L"p.qpk"));
    EXPECT_FALSE(Exists(dir + L"p.qpk.saving"));
    // The sound was encoded into the track's temp folder, never beside the package, and is gone.
    EXPECT_FALSE(Exists(dir + L"p.mpa"));
    EXPECT_EQ(FolderNames(dir), std::vector<std::wstring>{}) << "nothing is left beside the package";
    EXPECT_EQ(FolderNames(doc->tempFolder, L"~qm"), std::vector<std::wstring>{});
  }
}

TEST_F(SaveTest, TextsThatCannotBeWrittenFailTheSave) {
  MakeTrack({100});
  doc->textsPresent = 1;
  doc->modified = 1;
  ASSERT_TRUE(CreateDirectoryW((dir + L"x.txt").c_str(), nullptr));  // a folder where the file goes
  EXPECT_FALSE(doc->SaveSoundFile(dir + L"x.wav"));
  EXPECT_EQ(Messages(), std::vector<std::wstring>{std::wstring(GetEditionName()) +
                                                  L": Could not write the chunk texts file"});
  EXPECT_EQ(doc->modified, 1);
  EXPECT_EQ(ReadBytes(dir + L"x.wav"), WavHeader44(1, 44100, 200) + Pcm16(100))
      << "the sound is saved all the same";
}

// Saving over the WAV the track has open: the file is replaced while closed and the track reads
// the new one, its chunks where the save put them.
TEST_F(SaveTest, SaveOverTheOpenSourceWav) {
  const Bytes pcm = Pcm16(8000);
  LoadTrack(L"own", 1, 8000, pcm, {500, 500, 0, 500});  // the second half, then the first
  ASSERT_EQ(doc->GetChunkCount(), 2);
  ASSERT_TRUE(doc->SaveSoundFile(dir + L"own.wav"));
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(ReadBytes(dir + L"own.wav"),
            WavHeader44(1, 8000, 16000) + pcm.substr(8000) + pcm.substr(0, 8000));
  ASSERT_NE(doc->sourceWav, nullptr);
  EXPECT_EQ(doc->sourceDataOffset, 44u);
  EXPECT_EQ(doc->sourceDataSize, 16000u);
  EXPECT_EQ(doc->GetChunk(0)->start, 0u);
  EXPECT_EQ(doc->GetChunk(1)->start, 4000u);
  doc->SelectChunk(1);
  EXPECT_EQ(ChunkBytes(1), pcm.substr(0, 8000));
  doc->SelectChunk(0);
  EXPECT_EQ(ChunkBytes(0), pcm.substr(8000));
}

TEST_F(SaveTest, SaveThreadRecordsItsResult) {
  MakeTrack({100});
  for (const std::wstring& path : {dir + L"ok.wav", dir + L"missing\\no.wav"}) {
    const bool ok = path == dir + L"ok.wav";
    doc->lastSaveResult = -1;
    Codes();
    prompts.Clear();
    ASSERT_TRUE(doc->StartSaveThread(path));
    ASSERT_NE(doc->saveThread, nullptr);
    ASSERT_EQ(WaitForSingleObject(doc->saveThread, 10000), WAIT_OBJECT_0);
    doc->CloseSaveThread();
    const std::vector<int> codes = Codes();
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.back(), int(NOTIFY_SAVED));
    EXPECT_EQ(doc->lastSaveResult.load(), ok ? 1 : 0);
    // No box on the save thread: the failure waits for the track's owner, told by NOTIFY_SAVED.
    EXPECT_TRUE(prompts.Asked().empty());
    EXPECT_EQ(doc->TakeReports().empty(), ok);
  }
}

// A save that fails leaves the file it was to replace, and its ".txt", byte for byte, and
// nothing else beside them.
TEST_F(SaveTest, FailedSaveLeavesTheTargetAsItWas) {
  for (const wchar_t* name : {L"old.wav", L"old.mp3", L"old.qpk"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
    const Bytes mine = "the user's own file, not to be touched", myTexts =
                                                                     "\xFF\xFE"
                                                                     "a\0\r\0\n\0";
    WriteBytes(dir + name, mine);
    WriteBytes(dir + L"old.txt", myTexts);
    const std::vector<std::wstring> before = FolderNames(dir);
    doc->FreeAllChunks();
    MakeTrack({4410, 4410});
    doc->GetChunk(0)->text = L"new text";
    doc->textsPresent = 1;
    doc->currentChunk = 0;
    LoseChunkFile(1);  // the save fails half-way through the sound
    EXPECT_FALSE(doc->SaveSoundFile(dir + name));
    EXPECT_EQ(ReadBytes(dir + name), mine);
    EXPECT_EQ(ReadBytes(dir + L"old.txt"), myTexts);
    EXPECT_EQ(FolderNames(dir), before);
    EXPECT_EQ(FolderNames(doc->tempFolder, L"~qm"), std::vector<std::wstring>{});
    DeleteFileW((dir + name).c_str());
    DeleteFileW((dir + L"old.txt").c_str());
  }
}

// A package's MP3 is made in the track's temp folder: a "lesson.mpa" of the user's beside the
// package is neither overwritten nor deleted.
TEST_F(SaveTest, PackageSaveLeavesAnMpaBesideItAlone) {
  const Bytes mine = "my own lesson.mpa";
  WriteBytes(dir + L"lesson.mpa", mine);
  MakeTrack({22050});
  ASSERT_TRUE(doc->SaveSoundFile(dir + L"lesson.qpk"));
  EXPECT_EQ(ReadBytes(dir + L"lesson.mpa"), mine);
  EXPECT_EQ(FolderNames(dir), (std::vector<std::wstring>{L"lesson.mpa", L"lesson.qpk"}));
  EXPECT_EQ(FolderNames(doc->tempFolder, L"~qm"), std::vector<std::wstring>{});
  const auto entries = PackageEntries(dir + L"lesson.qpk", doc->tempFolder);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].first, L"lesson.mpa");
  EXPECT_NE(entries[0].second, mine);
}

TEST_F(SaveTest, PathsTheLoaderWouldRefuse) {
  const std::wstring temp = L"C:\\temp\\Quillmeridian\\TempSnd\\Master0\\";  // 38 characters
  const std::wstring folder = L"C:\\lessons\\";
  struct Case {
    std::wstring path;
    bool fits;
  };
  const std::vector<Case> cases = {
      {folder + L"a.qpk", true},
      {folder + L"a.wav", true},
      {folder + std::wstring(259 - 11 - 4, L'x') + L".wav", true},   // 259 characters
      {folder + std::wstring(260 - 11 - 4, L'x') + L".wav", false},  // 260
      {folder + std::wstring(259 - 38 - 4, L'x') + L".qpk", true},   // its WAV in the temp folder: 259
      {folder + std::wstring(260 - 38 - 4, L'x') + L".qpk", false},  // 260
      {folder + std::wstring(260 - 38 - 4, L'x') + L".mp3", false},
      {folder + std::wstring(260 - 38 - 4, L'x') + L".wav", true},  // a WAV is not decoded
      {folder + L"noextension", false},
      {L"relative.mp3", false},  // the loader needs the MP3's folder
  };
  for (const Case& c : cases)
    EXPECT_EQ(FitsTheLoader(c.path, temp), c.fits) << testing::PrintToString(c.path);

  // Refused before anything is written.
  MakeTrack({100});
  doc->modified = 1;
  const std::wstring longName = dir + std::wstring(300 - dir.size(), L'y') + L".qpk";
  EXPECT_FALSE(doc->SaveSoundFile(longName));
  EXPECT_EQ(Messages(), std::vector<std::wstring>{std::wstring(GetEditionName()) +
                                                  L": The path is too long to be opened again"});
  EXPECT_EQ(doc->modified, 1);
  EXPECT_EQ(FolderNames(dir), std::vector<std::wstring>{});
}

// Bytes per second is the rate times the block align, whatever the loaded file said.
TEST_F(SaveTest, BytesPerSecondIsComputed) {
  Bytes wav = CanonicalWav(2, 22050, Pcm16(200));
  wav.replace(28, 4, Bytes("\x39\x30\0\0", 4));  // 12,345
  WriteBytes(dir + L"odd.wav", wav);
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"odd.wav"));
  ASSERT_TRUE(doc->SaveSoundFile(dir + L"fixed.wav"));
  EXPECT_EQ(ReadBytes(dir + L"fixed.wav"), WavHeader44(2, 22050, 400) + Pcm16(200));
}

// Saved as a package and opened again three times, the sound stays where its bookmarks are: the
// decoded sound lines up with the original at lag 0 and the chunks keep their starts.
TEST_F(SaveTest, PackageCyclesDoNotMoveTheSound) {
  for (uint32_t rate : {8000u, 22050u, 44100u, 48000u}) {
    SCOPED_TRACE(rate);
    // Tone bursts over noise: one clear peak of the cross-correlation.
    const uint32_t frames = 2 * rate;
    std::vector<int16_t> original(frames);
    uint32_t seed = 12345;
    for (uint32_t i = 0; i < frames; ++i) {
      seed = seed * 1103515245u + 12345u;
      const double burst = (i / (rate / 7)) % 2 ? 1.0 : 0.2;
      original[i] =
          int16_t(6000 * burst * std::sin(2 * M_PI * 300.0 * i / rate) + int32_t(seed >> 16) % 3000 - 1500);
    }
    const Bytes pcm(reinterpret_cast<const char*>(original.data()), original.size() * 2);
    LoadTrack(L"cycle", 1, rate, pcm, {0, 500, 500, 1500});
    for (int cycle = 0; cycle < 3; ++cycle) {
      ASSERT_TRUE(doc->SaveSoundFile(dir + L"cycle.qpk"));
      ASSERT_TRUE(doc->LoadSoundFile(dir + L"cycle.qpk"));
    }
    ASSERT_EQ(doc->GetChunkCount(), 2);
    EXPECT_EQ(doc->GetChunk(1)->start, rate / 2);
    const Bytes decoded = ReadBytes(std::wstring(doc->tempFolder) + L"cycle.wav").substr(44);
    ASSERT_GE(decoded.size(), pcm.size());
    const auto* got = reinterpret_cast<const int16_t*>(decoded.data());
    const uint32_t from = rate / 2, window = rate / 2;
    int bestLag = 0;
    double best = -1e300;
    for (int lag = -300; lag <= 300; ++lag) {
      double sum = 0;
      for (uint32_t i = from; i < from + window; ++i) sum += double(original[i]) * got[int(i) + lag];
      if (sum > best) best = sum, bestLag = lag;
    }
    EXPECT_EQ(bestLag, 0) << "samples of drift after three cycles";
  }
}

// A plain MP3 of our own opens again with the samples that were saved, cycle after cycle, as a
// package does: its Info frame tells the frame count and the padding to cut.
TEST_F(SaveTest, PlainMp3CyclesKeepTheLength) {
  struct Case {
    uint32_t rate;
    uint16_t channels;
    uint32_t frames;
  };
  for (const Case& c : {Case{8000, 1, 64000}, Case{48000, 1, 384000}, Case{44100, 2, 44100 + 17}}) {
    SCOPED_TRACE(c.rate);
    LoadTrack(L"plain", c.channels, c.rate, Tone(c.frames, c.channels, c.rate));
    for (int cycle = 0; cycle < 3; ++cycle) {
      SCOPED_TRACE(cycle);
      ASSERT_TRUE(doc->SaveSoundFile(dir + L"plain.mp3"));
      ASSERT_TRUE(doc->LoadSoundFile(dir + L"plain.mp3"));
      EXPECT_EQ(doc->sourceDataSize / doc->wavHeader.blockAlign, c.frames);
    }
  }
}
