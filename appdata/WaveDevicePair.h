#pragma once

#include <string>

// The output and input device ids and the per-station file that keeps them.
struct WaveDevicePair {
  std::wstring WaveDeviceOut;
  std::wstring WaveDeviceIn;
  wchar_t settingsPath[260] = {};

  // Ids found as strings under "/Wave" replace the current ones; anything else leaves them.
  void LoadWaveDeviceSettings();
  // {"Wave": {"WaveDeviceIn": ..., "WaveDeviceOut": ...}} in the ANSI code page.
  void SaveWaveDeviceSettings();
};
