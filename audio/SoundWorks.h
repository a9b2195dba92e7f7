// The audio engine: the recorder's only door to sound hardware. Each track owns one engine, which
// captures through WASAPI (shared mode, polled every 20 ms) and plays through XAudio2. This is what
// the engine's users see; its workings are in audio/SoundWorksImpl.h, for audio/ alone.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "audio/BufferRecord.h"

// Thread messages of the engine to its owner's worker.
constexpr UINT WM_SOUND_OUT = 1167;  // wParam: a played CBufferRecord, owned by the receiver
// wParam: a captured CBufferRecord; null ends a recording, and lParam then carries the stream value
// (streamValues[0] when the streams were stopped) of the streams that ended, as their blocks carry it.
constexpr UINT WM_SOUND_IN = 1168;

// The sound an engine can play (XAudio2's limits for a source voice). The loader takes no file
// outside them, so every track that loads can be heard.
constexpr uint32_t kMinPlayRate = 1000;
constexpr uint32_t kMaxPlayRate = 200000;
constexpr uint32_t kMaxPlayChannels = 64;

// Where an engine posts finished blocks: PostThreadMessageW to threadId (the window is not used).
struct NotifyTarget {
  DWORD threadId = 0;
  HWND window = nullptr;
  UINT message = 0;
};

// (endpoint id, friendly name)
using DeviceList = std::vector<std::pair<std::wstring, std::wstring>>;

class CSoundWorksBase {
 public:
  virtual ~CSoundWorksBase() = default;
  virtual DeviceList GetRenderDevices() = 0;
  virtual DeviceList GetCaptureDevices() = 0;
  virtual void StartCapture(std::wstring id, int32_t streamIndex, int32_t tag) = 0;
  virtual void StopCapture(std::wstring id, int32_t streamIndex) = 0;
  // False when the device could not be opened for playing (no XAudio2, no mastering voice); what
  // the user should be told then waits in TakeFailureText.
  virtual bool StartRender(std::wstring id, int32_t streamIndex) = 0;
  virtual void StopRender(std::wstring id, int32_t streamIndex) = 0;
  // Takes ownership of the record. True when at least one device queued it (each such device
  // sends a clone back as WM_SOUND_OUT); false when none did, so the caller ends playback.
  virtual bool PlayBlock(CBufferRecord* record, int32_t unused) = 0;
  virtual void Idle() = 0;
  virtual void SetSoundFormat(uint32_t channels, uint32_t sampleRate, uint32_t bitsPerSample,
                              uint32_t bufferMs) = 0;
  virtual uint32_t GetCaptureDeviceCount() = 0;
  virtual uint32_t GetRenderDeviceCount() = 0;
  // Call after the streams of a recording were stopped: posts the null WM_SOUND_IN (lParam the
  // value) behind every block those streams handed over. True when the marker will come; an
  // engine without capture (the default) posts nothing and answers false.
  virtual bool PostCaptureEnd(uint32_t streamValue) { return false; }
  virtual void SetTagKeys01(uint32_t value0, uint32_t value1);
  virtual void SetTagKeys23(uint32_t value2, uint32_t value3);
  virtual void StartEngine() = 0;
  virtual uint32_t GetZero() = 0;
  virtual uint32_t GetSampleBitsConstant() = 0;
  // Where played blocks (WM_SOUND_OUT) and captured blocks (WM_SOUND_IN) are posted; set by the
  // owning track right after construction.
  virtual void SetNotifyTargets(const NotifyTarget& played, const NotifyTarget& captured);
  // (id, friendly name) of the default endpoint for the communications role; 0 render, 1 capture.
  // Both empty when the engine knows no default.
  virtual std::pair<std::wstring, std::wstring> GetDefaultDevice(int dataFlow);
  // The engine shows no box: a failure the user must hear of (a device that cannot play) is kept
  // here, with its caption, for the caller to show once it holds no lock. Taken once; an empty
  // text when there is none. Any thread.
  virtual std::pair<std::wstring, std::wstring> TakeFailureText() { return {}; }

  uint32_t bitsPerSample = 0;
  double bufferMs = 0;
  uint32_t sampleRate = 0;
  uint32_t channels = 0;
  uint32_t framesPerBuffer = 0;
  uint32_t bytesPerBuffer = 0;
  uint32_t blockAlign = 0;
  uint32_t streamValues[4] = {};
  NotifyTarget playedTarget;
  NotifyTarget capturedTarget;
};

// The engine constructor's factory. Tracks create their engine through CreateSoundEngine, so tests
// can put a fake (derived from CSoundWorksBase) in its place by setting g_pfnCreateSoundEngine;
// null makes the real engine.
using PFN_CreateSoundEngine = CSoundWorksBase* (*)(void* ownerData);
extern PFN_CreateSoundEngine g_pfnCreateSoundEngine;
CSoundWorksBase* CreateSoundEngine(void* ownerData);
