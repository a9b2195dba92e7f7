// The real recorder driven as a user drives it, with SendInput under the virtual display: the
// window dragged by its background, the right click on the OUT slider opening one menu at the
// slider, and the right click on a mode button stepping both tracks on.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/controls/tests/ScreenCapture.h"
#include "app/main/tests/RecorderProcess.h"
#include "app/res/resource.h"
#include "tests/support/TestFiles.h"

namespace {

void SendMouse(DWORD flags, POINT at = {-1, -1}) {
  INPUT input = {};
  input.type = INPUT_MOUSE;
  input.mi.dwFlags = flags;
  if (at.x >= 0) {
    input.mi.dwFlags |= MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    input.mi.dx = Normalised(at.x, GetSystemMetrics(SM_CXSCREEN));
    input.mi.dy = Normalised(at.y, GetSystemMetrics(SM_CYSCREEN));
  }
  SendInput(1, &input, sizeof input);
}

bool MoveTo(POINT at) {
  SendMouse(0, at);
  return WaitUntil(
      [&] {
        POINT now;
        return GetCursorPos(&now) && now.x == at.x && now.y == at.y;
      },
      3000);
}

RECT WindowRect(HWND window) {
  RECT r = {};
  GetWindowRect(window, &r);
  return r;
}

// A point of the dialog's own background (no control under it), in screen coordinates.
bool BackgroundPoint(HWND dialog, POINT* out) {
  for (POINT client : {POINT{150, 12}, POINT{258, 16}, POINT{420, 8}, POINT{200, 100}}) {
    if (ChildWindowFromPointEx(dialog, client, CWP_SKIPINVISIBLE | CWP_SKIPTRANSPARENT) != dialog) continue;
    ClientToScreen(dialog, &client);
    *out = client;
    return true;
  }
  return false;
}

class RecorderPaint : public ::testing::Test {
 protected:
  HWND StartRecorder(const std::wstring& arguments = L"") {
    if (!recorder_.Start(arguments)) return nullptr;
    HWND dialog = recorder_.WaitForWindow(L"Recorder");
    if (!dialog || !WaitUntil([&] { return IsWindowVisible(dialog) && IsWindowEnabled(dialog); }, 30000))
      return nullptr;
    // Placed and painted.
    Sleep(500);
    return dialog;
  }
  void TearDown() override {
    SendMouse(MOUSEEVENTF_LEFTUP);
    SendMouse(MOUSEEVENTF_RIGHTUP);
    recorder_.Kill();
  }
  CRecorderProcess recorder_;
};

TEST_F(RecorderPaint, DraggingTheBackgroundMovesTheWindowExactlyAsFarAsThePointer) {
  HWND dialog = StartRecorder();
  ASSERT_NE(dialog, nullptr);
  POINT start;
  ASSERT_TRUE(BackgroundPoint(dialog, &start));
  const RECT before = WindowRect(dialog);

  // Moving without a press, and with the right button held, moves nothing.
  ASSERT_TRUE(MoveTo(start));
  ASSERT_TRUE(MoveTo({start.x + 40, start.y + 25}));
  ASSERT_TRUE(MoveTo(start));
  SendMouse(MOUSEEVENTF_RIGHTDOWN);
  ASSERT_TRUE(MoveTo({start.x + 30, start.y + 10}));
  ASSERT_TRUE(MoveTo({start.x + 40, start.y + 25}));
  SendMouse(MOUSEEVENTF_RIGHTUP);
  Sleep(500);
  RECT now = WindowRect(dialog);
  EXPECT_EQ(now.left, before.left);
  EXPECT_EQ(now.top, before.top);
  // That right click on the background opened no menu.
  EXPECT_TRUE(VisibleMenus(recorder_.Id()).empty());

  ASSERT_TRUE(MoveTo(start));
  SendMouse(MOUSEEVENTF_LEFTDOWN);
  // Each step is followed before the next. On a busy machine one injected step was once never
  // followed; the window goes where the pointer is, so the step's position is given again (the
  // drag is judged by where the window ends, not by each single move).
  for (int step = 1; step <= 4; ++step) {
    const POINT at = {start.x + 10 * step, start.y + 25 * step / 4};
    bool followed = false;
    for (int attempt = 0; attempt < 5 && !followed; ++attempt) {
      SendMouse(0, at);
      followed = WaitUntil([&] { return WindowRect(dialog).left == before.left + 10 * step; }, 1000);
    }
    ASSERT_TRUE(followed) << step;
  }
  SendMouse(MOUSEEVENTF_LEFTUP);
  Sleep(300);
  now = WindowRect(dialog);
  EXPECT_EQ(now.left, before.left + 40);
  EXPECT_EQ(now.top, before.top + 25);
  EXPECT_EQ(now.right - now.left, before.right - before.left);
  EXPECT_EQ(now.bottom - now.top, before.bottom - before.top);

  // After the release the pointer moves alone again.
  ASSERT_TRUE(MoveTo({start.x + 100, start.y + 60}));
  Sleep(300);
  EXPECT_EQ(WindowRect(dialog).left, now.left);
  EXPECT_EQ(WindowRect(dialog).top, now.top);
}

TEST_F(RecorderPaint, ARightClickOnTheOutSliderOpensOneMenuAtTheSlider) {
  HWND dialog = StartRecorder();
  ASSERT_NE(dialog, nullptr);
  const RECT slider = WindowRect(GetDlgItem(dialog, IDC_OUTSLIDER));
  const POINT at = {(slider.left + slider.right) / 2, (slider.top + slider.bottom) / 2};
  ASSERT_TRUE(MoveTo(at));
  SendMouse(MOUSEEVENTF_RIGHTDOWN);
  SendMouse(MOUSEEVENTF_RIGHTUP);
  ASSERT_TRUE(WaitUntil([&] { return !VisibleMenus(recorder_.Id()).empty(); }, 10000))
      << "no menu for the output devices";
  Sleep(700);
  std::vector<HWND> menus = VisibleMenus(recorder_.Id());
  ASSERT_EQ(menus.size(), 1u);
  const RECT menu = WindowRect(menus[0]);
  EXPECT_NEAR(menu.left, at.x, 3);
  EXPECT_NEAR(menu.top, at.y, 3);

  // Dismissed, it stays gone: no second menu follows.
  PostMessageW(menus[0], WM_KEYDOWN, VK_ESCAPE, 0);
  ASSERT_TRUE(WaitUntil([&] { return VisibleMenus(recorder_.Id()).empty(); }, 5000));
  Sleep(1500);
  EXPECT_TRUE(VisibleMenus(recorder_.Id()).empty());
  EXPECT_TRUE(IsWindowEnabled(dialog));
}

// A 16-bit mono WAV of three 3-second chunks, with a chunk table and chunk texts beside it.
std::wstring WriteThreeChunkLesson(const std::wstring& folder) {
  const uint32_t frames = 44100 * 9;
  std::string wav;
  auto u32 = [&](std::string& s, uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](std::string& s, uint16_t v) { s.append(reinterpret_cast<const char*>(&v), 2); };
  wav += "RIFF";
  u32(wav, 36 + frames * 2);
  wav += "WAVEfmt ";
  u32(wav, 16);
  u16(wav, 1);
  u16(wav, 1);
  u32(wav, 44100);
  u32(wav, 88200);
  u16(wav, 2);
  u16(wav, 16);
  wav += "data";
  u32(wav, frames * 2);
  for (uint32_t i = 0; i < frames; ++i) u16(wav, static_cast<uint16_t>((i % 100) * 300));
  std::string table;
  for (uint32_t c = 0; c < 3; ++c) {
    u32(table, c * 3000);
    u32(table, 3000);
  }
  const std::wstring lines = L"one\r\ntwo\r\nthree\r\n";
  std::string texts = "\xFF\xFE";
  texts.append(reinterpret_cast<const char*>(lines.data()), lines.size() * 2);
  const std::wstring path = folder + L"\\lesson.wav";
  WriteWholeFile(path, wav);
  WriteWholeFile(folder + L"\\lesson.cif", table);
  WriteWholeFile(folder + L"\\lesson.txt", texts);
  return path;
}

TEST_F(RecorderPaint, ARightClickOnSimultaneousPlaybackStepsBothTracksAndPlaysThem) {
  const std::wstring folder = MakeTempFolder(L"qmrecpaint");
  const std::wstring lesson = WriteThreeChunkLesson(folder);
  HWND dialog = StartRecorder(L"\"" + lesson + L"\"");
  ASSERT_NE(dialog, nullptr);
  HWND masterText = GetDlgItem(dialog, IDC_MASTERTEXT);
  ASSERT_TRUE(
      WaitUntil([&] { return ControlText(GetDlgItem(dialog, IDC_FILENAME)) == L"lesson.wav"; }, 30000));
  ASSERT_TRUE(WaitUntil([&] { return ControlText(masterText) == L"one"; }, 10000));

  const RECT button = WindowRect(GetDlgItem(dialog, IDC_VBUTPLAYPLAY));
  ASSERT_TRUE(MoveTo({(button.left + button.right) / 2, (button.top + button.bottom) / 2}));
  SendMouse(MOUSEEVENTF_RIGHTDOWN);
  SendMouse(MOUSEEVENTF_RIGHTUP);
  EXPECT_TRUE(WaitUntil([&] { return ControlText(masterText) == L"two"; }, 5000));

  // Playing: the position clock moves on, and no menu or stop interrupted it.
  RECT clock = {10, 195, 110, 220};
  MapWindowPoints(dialog, nullptr, reinterpret_cast<POINT*>(&clock), 2);
  const std::vector<uint32_t> first = CPixels::FromScreen(clock).px;
  Sleep(800);
  const std::vector<uint32_t> later = CPixels::FromScreen(clock).px;
  EXPECT_NE(first, later);
  EXPECT_TRUE(VisibleMenus(recorder_.Id()).empty());
  EXPECT_EQ(ControlText(masterText), L"two");
  recorder_.Kill();
  RemoveTree(folder);
}

}  // namespace
