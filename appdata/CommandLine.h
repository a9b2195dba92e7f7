// The program's command-line switches and the device choice that follows from them. The main
// dialog parses the command line once at start (CAppData::ParseCommandLine, defined in
// CommandLine.cpp); the pieces below are what it is made of.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// The command-line state of the application data object while the switches are applied.
struct CommandLineSwitches {
  uint32_t stationMode = 0;
  uint32_t testFlag = 0;       // "/_t"
  uint32_t hiddenStart = 0;    // set later by the main window
  uint32_t stationNumber = 0;  // 0, 1 or 2
  uint32_t positioned = 0;     // "/Pos:1", "/Pos:2"
  uint32_t streaming = 0;      // "/Stream"
  uint32_t mixerInput = 0;     // 0 none, 1 "Mic", 2 "Mix"
  bool mixerQuery = false;     // "/MixerInput:" is on the line, whatever follows it
};

// Clears station mode, test flag, hidden start and station number, then searches every switch
// anywhere in the line (case-sensitive, inside quoted paths too) in a fixed order, so that a
// later switch of that order wins whatever the order on the line. Positioned and streaming are
// only ever set. "/MixerInput:" must be followed by exactly "Mic" or "Mix" to the line's end to
// set the mixer input; otherwise the input is 0.
void ApplyCommandLineSwitches(const wchar_t* commandLine, CommandLineSwitches* state);

// The one code unit that stands for "no device chosen yet" on a station: station number - 1
// in station mode with a station number, else 0.
wchar_t StationDevicePlaceholder(uint32_t stationMode, uint32_t stationNumber);

// The per-station wave-device file: folder + "\Quillmeridian" + ".ini", "St1.ini" or "St2.ini"
// by station number alone.
std::wstring WaveDeviceFileName(const std::wstring& editionFolder, uint32_t stationNumber);

// Gives Everyone full access to `folder` and everything made in it later (object and container
// inheritance), so that every user of the computer can write the settings. A failure is logged;
// the result only says whether the access list was set.
bool OpenFolderToEveryone(const std::wstring& folder);
