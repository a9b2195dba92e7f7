// The main dialog's transport decisions that need no window: the play-mode step taken at the end
// of a playback, the faces the notifications give, the chunk number, the zoom bounds, the clock
// values and texts, and the name shown for the open file.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

enum PlayMode : UINT {
  PLAY_MODE_NONE = 0,
  PLAY_MODE_REPEAT = 1,               // Master and Student in turn until a transport press
  PLAY_MODE_BOTH = 2,                 // both play at once
  PLAY_MODE_PLAY_RECORD = 3,          // the Master plays while the Student records
  PLAY_MODE_MASTER_THEN_STUDENT = 4,  // the Master's chunk, then the Student's
  PLAY_MODE_MASTER_THEN_RECORD = 5,   // the Master's chunk, then a Student recording
};

// Who posted an end of playback.
enum class PlaySender { kMaster, kStudent, kVideo };

// What the dialog does to the tracks after the step.
enum class PlayAction { kNone, kPlayMaster, kPlayStudent, kRecordStudent };

struct PlayEnd {
  UINT mode;
  PlaySender sender;
  // The end came from a stop or pause the dialog itself made (the playback did not run out).
  bool ownStop;
  // The sender plays or stands paused as the end is handled: the end is older than its state.
  bool senderRunning;
  bool studentRecording;
  // Neither track's current chunk holds a frame: each start would end at once.
  bool nothingToPlay;
};

struct PlayModeStep {
  UINT next;
  PlayAction action;
};

// The play mode's answer to an end of playback. An end that is not the sender's real end (its
// own stop, a pause, a sender that runs again) changes nothing.
PlayModeStep StepPlayMode(const PlayEnd& end);

// A button's new face; a null stem reloads the face it has.
struct FaceChange {
  UINT id;
  const wchar_t* stem;
};

// The faces a notification code sets (Master play face aside); their number, at most 3.
size_t FacesForNotification(WPARAM code, bool studentRecording, FaceChange out[3]);

// The Master play button's face.
const wchar_t* MasterPlayFace(bool videoMode, bool masterPlaying, bool masterPaused);

// The LED shows the Student's chunk number from 1; no current chunk shows 1 as well.
int ChunkNumberShown(int studentIndex);

constexpr uint32_t kMinFramesPerPixel = 32;
constexpr uint32_t kMaxFramesPerPixel = 8192;
uint32_t ZoomInFramesPerPixel(uint32_t framesPerPixel);
uint32_t ZoomOutFramesPerPixel(uint32_t framesPerPixel);

// Clock texts: minutes, seconds and tenths ("01:30:2").
std::wstring ClockText(uint32_t ms);
// A chunk's length in milliseconds; 0 without a rate.
uint32_t ChunkLengthMs(uint32_t frames, uint32_t sampleRate);
// The play position in whole tenths of a second, as milliseconds; 0 without a rate.
uint32_t PositionClockMs(uint32_t playPosition, uint32_t sampleRate);

// The file-name field's text for an open file: the name after the last backslash, the whole
// path when it has none, empty without a path.
std::wstring ShownFileName(const wchar_t* path);
