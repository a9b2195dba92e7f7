// Where the main window goes and which screen area a station owns, and the file a command line
// names: decisions without a window, so that they can be checked by table.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// The monitors EnumDisplayMonitors gave, the first two in enumeration order.
struct MonitorTable {
  uint32_t count = 0;
  RECT rects[2] = {};
};

// The window's top-left corner: centred on the screen, and in station mode (`stationMode`) on its
// station's half of a single monitor or on its monitor of two. A station without a place of its
// own (number 0, or not 1 or 2 on one monitor) keeps the centred position; no monitor at all
// counts as one.
POINT PlaceMainWindow(int screenWidth, int screenHeight, int skinWidth, int skinHeight, bool stationMode,
                      uint32_t stationNumber, const MonitorTable& monitors);

// The screen area handed to the raw-input library for station 1 or 2: the right or left half of
// a single monitor, else its monitor of two.
RECT StationArea(int screenWidth, int screenHeight, uint32_t stationNumber, const MonitorTable& monitors);

// The text between the last two double quotes of the command line, in `out` (size units). False
// when there is none to open: fewer than two quotes, an empty text, a bare station switch
// ("/_m", "/_p", "/_s"), or a text too long for `out` (never a cut path).
bool ExtractQuotedPath(const wchar_t* commandLine, wchar_t* out, size_t size);

// `pattern`'s folder (up to its last backslash) joined to `foundName`: the path of the first file
// a wildcard matched. False when it does not fit in `size` units.
bool JoinFoundName(const wchar_t* pattern, const wchar_t* foundName, wchar_t* out, size_t size);
