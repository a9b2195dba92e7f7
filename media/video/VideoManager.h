// The video side of the Master position: the entry list read from a video's ".cif" beside it, the
// frame window above the main dialog (no player is carried: it shows a fixed text and a trackbar),
// moving between entries, and a clock thread that advances the play state every 50 ms. It reports
// to the dialog with the sound document's codes (WM_SOUND_NOTIFY, lParam the manager).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "common/SharedHelpers.h"
#include "media/document/SoundDocument.h"

// One entry of the list (the video counterpart of a chunk), all in milliseconds.
struct VideoEntry {
  uint32_t start;
  uint32_t length;
  uint32_t position;   // from the start of the entry
  wchar_t name[1024];  // not filled
};
static_assert(sizeof(VideoEntry) == 2060, "a video entry is 2,060 bytes");

struct VideoFrameRecord {
  WNDCLASSW windowClass;
  HWND frame;
  HWND parent;
  HDC frameDC;
  int32_t x, y, width, height;
  RECT client;
  // Read by the clock thread, which posts its position to it; cleared when the frame goes.
  std::atomic<HWND> trackbar;
  uint32_t clockThreadId;
  uint8_t playerAvailable;  // always 0: no player is carried
};

constexpr wchar_t kVideoFrameClass[] = L"MainWindow";
constexpr wchar_t kVideoFrameTitle[] = L"VLC Video Frame";
constexpr wchar_t kNoPlayerText[] = L"VideoLAN VLC Player is not installed";

class CVideoManager {
 public:
  // No ".cif" gives more entries than the sound loader's chunk table does.
  static constexpr uint32_t kMaxEntries = 10000;
  static constexpr uint32_t kGrowStep = 4;
  static constexpr int kFrameHeight = 400;
  static constexpr int kFrameGap = 405;  // the frame's top is this far above the anchor's
  static constexpr int kTrackbarHeight = 40;
  static constexpr int kTrackbarRange = 1000;
  static constexpr int kTrackbarPage = 20;
  static constexpr DWORD kTickMs = 50;
  // Clock thread messages: WM_USER makes its queue; this one ends it. WM_HSCROLL comes from the
  // frame when the user moves the trackbar.
  static constexpr UINT kClockStop = WM_USER + 1;

  // Starts the clock thread and returns once its queue exists.
  CVideoManager();
  virtual ~CVideoManager();
  CVideoManager(const CVideoManager&) = delete;
  CVideoManager& operator=(const CVideoManager&) = delete;

  // UI thread. Shows the frame above `anchor`, reads the entries, posts NOTIFY_CHUNK_IDLE then
  // NOTIFY_LOADED.
  void OpenVideo(const wchar_t* path, HWND anchor);
  // Destroys the frame and empties the entry list; play stops.
  void CloseVideo();
  void NextEntry();
  void PrevEntry();
  // Starts the clock's play state; posts NOTIFY_POSITION_SET.
  void StartPlay();
  // Bookmarks off (one entry for the whole video) or back on; posts NOTIFY_LOADED.
  void SetWholeMode(bool on);

  // What the dialog does to the play state and the entries, each under the lock.
  // Stop: playing cleared, the current entry's position and the trackbar 0.
  void StopPlay();
  void TogglePause();
  // Cuts the current entry at its position; the rest becomes a new entry right after it. Sets
  // modified, posts NOTIFY_CHUNK_IDLE and moves the trackbar. False without a current entry.
  bool SplitCurrentEntry();
  // Joins the next entry to the current one (the bookmark between them goes); playing cleared.
  // False on the last entry.
  bool MergeWithNext();

  // Readers, under the lock.
  uint32_t GetEntryCount();
  uint32_t GetCurrentIndex();
  bool GetEntry(uint32_t index, VideoEntry* out);
  bool GetCurrentEntry(VideoEntry* out);
  bool IsPlaying() const { return playing.load(); }
  bool IsPaused() const { return paused.load(); }
  HWND GetFrameWindow() const { return frameRecord ? frameRecord->frame : nullptr; }
  HWND GetTrackbar() const { return frameRecord ? frameRecord->trackbar.load() : nullptr; }
  const std::wstring& GetVideoPath() const { return videoPath; }

  // The critical section over the entries, the current index and the entries' positions
  // (re-entrant), for callers that read several fields at once.
  void Lock() { EnterCriticalSection(&lock); }
  void Unlock() { LeaveCriticalSection(&lock); }

  // Posts a notification to the target; never waits.
  void Notify(WPARAM code) const;

  static LRESULT CALLBACK FrameWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  // Members, in the manner of the dialog code that reads them.
  VideoFrameRecord* frameRecord = nullptr;
  HWND anchorWindow = nullptr;
  std::wstring videoPath;
  HANDLE clockThread = nullptr;
  DWORD clockThreadId = 0;
  NotifyTarget notifyTarget;
  RecordArray entries = {};
  RecordArray savedEntries = {};  // the entries while whole mode is on
  uint8_t modified = 0;           // the entries changed since they were read
  uint8_t wholeMode = 0;
  CRITICAL_SECTION lock;
  std::atomic<bool> playing{false};
  std::atomic<bool> paused{false};
  uint32_t currentIndex = 0;

 private:
  static DWORD WINAPI ClockThreadProc(void* self);
  void RunClock();
  // One pass of the clock while playing; `userMoved`: the trackbar stays where the user left it.
  void Tick(bool userMoved);
  bool CreateFrameWindow(int x, int y, int width);
  void DestroyFrameWindow();
  // From the trackbar's own thread directly, from any other by a posted message.
  void SetTrackbarPos(uint32_t position);
  VideoEntry* EntryAt(uint32_t index);
  static void EmptyEntries(RecordArray* list);
  void AppendDefaultEntry();

  HANDLE clockReady_ = nullptr;
};

// The entries a ".cif" file gives: the records of a non-empty file whose size is a multiple of 8
// (at most kMaxEntries of them); otherwise none, and the caller uses the single default entry.
bool ReadVideoChunkTable(const std::wstring& cifPath, RecordArray* entries);
// The video path cut at the last dot of its file name, with ".cif" appended.
std::wstring VideoChunkTablePath(const std::wstring& videoPath);
