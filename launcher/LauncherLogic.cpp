#include "launcher/LauncherLogic.h"

#include <algorithm>
#include <unordered_map>

const wchar_t* LauncherEditionName(int id) {
  static const std::unordered_map<int, const wchar_t*> editions = {
      {0, L"Quillmeridian"},
      {1, L"Brindlecote"},
      {2, L"Vessarine"},
  };
  auto it = editions.find(id);
  return it == editions.end() ? L"Unknown" : it->second;
}

const wchar_t* ArgumentsOfCommandLine(const wchar_t* commandLine) {
  if (!commandLine) return L"";
  const wchar_t* p = commandLine;
  // The program's name is quoted as a whole or ends at the first blank.
  if (*p == L'"') {
    ++p;
    while (*p && *p != L'"') ++p;
    if (*p == L'"') ++p;
  } else {
    while (*p && *p != L' ' && *p != L'\t') ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return p;
}

LauncherRequest ParseLauncherArguments(const wchar_t* arguments) {
  LauncherRequest request;
  const std::wstring_view text = arguments ? arguments : L"";
  request.setup = text.find(L"setup") != std::wstring_view::npos;
  request.zubra = text.find(L"/ZUBRA") != std::wstring_view::npos;
  const size_t last = text.rfind(L'"');
  if (last != std::wstring_view::npos && last > 0) {
    const size_t before = text.rfind(L'"', last - 1);
    if (before != std::wstring_view::npos) request.quoted = text.substr(before, last - before + 1);
  }
  return request;
}

StationParameters BuildStationParameters(const LauncherRequest& request) {
  StationParameters parameters;
  parameters.first = (request.zubra ? L"/_p " : L"/Pos:1 ") + request.quoted;
  parameters.second = (request.zubra ? L"/_s " : L"/Pos:2 ") + request.quoted;
  return parameters;
}

std::wstring StationProgramPath(const std::wstring& launcherFolder) {
  return launcherFolder + LauncherEditionName(0) + L".exe";
}

namespace {

constexpr std::string_view kSectionName = "Main";

// Where the section's text begins, or npos.
size_t FindMainSection(std::string_view text) {
  const size_t lastBracket = text.rfind('[');
  if (lastBracket == std::string_view::npos) return std::string_view::npos;
  for (size_t i = 1; i - 1 <= lastBracket && i < text.size(); ++i) {
    if (text.compare(i, kSectionName.size(), kSectionName) == 0) return i;
  }
  return std::string_view::npos;
}

// The next section header after `start`: a "[" that begins a line. A "[" inside a value (a
// folder named "Kurs[2]") is part of the value.
size_t FindSectionEnd(std::string_view text, size_t start) {
  for (size_t i = text.find('[', start); i != std::string_view::npos; i = text.find('[', i + 1)) {
    if (i > 0 && (text[i - 1] == '\n' || text[i - 1] == '\r')) return i;
  }
  return text.size();
}

// The first occurrence of the key that begins a line: a value such as "D:\PathOpen" names
// no key.
size_t FindKey(std::string_view section, std::string_view key) {
  for (size_t at = section.find(key); at != std::string_view::npos; at = section.find(key, at + 1)) {
    if (at > 0 && (section[at - 1] == '\n' || section[at - 1] == '\r')) return at;
  }
  return std::string_view::npos;
}

bool FindValue(std::string_view section, std::string_view key, std::string* value) {
  const size_t at = FindKey(section, key);
  if (at == std::string_view::npos) return false;
  const size_t equals = section.find('=', at);
  if (equals == std::string_view::npos || equals - at != key.size()) return false;
  const size_t begin = equals + 1;
  const size_t end = section.find("\r\n", begin);
  if (end == std::string_view::npos || end - begin > kLauncherPathMaxLength) return false;
  value->assign(section.substr(begin, end - begin));
  return true;
}

}  // namespace

LauncherIniValues ParseLauncherIni(std::string_view content) {
  LauncherIniValues values;
  std::string_view text = content.substr(0, content.empty() ? 0 : content.size() - 1);
  text = text.substr(0, text.find('\0'));
  const size_t start = FindMainSection(text);
  if (start == std::string_view::npos) return values;
  const std::string_view section = text.substr(start, FindSectionEnd(text, start) - start);
  values.hasSave = FindValue(section, "PathSave", &values.save);
  values.hasOpen = FindValue(section, "PathOpen", &values.open);
  return values;
}

std::string BuildLauncherIni(std::string_view saveOem, std::string_view openOem) {
  std::string text = "[Main]\r\nPathSave=";
  text.append(saveOem);
  text.append("\r\nPathOpen=");
  text.append(openOem);
  text.append("\r\n\r\n");
  return text;
}

std::wstring PickerStartName(std::wstring_view path) {
  constexpr std::wstring_view kSuffix = L"\\Audio Files";
  std::wstring name(path.substr(0, kLauncherPathMaxLength));
  if (name.size() + kSuffix.size() <= kLauncherPathMaxLength) name.append(kSuffix);
  return name;
}

bool FolderOfPickedName(std::wstring_view name, std::wstring* path) {
  const size_t slash = name.rfind(L'\\');
  if (slash == std::wstring_view::npos) return false;
  path->assign(name.substr(0, std::min(slash, kLauncherPathMaxLength)));
  return true;
}
