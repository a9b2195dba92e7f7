// The launcher's decisions, free of windows and files: what its command line asks for, what the
// two station instances are started with, how its INI text is read and written, and how the
// folder picker's file field is made and read back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Folder paths are kept in 260-unit fields (259 and the terminator).
constexpr size_t kLauncherPathChars = 260;
constexpr size_t kLauncherPathMaxLength = kLauncherPathChars - 1;
// Anything longer is not a settings file of ours; it counts as not read.
constexpr uint64_t kLauncherIniMaxBytes = 64 * 1024;

// The edition table; a missing entry gives "Unknown". The launcher looks up edition 0.
const wchar_t* LauncherEditionName(int id = 0);

// The text after the program's own name (and the blanks that follow it) of a full command line.
const wchar_t* ArgumentsOfCommandLine(const wchar_t* commandLine);

// What the arguments ask for. Each switch is a case-sensitive search anywhere in the text.
struct LauncherRequest {
  bool setup = false;   // "setup": show the path dialog even when the INI file was read
  bool zubra = false;   // "/ZUBRA": the sibling product's station switches
  std::wstring quoted;  // the last double-quoted argument, quotes included; empty with fewer than two quotes
};
LauncherRequest ParseLauncherArguments(const wchar_t* arguments);

// The parameters of the first and of the second instance.
struct StationParameters {
  std::wstring first;
  std::wstring second;
};
StationParameters BuildStationParameters(const LauncherRequest& request);

// The main program beside the launcher: the launcher folder (with its trailing backslash), the
// edition name and ".exe".
std::wstring StationProgramPath(const std::wstring& launcherFolder);

// The values found in an INI text, still in the OEM code page.
struct LauncherIniValues {
  bool hasSave = false;
  bool hasOpen = false;
  std::string save;
  std::string open;
};
// `content` is the whole file as read. Its last byte stands for the line end the file is expected
// to end with and is dropped, and the text ends at its first zero byte. The section starts where
// "Main" is first found with a "[" at or after the position before it, and ends at the next "["
// that begins a line. A key is its first occurrence at the start of a line, and counts only when
// "=" follows it directly and its value ends with CR LF within 259 bytes.
LauncherIniValues ParseLauncherIni(std::string_view content);
// The file the launcher writes: the section line, both keys and an empty line, each ended by
// CR LF, from values already in the OEM code page.
std::string BuildLauncherIni(std::string_view saveOem, std::string_view openOem);

// The folder picker's file field: the path followed by "\Audio Files", or the bare path when
// the two do not fit a path field together.
std::wstring PickerStartName(std::wstring_view path);
// The folder of a name the picker returned: the part before its last backslash. False (and
// `path` untouched) when the name holds no backslash.
bool FolderOfPickedName(std::wstring_view name, std::wstring* path);
