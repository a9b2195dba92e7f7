// What the dialog starts outside itself (web pages, the volume mixer) and the choice made in its
// pop-up menus pass through these two pointers, so that a test sees what would be started and
// picks a menu item itself. The defaults are ShellExecuteW and TrackPopupMenu.
#pragma once

#include <windows.h>

// (owner, verb, file, parameters, folder, show command), as ShellExecuteW.
using PFN_ShellExecute = HINSTANCE (*)(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                                       LPCWSTR folder, INT show);
// (menu, flags, x, y, owner) -> the chosen id with TPM_RETURNCMD, 0 for none; as TrackPopupMenu.
using PFN_TrackPopupMenu = BOOL (*)(HMENU menu, UINT flags, int x, int y, HWND owner);

extern PFN_ShellExecute g_pfnShellExecute;
extern PFN_TrackPopupMenu g_pfnTrackPopupMenu;

HINSTANCE StartShellCommand(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR folder,
                            INT show);
UINT ChooseFromMenu(HMENU menu, UINT flags, int x, int y, HWND owner);
