// Pointerhub.dll: keeps each station's subscription (window, thread, process, area) and reports
// every call to the debugger output.
#include "standins/pointerhub/Pointerhub.h"

#include <cwchar>

namespace {

struct Subscription {
  bool active = false;
  DWORD station = 0;
  HWND window = nullptr;
  DWORD thread = 0;
  DWORD process = 0;
  RECT area = {};
};

// A classroom computer runs two stations; a few more slots cost nothing.
constexpr int kSlots = 8;
Subscription g_subscriptions[kSlots];
SRWLOCK g_lock = SRWLOCK_INIT;

void Report(const wchar_t* format, ...) {
  wchar_t text[512];
  int n = swprintf(text, 512, L"Pointerhub: ");
  va_list args;
  va_start(args, format);
  vswprintf(text + n, 512 - n, format, args);
  va_end(args);
  OutputDebugStringW(text);
}

Subscription* Find(DWORD station) {
  for (Subscription& s : g_subscriptions)
    if (s.active && s.station == station) return &s;
  return nullptr;
}

}  // namespace

extern "C" {

BOOL WINAPI SelectRawInputDevices(HWND dialog, DWORD uiThreadId, DWORD processId, DWORD stationNumber,
                                  RECT stationArea) {
  AcquireSRWLockExclusive(&g_lock);
  Subscription* slot = Find(stationNumber);
  const bool replaces = slot != nullptr;
  if (!slot)
    for (Subscription& s : g_subscriptions)
      if (!s.active) {
        slot = &s;
        break;
      }
  if (slot) *slot = {true, stationNumber, dialog, uiThreadId, processId, stationArea};
  ReleaseSRWLockExclusive(&g_lock);
  if (!slot) {
    Report(L"SelectRawInputDevices station %lu refused: %d stations already subscribed", stationNumber,
           kSlots);
    return FALSE;
  }
  Report(L"SelectRawInputDevices station %lu window %p thread %lu process %lu area (%ld,%ld)-(%ld,%ld)%ls",
         stationNumber, static_cast<void*>(dialog), uiThreadId, processId, stationArea.left, stationArea.top,
         stationArea.right, stationArea.bottom, replaces ? L" replaces the earlier subscription" : L"");
  return TRUE;
}

BOOL WINAPI UnsubscribeRawInputDevices(DWORD stationNumber) {
  AcquireSRWLockExclusive(&g_lock);
  Subscription dropped;
  if (Subscription* s = Find(stationNumber)) {
    dropped = *s;
    s->active = false;
  }
  ReleaseSRWLockExclusive(&g_lock);
  if (!dropped.active) {
    Report(L"UnsubscribeRawInputDevices station %lu: not subscribed", stationNumber);
    return FALSE;
  }
  Report(L"UnsubscribeRawInputDevices station %lu: dropped window %p area (%ld,%ld)-(%ld,%ld)", stationNumber,
         static_cast<void*>(dropped.window), dropped.area.left, dropped.area.top, dropped.area.right,
         dropped.area.bottom);
  return TRUE;
}

BOOL WINAPI DeinitializeRawInput() {
  wchar_t stations[128] = L"";
  int count = 0;
  AcquireSRWLockExclusive(&g_lock);
  for (Subscription& s : g_subscriptions)
    if (s.active) {
      size_t used = wcslen(stations);
      swprintf(stations + used, 128 - used, L" %lu", s.station);
      s.active = false;
      ++count;
    }
  ReleaseSRWLockExclusive(&g_lock);
  Report(L"DeinitializeRawInput: dropped %d subscriptions%ls%ls", count, count ? L", stations" : L"",
         stations);
  return TRUE;
}

}  // extern "C"
