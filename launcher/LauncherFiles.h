// The launcher's INI file on disk and the conversions of its paths to and from the OEM code page.
#pragma once

#include <windows.h>

#include <string>

// The common application-data folder, a backslash and the edition name; empty when the system
// does not give the common folder.
std::wstring LauncherEditionFolder();
// The edition folder, a backslash and "QuillmeridianPath.ini".
std::wstring LauncherIniPath();

// A path in the OEM code page, bounded by the conversion buffer (a double-byte code page takes
// up to two bytes a character). Characters the code page lacks become its default character.
std::string PathToOem(const wchar_t* path);
// OEM text into a path field of kLauncherPathChars units, always terminated.
void OemToPath(const std::string& oem, wchar_t* path);

// Reads both paths (each field kLauncherPathChars units) from `file`. True when the file was
// read whole, whatever it holds: a key that is missing or malformed leaves its path empty. False
// when it cannot be opened, cannot be read whole or is larger than a settings file can be; the
// paths are then left as they were.
bool ReadLauncherIni(const std::wstring& file, wchar_t* pathSave, wchar_t* pathOpen);
// Writes both paths over the whole file. False when it cannot be created or written.
bool WriteLauncherIni(const std::wstring& file, const wchar_t* pathSave, const wchar_t* pathOpen);
