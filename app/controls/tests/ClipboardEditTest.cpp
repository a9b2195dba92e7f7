// The chunk-text boxes with the program's own clipboard: copy and paste in and out of station
// mode, the keys and the menu that the edit control would handle past WM_COPY and WM_PASTE, and
// a set text held to the box's limit.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "app/controls/COwnClipboardEdit.h"
#include "tests/support/SystemClipboard.h"

namespace {

class ClipboardEdit : public ::testing::Test {
 protected:
  void SetUp() override {
    parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, 400, 100, nullptr, nullptr,
                             nullptr, nullptr);
    for (int i = 0; i < 2; ++i) {
      HWND h =
          CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | ES_MULTILINE, 0, i * 40, 400, 30, parent,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(100 + i)), nullptr, nullptr);
      ASSERT_TRUE(edits[i].SubclassWindow(h));
      edits[i].m_clipboard = storage.Buffer();
    }
  }
  void TearDown() override { DestroyWindow(parent); }

  std::wstring Text(int i) {
    wchar_t buf[256] = {};
    edits[i].GetWindowText(buf, 256);
    return buf;
  }

  // Sends a key with the given modifiers held in this thread's key state.
  void Key(int i, WPARAM vk, bool shift, bool control) {
    BYTE state[256] = {};
    GetKeyboardState(state);
    state[VK_SHIFT] = shift ? 0x80 : 0;
    state[VK_CONTROL] = control ? 0x80 : 0;
    SetKeyboardState(state);
    edits[i].SendMessage(WM_KEYDOWN, vk, 1);
    state[VK_SHIFT] = state[VK_CONTROL] = 0;
    SetKeyboardState(state);
  }

  HWND parent = nullptr;
  ClipboardStorage storage;
  COwnClipboardEdit edits[2];  // 0: Master, 1: Student
};

// The edit itself takes a set text of any length; the box holds it to its limit, as it does
// typing and pasting, and never keeps half of a surrogate pair.
TEST_F(ClipboardEdit, ASetTextIsHeldToTheLimit) {
  edits[0].LimitText(5);
  const struct {
    const wchar_t* set;
    const wchar_t* kept;
  } rows[] = {
      {L"abc", L"abc"},
      {L"abcde", L"abcde"},
      {L"abcdefgh", L"abcde"},
      {L"abc\U0001F600", L"abc\U0001F600"},  // the pair ends at the limit
      {L"abcd\U0001F600", L"abcd"},          // a pair across the limit goes whole
      {L"", L""},
  };
  for (const auto& row : rows) {
    edits[0].SetWindowText(row.set);
    EXPECT_EQ(Text(0), row.kept);
  }
  // A box without a limit of ours keeps the edit's own.
  const std::wstring longer(3000, L'w');
  edits[1].SetWindowText(longer.c_str());
  EXPECT_EQ(edits[1].GetWindowTextLength(), 3000);
}

TEST_F(ClipboardEdit, CopyStoresTheWholeSelectionInBothClipboards) {
  edits[0].SetWindowText(L"say bonjour twice");
  edits[0].SetSel(4, 11);
  edits[0].SendMessage(WM_COPY);
  EXPECT_EQ(storage.Buffer().Text(), L"bonjour");  // every code unit, not half of them
  EXPECT_EQ(storage.size, 14u);
  EXPECT_EQ(SystemClipboardText(), L"bonjour");
}

TEST_F(ClipboardEdit, StationModePastesTheOwnTextWhateverTheSystemClipboardHolds) {
  struct Case {
    UINT ownPaste;
    const wchar_t* pasted;
  } cases[] = {{1, L"[abc]"}, {0, L"[other]"}};
  for (const Case& c : cases) {
    edits[0].SetWindowText(L"abc");
    edits[0].SetSel(0, -1);
    edits[0].SendMessage(WM_COPY);
    ASSERT_TRUE(PutOnSystemClipboard(L"other"));  // another program copies meanwhile
    edits[1].m_ownPaste = c.ownPaste;
    edits[1].SetWindowText(L"[XY]");
    edits[1].SetSel(1, 3);
    edits[1].SendMessage(WM_PASTE);
    EXPECT_EQ(Text(1), c.pasted) << "own paste " << c.ownPaste;
  }
}

// Empty: never filled, or emptied by a copy with nothing selected.
TEST_F(ClipboardEdit, EmptyOwnClipboardPastesNothing) {
  for (bool copiedNothing : {false, true}) {
    if (copiedNothing) {
      edits[0].SetWindowText(L"abc");
      edits[0].SetSel(0, -1);
      edits[0].SendMessage(WM_COPY);
      edits[0].SetSel(1, 1);
      edits[0].SendMessage(WM_COPY);
      EXPECT_EQ(storage.size, 0u);
    }
    edits[1].m_ownPaste = 1;
    ASSERT_TRUE(PutOnSystemClipboard(L"other"));
    edits[1].SetWindowText(L"keep");
    edits[1].SetSel(0, -1);
    edits[1].SendMessage(WM_PASTE);
    EXPECT_EQ(Text(1), L"keep") << "copied nothing: " << copiedNothing;
  }
}

TEST_F(ClipboardEdit, ReadOnlyBoxTakesNoOwnPaste) {
  edits[0].SetWindowText(L"abc");
  edits[0].SetSel(0, -1);
  edits[0].SendMessage(WM_COPY);
  edits[1].m_ownPaste = 1;
  edits[1].SetWindowText(L"keep");
  edits[1].SendMessage(EM_SETREADONLY, TRUE);
  edits[1].SetSel(0, -1);
  edits[1].SendMessage(WM_PASTE);
  EXPECT_EQ(Text(1), L"keep");
}

TEST_F(ClipboardEdit, CutStoresAndRemovesTheSelection) {
  edits[0].SetWindowText(L"one two");
  edits[0].SetSel(3, 7);
  edits[0].SendMessage(WM_CUT);
  EXPECT_EQ(Text(0), L"one");
  EXPECT_EQ(storage.Buffer().Text(), L" two");
  EXPECT_EQ(SystemClipboardText(), L" two");
}

TEST_F(ClipboardEdit, InsertAndDeleteKeysGoThroughTheOwnClipboard) {
  // Ctrl+Insert copies, Shift+Delete cuts, Shift+Insert pastes; the edit would do all three
  // without sending WM_COPY, WM_CUT or WM_PASTE.
  edits[1].m_ownPaste = 1;
  edits[0].SetWindowText(L"alpha beta");
  edits[0].SetSel(0, 5);
  Key(0, VK_INSERT, false, true);
  EXPECT_EQ(storage.Buffer().Text(), L"alpha");

  ASSERT_TRUE(PutOnSystemClipboard(L"other"));
  edits[1].SetWindowText(L"");
  Key(1, VK_INSERT, true, false);
  EXPECT_EQ(Text(1), L"alpha");

  edits[0].SetSel(5, 10);
  Key(0, VK_DELETE, true, false);
  EXPECT_EQ(Text(0), L"alpha");
  EXPECT_EQ(storage.Buffer().Text(), L" beta");
}

// The other ways a user pastes: Ctrl+V reaches the edit as a character, the edit's menu as a
// command of its own; in station mode both take the own clipboard.
TEST_F(ClipboardEdit, ControlVAndTheMenuPasteTheOwnTextInStationMode) {
  struct Case {
    const char* how;
    UINT ownPaste;
    const wchar_t* pasted;
  } cases[] = {{"ctrl+v", 1, L"abc"}, {"menu", 1, L"abc"}, {"menu", 0, L"other"}};
  for (const Case& c : cases) {
    edits[0].SetWindowText(L"abc");
    edits[0].SetSel(0, -1);
    edits[0].SendMessage(WM_COPY);
    ASSERT_TRUE(PutOnSystemClipboard(L"other"));
    edits[1].m_ownPaste = c.ownPaste;
    edits[1].SetWindowText(L"");
    if (std::string(c.how) == "ctrl+v") {
      edits[1].SendMessage(WM_CHAR, 0x16, 1);
    } else {
      // The menu's own loop takes the mnemonic of "Paste" from the queue.
      edits[1].PostMessage(WM_CHAR, 'p', 1);
      edits[1].SendMessage(WM_CONTEXTMENU, reinterpret_cast<WPARAM>(edits[1].m_hWnd), -1);
    }
    EXPECT_EQ(Text(1), c.pasted) << c.how << ", own paste " << c.ownPaste;
  }
}

TEST_F(ClipboardEdit, SetClipboardBufferGrowsAndShrinks) {
  ClipboardBuffer b = storage.Buffer();
  ASSERT_TRUE(SetClipboardBuffer(b, L"long text", 18));
  void* block = storage.data;
  ASSERT_TRUE(SetClipboardBuffer(b, L"ab", 4));
  EXPECT_EQ(storage.data, block) << "a shorter text reuses the block";
  EXPECT_EQ(b.Text(), L"ab");
  ASSERT_TRUE(SetClipboardBuffer(b, nullptr, 0));
  EXPECT_EQ(b.Text(), L"");
}

}  // namespace
