// The window messages between the main dialog and the classroom programs around it (the
// controller that locks a station, the classroom daemon, the paired station). Other programs
// find a station's dialog by its title "_<station>QuillmeridianUser".
//
// 0x401 has three meanings in this program, each on a different receiver:
//   - WM_LOG_WRITE, a thread message to the log writer (wParam channel, lParam a heap text);
//   - WM_SOUND_NOTIFY, posted to the main dialog by the tracks and the video manager (wParam a
//     SoundNotifyCode, lParam the sender, compared with the current tracks before use);
//   - WM_WAIT_SHOW, a thread message to the wait pop-up's thread (re-create its window).
#pragma once

#include <windows.h>

// Received and sent. wParam: a code below, or the id of a pressed control; lParam: the value
// the code names (0 for a click, 1 for a right click). Result 0. The dialog posts its own
// presses to the peer window that locked it; nothing comes back.
constexpr UINT WM_REMOTE_BUTTON = 0x592;
constexpr WPARAM REMOTE_UNLOCK = static_cast<WPARAM>(-2);     // lParam: the unlock value
constexpr WPARAM REMOTE_LOCK = static_cast<WPARAM>(-3);       // lParam: the locking window
constexpr WPARAM REMOTE_BUSY = static_cast<WPARAM>(-4);       // wait cursor, dialog disabled
constexpr WPARAM REMOTE_IDLE = static_cast<WPARAM>(-5);       // arrow cursor, dialog enabled
constexpr WPARAM REMOTE_WAIT_SHOW = static_cast<WPARAM>(-6);  // the wait pop-up shown
constexpr WPARAM REMOTE_WAIT_HIDE = static_cast<WPARAM>(-7);  // the wait pop-up hidden
// Position codes: lParam the frame (1008 Master, 1009 Student; 1010 video, ignored).
constexpr WPARAM REMOTE_MASTER_POSITION = 1008;
constexpr WPARAM REMOTE_STUDENT_POSITION = 1009;
constexpr WPARAM REMOTE_VIDEO_POSITION = 1010;

// Received. wParam: 4 exit, 11 read the save-path prefix from the sibling product's shared
// memory; others ignored. lParam unused. Result 0.
constexpr UINT WM_REMOTE_COMMAND = 0x52e;
constexpr WPARAM REMOTE_COMMAND_EXIT = 4;
constexpr WPARAM REMOTE_COMMAND_SAVE_PREFIX = 11;

// Sent once at start to the classroom daemon's window (class "VK_Main_PSDaemon") by a station
// started without "/Pos:" and without a file. wParam 9; lParam the station number. Posted; no
// result is read.
constexpr UINT WM_DAEMON_NOTIFY = 0x590;
constexpr WPARAM DAEMON_NOTIFY_STATION = 9;
constexpr wchar_t kDaemonWindowClass[] = L"VK_Main_PSDaemon";

// Received. wParam: 0 the IN level slider, 1 the OUT slider; lParam the level. Result 0.
constexpr UINT WM_SET_LEVEL = 0x498;

// WM_COPYDATA with dwData 1: the stream recipient list as text (the sender's window in wParam).
// Result TRUE when taken; any other dwData gives FALSE.
constexpr ULONG_PTR COPYDATA_RECIPIENTS = 1;
