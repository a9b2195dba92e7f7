// What the in-process window tests and the black-box tests share: serving this thread's
// messages while waiting, and small mono sound files to open.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "tests/support/TestFiles.h"

// Dispatches every message waiting for this thread.
inline void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// Serves this thread's messages until `done` holds or timeoutMs passed.
template <class F>
bool PumpUntil(F done, DWORD timeoutMs = 30000) {
  return WaitUntil(
      [&] {
        Pump();
        return done();
      },
      timeoutMs);
}

// A 44.1 kHz mono 16-bit WAV of `frames` frames whose sample i is sample(i).
template <class F>
std::string MonoWavBytes(uint32_t frames, F sample) {
  std::string out;
  auto u32 = [&](uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.append(reinterpret_cast<const char*>(&v), 2); };
  out += "RIFF";
  u32(36 + frames * 2);
  out += "WAVEfmt ";
  u32(16);
  u16(1);
  u16(1);
  u32(44100);
  u32(88200);
  u16(2);
  u16(16);
  out += "data";
  u32(frames * 2);
  for (uint32_t i = 0; i < frames; ++i) u16(static_cast<uint16_t>(sample(i)));
  return out;
}
