// The entry list: what a ".cif" gives, moving between entries, whole mode, split and merge, and
// the frame window's place, class and trackbar.
#include "media/video/tests/VideoTestSupport.h"

namespace {

struct CifCase {
  const char* what;
  bool hasCif;
  std::vector<uint8_t> bytes;
  uint32_t count;
  VideoEntry first, last;
};

std::vector<uint8_t> ManyRecords(uint32_t n) {
  std::vector<uint8_t> bytes;
  for (uint32_t i = 0; i < n; ++i)
    for (uint32_t v : {i * 10, i + 1})
      for (int b = 0; b < 4; ++b) bytes.push_back(uint8_t(v >> (8 * b)));
  return bytes;
}

}  // namespace

TEST_F(VideoTest, ChunkTableGivesTheEntriesOrOneDefaultEntry) {
  const std::vector<CifCase> cases = {
      {"24 bytes",
       true,
       CifBytes({{0, 1500}, {1500, 2500}, {4000, 0xFFFFFFF0u}}),
       3,
       {0, 1500, 0},
       {4000, 0xFFFFFFF0u, 0}},
      {"0 bytes", true, {}, 1, {0, 0, 0}, {0, 0, 0}},
      {"20 bytes", true, std::vector<uint8_t>(20, 0x11), 1, {0, 0, 0}, {0, 0, 0}},
      {"no .cif", false, {}, 1, {0, 0, 0}, {0, 0, 0}},
      {"80,008 bytes", true, ManyRecords(10001), 10000, {0, 1, 0}, {99990, 10000, 0}},
  };
  int n = 0;
  for (const CifCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring name = L"lesson" + std::to_wstring(++n) + L".avi";
    const std::wstring path = MakeVideo(name.c_str(), c.hasCif ? &c.bytes : nullptr);
    video->modified = 1;  // left by a split in the video before: a new video starts unchanged
    video->currentIndex = 7;
    Open(path);
    EXPECT_EQ(Codes(), (std::vector<int>{NOTIFY_CHUNK_IDLE, NOTIFY_LOADED}));
    ASSERT_EQ(video->GetEntryCount(), c.count);
    EXPECT_EQ(video->GetCurrentIndex(), 0u);
    EXPECT_EQ(video->modified, 0);
    EXPECT_EQ(video->GetVideoPath(), path);
    for (const auto& [index, want] : {std::pair{0u, c.first}, std::pair{c.count - 1, c.last}}) {
      const VideoEntry got = Entry(index);
      EXPECT_EQ(got.start, want.start) << index;
      EXPECT_EQ(got.length, want.length) << index;
      EXPECT_EQ(got.position, 0u) << index;
      EXPECT_EQ(got.name[0], 0) << index;
    }
    video->CloseVideo();
    EXPECT_EQ(video->GetEntryCount(), 0u);
    EXPECT_EQ(video->GetFrameWindow(), nullptr);
  }
}

TEST(VideoChunkTablePath, CutsAtTheLastDotOfTheFileName) {
  EXPECT_EQ(VideoChunkTablePath(L"C:\\v\\lesson.avi"), L"C:\\v\\lesson.cif");
  EXPECT_EQ(VideoChunkTablePath(L"C:\\v\\a.b.MPEG"), L"C:\\v\\a.b.cif");
  EXPECT_EQ(VideoChunkTablePath(L"C:\\v.1\\lesson"), L"C:\\v.1\\lesson.cif");
}

TEST_F(VideoTest, NextAndPreviousStopAtTheEndsAndStopPlay) {
  Open(MakeVideo(L"three.mpg", CifBytes({{0, 1000}, {1000, 1000}, {2000, 1000}})));
  Codes();
  video->PrevEntry();
  EXPECT_EQ(video->GetCurrentIndex(), 0u);
  video->StartPlay();
  video->NextEntry();
  EXPECT_FALSE(video->IsPlaying());
  EXPECT_EQ(video->GetCurrentIndex(), 1u);
  video->NextEntry();
  video->NextEntry();  // on the last: nothing
  EXPECT_EQ(video->GetCurrentIndex(), 2u);
  video->PrevEntry();
  EXPECT_EQ(video->GetCurrentIndex(), 1u);
  EXPECT_EQ(Codes(), std::vector<int>{NOTIFY_POSITION_SET});  // StartPlay's, nothing from moving
}

TEST_F(VideoTest, WholeModeOnAndOffRestoresTheEntries) {
  Open(MakeVideo(L"whole.avi", CifBytes({{0, 1000}, {1000, 2000}, {3000, 500}})));
  video->NextEntry();
  video->NextEntry();
  Codes();
  video->SetWholeMode(true);
  EXPECT_EQ(Codes(), std::vector<int>{NOTIFY_LOADED});
  ASSERT_EQ(video->GetEntryCount(), 1u);
  EXPECT_EQ(Entry(0).length, 0u);
  EXPECT_EQ(video->GetCurrentIndex(), 0u);
  video->SetWholeMode(true);  // a second "on" keeps the real entries aside
  video->SetWholeMode(false);
  EXPECT_EQ(Codes(), (std::vector<int>{NOTIFY_LOADED, NOTIFY_LOADED}));
  ASSERT_EQ(video->GetEntryCount(), 3u);
  EXPECT_EQ(video->GetCurrentIndex(), 0u);
  EXPECT_EQ(Entry(1).start, 1000u);
  EXPECT_EQ(Entry(1).length, 2000u);
  EXPECT_EQ(Entry(2).length, 500u);

  // Entries put aside for one video never come back in the next.
  video->SetWholeMode(true);
  video->CloseVideo();
  Open(MakeVideo(L"other.avi", CifBytes({{0, 9000}})));
  video->SetWholeMode(false);
  ASSERT_EQ(video->GetEntryCount(), 1u);
  EXPECT_EQ(Entry(0).length, 9000u);
}

TEST_F(VideoTest, SplitInsertsTheRestAfterTheCurrentEntry) {
  Open(MakeVideo(L"split.avi", CifBytes({{1000, 2000}, {3000, 4000}, {7000, 1000}})));
  video->NextEntry();
  {
    video->Lock();
    static_cast<VideoEntry*>(RecordArrayAt(&video->entries, 1))->position = 1500;
    video->Unlock();
  }
  Codes();
  ASSERT_TRUE(video->SplitCurrentEntry());
  EXPECT_EQ(Codes(), std::vector<int>{NOTIFY_CHUNK_IDLE});
  EXPECT_EQ(video->modified, 1);
  ASSERT_EQ(video->GetEntryCount(), 4u);
  const std::vector<std::pair<uint32_t, uint32_t>> want = {
      {1000, 2000}, {3000, 1500}, {4500, 2500}, {7000, 1000}};
  for (uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(Entry(i).start, want[i].first) << i;
    EXPECT_EQ(Entry(i).length, want[i].second) << i;
  }
  EXPECT_EQ(Entry(2).position, 0u);
  EXPECT_EQ(video->GetCurrentIndex(), 1u);
  EXPECT_EQ(BarPos(), 1000);  // position / length of the current entry

  // Merging joins them again; the last entry has nothing to merge with.
  ASSERT_TRUE(video->MergeWithNext());
  ASSERT_EQ(video->GetEntryCount(), 3u);
  EXPECT_EQ(Entry(1).start, 3000u);
  EXPECT_EQ(Entry(1).length, 4000u);
  EXPECT_EQ(Entry(1).position, 0u);
  EXPECT_EQ(Entry(2).start, 7000u);
  EXPECT_EQ(BarPos(), 0);
  video->NextEntry();
  EXPECT_FALSE(video->MergeWithNext());
}

struct FrameCase {
  const char* what;
  POINT anchorAt;
  int anchorWidth;
  RECT frame;
};

TEST_F(VideoTest, FrameSitsAboveTheAnchorWithItsTrackbar) {
  const int screen = GetSystemMetrics(SM_CXSCREEN);
  const std::vector<FrameCase> cases = {
      {"anchor's width", {-4000, -3000}, kAnchorWidth, {-4000, -3405, -4000 + kAnchorWidth, -3005}},
      {"width 0 is the screen's", {-5000, -3000}, 0, {-5000, -3405, -5000 + screen, -3005}},
  };
  const std::wstring path = MakeVideo(L"frame.avi", CifBytes({{0, 1000}}));
  for (const FrameCase& c : cases) {
    SCOPED_TRACE(c.what);
    SetWindowPos(anchor, nullptr, c.anchorAt.x, c.anchorAt.y, c.anchorWidth, kAnchorHeight,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    Open(path);
    HWND frame = video->GetFrameWindow();
    ASSERT_NE(frame, nullptr);
    wchar_t text[64] = {};
    GetClassNameW(frame, text, 64);
    EXPECT_STREQ(text, L"MainWindow");
    GetWindowTextW(frame, text, 64);
    EXPECT_STREQ(text, L"VLC Video Frame");
    EXPECT_EQ(GetWindow(frame, GW_OWNER), anchor);
    const LONG style = GetWindowLongW(frame, GWL_STYLE);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_EQ(style & (WS_SYSMENU | WS_CHILD | WS_POPUP), 0);
    EXPECT_TRUE(IsWindowVisible(frame));
    RECT r;
    GetWindowRect(frame, &r);
    EXPECT_EQ(r.left, c.frame.left);
    EXPECT_EQ(r.top, c.frame.top);
    EXPECT_EQ(r.right, c.frame.right);
    EXPECT_EQ(r.bottom, c.frame.bottom);

    HWND bar = video->GetTrackbar();
    ASSERT_NE(bar, nullptr);
    GetClassNameW(bar, text, 64);
    EXPECT_STREQ(text, L"msctls_trackbar32");
    EXPECT_EQ(GetParent(bar), frame);
    RECT client, barRect;
    GetClientRect(frame, &client);
    GetWindowRect(bar, &barRect);
    MapWindowPoints(nullptr, frame, reinterpret_cast<POINT*>(&barRect), 2);
    EXPECT_EQ(barRect.left, 0);
    EXPECT_EQ(barRect.top, client.bottom - 40);
    EXPECT_EQ(barRect.right, client.right);
    EXPECT_EQ(barRect.bottom, client.bottom);
    EXPECT_EQ(SendMessageW(bar, TBM_GETRANGEMIN, 0, 0), 0);
    EXPECT_EQ(SendMessageW(bar, TBM_GETRANGEMAX, 0, 0), 1000);
    EXPECT_EQ(SendMessageW(bar, TBM_GETPAGESIZE, 0, 0), 20);
    EXPECT_EQ(SendMessageW(bar, TBM_GETPOS, 0, 0), 0);
    EXPECT_EQ(video->frameRecord->width, client.right);
    EXPECT_EQ(video->frameRecord->height, client.bottom);

    video->CloseVideo();
    EXPECT_FALSE(IsWindow(frame));
    EXPECT_FALSE(IsWindow(bar));
  }
}

TEST_F(VideoTest, OwnerDestroyingTheFrameLeavesNoStaleHandles) {
  Open(MakeVideo(L"owner.avi", CifBytes({{0, 3000}})));
  HWND frame = video->GetFrameWindow();
  ASSERT_NE(frame, nullptr);
  DestroyWindow(anchor);  // takes its owned frame with it
  anchor = nullptr;
  EXPECT_FALSE(IsWindow(frame));
  EXPECT_EQ(video->GetFrameWindow(), nullptr);
  EXPECT_EQ(video->GetTrackbar(), nullptr);
  EXPECT_EQ(video->frameRecord->frameDC, nullptr);
  // Play and close go on without a frame.
  video->StartPlay();
  video->StopPlay();
  video->CloseVideo();
  EXPECT_EQ(video->GetEntryCount(), 0u);
}
