// Transport of the sound document against the fake engine: the transition table with its exact
// notification sequences, packetisation and the end of a chunk, serial routing, capture masks and
// the cases where playback used to stall.
#include <algorithm>
#include <atomic>
#include <thread>

#include "media/document/tests/DocumentTestSupport.h"

namespace {

enum class State { Idle, Playing, PlaybackPaused, Recording, RecordingPaused };
enum class Op { ToggleRecording, StartPlayback, TogglePause, StopTransport, StopEngineDevices, SelectChunk };

struct Flags {
  bool recording, playing, paused;
};

Flags FlagsOf(State s) {
  switch (s) {
    case State::Idle:
      return {false, false, false};
    case State::Playing:
      return {false, true, false};
    case State::PlaybackPaused:
      return {false, true, true};
    case State::Recording:
      return {true, false, false};
    case State::RecordingPaused:
      return {true, false, true};
  }
  return {};
}

const char* Name(State s) {
  const char* names[] = {"Idle", "Playing", "PlaybackPaused", "Recording", "RecordingPaused"};
  return names[int(s)];
}

struct TransitionCase {
  State from;
  Op op;
  State to;
  std::vector<int> codes;
};

class TransportTest : public DocumentTest {
 protected:
  void Enter(State s) {
    switch (s) {
      case State::Idle:
        break;
      case State::Playing:
        doc->StartPlayback();
        break;
      case State::PlaybackPaused:
        doc->StartPlayback();
        doc->TogglePause();
        break;
      case State::Recording:
        doc->ToggleRecording();
        break;
      case State::RecordingPaused:
        doc->ToggleRecording();
        doc->TogglePause();
        break;
    }
  }
  void Run(Op op) {
    switch (op) {
      case Op::ToggleRecording:
        doc->ToggleRecording();
        break;
      case Op::StartPlayback:
        doc->StartPlayback();
        break;
      case Op::TogglePause:
        doc->TogglePause();
        break;
      case Op::StopTransport:
        doc->StopTransport();
        break;
      case Op::StopEngineDevices:
        doc->StopEngineDevices();
        break;
      case Op::SelectChunk:
        doc->SelectChunk(0);
        break;
    }
  }
  void ExpectState(State s, const std::string& where) {
    const Flags f = FlagsOf(s);
    EXPECT_EQ(doc->recording.load(), f.recording) << where;
    EXPECT_EQ(doc->playing.load(), f.playing) << where;
    EXPECT_EQ(doc->paused.load(), f.paused) << where;
  }
  void DrainPackets() {
    while (CBufferRecord* r = engine->Take()) ReleaseBufferRecord(r);
  }
};

}  // namespace

TEST_F(TransportTest, TransitionTablePostsExactCodes) {
  const std::vector<TransitionCase> cases = {
      {State::Idle, Op::ToggleRecording, State::Recording, {7, 1}},
      {State::Playing, Op::ToggleRecording, State::Recording, {7, 1}},
      {State::PlaybackPaused, Op::ToggleRecording, State::Recording, {7, 1}},
      {State::Recording, Op::ToggleRecording, State::Idle, {7, 0}},
      {State::RecordingPaused, Op::ToggleRecording, State::Idle, {7, 7, 0}},
      {State::Idle, Op::StartPlayback, State::Playing, {7}},
      {State::Playing, Op::StartPlayback, State::Playing, {7}},
      {State::PlaybackPaused, Op::StartPlayback, State::Playing, {7}},
      {State::Recording, Op::StartPlayback, State::Playing, {7, 0, 7}},
      {State::RecordingPaused, Op::StartPlayback, State::Playing, {7, 7, 0, 7}},
      {State::Idle, Op::TogglePause, State::Idle, {}},
      {State::Playing, Op::TogglePause, State::PlaybackPaused, {5}},
      {State::PlaybackPaused, Op::TogglePause, State::Playing, {7}},
      {State::Recording, Op::TogglePause, State::RecordingPaused, {6}},
      {State::RecordingPaused, Op::TogglePause, State::Recording, {7}},
      {State::Idle, Op::StopTransport, State::Idle, {}},
      {State::Playing, Op::StopTransport, State::Idle, {5}},
      {State::PlaybackPaused, Op::StopTransport, State::Idle, {5}},
      {State::Recording, Op::StopTransport, State::Idle, {7, 0}},
      {State::RecordingPaused, Op::StopTransport, State::Idle, {7, 7, 0}},
  };
  std::vector<TransitionCase> all = cases;
  for (State s :
       {State::Idle, State::Playing, State::PlaybackPaused, State::Recording, State::RecordingPaused}) {
    all.push_back({s, Op::StopEngineDevices, State::Idle, {}});
    all.push_back({s, Op::SelectChunk, State::Idle, {0}});
  }

  AddChunk(10000);
  for (size_t i = 0; i < all.size(); ++i) {
    const auto& c = all[i];
    const std::string where = "row " + std::to_string(i) + " from " + Name(c.from);
    doc->SelectChunk(0);
    DrainPackets();
    Enter(c.from);
    ExpectState(c.from, where + " (setup)");
    Codes();
    Run(c.op);
    EXPECT_EQ(Codes(), c.codes) << where;
    ExpectState(c.to, where);
    DrainPackets();
  }
}

TEST_F(TransportTest, TenThousandFramesPlayInPacketsAcrossPauseAndResume) {
  CChunkInfo* chunk = AddChunk(10000);
  doc->trackIndex = 1;
  doc->SelectChunk(0);
  Codes();
  engine->TakeCalls();

  doc->StartPlayback();
  EXPECT_EQ(engine->TakeCalls(), (std::vector<std::wstring>{L"StopRender out", L"StartRender out"}));
  EXPECT_EQ(Codes(), std::vector<int>{7});
  ASSERT_EQ(engine->queued.size(), 2u);
  const CBufferRecord* first = engine->queued[0];
  const BufferBlockHeader* h = PlayBlockHeader(first);
  EXPECT_EQ(first->kind, kBufferKindAudio);
  EXPECT_EQ(first->size, 4410u * 2 + 48);
  EXPECT_EQ(first->payloadBytes, 0u);
  EXPECT_EQ(first->documentSerial, doc->serial);
  EXPECT_EQ(first->trackIndex, 1);
  EXPECT_EQ(h->channels, 1u);
  EXPECT_EQ(h->sampleRate, 44100u);
  EXPECT_EQ(h->bitsPerSample, 16u);
  EXPECT_EQ(h->frameCount, 4410u);
  EXPECT_EQ(h->encoding, 0u);
  EXPECT_EQ(h->streamKey, uint32_t(reinterpret_cast<uintptr_t>(doc)));
  const int16_t* second = reinterpret_cast<const int16_t*>(engine->queued[1]->data->data + 48);
  EXPECT_EQ(second[0], 4410);  // the second packet continues where the first ended

  ASSERT_TRUE(ReturnPacket());
  EXPECT_EQ(doc->playPosition.load(), 4410u);
  EXPECT_EQ(Codes(), std::vector<int>{4});
  ASSERT_EQ(engine->queued.size(), 2u);
  EXPECT_EQ(PlayBlockHeader(engine->queued[1])->frameCount, 1180u);

  doc->TogglePause();
  EXPECT_EQ(Codes(), std::vector<int>{5});
  // Packets that were in flight at the pause come back and change nothing.
  ASSERT_TRUE(ReturnPacket());
  ASSERT_TRUE(ReturnPacket());
  EXPECT_EQ(doc->playPosition.load(), 4410u);
  EXPECT_TRUE(Codes().empty());

  doc->TogglePause();
  EXPECT_EQ(Codes(), std::vector<int>{7});
  ASSERT_EQ(engine->queued.size(), 2u);
  EXPECT_EQ(reinterpret_cast<const int16_t*>(engine->queued[0]->data->data + 48)[0], 4410);
  EXPECT_EQ(PlayBlockHeader(engine->queued[0])->frameCount, 4410u);
  EXPECT_EQ(PlayBlockHeader(engine->queued[1])->frameCount, 1180u);

  ASSERT_TRUE(ReturnPacket());
  EXPECT_EQ(doc->playPosition.load(), 8820u);
  EXPECT_EQ(Codes(), std::vector<int>{4});
  EXPECT_TRUE(doc->playing.load());
  ASSERT_TRUE(ReturnPacket());
  EXPECT_EQ(doc->playPosition.load(), 10000u);
  EXPECT_EQ(Codes(), (std::vector<int>{5, 4}));
  EXPECT_FALSE(doc->playing.load());
  EXPECT_EQ(chunk->playOffset, 0u);
  EXPECT_TRUE(engine->queued.empty());
}

TEST_F(TransportTest, RecordsAreRoutedBySerial) {
  CSoundDocument other(GetCurrentThreadId(), UniqueTrackName(L"DocOther"), nullptr);
  FakeEngine* otherEngine = FakeEngine::last;
  EXPECT_EQ(other.serial, doc->serial + 1);
  int index = other.NewChunk();
  other.SelectChunk(index);
  CChunkInfo* chunk = other.GetCurrentChunk();
  chunk->buffer = static_cast<uint8_t*>(calloc(1, 8820 * 3));
  chunk->used = chunk->capacity = 8820 * 3;
  chunk->frames = 4410 * 3;
  other.StartPlayback();

  CBufferRecord* r = otherEngine->Take();
  ASSERT_NE(r, nullptr);
  doc->OnSoundOut(&r);  // not ours: left for the other track
  ASSERT_NE(r, nullptr);
  other.OnSoundOut(&r);
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(other.playPosition.load(), 4410u);

  // A packet of ours that comes back when no chunk is current is released, not left over.
  other.SelectChunk(-1);
  r = otherEngine->Take();
  ASSERT_NE(r, nullptr);
  other.OnSoundOut(&r);
  EXPECT_EQ(r, nullptr);
  other.StopTransport();
  while (CBufferRecord* left = otherEngine->Take()) ReleaseBufferRecord(left);
}

TEST_F(TransportTest, CaptureMaskPicksTheStreams) {
  struct MaskCase {
    uint32_t mask;
    std::vector<std::wstring> starts, stops;
  };
  const MaskCase cases[] = {
      {1, {L"StartCapture in 0 1"}, {L"StopCapture in 0"}},
      {2, {L"StartCapture out 0 3"}, {L"StopCapture out 0"}},
      {3, {L"StartCapture in 0 1", L"StartCapture out 0 3"}, {L"StopCapture in 0", L"StopCapture out 0"}},
  };
  auto only = [](std::vector<std::wstring> calls, const wchar_t* prefix) {
    calls.erase(std::remove_if(calls.begin(), calls.end(),
                               [&](const std::wstring& c) { return c.rfind(prefix, 0) != 0; }),
                calls.end());
    return calls;
  };
  for (const auto& c : cases) {
    doc->captureMask = c.mask;
    engine->TakeCalls();
    doc->ToggleRecording();
    EXPECT_EQ(only(engine->TakeCalls(), L"StartCapture"), c.starts) << "start, mask " << c.mask;
    doc->TogglePause();
    EXPECT_EQ(only(engine->TakeCalls(), L"StopCapture"), c.stops) << "pause, mask " << c.mask;
    doc->TogglePause();
    EXPECT_EQ(only(engine->TakeCalls(), L"StartCapture"), c.starts) << "resume, mask " << c.mask;
    doc->ToggleRecording();
    EXPECT_EQ(only(engine->TakeCalls(), L"StopCapture"), c.stops) << "stop, mask " << c.mask;
    EXPECT_FALSE(doc->recording.load());
  }
  Codes();
}

// Every way playback used to stay "Playing" for ever: it must end, with 7 then 5, 4.
TEST_F(TransportTest, PlaybackAlwaysEnds) {
  struct EndCase {
    const char* what;
    uint32_t frames, bytes;  // the chunk claims `frames` but holds `bytes`
    uint32_t cursor;
    bool renderOpens;
    std::vector<int> startCodes;
    int packets;  // packets handed out before the end
  };
  const EndCase cases[] = {
      {"data shorter than frames", 10000, 3000, 0, true, {7}, 1},
      {"cursor past the end", 10000, 20000, 25000, true, {7, 5, 4}, 0},
      {"cursor exactly at the end", 100, 200, 100, true, {7, 5, 4}, 0},
      {"render device does not open", 10000, 20000, 0, false, {7, 5, 4}, 0},
      {"odd byte count", 3, 7, 0, true, {7}, 1},
  };
  for (const auto& c : cases) {
    doc->FreeAllChunks();
    CChunkInfo* chunk = AddChunk(std::max(c.frames, c.bytes / 2 + 1));
    chunk->frames = c.frames;
    chunk->used = c.bytes;
    doc->SelectChunk(0);
    doc->cursorFrame = c.cursor;
    engine->renderOpens = c.renderOpens;
    Codes();
    doc->StartPlayback();
    EXPECT_EQ(Codes(), c.startCodes) << c.what;
    EXPECT_EQ(int(engine->queued.size()), c.packets) << c.what;
    for (int i = 0; i < c.packets; ++i) {
      ASSERT_TRUE(ReturnPacket()) << c.what;
    }
    if (c.packets) {
      EXPECT_EQ(Codes(), (std::vector<int>{5, 4})) << c.what;
    }
    EXPECT_FALSE(doc->playing.load()) << c.what;
    EXPECT_LE(doc->playPosition.load() * 2, c.bytes) << c.what;
  }
}

TEST_F(TransportTest, UnloadableChunkEndsAtOnceAndReports) {
  CChunkInfo* chunk = AddChunk(10000);
  doc->SelectChunk(0);
  doc->SelectChunk(-1);  // saved and freed
  ASSERT_EQ(chunk->buffer, nullptr);
  doc->currentChunk = 0;
  DeleteFileW((std::wstring(doc->tempFolder) + chunk->fileName).c_str());
  Codes();
  doc->StartPlayback();
  EXPECT_EQ(Codes(), (std::vector<int>{7, 5, 4}));
  EXPECT_EQ(Reports(), std::vector<std::wstring>{L"Could not open file in LoadChunk"});
  EXPECT_FALSE(doc->playing.load());
}

TEST_F(TransportTest, RefusedPacketEndsOnceTheRestIsBack) {
  AddChunk(44100);
  doc->SelectChunk(0);
  doc->StartPlayback();
  Codes();
  engine->playAccepts = false;  // the device went away
  ASSERT_TRUE(ReturnPacket());
  EXPECT_EQ(Codes(), std::vector<int>{4});
  EXPECT_TRUE(doc->playing.load());
  ASSERT_TRUE(ReturnPacket());
  EXPECT_EQ(Codes(), (std::vector<int>{5, 4}));
  EXPECT_FALSE(doc->playing.load());
}

TEST_F(TransportTest, RestartDropsPacketsOfTheEarlierPlayback) {
  AddChunk(44100);
  doc->SelectChunk(0);
  doc->StartPlayback();
  doc->cursorFrame = 20000;
  doc->StartPlayback();  // seek
  Codes();
  ASSERT_EQ(engine->queued.size(), 4u);
  ASSERT_TRUE(ReturnPacket());
  ASSERT_TRUE(ReturnPacket());
  EXPECT_EQ(doc->playPosition.load(), 20000u);
  EXPECT_TRUE(Codes().empty());
  ASSERT_TRUE(ReturnPacket());
  EXPECT_EQ(doc->playPosition.load(), 24410u);
  EXPECT_EQ(Codes(), std::vector<int>{4});
  doc->StopTransport();
  while (CBufferRecord* r = engine->Take()) ReleaseBufferRecord(r);
}

TEST_F(TransportTest, ChunkSelection) {
  // No chunks: "next" makes two and selects the second.
  doc->SelectNextChunk();
  EXPECT_EQ(doc->GetChunkCount(), 2);
  EXPECT_EQ(doc->currentChunk.load(), 1);
  EXPECT_EQ(Codes(), std::vector<int>{0});
  // On the last chunk it appends one more.
  doc->SelectNextChunk();
  EXPECT_EQ(doc->GetChunkCount(), 3);
  EXPECT_EQ(doc->currentChunk.load(), 2);
  doc->SelectPrevChunk();
  doc->SelectPrevChunk();
  EXPECT_EQ(doc->currentChunk.load(), 0);
  Codes();
  doc->SelectPrevChunk();
  EXPECT_EQ(doc->currentChunk.load(), 0);
  EXPECT_TRUE(Codes().empty());

  // An index outside the list stops the devices and zeroes the positions, nothing else.
  for (int bad : {3, 1000, -2, -1000}) {
    doc->cursorFrame = 5;
    engine->TakeCalls();
    doc->SelectChunk(bad);
    const auto calls = engine->TakeCalls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), L"StopRender out"), calls.end()) << bad;
    EXPECT_EQ(doc->currentChunk.load(), 0) << bad;
    EXPECT_EQ(doc->cursorFrame.load(), 0u) << bad;
    EXPECT_TRUE(Codes().empty()) << bad;
  }
}

TEST_F(TransportTest, NoChunkFileMeansNoChunkAndNoCrash) {
  wcscpy(doc->tempFolder, L"C:\\no such folder\\at all\\");
  EXPECT_EQ(doc->NewChunk(), -1);
  doc->SelectNextChunk();
  doc->ToggleRecording();
  doc->SetChunkText(L"text");
  doc->StartPlayback();
  CBufferRecord* r = MakeFloatBlock(1, {0.5f});
  doc->OnSoundIn(r);
  doc->WriteChunkPcm(0, 2, "ab");
  EXPECT_EQ(doc->GetChunkCount(), 0);
  EXPECT_EQ(doc->currentChunk.load(), -1);
  EXPECT_FALSE(doc->recording.load());
  EXPECT_TRUE(Codes().empty());
}

TEST_F(TransportTest, UnsavedChunkStaysInMemory) {
  CChunkInfo* chunk = AddChunk(100, 7);
  doc->SelectChunk(0);
  doc->NewChunk();
  // Another program holds the chunk file, so it cannot be written.
  HANDLE blocker = CreateFileW((std::wstring(doc->tempFolder) + chunk->fileName).c_str(), GENERIC_READ, 0,
                               nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(blocker, INVALID_HANDLE_VALUE);
  doc->SelectChunk(1);
  ASSERT_NE(chunk->buffer, nullptr);
  EXPECT_EQ(chunk->used, 200u);
  CloseHandle(blocker);
  doc->SelectChunk(0);
  EXPECT_EQ(ChunkSamples(chunk).at(99), 106);
  Codes();
}

// The worker returns packets and delivers captured blocks while the UI thread switches chunks,
// plays, pauses, records and stops: nothing may crash, stall or leak, and every chunk in memory
// keeps its frames in step with its bytes.
TEST_F(TransportTest, WorkerAndUiThreadShareTheDocument) {
  AddChunk(44100);
  AddChunk(22050);
  doc->SelectChunk(0);
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    for (unsigned n = 0; !stop; ++n) {
      if (CBufferRecord* r = engine->Take()) {
        doc->OnSoundOut(&r);
        if (r) ReleaseBufferRecord(r);
      }
      doc->OnSoundIn(n % 13 == 0 ? nullptr : MakeFloatBlock(1, std::vector<float>(441, 0.1f)));
      if (n % 3 == 0) Sleep(1);
    }
  });
  for (int i = 0; i < 2000; ++i) {
    switch (i % 7) {
      case 0:
        doc->StartPlayback();
        break;
      case 1:
        doc->TogglePause();
        break;
      case 2:
        doc->SelectChunk(i % 2);
        break;
      case 3:
        doc->ToggleRecording();
        break;
      case 4:
        doc->cursorFrame = uint32_t(i * 37 % 60000);
        break;
      case 5:
        doc->StopTransport();
        break;
      case 6:
        doc->ToggleRecording();
        break;
    }
    if (i % 50 == 0) Codes();
  }
  stop = true;
  worker.join();
  doc->StopTransport();
  while (CBufferRecord* r = engine->Take()) ReleaseBufferRecord(r);
  Codes();
  for (int i = 0; i < doc->GetChunkCount(); ++i) {
    const CChunkInfo* c = doc->GetChunk(i);
    if (c->buffer) {
      EXPECT_EQ(c->frames, c->used / 2) << "chunk " << i;
    }
    EXPECT_LE(c->used, c->capacity) << "chunk " << i;
  }
}
