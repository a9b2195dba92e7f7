// The URL-list dialog driven for real: the file is read, the dialog edited through its own
// controls from a timer inside its modal loop, and the file written back.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "app/controls/UrlListDialog.h"
#include "app/res/UrlListIds.h"
#include "tests/support/TestFiles.h"

namespace {

std::function<void(HWND)> g_script;
bool g_ran = false;

// The dialog of this thread (tests in other processes may show theirs at the same time).
BOOL CALLBACK MatchDialog(HWND w, LPARAM out) {
  wchar_t title[64] = {};
  GetWindowTextW(w, title, 64);
  if (wcscmp(title, L"Manage URL List Dialog") != 0) return TRUE;
  *reinterpret_cast<HWND*>(out) = w;
  return FALSE;
}

HWND FindOwnDialog() {
  HWND found = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), &MatchDialog, reinterpret_cast<LPARAM>(&found));
  return found;
}

void CALLBACK RunScript(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND dialog = FindOwnDialog();
  if (!dialog) return;
  KillTimer(nullptr, timer);
  g_ran = true;
  g_script(dialog);
}

std::wstring TempPath(const wchar_t* name) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  return std::wstring(dir) + name;
}

std::string Utf16File(const std::wstring& text, bool nul) {
  std::string out = "\xFF\xFE";
  out.append(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  if (nul) out.append(2, '\0');
  return out;
}

std::vector<std::wstring> ListLines(HWND dialog) {
  HWND list = GetDlgItem(dialog, IDC_URL_LIST);
  std::vector<std::wstring> lines;
  int n = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
  for (int i = 0; i < n; ++i) {
    std::wstring s(static_cast<size_t>(SendMessageW(list, LB_GETTEXTLEN, i, 0)), L'\0');
    SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(s.data()));
    lines.push_back(s);
  }
  return lines;
}

int Selection(HWND dialog) {
  return static_cast<int>(SendDlgItemMessageW(dialog, IDC_URL_LIST, LB_GETCURSEL, 0, 0));
}

void Select(HWND dialog, int index) {
  SendDlgItemMessageW(dialog, IDC_URL_LIST, LB_SETCURSEL, index, 0);
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_URL_LIST, LBN_SELCHANGE),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_URL_LIST)));
}

void Click(HWND dialog, int id) { SendDlgItemMessageW(dialog, id, BM_CLICK, 0, 0); }

std::wstring ItemText(HWND dialog, int id) {
  wchar_t buf[512] = {};
  GetDlgItemTextW(dialog, id, buf, 512);
  return buf;
}

class UrlListDialog : public ::testing::Test {
 protected:
  void Run(const std::wstring& initial, std::function<void(HWND)> script) {
    path = TempPath(L"qm_urllist_test.txt");
    std::string bytes = Utf16File(initial, false);
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD n;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    CloseHandle(f);
    CUrlListFile store(path.c_str());
    g_script = std::move(script);
    g_ran = false;
    SetTimer(nullptr, 0, 30, &RunScript);
    EXPECT_EQ(RunUrlListDialog(nullptr, store), 0);
    EXPECT_TRUE(g_ran);
  }
  void TearDown() override { DeleteFileW(path.c_str()); }
  std::wstring path;
};

TEST_F(UrlListDialog, ShowsEntriesAndKeepsNamesWithTheSeparatorIntact) {
  const std::wstring text = L"News\r\nhttp://news.example/\r\nRadio - Live\r\nhttp://radio.example/live\r\n";
  Run(text, [](HWND d) {
    EXPECT_EQ(ListLines(d), (std::vector<std::wstring>{L"News - http://news.example/",
                                                       L"Radio - Live - http://radio.example/live"}));
    Select(d, 1);
    EXPECT_EQ(ItemText(d, IDC_URL_NAME), L"Radio - Live");
    EXPECT_EQ(ItemText(d, IDC_URL_ADDRESS), L"http://radio.example/live");
    PostMessageW(d, WM_CLOSE, 0, 0);
  });
  EXPECT_EQ(ReadFileBytes(path), Utf16File(text, true));
}

TEST_F(UrlListDialog, EditingButtonsAddUpdateMoveAndRemove) {
  Run(L"Alpha\r\nhttp://a/\r\nBeta\r\nhttp://b/\r\nGamma\r\nhttp://c/\r\n", [](HWND d) {
    ASSERT_EQ(ListLines(d).size(), 3u);
    // The new line "Alpha - " begins an existing one: that one is only selected.
    SetDlgItemTextW(d, IDC_URL_NAME, L"Alpha");
    SetDlgItemTextW(d, IDC_URL_ADDRESS, L"");
    Click(d, IDC_URL_ADD);
    EXPECT_EQ(ListLines(d).size(), 3u);
    EXPECT_EQ(Selection(d), 0);

    SetDlgItemTextW(d, IDC_URL_NAME, L"Delta");
    SetDlgItemTextW(d, IDC_URL_ADDRESS, L"http://d/");
    Click(d, IDC_URL_ADD);
    EXPECT_EQ(ListLines(d).back(), L"Delta - http://d/");
    EXPECT_EQ(Selection(d), 3);

    Click(d, IDC_URL_DOWN);  // already last
    EXPECT_EQ(Selection(d), 3);
    Click(d, IDC_URL_UP);
    EXPECT_EQ(ListLines(d)[2], L"Delta - http://d/");
    EXPECT_EQ(Selection(d), 2);

    Select(d, 0);
    Click(d, IDC_URL_UP);  // already first
    EXPECT_EQ(ListLines(d)[0], L"Alpha - http://a/");
    SetDlgItemTextW(d, IDC_URL_NAME, L"Alpha2");
    Click(d, IDC_URL_UPDATE);
    EXPECT_EQ(ListLines(d)[0], L"Alpha2 - http://a/");
    EXPECT_EQ(Selection(d), 0);

    Select(d, 1);
    Click(d, IDC_URL_REMOVE);
    EXPECT_EQ(ListLines(d),
              (std::vector<std::wstring>{L"Alpha2 - http://a/", L"Delta - http://d/", L"Gamma - http://c/"}));
    EXPECT_EQ(Selection(d), -1);
    Click(d, IDC_URL_UPDATE);  // no selection: nothing happens
    EXPECT_EQ(ListLines(d).size(), 3u);
    PostMessageW(d, WM_CLOSE, 0, 0);
  });
  EXPECT_EQ(ReadFileBytes(path),
            Utf16File(L"Alpha2\r\nhttp://a/\r\nDelta\r\nhttp://d/\r\nGamma\r\nhttp://c/\r\n", true));
}

TEST_F(UrlListDialog, ClearedListLeavesOnlyTheMarkAndANul) {
  Run(L"News\r\nhttp://n/\r\n", [](HWND d) {
    Click(d, IDC_URL_CLEAR);
    EXPECT_TRUE(ListLines(d).empty());
    PostMessageW(d, WM_CLOSE, 0, 0);
  });
  EXPECT_EQ(ReadFileBytes(path), std::string("\xFF\xFE\0\0", 4));
}

// The dialog has no Cancel: Escape neither closes it nor throws the edits away.
TEST_F(UrlListDialog, EscapeLeavesTheDialogOpen) {
  Run(L"News\r\nhttp://n/\r\n", [](HWND d) {
    Click(d, IDC_URL_CLEAR);
    SetDlgItemTextW(d, IDC_URL_NAME, L"Radio");
    SetDlgItemTextW(d, IDC_URL_ADDRESS, L"http://r/");
    // Through the modal loop as the keyboard sends it; what follows still reaches the dialog.
    PostMessageW(GetDlgItem(d, IDC_URL_LIST), WM_KEYDOWN, VK_ESCAPE, 1);
    PostMessageW(d, WM_COMMAND, MAKEWPARAM(IDC_URL_ADD, BN_CLICKED), 0);
    PostMessageW(d, WM_CLOSE, 0, 0);
  });
  EXPECT_EQ(ReadFileBytes(path), Utf16File(L"Radio\r\nhttp://r/\r\n", true));
}

TEST_F(UrlListDialog, LastUrlWithoutLineEndKeepsItsText) {
  Run(L"News\r\nhttp://n/", [](HWND d) {
    EXPECT_EQ(ListLines(d), (std::vector<std::wstring>{L"News - http://n/"}));
    PostMessageW(d, WM_CLOSE, 0, 0);
  });
  EXPECT_EQ(ReadFileBytes(path), Utf16File(L"News\r\nhttp://n/\r\n", true));
}

TEST(UrlListInFields, TheDialogReplacesTheOwnersTextAndWritesTheFile) {
  const std::wstring initial = L"News\r\nhttp://n/\r\n";
  auto* text = static_cast<wchar_t*>(malloc((initial.size() + 1) * sizeof(wchar_t)));
  wcscpy(text, initial.c_str());
  uint32_t length = static_cast<uint32_t>(initial.size());
  std::wstring path = TempPath(L"qm_urllist_fields.txt");
  CUrlListInFields store(&text, &length, path.c_str());
  g_script = [](HWND d) {
    EXPECT_EQ(ListLines(d), (std::vector<std::wstring>{L"News - http://n/"}));
    SetDlgItemTextW(d, IDC_URL_NAME, L"Radio");
    SetDlgItemTextW(d, IDC_URL_ADDRESS, L"http://r/");
    Click(d, IDC_URL_ADD);
    PostMessageW(d, WM_CLOSE, 0, 0);
  };
  g_ran = false;
  SetTimer(nullptr, 0, 30, &RunScript);
  RunUrlListDialog(nullptr, store);
  ASSERT_TRUE(g_ran);
  const std::wstring edited = L"News\r\nhttp://n/\r\nRadio\r\nhttp://r/\r\n";
  EXPECT_EQ(length, edited.size() + 1);
  EXPECT_EQ(std::wstring(text), edited);
  EXPECT_EQ(ReadFileBytes(path), Utf16File(edited, true));
  free(text);
  DeleteFileW(path.c_str());
}

TEST(UrlListFile, MissingFileGivesAnEmptyList) {
  CUrlListFile store(L"C:\\no\\such\\folder\\URLList.txt");
  UrlListBlock b = store.TakeUrlList();
  EXPECT_EQ(b.text, nullptr);
  EXPECT_FALSE(WriteUrlListFile(L"C:\\no\\such\\folder\\URLList.txt", L"x", 1));
}

}  // namespace
