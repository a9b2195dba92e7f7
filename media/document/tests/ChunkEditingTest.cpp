// Chunk editing on real files: bookmarks split and merge chunks of a source WAV and chunks with
// PCM of their own, a cut rewrites the source WAV in place, and whole mode puts the bookmarks
// aside and brings them back.
#include <algorithm>
#include <cstring>

#include "media/document/tests/DocumentTestSupport.h"
#include "media/soundfile/SoundFile.h"
#include "tests/support/TestFiles.h"

namespace {

void Put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}
void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}
void PutTag(std::vector<uint8_t>& v, const char* tag) {
  for (int i = 0; i < 4; ++i) v.push_back(uint8_t(tag[i]));
}

// A PCM WAV: 36-byte header, "data" (with its pad byte when odd), then `tail` as it is.
std::vector<uint8_t> BuildWav(uint16_t channels, uint16_t bits, const std::vector<uint8_t>& pcm,
                              const std::vector<uint8_t>& tail) {
  std::vector<uint8_t> w;
  const uint16_t align = uint16_t(channels * bits / 8);
  PutTag(w, "RIFF");
  Put32(w, 0);
  PutTag(w, "WAVE");
  PutTag(w, "fmt ");
  Put32(w, 16);
  Put16(w, 1);
  Put16(w, channels);
  Put32(w, 44100);
  Put32(w, 44100 * align);
  Put16(w, align);
  Put16(w, bits);
  PutTag(w, "data");
  Put32(w, uint32_t(pcm.size()));
  w.insert(w.end(), pcm.begin(), pcm.end());
  if (pcm.size() & 1) w.push_back(0);
  w.insert(w.end(), tail.begin(), tail.end());
  const uint32_t riff = uint32_t(w.size() - 8);
  memcpy(&w[4], &riff, 4);
  return w;
}

std::vector<uint8_t> ListChunk() {
  std::vector<uint8_t> t;
  PutTag(t, "LIST");
  Put32(t, 14);
  PutTag(t, "INFO");
  PutTag(t, "ICMT");
  Put32(t, 2);
  t.push_back('h');
  t.push_back('i');
  return t;
}

// PCM bytes that differ from frame to frame, so a wrong move shows.
std::vector<uint8_t> Pcm(uint32_t bytes) {
  std::vector<uint8_t> p(bytes);
  for (uint32_t i = 0; i < bytes; ++i) p[i] = uint8_t(i * 7 + (i >> 8));
  return p;
}

}  // namespace

class ChunkEditingTest : public DocumentTest {
 protected:
  void TearDown() override {
    if (doc && doc->sourceWav) {
      CloseHandle(doc->sourceWav);
      doc->sourceWav = nullptr;
    }
    if (!wavPath.empty()) DeleteFileW(wavPath.c_str());
    DocumentTest::TearDown();
  }

  // Writes the WAV and opens it as the document's source, as the loader leaves it.
  void OpenSource(const std::vector<uint8_t>& wav) {
    if (doc->sourceWav) CloseHandle(doc->sourceWav);
    wchar_t path[MAX_PATH];
    GetTempFileNameW(doc->tempFolder, L"Src", 0, path);
    wavPath = path;
    HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD put = 0;
    WriteFile(f, wav.data(), DWORD(wav.size()), &put, nullptr);
    CloseHandle(f);
    doc->sourceWav =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(doc->sourceWav, INVALID_HANDLE_VALUE);
    memcpy(&doc->wavHeader, wav.data(), 36);
    doc->sourceDataOffset = 44;
    memcpy(&doc->sourceDataSize, &wav[40], 4);
  }
  void OpenMonoSource(uint32_t frames) { OpenSource(BuildWav(1, 16, Pcm(frames * 2), {})); }

  CChunkInfo* AddSourceChunk(uint32_t start, uint32_t frames, const wchar_t* text = L"") {
    auto* chunk = new CChunkInfo;
    chunk->start = start;
    chunk->frames = frames;
    chunk->text = text;
    doc->chunks.push_back(chunk);
    return chunk;
  }
  std::vector<std::pair<uint32_t, uint32_t>> Layout(const std::vector<CChunkInfo*>& list) const {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const CChunkInfo* c : list) out.emplace_back(c->start, c->frames);
    return out;
  }
  std::vector<std::wstring> Texts() const {
    std::vector<std::wstring> out;
    for (const CChunkInfo* c : doc->chunks) out.push_back(c->text);
    return out;
  }
  std::vector<int16_t> FileSamples(const CChunkInfo* chunk) const {
    const auto bytes = ReadFileBytes<std::vector<uint8_t>>(std::wstring(doc->tempFolder) + chunk->fileName);
    std::vector<int16_t> s(bytes.size() / 2);
    if (!s.empty()) memcpy(s.data(), bytes.data(), s.size() * 2);
    return s;
  }
  static std::vector<int16_t> Counting(int16_t first, int16_t last) {
    std::vector<int16_t> s;
    for (int v = first; v <= last; ++v) s.push_back(int16_t(v));
    return s;
  }

  std::wstring wavPath;
};

TEST_F(ChunkEditingTest, InsertBookmarkRefusals) {
  struct Case {
    const char* name;
    bool whole, chunk;
    uint32_t cursor;
    bool result;
  };
  const std::vector<Case> cases = {
      {"whole mode", true, true, 500, true},
      {"no current chunk", false, false, 500, false},
      {"cursor at frame 0", false, true, 0, false},
      {"cursor at the end", false, true, 1000, false},
      {"cursor past the end", false, true, 4000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    doc->FreeAllChunks();
    Codes();
    if (c.chunk) {
      AddChunk(1000);
      doc->currentChunk = 0;
    }
    doc->wholeMode = c.whole;
    doc->cursorFrame = c.cursor;
    doc->modified = 0;
    EXPECT_EQ(doc->InsertBookmark(), c.result);
    EXPECT_EQ(doc->GetChunkCount(), c.chunk ? 1 : 0);
    EXPECT_EQ(doc->modified, 0);
    EXPECT_TRUE(Codes().empty());
    doc->wholeMode = false;
  }
}

TEST_F(ChunkEditingTest, SplitAndMergeSourceChunksWithTexts) {
  OpenMonoSource(4000);
  AddSourceChunk(0, 1000, L"ab");
  AddSourceChunk(1000, 1000, L"cd");
  AddSourceChunk(2000, 2000, L"ef");
  doc->currentChunk = 1;
  doc->cursorFrame = 400;

  ASSERT_TRUE(doc->InsertBookmark());
  EXPECT_EQ(Layout(doc->chunks),
            (std::vector<std::pair<uint32_t, uint32_t>>{{0, 1000}, {1000, 400}, {1400, 600}, {2000, 2000}}));
  EXPECT_EQ(Texts(), (std::vector<std::wstring>{L"ab", L"cd", L"", L"ef"}));
  EXPECT_EQ(doc->currentChunk.load(), 1);
  EXPECT_EQ(doc->cursorFrame.load(), 0u);
  EXPECT_EQ(doc->modified, 1);
  EXPECT_EQ(Codes(), std::vector<int>{NOTIFY_CHUNK_IDLE});

  // Splits that do not fit change nothing; a split before the current chunk moves its index.
  EXPECT_FALSE(doc->SplitChunk(1, 400));
  EXPECT_FALSE(doc->SplitChunk(1, 4000));
  EXPECT_FALSE(doc->SplitChunk(-1, 10));
  EXPECT_FALSE(doc->SplitChunk(9, 10));
  EXPECT_EQ(doc->GetChunkCount(), 4);
  EXPECT_TRUE(doc->SplitChunk(0, 250));
  EXPECT_EQ(doc->currentChunk.load(), 2);
  EXPECT_EQ(doc->GetChunk(2)->text, L"cd");

  // Merges: the texts are joined and the cursor and selection sit at the old boundary.
  doc->modified = 0;
  Codes();
  doc->RemoveBookmark(2);
  EXPECT_EQ(Layout(doc->chunks),
            (std::vector<std::pair<uint32_t, uint32_t>>{{0, 250}, {250, 750}, {1000, 1000}, {2000, 2000}}));
  EXPECT_EQ(Texts(), (std::vector<std::wstring>{L"ab", L"", L"cd", L"ef"}));
  EXPECT_EQ(doc->currentChunk.load(), 2);
  EXPECT_EQ(doc->cursorFrame.load(), 400u);
  EXPECT_EQ(doc->selectionStartFrame, 400u);
  EXPECT_EQ(doc->modified, 1);
  EXPECT_EQ(Codes(), (std::vector<int>{NOTIFY_CHUNK_IDLE, NOTIFY_CHUNK_IDLE}));

  for (int index : {-1, 3, 7}) doc->RemoveBookmark(index);  // the last chunk has no next
  EXPECT_EQ(doc->GetChunkCount(), 4);
  for (int i = 0; i < 3; ++i) doc->RemoveBookmark(0);
  EXPECT_EQ(Layout(doc->chunks), (std::vector<std::pair<uint32_t, uint32_t>>{{0, 4000}}));
  EXPECT_EQ(Texts(), std::vector<std::wstring>{L"abcdef"});
  doc->RemoveBookmark(0);  // one chunk: nothing
  EXPECT_EQ(doc->GetChunkCount(), 1);
}

TEST_F(ChunkEditingTest, MergingAcrossAGapKeepsTheFramesOfBothChunks) {
  OpenMonoSource(1000);
  AddSourceChunk(0, 100);
  AddSourceChunk(150, 100);
  doc->RemoveBookmark(0);
  EXPECT_EQ(Layout(doc->chunks), (std::vector<std::pair<uint32_t, uint32_t>>{{0, 250}}));
  EXPECT_EQ(doc->cursorFrame.load(), 100u);
}

// A recorded chunk lives only in memory and its own temp file: a Ctrl+click split keeps both
// halves of its PCM, and removing the bookmark joins them again.
TEST_F(ChunkEditingTest, RecordedChunkIsSplitAndMergedWithItsPcm) {
  AddChunk(1000, 0);  // in memory, never saved
  doc->currentChunk = 0;
  doc->cursorFrame = 400;
  ASSERT_TRUE(doc->InsertBookmark());
  ASSERT_EQ(doc->GetChunkCount(), 2);
  CChunkInfo* first = doc->GetChunk(0);
  CChunkInfo* second = doc->GetChunk(1);
  EXPECT_EQ(first->frames, 400u);
  EXPECT_EQ(ChunkSamples(first), Counting(0, 399));
  EXPECT_EQ(second->frames, 600u);
  EXPECT_NE(second->fileName[0], 0);
  EXPECT_EQ(second->buffer, nullptr);
  EXPECT_EQ(FileSamples(second), Counting(400, 999));

  doc->SelectChunk(1);
  EXPECT_EQ(FileSamples(first), Counting(0, 399));
  EXPECT_EQ(ChunkSamples(second), Counting(400, 999));

  const std::wstring secondFile = std::wstring(doc->tempFolder) + second->fileName;
  doc->RemoveBookmark(0);
  ASSERT_EQ(doc->GetChunkCount(), 1);
  EXPECT_EQ(doc->GetChunk(0)->frames, 1000u);
  EXPECT_EQ(ChunkSamples(doc->GetChunk(0)), Counting(0, 999));
  EXPECT_EQ(FileSamples(doc->GetChunk(0)), Counting(0, 999));
  EXPECT_EQ(GetFileAttributesW(secondFile.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(doc->cursorFrame.load(), 400u);
}

// A Ctrl+click while recording stops the capture; blocks still on their way must not land at
// the end of the first half.
TEST_F(ChunkEditingTest, SplitDuringRecordingDropsBlocksInFlight) {
  AddChunk(1000, 0);
  doc->SelectChunk(0);
  doc->ToggleRecording();
  doc->OnSoundIn(MakeFloatBlock(1, std::vector<float>(100, 0.0f)));
  ASSERT_EQ(doc->GetChunk(0)->frames, 1100u);
  doc->cursorFrame = 400;
  ASSERT_TRUE(doc->InsertBookmark());
  EXPECT_FALSE(doc->recording);
  doc->OnSoundIn(MakeFloatBlock(1, std::vector<float>(100, 0.0f)));
  doc->OnSoundIn(nullptr);  // the end of the recording reaches the worker later
  EXPECT_EQ(doc->GetChunk(0)->frames, 400u);
  EXPECT_EQ(doc->GetChunk(0)->used, 800u);
  EXPECT_EQ(doc->GetChunk(1)->frames, 700u);
  EXPECT_EQ(FileSamples(doc->GetChunk(1)).size(), 700u);
}

TEST_F(ChunkEditingTest, MergeOfASourceChunkWithARecordedOneIsRefused) {
  OpenMonoSource(1000);
  AddSourceChunk(0, 1000, L"a");
  CChunkInfo* recorded = AddChunk(300, 5);
  recorded->text = L"b";
  doc->RemoveBookmark(0);
  ASSERT_EQ(doc->GetChunkCount(), 2);
  EXPECT_EQ(ChunkSamples(doc->GetChunk(1)), Counting(5, 304));
  EXPECT_EQ(Texts(), (std::vector<std::wstring>{L"a", L"b"}));
}

// The cut moves the data after it down, keeps what follows the "data" chunk, and sets the data
// size and the RIFF size from what is left.
TEST_F(ChunkEditingTest, DeleteSelectionRewritesTheSourceWav) {
  struct Case {
    const char* name;
    uint16_t channels, bits;
    uint32_t frames;  // of the source; chunks of a third each
    bool list;        // a LIST chunk after the data
    uint32_t selection, cursor;
    uint32_t cutFrom, cutTo;  // in frames of the middle chunk
  };
  const std::vector<Case> cases = {
      {"mono 16-bit", 1, 16, 3000, false, 100, 300, 100, 300},
      {"with a LIST chunk", 1, 16, 3000, true, 100, 300, 100, 300},
      {"stereo with a LIST chunk", 2, 16, 3000, true, 10, 990, 10, 990},
      {"8-bit, odd data size stays odd", 1, 8, 3003, true, 10, 210, 10, 210},
      {"8-bit, odd data size becomes even", 1, 8, 3003, true, 10, 211, 10, 211},
      {"end past the chunk: up to its last frame - 1", 1, 16, 3000, true, 900, 5000, 900, 999},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    doc->FreeAllChunks();
    const uint32_t align = c.channels * c.bits / 8;
    const std::vector<uint8_t> pcm = Pcm(c.frames * align);
    const std::vector<uint8_t> tail = c.list ? ListChunk() : std::vector<uint8_t>{};
    OpenSource(BuildWav(c.channels, c.bits, pcm, tail));
    const uint32_t third = c.frames / 3;
    AddSourceChunk(0, third);
    AddSourceChunk(third, third);
    AddSourceChunk(2 * third, c.frames - 2 * third);
    doc->currentChunk = 1;
    doc->selectionStartFrame = c.selection;
    doc->cursorFrame = c.cursor;
    doc->audioChanged = 0;

    ASSERT_TRUE(doc->DeleteSelection());
    const uint32_t n = c.cutTo - c.cutFrom;
    std::vector<uint8_t> left = pcm;
    left.erase(left.begin() + (third + c.cutFrom) * align, left.begin() + (third + c.cutTo) * align);
    const std::vector<uint8_t> expected = BuildWav(c.channels, c.bits, left, tail);
    CloseHandle(doc->sourceWav);
    doc->sourceWav = nullptr;
    const std::vector<uint8_t> actual = ReadFileBytes<std::vector<uint8_t>>(wavPath);
    ASSERT_EQ(actual.size(), expected.size());
    EXPECT_TRUE(actual == expected) << "file bytes differ";
    uint32_t riff = 0, data = 0;
    memcpy(&riff, &actual[4], 4);
    memcpy(&data, &actual[40], 4);
    EXPECT_EQ(riff, actual.size() - 8);
    EXPECT_EQ(data, (c.frames - n) * align);
    EXPECT_EQ(doc->wavHeader.riffSize, riff);
    EXPECT_EQ(doc->sourceDataSize, data);
    EXPECT_EQ(Layout(doc->chunks),
              (std::vector<std::pair<uint32_t, uint32_t>>{
                  {0, third}, {third, third - n}, {2 * third - n, c.frames - 2 * third}}));
    EXPECT_EQ(doc->audioChanged, 1u);
    EXPECT_EQ(doc->selectionStartFrame, doc->cursorFrame.load());
    EXPECT_LE(doc->cursorFrame.load(), third - n);
  }
}

TEST_F(ChunkEditingTest, DeleteSelectionRefusals) {
  struct Case {
    const char* name;
    bool source;
    bool recorded;  // the current chunk has a file of its own
    bool readOnly;  // the file cannot be written: the cut fails and says so
    uint32_t selection, cursor;
    uint32_t selectionAfter;
  };
  const std::vector<Case> cases = {
      {"no source WAV", false, false, false, 10, 20, 10},
      {"selection start at the chunk's end", true, false, false, 1000, 20, 20},
      {"empty selection", true, false, false, 300, 300, 300},
      {"reversed selection", true, false, false, 300, 100, 300},
      {"recorded chunk", true, true, false, 10, 20, 10},
      {"source opened for reading only", true, false, true, 10, 20, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    doc->FreeAllChunks();
    const std::vector<uint8_t> wav = BuildWav(1, 16, Pcm(2000), ListChunk());
    OpenSource(wav);
    if (!c.source || c.readOnly) {
      CloseHandle(doc->sourceWav);
      doc->sourceWav = nullptr;
    }
    if (c.readOnly)
      doc->sourceWav =
          CreateFileW(wavPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (c.recorded)
      AddChunk(1000);
    else
      AddSourceChunk(0, 1000);
    doc->currentChunk = 0;
    doc->selectionStartFrame = c.selection;
    doc->cursorFrame = c.cursor;
    EXPECT_FALSE(doc->DeleteSelection());
    EXPECT_EQ(doc->selectionStartFrame, c.selectionAfter);
    EXPECT_EQ(doc->GetChunk(0)->frames, 1000u);
    EXPECT_EQ(doc->audioChanged, 0u);
    EXPECT_EQ(doc->sourceDataSize, 2000u);
    if (doc->sourceWav) CloseHandle(doc->sourceWav);
    doc->sourceWav = nullptr;
    EXPECT_TRUE(ReadFileBytes<std::vector<uint8_t>>(wavPath) == wav);
  }
}

TEST_F(ChunkEditingTest, WholeModeRoundTripRestoresTheSameChunks) {
  OpenMonoSource(3000);
  AddSourceChunk(0, 1000, L"one");
  AddSourceChunk(1000, 1000, L"two");
  AddSourceChunk(2000, 1000, L"three");
  const std::vector<CChunkInfo*> bookmarks = doc->chunks;
  doc->currentChunk = 1;
  doc->modified = 1;  // bookmarks edited before whole mode

  doc->SetWholeMode(true);
  EXPECT_TRUE(doc->wholeMode);
  EXPECT_EQ(Layout(doc->chunks), (std::vector<std::pair<uint32_t, uint32_t>>{{0, 3000}}));
  EXPECT_EQ(doc->currentChunk.load(), 0);
  EXPECT_EQ(doc->asideChunks, bookmarks);
  EXPECT_EQ(doc->framesPerPixel, 64u);
  EXPECT_EQ(doc->modified, 1) << "whole mode must not hide edits from saving";
  std::vector<int> codes = Codes();
  EXPECT_EQ(codes.back(), NOTIFY_LOADED);
  EXPECT_NE(doc->GetChunk(0)->buffer, nullptr);

  CChunkInfo* whole = doc->GetChunk(0);
  doc->SetWholeMode(true);  // again: nothing
  EXPECT_EQ(doc->GetChunk(0), whole);
  EXPECT_TRUE(Codes().empty());

  doc->SetWholeMode(false);
  EXPECT_FALSE(doc->wholeMode);
  EXPECT_EQ(doc->chunks, bookmarks);
  EXPECT_TRUE(doc->asideChunks.empty());
  EXPECT_EQ(Texts(), (std::vector<std::wstring>{L"one", L"two", L"three"}));
  EXPECT_EQ(doc->currentChunk.load(), 0);
  codes = Codes();
  EXPECT_EQ(codes.back(), NOTIFY_LOADED);
  doc->SetWholeMode(false);
  EXPECT_EQ(doc->chunks, bookmarks);
  EXPECT_TRUE(Codes().empty());

  // The loader's whole chunk is a fresh load: not modified.
  doc->modified = 1;
  ASSERT_TRUE(doc->MakeWholeChunk());
  EXPECT_EQ(doc->modified, 0);
  EXPECT_EQ(Layout(doc->chunks), (std::vector<std::pair<uint32_t, uint32_t>>{{0, 3000}}));
}

TEST_F(ChunkEditingTest, WholeModeWithoutASourceKeepsRecordingsAndAnEmptyListHasNoCurrent) {
  AddChunk(500, 0);  // a recording in memory only
  CChunkInfo* recorded = AddChunk(200, 1000);
  doc->currentChunk = 1;

  doc->SetWholeMode(true);
  EXPECT_TRUE(doc->chunks.empty());
  EXPECT_EQ(doc->currentChunk.load(), -1);
  EXPECT_EQ(doc->GetCurrentChunk(), nullptr);
  EXPECT_EQ(FileSamples(recorded), Counting(1000, 1199)) << "the unsaved recording was dropped";

  doc->SetWholeMode(false);
  ASSERT_EQ(doc->GetChunkCount(), 2);
  EXPECT_EQ(doc->currentChunk.load(), 0);
  doc->SelectChunk(1);
  EXPECT_EQ(ChunkSamples(doc->GetChunk(1)), Counting(1000, 1199));

  // Off with nothing put aside.
  doc->FreeAllChunks();
  doc->SetWholeMode(true);
  doc->SetWholeMode(false);
  EXPECT_TRUE(doc->chunks.empty());
  EXPECT_EQ(doc->currentChunk.load(), -1);
}

TEST_F(ChunkEditingTest, CutInWholeModeCorrectsTheBookmarksPutAside) {
  OpenMonoSource(3000);
  AddSourceChunk(0, 1000, L"one");
  AddSourceChunk(1000, 1000, L"two");
  AddSourceChunk(2000, 1000, L"three");
  doc->SetWholeMode(true);
  doc->selectionStartFrame = 900;
  doc->cursorFrame = 2100;
  ASSERT_TRUE(doc->DeleteSelection());
  EXPECT_EQ(doc->GetChunk(0)->frames, 1800u);
  doc->SetWholeMode(false);
  EXPECT_EQ(Layout(doc->chunks),
            (std::vector<std::pair<uint32_t, uint32_t>>{{0, 900}, {900, 0}, {900, 900}}));
  EXPECT_EQ(Texts(), (std::vector<std::wstring>{L"one", L"two", L"three"}));
}

TEST_F(ChunkEditingTest, ResetInWholeModeForgetsTheOldBookmarks) {
  OpenMonoSource(3000);
  AddSourceChunk(0, 1000, L"old");
  AddSourceChunk(1000, 2000, L"bookmarks");
  doc->SetWholeMode(true);
  doc->ResetSoundData();  // the first step of a load, and of a close
  EXPECT_FALSE(doc->wholeMode);
  EXPECT_TRUE(doc->asideChunks.empty());
  doc->SetWholeMode(false);  // nothing comes back
  EXPECT_EQ(doc->GetChunkCount(), 1);
}

// Pipe audio into a chunk of the loaded file: a write that is refused leaves the chunk on its
// source frames; one that is taken keeps the source frames before it.
TEST_F(ChunkEditingTest, PipeAudioIntoASourceChunkNeverLosesItsSourceFrames) {
  struct Case {
    const char* name;
    uint32_t sampleOffset;
    bool taken;
  };
  const Case cases[] = {
      {"offset out of range: refused", 0x7FFFFFFFu, false},
      {"write after the first frames", 600, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    doc->FreeAllChunks();
    OpenMonoSource(2000);
    AddSourceChunk(1000, 1000);
    doc->currentChunk = 0;
    CChunkInfo* chunk = doc->GetChunk(0);
    ASSERT_EQ(chunk->buffer, nullptr) << "the chunk's sound is not in memory";
    const int16_t pipe[2] = {-7, -8};
    doc->WriteChunkPcm(c.sampleOffset, 4, pipe);
    EXPECT_EQ(chunk->fileName[0] != 0, c.taken);
    ASSERT_TRUE(doc->LoadChunk(0));
    std::vector<int16_t> expected;
    const std::vector<uint8_t> pcm = Pcm(4000);
    for (uint32_t i = 1000; i < (c.taken ? 1000 + c.sampleOffset : 2000u); ++i)
      expected.push_back(int16_t(pcm[2 * i] | pcm[2 * i + 1] << 8));
    if (c.taken) expected.insert(expected.end(), {-7, -8});
    EXPECT_EQ(ChunkSamples(chunk), expected);
  }
}

// A write failing half way through the move (the second 4 MiB piece, as a failing disk would): the cut is
// undone, so the file, its sizes and the chunks stay as they were, and the track says that nothing was cut.
// When the undo fails too, it says the file may be damaged.
TEST_F(ChunkEditingTest, CutFailingHalfWayLeavesTheSoundWhole) {
  constexpr uint32_t kFrames = 3000000;  // more than one 4 MiB piece of the move
  static HANDLE failing;
  static int writes;
  static bool laterFail;
  struct Case {
    const char* name;
    bool laterFail;  // the writes after the failing second one (the undo) fail as well
    bool restored;
  };
  const Case cases[] = {
      {"undone", false, true},
      {"undo fails too", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    doc->FreeAllChunks();
    const std::vector<uint8_t> wav = BuildWav(1, 16, Pcm(kFrames * 2), ListChunk());
    OpenSource(wav);
    AddSourceChunk(0, kFrames);
    doc->currentChunk = 0;
    doc->selectionStartFrame = 100;
    doc->cursorFrame = 300;
    prompts.Clear();
    failing = doc->sourceWav;
    writes = 0;
    laterFail = c.laterFail;
    g_pfnCutWrite = [](HANDLE file, uint64_t offset, const void* data, DWORD size) {
      if (file == failing && (++writes == 2 || (writes > 2 && laterFail))) return false;
      return WriteFileAtOffset(file, offset, data, size);
    };
    EXPECT_FALSE(doc->DeleteSelection());
    g_pfnCutWrite = WriteFileAtOffset;
    const std::vector<std::wstring> reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find(c.restored ? L"The sound is unchanged" : L"it may be damaged"),
              std::wstring::npos)
        << testing::PrintToString(reports[0]);
    EXPECT_EQ(doc->sourceDataSize, kFrames * 2);
    EXPECT_EQ(doc->wavHeader.riffSize, uint32_t(wav.size() - 8));
    EXPECT_EQ(Layout(doc->chunks), (std::vector<std::pair<uint32_t, uint32_t>>{{0, kFrames}}));
    EXPECT_EQ(doc->audioChanged, 0u);
    CloseHandle(doc->sourceWav);
    doc->sourceWav = nullptr;
    if (c.restored)
      EXPECT_TRUE(ReadFileBytes<std::vector<uint8_t>>(wavPath) == wav) << "the file was left changed";
  }
}
