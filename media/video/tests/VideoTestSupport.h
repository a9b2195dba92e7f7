// Test support for the video manager: an anchor window that stands for the main dialog and
// collects the notifications, videos with their ".cif" in a scratch folder, a bounded message
// pump, and a watchdog that ends the process when a guarded block deadlocks.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "media/video/VideoManager.h"
#include "tests/support/TestFiles.h"

// A deadlock must fail the test, not hang the run: when the guarded block has not finished in
// time, the process ends with code 3.
class Watchdog {
 public:
  Watchdog(DWORD timeoutMs, const char* what) : timeoutMs_(timeoutMs), what_(what) {
    done_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, Watch, this, 0, nullptr);
  }
  ~Watchdog() {
    SetEvent(done_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(done_);
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  static DWORD WINAPI Watch(void* p) {
    auto* self = static_cast<Watchdog*>(p);
    if (WaitForSingleObject(self->done_, self->timeoutMs_) == WAIT_TIMEOUT) {
      std::fprintf(stderr, "DEADLOCK: %s did not finish within %lu ms\n", self->what_,
                   static_cast<unsigned long>(self->timeoutMs_));
      std::fflush(stderr);
      TerminateProcess(GetCurrentProcess(), 3);
    }
    return 0;
  }
  DWORD timeoutMs_;
  const char* what_;
  HANDLE done_ = nullptr;
  HANDLE thread_ = nullptr;
};

// ".cif" bytes: u32 start, u32 length per record, little-endian.
inline std::vector<uint8_t> CifBytes(std::initializer_list<std::pair<uint32_t, uint32_t>> records) {
  std::vector<uint8_t> bytes;
  for (const auto& [start, length] : records)
    for (uint32_t v : {start, length})
      for (int b = 0; b < 4; ++b) bytes.push_back(uint8_t(v >> (8 * b)));
  return bytes;
}

class VideoTest : public ::testing::Test {
 protected:
  static constexpr int kAnchorWidth = 600, kAnchorHeight = 300;

  // Off the screen, so that frames of these tests never cover the screen tests' windows.
  virtual POINT AnchorAt() const { return POINT{-4000, -3000}; }

  static LRESULT CALLBACK AnchorProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SOUND_NOTIFY) {
      notices.emplace_back(int(wParam), lParam);
      return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }

  void SetUp() override {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    notices.clear();
    WNDCLASSW wc = {};
    wc.lpfnWndProc = AnchorProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VideoTestAnchor";
    RegisterClassW(&wc);
    const POINT at = AnchorAt();
    anchor = CreateWindowExW(0, wc.lpszClassName, L"anchor", WS_POPUP, at.x, at.y, kAnchorWidth,
                             kAnchorHeight, nullptr, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(anchor, nullptr);
    folder = MakeTempFolder(L"VideoTest");
    ASSERT_FALSE(folder.empty());
    video = new CVideoManager;
    video->notifyTarget = NotifyTarget{0, anchor, WM_SOUND_NOTIFY};
  }

  void TearDown() override {
    delete video;
    video = nullptr;
    Pump();
    if (anchor) DestroyWindow(anchor);
    RemoveTree(folder);
  }

  // A 0-byte video in the scratch folder, with a ".cif" of these bytes beside it (none: no ".cif").
  std::wstring MakeVideo(const wchar_t* name, const std::vector<uint8_t>* cif) {
    const std::wstring path = folder + L"\\" + name;
    EXPECT_TRUE(WriteWholeFile(path, std::string()));
    if (cif) {
      EXPECT_TRUE(WriteWholeFile(VideoChunkTablePath(path), *cif));
    }
    return path;
  }
  std::wstring MakeVideo(const wchar_t* name, const std::vector<uint8_t>& cif) {
    return MakeVideo(name, &cif);
  }

  void Open(const std::wstring& path) { video->OpenVideo(path.c_str(), anchor); }

  // Dispatches what is queued for this thread, at most `limit` messages (a window that never
  // validates would keep it busy for ever); how many were dispatched.
  int Pump(int limit = 20000) {
    MSG msg;
    int n = 0;
    while (n < limit && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      DispatchMessageW(&msg);
      ++n;
    }
    return n;
  }

  // The codes the manager posted since the last call, in order.
  std::vector<int> Codes() {
    Pump();
    std::vector<int> codes;
    for (const auto& [code, sender] : notices) {
      EXPECT_EQ(sender, reinterpret_cast<LPARAM>(video));
      codes.push_back(code);
    }
    notices.clear();
    return codes;
  }

  // Pumps until `count` notifications of `code` have come (the codes seen are kept in `seen`).
  bool WaitForCodes(int code, int count, std::vector<int>& seen, DWORD timeoutMs = 10000) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
      for (int c : Codes()) seen.push_back(c);
      if (std::count(seen.begin(), seen.end(), code) >= count) return true;
      if (GetTickCount64() > end) return false;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
  }

  VideoEntry Entry(uint32_t index) {
    VideoEntry entry = {};
    EXPECT_TRUE(video->GetEntry(index, &entry)) << "entry " << index;
    return entry;
  }
  LRESULT BarPos() { return SendMessageW(video->GetTrackbar(), TBM_GETPOS, 0, 0); }

  static inline std::vector<std::pair<int, LPARAM>> notices;
  HWND anchor = nullptr;
  std::wstring folder;
  CVideoManager* video = nullptr;
};
