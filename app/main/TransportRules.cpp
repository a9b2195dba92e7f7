#include "app/main/TransportRules.h"

#include <algorithm>
#include <cwchar>

#include "app/res/resource.h"
#include "media/document/SoundDocument.h"

PlayModeStep StepPlayMode(const PlayEnd& end) {
  if (end.ownStop || end.senderRunning) return {end.mode, PlayAction::kNone};
  const bool fromMaster = end.sender == PlaySender::kMaster;
  switch (end.mode) {
    case PLAY_MODE_REPEAT:
      // Two silent chunks would hand the turn back and forth at once, without end.
      if (end.nothingToPlay) return {PLAY_MODE_NONE, PlayAction::kNone};
      if (fromMaster) return {PLAY_MODE_REPEAT, PlayAction::kPlayStudent};
      if (end.sender == PlaySender::kStudent) return {PLAY_MODE_REPEAT, PlayAction::kPlayMaster};
      return {PLAY_MODE_REPEAT, PlayAction::kNone};
    case PLAY_MODE_BOTH:
      return {PLAY_MODE_NONE, PlayAction::kNone};
    case PLAY_MODE_PLAY_RECORD:
      return {PLAY_MODE_PLAY_RECORD, PlayAction::kNone};
    case PLAY_MODE_MASTER_THEN_STUDENT:
      if (fromMaster) return {PLAY_MODE_MASTER_THEN_STUDENT, PlayAction::kPlayStudent};
      return {PLAY_MODE_NONE, PlayAction::kNone};
    case PLAY_MODE_MASTER_THEN_RECORD:
      // A recording already running is the one this mode wants: toggling would end it.
      if (fromMaster)
        return {PLAY_MODE_MASTER_THEN_RECORD,
                end.studentRecording ? PlayAction::kNone : PlayAction::kRecordStudent};
      return {PLAY_MODE_NONE, PlayAction::kNone};
    default:
      return {end.mode, PlayAction::kNone};
  }
}

size_t FacesForNotification(WPARAM code, bool studentRecording, FaceChange out[3]) {
  switch (code) {
    case NOTIFY_CHUNK_IDLE:
      out[0] = {IDC_BUTREC, L"BUTREC"};
      out[1] = {IDC_HBUTPLAYREC, L"HBUTPLAYREC"};
      out[2] = {IDC_VBUTPLAYREC, L"VBUTPLAYREC"};
      return 3;
    case NOTIFY_CHUNK_RECORDING:
      out[0] = {IDC_BUTREC, L"BUTRECORDSTOP"};
      out[1] = {IDC_HBUTPLAYREC, L"HBUTPLAYRECSTOP"};
      out[2] = {IDC_VBUTPLAYREC, L"VBUTPLAYRECSTOP"};
      return 3;
    case NOTIFY_PLAY_ENDED:
      out[0] = {IDC_BUTNEXTB, L"BUTNEXTB"};
      return 1;
    case NOTIFY_REC_PAUSED:
      out[0] = {IDC_BUTPAUSE, studentRecording ? L"BUTPAUSEREC" : nullptr};
      return 1;
    case NOTIFY_TRANSPORT_CHANGED:
      out[0] = {IDC_BUTPAUSE, L"BUTPAUSE"};
      return 1;
    default:
      return 0;
  }
}

const wchar_t* MasterPlayFace(bool videoMode, bool masterPlaying, bool masterPaused) {
  return !videoMode && masterPlaying && !masterPaused ? L"MBUTPAUSE" : L"MBUTPLAY";
}

int ChunkNumberShown(int studentIndex) { return studentIndex < 0 ? 1 : studentIndex + 1; }

uint32_t ZoomInFramesPerPixel(uint32_t framesPerPixel) {
  return std::clamp(framesPerPixel / 2, kMinFramesPerPixel, kMaxFramesPerPixel);
}

uint32_t ZoomOutFramesPerPixel(uint32_t framesPerPixel) {
  return static_cast<uint32_t>(
      std::clamp<uint64_t>(uint64_t(framesPerPixel) * 2, kMinFramesPerPixel, kMaxFramesPerPixel));
}

std::wstring ClockText(uint32_t ms) {
  wchar_t text[32];
  swprintf(text, 32, L"%02u:%02u:%01u", ms / 60000, (ms % 60000) / 1000, (ms % 60000 % 1000) / 100);
  return text;
}

uint32_t ChunkLengthMs(uint32_t frames, uint32_t sampleRate) {
  if (!sampleRate) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(uint64_t(frames) * 1000 / sampleRate, UINT32_MAX));
}

uint32_t PositionClockMs(uint32_t playPosition, uint32_t sampleRate) {
  if (!sampleRate) return 0;
  // In 64 bits: ten times a position of a few hours at 44.1 kHz passes 2^32.
  return static_cast<uint32_t>(
      std::min<uint64_t>(uint64_t(playPosition) * 10 / sampleRate * 100, UINT32_MAX));
}

std::wstring ShownFileName(const wchar_t* path) {
  if (!path || !*path) return L"";
  const wchar_t* slash = wcsrchr(path, L'\\');
  return slash ? slash + 1 : path;
}
