// Pointerhub.dll: the raw-input library a station's main dialog hands its screen area to. This
// build keeps what it is given per station and reports each call with OutputDebugStringW; it
// reads no raw input itself. The dialog loads it by name and fetches the exports by their plain
// names; every export is stdcall and returns TRUE when it did what was asked.
#pragma once

#include <windows.h>

#define POINTERHUB_DLL_NAME L"Pointerhub.dll"

// dialog: the station's main window; uiThreadId and processId: the thread and process that own
// it; stationNumber: 1 or 2 (any value is kept); stationArea: the station's part of the screen,
// in screen coordinates. A second call for the same station replaces what the first gave.
typedef BOOL(WINAPI* SelectRawInputDevicesFn)(HWND dialog, DWORD uiThreadId, DWORD processId,
                                              DWORD stationNumber, RECT stationArea);
// Drops what SelectRawInputDevices kept for the station; FALSE when it kept nothing for it.
typedef BOOL(WINAPI* UnsubscribeRawInputDevicesFn)(DWORD stationNumber);
// Drops everything kept.
typedef BOOL(WINAPI* DeinitializeRawInputFn)();
