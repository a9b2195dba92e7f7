// The main dialog's classroom decisions that need no window: what a WM_REMOTE_BUTTON code asks
// for, which controls the lock, the remote busy, the wait pop-up and the running file work
// leave enabled, the recipient list of WM_COPYDATA, level tips and remote positions.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "appdata/PipeMessage.h"

// What one WM_REMOTE_BUTTON (code, value) asks for.
enum class RemoteAction {
  kIgnore,
  kUnlock,
  kLock,
  kBusy,
  kIdle,
  kWaitShow,
  kWaitHide,
  kMasterPosition,
  kStudentPosition,
  kOutLevel,
  kInLevel,
  kLedDoubleClick,
  kModeRightClick,   // a mode button's right-click variant (value 1)
  kBookmarksToggle,  // BUTINSERTBM's right-click variant (value 1)
  kClick,            // the control's own handler, as if clicked (value 0)
};
RemoteAction ClassifyRemoteButton(WPARAM code, LPARAM value);
// Actions that reach a track: refused while a load, a save or the exit runs.
bool RemoteActionTouchesTracks(RemoteAction action);
// Presses of the dialog's controls that change a track or open, save or close a file: every
// skinned button and the LED but the exit, minimise and mixer buttons.
bool PressChangesTrack(UINT id);

// The things that decide what the dialog lets its user do; each is held on its own, so
// ending one never undoes another.
struct RemoteHolds {
  bool locked = false;       // a peer window is set
  bool stationMode = false;  // the lock disables controls only in station mode
  bool remoteBusy = false;   // REMOTE_BUSY until REMOTE_IDLE
  bool waiting = false;      // the wait pop-up is up (REMOTE_WAIT_SHOW until REMOTE_WAIT_HIDE)
  bool fileWork = false;     // a track loads or saves
  bool modal = false;        // a box or file dialog of the dialog is up
};
struct EnableState {
  bool dialog;      // the dialog window itself
  bool controls;    // what EnableControls switches, the text edits and BUTEXIT aside
  bool textEdits;   // Master and Student text edits
  bool exitButton;  // BUTEXIT
  bool waitCursor;
};
EnableState DeriveEnableState(const RemoteHolds& holds);

// Parses the recipient text "N|a.b.c.d|N|a.b.c.d|..." of `bytes` bytes (no terminator needed;
// the text also ends at a NUL) into at most `capacity` entries; returns how many. A pair without
// its closing bar is dropped; an address keeps its first four dot-separated parts.
uint32_t ParseRecipientList(const void* data, size_t bytes, StationRecipient* out, uint32_t capacity);

// The level tip of a slider with `travel` pixels: empty for 0 and below, full for 1 and above.
UINT LevelTipPosition(int32_t level, int travel);

// A remote frame on a chunk of `chunkFrames` frames: negative values give 0, values past the
// chunk its end.
uint32_t ClampRemoteFrame(LPARAM value, uint32_t chunkFrames);
// The waveform column of `frame` in a view that starts at `viewStart` (negative left of it).
int32_t CursorColumnOf(uint32_t frame, uint32_t viewStart, uint32_t framesPerPixel);
