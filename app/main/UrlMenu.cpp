#include "app/main/UrlMenu.h"

#include <cwctype>

const wchar_t kBlankPageAddress[] = L"about:blank";

namespace {

// One line up to its CR; false when the text ends first.
bool NextLine(const wchar_t*& p, const wchar_t* end, std::wstring* line) {
  const wchar_t* q = p;
  while (q < end && *q && *q != L'\r') ++q;
  line->assign(p, q);
  const bool ended = q < end && *q == L'\r';
  if (ended) {
    ++q;
    if (q < end && *q == L'\n') ++q;
  }
  p = q;
  return ended;
}

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
  size_t i = 0;
  for (; prefix[i]; ++i)
    if (i >= text.size() || std::towlower(text[i]) != std::towlower(prefix[i])) return false;
  return true;
}

void InsertItem(HMENU menu, UINT position, UINT id, const std::wstring* text) {
  MENUITEMINFOW item = {};
  item.cbSize = sizeof item;
  if (text) {
    item.fMask = MIIM_ID | MIIM_STRING | MIIM_FTYPE;
    item.fType = MFT_STRING;
    item.wID = id;
    item.dwTypeData = const_cast<wchar_t*>(text->c_str());
  } else {
    item.fMask = MIIM_FTYPE;
    item.fType = MFT_SEPARATOR;
  }
  InsertMenuItemW(menu, position, TRUE, &item);
}

}  // namespace

std::vector<UrlMenuEntry> ParseUrlMenuEntries(const wchar_t* text, size_t length) {
  std::vector<UrlMenuEntry> entries;
  if (!text) return entries;
  const wchar_t* p = text;
  const wchar_t* end = text + length;
  while (entries.size() < kMaxUrlMenuEntries) {
    UrlMenuEntry entry;
    if (!NextLine(p, end, &entry.name)) break;
    entry.addressEnded = NextLine(p, end, &entry.address);
    entries.push_back(std::move(entry));
    if (!entries.back().addressEnded) break;
  }
  return entries;
}

std::wstring WebAddressToOpen(const std::wstring& line) {
  if (StartsWithNoCase(line, L"http://") || StartsWithNoCase(line, L"https://")) return line;
  if (StartsWithNoCase(line, L"www.")) return L"http://" + line;
  return std::wstring();
}

std::wstring UrlMenuAddress(const std::vector<UrlMenuEntry>& entries, UINT id) {
  if (id == kUrlMenuBlankPage) return kBlankPageAddress;
  if (id < kUrlMenuFirstEntry || id >= kUrlMenuManage) return std::wstring();
  const size_t k = id - kUrlMenuFirstEntry;
  if (k >= entries.size() || !entries[k].addressEnded) return std::wstring();
  return WebAddressToOpen(entries[k].address);
}

HMENU BuildUrlMenu(const std::vector<UrlMenuEntry>& entries) {
  HMENU menu = CreatePopupMenu();
  if (!menu) return nullptr;
  MENUINFO info = {};
  info.cbSize = sizeof info;
  info.fMask = MIM_STYLE;
  info.dwStyle = 0;
  SetMenuInfo(menu, &info);
  const std::wstring blank = L"Blank page", manage = L"Manage URL List...";
  UINT position = 0;
  InsertItem(menu, position++, kUrlMenuBlankPage, &blank);
  for (size_t k = 0; k < entries.size(); ++k) {
    if (k == 0) InsertItem(menu, position++, 0, nullptr);
    InsertItem(menu, position++, kUrlMenuFirstEntry + static_cast<UINT>(k), &entries[k].name);
  }
  InsertItem(menu, position++, 0, nullptr);
  InsertItem(menu, position, kUrlMenuManage, &manage);
  return menu;
}
