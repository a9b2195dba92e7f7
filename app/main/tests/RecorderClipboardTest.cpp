// The chunk-text boxes of the real recorder, driven from outside with the keyboard and the mouse:
// a station started as the launcher starts it pastes the text copied in its own boxes, whatever
// another program has put on the system clipboard since; a plain start pastes the system's.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/main/tests/RecorderProcess.h"
#include "app/res/resource.h"
#include "tests/support/SystemClipboard.h"
#include "tests/support/TestFiles.h"

namespace {

void Click(HWND control, bool right = false) {
  RECT r = {};
  GetWindowRect(control, &r);
  INPUT input[3] = {};
  input[0].type = INPUT_MOUSE;
  input[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  input[0].mi.dx = Normalised((r.left + r.right) / 2, GetSystemMetrics(SM_CXSCREEN));
  input[0].mi.dy = Normalised((r.top + r.bottom) / 2, GetSystemMetrics(SM_CYSCREEN));
  input[1] = input[2] = input[0];
  input[1].mi.dwFlags = right ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_LEFTDOWN;
  input[2].mi.dwFlags = right ? MOUSEEVENTF_RIGHTUP : MOUSEEVENTF_LEFTUP;
  SendInput(3, input, sizeof(INPUT));
}

// Presses the keys in order and lets them go in reverse order.
void Chord(std::vector<WORD> keys) {
  std::vector<INPUT> input;
  auto key = [&](WORD vk, bool up) {
    INPUT in = {};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.dwFlags = (up ? KEYEVENTF_KEYUP : 0) | (vk == VK_INSERT ? KEYEVENTF_EXTENDEDKEY : 0);
    input.push_back(in);
  };
  for (WORD vk : keys) key(vk, false);
  for (auto it = keys.rbegin(); it != keys.rend(); ++it) key(*it, true);
  SendInput(static_cast<UINT>(input.size()), input.data(), sizeof(INPUT));
}

HWND FocusOf(HWND dialog) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) ? info.hwndFocus : nullptr;
}

bool SetText(HWND edit, const wchar_t* text) {
  return SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                             nullptr) != 0;
}

TEST(RecorderClipboard, AStationPastesItsOwnCopyAndAPlainStartTheSystemClipboard) {
  struct Case {
    const wchar_t* arguments;
    const wchar_t* title;
    const wchar_t* pasted;
  } cases[] = {{L"/Pos:1 ", L"_1QuillmeridianUser", L"abc"}, {L"", L"Recorder", L"other"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "arguments \""
                                    << std::string(c.arguments, c.arguments + wcslen(c.arguments)) << "\"");
    // Killed at the end of the case: an unsaved chunk text would make the exit ask.
    CRecorderProcess recorder;
    ASSERT_TRUE(recorder.Start(c.arguments));
    HWND dialog = recorder.WaitForWindow(c.title);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(dialog) && IsWindowEnabled(dialog); }, 30000));
    HWND master = GetDlgItem(dialog, IDC_MASTERTEXT), student = GetDlgItem(dialog, IDC_STUDENTTEXT);
    ASSERT_TRUE(master && student);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(master) && IsWindowEnabled(student); }));
    SetForegroundWindow(dialog);

    // "abc" copied from the Master box with Ctrl+C.
    ASSERT_TRUE(SetText(master, L"abc"));
    Click(master);
    ASSERT_TRUE(WaitUntil([&] { return FocusOf(dialog) == master; })) << "the Master box took no focus";
    SendMessageTimeoutW(master, EM_SETSEL, 0, -1, SMTO_ABORTIFHUNG, 5000, nullptr);
    Chord({VK_CONTROL, 'C'});
    ASSERT_TRUE(WaitUntil([] { return SystemClipboardText() == L"abc"; })) << "the copy never happened";

    // Another program copies meanwhile; each way of pasting into the Student box then.
    ASSERT_TRUE(PutOnSystemClipboard(L"other"));
    Click(student);
    ASSERT_TRUE(WaitUntil([&] { return FocusOf(dialog) == student; })) << "the Student box took no focus";
    const struct {
      const char* how;
      std::vector<WORD> keys;
      bool menu;
    } ways[] = {{"ctrl+v", {VK_CONTROL, 'V'}, false},
                {"shift+insert", {VK_SHIFT, VK_INSERT}, false},
                {"the box's menu", {'P'}, true}};
    for (const auto& way : ways) {
      SCOPED_TRACE(way.how);
      ASSERT_TRUE(SetText(student, L""));
      if (way.menu) {
        Click(student, true);
        ASSERT_TRUE(WaitUntil([&] { return !VisibleMenus(recorder.Id()).empty(); })) << "no menu";
      }
      Chord(way.keys);
      ASSERT_TRUE(WaitUntil([&] { return !ControlText(student).empty(); })) << "nothing was pasted";
      EXPECT_EQ(ControlText(student), c.pasted);
      if (way.menu) {
        EXPECT_TRUE(WaitUntil([&] { return VisibleMenus(recorder.Id()).empty(); }));
      }
    }
    EXPECT_EQ(SystemClipboardText(), L"other") << "the system clipboard was changed";
  }
}

}  // namespace
