// Helpers shared by the engine's source files; not for other subsystems.
#pragma once

#include <string>

#include "audio/SoundWorksImpl.h"

namespace engine {

// One line on the engine's log channel.
void Log(const char* text);
void Logf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A fixed first line, then the wide text in the OEM code page (also to the debugger).
void LogWithName(const char* first, const std::wstring& name);
// A line built as wide text: OEM code page for the log, wide to the debugger.
void LogWide(const std::wstring& text);

std::wstring FriendlyName(IMMDevice* device);

// Frees a stream context and everything it holds (COM clients, voice, decoder, resampler, blocks).
void ReleaseStreamContext(CStreamContext* context);
void AddRef(CStreamContext* context);
void Release(CStreamContext* context);
void AddRef(CAudioDevice* device);
void Release(CAudioDevice* device);

template <class T>
void SafeRelease(T*& p) {
  if (p) {
    p->Release();
    p = nullptr;
  }
}

}  // namespace engine
