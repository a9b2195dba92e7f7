// The application data object end to end: constructed and destroyed in this test program as the
// application object does it, its settings files in the real edition folder, its worker fed by
// the capture-product peer over the real pipe and by captured blocks as the engine posts them.
// The tracks get a fake engine (no sound devices); everything else is the real thing.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "appdata/AppData.h"
#include "appdata/SettingsFile.h"
#include "audio/BufferRecord.h"
#include "audio/SoundWorks.h"
#include "common/Locks.h"
#include "common/Prompt.h"
#include "common/SharedHelpers.h"
#include "media/document/SoundDocument.h"
#include "media/soundfile/SoundFile.h"
#include "peers/PeerProcess.h"
#include "tests/support/FakeSoundEngine.h"
#include "tests/support/LiveHandles.h"
#include "tests/support/TestFiles.h"

namespace {

// A converted capture block of mono float samples, as the engine posts it to the worker.
CBufferRecord* CapturedBlock(uint32_t frames, uint32_t seed) {
  std::vector<float> samples(frames);
  for (uint32_t i = 0; i < frames; ++i) samples[i] = float(int((seed + i) * 37 % 2000) - 1000) / 4000.0f;
  return MakeFloatBlock(1, samples);
}

uint32_t Ipv4(int a, int b, int c, int d) {
  return uint32_t(a) | uint32_t(b) << 8 | uint32_t(c) << 16 | uint32_t(d) << 24;
}

uint32_t Fnv1a(const uint8_t* p, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

std::vector<std::string> LinesWith(const std::string& log, const std::string& stem) {
  std::vector<std::string> out;
  size_t at = 0;
  while ((at = log.find(stem, at)) != std::string::npos) {
    const size_t end = log.find('\n', at);
    out.push_back(log.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end == std::string::npos ? log.size() : end;
  }
  return out;
}

// Top-level windows of this process titled `caption` (message boxes are titled by their caption).
struct WindowSearch {
  const wchar_t* caption;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectTitled(HWND w, LPARAM p) {
  auto* s = reinterpret_cast<WindowSearch*>(p);
  wchar_t title[128] = {};
  // Read without a message: a box thread still setting its box up must not hold the test.
  InternalGetWindowText(w, title, 128);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (pid == GetCurrentProcessId() && wcscmp(title, s->caption) == 0) s->found.push_back(w);
  return TRUE;
}

std::vector<HWND> WindowsTitled(const wchar_t* caption) {
  WindowSearch search{caption, {}};
  EnumWindows(CollectTitled, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::wstring BoxText(HWND box) {
  wchar_t text[256] = {};
  GetDlgItemTextW(box, 0xFFFF, text, 256);  // the message text of a message box
  return text;
}

void CloseBoxes(const wchar_t* caption) {
  for (HWND w : WindowsTitled(caption)) PostMessageW(w, WM_COMMAND, IDOK, 0);
  WaitUntil([&] { return WindowsTitled(caption).empty(); }, 5000);
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  ASSERT_TRUE(WriteWholeFile(path, bytes));
}

class AppDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_pfnCreateSoundEngine = MakeSilentFakeEngine;  // the test posts the blocks a capture would produce
    // The tracks' reports are answered here; the worker's own boxes go up for real, where the
    // tests find them by their captions.
    g_pfnShowPrompt = [](HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
      if (caption && wcscmp(caption, GetEditionName()) == 0) return IDOK;
      return ShowMessageBoxPrompt(owner, text, caption, style);
    };
    baseline_ = GetLiveBufferRecordCount();
  }
  void TearDown() override {
    DestroyApp();
    peer_.Kill();
    g_pfnCreateSoundEngine = nullptr;
    g_pfnShowPrompt = ShowMessageBoxPrompt;
    EXPECT_EQ(GetLiveBufferRecordCount(), baseline_) << "buffer records leaked";
  }

  void CreateApp() {
    app_ = new CAppData;
    g_pAppData = app_;
  }
  void DestroyApp() {
    CloseBoxes(L"Pipe Data");
    CloseBoxes(L"Error streaming");
    delete app_;
    app_ = nullptr;
    g_pAppData = nullptr;
  }
  // Pictavo's stand-in on the fixed pipe name (`arguments` already quoted).
  void StartPeer(const std::wstring& arguments) {
    ASSERT_TRUE(peer_.Start(L"pictavo_peer.exe", arguments)) << "the capture peer did not start";
  }
  void StartPeerScript(const std::wstring& options, const wchar_t* script) {
    StartPeer(options + L" --run " + QuoteArgument(script));
  }
  // Every buffer posted to the worker before this has been handled once it returns: the tracks
  // keep none (one capture stream), so the count of live records falls back to where it was.
  void SyncWorker() {
    CBufferRecord* marker = CreateBufferRecord(kBufferHeaderBytes);  // no track's serial
    ASSERT_TRUE(PostThreadMessageW(app_->workerThreadId, WM_SOUND_OUT, WPARAM(marker), 0));
    ASSERT_TRUE(WaitUntil([&] { return GetLiveBufferRecordCount() <= baseline_; })) << "the worker is stuck";
  }
  void PostCaptured(CBufferRecord* record) {
    ASSERT_TRUE(PostThreadMessageW(app_->workerThreadId, WM_SOUND_IN, WPARAM(record), 0));
  }
  struct TrackState {
    int chunks = 0;
    int current = -1;
    uint32_t frames = 0;
    std::vector<int16_t> samples;
  };
  static TrackState State(CSoundDocument* track) {
    std::lock_guard<RecursiveMutex> lock(track->PacketLock());
    TrackState s;
    s.chunks = track->GetChunkCount();
    s.current = track->currentChunk;
    if (const CChunkInfo* c = track->GetCurrentChunk()) {
      s.frames = c->frames;
      if (c->buffer)
        s.samples.assign(reinterpret_cast<int16_t*>(c->buffer),
                         reinterpret_cast<int16_t*>(c->buffer) + c->used / 2);
    }
    return s;
  }
  static std::vector<int16_t> Ramp(int n, int from = 0) {
    std::vector<int16_t> r;
    for (int i = from; i < from + n; ++i) r.push_back(int16_t(i * 100));
    return r;
  }

  CAppData* app_ = nullptr;
  CPeerProcess peer_;
  LONG baseline_ = 0;
};

// First start on a clean machine, then a start with settings of a previous run.
TEST_F(AppDataTest, SettingsFilesOnFirstStartAndOnTheNext) {
  const std::wstring folder = GetEditionFolder();
  ASSERT_FALSE(folder.empty());
  const std::wstring paths = folder + L"\\RecorderPaths.json", urls = folder + L"\\URLList.txt";
  DeleteFileW(paths.c_str());
  DeleteFileW(urls.c_str());
  CreateApp();
  EXPECT_TRUE(app_->settingsDocument.is_null());
  EXPECT_EQ(app_->urlListText, nullptr);
  EXPECT_EQ(ReadFileOrMissing(urls), "") << "an empty list is created";
  EXPECT_EQ(app_->waveDevices.WaveDeviceOut, std::wstring(1, wchar_t(0xFFFF)));
  EXPECT_EQ(app_->mixerValue, 0xFFFFFFFFu);
  EXPECT_EQ(app_->masterTrack->captureMask, 3u);
  EXPECT_EQ(app_->studentTrack->trackIndex, 1u);
  const size_t n = wcslen(app_->programFolder);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(app_->programFolder[n - 1], L'\\');
  DestroyApp();
  EXPECT_EQ(ReadFileOrMissing(paths), "null\r\n");

  // An empty object comes back as it is written; a list with its mark is held.
  WriteFileBytes(paths, "{}");
  WriteFileBytes(urls, std::string("\xFF\xFEh\0t\0t\0p\0", 10));
  CreateApp();
  EXPECT_EQ(app_->settingsDocument, nlohmann::json::object());
  ASSERT_NE(app_->urlListText, nullptr);
  EXPECT_EQ(std::wstring(app_->urlListText, app_->urlListLength), L"http");
  DestroyApp();
  EXPECT_EQ(ReadFileOrMissing(paths), "  {}\r\n");

  // What the main window put into the document and the chosen devices reach their files.
  CreateApp();
  app_->settingsDocument["Main"]["LastOpenPath"] = {67, 58};
  const std::wstring devices = folder + L"\\QuillmeridianSt2.ini";
  wcscpy(app_->waveDevices.settingsPath, devices.c_str());
  app_->waveDevices.WaveDeviceOut = L"out-id";
  app_->waveDevices.WaveDeviceIn = L"in-id";
  DestroyApp();
  EXPECT_EQ(ReadFileOrMissing(paths),
            "{\r\n    \"Main\": {\r\n        \"LastOpenPath\": [\r\n            67,\r\n"
            "            58\r\n        ]\r\n    }\r\n}\r\n");
  EXPECT_EQ(nlohmann::json::parse(ReadFileOrMissing(devices)),
            nlohmann::json({{"Wave", {{"WaveDeviceIn", "in-id"}, {"WaveDeviceOut", "out-id"}}}}));

  // A hostile settings file is dropped, not crashed on at exit.
  WriteFileBytes(paths, std::string(50000, '[') + std::string(50000, ']'));
  CreateApp();
  EXPECT_TRUE(app_->settingsDocument.is_null());
  DestroyApp();
  EXPECT_EQ(ReadFileOrMissing(paths), "null\r\n");
  DeleteFileW(devices.c_str());
}

// Hello and the address request on every connection, and a mixer query made before the peer was
// there goes out right after the first greeting.
TEST_F(AppDataTest, GreetsTheCaptureProductOnEveryConnection) {
  CreateApp();
  app_->SendMixerQuery();
  StartPeerScript(L"", L"wait-connect 1; wait-frame 0 1081; drop 0; wait-connect 2; wait-frame 1 52; serve");
  ASSERT_TRUE(peer_.WaitForLog("ADDRESS-REQUEST conn=1"));
  ASSERT_TRUE(WaitUntil([&] { return app_->GetCapturePipe() != nullptr; }));
  const std::string log = peer_.Log();
  for (const char* conn : {"conn=0", "conn=1"}) {
    const auto frames = LinesWith(log, std::string("FRAME ") + conn);
    ASSERT_GE(frames.size(), 2u) << log;
    EXPECT_NE(frames[0].find("length=26 type=54 data=1a00000036000000000000000000000051"
                             "75696c6c6d6572696469616e00"),
              std::string::npos)
        << frames[0];
    EXPECT_NE(frames[1].find("length=4 type=52 data=0400000034000000"), std::string::npos) << frames[1];
  }
  const auto first = LinesWith(log, "FRAME conn=0");
  ASSERT_EQ(first.size(), 3u) << log;
  EXPECT_NE(first[2].find("type=1081 data=0400000039040000"), std::string::npos);
  EXPECT_EQ(LinesWith(log, "FRAME conn=1").size(), 2u) << "the query is sent once";
  EXPECT_EQ(LinesWith(log, "HELLO conn=1 name=Quillmeridian").size(), 1u);
}

// Mixer queries from the user-interface thread as each new connection comes up: none of them
// reaches the peer before the greeting of its connection.
TEST_F(AppDataTest, TheGreetingComesFirstOnEveryConnection) {
  CreateApp();
  constexpr int kConnections = 6;
  std::wstring script;
  for (int k = 0; k < kConnections; ++k) {
    script += L"wait-connect " + std::to_wstring(k + 1) + L"; wait-frame " + std::to_wstring(k) + L" 52; ";
    if (k + 1 < kConnections) script += L"drop " + std::to_wstring(k) + L"; ";
  }
  StartPeerScript(L"", (script + L"serve").c_str());
  std::atomic<bool> done{false};
  std::thread ui([&] {
    // Asks until a connection is there and once more on it, then waits for the next one.
    while (!done) {
      const bool connected = app_->GetCapturePipe() != nullptr;
      app_->SendMixerQuery();
      if (connected) WaitUntil([&] { return done || app_->GetCapturePipe() == nullptr; }, 30000);
    }
  });
  const bool all = peer_.WaitForLog("ADDRESS-REQUEST conn=" + std::to_string(kConnections - 1), 30000);
  done = true;
  ui.join();
  ASSERT_TRUE(all) << peer_.Log();
  const std::string log = peer_.Log();
  for (int k = 0; k < kConnections; ++k) {
    const auto frames = LinesWith(log, "FRAME conn=" + std::to_string(k) + " ");
    ASSERT_GE(frames.size(), 2u) << log;
    EXPECT_NE(frames[0].find("type=54 "), std::string::npos) << "connection " << k << ": " << frames[0];
    EXPECT_NE(frames[1].find("type=52 "), std::string::npos) << "connection " << k << ": " << frames[1];
  }
}

// The station's address, then audio for the Master: by address, into the chunk it names, with
// malformed frames in between ignored; mixer values by the mixer input.
TEST_F(AppDataTest, AudioFromTheCaptureProductReachesTheMaster) {
  CreateApp();
  app_->mixerInput = 2;
  StartPeerScript(L"--address 10.0.0.7",
                  L"wait-connect 1; wait-frame 0 52; sleep 100;"
                  L"send-audio 0 0 0 ramp:100 1:10.0.0.9;"                     // another station's
                  L"send-frame 0 2 0000000000000000;"                          // audio header cut short
                  L"send-frame 0 2 00000000000000000a000000000000000100;"      // bytes beyond the frame
                  L"send-frame 0 2 0000000000000000000000000000002001000000;"  // recipients wrap
                  L"send-frame 0 1 41;"                                        // text with L = 5
                  L"send-frame 0 1;"                                           // text with L = 4
                  L"send-frame 0 52 0a00;"                                     // half an address
                  L"send-frame 0 1001 0b000000;"                               // one mixer word: no Mix value
                  L"send-audio 0 5000 0 ramp:10;"                              // absurd chunk index
                  L"send-audio 0 0 0x40000000 ramp:10;"                        // absurd sample offset
                  L"send-frame 0 9999 01020304;"                               // unknown type
                  L"send-audio 0 0 0 ramp:100 2:10.0.0.8 1:10.0.0.7;"          // ours
                  L"send-audio 0 0 100 ramp:50;"                               // everyone's
                  L"send-mixer 0 11 22;"
                  L"serve");
  ASSERT_TRUE(WaitUntil([&] { return app_->mixerValue == 22u; })) << peer_.Log();
  EXPECT_EQ(app_->ownStationAddress, Ipv4(10, 0, 0, 7));
  TrackState master = State(app_->masterTrack);
  EXPECT_EQ(master.chunks, 1);
  EXPECT_EQ(master.current, 0);
  std::vector<int16_t> expected = Ramp(100);
  const std::vector<int16_t> tail = Ramp(50);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(master.samples, expected);
  EXPECT_TRUE(WindowsTitled(L"Pipe Data").empty()) << "a text frame without text shows no box";
  EXPECT_EQ(State(app_->studentTrack).chunks, 1);
  DestroyApp();
}

// Audio for chunk 3 on a track with one chunk: chunks are made up to it and both tracks select it.
TEST_F(AppDataTest, AudioForALaterChunkMakesAndSelectsItOnBothTracks) {
  CreateApp();
  StartPeerScript(L"",
                  L"wait-connect 1; wait-frame 0 52; sleep 100;"
                  L"send-audio 0 0 0 ramp:40; send-audio 0 3 0 ramp:20; serve");
  ASSERT_TRUE(WaitUntil([&] { return State(app_->masterTrack).current == 3; })) << peer_.Log();
  SyncWorker();
  const TrackState master = State(app_->masterTrack), student = State(app_->studentTrack);
  EXPECT_EQ(master.chunks, 4);
  EXPECT_EQ(master.samples, Ramp(20));
  EXPECT_EQ(student.chunks, 4);
  EXPECT_EQ(student.current, 3);
  {
    std::lock_guard<RecursiveMutex> lock(app_->masterTrack->PacketLock());
    EXPECT_EQ(app_->masterTrack->GetChunk(0)->frames, 40u) << "the first chunk keeps its audio";
  }
  DestroyApp();
}

// A text box stays up while audio keeps arriving; the worker is not held by it.
TEST_F(AppDataTest, TextBoxDoesNotHoldUpTheWorker) {
  CreateApp();
  StartPeerScript(L"",
                  L"wait-connect 1; wait-frame 0 52; sleep 100; send-text 0 \"Hello class\"; sleep 300;"
                  L"send-audio 0 0 0 ramp:100; serve");
  ASSERT_TRUE(WaitUntil([&] { return !WindowsTitled(L"Pipe Data").empty(); })) << peer_.Log();
  ASSERT_TRUE(WaitUntil([&] { return State(app_->masterTrack).frames == 100; }))
      << "audio waited for the box";
  const auto boxes = WindowsTitled(L"Pipe Data");
  ASSERT_EQ(boxes.size(), 1u) << "the box is still up while the audio went in";
  EXPECT_EQ(BoxText(boxes[0]), L"Hello class");
  // Captured blocks and played buffers flow meanwhile too.
  app_->studentTrack->ToggleRecording();
  for (int i = 0; i < 10; ++i) PostCaptured(CapturedBlock(441, i));
  SyncWorker();
  EXPECT_EQ(State(app_->studentTrack).frames, 4410u);
  EXPECT_EQ(WindowsTitled(L"Pipe Data").size(), 1u);
  app_->studentTrack->ToggleRecording();
  PostCaptured(nullptr);
  CloseBoxes(L"Pipe Data");
  EXPECT_TRUE(WindowsTitled(L"Pipe Data").empty());
  DestroyApp();
}

// A track that reports a failure while the worker drives it (pipe audio selects a chunk whose
// file is gone) reports from a thread of its own: audio keeps flowing while that box is up.
TEST_F(AppDataTest, ATrackReportRaisedOnTheWorkerDoesNotHoldItUp) {
  static HANDLE release;
  static std::atomic<DWORD> reportThread;
  static std::wstring reported;
  release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  reportThread = 0;
  static const PFN_ShowPrompt answerer = [](HWND, LPCWSTR text, LPCWSTR, UINT) {
    reported = text;
    reportThread = GetCurrentThreadId();
    WaitForSingleObject(release, 8000);  // a box the user has not closed yet
    return IDOK;
  };
  g_pfnShowPrompt = answerer;
  CreateApp();
  {
    std::lock_guard<RecursiveMutex> lock(app_->masterTrack->PacketLock());
    ASSERT_EQ(app_->masterTrack->NewChunk(), 0);
    const int gone = app_->masterTrack->NewChunk();
    ASSERT_EQ(gone, 1);
    CChunkInfo* chunk = app_->masterTrack->GetChunk(gone);
    chunk->frames = 100;
    wcscpy(chunk->fileName, L"WavNoSuchChunk.tmp");
  }
  StartPeerScript(L"",
                  L"wait-connect 1; wait-frame 0 52; sleep 100; send-audio 0 1 0 ramp:10; sleep 200;"
                  L"send-audio 0 0 0 ramp:30; serve");
  ASSERT_TRUE(WaitUntil([&] { return reportThread != 0; })) << peer_.Log();
  EXPECT_NE(reportThread, app_->workerThreadId);
  EXPECT_EQ(reported, L"Could not open file in LoadChunk");
  const bool flowed = WaitUntil(
      [&] {
        const TrackState master = State(app_->masterTrack);
        return master.current == 0 && master.frames == 30;
      },
      4000);
  SetEvent(release);
  EXPECT_TRUE(flowed) << "the worker waited for the report";
  SyncWorker();
  DestroyApp();
  EXPECT_EQ(g_pfnShowPrompt, answerer);
  CloseHandle(release);
}

// A peer that floods the pipe with texts: a bounded number of boxes, and the worker goes on.
TEST_F(AppDataTest, AFloodOfTextsOpensABoundedNumberOfBoxes) {
  CreateApp();
  StartPeerScript(L"",
                  L"wait-connect 1; wait-frame 0 52; sleep 100;"
                  L"send-text 0 a; send-text 0 b; send-text 0 c; send-text 0 d; send-text 0 e;"
                  L"send-text 0 a; send-text 0 b; send-text 0 c; send-text 0 d; send-text 0 e;"
                  L"send-text 0 a; send-text 0 b; send-text 0 c; send-text 0 d; send-text 0 e;"
                  L"send-text 0 a; send-text 0 b; send-text 0 c; send-text 0 d; send-text 0 e;"
                  L"send-text 0 a; send-text 0 b; send-text 0 c; send-text 0 d; send-text 0 e;"
                  L"send-text 0 a; send-text 0 b; send-text 0 c; send-text 0 d; send-text 0 e;"
                  L"send-text 0 a; send-text 0 b; send-text 0 c; send-text 0 d; send-text 0 e;"
                  L"send-text 0 a; send-text 0 b; send-text 0 c; send-text 0 d; send-text 0 e;"
                  L"send-audio 0 0 0 ramp:10; serve");
  ASSERT_TRUE(WaitUntil([&] { return State(app_->masterTrack).frames == 10; })) << peer_.Log();
  // The worker turned every text into a box or a refusal before it took the audio, so all the
  // boxes there will be are up.
  ASSERT_TRUE(WaitUntil([&] { return WindowsTitled(L"Pipe Data").size() == kMaxWorkerBoxes; }));
  EXPECT_EQ(WindowsTitled(L"Pipe Data").size(), kMaxWorkerBoxes);
  CloseBoxes(L"Pipe Data");
  ASSERT_TRUE(WindowsTitled(L"Pipe Data").empty());
  // Closed boxes make room again.
  ShowBoxOnOwnThread(L"again", L"Pipe Data", MB_OK);
  EXPECT_TRUE(WaitUntil([&] { return WindowsTitled(L"Pipe Data").size() == 1; }));
  DestroyApp();
}

// Streaming a Student recording: blocks of 16,384 samples once more than that is recorded, the
// rest at the end; the frames' samples are the chunk's. A short recording is not streamed.
TEST_F(AppDataTest, StreamsTheStudentRecordingAsForwardFrames) {
  CreateApp();
  app_->streaming = 1;
  EnterCriticalSection(&app_->recipientLock);
  app_->recipients[0] = {3, Ipv4(10, 0, 0, 5)};
  app_->recipients[1] = {4, Ipv4(10, 0, 0, 6)};
  app_->recipientCount = 2;
  LeaveCriticalSection(&app_->recipientLock);
  StartPeerScript(L"", L"serve");
  ASSERT_TRUE(peer_.WaitForLog("ADDRESS-REQUEST conn=0"));
  ASSERT_TRUE(WaitUntil([&] { return app_->GetCapturePipe() != nullptr; }));

  app_->studentTrack->ToggleRecording();
  // 4,000 samples a block: 16,000 sends nothing, 20,000 the first block, 36,000 the second.
  for (int i = 0; i < 4; ++i) PostCaptured(CapturedBlock(4000, 4000 * i));
  SyncWorker();
  EXPECT_TRUE(LinesWith(peer_.Log(), "FORWARD").empty()) << "16,000 samples are not streamed yet";
  for (int i = 4; i < 10; ++i) PostCaptured(CapturedBlock(4000, 4000 * i));
  app_->studentTrack->ToggleRecording();
  PostCaptured(nullptr);  // the end of the recording
  SyncWorker();
  ASSERT_TRUE(WaitUntil([&] { return LinesWith(peer_.Log(), "FORWARD").size() == 3; })) << peer_.Log();
  EXPECT_EQ(app_->streamedSamples, 0u);

  const TrackState student = State(app_->studentTrack);
  ASSERT_EQ(student.frames, 40000u);
  ASSERT_EQ(student.samples.size(), 40000u);
  const auto* pcm = reinterpret_cast<const uint8_t*>(student.samples.data());
  const auto forwards = LinesWith(peer_.Log(), "FORWARD");
  const uint32_t offsets[3] = {0, 16384, 32768}, counts[3] = {16384, 16384, 7232};
  for (int i = 0; i < 3; ++i) {
    char expected[256];
    snprintf(expected, sizeof expected,
             "FORWARD conn=0 inner-length=%u inner-type=2 chunk=0 offset=%u bytes=%u "
             "recipients=3:10.0.0.5,4:10.0.0.6 pcm-fnv=%08x",
             counts[i] * 2 + 16 + 20, offsets[i], counts[i] * 2, Fnv1a(pcm + offsets[i] * 2, counts[i] * 2));
    EXPECT_EQ(forwards[i].substr(0, strlen(expected)), expected);
  }

  // A new chunk with 15,000 samples: not streamed at all, not even at its end.
  app_->studentTrack->SelectNextChunk();
  app_->studentTrack->ToggleRecording();
  for (int i = 0; i < 3; ++i) PostCaptured(CapturedBlock(5000, i));
  app_->studentTrack->ToggleRecording();
  PostCaptured(nullptr);
  SyncWorker();
  EXPECT_EQ(State(app_->studentTrack).frames, 15000u);
  Sleep(200);
  EXPECT_EQ(LinesWith(peer_.Log(), "FORWARD").size(), 3u);
  EXPECT_EQ(app_->streaming, 1u);
  EXPECT_TRUE(WindowsTitled(L"Error streaming").empty());
  DestroyApp();
}

// Stop, then save and exit at once, while the take's last blocks are still inside the engine: the
// save holds the whole take, and the exit streams its last block before the pipe goes.
TEST_F(AppDataTest, SaveAndExitRightAfterStopKeepTheWholeTake) {
  CreateApp();
  app_->streaming = 1;
  auto* engine = static_cast<FakeEngine*>(app_->studentTrack->engine);
  engine->captureThread = app_->workerThreadId;
  engine->tailDelayMs = 300;
  StartPeerScript(L"", L"serve");
  ASSERT_TRUE(peer_.WaitForLog("ADDRESS-REQUEST conn=0"));
  ASSERT_TRUE(WaitUntil([&] { return app_->GetCapturePipe() != nullptr; }));

  // Save right after the stop.
  CSoundDocument* student = app_->studentTrack;
  student->ToggleRecording();
  for (int i = 0; i < 5; ++i) engine->Capture(CapturedBlock(4000, 4000 * i));
  for (int i = 5; i < 7; ++i) engine->Hold(CapturedBlock(4000, 4000 * i));
  student->ToggleRecording();
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  const std::wstring path =
      std::wstring(folder) + L"exit_take_" + std::to_wstring(GetCurrentProcessId()) + L".wav";
  ASSERT_TRUE(student->SaveSoundFile(path));
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeLow, 44u + 28000u * 2) << "the saved take lacks its tail";
  DeleteFileW(path.c_str());

  // Exit right after the stop: 48,000 samples streamed in full, the last block included.
  student->SelectNextChunk();
  student->ToggleRecording();
  for (int i = 0; i < 10; ++i) engine->Capture(CapturedBlock(4000, 4000 * i));
  for (int i = 10; i < 12; ++i) engine->Hold(CapturedBlock(4000, 4000 * i));
  student->ToggleRecording();
  DestroyApp();
  ASSERT_TRUE(peer_.WaitForLog("offset=32768 bytes=30464")) << peer_.Log();
  const auto forwards = LinesWith(peer_.Log(), "chunk=1 ");
  ASSERT_EQ(forwards.size(), 3u) << peer_.Log();
  EXPECT_NE(forwards[0].find("chunk=1 offset=0 bytes=32768"), std::string::npos);
  EXPECT_NE(forwards[2].find("chunk=1 offset=32768 bytes=30464"), std::string::npos);
}

// The end of a recording reaches the worker after the user moved to another chunk: nothing of
// the new chunk is sent as the old one's rest, and the new chunk streams from its own start.
TEST_F(AppDataTest, StreamingFollowsTheChunkItBelongsTo) {
  CreateApp();
  app_->streaming = 1;
  StartPeerScript(L"", L"serve");
  ASSERT_TRUE(peer_.WaitForLog("ADDRESS-REQUEST conn=0"));
  ASSERT_TRUE(WaitUntil([&] { return app_->GetCapturePipe() != nullptr; }));
  app_->studentTrack->ToggleRecording();
  for (int i = 0; i < 5; ++i) PostCaptured(CapturedBlock(4000, i));
  SyncWorker();
  ASSERT_TRUE(WaitUntil([&] { return LinesWith(peer_.Log(), "FORWARD").size() == 1; })) << peer_.Log();
  // Selecting another chunk stops the recording; its end marker is handled once that chunk is
  // current. Then a new recording begins there.
  app_->studentTrack->SelectNextChunk();
  PostCaptured(nullptr);
  app_->studentTrack->ToggleRecording();
  for (int i = 0; i < 6; ++i) PostCaptured(CapturedBlock(5000, i));
  app_->studentTrack->ToggleRecording();
  PostCaptured(nullptr);
  SyncWorker();
  ASSERT_TRUE(WaitUntil([&] { return LinesWith(peer_.Log(), "FORWARD").size() == 3; }, 3000)) << peer_.Log();
  const auto forwards = LinesWith(peer_.Log(), "FORWARD");
  EXPECT_NE(forwards[0].find("chunk=0 offset=0 bytes=32768"), std::string::npos) << forwards[0];
  EXPECT_NE(forwards[1].find("chunk=1 offset=0 bytes=32768"), std::string::npos) << forwards[1];
  EXPECT_NE(forwards[2].find("chunk=1 offset=16384 bytes=27232"), std::string::npos) << forwards[2];
  EXPECT_EQ(State(app_->studentTrack).frames, 30000u);
  DestroyApp();
}

// Construction and destruction with the tracks' real engines (sound devices of the harness).
TEST_F(AppDataTest, CreatesAndDestroysWithRealEngines) {
  g_pfnCreateSoundEngine = nullptr;
  for (int round = 0; round < 2; ++round) {
    CreateApp();
    ASSERT_NE(app_->masterTrack->engine, nullptr);
    ASSERT_NE(app_->studentTrack->engine, nullptr);
    EXPECT_NE(app_->masterTrack->engine, app_->studentTrack->engine);
    EXPECT_EQ(app_->masterTrack->sharedRecord, app_->sharedEngineRecord);
    EXPECT_EQ(app_->sharedEngineRecord->marker, 0xC0FFEE99u);
    DestroyApp();
  }
}

// The user-interface thread's mixer queries and the worker's streamed frames share the pipe:
// every frame arrives whole.
TEST_F(AppDataTest, QueriesFromAnotherThreadNeverSplitAStreamedFrame) {
  CreateApp();
  app_->streaming = 1;
  StartPeerScript(L"", L"serve");
  ASSERT_TRUE(peer_.WaitForLog("ADDRESS-REQUEST conn=0"));
  ASSERT_TRUE(WaitUntil([&] { return app_->GetCapturePipe() != nullptr; }));
  const int queries = 300;
  std::thread ui([&] {
    for (int i = 0; i < queries; ++i) app_->SendMixerQuery();
  });
  app_->studentTrack->ToggleRecording();
  const int blocks = 80;
  for (int i = 0; i < blocks; ++i) PostCaptured(CapturedBlock(4410, i));
  app_->studentTrack->ToggleRecording();
  PostCaptured(nullptr);
  ui.join();
  SyncWorker();
  const uint32_t total = blocks * 4410, frames = (total - 1) / 16384 + 1;
  ASSERT_TRUE(WaitUntil([&] {
    return LinesWith(peer_.Log(), "FORWARD").size() == frames &&
           LinesWith(peer_.Log(), "MIXER-QUERY").size() == queries;
  })) << peer_.Log().substr(0, 4000);
  const std::string log = peer_.Log();
  EXPECT_TRUE(LinesWith(log, "BADLENGTH").empty());
  const TrackState student = State(app_->studentTrack);
  ASSERT_EQ(student.frames, total);
  const auto* pcm = reinterpret_cast<const uint8_t*>(student.samples.data());
  const auto forwards = LinesWith(log, "FORWARD");
  for (uint32_t i = 0; i < frames; ++i) {
    const uint32_t count = i + 1 < frames ? 16384 : total - 16384 * i;
    char expected[64];
    snprintf(expected, sizeof expected, "pcm-fnv=%08x", Fnv1a(pcm + i * 16384 * 2, count * 2));
    EXPECT_NE(forwards[i].find(expected), std::string::npos) << forwards[i];
  }
  DestroyApp();
}

// A peer that stops reading: the stream write gives up after its time-out, one error box, and
// the recording goes on without a lost block.
TEST_F(AppDataTest, PeerThatStopsReadingGivesOneErrorBoxAndRecordingGoesOn) {
  CreateApp();
  app_->streaming = 1;
  StartPeerScript(L"", L"wait-connect 1; wait-frame 0 52; stop-reading 0; log stopped; serve");
  ASSERT_TRUE(peer_.WaitForLog("LOG stopped"));
  ASSERT_TRUE(WaitUntil([&] { return app_->GetCapturePipe() != nullptr; }));
  app_->studentTrack->ToggleRecording();
  const int blocks = 60;  // about 16 frames of 32 KiB against a 64 KiB pipe buffer
  for (int i = 0; i < blocks; ++i) PostCaptured(CapturedBlock(4410, i));
  const DWORD start = GetTickCount();
  ASSERT_TRUE(WaitUntil([&] { return !WindowsTitled(L"Error streaming").empty(); }, 15000));
  EXPECT_LT(GetTickCount() - start, 8000u) << "the write waited far longer than its time-out";
  SyncWorker();
  EXPECT_EQ(app_->streaming, 0u);
  EXPECT_EQ(State(app_->studentTrack).frames, uint32_t(blocks) * 4410) << "blocks were lost";
  // More recording after the failure: no second box.
  for (int i = 0; i < 10; ++i) PostCaptured(CapturedBlock(4410, i));
  app_->studentTrack->ToggleRecording();
  PostCaptured(nullptr);
  SyncWorker();
  Sleep(200);
  const auto boxes = WindowsTitled(L"Error streaming");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(BoxText(boxes[0]), L"StreamingMode will be disabled");
  EXPECT_EQ(State(app_->studentTrack).frames, uint32_t(blocks + 10) * 4410);
  DestroyApp();
}

// Audio from the pipe while the Master loads a file: the load replaces chunks and format as it
// goes, so the audio is left out (and logged), and the loaded sound is whole afterwards.
TEST_F(AppDataTest, PipeAudioDuringALoadLeavesTheLoadedSoundWhole) {
  CreateApp();
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring path =
      std::wstring(temp) + L"pipe_during_load_" + std::to_wstring(GetCurrentProcessId()) + L".wav";
  std::vector<int16_t> pcm(3000);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = int16_t(i * 11 - 9000);
  std::string wav("RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x44\xac\0\0\x88\x58\x01\0\x02\0\x10\0data", 40);
  const uint32_t dataBytes = uint32_t(pcm.size() * 2), riff = dataBytes + 36;
  memcpy(&wav[4], &riff, 4);
  wav.append(reinterpret_cast<const char*>(&dataBytes), 4);
  wav.append(reinterpret_cast<const char*>(pcm.data()), dataBytes);
  WriteFileBytes(path, wav);

  // The load waits for the decode mutex, which this thread holds: the Master is mid-load.
  HANDLE decode = CreateMutexW(nullptr, FALSE, kDecodeMutexName);
  ASSERT_NE(decode, nullptr);
  ASSERT_EQ(WaitForSingleObject(decode, 10000), WAIT_OBJECT_0);
  CSoundDocument* master = app_->masterTrack;
  std::atomic<int> loaded{-1};
  std::thread load([&] { loaded = master->LoadSoundFile(path) ? 1 : 0; });
  ASSERT_TRUE(WaitUntil([&] { return master->loading.load(); }));
  StartPeerScript(L"",
                  L"wait-connect 1; wait-frame 0 52; sleep 100; send-audio 0 0 0 ramp:100; log sent; serve");
  ASSERT_TRUE(peer_.WaitForLog("LOG sent")) << peer_.Log();
  Sleep(300);
  SyncWorker();
  EXPECT_EQ(State(master).chunks, 0) << "pipe audio went into a track that was loading";
  ReleaseMutex(decode);
  load.join();
  CloseHandle(decode);
  ASSERT_EQ(loaded.load(), 1);
  EXPECT_FALSE(master->loading.load());
  const TrackState after = State(master);
  EXPECT_EQ(after.chunks, 1);
  EXPECT_EQ(after.frames, 3000u);
  EXPECT_EQ(after.samples, pcm);
  EXPECT_EQ(master->wavHeader.samplesPerSec, 44100u);
  DestroyApp();
  DeleteFileW(path.c_str());
}

// A frame of `bytes` bytes in all, of a type the peer ignores.
std::vector<uint8_t> BigFrame(uint32_t bytes) {
  std::vector<uint8_t> frame(bytes, 0);
  const uint32_t length = bytes - 4, type = 9999;
  memcpy(frame.data(), &length, 4);
  memcpy(frame.data() + 4, &type, 4);
  return frame;
}

// A write that the peer does not take in time leaves part of a frame on the wire: the connection
// is closed then, so the peer never reads later frames out of step, and the next connection is
// greeted afresh.
TEST_F(AppDataTest, AStalledPeerGetsAClosedConnectionAfterTheShortWrite) {
  CreateApp();
  StartPeerScript(L"",
                  L"wait-connect 1; wait-frame 0 52; stop-reading 0; log stopped; sleep 4000;"
                  L"resume-reading 0; wait-disconnect 0 10000; log closed; wait-connect 2; wait-frame 1 52;"
                  L"log greeted; serve");
  ASSERT_TRUE(peer_.WaitForLog("LOG stopped"));
  ASSERT_TRUE(WaitUntil([&] { return app_->GetCapturePipe() != nullptr; }));
  const HANDLE first = app_->GetCapturePipe();
  const std::vector<uint8_t> frame = BigFrame(1 << 20);  // far more than the pipe holds
  const DWORD start = GetTickCount();
  EXPECT_FALSE(app_->WriteCaptureFrame(frame.data(), DWORD(frame.size())));
  EXPECT_LT(GetTickCount() - start, kPipeWriteTimeoutMs + 1500);
  EXPECT_NE(app_->GetCapturePipe(), first) << "the connection with half a frame on it is still in use";
  EXPECT_FALSE(app_->WriteCaptureFrame(frame.data(), 8)) << "a frame went out after the short one";
  ASSERT_TRUE(peer_.WaitForLog("LOG closed", 15000)) << peer_.Log();
  ASSERT_TRUE(peer_.WaitForLog("LOG greeted", 10000)) << peer_.Log();
  EXPECT_EQ(LinesWith(peer_.Log(), "HELLO conn=1").size(), 1u);
  EXPECT_TRUE(LinesWith(peer_.Log(), "FRAME conn=0 seq=2").empty()) << "the short frame was read whole";
  ASSERT_TRUE(WaitUntil([&] { return app_->GetCapturePipe() != nullptr; }));
  const uint8_t request[8] = {4, 0, 0, 0, 52, 0, 0, 0};
  EXPECT_TRUE(app_->WriteCaptureFrame(request, sizeof request));
  EXPECT_TRUE(peer_.WaitForLog("ADDRESS-REQUEST conn=1"));
  DestroyApp();
}

// The worker learns whether the capture pipe is there before it takes the Student's lock: while
// another thread's write to a stalled peer holds the pipe, the track stays free for the UI.
TEST_F(AppDataTest, StreamingWaitsForThePipeOutsideTheTracksLock) {
  CreateApp();
  app_->streaming = 1;
  StartPeerScript(L"", L"wait-connect 1; wait-frame 0 52; stop-reading 0; log stopped; serve");
  ASSERT_TRUE(peer_.WaitForLog("LOG stopped"));
  ASSERT_TRUE(WaitUntil([&] { return app_->GetCapturePipe() != nullptr; }));
  app_->studentTrack->ToggleRecording();
  const std::vector<uint8_t> frame = BigFrame(1 << 20);
  std::atomic<bool> writing{true};
  std::thread stalled([&] {
    app_->WriteCaptureFrame(frame.data(), DWORD(frame.size()));  // holds the pipe up to its time-out
    writing = false;
  });
  Sleep(300);
  ASSERT_TRUE(writing.load());
  PostCaptured(CapturedBlock(4410, 0));  // the worker appends it, then asks for the pipe
  Sleep(300);
  ASSERT_TRUE(writing.load()) << "the write ended too soon to tell";
  const DWORD start = GetTickCount();
  { std::lock_guard<RecursiveMutex> lock(app_->studentTrack->PacketLock()); }
  const DWORD waited = GetTickCount() - start;
  EXPECT_TRUE(writing.load());
  EXPECT_LT(waited, 200u) << "the worker held the track while it waited for the pipe";
  stalled.join();
  app_->studentTrack->ToggleRecording();
  PostCaptured(nullptr);
  SyncWorker();
  EXPECT_EQ(State(app_->studentTrack).frames, 4410u);
  DestroyApp();
}

// Streaming without a connected capture product fails once; played buffers that no track owns
// are released.
TEST_F(AppDataTest, StreamingWithoutThePeerAndUnownedPlayedBuffers) {
  CreateApp();
  app_->streaming = 1;
  app_->studentTrack->ToggleRecording();
  PostCaptured(CapturedBlock(441, 0));
  ASSERT_TRUE(WaitUntil([&] { return !WindowsTitled(L"Error streaming").empty(); }));
  EXPECT_EQ(app_->streaming, 0u);
  for (int i = 0; i < 5; ++i) {
    CBufferRecord* stray = CreateBufferRecord(kBufferHeaderBytes + 64);
    stray->documentSerial = 0xDEAD;
    ASSERT_TRUE(PostThreadMessageW(app_->workerThreadId, WM_SOUND_OUT, WPARAM(stray), 0));
  }
  app_->studentTrack->ToggleRecording();
  PostCaptured(nullptr);
  SyncWorker();
  EXPECT_EQ(GetLiveBufferRecordCount(), baseline_) << "played buffers no track took were kept";
  DestroyApp();
}

}  // namespace

// Create, record, stop and destroy again and again, with the real engines and streaming on:
// nothing of a run stays open.
TEST_F(AppDataTest, RecordCyclesOfTheWholeObjectLeaveNoHandleBehind) {
  g_pfnCreateSoundEngine = nullptr;
  auto cycle = [&] {
    CreateApp();
    app_->streaming = 1;
    app_->studentTrack->ToggleRecording();
    app_->studentTrack->ToggleRecording();
    DestroyApp();
  };
  for (int i = 0; i < 2; ++i) cycle();
  const LiveHandleSet before = SnapshotLiveHandles();
  for (int i = 0; i < 8; ++i) cycle();
  const LiveHandleSet after = WaitForLiveHandlesBack(before);
  EXPECT_EQ(after.size(), before.size()) << "handles left by 8 cycles: " << DescribeNewHandles(before, after);
}
