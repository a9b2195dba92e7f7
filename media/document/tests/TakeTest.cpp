// Takes kept whole: the engine's last blocks reach the track on the worker after the streams were
// stopped, so selection, a new take and a save wait for the take's end; blocks of an older take
// never land in a newer one; chunk files go with their chunks; a take that cannot grow stops and
// keeps what it has.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/Locks.h"
#include "media/document/tests/DocumentTestSupport.h"
#include "tests/support/ScriptedPrompts.h"

namespace {

constexpr UINT WM_TEST_SYNC = WM_USER + 0x3F1;
constexpr UINT WM_TEST_RUN = WM_USER + 0x3F2;
constexpr uint32_t kBlockFrames = 4410;

// A worker thread as the application data object runs one: captured blocks and end markers go to
// the track.
class Worker {
 public:
  Worker() {
    ready_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, Proc, this, 0, &id);
    WaitForSingleObject(ready_, INFINITE);
  }
  ~Worker() {
    Sync();
    PostThreadMessageW(id, WM_QUIT, 0, 0);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(ready_);
  }
  // Returns once everything posted before has been handled.
  void Sync() {
    PostThreadMessageW(id, WM_TEST_SYNC, 0, 0);
    WaitForSingleObject(ready_, 10000);
  }
  // Runs f on the worker, as a pipe event runs there, and returns once it has.
  void Run(std::function<void()> f) {
    PostThreadMessageW(id, WM_TEST_RUN, 0, reinterpret_cast<LPARAM>(&f));
    WaitForSingleObject(ready_, 10000);
  }

  DWORD id = 0;
  std::atomic<CSoundDocument*> doc{nullptr};

 private:
  static DWORD WINAPI Proc(LPVOID p) {
    auto* self = static_cast<Worker*>(p);
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    SetEvent(self->ready_);
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (msg.message == WM_SOUND_IN) {
        auto* record = reinterpret_cast<CBufferRecord*>(msg.wParam);
        CSoundDocument* doc = self->doc;
        if (!doc)
          ReleaseBufferRecord(record);
        else if (record)
          doc->OnSoundIn(record);
        else
          doc->OnCaptureEnd(uint32_t(msg.lParam));
      } else if (msg.message == WM_TEST_SYNC) {
        SetEvent(self->ready_);
      } else if (msg.message == WM_TEST_RUN) {
        (*reinterpret_cast<std::function<void()>*>(msg.lParam))();
        SetEvent(self->ready_);
      }
    }
    return 0;
  }
  HANDLE thread_ = nullptr;
  HANDLE ready_ = nullptr;
};

CBufferRecord* Block(float value, uint32_t frames = kBlockFrames) {
  return MakeFloatBlock(0, std::vector<float>(frames, value));
}

uint64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return ~0ull;
  return (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

int CountFiles(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((folder + L"*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return 0;
  int n = 0;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++n;
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return n;
}

template <class F>
bool WaitUntil(F condition, DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (!condition()) {
    if (GetTickCount64() > end) return false;
    Sleep(5);
  }
  return true;
}

class TakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    liveRecords = GetLiveBufferRecordCount();
    g_pfnCreateSoundEngine = MakeFakeEngine;
    doc = new CSoundDocument(worker.id, UniqueTrackName(L"Take"), nullptr);
    engine = FakeEngine::last;
    engine->captureThread = worker.id;
    engine->tailDelayMs = 200;
    doc->notifyTarget = NotifyTarget{GetCurrentThreadId(), nullptr, WM_SOUND_NOTIFY};
    doc->inputDeviceId = L"in";
    doc->outputDeviceId = L"out";
    doc->captureMask = 1;
    worker.doc = doc;
  }
  void TearDown() override {
    doc->WaitForTakeComplete(5000);
    worker.Sync();
    worker.doc = nullptr;
    const std::wstring folder = doc->tempFolder;
    delete doc;  // its engine ends the fake's tail threads
    worker.Sync();
    RemoveDirectoryW(folder.c_str());
    Codes();
    g_pfnCreateSoundEngine = nullptr;
    EXPECT_EQ(GetLiveBufferRecordCount(), liveRecords) << "buffer records leaked";
  }
  std::vector<int> Codes() {
    std::vector<int> codes;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_SOUND_NOTIFY, WM_SOUND_NOTIFY, PM_REMOVE))
      codes.push_back(int(msg.wParam));
    return codes;
  }
  // One take: `now` blocks delivered while it records, `tail` still inside the engine at the stop.
  void RecordTake(int now, int tail, float value) {
    doc->ToggleRecording();
    ASSERT_TRUE(doc->recording.load());
    for (int i = 0; i < now; ++i) engine->Capture(Block(value));
    for (int i = 0; i < tail; ++i) engine->Hold(Block(value));
    doc->ToggleRecording();
    ASSERT_FALSE(doc->recording.load());
  }

  // The track's reports go up as the dialog puts them up: through the prompt seam, afterwards.
  void ShowReports() {
    for (const TrackReport& r : doc->TakeReports())
      ShowPrompt(nullptr, r.text.c_str(), r.caption.c_str(), r.style);
  }
  ScriptedPrompts prompts;  // the track's reports, answered and kept
  Worker worker;
  CSoundDocument* doc = nullptr;
  FakeEngine* engine = nullptr;
  LONG liveRecords = 0;
};

// The stop returns while the tail is still in the engine: the track drains, says when the take is
// whole, and a chunk change right after the stop waits for it.
TEST_F(TakeTest, StopThenSelectKeepsEveryFrame) {
  RecordTake(10, 2, 0.25f);
  EXPECT_TRUE(doc->IsDraining());
  doc->SelectNextChunk();
  EXPECT_FALSE(doc->IsDraining());
  ASSERT_EQ(doc->GetChunkCount(), 2);
  CChunkInfo* first = doc->GetChunk(0);
  EXPECT_EQ(first->frames, 12 * kBlockFrames);
  EXPECT_EQ(first->buffer, nullptr) << "saved to its file and freed";
  EXPECT_EQ(FileSize(std::wstring(doc->tempFolder) + first->fileName), 12ull * kBlockFrames * 2);
  EXPECT_EQ(doc->GetDroppedBlockCount(), 0u);
  const std::vector<int> codes = Codes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), int(NOTIFY_TAKE_COMPLETE)), 1);

  // The same, waited for by the caller as the dialog does.
  doc->ToggleRecording();
  engine->Capture(Block(0.25f));
  engine->Hold(Block(0.25f));
  doc->ToggleRecording();
  EXPECT_TRUE(doc->IsDraining());
  EXPECT_TRUE(doc->WaitForTakeComplete(5000));
  EXPECT_FALSE(doc->IsDraining());
  EXPECT_EQ(doc->GetCurrentChunk()->frames, 2 * kBlockFrames);
  EXPECT_TRUE(WaitForCode(doc, NOTIFY_TAKE_COMPLETE, 2000));
}

// The microphone and the PC's own sound: their last blocks come after the streams' count has
// dropped to 0, and are still mixed by stream, so each moment of the take's end is there once.
TEST_F(TakeTest, TailsOfTwoStreamsAreMixedNotAppended) {
  engine->countOpenStreams = true;
  doc->captureMask = 3;
  doc->ToggleRecording();
  ASSERT_EQ(engine->GetCaptureDeviceCount(), 2u);
  // The two streams cancel out: a frame that holds only one of them is not silent.
  auto block = [](uint32_t key, uint32_t frames) {
    return MakeFloatBlock(key, std::vector<float>(frames, key ? -0.25f : 0.25f));
  };
  engine->Capture(block(0, kBlockFrames));
  engine->Capture(block(1, kBlockFrames));
  // Inside the engine at the stop, in the order it delivers them: per stream its last full block,
  // the partial block and the resampler's rest.
  for (uint32_t key : {0u, 1u})
    for (uint32_t frames : {kBlockFrames, 1000u, 100u}) engine->Hold(block(key, frames));
  doc->ToggleRecording();
  EXPECT_EQ(engine->GetCaptureDeviceCount(), 0u);
  ASSERT_TRUE(doc->WaitForTakeComplete(5000));
  worker.Sync();
  const std::vector<int16_t> samples = ChunkSamples(doc->GetCurrentChunk());
  ASSERT_EQ(samples.size(), 2 * kBlockFrames + 1100) << "the tail appended stream after stream";
  for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i], 0) << "frame " << i << " lacks a stream";
  EXPECT_EQ(doc->GetDroppedBlockCount(), 0u);
}

// Playback started right after the stop, before the take's last blocks came in: it waits for
// them, so they land in the chunk before it plays and never move its position.
TEST_F(TakeTest, PlaybackRightAfterTheStopPlaysTheWholeTakeFromItsStart) {
  doc->ToggleRecording();
  engine->Capture(Block(0.25f));
  engine->Capture(Block(0.25f));
  engine->Hold(Block(0.25f));
  engine->Hold(Block(0.25f));
  doc->StartPlayback();  // stops the recording itself
  EXPECT_FALSE(doc->IsDraining());
  ASSERT_TRUE(doc->playing.load());
  worker.Sync();
  EXPECT_EQ(doc->GetCurrentChunk()->frames, 4 * kBlockFrames);
  EXPECT_EQ(doc->playPosition.load(), 0u) << "the tail moved the playback's position";
  EXPECT_EQ(doc->GetDroppedBlockCount(), 0u);
  doc->StopTransport();
}

// Pipe audio selects another chunk on the worker while the take drains: the worker cannot wait
// for the tail it delivers itself, so the tail goes to the take's chunk, which is in its file.
TEST_F(TakeTest, ChunkSelectedOnTheWorkerKeepsTheDrainingTakesTail) {
  RecordTake(2, 2, 0.25f);
  ASSERT_TRUE(doc->IsDraining());
  worker.Run([this] {
    std::lock_guard<RecursiveMutex> lock(doc->PacketLock());
    doc->SelectChunk(doc->NewChunk());
  });
  ASSERT_TRUE(doc->WaitForTakeComplete(5000));
  worker.Sync();
  CChunkInfo* first = doc->GetChunk(0);
  EXPECT_EQ(doc->currentChunk.load(), 1);
  EXPECT_EQ(first->frames, 4 * kBlockFrames);
  EXPECT_EQ(FileSize(std::wstring(doc->tempFolder) + first->fileName), 4ull * kBlockFrames * 2);
  EXPECT_EQ(doc->GetCurrentChunk()->frames, 0u) << "the tail went to the chunk selected meanwhile";
  EXPECT_EQ(doc->GetDroppedBlockCount(), 0u);
  doc->SelectChunk(0);
  EXPECT_EQ(doc->GetCurrentChunk()->used, 4 * kBlockFrames * 2);
}

// A pause ends the streams once and the resume starts them again: the take is one, and the stop
// waits only for the end of the streams that ran last.
TEST_F(TakeTest, PausedTakeEndsWithItsLastStreams) {
  doc->ToggleRecording();
  engine->Capture(Block(0.25f));
  engine->Hold(Block(0.25f));
  doc->TogglePause();
  doc->TogglePause();
  engine->Capture(Block(0.25f));
  engine->Hold(Block(0.25f));
  doc->ToggleRecording();
  EXPECT_TRUE(doc->WaitForTakeComplete(5000));
  worker.Sync();
  EXPECT_EQ(doc->GetCurrentChunk()->frames, 4 * kBlockFrames);
  EXPECT_EQ(doc->GetDroppedBlockCount(), 0u);
}

struct OverwriteCase {
  const char* name;
  DWORD tailDelayMs;  // how late the first take's tail comes
  uint32_t dropped;   // its blocks that come too late for any take
};

class OverwriteTest : public TakeTest, public ::testing::WithParamInterface<OverwriteCase> {};

// Stop, then record again over the same chunk: nothing of the first take is left in it, whether
// its tail came in time (the new take waits for it) or only after the new take had started.
TEST_P(OverwriteTest, NewTakeHoldsNoStaleFrame) {
  engine->tailDelayMs = GetParam().tailDelayMs;
  doc->overwriteOnRecord = 1;
  RecordTake(3, 2, 0.1f);
  engine->tailDelayMs = 100;
  RecordTake(2, 1, 0.5f);
  ASSERT_TRUE(doc->WaitForTakeComplete(5000));
  ASSERT_TRUE(WaitUntil([&] { return doc->GetDroppedBlockCount() >= GetParam().dropped; }, 5000));
  worker.Sync();
  EXPECT_EQ(doc->GetDroppedBlockCount(), GetParam().dropped);
  EXPECT_EQ(doc->GetCurrentChunk()->frames, 3 * kBlockFrames);
}

INSTANTIATE_TEST_SUITE_P(Takes, OverwriteTest,
                         ::testing::Values(OverwriteCase{"TailInTime", 200, 0},
                                           OverwriteCase{"TailTooLate", CSoundDocument::kTakeDrainMs + 1000,
                                                         2}),
                         [](const auto& info) { return std::string(info.param.name); });

// A save right after the stop writes the whole take, its tail included.
TEST_F(TakeTest, SaveRightAfterStopHoldsTheWholeTake) {
  RecordTake(5, 2, 0.25f);
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  const std::wstring path =
      std::wstring(folder) + L"take_save_" + std::to_wstring(GetCurrentProcessId()) + L".wav";
  ASSERT_TRUE(doc->SaveSoundFile(path));
  EXPECT_EQ(FileSize(path), 44ull + 7ull * kBlockFrames * 2);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  uint8_t header[44] = {};
  DWORD got = 0;
  ReadFile(file, header, 44, &got, nullptr);
  CloseHandle(file);
  uint32_t dataSize = 0;
  memcpy(&dataSize, header + 40, 4);
  EXPECT_EQ(dataSize, 7u * kBlockFrames * 2);
  EXPECT_EQ(doc->modified, 0);
  DeleteFileW(path.c_str());
}

// A day of lessons: hundreds of takes, each lesson's chunks freed at its end. The folder keeps
// only the files of the chunks that live.
TEST_F(TakeTest, HundredsOfTakesLeaveOnlyTheLiveChunksFiles) {
  engine->tailDelayMs = 0;
  const std::wstring folder = doc->tempFolder;
  for (int take = 0; take < 500; ++take) {
    RecordTake(1, 0, 0.25f);
    doc->SelectNextChunk();
    if (take % 50 == 49) doc->FreeAllChunks();  // the next lesson starts empty
  }
  doc->SelectNextChunk();
  EXPECT_EQ(CountFiles(folder), doc->GetChunkCount());
  doc->FreeAllChunks();
  EXPECT_EQ(CountFiles(folder), 0);
}

// Past 2 GB of captured blocks the chunk cannot grow any more: the recording stops with its
// notifications and a message, and keeps everything it had.
TEST_F(TakeTest, TakeThatCannotGrowStopsAndKeepsWhatItHas) {
  constexpr uint32_t kBig = 441000;  // ten seconds a block
  doc->ToggleRecording();
  Codes();
  int blocks = 0;
  for (; blocks < 1400 && doc->recording.load(); ++blocks) {
    CBufferRecord* r = Block(0.25f, kBig);
    CaptureBlockHeader(r)->streamValue = engine->streamValues[0];
    doc->OnSoundIn(r);
  }
  ASSERT_FALSE(doc->recording.load()) << "still recording after " << blocks << " blocks";
  EXPECT_GT(uint64_t(blocks) * kBig * 4, 2ull << 30) << "past 2 GB of blocks";
  const uint32_t kept = uint32_t(CSoundDocument::kMaxChunkBytes / 2 / kBig) * kBig;
  CChunkInfo* chunk = doc->GetCurrentChunk();
  EXPECT_EQ(chunk->frames, kept);
  EXPECT_EQ(chunk->used, kept * 2);
  const int16_t* s = reinterpret_cast<const int16_t*>(chunk->buffer);
  EXPECT_NE(s[kept - 1], 0) << "the last frame kept is sound";
  ShowReports();
  const auto reports = prompts.Asked();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].text.find(L"recording was stopped"), std::wstring::npos);
  const std::vector<int> codes = Codes();
  ASSERT_GE(codes.size(), 2u);
  EXPECT_EQ(codes[0], int(NOTIFY_TRANSPORT_CHANGED));
  EXPECT_EQ(codes[1], int(NOTIFY_CHUNK_IDLE));
  EXPECT_TRUE(doc->WaitForTakeComplete(5000));
  EXPECT_GE(doc->GetDroppedBlockCount(), 1u);
  EXPECT_EQ(CSoundDocument::GetGrowthCopiedBytes(), 0u) << "a growing take is never copied";
}

}  // namespace
