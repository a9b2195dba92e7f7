// Shared by the engine tests: the engine's log lines, thread-message collection and play blocks.
#pragma once

#include <windows.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/BufferRecord.h"
#include "audio/SoundWorksImpl.h"
#include "common/Locks.h"

namespace testing_support {

// Collects what the engine logs (instead of the log writer thread).
class LogCapture {
 public:
  LogCapture() {
    Instance() = this;
    previous_ = g_pfnSoundLogLine;
    g_pfnSoundLogLine = [](int, const char* text) {
      if (LogCapture* self = Instance()) {
        std::lock_guard<Mutex> lock(self->mutex_);
        self->lines_.emplace_back(text);
      }
    };
  }
  ~LogCapture() {
    g_pfnSoundLogLine = previous_;
    Instance() = nullptr;
  }
  std::vector<std::string> Lines() {
    std::lock_guard<Mutex> lock(mutex_);
    return lines_;
  }
  int Count(const std::string& text) {
    int n = 0;
    for (const auto& line : Lines()) n += line == text;
    return n;
  }
  bool Has(const std::string& text) { return Count(text) > 0; }
  bool HasPrefix(const std::string& prefix) {
    for (const auto& line : Lines())
      if (line.rfind(prefix, 0) == 0) return true;
    return false;
  }
  void Clear() {
    std::lock_guard<Mutex> lock(mutex_);
    lines_.clear();
  }
  std::string Joined() {
    std::string all;
    for (const auto& line : Lines()) all += line + " | ";
    return all;
  }

 private:
  static LogCapture*& Instance() {
    static LogCapture* instance = nullptr;
    return instance;
  }
  Mutex mutex_;
  std::vector<std::string> lines_;
  PFN_SoundLogLine previous_;
};

inline void EnsureQueue() {
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

// Takes thread messages `message` until `done` says so or the time is up; returns their wParams.
inline std::vector<WPARAM> Collect(UINT message, DWORD timeoutMs,
                                   const std::function<bool(const std::vector<WPARAM>&)>& done) {
  std::vector<WPARAM> got;
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (!done(got)) {
    MSG msg;
    if (PeekMessageW(&msg, nullptr, message, message, PM_REMOVE)) {
      got.push_back(msg.wParam);
      continue;
    }
    if (GetTickCount64() >= end) break;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_POSTMESSAGE);
  }
  return got;
}

inline void ReleaseAll(std::vector<WPARAM>& records) {
  for (WPARAM w : records) {
    auto* r = reinterpret_cast<CBufferRecord*>(w);
    ReleaseBufferRecord(r);
  }
  records.clear();
}

// Drops what is still queued for this thread (records released).
inline void DrainMessages(UINT message) {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, message, message, PM_REMOVE)) {
    auto* r = reinterpret_cast<CBufferRecord*>(msg.wParam);
    ReleaseBufferRecord(r);
  }
}

// A play block: header at byte 0, `frames` frames of a sine of `frequency` Hz (amplitude 0.5).
inline CBufferRecord* MakePlayBlock(uint32_t channels, uint32_t rate, uint32_t bits, uint32_t frames,
                                    uint32_t streamKey = 1, uint32_t serial = 7, double frequency = 440,
                                    uint64_t startFrame = 0) {
  const uint32_t payload = frames * channels * (bits / 8);
  CBufferRecord* r = CreateBufferRecord(payload + kBufferHeaderBytes);
  if (!r) return nullptr;
  r->kind = kBufferKindAudio;
  r->documentSerial = serial;
  BufferBlockHeader* h = PlayBlockHeader(r);
  memset(h, 0, sizeof *h);
  h->channels = channels;
  h->sampleRate = rate;
  h->streamKey = streamKey;
  h->bitsPerSample = bits;
  h->frameCount = frames;
  h->timestamp = GetTickCount64();
  uint8_t* p = r->data->data + kBufferHeaderBytes;
  for (uint32_t i = 0; i < frames; ++i) {
    double v = 0.5 * std::sin(2 * M_PI * frequency * double(startFrame + i) / rate);
    for (uint32_t c = 0; c < channels; ++c) {
      if (bits == 16) {
        int16_t s = int16_t(std::lround(v * 32767));
        memcpy(p, &s, 2);
      } else if (bits == 32) {
        float f = float(v);
        memcpy(p, &f, 4);
      } else if (bits == 8) {
        *p = uint8_t(128 + std::lround(v * 127));
      } else if (bits == 24) {
        int32_t s = int32_t(std::lround(v * 8388607));
        p[0] = uint8_t(s);
        p[1] = uint8_t(s >> 8);
        p[2] = uint8_t(s >> 16);
      }
      p += bits / 8;
    }
  }
  return r;
}

// Dominant-frequency check: the power of a Goertzel filter at `frequency` against neighbours.
inline double GoertzelPower(const std::vector<float>& x, double rate, double frequency) {
  const double w = 2 * M_PI * frequency / rate;
  const double c = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (float v : x) {
    double s0 = v + c * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return s1 * s1 + s2 * s2 - c * s1 * s2;
}

inline double Rms(const std::vector<float>& x) {
  double sum = 0;
  for (float v : x) sum += double(v) * v;
  return x.empty() ? 0 : std::sqrt(sum / double(x.size()));
}

// Ends the process (exit code 3) when the count it watches stays the same for `limitMs`, so that
// a deadlock fails the test at once instead of at its time-out; looks every `pollMs`. Stops when
// it goes out of scope, an early return of the test too.
class DeadlockWatchdog {
 public:
  DeadlockWatchdog(const std::atomic<int>& progress, DWORD limitMs, DWORD pollMs)
      : thread_([this, &progress, limitMs, pollMs] {
          int last = -1;
          ULONGLONG since = GetTickCount64();
          while (!done_) {
            Sleep(pollMs);
            if (progress != last) {
              last = progress;
              since = GetTickCount64();
            } else if (GetTickCount64() - since > limitMs) {
              fprintf(stderr, "deadlock: no progress for %lu s\n",
                      static_cast<unsigned long>(limitMs / 1000));
              fflush(stderr);
              TerminateProcess(GetCurrentProcess(), 3);
            }
          }
        }) {}
  ~DeadlockWatchdog() {
    done_ = true;
    thread_.join();
  }
  DeadlockWatchdog(const DeadlockWatchdog&) = delete;
  DeadlockWatchdog& operator=(const DeadlockWatchdog&) = delete;

 private:
  std::atomic<bool> done_{false};  // before thread_: set up before the thread starts
  std::thread thread_;
};

}  // namespace testing_support
