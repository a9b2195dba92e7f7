#include "app/main/ShellSeams.h"

#include <shellapi.h>

namespace {
HINSTANCE RealShellExecute(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR folder,
                           INT show) {
  return ShellExecuteW(owner, verb, file, parameters, folder, show);
}
BOOL RealTrackPopupMenu(HMENU menu, UINT flags, int x, int y, HWND owner) {
  return TrackPopupMenu(menu, flags, x, y, 0, owner, nullptr);
}
}  // namespace

PFN_ShellExecute g_pfnShellExecute = RealShellExecute;
PFN_TrackPopupMenu g_pfnTrackPopupMenu = RealTrackPopupMenu;

HINSTANCE StartShellCommand(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR folder,
                            INT show) {
  return g_pfnShellExecute ? g_pfnShellExecute(owner, verb, file, parameters, folder, show) : nullptr;
}

UINT ChooseFromMenu(HMENU menu, UINT flags, int x, int y, HWND owner) {
  return g_pfnTrackPopupMenu ? static_cast<UINT>(g_pfnTrackPopupMenu(menu, flags, x, y, owner)) : 0;
}
