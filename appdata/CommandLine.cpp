// Command-line switches, the per-station device choice and the edition folder's access list.
#include "appdata/CommandLine.h"

#include <aclapi.h>
#include <endpointvolume.h>

#include <cstdio>
#include <cwchar>

#include "appdata/AppData.h"
#include "appdata/SettingsFile.h"
#include "common/LogManager.h"
#include "common/SharedHelpers.h"
#include "media/document/SoundDocument.h"

namespace {

constexpr wchar_t kMixerInputSwitch[] = L"/MixerInput:";

bool Has(const wchar_t* line, const wchar_t* word) { return wcsstr(line, word) != nullptr; }

void LogFailure(const char* what, DWORD code) {
  PostLogLinef(LOG_WAVE_MANAGER, "Edition folder access: %s failed (%lu)", what,
               static_cast<unsigned long>(code));
}

void ReleaseVolume(IAudioEndpointVolume** volume) {
  if (*volume) (*volume)->Release();
  *volume = nullptr;
}

}  // namespace

void ApplyCommandLineSwitches(const wchar_t* commandLine, CommandLineSwitches* state) {
  const wchar_t* line = commandLine ? commandLine : L"";
  state->stationMode = 0;
  state->testFlag = 0;
  state->hiddenStart = 0;
  state->stationNumber = 0;

  struct Station {
    const wchar_t* word;
    uint32_t stationMode, testFlag, stationNumber;
    bool positions;
  };
  static const Station kStations[] = {
      {L"/_t", 0, 1, 0, false}, {L"/_p", 1, 0, 1, false},   {L"/_s", 1, 0, 2, false},
      {L"/_m", 1, 0, 0, false}, {L"/Pos:1", 1, 0, 1, true}, {L"/Pos:2", 1, 0, 2, true},
  };
  for (const Station& s : kStations) {
    if (!Has(line, s.word)) continue;
    state->stationMode = s.stationMode;
    state->testFlag = s.testFlag;
    state->stationNumber = s.stationNumber;
    if (s.positions) state->positioned = 1;
  }
  if (Has(line, L"/Stream")) state->streaming = 1;

  if (const wchar_t* mixer = wcsstr(line, kMixerInputSwitch)) {
    const wchar_t* rest = mixer + wcslen(kMixerInputSwitch);
    state->mixerQuery = true;
    state->mixerInput = wcscmp(rest, L"Mic") == 0 ? 1 : wcscmp(rest, L"Mix") == 0 ? 2 : 0;
  }
}

wchar_t StationDevicePlaceholder(uint32_t stationMode, uint32_t stationNumber) {
  return stationMode && stationNumber ? wchar_t(stationNumber - 1) : wchar_t(0);
}

std::wstring WaveDeviceFileName(const std::wstring& editionFolder, uint32_t stationNumber) {
  const wchar_t* suffix = stationNumber == 1 ? L"St1.ini" : stationNumber == 2 ? L"St2.ini" : L".ini";
  return editionFolder + L"\\" + GetEditionName() + suffix;
}

bool OpenFolderToEveryone(const std::wstring& folder) {
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
    LogFailure("AllocateAndInitializeSid", GetLastError());
    return false;
  }

  EXPLICIT_ACCESSW access = {};
  access.grfAccessPermissions = 0xFFFFFFFF;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  access.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
  PACL acl = nullptr;
  bool set = false;
  const DWORD aclResult = SetEntriesInAclW(1, &access, nullptr, &acl);
  if (aclResult != ERROR_SUCCESS) {
    LogFailure("SetEntriesInAclW", aclResult);
  } else if (auto descriptor =
                 static_cast<PSECURITY_DESCRIPTOR>(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH))) {
    const std::wstring path = folder + L"\\";
    if (!InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION))
      LogFailure("InitializeSecurityDescriptor", GetLastError());
    else if (!SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE))
      LogFailure("SetSecurityDescriptorDacl", GetLastError());
    else if (!SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor))
      LogFailure("SetFileSecurityW", GetLastError());
    else
      set = true;
    LocalFree(descriptor);
  } else {
    LogFailure("LocalAlloc", GetLastError());
  }
  FreeSid(everyone);
  if (acl) LocalFree(acl);
  return set;
}

bool CAppData::ParseCommandLine(const wchar_t* commandLine) {
  CommandLineSwitches state;
  state.positioned = positioned;
  state.streaming = streaming;
  state.mixerInput = mixerInput;
  ApplyCommandLineSwitches(commandLine, &state);
  stationMode = state.stationMode;
  testFlag = state.testFlag;
  hiddenStart = state.hiddenStart;
  stationNumber = state.stationNumber;
  positioned = state.positioned;
  streaming = state.streaming;
  mixerInput = state.mixerInput;

  const wchar_t placeholder = StationDevicePlaceholder(state.stationMode, state.stationNumber);
  waveDevices.WaveDeviceOut.assign(1, placeholder);
  waveDevices.WaveDeviceIn.assign(1, placeholder);

  const std::wstring folder = GetEditionFolder();
  if (!folder.empty()) OpenFolderToEveryone(folder);

  // Ids found in the station's file replace the placeholders; whatever names no active
  // endpoint then becomes the default one.
  // Without the common folder there is no file to read or write (not one at the drive's root).
  const std::wstring settings =
      folder.empty() ? std::wstring() : WaveDeviceFileName(folder, state.stationNumber);
  wcsncpy(waveDevices.settingsPath, settings.c_str(), 259);
  waveDevices.settingsPath[259] = 0;
  waveDevices.LoadWaveDeviceSettings();
  if (masterTrack) {
    masterTrack->ResolveDeviceId(waveDevices.WaveDeviceOut, false);
    masterTrack->ResolveDeviceId(waveDevices.WaveDeviceIn, true);
  }
  SetTrackDevices(waveDevices.WaveDeviceOut, waveDevices.WaveDeviceIn);

  // Sent once; before the capture pipe connects it goes out right after the greeting.
  if (state.mixerQuery) SendMixerQuery();
  return true;
}

void CAppData::SetTrackDevices(const std::wstring& out, const std::wstring& in) {
  if (masterTrack) {
    ReleaseVolume(&masterTrack->outputVolume);
    ReleaseVolume(&masterTrack->inputVolume);
  }
  // The tracks make their endpoint-volume interfaces again on their next use.
  CSoundDocument* tracks[] = {masterTrack, studentTrack};
  if (!out.empty()) {
    for (CSoundDocument* track : tracks) {
      if (!track) continue;
      ReleaseVolume(&track->outputVolume);
      track->outputDeviceId = out;
    }
  }
  if (!in.empty()) {
    for (CSoundDocument* track : tracks) {
      if (!track) continue;
      ReleaseVolume(&track->inputVolume);
      track->inputDeviceId = in;
    }
  }
}
