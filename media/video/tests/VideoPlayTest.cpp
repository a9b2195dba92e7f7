// The clock thread: play, pause, the end of an entry, the user's trackbar moves, and the ways the
// UI thread and the clock could wait on each other (each guarded by a watchdog).
#include "media/video/tests/VideoTestSupport.h"

namespace {

int CountOf(const std::vector<int>& codes, int code) {
  return int(std::count(codes.begin(), codes.end(), code));
}

}  // namespace

TEST_F(VideoTest, EntryOfLengthZeroEndsOnTheFirstTick) {
  Open(MakeVideo(L"zero.avi", nullptr));
  Codes();
  SendMessageW(video->GetTrackbar(), TBM_SETPOS, TRUE, 300);
  video->StartPlay();
  std::vector<int> seen;
  ASSERT_TRUE(WaitForCodes(NOTIFY_PROGRESS, 1, seen));
  EXPECT_EQ(seen, (std::vector<int>{NOTIFY_POSITION_SET, NOTIFY_PLAY_ENDED, NOTIFY_PROGRESS}));
  EXPECT_FALSE(video->IsPlaying());
  EXPECT_EQ(BarPos(), 0);
}

TEST_F(VideoTest, PlayingTicksProgressUntilPausedOrStopped) {
  Open(MakeVideo(L"ticks.avi", CifBytes({{2000, 3000}})));
  Codes();
  const ULONGLONG begin = GetTickCount64();
  video->StartPlay();
  std::vector<int> seen;
  ASSERT_TRUE(WaitForCodes(NOTIFY_PROGRESS, 10, seen, 20000));
  const ULONGLONG elapsed = GetTickCount64() - begin;
  EXPECT_GE(elapsed, 9u * 45u) << "a tick comes every 50 ms or so";
  EXPECT_EQ(seen.front(), NOTIFY_POSITION_SET);
  EXPECT_EQ(CountOf(seen, NOTIFY_PLAY_ENDED), 0);
  EXPECT_TRUE(video->IsPlaying());
  // With no player the play time is 0: the entry is taken from the video's start.
  const VideoEntry entry = Entry(0);
  EXPECT_EQ(entry.start, 0u);
  EXPECT_EQ(entry.length, 5000u);
  EXPECT_EQ(entry.position, 0u);
  EXPECT_EQ(BarPos(), 0);

  // Paused: at most a tick already under way comes through.
  video->TogglePause();
  Codes();
  const ULONGLONG until = GetTickCount64() + 600;
  seen.clear();
  while (GetTickCount64() < until) {
    for (int c : Codes()) seen.push_back(c);
    Sleep(10);
  }
  EXPECT_LE(CountOf(seen, NOTIFY_PROGRESS), 1);
  video->TogglePause();
  seen.clear();
  ASSERT_TRUE(WaitForCodes(NOTIFY_PROGRESS, 3, seen));

  video->StopPlay();
  EXPECT_FALSE(video->IsPlaying());
  EXPECT_EQ(BarPos(), 0);
}

TEST_F(VideoTest, KeyboardBurstOnTheTrackbarIsOnePositionSet) {
  Open(MakeVideo(L"burst.avi", CifBytes({{0, 3000}})));
  video->StartPlay();
  std::vector<int> seen;
  ASSERT_TRUE(WaitForCodes(NOTIFY_PROGRESS, 2, seen));
  ASSERT_EQ(CountOf(seen, NOTIFY_POSITION_SET), 1);  // StartPlay's

  // The whole burst reaches the clock's queue before its next pass looks.
  HWND bar = video->GetTrackbar();
  ASSERT_NE(SuspendThread(video->clockThread), DWORD(-1));
  for (int i = 0; i < 6; ++i) {
    PostMessageW(bar, WM_KEYDOWN, VK_RIGHT, 1);
    PostMessageW(bar, WM_KEYUP, VK_RIGHT, 0xC0000001);
  }
  Pump();
  ResumeThread(video->clockThread);
  seen.clear();
  ASSERT_TRUE(WaitForCodes(NOTIFY_POSITION_SET, 1, seen));
  // Six passes of the clock after it.
  seen.clear();
  ASSERT_TRUE(WaitForCodes(NOTIFY_PROGRESS, 6, seen));
  EXPECT_EQ(CountOf(seen, NOTIFY_POSITION_SET), 0) << "one burst, one position set";
}

// A drag goes on across several passes of the clock: each pass that finds moves sets the position.
TEST_F(VideoTest, MovesAcrossSeveralTicksSetThePositionInEachPass) {
  Open(MakeVideo(L"drag.avi", CifBytes({{0, 3000}})));
  video->StartPlay();
  std::vector<int> seen;
  ASSERT_TRUE(WaitForCodes(NOTIFY_PROGRESS, 1, seen));

  // Moves every few milliseconds, as a dragging mouse sends them, for six passes of the clock.
  HWND bar = video->GetTrackbar();
  seen.clear();
  const ULONGLONG end = GetTickCount64() + 10000;
  while (CountOf(seen, NOTIFY_PROGRESS) < 6 && GetTickCount64() < end) {
    PostMessageW(bar, WM_KEYDOWN, VK_RIGHT, 1);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    for (int c : Codes()) seen.push_back(c);
  }
  ASSERT_GE(CountOf(seen, NOTIFY_PROGRESS), 6);
  EXPECT_GE(CountOf(seen, NOTIFY_POSITION_SET), 4) << "one position set for the whole drag";
}

TEST_F(VideoTest, CloseWhilePlayingStopsTheClock) {
  Watchdog dog(30000, "close while playing");
  Open(MakeVideo(L"close.avi", CifBytes({{0, 3000}, {3000, 3000}})));
  video->NextEntry();
  video->StartPlay();
  std::vector<int> seen;
  ASSERT_TRUE(WaitForCodes(NOTIFY_PROGRESS, 1, seen));
  video->CloseVideo();
  EXPECT_FALSE(video->IsPlaying());
  EXPECT_FALSE(video->IsPaused());
  EXPECT_EQ(video->GetEntryCount(), 0u);
  EXPECT_EQ(video->GetFrameWindow(), nullptr);

  // Play asked of a closed video: the tick finds no entry and stops, without a word.
  Codes();
  video->StartPlay();
  ASSERT_TRUE(WaitUntil([&] { return !video->IsPlaying(); }));
  const std::vector<int> codes = Codes();
  EXPECT_EQ(CountOf(codes, NOTIFY_PROGRESS), 0);
  EXPECT_EQ(CountOf(codes, NOTIFY_PLAY_ENDED), 0);
}

TEST_F(VideoTest, ThousandMovesWhilePlayingNeverDeadlock) {
  Watchdog dog(60000, "1,000 next/previous/whole-mode calls while playing");
  Open(MakeVideo(L"moves.avi", CifBytes({{0, 3000}, {3000, 3000}, {6000, 3000}})));
  video->StartPlay();
  for (int i = 0; i < 1000; ++i) {
    switch (i % 5) {
      case 0:
        video->NextEntry();
        break;
      case 1:
        video->PrevEntry();
        break;
      case 2:
        video->SetWholeMode(true);
        break;
      case 3:
        video->SetWholeMode(false);
        break;
      case 4:
        // The UI thread holding the lock across a tick: the clock must wait without holding
        // anything the UI thread needs.
        video->Lock();
        Sleep(i % 50 == 4 ? 60 : 0);
        video->StopPlay();
        video->Unlock();
        break;
    }
    video->StartPlay();
    if (i % 3 == 0) Pump();
    // The user scrolls now and then; the clock gets the position from the frame.
    if (i % 7 == 0) PostMessageW(video->GetTrackbar(), WM_KEYDOWN, VK_RIGHT, 1);
  }
  std::vector<int> seen;
  EXPECT_TRUE(WaitForCodes(NOTIFY_PROGRESS, 1, seen));
  EXPECT_EQ(video->GetEntryCount(), 3u);
}

TEST_F(VideoTest, DeleteWhilePlayingWithTheFrameOpenReturnsWithinASecond) {
  Watchdog dog(30000, "delete while playing");
  Open(MakeVideo(L"delete.avi", CifBytes({{0, 3000}})));
  video->StartPlay();
  std::vector<int> seen;
  ASSERT_TRUE(WaitForCodes(NOTIFY_PROGRESS, 2, seen));
  HWND frame = video->GetFrameWindow();
  HANDLE clock = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), video->clockThread, GetCurrentProcess(), &clock,
                              SYNCHRONIZE, FALSE, 0));
  // Ticks posted to the trackbar and not yet dispatched must not hold the clock up either.
  const ULONGLONG begin = GetTickCount64();
  delete video;
  video = nullptr;
  EXPECT_LT(GetTickCount64() - begin, 1000u);
  EXPECT_FALSE(IsWindow(frame));
  EXPECT_EQ(WaitForSingleObject(clock, 0), WAIT_OBJECT_0) << "the clock thread has ended";
  CloseHandle(clock);
  Pump();  // what the clock posted before it ended goes to windows that are gone
}

TEST_F(VideoTest, CreateAndDeleteAHundredTimes) {
  Watchdog dog(60000, "create and delete 100 times");
  const std::wstring path = MakeVideo(L"many.avi", CifBytes({{0, 3000}}));
  for (int i = 0; i < 100; ++i) {
    auto* manager = new CVideoManager;
    ASSERT_NE(manager->clockThread, nullptr);
    // Its queue exists already: a stop posted now cannot be lost.
    EXPECT_TRUE(PostThreadMessageW(manager->clockThreadId, WM_NULL, 0, 0)) << GetLastError();
    if (i % 10 == 0) {
      manager->OpenVideo(path.c_str(), anchor);
      manager->StartPlay();
    }
    delete manager;
  }
  Pump();
}
