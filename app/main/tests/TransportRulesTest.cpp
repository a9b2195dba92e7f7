// The transport decisions without a window: the play-mode step over every mode and sender,
// faces by notification code, the chunk number, zoom bounds, clock values and the file name.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/main/TransportRules.h"
#include "app/res/resource.h"
#include "media/document/SoundDocument.h"

namespace {

using A = PlayAction;
using S = PlaySender;

struct StepRow {
  UINT mode;
  S sender;
  UINT next;
  A action;
};

// A real end of playback: the sender ran out, nothing of the dialog's own stopped it.
const StepRow kRealEnds[] = {
    {PLAY_MODE_NONE, S::kMaster, PLAY_MODE_NONE, A::kNone},
    {PLAY_MODE_NONE, S::kStudent, PLAY_MODE_NONE, A::kNone},
    {PLAY_MODE_NONE, S::kVideo, PLAY_MODE_NONE, A::kNone},
    {PLAY_MODE_REPEAT, S::kMaster, PLAY_MODE_REPEAT, A::kPlayStudent},
    {PLAY_MODE_REPEAT, S::kStudent, PLAY_MODE_REPEAT, A::kPlayMaster},
    {PLAY_MODE_REPEAT, S::kVideo, PLAY_MODE_REPEAT, A::kNone},
    {PLAY_MODE_BOTH, S::kMaster, PLAY_MODE_NONE, A::kNone},
    {PLAY_MODE_BOTH, S::kStudent, PLAY_MODE_NONE, A::kNone},
    {PLAY_MODE_BOTH, S::kVideo, PLAY_MODE_NONE, A::kNone},
    {PLAY_MODE_PLAY_RECORD, S::kMaster, PLAY_MODE_PLAY_RECORD, A::kNone},
    {PLAY_MODE_PLAY_RECORD, S::kStudent, PLAY_MODE_PLAY_RECORD, A::kNone},
    {PLAY_MODE_PLAY_RECORD, S::kVideo, PLAY_MODE_PLAY_RECORD, A::kNone},
    {PLAY_MODE_MASTER_THEN_STUDENT, S::kMaster, PLAY_MODE_MASTER_THEN_STUDENT, A::kPlayStudent},
    {PLAY_MODE_MASTER_THEN_STUDENT, S::kStudent, PLAY_MODE_NONE, A::kNone},
    {PLAY_MODE_MASTER_THEN_STUDENT, S::kVideo, PLAY_MODE_NONE, A::kNone},
    {PLAY_MODE_MASTER_THEN_RECORD, S::kMaster, PLAY_MODE_MASTER_THEN_RECORD, A::kRecordStudent},
    {PLAY_MODE_MASTER_THEN_RECORD, S::kStudent, PLAY_MODE_NONE, A::kNone},
    {PLAY_MODE_MASTER_THEN_RECORD, S::kVideo, PLAY_MODE_NONE, A::kNone},
};

TEST(PlayModeStep, ARealEndMovesEachModeAsItsTableSays) {
  for (const StepRow& row : kRealEnds) {
    const PlayModeStep step = StepPlayMode({row.mode, row.sender, false, false, false, false});
    EXPECT_EQ(step.next, row.next) << "mode " << row.mode << " sender " << int(row.sender);
    EXPECT_EQ(step.action, row.action) << "mode " << row.mode << " sender " << int(row.sender);
  }
}

TEST(PlayModeStep, AnEndOfTheDialogsOwnStopOrOfARunningSenderChangesNothing) {
  for (const StepRow& row : kRealEnds) {
    for (const PlayEnd end : {PlayEnd{row.mode, row.sender, true, false, false, false},
                              PlayEnd{row.mode, row.sender, false, true, false, false},
                              PlayEnd{row.mode, row.sender, true, true, true, true}}) {
      const PlayModeStep step = StepPlayMode(end);
      EXPECT_EQ(step.next, row.mode) << "mode " << row.mode << " sender " << int(row.sender);
      EXPECT_EQ(step.action, A::kNone) << "mode " << row.mode << " sender " << int(row.sender);
    }
  }
}

TEST(PlayModeStep, SequentialRecordingNeverTogglesARecordingOff) {
  const PlayModeStep step = StepPlayMode(
      {PLAY_MODE_MASTER_THEN_RECORD, S::kMaster, false, false, /*studentRecording=*/true, false});
  EXPECT_EQ(step.next, UINT(PLAY_MODE_MASTER_THEN_RECORD));
  EXPECT_EQ(step.action, A::kNone);
}

TEST(PlayModeStep, RepeatEndsWhenNeitherTrackHasAFrameToPlay) {
  for (S sender : {S::kMaster, S::kStudent}) {
    const PlayModeStep step =
        StepPlayMode({PLAY_MODE_REPEAT, sender, false, false, false, /*nothingToPlay=*/true});
    EXPECT_EQ(step.next, UINT(PLAY_MODE_NONE));
    EXPECT_EQ(step.action, A::kNone);
  }
  // A silent Student beside a Master with sound keeps taking turns.
  EXPECT_EQ(StepPlayMode({PLAY_MODE_REPEAT, S::kMaster, false, false, false, false}).action, A::kPlayStudent);
}

TEST(TransportFaces, EachCodeSetsItsFaces) {
  struct Row {
    WPARAM code;
    bool recording;
    std::vector<std::pair<UINT, std::wstring>> faces;  // L"" stands for "reload the face it has"
  } rows[] = {
      {NOTIFY_CHUNK_IDLE,
       true,
       {{IDC_BUTREC, L"BUTREC"}, {IDC_HBUTPLAYREC, L"HBUTPLAYREC"}, {IDC_VBUTPLAYREC, L"VBUTPLAYREC"}}},
      {NOTIFY_CHUNK_RECORDING,
       false,
       {{IDC_BUTREC, L"BUTRECORDSTOP"},
        {IDC_HBUTPLAYREC, L"HBUTPLAYRECSTOP"},
        {IDC_VBUTPLAYREC, L"VBUTPLAYRECSTOP"}}},
      {NOTIFY_PLAY_ENDED, false, {{IDC_BUTNEXTB, L"BUTNEXTB"}}},
      {NOTIFY_REC_PAUSED, true, {{IDC_BUTPAUSE, L"BUTPAUSEREC"}}},
      {NOTIFY_REC_PAUSED, false, {{IDC_BUTPAUSE, L""}}},
      {NOTIFY_TRANSPORT_CHANGED, true, {{IDC_BUTPAUSE, L"BUTPAUSE"}}},
      {NOTIFY_LOADED, false, {}},
      {NOTIFY_PROGRESS, false, {}},
      {9, false, {}},
      {42, true, {}},
  };
  for (const Row& row : rows) {
    FaceChange out[3] = {};
    const size_t n = FacesForNotification(row.code, row.recording, out);
    ASSERT_EQ(n, row.faces.size()) << "code " << row.code;
    for (size_t i = 0; i < n; ++i) {
      EXPECT_EQ(out[i].id, row.faces[i].first) << "code " << row.code;
      EXPECT_EQ(std::wstring(out[i].stem ? out[i].stem : L""), row.faces[i].second) << "code " << row.code;
    }
  }
}

TEST(TransportFaces, TheMasterShowsPauseOnlyWhilePlayingASound) {
  EXPECT_STREQ(MasterPlayFace(false, true, false), L"MBUTPAUSE");
  EXPECT_STREQ(MasterPlayFace(false, true, true), L"MBUTPLAY");
  EXPECT_STREQ(MasterPlayFace(false, false, false), L"MBUTPLAY");
  EXPECT_STREQ(MasterPlayFace(true, true, false), L"MBUTPLAY");
}

TEST(TransportDisplay, ChunkNumberCountsFromOneAndShowsOneWithoutAChunk) {
  EXPECT_EQ(ChunkNumberShown(-1), 1);
  EXPECT_EQ(ChunkNumberShown(0), 1);
  EXPECT_EQ(ChunkNumberShown(1), 2);
  EXPECT_EQ(ChunkNumberShown(41), 42);
}

TEST(TransportDisplay, ZoomStaysBetween32And8192FramesPerPixel) {
  const struct {
    uint32_t from, in, out;
  } rows[] = {
      {256, 128, 512},    {64, 32, 128},      {32, 32, 64}, {33, 32, 66},
      {8192, 4096, 8192}, {4097, 2048, 8192}, {0, 32, 32},  {0xFFFFFFFFu, 8192, 8192},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ZoomInFramesPerPixel(row.from), row.in) << row.from;
    EXPECT_EQ(ZoomOutFramesPerPixel(row.from), row.out) << row.from;
  }
}

TEST(TransportDisplay, ClockTextsAndValues) {
  EXPECT_EQ(ClockText(0), L"00:00:0");
  EXPECT_EQ(ClockText(90250), L"01:30:2");
  EXPECT_EQ(ClockText(6000000), L"100:00:0");
  EXPECT_EQ(ClockText(59999), L"00:59:9");
  // 90.25 s of 44.1 kHz frames.
  EXPECT_EQ(ChunkLengthMs(3980025, 44100), 90250u);
  EXPECT_EQ(ChunkLengthMs(1000, 0), 0u);
  // A four-hour chunk: frames x 1000 needs more than 32 bits.
  EXPECT_EQ(ChunkLengthMs(44100u * 14400u, 44100), 14400000u);
  // The position clock moves in tenths.
  EXPECT_EQ(PositionClockMs(44100 + 4409, 44100), 1000u);
  EXPECT_EQ(PositionClockMs(44100 + 4410, 44100), 1100u);
  EXPECT_EQ(PositionClockMs(5, 0), 0u);
  // Three hours in: ten times the position passes 2^32.
  EXPECT_EQ(PositionClockMs(44100u * 10800u, 44100), 10800000u);
}

TEST(TransportDisplay, FileNameFieldShowsTheNameOrTheWholePath) {
  EXPECT_EQ(ShownFileName(nullptr), L"");
  EXPECT_EQ(ShownFileName(L""), L"");
  EXPECT_EQ(ShownFileName(L"c:\\lessons\\unit 1.wav"), L"unit 1.wav");
  EXPECT_EQ(ShownFileName(L"unit1.wav"), L"unit1.wav");
  EXPECT_EQ(ShownFileName(L"c:\\lessons\\"), L"");
}

}  // namespace
