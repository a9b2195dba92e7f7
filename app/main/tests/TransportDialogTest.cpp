// The transport handlers in-process: the dialog over real tracks on the fake engine, a Master
// loaded from a WAV of three chunks, a Student with one recorded take, the worker thread of the
// application data object carrying played packets and captured blocks, and a peer window of the
// test's own in place of the one a lock names.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/main/ClassroomMessages.h"
#include "app/main/MainDlg.h"
#include "app/main/TransportRules.h"
#include "appdata/AppData.h"
#include "common/Locks.h"
#include "media/document/SoundDocument.h"
#include "media/video/VideoManager.h"
#include "tests/support/FakeSoundEngine.h"
#include "media/soundfile/SoundFile.h"
#include "tests/support/ScriptedPrompts.h"
#include "app/main/tests/InProcessDialog.h"
#include "tests/support/DialogTestKit.h"
#include "tests/support/TestFiles.h"

namespace {

using Press = std::pair<WPARAM, LPARAM>;

std::vector<Press> g_peerPresses;

LRESULT CALLBACK PeerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_REMOTE_BUTTON) {
    g_peerPresses.emplace_back(wParam, lParam);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND MakePeerWindow() {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = PeerProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"QmTransportTestPeer";
  RegisterClassW(&wc);
  return CreateWindowW(L"QmTransportTestPeer", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                       nullptr);
}

void WriteU32(std::string& out, uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }
std::string WavBytes(uint32_t frames) {
  return MonoWavBytes(frames, [](uint32_t i) { return (i % 50) * 400; });
}

// The chunk table beside the WAV: start and length in milliseconds.
std::string ChunkTable(std::initializer_list<std::pair<uint32_t, uint32_t>> chunks) {
  std::string out;
  for (auto [start, length] : chunks) {
    WriteU32(out, start);
    WriteU32(out, length);
  }
  return out;
}

std::string ChunkTexts(std::initializer_list<const wchar_t*> lines) {
  std::wstring text = L"\xFEFF";
  for (const wchar_t* line : lines) text += std::wstring(line) + L"\r\n";
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

int CountCalls(const std::vector<std::wstring>& calls, const wchar_t* prefix) {
  int n = 0;
  for (const std::wstring& call : calls) n += call.rfind(prefix, 0) == 0;
  return n;
}

// Takes started: each opens the input stream (tag 1), whatever else the capture mask adds.
int TakesStarted(const std::vector<std::wstring>& calls) {
  int n = 0;
  for (const std::wstring& call : calls)
    n += call.rfind(L"StartCapture", 0) == 0 && call.size() >= 2 &&
         call.compare(call.size() - 2, 2, L" 1") == 0;
  return n;
}

// The dialog with the stop whose end of playback it must not take for a real end.
class TestDialog : public CMainDlg {
 public:
  using CMainDlg::CMainDlg;
  using CMainDlg::StopTrack;
};

class TransportDialog : public InProcessDialog<TestDialog> {
 protected:
  void SetUp() override {
    g_peerPresses.clear();
    ASSERT_TRUE(OpenDialog(L"qmtransport", MakeFakeEngine));
    master_ = app_->masterTrack;
    student_ = app_->studentTrack;

    // 300, 300 and 400 ms: three, three and four packets of 100 ms.
    const std::wstring wav = folder_ + L"\\lesson.wav";
    ASSERT_TRUE(WriteWholeFile(wav, WavBytes(44100)));
    ASSERT_TRUE(WriteWholeFile(folder_ + L"\\lesson.cif", ChunkTable({{0, 300}, {300, 300}, {600, 400}})));
    ASSERT_TRUE(WriteWholeFile(folder_ + L"\\lesson.txt", ChunkTexts({L"one", L"two", L"three"})));
    dialog_->OpenMediaFile(wav.c_str());
    ASSERT_TRUE(PumpUntil([&] { return dialog_->IsWindowEnabled() != FALSE && !master_->loadThread; }));
    ASSERT_EQ(master_->GetChunkCount(), 3);
    ASSERT_EQ(master_->currentChunk.load(), 0);
    masterEngine_ = static_cast<FakeEngine*>(master_->engine);
    studentEngine_ = static_cast<FakeEngine*>(student_->engine);
    studentEngine_->captureThread = app_->workerThreadId;

    // One take of 200 ms in the Student's chunk 0.
    student_->ToggleRecording();
    studentEngine_->Capture(MakeFloatBlock(0, std::vector<float>(8820, 0.25f)));
    SyncWorker();
    student_->ToggleRecording();
    ASSERT_TRUE(student_->WaitForTakeComplete(5000));
    ASSERT_NE(student_->GetCurrentChunk(), nullptr);
    ASSERT_EQ(student_->GetCurrentChunk()->frames, 8820u);
    // Later takes add to the chunk: the Student keeps something to play.
    student_->overwriteOnRecord = 0;
    Quiet();
  }

  void TearDown() override {
    if (dialog_) {
      dialog_->m_peerWindow = nullptr;
      if (peer_) DestroyWindow(peer_);
      for (CSoundDocument* track : {master_, student_})
        if (track) track->StopEngineDevices();
      if (student_) student_->WaitForTakeComplete(5000);
      Quiet();
    }
    CloseDialog();
  }

  // Returns once the worker has handled everything posted to it before.
  void SyncWorker() {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    PostThreadMessageW(app_->workerThreadId, WM_WORKER_BARRIER, 0, reinterpret_cast<LPARAM>(done));
    WaitForSingleObject(done, 10000);
    CloseHandle(done);
  }

  // Both tracks stopped without a word, the packets they left dropped, the notifications handled
  // and the engines' calls forgotten.
  void Quiet() {
    for (CSoundDocument* track : {master_, student_}) track->StopEngineDevices();
    student_->WaitForTakeComplete(5000);
    SyncWorker();
    Pump();
    for (FakeEngine* engine : {masterEngine_, studentEngine_}) {
      if (!engine) continue;
      while (CBufferRecord* r = engine->Take()) ReleaseBufferRecord(r);
      engine->TakeCalls();
    }
    g_peerPresses.clear();
  }

  // Hands the oldest played packet back as XAudio2 would; false when none was queued.
  bool ReturnPacket(FakeEngine* engine) {
    CBufferRecord* r = engine->Take();
    if (!r) return false;
    PostThreadMessageW(app_->workerThreadId, WM_SOUND_OUT, reinterpret_cast<WPARAM>(r), 0);
    SyncWorker();
    Pump();
    return true;
  }

  void Click(UINT id, WORD code = BN_CLICKED) {
    dialog_->SendMessage(WM_COMMAND, MAKEWPARAM(id, code),
                         reinterpret_cast<LPARAM>(::GetDlgItem(dialog_->m_hWnd, static_cast<int>(id))));
    Pump();
  }

  void RightClick(UINT id) {
    NMHDR header = {::GetDlgItem(dialog_->m_hWnd, static_cast<int>(id)), id, static_cast<UINT>(NM_RCLICK)};
    dialog_->SendMessage(WM_NOTIFY, id, reinterpret_cast<LPARAM>(&header));
    Pump();
  }

  void Notify(WPARAM code, const void* sender) {
    dialog_->PostMessage(WM_SOUND_NOTIFY, code, reinterpret_cast<LPARAM>(sender));
    Pump();
  }

  std::wstring Face(UINT id) {
    wchar_t text[64] = {};
    dialog_->Button(id)->GetWindowText(text, 64);
    return text;
  }

  ScriptedPrompts prompts_;
  CSoundDocument* master_ = nullptr;
  CSoundDocument* student_ = nullptr;
  FakeEngine* masterEngine_ = nullptr;
  FakeEngine* studentEngine_ = nullptr;
  HWND peer_ = nullptr;
};

enum class From { kMaster, kStudent, kVideo };
enum class State { kEnded, kOwnStop, kPaused, kPlaying };

struct ModeRow {
  UINT mode;
  From sender;
  UINT next;
  bool masterPlays, studentPlays, studentRecords;
};

// A real end: the sender ran out of sound.
const ModeRow kEndRows[] = {
    {PLAY_MODE_NONE, From::kMaster, PLAY_MODE_NONE, false, false, false},
    {PLAY_MODE_NONE, From::kStudent, PLAY_MODE_NONE, false, false, false},
    {PLAY_MODE_NONE, From::kVideo, PLAY_MODE_NONE, false, false, false},
    {PLAY_MODE_REPEAT, From::kMaster, PLAY_MODE_REPEAT, false, true, false},
    {PLAY_MODE_REPEAT, From::kStudent, PLAY_MODE_REPEAT, true, false, false},
    {PLAY_MODE_REPEAT, From::kVideo, PLAY_MODE_REPEAT, false, false, false},
    {PLAY_MODE_BOTH, From::kMaster, PLAY_MODE_NONE, false, false, false},
    {PLAY_MODE_BOTH, From::kStudent, PLAY_MODE_NONE, false, false, false},
    {PLAY_MODE_BOTH, From::kVideo, PLAY_MODE_NONE, false, false, false},
    {PLAY_MODE_PLAY_RECORD, From::kMaster, PLAY_MODE_PLAY_RECORD, false, false, false},
    {PLAY_MODE_PLAY_RECORD, From::kStudent, PLAY_MODE_PLAY_RECORD, false, false, false},
    {PLAY_MODE_PLAY_RECORD, From::kVideo, PLAY_MODE_PLAY_RECORD, false, false, false},
    {PLAY_MODE_MASTER_THEN_STUDENT, From::kMaster, PLAY_MODE_MASTER_THEN_STUDENT, false, true, false},
    {PLAY_MODE_MASTER_THEN_STUDENT, From::kStudent, PLAY_MODE_NONE, false, false, false},
    {PLAY_MODE_MASTER_THEN_STUDENT, From::kVideo, PLAY_MODE_NONE, false, false, false},
    {PLAY_MODE_MASTER_THEN_RECORD, From::kMaster, PLAY_MODE_MASTER_THEN_RECORD, false, false, true},
    {PLAY_MODE_MASTER_THEN_RECORD, From::kStudent, PLAY_MODE_NONE, false, false, false},
    {PLAY_MODE_MASTER_THEN_RECORD, From::kVideo, PLAY_MODE_NONE, false, false, false},
};

TEST_F(TransportDialog, TheEndOfAPlaybackStepsThePlayModeAndOnlyARealEndDoes) {
  CVideoManager* video = app_->videoManager;
  ASSERT_NE(video, nullptr);
  for (const ModeRow& row : kEndRows) {
    CSoundDocument* track = row.sender == From::kMaster    ? master_
                            : row.sender == From::kStudent ? student_
                                                           : nullptr;
    const void* sender = track ? static_cast<const void*>(track) : static_cast<const void*>(video);
    for (State state : {State::kEnded, State::kOwnStop, State::kPaused, State::kPlaying}) {
      if (!track && (state == State::kOwnStop || state == State::kPlaying)) continue;
      Quiet();
      dialog_->m_playMode = row.mode;
      switch (state) {
        case State::kEnded:
          dialog_->PostMessage(WM_SOUND_NOTIFY, NOTIFY_PLAY_ENDED, reinterpret_cast<LPARAM>(sender));
          break;
        case State::kOwnStop:
          // The stop posts the end; the track is idle when the end is handled.
          track->StartPlayback();
          dialog_->StopTrack(track);
          break;
        case State::kPaused:
          // The pause posts the end itself.
          if (track) {
            track->StartPlayback();
            track->TogglePause();
          } else {
            video->TogglePause();
            dialog_->PostMessage(WM_SOUND_NOTIFY, NOTIFY_PLAY_ENDED, reinterpret_cast<LPARAM>(sender));
          }
          break;
        case State::kPlaying:
          track->StartPlayback();
          dialog_->PostMessage(WM_SOUND_NOTIFY, NOTIFY_PLAY_ENDED, reinterpret_cast<LPARAM>(sender));
          break;
      }
      masterEngine_->TakeCalls();
      studentEngine_->TakeCalls();
      Pump();
      const bool real = state == State::kEnded;
      const auto masterCalls = masterEngine_->TakeCalls();
      const auto studentCalls = studentEngine_->TakeCalls();
      const std::string where = "mode " + std::to_string(row.mode) + " sender " +
                                std::to_string(int(row.sender)) + " state " + std::to_string(int(state));
      EXPECT_EQ(dialog_->m_playMode, real ? row.next : row.mode) << where;
      EXPECT_EQ(CountCalls(masterCalls, L"StartRender"), real && row.masterPlays ? 1 : 0) << where;
      EXPECT_EQ(CountCalls(studentCalls, L"StartRender"), real && row.studentPlays ? 1 : 0) << where;
      EXPECT_EQ(TakesStarted(studentCalls), real && row.studentRecords ? 1 : 0) << where;
      if (!track && state == State::kPaused) video->TogglePause();
    }
  }
}

TEST_F(TransportDialog, SequentialRecordingNeverStopsARecordingThatRuns) {
  student_->ToggleRecording();
  Pump();
  studentEngine_->TakeCalls();
  dialog_->m_playMode = PLAY_MODE_MASTER_THEN_RECORD;
  Notify(NOTIFY_PLAY_ENDED, master_);
  EXPECT_TRUE(student_->recording);
  EXPECT_EQ(CountCalls(studentEngine_->TakeCalls(), L"StopCapture"), 0);
}

TEST_F(TransportDialog, ListenThenSequentialRecordingRecordsOnlyOnceTheMasterHasPlayedOut) {
  Click(IDC_MBUTPLAY);
  ASSERT_TRUE(master_->playing);
  EXPECT_EQ(Face(IDC_MBUTPLAY), L"MBUTPAUSE");
  Click(IDC_HBUTPLAYREC);
  EXPECT_EQ(dialog_->m_playMode, UINT(PLAY_MODE_MASTER_THEN_RECORD));
  // The Master restarted from its chunk's start; the stop's own end has been handled by now.
  ASSERT_TRUE(master_->playing);
  int returned = 0;
  while (master_->playing) {
    EXPECT_EQ(TakesStarted(studentEngine_->TakeCalls()), 0) << "after " << returned << " packets";
    EXPECT_EQ(Face(IDC_BUTREC), L"BUTREC");
    EXPECT_FALSE(student_->recording);
    ASSERT_TRUE(ReturnPacket(masterEngine_)) << "the Master plays with no packet in flight";
    ASSERT_LT(++returned, 20);
  }
  // Two packets of the first playback came back without effect, then the chunk's three.
  EXPECT_EQ(returned, 5);
  Pump();
  EXPECT_EQ(TakesStarted(studentEngine_->TakeCalls()), 1);
  EXPECT_TRUE(student_->recording);
  EXPECT_EQ(Face(IDC_BUTREC), L"BUTRECORDSTOP");
  EXPECT_EQ(Face(IDC_HBUTPLAYREC), L"HBUTPLAYRECSTOP");
  EXPECT_EQ(Face(IDC_MBUTPLAY), L"MBUTPLAY");
  EXPECT_EQ(dialog_->m_playMode, UINT(PLAY_MODE_MASTER_THEN_RECORD));
}

TEST_F(TransportDialog, RepeatAlternatesTheTracksUntilATransportPress) {
  Click(IDC_BUTREPEAT);
  EXPECT_EQ(dialog_->m_playMode, UINT(PLAY_MODE_REPEAT));
  for (int turn = 0; turn < 4; ++turn) {
    CSoundDocument* playing = turn % 2 == 0 ? master_ : student_;
    FakeEngine* engine = turn % 2 == 0 ? masterEngine_ : studentEngine_;
    ASSERT_TRUE(playing->playing) << "turn " << turn;
    while (playing->playing) ASSERT_TRUE(ReturnPacket(engine)) << "turn " << turn;
    Pump();
  }
  EXPECT_TRUE(master_->playing);
  // A pause in repeat mode is no end of the Master's chunk.
  Click(IDC_MBUTPLAY);
  EXPECT_TRUE(master_->paused);
  EXPECT_FALSE(student_->playing);
  Click(IDC_BUTSTOP);
  EXPECT_EQ(dialog_->m_playMode, UINT(PLAY_MODE_NONE));
  EXPECT_FALSE(master_->playing);
  EXPECT_FALSE(student_->playing);
}

TEST_F(TransportDialog, RepeatOverTwoSilentChunksEndsInsteadOfHandingTheTurnOnForever) {
  const int silent = master_->NewChunk();
  ASSERT_GE(silent, 0);
  master_->SelectChunk(silent);
  student_->SelectNextChunk();
  Quiet();
  // Each start ends at once; without an end of the mode this pump would never return.
  Click(IDC_BUTREPEAT);
  EXPECT_EQ(dialog_->m_playMode, UINT(PLAY_MODE_NONE));
  EXPECT_FALSE(master_->playing);
  EXPECT_FALSE(student_->playing);
}

TEST_F(TransportDialog, ASecondPressOfAModeEndsItAndAnotherModeTakesOver) {
  Click(IDC_VBUTPLAYREC);
  EXPECT_EQ(dialog_->m_playMode, UINT(PLAY_MODE_PLAY_RECORD));
  EXPECT_TRUE(master_->playing);
  EXPECT_TRUE(student_->recording);
  Click(IDC_VBUTPLAYPLAY);
  EXPECT_EQ(dialog_->m_playMode, UINT(PLAY_MODE_BOTH));
  EXPECT_TRUE(master_->playing);
  EXPECT_TRUE(student_->playing);
  Click(IDC_VBUTPLAYPLAY);
  EXPECT_EQ(dialog_->m_playMode, UINT(PLAY_MODE_NONE));
  EXPECT_FALSE(master_->playing);
  EXPECT_FALSE(student_->playing);
  EXPECT_FALSE(student_->recording);
}

TEST_F(TransportDialog, EveryPressReachesThePeerAsItsTableSays) {
  peer_ = MakePeerWindow();
  ASSERT_NE(peer_, nullptr);
  dialog_->m_peerWindow = peer_;
  struct Row {
    const char* what;
    std::function<void()> act;
    std::vector<Press> sent;
  };
  auto click = [&](UINT id) { return [this, id] { Click(id); }; };
  auto rclick = [&](UINT id) { return [this, id] { RightClick(id); }; };
  std::vector<Row> rows;
  for (UINT id : {IDC_MBUTPREV,     IDC_MBUTNEXT,    IDC_BUTPREV,      IDC_BUTMINUS,    IDC_BUTPLUS,
                  IDC_BUTREC,       IDC_BUTPLAY,     IDC_BUTNEXTB,     IDC_BUTREMOVEBM, IDC_BUTREPEAT,
                  IDC_BUTNEXTCHUNK, IDC_MBUTPAUSE,   IDC_BUTPAUSE,     IDC_MBUTSTOP,    IDC_BUTSTOP,
                  IDC_HBUTPLAYPLAY, IDC_HBUTPLAYREC, IDC_VBUTPLAYPLAY, IDC_VBUTPLAYREC, IDC_BUTPREVCHUNK})
    rows.push_back({"plain", click(id), {{id, 0}}});
  rows.push_back({"master play", click(IDC_MBUTPLAY), {{IDC_MBUTPLAY, 0}}});
  rows.push_back({"master play while playing",
                  [this] {
                    master_->StartPlayback();
                    Click(IDC_MBUTPLAY);
                  },
                  {{IDC_MBUTPAUSE, 0}}});
  for (UINT id : {IDC_HBUTPLAYPLAY, IDC_HBUTPLAYREC, IDC_VBUTPLAYPLAY, IDC_VBUTPLAYREC})
    rows.push_back({"mode right click", rclick(id), {{id, 1}, {IDC_BUTNEXTCHUNK, 0}, {id, 0}}});
  rows.push_back({"bookmarks off", rclick(IDC_BUTINSERTBM), {{IDC_BUTINSERTBM, 1}, {IDC_LEDNUMBER, 0}}});
  rows.push_back({"led", [this] { Click(IDC_LEDNUMBER, STN_DBLCLK); }, {{IDC_LEDNUMBER, 0}}});
  rows.push_back({"bookmark",
                  [this] {
                    master_->cursorFrame = 5000;
                    Click(IDC_BUTINSERTBM);
                  },
                  {{IDC_BUTINSERTBM, 0}}});
  rows.push_back({"bookmark refused",
                  [this] {
                    master_->cursorFrame = 0;
                    Click(IDC_BUTINSERTBM);
                  },
                  {}});
  rows.push_back({"erase", click(IDC_MBUTERASE), {}});
  rows.push_back({"clear unmodified",
                  [this] {
                    student_->modified = 0;
                    Click(IDC_BUTCLEAR);
                  },
                  {}});
  rows.push_back({"clear", click(IDC_BUTCLEAR), {{IDC_BUTCLEAR, 0}}});
  rows.push_back({"clear without a current chunk",
                  [this] {
                    student_->SelectChunk(-1);
                    Click(IDC_BUTCLEAR);
                  },
                  {}});
  rows.push_back({"waveform click, Master",
                  [this] {
                    master_->cursorFrame = 12345;
                    Notify(NOTIFY_POSITION_SET, master_);
                  },
                  {{REMOTE_MASTER_POSITION, 12345}}});
  rows.push_back({"waveform click, Student",
                  [this] {
                    student_->cursorFrame = 321;
                    Notify(NOTIFY_POSITION_SET, student_);
                  },
                  {{REMOTE_STUDENT_POSITION, 321}}});
  rows.push_back({"video position",
                  [this] { Notify(NOTIFY_POSITION_SET, app_->videoManager); },
                  {{REMOTE_VIDEO_POSITION, 0}}});
  rows.push_back({"stranger's position", [this] { Notify(NOTIFY_POSITION_SET, this); }, {}});

  for (Row& row : rows) {
    Quiet();
    student_->modified = 1;
    row.act();
    SyncWorker();
    Pump();
    std::string sent;
    for (auto [w, l] : g_peerPresses) sent += std::to_string(long(w)) + "," + std::to_string(long(l)) + " ";
    EXPECT_EQ(g_peerPresses, row.sent) << row.what << ": " << sent;
    if (dialog_->m_bookmarksOff) RightClick(IDC_BUTINSERTBM);
  }
}

TEST_F(TransportDialog, FacesAndTheChunkNumberFollowTheNotifications) {
  Notify(NOTIFY_CHUNK_RECORDING, student_);
  EXPECT_EQ(Face(IDC_BUTREC), L"BUTRECORDSTOP");
  EXPECT_EQ(Face(IDC_HBUTPLAYREC), L"HBUTPLAYRECSTOP");
  EXPECT_EQ(Face(IDC_VBUTPLAYREC), L"VBUTPLAYRECSTOP");
  // Anyone may post the message: an unknown sender is compared, never followed.
  Notify(NOTIFY_CHUNK_IDLE, reinterpret_cast<const void*>(0x1234));
  EXPECT_EQ(Face(IDC_BUTREC), L"BUTRECORDSTOP");
  Notify(NOTIFY_CHUNK_IDLE, master_);
  EXPECT_EQ(Face(IDC_BUTREC), L"BUTREC");
  EXPECT_EQ(Face(IDC_HBUTPLAYREC), L"HBUTPLAYREC");
  EXPECT_EQ(Face(IDC_VBUTPLAYREC), L"VBUTPLAYREC");

  Notify(NOTIFY_REC_PAUSED, student_);
  EXPECT_EQ(Face(IDC_BUTPAUSE), L"BUTPAUSE");
  student_->ToggleRecording();
  student_->TogglePause();
  Pump();
  EXPECT_EQ(Face(IDC_BUTPAUSE), L"BUTPAUSEREC");
  student_->TogglePause();
  Pump();
  EXPECT_EQ(Face(IDC_BUTPAUSE), L"BUTPAUSE");
  Quiet();

  Click(IDC_BUTPLAY);
  EXPECT_EQ(Face(IDC_BUTNEXTB), L"BUTNEXT");
  while (student_->playing) ASSERT_TRUE(ReturnPacket(studentEngine_));
  Pump();
  EXPECT_EQ(Face(IDC_BUTNEXTB), L"BUTNEXTB");

  // The LED counts the Student's chunks from 1, and shows 1 without a current chunk.
  student_->SelectNextChunk();
  Pump();
  EXPECT_EQ(dialog_->m_led.m_value, 2);
  student_->SelectChunk(-1);
  Pump();
  EXPECT_EQ(dialog_->m_led.m_value, 1);
  Notify(42, student_);
  EXPECT_EQ(dialog_->m_led.m_value, 1);
}

TEST_F(TransportDialog, ZoomKeepsBothWaveformsOnTheMastersViewWithinItsBounds) {
  master_->RedrawWaveform(0, 128);
  student_->RedrawWaveform(0, 1024);
  for (uint32_t expected : {64u, 32u, 32u}) {
    Click(IDC_BUTPLUS);
    EXPECT_EQ(master_->framesPerPixel, expected);
    EXPECT_EQ(student_->framesPerPixel, expected);
    EXPECT_EQ(student_->viewStartFrame, master_->viewStartFrame);
  }
  for (int i = 0; i < 12; ++i) Click(IDC_BUTMINUS);
  EXPECT_EQ(master_->framesPerPixel, 8192u);
  EXPECT_EQ(student_->framesPerPixel, 8192u);
}

TEST_F(TransportDialog, ABookmarkInAnEmptyRegionIsRefusedWithABox) {
  master_->cursorFrame = 0;
  Click(IDC_BUTINSERTBM);
  const auto asked = prompts_.Asked();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].text,
            L"Empty region. Use Left Mouse Button to mark. \nCtrl + Left Mouse Button to insert bookmark.");
  EXPECT_EQ(asked[0].caption, L"Attention");
  EXPECT_EQ(asked[0].style, UINT(MB_ICONEXCLAMATION));
  EXPECT_EQ(master_->GetChunkCount(), 3);
  prompts_.Clear();
  master_->cursorFrame = 4410;
  Click(IDC_BUTINSERTBM);
  EXPECT_TRUE(prompts_.Asked().empty());
  EXPECT_EQ(master_->GetChunkCount(), 4);
}

// A cut whose rewrite of the sound file fails is told through the prompt seam; the sound stays.
TEST_F(TransportDialog, AFailedCutIsToldAndLeavesTheSoundWhole) {
  const uint32_t frames = master_->GetCurrentChunk()->frames, size = master_->sourceDataSize;
  master_->selectionStartFrame = 100;
  master_->cursorFrame = 2000;
  g_pfnCutWrite = [](HANDLE, uint64_t, const void*, DWORD) { return false; };
  Click(IDC_MBUTERASE);
  g_pfnCutWrite = WriteFileAtOffset;
  const auto asked = prompts_.Asked();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(
      asked[0].text,
      L"The selection could not be cut: the sound file could not be rewritten. The sound is unchanged.");
  EXPECT_EQ(master_->GetCurrentChunk()->frames, frames);
  EXPECT_EQ(master_->sourceDataSize, size);
  EXPECT_EQ(master_->audioChanged, 0u);
}

TEST_F(TransportDialog, ClearingTheStudentsChunkDuringARecordingLeavesItEmptyAfterTheTakesEnd) {
  studentEngine_->tailDelayMs = 300;
  const uint32_t framesBefore = student_->GetCurrentChunk()->frames;
  Click(IDC_BUTREC);
  ASSERT_TRUE(student_->recording);
  studentEngine_->Capture(MakeFloatBlock(0, std::vector<float>(4410, 0.5f)));
  SyncWorker();
  ASSERT_EQ(student_->GetCurrentChunk()->frames, framesBefore + 4410u);
  // Still inside the engine when the streams stop: they arrive after the clear.
  studentEngine_->Hold(MakeFloatBlock(0, std::vector<float>(4410, 0.5f)));
  studentEngine_->Hold(MakeFloatBlock(0, std::vector<float>(4410, 0.5f)));
  const uint32_t droppedBefore = student_->GetDroppedBlockCount();
  Click(IDC_BUTCLEAR);
  EXPECT_FALSE(student_->recording);
  EXPECT_EQ(student_->GetCurrentChunk()->frames, 0u);
  ASSERT_TRUE(PumpUntil([&] { return !student_->IsDraining(); }));
  SyncWorker();
  const CChunkInfo* chunk = student_->GetCurrentChunk();
  ASSERT_NE(chunk, nullptr);
  EXPECT_EQ(chunk->frames, 0u);
  EXPECT_EQ(chunk->used, 0u);
  EXPECT_EQ(student_->playPosition.load(), 0u);
  EXPECT_EQ(student_->GetDroppedBlockCount(), droppedBefore + 2);
  // A new take starts from the empty chunk.
  Click(IDC_BUTREC);
  studentEngine_->Capture(MakeFloatBlock(0, std::vector<float>(441, 0.5f)));
  SyncWorker();
  EXPECT_EQ(student_->GetCurrentChunk()->frames, 441u);
}

TEST_F(TransportDialog, StepsStopAtTheMastersLastChunkAndTheLedJumpsBothEnds) {
  // The Master's last chunk: the next buttons only refresh.
  master_->SelectChunk(2);
  student_->SelectChunk(0);
  Quiet();
  Click(IDC_MBUTNEXT);
  EXPECT_EQ(master_->currentChunk.load(), 2);
  EXPECT_FALSE(master_->playing);
  Click(IDC_BUTNEXTB);
  EXPECT_EQ(student_->currentChunk.load(), 0);
  EXPECT_FALSE(student_->playing);
  EXPECT_EQ(::GetWindowTextLengthW(dialog_->m_masterText.m_hWnd), 5);  // "three"
  // No current chunk while the track has texts: no text shown.
  master_->SelectChunk(-1);
  Click(IDC_BUTREMOVEBM);
  EXPECT_EQ(::GetWindowTextLengthW(dialog_->m_masterText.m_hWnd), 0);

  // From chunk 0 the LED jumps to the end, making the Student's chunks up to the Master's last.
  master_->SelectChunk(0);
  Pump();
  Click(IDC_LEDNUMBER, STN_DBLCLK);
  EXPECT_EQ(master_->currentChunk.load(), 2);
  EXPECT_EQ(student_->currentChunk.load(), 2);
  EXPECT_EQ(student_->GetChunkCount(), 3);
  Click(IDC_LEDNUMBER, STN_DBLCLK);
  EXPECT_EQ(master_->currentChunk.load(), 0);
  EXPECT_EQ(student_->currentChunk.load(), 0);

  // The Master steps with the Student and plays.
  Click(IDC_MBUTNEXT);
  EXPECT_EQ(master_->currentChunk.load(), 1);
  EXPECT_EQ(student_->currentChunk.load(), 1);
  EXPECT_TRUE(master_->playing);
  wchar_t text[16] = {};
  dialog_->m_masterText.GetWindowText(text, 16);
  EXPECT_STREQ(text, L"two");
}

TEST_F(TransportDialog, InVideoModeTheMasterSideIsTheVideosEntryList) {
  const std::wstring clip = folder_ + L"\\clip.avi";
  ASSERT_TRUE(WriteWholeFile(clip, std::string("not a real video")));
  ASSERT_TRUE(WriteWholeFile(folder_ + L"\\clip.cif", ChunkTable({{0, 1000}, {1000, 2000}})));
  dialog_->OpenMediaFile(clip.c_str());
  ASSERT_EQ(dialog_->m_videoMode, 1u);
  CVideoManager* video = app_->videoManager;
  // The end of the video's load names the video, not the sound before it.
  EXPECT_TRUE(PumpUntil([&] {
    wchar_t name[64] = {};
    dialog_->m_fileName.GetWindowText(name, 64);
    return std::wstring(name) == L"clip.avi";
  }));
  ASSERT_EQ(video->GetEntryCount(), 2u);
  peer_ = MakePeerWindow();
  dialog_->m_peerWindow = peer_;
  Quiet();

  // Play: the video, nothing forwarded.
  Click(IDC_MBUTPLAY);
  EXPECT_TRUE(video->IsPlaying());
  EXPECT_FALSE(master_->playing);
  // Next and back move through the entries with the Student beside them.
  Click(IDC_MBUTNEXT);
  EXPECT_EQ(video->GetCurrentIndex(), 1u);
  EXPECT_EQ(student_->currentChunk.load(), 1);
  EXPECT_TRUE(video->IsPlaying());
  Click(IDC_MBUTNEXT);
  EXPECT_EQ(video->GetCurrentIndex(), 1u);
  Click(IDC_MBUTSTOP);
  EXPECT_FALSE(video->IsPlaying());
  Click(IDC_MBUTPREV);
  EXPECT_EQ(video->GetCurrentIndex(), 0u);
  EXPECT_EQ(student_->currentChunk.load(), 0);
  // A bookmark at the entry's start cuts off an empty entry; removing it joins them again.
  Click(IDC_BUTINSERTBM);
  EXPECT_EQ(video->GetEntryCount(), 3u);
  EXPECT_EQ(video->modified, 1);
  EXPECT_TRUE(prompts_.Asked().empty());
  Click(IDC_BUTREMOVEBM);
  EXPECT_EQ(video->GetEntryCount(), 2u);
  VideoEntry entry = {};
  ASSERT_TRUE(video->GetEntry(0, &entry));
  EXPECT_EQ(entry.length, 1000u);
  // A mode starts the video; its second press stops it.
  Click(IDC_HBUTPLAYPLAY);
  EXPECT_TRUE(video->IsPlaying());
  EXPECT_FALSE(master_->playing);
  Click(IDC_HBUTPLAYPLAY);
  EXPECT_FALSE(video->IsPlaying());
  SyncWorker();
  Pump();
  const std::vector<Press> sent = {{IDC_MBUTNEXT, 0},     {IDC_MBUTNEXT, 0},    {IDC_MBUTSTOP, 0},
                                   {IDC_MBUTPREV, 0},     {IDC_BUTINSERTBM, 0}, {IDC_BUTREMOVEBM, 0},
                                   {IDC_HBUTPLAYPLAY, 0}, {IDC_HBUTPLAYPLAY, 0}};
  std::vector<Press> buttons;
  for (const Press& p : g_peerPresses)
    if (p.first != REMOTE_VIDEO_POSITION) buttons.push_back(p);
  EXPECT_EQ(buttons, sent);
}

TEST_F(TransportDialog, TheStudentsStepsRecordOnInTheNextChunkAndLeaveAPausedMasterAlone) {
  // Next while recording: the take goes on in the Student's next chunk, beside the Master's.
  Click(IDC_BUTREC);
  ASSERT_TRUE(student_->recording);
  Click(IDC_BUTNEXTB);
  EXPECT_EQ(master_->currentChunk.load(), 1);
  EXPECT_EQ(student_->currentChunk.load(), 1);
  EXPECT_TRUE(student_->recording);
  Click(IDC_BUTSTOP);
  EXPECT_FALSE(student_->recording);

  // Recording does not stop a paused Master.
  Click(IDC_MBUTPLAY);
  Click(IDC_MBUTPLAY);
  ASSERT_TRUE(master_->paused);
  Click(IDC_BUTREC);
  EXPECT_TRUE(master_->paused);
  EXPECT_TRUE(master_->playing);
  Click(IDC_BUTREC);
  Quiet();

  // Without a Master sound the Student steps on its own, making its chunks.
  master_->FreeAllChunks();
  student_->SelectChunk(0);
  Quiet();
  Click(IDC_BUTPREV);
  EXPECT_EQ(student_->currentChunk.load(), 0);
  EXPECT_FALSE(student_->playing);
  const int chunks = student_->GetChunkCount();
  Click(IDC_BUTNEXTB);
  Click(IDC_BUTNEXTB);
  EXPECT_EQ(student_->currentChunk.load(), 2);
  EXPECT_GE(student_->GetChunkCount(), std::max(chunks, 3));
}

TEST_F(TransportDialog, AnEditedTextGoesToItsTracksChunk) {
  ::SetWindowTextW(dialog_->m_studentText.m_hWnd, L"my answer");
  dialog_->SendMessage(WM_COMMAND, MAKEWPARAM(IDC_STUDENTTEXT, EN_CHANGE),
                       reinterpret_cast<LPARAM>(dialog_->m_studentText.m_hWnd));
  EXPECT_EQ(student_->textsPresent, 1);
  EXPECT_EQ(student_->GetCurrentChunk()->text, L"my answer");
  EXPECT_EQ(master_->GetChunk(0)->text, L"one");
}

TEST_F(TransportDialog, AnExitEndsThePlayModeSoNothingStartsBehindItsQuestionOrOnALockedStation) {
  peer_ = MakePeerWindow();
  ASSERT_NE(peer_, nullptr);
  for (bool locked : {false, true}) {
    for (UINT button :
         {IDC_BUTREPEAT, IDC_VBUTPLAYPLAY, IDC_VBUTPLAYREC, IDC_HBUTPLAYPLAY, IDC_HBUTPLAYREC}) {
      SCOPED_TRACE(std::string(locked ? "locked station, " : "the question cancelled, ") +
                   std::to_string(button));
      dialog_->m_playMode = PLAY_MODE_NONE;
      Quiet();
      Click(button);
      ASSERT_NE(dialog_->m_playMode, UINT(PLAY_MODE_NONE));
      ASSERT_TRUE(master_->playing);
      student_->modified = 1;
      dialog_->m_peerWindow = locked ? peer_ : nullptr;
      app_->stationMode = locked ? 1 : 0;
      bool startedBehind = false;
      prompts_.Clear();
      prompts_.Queue(IDCANCEL);
      prompts_.WhileUp([&](const std::wstring&) {
        // The box's own loop handles the ends of playback that the exit's stops posted.
        SyncWorker();
        Pump();
        startedBehind = startedBehind || master_->playing || student_->playing || student_->recording;
      });
      dialog_->ExitRecorder();
      prompts_.WhileUp(nullptr);
      SyncWorker();
      Pump();
      EXPECT_EQ(prompts_.Asked().empty(), locked);
      EXPECT_FALSE(startedBehind);
      EXPECT_EQ(dialog_->m_playMode, UINT(PLAY_MODE_NONE));
      EXPECT_FALSE(master_->playing);
      EXPECT_FALSE(student_->playing);
      EXPECT_FALSE(student_->recording);
    }
  }
  dialog_->m_peerWindow = nullptr;
  app_->stationMode = 0;
}

TEST_F(TransportDialog, AMastersEndUnderABoxStartsNothingBehindIt) {
  Click(IDC_HBUTPLAYPLAY);
  ASSERT_TRUE(master_->playing);
  bool startedBehind = false;
  prompts_.WhileUp([&](const std::wstring&) {
    // The Master plays out while the box is up; its end reaches the box's own loop.
    while (master_->playing) ASSERT_TRUE(ReturnPacket(masterEngine_));
    Pump();
    startedBehind = student_->playing;
  });
  master_->cursorFrame = 0;
  Click(IDC_BUTINSERTBM);
  prompts_.WhileUp(nullptr);
  ASSERT_EQ(prompts_.Asked().size(), 1u);
  EXPECT_FALSE(startedBehind);
  EXPECT_FALSE(student_->playing);
  EXPECT_EQ(dialog_->m_playMode, UINT(PLAY_MODE_NONE));
}

TEST_F(TransportDialog, RepeatEndsWhenNeitherTrackWouldPlayFromWhereItStarts) {
  struct Row {
    const char* what;
    std::function<void()> arrange;
  };
  const Row rows[] = {
      {"the Master's cursor at its chunk's end, an empty Student chunk",
       [&] {
         student_->SelectNextChunk();
         master_->cursorFrame = master_->GetCurrentChunk()->frames;
       }},
      {"the Master's cursor at its chunk's end, a Student chunk that cannot be loaded",
       [&] {
         // The take goes to its temp file as the Student steps on; without the file it is lost.
         student_->SelectChunk(0);
         student_->SelectNextChunk();
         const CChunkInfo* take = student_->GetChunk(0);
         ASSERT_NE(take->fileName[0], L'\0');
         ASSERT_TRUE(DeleteFileW((std::wstring(student_->tempFolder) + L"\\" + take->fileName).c_str()));
         student_->SelectChunk(0);
         master_->cursorFrame = master_->GetCurrentChunk()->frames;
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    dialog_->m_playMode = PLAY_MODE_NONE;
    row.arrange();
    Quiet();
    prompts_.Clear();
    // Each start ends at once; were the turn handed on, this pump would never return.
    Click(IDC_BUTREPEAT);
    SyncWorker();
    Pump();
    EXPECT_EQ(dialog_->m_playMode, UINT(PLAY_MODE_NONE));
    EXPECT_FALSE(master_->playing);
    EXPECT_FALSE(student_->playing);
    EXPECT_LE(prompts_.Asked().size(), 2u);
  }
}

TEST_F(TransportDialog, AnEndOfPlaybackReadsNoChunkOfATrackALoadOwns) {
  // A load that replaces the Master's chunks holds its lock meanwhile; a look at a chunk waits.
  master_->loadThread = GetCurrentThread();
  dialog_->m_playMode = PLAY_MODE_REPEAT;
  HANDLE held = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE handled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  bool waitedForTheLoad = false;
  std::thread load([&] {
    std::lock_guard<RecursiveMutex> hold(master_->PacketLock());
    SetEvent(held);
    waitedForTheLoad = WaitForSingleObject(handled, 5000) == WAIT_TIMEOUT;
  });
  ASSERT_EQ(WaitForSingleObject(held, 5000), WAIT_OBJECT_0);
  Notify(NOTIFY_PLAY_ENDED, student_);
  SetEvent(handled);
  load.join();
  EXPECT_FALSE(waitedForTheLoad);
  EXPECT_FALSE(master_->playing);
  CloseHandle(held);
  CloseHandle(handled);
  master_->loadThread = nullptr;
  dialog_->m_playMode = PLAY_MODE_NONE;
}

TEST_F(TransportDialog, TheBookmarksButtonFollowsTheWholeModeALoadACloseOrAVideoLeaves) {
  const std::wstring lesson = folder_ + L"\\lesson.wav";
  const std::wstring clip = folder_ + L"\\clip.avi";
  ASSERT_TRUE(WriteWholeFile(clip, std::string("not a real video")));
  auto shownOff = [&] {
    return dialog_->m_bookmarksOff && dialog_->Button(IDC_BUTINSERTBM)->m_pressedLook == 1;
  };
  auto shownOn = [&] {
    return !dialog_->m_bookmarksOff && dialog_->Button(IDC_BUTINSERTBM)->m_pressedLook == 0;
  };
  auto wholeMode = [&] {
    return dialog_->m_videoMode ? app_->videoManager->wholeMode != 0 : master_->wholeMode;
  };
  auto open = [&](const std::wstring& path, const wchar_t* name) {
    return [&, path, name] {
      dialog_->OpenMediaFile(path.c_str());
      ASSERT_TRUE(PumpUntil([&] {
        wchar_t shown[64] = {};
        dialog_->m_fileName.GetWindowText(shown, 64);
        return !master_->loadThread && dialog_->IsWindowEnabled() && std::wstring(shown) == name;
      }));
    };
  };
  struct Row {
    const char* what;
    std::function<void()> leave;
  };
  const Row rows[] = {
      {"a close", [&] { Click(IDC_BUTCLOSEWAV); }},
      {"a load", open(lesson, L"lesson.wav")},
      {"a video's opening", open(clip, L"clip.avi")},
      {"a load after the video", open(lesson, L"lesson.wav")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RightClick(IDC_BUTINSERTBM);
    ASSERT_TRUE(wholeMode());
    EXPECT_TRUE(shownOff());
    row.leave();
    Pump();
    ASSERT_FALSE(wholeMode());
    EXPECT_TRUE(shownOn());
    // The next press turns the bookmarks off again instead of doing nothing.
    RightClick(IDC_BUTINSERTBM);
    EXPECT_TRUE(wholeMode());
    EXPECT_TRUE(shownOff());
    RightClick(IDC_BUTINSERTBM);
    EXPECT_FALSE(wholeMode());
    EXPECT_TRUE(shownOn());
  }
}

}  // namespace
