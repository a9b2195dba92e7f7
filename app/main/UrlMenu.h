// The web-address menu of the open button: which entries the URL list text offers, which of its
// address lines may be handed to the shell and how, and the menu itself. The list text is UTF-16,
// a name line and an address line per entry, each ended by CR LF.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

constexpr UINT kUrlMenuBlankPage = 1;
constexpr UINT kUrlMenuFirstEntry = 2;  // entry k has the id k + 2
constexpr UINT kUrlMenuManage = 65535;
// Ids 2 .. 65534: entries beyond these are not offered.
constexpr size_t kMaxUrlMenuEntries = kUrlMenuManage - kUrlMenuFirstEntry;

// The page "Blank page" opens.
extern const wchar_t kBlankPageAddress[];

struct UrlMenuEntry {
  std::wstring name;
  std::wstring address;       // up to its CR; empty when the entry has no address line
  bool addressEnded = false;  // the address line ends in a CR (one that does not opens nothing)
};

// The entries whose name line ends in a CR, in list order; the text ends at `length` code units
// or at a NUL, whichever comes first.
std::vector<UrlMenuEntry> ParseUrlMenuEntries(const wchar_t* text, size_t length);

// What the shell is given for an address line: "http://" and "https://" (any case) as they stand,
// "www." behind "http://"; anything else (a program, a file, another scheme) gives the empty text.
std::wstring WebAddressToOpen(const std::wstring& line);

// The address to open for a menu result; empty for an id that opens nothing.
std::wstring UrlMenuAddress(const std::vector<UrlMenuEntry>& entries, UINT id);

// "Blank page", a separator and the entries when there are any, a separator, "Manage URL List...".
HMENU BuildUrlMenu(const std::vector<UrlMenuEntry>& entries);
