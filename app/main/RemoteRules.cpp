#include "app/main/RemoteRules.h"

#include <cstring>
#include <vector>

#include "app/main/ClassroomMessages.h"
#include "app/main/MainControls.h"
#include "app/res/resource.h"

namespace {

// The leading decimal number of `text` as atoi reads it (blanks, a sign, digits), saturated
// instead of undefined on overflow.
int32_t LeadingInteger(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > 0x80000000ll) value = 0x80000000ll;
  }
  if (negative) value = -value;
  if (value > 0x7FFFFFFFll) value = 0x7FFFFFFFll;
  return static_cast<int32_t>(value);
}

// Up to four dot-separated parts of the first 15 characters of [from, to), first in the
// lowest byte; missing parts leave 0.
uint32_t ParseAddress(const char* from, const char* to) {
  char text[16] = {};
  const size_t length = static_cast<size_t>(to - from) < 15 ? static_cast<size_t>(to - from) : 15;
  memcpy(text, from, length);
  uint32_t address = 0;
  const char* part = text;
  for (int octet = 0; octet < 4 && part; ++octet) {
    address |= static_cast<uint32_t>(static_cast<uint8_t>(LeadingInteger(part))) << (8 * octet);
    part = strchr(part, '.');
    if (part) ++part;
  }
  return address;
}

}  // namespace

RemoteAction ClassifyRemoteButton(WPARAM code, LPARAM value) {
  switch (code) {
    case REMOTE_UNLOCK:
      return RemoteAction::kUnlock;
    case REMOTE_LOCK:
      return RemoteAction::kLock;
    case REMOTE_BUSY:
      return RemoteAction::kBusy;
    case REMOTE_IDLE:
      return RemoteAction::kIdle;
    case REMOTE_WAIT_SHOW:
      return RemoteAction::kWaitShow;
    case REMOTE_WAIT_HIDE:
      return RemoteAction::kWaitHide;
    case REMOTE_MASTER_POSITION:
      return RemoteAction::kMasterPosition;
    case REMOTE_STUDENT_POSITION:
      return RemoteAction::kStudentPosition;
    case REMOTE_VIDEO_POSITION:
      return RemoteAction::kIgnore;
    case IDC_OUTSLIDER:
      return RemoteAction::kOutLevel;
    case IDC_INSLIDER:
      return RemoteAction::kInLevel;
    case IDC_LEDNUMBER:
      return RemoteAction::kLedDoubleClick;
    default:
      break;
  }
  const bool modeButton = code == IDC_VBUTPLAYPLAY || code == IDC_VBUTPLAYREC || code == IDC_HBUTPLAYPLAY ||
                          code == IDC_HBUTPLAYREC;
  if (value == 1 && modeButton) return RemoteAction::kModeRightClick;
  if (value == 1 && code == IDC_BUTINSERTBM) return RemoteAction::kBookmarksToggle;
  // Control ids are 16-bit; the other negative codes name nothing.
  if (value == 0 && code <= 0xFFFF) return RemoteAction::kClick;
  return RemoteAction::kIgnore;
}

bool RemoteActionTouchesTracks(RemoteAction action) {
  switch (action) {
    case RemoteAction::kMasterPosition:
    case RemoteAction::kStudentPosition:
    case RemoteAction::kLedDoubleClick:
    case RemoteAction::kModeRightClick:
    case RemoteAction::kBookmarksToggle:
    case RemoteAction::kClick:
      return true;
    default:
      return false;
  }
}

bool PressChangesTrack(UINT id) {
  if (id == IDC_BUTEXIT || id == IDC_BUTMINIMIZE || id == IDC_BUTMIXER) return false;
  if (id == IDC_LEDNUMBER || id == IDC_MBUTPAUSE) return true;
  const MainControl* control = FindMainControl(id);
  return control && control->stem;
}

EnableState DeriveEnableState(const RemoteHolds& holds) {
  const bool lockedStation = holds.locked && holds.stationMode;
  EnableState state = {};
  // Under a box of its own the dialog stays disabled whatever else ends meanwhile.
  state.dialog = !holds.remoteBusy && !holds.fileWork && !holds.modal;
  state.controls = !lockedStation && !holds.waiting;
  // The lock leaves the texts to the student; the wait pop-up leaves only the way out.
  state.textEdits = !holds.waiting;
  state.exitButton = state.controls || holds.waiting;
  state.waitCursor = holds.remoteBusy || holds.waiting;
  return state;
}

uint32_t ParseRecipientList(const void* data, size_t bytes, StationRecipient* out, uint32_t capacity) {
  if (!data || bytes == 0 || !out) return 0;
  // The sender's bytes carry no terminator of their own.
  std::vector<char> text(bytes + 1, '\0');
  memcpy(text.data(), data, bytes);
  uint32_t count = 0;
  const char* pair = text.data();
  const char* bar = strchr(pair, '|');
  while (bar) {
    const int32_t number = LeadingInteger(pair);
    const char* end = strchr(bar + 1, '|');
    if (!end) break;
    const uint32_t address = ParseAddress(bar + 1, end);
    if (count < capacity) out[count++] = StationRecipient{static_cast<uint32_t>(number), address};
    pair = end + 1;
    bar = strchr(pair, '|');
  }
  return count;
}

UINT LevelTipPosition(int32_t level, int travel) {
  if (level <= 0 || travel <= 0) return 0;
  return static_cast<UINT>(travel);
}

uint32_t ClampRemoteFrame(LPARAM value, uint32_t chunkFrames) {
  if (value <= 0) return 0;
  const auto frame = static_cast<uint32_t>(value);
  return frame < chunkFrames ? frame : chunkFrames;
}

int32_t CursorColumnOf(uint32_t frame, uint32_t viewStart, uint32_t framesPerPixel) {
  if (framesPerPixel == 0) return 0;
  return static_cast<int32_t>((static_cast<int64_t>(frame) - static_cast<int64_t>(viewStart)) /
                              static_cast<int64_t>(framesPerPixel));
}
