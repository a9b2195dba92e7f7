// The recording input against the fake engine: automatic gain, mixing and parking of capture
// streams, the end-of-recording marker, buffer growth and the capture pipe's PCM writes.
#include <algorithm>
#include <cmath>

#include "media/document/tests/DocumentTestSupport.h"

namespace {

int16_t Scaled(int s, int gain) { return int16_t(std::clamp((s * gain) >> 8, -32768, 32767)); }

// What the float-to-16-bit conversion gives for exactly representable values.
int ToS16(float f) { return std::clamp(int(std::lrint(double(f) * 32768.0)), -32768, 32767); }

class RecordingInputTest : public DocumentTest {
 protected:
  CChunkInfo* StartRecording(uint32_t streams) {
    engine->captureCount = streams;
    doc->captureMask = streams == 2 ? 3 : 1;
    doc->ToggleRecording();
    EXPECT_TRUE(doc->recording.load());
    return doc->GetCurrentChunk();
  }
  // The samples appended since `from` (a sample index).
  std::vector<int16_t> Tail(const CChunkInfo* chunk, size_t from) {
    auto all = ChunkSamples(chunk);
    return std::vector<int16_t>(all.begin() + std::min(from, all.size()), all.end());
  }
};

}  // namespace

TEST_F(RecordingInputTest, GainFollowsThePeakAndCarriesOver) {
  struct GainRow {
    const char* what;
    std::vector<int16_t> in;
    int gainAfter;
    std::vector<int16_t> out;
  };
  CChunkInfo* chunk = StartRecording(1);
  // The gain is process-wide and never reset: an earlier take in this process may have moved it.
  // A quiet block climbs from any gain to the cap, so only the first row depends on it.
  const int found = CSoundDocument::GetRecordingGain();
  ASSERT_GE(found, 1);
  ASSERT_LE(found, CSoundDocument::kMaxGain);
  const GainRow rows[] = {
      {"silence keeps the gain", {0, 0}, found, {0, 0}},
      {"quiet block: half-way up, capped at 4x", {1000, -500}, 1024, {4000, -2000}},
      {"loud block: straight down", {16000, -3}, 491, {30687, -6}},
      {"-32768 never counts and saturates", {-32768, 16000}, 491, {-32768, 30687}},
      {"full scale", {32767, -32767}, 240, {30719, -30720}},
      {"silence again", {0}, 240, {0}},
      {"climbs half-way from the carried gain", {20000}, 316, {24687}},
  };
  size_t at = 0;
  for (const auto& row : rows) {
    doc->AppendWithGain(MakePcmBlock(row.in));
    EXPECT_EQ(CSoundDocument::GetRecordingGain(), row.gainAfter) << row.what;
    EXPECT_EQ(Tail(chunk, at), row.out) << row.what;
    at += row.in.size();
  }
  EXPECT_EQ(chunk->frames, at);
  EXPECT_EQ(doc->playPosition.load(), at);
}

TEST_F(RecordingInputTest, TwoStreamsAreMixedAndParked) {
  CChunkInfo* chunk = StartRecording(2);
  size_t at = 0;
  // Expects the newest appended samples to be `sums` converted and scaled by the gain now set.
  auto expectAppended = [&](const std::vector<float>& sums, const char* what) {
    std::vector<int16_t> want;
    for (float f : sums) want.push_back(Scaled(ToS16(f), CSoundDocument::GetRecordingGain()));
    EXPECT_EQ(Tail(chunk, at), want) << what;
    at += sums.size();
  };

  doc->OnSoundIn(MakeFloatBlock(1, {0.125f, 0.25f, 0.375f, 0.5f}));
  EXPECT_EQ(chunk->frames, 0u) << "waits for the other stream";
  EXPECT_EQ(doc->GetParkedCount(), 1u);
  doc->OnSoundIn(MakeFloatBlock(3, {0.125f, 0.125f}));
  expectAppended({0.25f, 0.375f, 0.375f, 0.5f}, "larger block is the base, the smaller adds to its start");
  EXPECT_EQ(doc->GetParkedCount(), 0u);

  // The smaller block arriving first still leaves the larger one as the base.
  doc->OnSoundIn(MakeFloatBlock(1, {0.25f}));
  doc->OnSoundIn(MakeFloatBlock(3, {0.25f, 0.25f, 0.25f}));
  expectAppended({0.5f, 0.25f, 0.25f}, "base chosen by size");

  // One stream delivering twice: its older block goes on alone, the newer one waits.
  doc->OnSoundIn(MakeFloatBlock(1, {0.5f, 0.5f}));
  doc->OnSoundIn(MakeFloatBlock(1, {0.125f}));
  expectAppended({0.5f, 0.5f}, "older block alone");
  doc->OnSoundIn(MakeFloatBlock(3, {0.125f}));
  expectAppended({0.25f}, "newer block mixed");

  // Sums beyond full scale clip instead of wrapping.
  doc->OnSoundIn(MakeFloatBlock(1, {0.75f, -0.75f}));
  doc->OnSoundIn(MakeFloatBlock(3, {0.75f, -0.75f}));
  const auto tail = Tail(chunk, at);
  ASSERT_EQ(tail.size(), 2u);
  EXPECT_GT(tail[0], 20000);
  EXPECT_LT(tail[1], -20000);
  EXPECT_EQ(chunk->frames, at + 2);
}

TEST_F(RecordingInputTest, TwoBlocksReadyInOneStepAreBothAppendedInOrder) {
  CChunkInfo* chunk = StartRecording(2);
  doc->OnSoundIn(MakeFloatBlock(1, {0.25f, 0.25f}));
  engine->captureCount = 1;  // the other stream has closed meanwhile
  doc->OnSoundIn(MakeFloatBlock(1, {-0.25f, -0.25f, -0.25f}));
  const auto samples = ChunkSamples(chunk);
  ASSERT_EQ(samples.size(), 5u);
  EXPECT_GT(samples[0], 0);
  EXPECT_GT(samples[1], 0);
  EXPECT_LT(samples[2], 0);
  EXPECT_LT(samples[4], 0);
}

TEST_F(RecordingInputTest, EndMarkerFlushesAndLeftoversNeverReachTheNextRecording) {
  CChunkInfo* chunk = StartRecording(2);
  doc->OnSoundIn(MakeFloatBlock(1, {0.25f, 0.25f, 0.25f}));
  doc->ToggleRecording();
  doc->OnSoundIn(nullptr);  // the end marker: the parked block is appended
  EXPECT_EQ(chunk->frames, 3u);
  EXPECT_EQ(doc->GetParkedCount(), 0u);
  doc->OnSoundIn(nullptr);  // a second marker has nothing to do

  // A block left parked when a recording ends without its marker is dropped at the next start.
  doc->ToggleRecording();
  doc->OnSoundIn(MakeFloatBlock(3, {0.5f}));
  doc->ToggleRecording();
  doc->ToggleRecording();
  EXPECT_EQ(doc->GetParkedCount(), 0u);
  doc->OnSoundIn(MakeFloatBlock(1, {0.125f}));
  doc->OnSoundIn(MakeFloatBlock(3, {0.125f}));
  ASSERT_EQ(chunk->frames, 4u);
  EXPECT_EQ(ChunkSamples(chunk)[3], Scaled(ToS16(0.25f), CSoundDocument::GetRecordingGain()));
  doc->ToggleRecording();
  Codes();
}

TEST_F(RecordingInputTest, MalformedAndStrayBlocksAreDroppedSafely) {
  CChunkInfo* chunk = StartRecording(1);
  doc->OnSoundIn(MakeFloatBlock(1, {}));  // the engine posts empty blocks at every stop
  EXPECT_EQ(chunk->frames, 0u);

  CBufferRecord* lying = MakeFloatBlock(1, {0.25f, 0.25f});
  CaptureBlockHeader(lying)->frameCount = 1000000;  // more frames than it holds
  doc->OnSoundIn(lying);
  EXPECT_EQ(chunk->frames, 2u);

  CBufferRecord* tiny = CreateBufferRecord(8);  // no room for a header
  doc->OnSoundIn(tiny);
  EXPECT_EQ(chunk->frames, 2u);

  // Blocks that arrive after another chunk was selected do not touch either chunk.
  doc->NewChunk();
  doc->SelectChunk(1);
  doc->OnSoundIn(MakeFloatBlock(1, {0.5f}));
  EXPECT_EQ(doc->GetChunk(1)->frames, 0u);
  EXPECT_EQ(chunk->frames, 2u);
  Codes();
}

TEST_F(RecordingInputTest, RecordingKeepsAndContinuesTheChunk) {
  CChunkInfo* chunk = AddChunk(10, 5);
  doc->SelectChunk(0);
  doc->ToggleRecording();
  EXPECT_EQ(doc->playPosition.load(), 10u) << "recording stands at the chunk's end";
  doc->OnSoundIn(MakeFloatBlock(1, {0.0f, 0.0f}));
  EXPECT_EQ(chunk->frames, 12u);
  EXPECT_EQ(ChunkSamples(chunk)[9], 14);
  doc->ToggleRecording();

  doc->overwriteOnRecord = 1;
  doc->ToggleRecording();
  EXPECT_EQ(chunk->frames, 0u);
  EXPECT_EQ(doc->playPosition.load(), 0u);
  doc->ToggleRecording();
  Codes();
}

TEST_F(RecordingInputTest, BufferGrowsInMegabyteStepsUntilTheBlockFits) {
  CChunkInfo* chunk = StartRecording(1);
  const std::vector<int16_t> block(4410, 100);
  for (int i = 0; i < 118; ++i) doc->AppendWithGain(MakePcmBlock(block));
  EXPECT_EQ(chunk->capacity, 1048576u);
  doc->AppendWithGain(MakePcmBlock(block));
  EXPECT_EQ(chunk->capacity, 2097152u);
  EXPECT_EQ(chunk->used, 119u * 8820);
  EXPECT_EQ(chunk->frames, 119u * 4410);
  const auto samples = ChunkSamples(chunk);
  EXPECT_TRUE(std::all_of(samples.begin(), samples.end(), [](int16_t s) { return s == 400; }));

  // One block larger than a step grows the buffer as far as it needs.
  doc->AppendWithGain(MakePcmBlock(std::vector<int16_t>(1200000, 1)));
  EXPECT_EQ(chunk->capacity, 4194304u);
  EXPECT_EQ(chunk->used, 119u * 8820 + 2400000);
}

TEST_F(RecordingInputTest, WriteChunkPcmTable) {
  doc->SelectChunk(doc->NewChunk());
  CChunkInfo* chunk = doc->GetCurrentChunk();
  struct WriteRow {
    const char* what;
    uint32_t sampleOffset, bytes;
    bool accepted;
    uint32_t used, frames;
  };
  const WriteRow rows[] = {
      {"offset 0 starts the chunk", 0, 8, true, 8, 4},
      {"a write past the end leaves silence between", 10, 4, true, 24, 12},
      {"a write before the end cuts the chunk there", 2, 2, true, 6, 3},
      {"an absurd offset is refused", 0xFFFFFFFFu, 4, false, 6, 3},
      {"far beyond the capacity grows until it fits", 1000000, 4, true, 2000004, 1000002},
      {"offset 0 and nothing empties the chunk", 0, 0, true, 0, 0},
  };
  std::vector<uint8_t> model;  // what the chunk must hold
  uint8_t fill = 0x10;
  for (const auto& row : rows) {
    std::vector<uint8_t> data(row.bytes, ++fill);
    doc->WriteChunkPcm(row.sampleOffset, row.bytes, data.data());
    if (row.accepted) {
      model.resize(size_t(row.sampleOffset) * 2, 0);
      model.insert(model.end(), data.begin(), data.end());
    }
    EXPECT_EQ(chunk->used, row.used) << row.what;
    EXPECT_EQ(chunk->frames, row.frames) << row.what;
    EXPECT_GE(chunk->capacity, chunk->used) << row.what;
    ASSERT_EQ(model.size(), size_t(chunk->used)) << row.what;
    EXPECT_TRUE(chunk->used == 0 || std::equal(model.begin(), model.end(), chunk->buffer)) << row.what;
  }

  // After ResetSoundData the format is all zero: a write restores mono 16-bit 44,100 Hz.
  doc->ResetSoundData();
  doc->WriteChunkPcm(0, 6, "abcdef");
  EXPECT_EQ(chunk->frames, 3u);
  EXPECT_EQ(doc->wavHeader.blockAlign, 2);
  EXPECT_EQ(doc->wavHeader.samplesPerSec, 44100u);

  // Without a current chunk nothing is written.
  doc->SelectChunk(-1);
  doc->WriteChunkPcm(0, 6, "abcdef");
  Codes();
}
