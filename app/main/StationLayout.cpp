#include "app/main/StationLayout.h"

#include <cwchar>

namespace {

// The monitor table's entry of a station: the second monitor serves station 1, the first
// station 2; null for any other number.
const RECT* StationMonitor(uint32_t stationNumber, const MonitorTable& monitors) {
  if (monitors.count < 2 || (stationNumber != 1 && stationNumber != 2)) return nullptr;
  return &monitors.rects[2 - stationNumber];
}

}  // namespace

POINT PlaceMainWindow(int screenWidth, int screenHeight, int skinWidth, int skinHeight, bool stationMode,
                      uint32_t stationNumber, const MonitorTable& monitors) {
  POINT p = {(screenWidth - skinWidth) / 2, (screenHeight - skinHeight) / 2};
  if (!stationMode) return p;
  if (monitors.count >= 2) {
    if (const RECT* r = StationMonitor(stationNumber, monitors)) {
      p.x = r->left + (r->right - r->left - skinWidth) / 2;
      p.y = r->top + (r->bottom - r->top - skinHeight) / 2;
    }
    return p;
  }
  const int half = screenWidth / 2;
  if (stationNumber == 1) p.x = half + (half - skinWidth) / 2;
  if (stationNumber == 2) p.x = (half - skinWidth) / 2;
  return p;
}

RECT StationArea(int screenWidth, int screenHeight, uint32_t stationNumber, const MonitorTable& monitors) {
  if (const RECT* r = StationMonitor(stationNumber, monitors)) return *r;
  const int half = screenWidth / 2;
  const int n = static_cast<int>(stationNumber);
  return RECT{(2 - n) * half, 0, (3 - n) * half, screenHeight};
}

bool ExtractQuotedPath(const wchar_t* commandLine, wchar_t* out, size_t size) {
  if (size) out[0] = 0;
  if (!commandLine || !size) return false;
  const wchar_t* last = wcsrchr(commandLine, L'"');
  if (!last) return false;
  const wchar_t* first = nullptr;
  for (const wchar_t* p = last; p > commandLine;) {
    if (*--p == L'"') {
      first = p;
      break;
    }
  }
  if (!first) return false;
  const size_t length = static_cast<size_t>(last - first - 1);
  if (length == 0 || length >= size) return false;
  wmemcpy(out, first + 1, length);
  out[length] = 0;
  if (wcscmp(out, L"/_m") == 0 || wcscmp(out, L"/_p") == 0 || wcscmp(out, L"/_s") == 0) {
    out[0] = 0;
    return false;
  }
  return true;
}

bool JoinFoundName(const wchar_t* pattern, const wchar_t* foundName, wchar_t* out, size_t size) {
  if (!size) return false;
  out[0] = 0;
  const wchar_t* slash = wcsrchr(pattern, L'\\');
  const size_t folder = slash ? static_cast<size_t>(slash - pattern + 1) : 0;
  const size_t name = wcslen(foundName);
  if (folder + name >= size) return false;
  wmemcpy(out, pattern, folder);
  wmemcpy(out + folder, foundName, name);
  out[folder + name] = 0;
  return true;
}
