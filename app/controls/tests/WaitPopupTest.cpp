// The wait pop-up on its own thread, driven from this (the UI) thread as the main dialog does.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "app/controls/WaitPopup.h"
#include "app/controls/tests/ScreenCapture.h"
#include "app/controls/tests/SkinTestDialog.h"

namespace {

template <typename F>
bool WaitFor(F condition, DWORD ms = 2000) {
  DWORD start = GetTickCount();
  while (!condition()) {
    if (GetTickCount() - start > ms) return false;
    PumpMessages(10);
  }
  return true;
}

bool IsAt(HWND w, int x, int y, int cx, int cy) {
  RECT r;
  return w && GetWindowRect(w, &r) && r.left == x && r.top == y && r.right - r.left == cx &&
         r.bottom - r.top == cy;
}

TEST(WaitPopup, ShownMovedHiddenFromTheUiThreadAndJoinedAtTheEnd) {
  HWND owner = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, 600, 400, nullptr, nullptr,
                               nullptr, nullptr);
  HFONT font = CreateFontW(-11, 0, 0, 0, 400, 0, 0, 0, ANSI_CHARSET, 0, 0, ANTIALIASED_QUALITY, 0, nullptr);
  WaitPopupRecord* rec = StartWaitPopup(font);
  ASSERT_NE(rec->thread, nullptr);
  HWND first = rec->window;
  ASSERT_NE(first, nullptr) << "the window exists once the start returns";
  EXPECT_EQ(GetWindowThreadProcessId(first, nullptr), rec->threadId) << "it belongs to the pop-up's thread";
  EXPECT_TRUE(IsAt(first, 0, 0, 300, 100));
  EXPECT_EQ(rec->x, (GetSystemMetrics(SM_CXSCREEN) - 300) / 2);  // where a re-created window goes
  EXPECT_EQ(rec->y, (GetSystemMetrics(SM_CYSCREEN) - 100) / 2);

  MoveWaitPopup(rec, 150, 160, 300, 80);
  EXPECT_TRUE(WaitFor([&] { return IsAt(rec->window, 150, 160, 300, 80); }));

  RecreateWaitPopup(rec, owner, false);
  ASSERT_TRUE(WaitFor([&] { return rec->window.load() && rec->window.load() != first; }));
  HWND popup = rec->window;
  EXPECT_EQ(GetWindow(popup, GW_OWNER), owner);
  EXPECT_TRUE(IsAt(popup, 150, 160, 300, 80));
  EXPECT_FALSE(IsWindowVisible(popup)) << "re-created hidden";

  {
    std::wstring text = L"Wait for all the selected students to login...";
    ShowWaitPopup(rec, text.c_str());
    text.assign(text.size(), L'#');  // the caller's string is gone: the pop-up keeps its own
  }
  EXPECT_TRUE(IsWindowVisible(popup));
  EXPECT_EQ(rec->shown, 1u);
  wchar_t title[100] = {};
  GetWindowTextW(popup, title, 100);
  EXPECT_STREQ(title, L"Wait for all the selected students to login...");

  // Painted text: dark pixels in the middle band of the client area, none near its bottom.
  PumpMessages(200);
  RECT client;
  GetClientRect(popup, &client);
  POINT origin = {0, 0};
  ClientToScreen(popup, &origin);
  CPixels band = CPixels::FromScreen({origin.x, origin.y + client.bottom / 2 - 14, origin.x + client.right,
                                      origin.y + client.bottom / 2 + 4});
  CPixels bottom = CPixels::FromScreen(
      {origin.x, origin.y + client.bottom - 10, origin.x + client.right, origin.y + client.bottom});
  auto darkPixels = [](const CPixels& p) {
    int n = 0;
    for (int y = 0; y < p.height; ++y)
      for (int x = 0; x < p.width; ++x) {
        Rgba c = p.At(x, y);
        n += c.r + c.g + c.b < 200;
      }
    return n;
  };
  EXPECT_GT(darkPixels(band), 20);
  EXPECT_EQ(darkPixels(bottom), 0) << "client " << client.right << "x" << client.bottom;

  HideWaitPopup(rec);
  EXPECT_FALSE(IsWindowVisible(popup));
  EXPECT_EQ(rec->shown, 0u);

  HANDLE thread = nullptr;
  DuplicateHandle(GetCurrentProcess(), rec->thread, GetCurrentProcess(), &thread, SYNCHRONIZE, FALSE, 0);
  StopWaitPopup(rec);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "joined";
  CloseHandle(thread);
  EXPECT_FALSE(IsWindow(popup));
  WNDCLASSW wc;
  EXPECT_FALSE(GetClassInfoW(GetModuleHandleW(nullptr), L"WaitWindowClass", &wc)) << "class unregistered";
  DestroyWindow(owner);
}

DWORD WINAPI EndProcessUnlessSignalled(LPVOID event) {
  if (WaitForSingleObject(static_cast<HANDLE>(event), 10000) == WAIT_TIMEOUT) {
    fprintf(stderr, "StopWaitPopup did not return\n");
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  return 0;
}

// The stop may come while the pop-up is a visible child of a window of this thread: the pop-up's
// thread then talks to this one as it destroys its window, so the stop must not block it.
TEST(WaitPopup, StopReturnsWhileAChildPopUpOfThisThreadIsShown) {
  HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, 600, 400, nullptr, nullptr,
                                nullptr, nullptr);
  WaitPopupRecord* rec = StartWaitPopup(nullptr);
  ASSERT_NE(rec->thread, nullptr);
  HWND first = rec->window;
  MoveWaitPopup(rec, 20, 20, 300, 80);
  RecreateWaitPopup(rec, parent, true);
  ASSERT_TRUE(WaitFor([&] { return rec->window.load() && rec->window.load() != first; }));
  HWND child = rec->window;
  EXPECT_EQ(GetParent(child), parent);
  ShowWaitPopup(rec, L"Wait...");

  // A stop that hangs ends the test program here rather than at the harness's time-out.
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE watchdog = CreateThread(nullptr, 0, &EndProcessUnlessSignalled, done, 0, nullptr);
  StopWaitPopup(rec);
  SetEvent(done);
  WaitForSingleObject(watchdog, INFINITE);
  CloseHandle(watchdog);
  CloseHandle(done);
  EXPECT_FALSE(IsWindow(child));
  DestroyWindow(parent);
}

}  // namespace
