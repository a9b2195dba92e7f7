// Reading and writing the settings files of the edition folder: the JSON files (RecorderPaths.json
// and the per-station wave-device file) and URLList.txt.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

// The common application-data folder + "\" + the edition name, created when missing; no
// trailing backslash. Empty when the common folder cannot be found.
std::wstring GetEditionFolder();
// GetEditionFolder() + "\" + fileName (the folder is created first).
std::wstring GetEditionFilePath(const wchar_t* fileName);

// Documents nested deeper than this are refused: writing them back would recurse that deep.
constexpr size_t kMaxJsonDepth = 256;

// Parses a whole JSON file (narrow, text mode). Missing, unreadable, malformed or too deeply
// nested: null. Never throws.
nlohmann::json ReadJsonSettingsFile(const wchar_t* path);
// True when the file exists and holds well-formed JSON within kMaxJsonDepth; *text gets its
// content. Never throws.
bool ReadWellFormedJsonText(const wchar_t* path, std::string* text);

// The exact bytes a settings file holds for `document`: the document serialised with an indent
// of 4 under a field width of 4, then a line end; every line end CR LF. Bytes that are not
// UTF-8 are replaced rather than thrown about.
std::string FormatJsonSettings(const nlohmann::json& document);
// Writes FormatJsonSettings(document) to a temp file beside `path` and then replaces `path`
// with it, so that a reader (the other station) never sees half a file. Never throws.
bool WriteJsonSettingsFile(const wchar_t* path, const nlohmann::json& document);

// URLList.txt: at most this many bytes, UTF-16LE behind the mark FF FE.
constexpr uint32_t kMaxUrlListBytes = 1048576;
// Opens the list (creating an empty file when there is none; shared for reading and writing,
// since two stations start together). When it holds the mark and fits, *text is a malloc'd
// NUL-terminated copy of what follows the mark and *length its code units; otherwise both stay
// null and 0. Returns whether a list is held.
bool ReadUrlListFile(const wchar_t* path, wchar_t** text, uint32_t* length);
