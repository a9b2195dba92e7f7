// Long saves and cuts leave the track's packet lock to the others: while ten minutes of sound are
// written, encoded or moved on another thread, this thread takes the lock as a paint or a query
// of the dialog does, and never waits long for it. Failures of a save are told once the lock is
// free.
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "media/soundfile/tests/SoundFileTestSupport.h"

namespace {

constexpr uint32_t kTenMinutes = 10 * 60 * 44100;
// A paint or a query of the dialog must be answered within this.
constexpr double kLongestWaitMs = 50;

double MsSince(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - from).count();
}

// A slowly rising ramp: every sample differs from its neighbours, so a misplaced piece shows.
Bytes Ramp(uint32_t frames) {
  Bytes b(size_t(frames) * 2, '\0');
  for (uint32_t i = 0; i < frames; ++i) {
    const uint16_t v = uint16_t(i * 7);
    b[2 * size_t(i)] = char(v & 0xFF);
    b[2 * size_t(i) + 1] = char(v >> 8);
  }
  return b;
}

CSoundDocument* g_lockedDoc = nullptr;
PFN_ShowPrompt g_answerer = nullptr;
std::atomic<int> g_promptsUnderLock{0};

// Passes each box on to the scripted answers, after looking from another thread whether the
// track's lock is held (by whoever shows the box).
int PromptCheckingTheLock(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
  const bool free = std::async(std::launch::async, [] {
                      if (!g_lockedDoc->packetLock.try_lock()) return false;
                      g_lockedDoc->packetLock.unlock();
                      return true;
                    }).get();
  if (!free) ++g_promptsUnderLock;
  return g_answerer(owner, text, caption, style);
}

// True when a thread other than the caller can take the track's lock at once.
bool LockFreeElsewhere(CSoundDocument* doc) {
  return std::async(std::launch::async,
                    [doc] {
                      if (!doc->packetLock.try_lock()) return false;
                      doc->packetLock.unlock();
                      return true;
                    })
      .get();
}

CSoundDocument* g_rebuiltDoc = nullptr;
std::atomic<int> g_enginesMade{0}, g_enginesMadeUnderLock{0};
std::atomic<int> g_enginesEnded{0}, g_enginesEndedUnderLock{0};

// A fake engine that looks, as it is made and as it ends, whether its track's lock is held.
struct LockWatchingEngine : FakeEngine {
  ~LockWatchingEngine() override {
    if (!g_rebuiltDoc) return;
    ++g_enginesEnded;
    if (!LockFreeElsewhere(g_rebuiltDoc)) ++g_enginesEndedUnderLock;
  }
};

CSoundWorksBase* MakeLockWatchingEngine(void*) {
  if (g_rebuiltDoc) {
    ++g_enginesMade;
    if (!LockFreeElsewhere(g_rebuiltDoc)) ++g_enginesMadeUnderLock;
  }
  return new LockWatchingEngine;
}

}  // namespace

class SaveLockTest : public SoundFileTest {
 protected:
  // Runs work on a thread of its own while this thread takes the packet lock over and over, as
  // painting and the dialog's queries do; the longest wait for it, and how long the work took.
  double LongestLockWait(const std::function<void()>& work, double* workMs) {
    std::atomic<bool> done{false};
    const auto start = std::chrono::steady_clock::now();
    std::thread worker([&] {
      work();
      *workMs = MsSince(start);
      done = true;
    });
    double longest = 0;
    while (!done) {
      const auto asked = std::chrono::steady_clock::now();
      doc->GetChunkCount();  // takes the packet lock
      longest = std::max(longest, MsSince(asked));
      Sleep(1);
    }
    worker.join();
    return longest;
  }
};

// Ten minutes in one chunk of memory (a recording) and ten minutes of a loaded WAV in two chunks,
// the second read from the source as the save goes.
TEST_F(SaveLockTest, TenMinuteSavesLeaveTheLockFree) {
  struct Case {
    const char* name;
    bool recorded;
    const wchar_t* target;
  };
  const Case cases[] = {
      {"recording as MP3", true, L"rec.mp3"},
      {"loaded WAV as WAV", false, L"copy.wav"},
      {"loaded WAV as package", false, L"lesson.qpk"},
  };
  const Bytes pcm = Ramp(kTenMinutes);
  WriteBytes(dir + L"ten.wav", CanonicalWav(1, 44100, pcm));
  Bytes cif;
  for (uint32_t w : {0u, 300000u, 300000u, 300000u}) Put32(cif, w);
  WriteBytes(dir + L"ten.cif", cif);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    doc->FreeAllChunks();
    if (c.recorded) {
      CChunkInfo* chunk = AddChunk(0);
      free(chunk->buffer);
      chunk->buffer = static_cast<uint8_t*>(malloc(pcm.size()));
      memcpy(chunk->buffer, pcm.data(), pcm.size());
      chunk->used = chunk->capacity = uint32_t(pcm.size());
      chunk->frames = kTenMinutes;
      doc->currentChunk = 0;
    } else {
      ASSERT_TRUE(doc->LoadSoundFile(dir + L"ten.wav"));
      ASSERT_EQ(doc->GetChunkCount(), 2);
      ASSERT_EQ(doc->GetChunk(1)->buffer, nullptr);
    }
    doc->modified = 1;
    bool saved = false;
    double workMs = 0;
    const double longest = LongestLockWait([&] { saved = doc->SaveSoundFile(dir + c.target); }, &workMs);
    printf("%s: save %.0f ms, longest wait for the lock %.1f ms\n", c.name, workMs, longest);
    ASSERT_TRUE(saved);
    EXPECT_TRUE(Messages().empty());
    EXPECT_LT(longest, kLongestWaitMs);
    if (std::wstring(c.target).ends_with(L".wav")) {
      EXPECT_TRUE(ReadBytes(dir + c.target) == CanonicalWav(1, 44100, pcm)) << "file bytes differ";
    } else {
      // An encode much shorter than the bound would prove nothing.
      EXPECT_GT(workMs, 4 * kLongestWaitMs);
      EXPECT_GT(ReadBytes(dir + c.target).size(), 100000u);
    }
  }
}

// Cutting one second near the start of twenty minutes moves the rest of the source WAV; the lock
// is free meanwhile, and the cut chunk is read back whole.
TEST_F(SaveLockTest, CutLeavesTheLockFree) {
  const Bytes pcm = Ramp(2 * kTenMinutes);
  WriteBytes(dir + L"cut.wav", CanonicalWav(1, 44100, pcm));
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"cut.wav"));
  ASSERT_EQ(doc->GetChunkCount(), 1);
  doc->selectionStartFrame = 1000;
  doc->cursorFrame = 1000 + 44100;
  bool cut = false;
  double workMs = 0;
  const double longest = LongestLockWait([&] { cut = doc->DeleteSelection(); }, &workMs);
  printf("cut: %.0f ms, longest wait for the lock %.1f ms\n", workMs, longest);
  ASSERT_TRUE(cut);
  EXPECT_LT(longest, kLongestWaitMs);
  EXPECT_GT(workMs, 2 * kLongestWaitMs);

  Bytes left = pcm;
  left.erase(2 * 1000, 2 * 44100);
  EXPECT_EQ(doc->sourceDataSize, left.size());
  const CChunkInfo* chunk = doc->GetChunk(0);
  ASSERT_NE(chunk->buffer, nullptr) << "the chunk is read back";
  EXPECT_EQ(chunk->frames, 2 * kTenMinutes - 44100);
  EXPECT_TRUE(Bytes(reinterpret_cast<const char*>(chunk->buffer), chunk->used) == left)
      << "chunk bytes differ";
  CloseHandle(doc->sourceWav);
  doc->sourceWav = nullptr;
  EXPECT_TRUE(ReadBytes(dir + L"cut.wav") == CanonicalWav(1, 44100, left)) << "file bytes differ";
}

// Every box of a failed save comes after the save let go of the lock.
TEST_F(SaveLockTest, FailuresAreToldWithTheLockFree) {
  struct Case {
    const char* name;
    const wchar_t* target;
    std::wstring message;  // caption: text
  };
  const std::wstring edition = GetEditionName();
  const Case cases[] = {
      {"a chunk file gone, WAV", L"gone.wav", edition + L": Could not open file in LoadChunk"},
      {"a chunk file gone, MP3", L"gone.mp3", edition + L": Could not open file in LoadChunk"},
      {"a chunk file gone, package", L"gone.qpk", edition + L": Could not open file in LoadChunk"},
      {"no folder for the package", L"nowhere\\x.qpk", edition + L": Could not create the package file"},
  };
  g_lockedDoc = doc;
  g_answerer = g_pfnShowPrompt;
  g_pfnShowPrompt = PromptCheckingTheLock;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    prompts.Clear();
    g_promptsUnderLock = 0;
    doc->FreeAllChunks();
    MakeTrack({300, 200});
    doc->currentChunk = 0;
    // The second chunk left memory, and then its file went.
    CChunkInfo* second = doc->GetChunk(1);
    CSoundDocument::FreeChunkBuffer(second);
    DeleteFileW((doc->tempFolder + std::wstring(second->fileName)).c_str());
    doc->modified = 1;
    EXPECT_FALSE(doc->SaveSoundFile(dir + c.target));
    EXPECT_EQ(Messages(), std::vector<std::wstring>{c.message});
    EXPECT_EQ(g_promptsUnderLock.load(), 0);
    EXPECT_EQ(doc->modified, 1);
    EXPECT_FALSE(Exists(dir + c.target));
  }
  g_pfnShowPrompt = g_answerer;
}

// A load ends the old engine (which takes a good part of a second) and makes the new one with the
// lock free, and the window does not read the frames of a track that is loading: its load thread
// reads them once.
TEST_F(SaveLockTest, LoadLeavesTheLockFree) {
  const Bytes pcm = Ramp(kTenMinutes);
  WriteBytes(dir + L"ten.wav", CanonicalWav(1, 44100, pcm));
  // The fixture's engine goes too, so the first load ends one of the watching kind.
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"ten.wav"));
  g_pfnCreateSoundEngine = MakeLockWatchingEngine;
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"ten.wav"));
  g_rebuiltDoc = doc;
  g_enginesMade = g_enginesMadeUnderLock = g_enginesEnded = g_enginesEndedUnderLock = 0;
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"ten.wav"));
  g_rebuiltDoc = nullptr;
  EXPECT_EQ(g_enginesMade.load(), 1);
  EXPECT_EQ(g_enginesEnded.load(), 1);
  EXPECT_EQ(g_enginesMadeUnderLock.load(), 0);
  EXPECT_EQ(g_enginesEndedUnderLock.load(), 0);
  const CChunkInfo* chunk = doc->GetChunk(0);
  ASSERT_NE(chunk, nullptr);
  ASSERT_NE(chunk->buffer, nullptr);
  EXPECT_TRUE(Bytes(reinterpret_cast<const char*>(chunk->buffer), chunk->used) == pcm)
      << "chunk bytes differ";

  // While the track loads, a redraw shows what is in memory and reads nothing.
  CSoundDocument::FreeChunkBuffer(doc->GetChunk(0));
  doc->loading = true;
  doc->RedrawWaveform(0, 256);
  EXPECT_EQ(doc->GetChunk(0)->buffer, nullptr);
  doc->loading = false;
  doc->RedrawWaveform(0, 256);
  EXPECT_NE(doc->GetChunk(0)->buffer, nullptr);
}
