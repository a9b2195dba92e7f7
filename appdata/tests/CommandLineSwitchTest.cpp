// The switch rules of the command line, the device placeholder and the wave-device file name.
#include <gtest/gtest.h>

#include <string>

#include "appdata/CommandLine.h"
#include "common/LogManager.h"

namespace {

struct SwitchCase {
  const wchar_t* line;
  uint32_t stationMode, testFlag, stationNumber, positioned, streaming, mixerInput;
  bool mixerQuery;
  wchar_t placeholder;
  const wchar_t* fileName;
};

const SwitchCase kCases[] = {
    // line                                   mode test num pos str mix query  u  file
    {L"", 0, 0, 0, 0, 0, 0, false, 0, L"Quillmeridian.ini"},
    {L"Quillmeridian.exe", 0, 0, 0, 0, 0, 0, false, 0, L"Quillmeridian.ini"},
    // Each row of the table alone.
    {L"/_t", 0, 1, 0, 0, 0, 0, false, 0, L"Quillmeridian.ini"},
    {L"/_p", 1, 0, 1, 0, 0, 0, false, 0, L"QuillmeridianSt1.ini"},
    {L"/_s", 1, 0, 2, 0, 0, 0, false, 1, L"QuillmeridianSt2.ini"},
    {L"/_m", 1, 0, 0, 0, 0, 0, false, 0, L"Quillmeridian.ini"},
    {L"/Pos:1", 1, 0, 1, 1, 0, 0, false, 0, L"QuillmeridianSt1.ini"},
    {L"/Pos:2", 1, 0, 2, 1, 0, 0, false, 1, L"QuillmeridianSt2.ini"},
    {L"/Stream", 0, 0, 0, 0, 1, 0, false, 0, L"Quillmeridian.ini"},
    {L"/MixerInput:Mic", 0, 0, 0, 0, 0, 1, true, 0, L"Quillmeridian.ini"},
    {L"/MixerInput:Mix", 0, 0, 0, 0, 0, 2, true, 0, L"Quillmeridian.ini"},
    // The table's order decides, not the line's.
    {L"/_t /_p", 1, 0, 1, 0, 0, 0, false, 0, L"QuillmeridianSt1.ini"},
    {L"/_p /_t", 1, 0, 1, 0, 0, 0, false, 0, L"QuillmeridianSt1.ini"},
    {L"/_p /Pos:2", 1, 0, 2, 1, 0, 0, false, 1, L"QuillmeridianSt2.ini"},
    {L"/Pos:2 /_p", 1, 0, 2, 1, 0, 0, false, 1, L"QuillmeridianSt2.ini"},
    {L"/_m /_s", 1, 0, 0, 0, 0, 0, false, 0, L"Quillmeridian.ini"},
    {L"/Pos:2 /Pos:1", 1, 0, 2, 1, 0, 0, false, 1, L"QuillmeridianSt2.ini"},
    {L"/Pos:1 /_t", 1, 0, 1, 1, 0, 0, false, 0, L"QuillmeridianSt1.ini"},
    // Plain substrings: inside a quoted path or a longer word, and case-sensitive.
    {L"/_p \"C:\\Lessons/_sounds\\a.wav\"", 1, 0, 2, 0, 0, 0, false, 1, L"QuillmeridianSt2.ini"},
    {L"\"D:\\Audio/Stream\\b.mp3\"", 0, 0, 0, 0, 1, 0, false, 0, L"Quillmeridian.ini"},
    {L"/Pos:12", 1, 0, 1, 1, 0, 0, false, 0, L"QuillmeridianSt1.ini"},
    {L"/_P /_S /pos:1 /stream /POS:2", 0, 0, 0, 0, 0, 0, false, 0, L"Quillmeridian.ini"},
    {L"-_p _s Pos:2", 0, 0, 0, 0, 0, 0, false, 0, L"Quillmeridian.ini"},
    // The mixer input names the rest of the line exactly; the query goes out regardless.
    {L"/_p /MixerInput:Mic", 1, 0, 1, 0, 0, 1, true, 0, L"QuillmeridianSt1.ini"},
    {L"/Stream /MixerInput:Mix", 0, 0, 0, 0, 1, 2, true, 0, L"Quillmeridian.ini"},
    {L"/MixerInput:Mic /Stream", 0, 0, 0, 0, 1, 0, true, 0, L"Quillmeridian.ini"},
    {L"/MixerInput:Mic ", 0, 0, 0, 0, 0, 0, true, 0, L"Quillmeridian.ini"},
    {L"/MixerInput:mic", 0, 0, 0, 0, 0, 0, true, 0, L"Quillmeridian.ini"},
    {L"/MixerInput:Microphone", 0, 0, 0, 0, 0, 0, true, 0, L"Quillmeridian.ini"},
    {L"/MixerInput:", 0, 0, 0, 0, 0, 0, true, 0, L"Quillmeridian.ini"},
    {L"/MixerInput:\"Mic\"", 0, 0, 0, 0, 0, 0, true, 0, L"Quillmeridian.ini"},
    {L"/MixerInput Mic", 0, 0, 0, 0, 0, 0, false, 0, L"Quillmeridian.ini"},
    // Only the first "/MixerInput:" counts: its rest holds the second.
    {L"/MixerInput:/MixerInput:Mic", 0, 0, 0, 0, 0, 0, true, 0, L"Quillmeridian.ini"},
};

TEST(CommandLineSwitches, TableRowsApplyInOrderAndLaterRowsWin) {
  for (const SwitchCase& c : kCases) {
    SCOPED_TRACE(testing::Message() << "line \"" << testing::PrintToString(std::wstring(c.line)) << "\"");
    CommandLineSwitches s;
    ApplyCommandLineSwitches(c.line, &s);
    EXPECT_EQ(s.stationMode, c.stationMode);
    EXPECT_EQ(s.testFlag, c.testFlag);
    EXPECT_EQ(s.stationNumber, c.stationNumber);
    EXPECT_EQ(s.positioned, c.positioned);
    EXPECT_EQ(s.streaming, c.streaming);
    EXPECT_EQ(s.mixerInput, c.mixerInput);
    EXPECT_EQ(s.mixerQuery, c.mixerQuery);
    EXPECT_EQ(s.hiddenStart, 0u);
    EXPECT_EQ(int(StationDevicePlaceholder(s.stationMode, s.stationNumber)), int(c.placeholder));
    EXPECT_EQ(WaveDeviceFileName(L"C:\\ProgramData\\Quillmeridian", s.stationNumber),
              std::wstring(L"C:\\ProgramData\\Quillmeridian\\") + c.fileName);
  }
}

// Station fields start from zero on every parse; positioned, streaming and the mixer input are
// only ever set, so what the object held before stays.
TEST(CommandLineSwitches, StationFieldsAreClearedOthersOnlySet) {
  CommandLineSwitches s;
  s.stationMode = 1;
  s.testFlag = 1;
  s.hiddenStart = 1;
  s.stationNumber = 2;
  s.positioned = 1;
  s.streaming = 1;
  s.mixerInput = 2;
  ApplyCommandLineSwitches(L"/_t", &s);
  EXPECT_EQ(s.stationMode, 0u);
  EXPECT_EQ(s.testFlag, 1u);
  EXPECT_EQ(s.hiddenStart, 0u);
  EXPECT_EQ(s.stationNumber, 0u);
  EXPECT_EQ(s.positioned, 1u);
  EXPECT_EQ(s.streaming, 1u);
  EXPECT_EQ(s.mixerInput, 2u);

  ApplyCommandLineSwitches(nullptr, &s);
  EXPECT_EQ(s.testFlag, 0u);
  EXPECT_FALSE(s.mixerQuery);
}

}  // namespace

namespace {

// A failure to open the folder is written to the wave-manager log and reported as false; the
// log writer is this thread, so the posted lines can be read back.
TEST(EditionFolderAccess, FailureIsLoggedNotFatal) {
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  CLogManager manager;
  manager.writerThreadId = GetCurrentThreadId();
  CLogManager* saved = g_pLogManager;
  g_pLogManager = &manager;
  const bool opened = OpenFolderToEveryone(L"C:\\qm-no-such-folder\\below");
  g_pLogManager = saved;
  EXPECT_FALSE(opened);

  std::string lines;
  while (PeekMessageW(&msg, reinterpret_cast<HWND>(-1), WM_LOG_WRITE, WM_LOG_WRITE, PM_REMOVE)) {
    EXPECT_EQ(LOWORD(msg.wParam), LOG_WAVE_MANAGER);
    char* text = reinterpret_cast<char*>(msg.lParam);
    lines += text;
    lines += '\n';
    delete[] text;
  }
  EXPECT_NE(lines.find("SetFileSecurityW failed"), std::string::npos) << lines;
}

}  // namespace
