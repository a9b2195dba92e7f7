// The open button's web-address menu without a window: which entries a list text offers, which
// address lines reach the shell and in what form, and the menu's items and ids.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/main/UrlMenu.h"

namespace {

std::vector<UrlMenuEntry> Parse(const std::wstring& text) {
  return ParseUrlMenuEntries(text.c_str(), text.size());
}

TEST(UrlMenuEntries, NameLinesEndedByACarriageReturnAreOffered) {
  struct Case {
    std::wstring text;
    std::vector<std::wstring> names;
    std::vector<std::wstring> addresses;
    std::vector<bool> ended;
  } cases[] = {
      {L"", {}, {}, {}},
      {L"News\r\nhttps://news.example\r\nDocs\r\nwww.docs.example\r\n",
       {L"News", L"Docs"},
       {L"https://news.example", L"www.docs.example"},
       {true, true}},
      // The last address line lacks its line end: shown, never opened.
      {L"News\r\nhttps://news.example\r\nLast\r\nhttp://last.example",
       {L"News", L"Last"},
       {L"https://news.example", L"http://last.example"},
       {true, false}},
      // A name line without its CR is not taken; a name without an address line is.
      {L"A\r\nhttp://a\r\nB", {L"A"}, {L"http://a"}, {true}},
      {L"A\r\n", {L"A"}, {L""}, {false}},
      // The text ends at a NUL, as a list kept with its terminator does.
      {std::wstring(L"A\r\nhttp://a\r\n") + L'\0' + L"B\r\nhttp://b\r\n", {L"A"}, {L"http://a"}, {true}},
      // A bare CR ends a line too.
      {L"A\rhttp://a\rB\rhttp://b\r", {L"A", L"B"}, {L"http://a", L"http://b"}, {true, true}},
  };
  for (const Case& c : cases) {
    const std::vector<UrlMenuEntry> entries = Parse(c.text);
    ASSERT_EQ(entries.size(), c.names.size()) << std::string(c.text.begin(), c.text.end());
    for (size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(entries[i].name, c.names[i]);
      EXPECT_EQ(entries[i].address, c.addresses[i]);
      EXPECT_EQ(entries[i].addressEnded, c.ended[i]);
    }
  }
}

TEST(UrlMenuEntries, LongLinesAndManyEntriesStayWithinTheMenuIds) {
  const std::wstring longName(100000, L'n');
  std::vector<UrlMenuEntry> one = Parse(longName + L"\r\nhttps://x\r\n");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].name.size(), 100000u);

  std::wstring many;
  for (int i = 0; i < 70000; ++i) many += L"n\r\nhttp://u\r\n";
  EXPECT_EQ(Parse(many).size(), kMaxUrlMenuEntries);
  EXPECT_EQ(kUrlMenuFirstEntry + kMaxUrlMenuEntries - 1, kUrlMenuManage - 1);
}

TEST(UrlMenuAddresses, OnlyWebAddressesReachTheShell) {
  struct Case {
    const wchar_t* line;
    const wchar_t* opened;  // empty: refused
  } cases[] = {
      {L"https://news.example/a?b=c", L"https://news.example/a?b=c"},
      {L"HTTP://Upper.Example", L"HTTP://Upper.Example"},
      {L"hTtPs://mixed.example", L"hTtPs://mixed.example"},
      {L"www.docs.example", L"http://www.docs.example"},
      {L"WWW.Docs.Example", L"http://WWW.Docs.Example"},
      {L"C:\\Windows\\System32\\calc.exe", L""},
      {L"calc.exe", L""},
      {L"file:///C:/Windows/System32/calc.exe", L""},
      {L"\\\\server\\share\\run.bat", L""},
      {L"javascript:alert(1)", L""},
      {L" https://leading.blank", L""},
      {L"http:/one-slash", L""},
      {L"wwwx.example", L""},
      {L"", L""},
  };
  for (const Case& c : cases) EXPECT_EQ(WebAddressToOpen(c.line), c.opened) << c.line;
}

TEST(UrlMenuAddresses, MenuIdsPickTheirEntrysAddress) {
  const std::vector<UrlMenuEntry> entries =
      Parse(L"Web\r\nhttps://a.example\r\nWww\r\nwww.b.example\r\nTool\r\nC:\\tool.exe\r\nLast\r\nhttp://c");
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(UrlMenuAddress(entries, kUrlMenuBlankPage), kBlankPageAddress);
  EXPECT_EQ(UrlMenuAddress(entries, 2), L"https://a.example");
  EXPECT_EQ(UrlMenuAddress(entries, 3), L"http://www.b.example");
  EXPECT_EQ(UrlMenuAddress(entries, 4), L"");  // a program path
  EXPECT_EQ(UrlMenuAddress(entries, 5), L"");  // no line end
  EXPECT_EQ(UrlMenuAddress(entries, 6), L"");  // no such entry
  EXPECT_EQ(UrlMenuAddress(entries, 0), L"");
  EXPECT_EQ(UrlMenuAddress(entries, kUrlMenuManage), L"");
}

struct MenuLine {
  UINT id;
  std::wstring text;  // empty for a separator
  bool separator;
};

std::vector<MenuLine> Lines(HMENU menu) {
  std::vector<MenuLine> lines;
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    wchar_t text[256] = {};
    MENUITEMINFOW item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STRING;
    item.dwTypeData = text;
    item.cch = 256;
    GetMenuItemInfoW(menu, i, TRUE, &item);
    lines.push_back({item.wID, text, (item.fType & MFT_SEPARATOR) != 0});
  }
  return lines;
}

TEST(UrlMenu, BlankPageTheEntriesAndManage) {
  const std::vector<UrlMenuEntry> entries = Parse(L"First\r\nhttps://a\r\nSecond\r\nwww.b\r\n");
  HMENU menu = BuildUrlMenu(entries);
  ASSERT_NE(menu, nullptr);
  const std::vector<MenuLine> lines = Lines(menu);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0].id, 1u);
  EXPECT_EQ(lines[0].text, L"Blank page");
  EXPECT_TRUE(lines[1].separator);
  EXPECT_EQ(lines[2].id, 2u);
  EXPECT_EQ(lines[2].text, L"First");
  EXPECT_EQ(lines[3].id, 3u);
  EXPECT_EQ(lines[3].text, L"Second");
  EXPECT_TRUE(lines[4].separator);
  EXPECT_EQ(lines[5].id, 65535u);
  EXPECT_EQ(lines[5].text, L"Manage URL List...");
  DestroyMenu(menu);

  // Without entries there is one separator only.
  menu = BuildUrlMenu({});
  const std::vector<MenuLine> empty = Lines(menu);
  ASSERT_EQ(empty.size(), 3u);
  EXPECT_EQ(empty[0].id, 1u);
  EXPECT_TRUE(empty[1].separator);
  EXPECT_EQ(empty[2].id, 65535u);
  DestroyMenu(menu);
}

}  // namespace
