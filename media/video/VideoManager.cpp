// The video manager: entry list, moving between entries, whole mode and the clock thread.
#include "media/video/VideoManager.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "media/soundfile/SoundFile.h"

static_assert(CVideoManager::kMaxEntries == kMaxFileChunks, "the same cap as the sound loader's");

namespace {

class SectionLock {
 public:
  explicit SectionLock(CRITICAL_SECTION* section) : section_(section) { EnterCriticalSection(section_); }
  ~SectionLock() { LeaveCriticalSection(section_); }
  SectionLock(const SectionLock&) = delete;
  SectionLock& operator=(const SectionLock&) = delete;

 private:
  CRITICAL_SECTION* section_;
};

RecordArray EmptyEntryList() {
  RecordArray list = {};
  list.growStep = CVideoManager::kGrowStep;
  list.recordSize = sizeof(VideoEntry);
  return list;
}

}  // namespace

std::wstring VideoChunkTablePath(const std::wstring& videoPath) {
  const size_t slash = videoPath.find_last_of(L"\\/");
  const size_t dot = videoPath.find_last_of(L'.');
  std::wstring stem = videoPath;
  if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) stem.resize(dot);
  return stem + L".cif";
}

bool ReadVideoChunkTable(const std::wstring& cifPath, RecordArray* entries) {
  HANDLE file = CreateFileW(cifPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file, &size) || size.QuadPart <= 0 || size.QuadPart % 8 != 0) {
    CloseHandle(file);
    return false;
  }
  const uint32_t count = uint32_t(std::min<int64_t>(size.QuadPart / 8, CVideoManager::kMaxEntries));
  std::vector<ChunkTableRecord> records(count);
  DWORD read = 0;
  const bool ok = ReadFile(file, records.data(), count * 8, &read, nullptr) && read == count * 8;
  CloseHandle(file);
  if (!ok) return false;

  // Room for all of them at once: growing four records at a time would copy the list over and
  // over for a long table.
  const uint32_t step = entries->growStep;
  if (entries->capacity < entries->count + count)
    entries->growStep = entries->count + count - entries->capacity;
  for (const ChunkTableRecord& record : records) {
    const uint32_t index = RecordArrayAppend(entries, nullptr);
    if (index == UINT32_MAX) break;
    auto* entry = static_cast<VideoEntry*>(RecordArrayAt(entries, index));
    entry->start = record.startMs;
    entry->length = record.lengthMs;
  }
  entries->growStep = step;
  return entries->count > 0;
}

// ---- construction ----

CVideoManager::CVideoManager() {
  InitializeCriticalSectionAndSpinCount(&lock, 4000);
  entries = EmptyEntryList();
  savedEntries = EmptyEntryList();
  frameRecord = new VideoFrameRecord{};
  clockReady_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  clockThread = CreateThread(nullptr, 0, ClockThreadProc, this, 0, &clockThreadId);
  // The stop message must find a queue: a message posted before it exists is lost.
  if (clockThread && clockReady_) {
    HANDLE waits[2] = {clockReady_, clockThread};
    WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  }
  frameRecord->clockThreadId = clockThreadId;
}

namespace {

// Queued to the clock thread only to end its wait.
void CALLBACK WakeClock(ULONG_PTR) {}

}  // namespace

CVideoManager::~CVideoManager() {
  if (clockThread) {
    while (!PostThreadMessageW(clockThreadId, kClockStop, 0, 0)) {
      if (WaitForSingleObject(clockThread, 50) != WAIT_TIMEOUT) break;
    }
    QueueUserAPC(WakeClock, clockThread, 0);
    WaitForSingleObject(clockThread, INFINITE);
    CloseHandle(clockThread);
    clockThread = nullptr;
  }
  if (clockReady_) CloseHandle(clockReady_);
  clockReady_ = nullptr;
  if (frameRecord) {
    frameRecord->playerAvailable = 0;
    DestroyFrameWindow();
    UnregisterClassW(kVideoFrameClass, GetModuleHandleW(nullptr));
    delete frameRecord;
    frameRecord = nullptr;
  }
  DeleteCriticalSection(&lock);
  RecordArrayFree(&entries);
  RecordArrayFree(&savedEntries);
}

void CVideoManager::Notify(WPARAM code) const {
  const LPARAM self = reinterpret_cast<LPARAM>(this);
  if (notifyTarget.threadId) PostThreadMessageW(notifyTarget.threadId, notifyTarget.message, code, self);
  if (notifyTarget.window) PostMessageW(notifyTarget.window, notifyTarget.message, code, self);
}

// ---- entries ----

VideoEntry* CVideoManager::EntryAt(uint32_t index) {
  if (index >= entries.count) return nullptr;
  return static_cast<VideoEntry*>(RecordArrayAt(&entries, index));
}

void CVideoManager::EmptyEntries(RecordArray* list) { list->count = 0; }

void CVideoManager::AppendDefaultEntry() { RecordArrayAppend(&entries, nullptr); }

uint32_t CVideoManager::GetEntryCount() {
  SectionLock hold(&lock);
  return entries.count;
}

uint32_t CVideoManager::GetCurrentIndex() {
  SectionLock hold(&lock);
  return currentIndex;
}

bool CVideoManager::GetEntry(uint32_t index, VideoEntry* out) {
  SectionLock hold(&lock);
  const VideoEntry* entry = EntryAt(index);
  if (!entry) return false;
  *out = *entry;
  return true;
}

bool CVideoManager::GetCurrentEntry(VideoEntry* out) {
  SectionLock hold(&lock);
  return GetEntry(currentIndex, out);
}

void CVideoManager::OpenVideo(const wchar_t* path, HWND anchor) {
  // A frame still up belongs to the video opened before.
  if (frameRecord && frameRecord->frame) CloseVideo();
  anchorWindow = anchor;
  RECT area = {};
  if (!anchor || !GetWindowRect(anchor, &area)) area = RECT{};
  CreateFrameWindow(area.left, area.top - kFrameGap, area.right - area.left);

  videoPath = path ? path : L"";
  RecordArray read = EmptyEntryList();
  const bool fromFile = ReadVideoChunkTable(VideoChunkTablePath(videoPath), &read);
  {
    SectionLock hold(&lock);
    playing = false;
    paused = false;
    EmptyEntries(&entries);
    // Entries put aside by whole mode belong to the video opened before.
    EmptyEntries(&savedEntries);
    wholeMode = 0;
    if (fromFile) {
      RecordArrayFree(&entries);
      entries = read;
      read = EmptyEntryList();
    } else {
      AppendDefaultEntry();
    }
    currentIndex = 0;
    modified = 0;
  }
  RecordArrayFree(&read);
  Notify(NOTIFY_CHUNK_IDLE);
  Notify(NOTIFY_LOADED);
}

void CVideoManager::CloseVideo() {
  if (frameRecord) frameRecord->playerAvailable = 0;
  DestroyFrameWindow();
  UnregisterClassW(kVideoFrameClass, GetModuleHandleW(nullptr));
  SectionLock hold(&lock);
  // The next tick must not play an entry that is gone.
  playing = false;
  paused = false;
  EmptyEntries(&entries);
}

void CVideoManager::NextEntry() {
  {
    SectionLock hold(&lock);
    if (entries.count == 0 || currentIndex + 1 >= entries.count) return;
    playing = false;
    if (VideoEntry* entry = EntryAt(currentIndex)) entry->position = 0;
    ++currentIndex;
    EntryAt(currentIndex)->position = 0;
  }
  SetTrackbarPos(0);
}

void CVideoManager::PrevEntry() {
  {
    SectionLock hold(&lock);
    if (currentIndex == 0) return;
    playing = false;
    if (VideoEntry* entry = EntryAt(currentIndex)) entry->position = 0;
    --currentIndex;
    if (VideoEntry* entry = EntryAt(currentIndex)) entry->position = 0;
  }
  SetTrackbarPos(0);
}

void CVideoManager::StartPlay() {
  playing = true;
  paused = false;
  Notify(NOTIFY_POSITION_SET);
}

void CVideoManager::SetWholeMode(bool on) {
  {
    SectionLock hold(&lock);
    // A second "on" would put the single whole entry aside in place of the real ones.
    if (uint8_t(on) != wholeMode) {
      wholeMode = on;
      if (on) {
        RecordArrayCopy(&savedEntries, &entries);  // out of memory leaves it empty
        EmptyEntries(&entries);
        AppendDefaultEntry();
      } else {
        EmptyEntries(&entries);
        RecordArrayCopy(&entries, &savedEntries);
        if (entries.count == 0) AppendDefaultEntry();
      }
    }
    currentIndex = 0;
  }
  Notify(NOTIFY_LOADED);
}

void CVideoManager::StopPlay() {
  {
    SectionLock hold(&lock);
    playing = false;
    if (VideoEntry* entry = EntryAt(currentIndex)) entry->position = 0;
  }
  SetTrackbarPos(0);
}

void CVideoManager::TogglePause() { paused = !paused; }

bool CVideoManager::SplitCurrentEntry() {
  uint32_t bar = 0;
  {
    SectionLock hold(&lock);
    VideoEntry* entry = EntryAt(currentIndex);
    if (!entry) return false;
    const uint32_t cut = std::min(entry->position, entry->length);
    VideoEntry rest = {};
    rest.start = entry->start + cut;
    rest.length = entry->length - cut;
    if (RecordArrayAppend(&entries, nullptr) == UINT32_MAX) return false;
    // The rest goes right after the entry it was cut from: entry order is play order.
    const uint32_t at = currentIndex + 1;
    char* base = static_cast<char*>(entries.data);
    std::memmove(base + size_t(at + 1) * sizeof(VideoEntry), base + size_t(at) * sizeof(VideoEntry),
                 size_t(entries.count - 1 - at) * sizeof(VideoEntry));
    *EntryAt(at) = rest;
    entry = EntryAt(currentIndex);  // the append may have moved the list
    entry->length = cut;
    entry->position = cut;
    bar = entry->length ? uint32_t(double(entry->position) / double(entry->length) * kTrackbarRange) : 0;
    modified = 1;
  }
  Notify(NOTIFY_CHUNK_IDLE);
  SetTrackbarPos(bar);
  return true;
}

bool CVideoManager::MergeWithNext() {
  {
    SectionLock hold(&lock);
    if (currentIndex + 1 >= entries.count) return false;
    playing = false;
    VideoEntry* entry = EntryAt(currentIndex);
    entry->position = 0;
    const uint64_t length = uint64_t(entry->length) + EntryAt(currentIndex + 1)->length;
    entry->length = uint32_t(std::min<uint64_t>(length, UINT32_MAX));
    char* base = static_cast<char*>(entries.data);
    const uint32_t next = currentIndex + 1;
    std::memmove(base + size_t(next) * sizeof(VideoEntry), base + size_t(next + 1) * sizeof(VideoEntry),
                 size_t(entries.count - next - 1) * sizeof(VideoEntry));
    --entries.count;
  }
  SetTrackbarPos(0);
  return true;
}

void CVideoManager::SetTrackbarPos(uint32_t position) {
  HWND bar = frameRecord ? frameRecord->trackbar.load() : nullptr;
  if (!bar) return;
  if (GetWindowThreadProcessId(bar, nullptr) == GetCurrentThreadId())
    SendMessageW(bar, TBM_SETPOS, TRUE, LPARAM(position));
  else
    PostMessageW(bar, TBM_SETPOS, TRUE, LPARAM(position));
}

// ---- clock ----

DWORD WINAPI CVideoManager::ClockThreadProc(void* self) {
  static_cast<CVideoManager*>(self)->RunClock();
  return 0;
}

void CVideoManager::RunClock() {
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  while (!PostThreadMessageW(GetCurrentThreadId(), WM_USER, 0, 0)) Sleep(50);
  SetEvent(clockReady_);

  // Each pass that finds trackbar moves sends one "position set": a drag across several passes
  // sends one in each of them.
  for (;;) {
    bool userMoved = false;
    if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == kClockStop) return;
      if (msg.message == WM_HSCROLL) {
        // The frame sends the position it read in wParam; those directly behind go with it.
        MSG next;
        while (PeekMessageW(&next, nullptr, 0, 0, PM_NOREMOVE) && next.message == WM_HSCROLL)
          PeekMessageW(&next, nullptr, WM_HSCROLL, WM_HSCROLL, PM_REMOVE);
        Notify(NOTIFY_POSITION_SET);
        userMoved = true;
      }
    }
    // The destructor's wake-up ends the wait at once; its stop message is next in the queue.
    if (SleepEx(kTickMs, TRUE) == WAIT_IO_COMPLETION) continue;
    if (playing && !paused) Tick(userMoved);
  }
}

void CVideoManager::Tick(bool userMoved) {
  bool ended = false;
  bool progressed = false;
  int64_t bar = -1;
  HWND trackbar = nullptr;
  {
    SectionLock hold(&lock);
    if (!playing || paused) return;  // stopped or paused since the pass looked
    VideoEntry* entry = EntryAt(currentIndex);
    if (!entry) {
      playing = false;  // the list was emptied under the play state
      return;
    }
    if (entry->position < entry->length) {
      // No player: the play time stays 0, so the entry is taken from the video's start.
      if (entry->start != 0) {
        entry->length = uint32_t(std::min<uint64_t>(uint64_t(entry->start) + entry->length, UINT32_MAX));
        entry->start = 0;
      }
      entry->position = 0;
      if (!userMoved) bar = int64_t(double(entry->position) * kTrackbarRange / double(entry->length));
    } else {
      playing = false;
      entry->position = 0;
      bar = 0;
      ended = true;
    }
    progressed = true;
    trackbar = frameRecord ? frameRecord->trackbar.load() : nullptr;
  }
  // Never sent: the trackbar's thread may be waiting for this lock.
  if (bar >= 0 && trackbar) PostMessageW(trackbar, TBM_SETPOS, TRUE, LPARAM(bar));
  if (ended) Notify(NOTIFY_PLAY_ENDED);
  if (progressed) Notify(NOTIFY_PROGRESS);
}
