// Test support for the sound document: a fixture with a document on the shared fake engine, a
// collector for the notifications, and a builder for resampled blocks.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "audio/BufferRecord.h"
#include "audio/SoundWorks.h"
#include "media/document/SoundDocument.h"
#include "tests/support/FakeSoundEngine.h"
#include "tests/support/ScriptedPrompts.h"

// Every document of a test gets a temp folder of its own, so tests running side by side never
// clear each other's chunk files.
inline std::wstring UniqueTrackName(const wchar_t* stem) {
  static int n = 0;
  return std::wstring(stem) + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++n);
}

// Waits for a notification code from `doc` on this thread's queue; the notifications before it are dropped.
inline bool WaitForCode(const CSoundDocument* doc, WPARAM code, DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  MSG msg;
  while (GetTickCount64() < end) {
    while (PeekMessageW(&msg, nullptr, WM_SOUND_NOTIFY, WM_SOUND_NOTIFY, PM_REMOVE))
      if (msg.lParam == reinterpret_cast<LPARAM>(doc) && msg.wParam == code) return true;
    Sleep(10);
  }
  return false;
}

class DocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // make this thread's queue
    liveRecords = GetLiveBufferRecordCount();
    g_pfnCreateSoundEngine = MakeFakeEngine;
    doc = new CSoundDocument(GetCurrentThreadId(), UniqueTrackName(L"DocTest"), nullptr);
    engine = FakeEngine::last;
    doc->notifyTarget = NotifyTarget{GetCurrentThreadId(), nullptr, WM_SOUND_NOTIFY};
    doc->outputDeviceId = L"out";
    doc->inputDeviceId = L"in";
  }
  void TearDown() override {
    const std::wstring folder = doc ? doc->tempFolder : L"";
    delete doc;
    if (!folder.empty()) RemoveDirectoryW(folder.c_str());
    Codes();
    g_pfnCreateSoundEngine = nullptr;
    EXPECT_EQ(GetLiveBufferRecordCount(), liveRecords) << "buffer records leaked";
  }

  // The notification codes posted since the last call, in order.
  std::vector<int> Codes() {
    std::vector<int> codes;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_SOUND_NOTIFY, WM_SOUND_NOTIFY, PM_REMOVE)) {
      EXPECT_EQ(msg.lParam, reinterpret_cast<LPARAM>(doc));
      codes.push_back(int(msg.wParam));
    }
    return codes;
  }

  // A chunk in memory holding `frames` mono 16-bit frames counting up from `first`.
  CChunkInfo* AddChunk(uint32_t frames, int16_t first = 0) {
    int index = doc->NewChunk();
    EXPECT_GE(index, 0);
    CChunkInfo* chunk = doc->GetChunk(index);
    chunk->buffer = static_cast<uint8_t*>(malloc(frames * 2 + 1));
    for (uint32_t i = 0; i < frames; ++i) reinterpret_cast<int16_t*>(chunk->buffer)[i] = int16_t(first + i);
    chunk->used = chunk->capacity = frames * 2;
    chunk->frames = frames;
    return chunk;
  }

  // Hands the oldest queued packet back to the document as the worker does; false when none.
  bool ReturnPacket() {
    CBufferRecord* r = engine->Take();
    if (!r) return false;
    doc->OnSoundOut(&r);
    EXPECT_EQ(r, nullptr) << "the document did not consume its own packet";
    if (r) ReleaseBufferRecord(r);
    return true;
  }

  // What the dialog does once a call into the track has returned: the track's reports go up
  // through the prompt seam, outside every lock of the track.
  void ShowReports() {
    for (const TrackReport& r : doc->TakeReports())
      ShowPrompt(nullptr, r.text.c_str(), r.caption.c_str(), r.style);
  }

  // The texts of the boxes shown since the fixture began or prompts.Clear(), the track's
  // reports kept meanwhile included.
  std::vector<std::wstring> Reports() {
    ShowReports();
    std::vector<std::wstring> texts;
    for (const AskedPrompt& asked : prompts.Asked()) texts.push_back(asked.text);
    return texts;
  }

  ScriptedPrompts prompts;
  CSoundDocument* doc = nullptr;
  FakeEngine* engine = nullptr;
  LONG liveRecords = 0;
};

// A resampled block: mono 16-bit samples, as AppendWithGain receives it.
inline CBufferRecord* MakePcmBlock(const std::vector<int16_t>& samples) {
  const uint32_t bytes = uint32_t(samples.size() * 2);
  CBufferRecord* r = CreateBufferRecord(bytes + kCaptureBlockOverhead);
  r->payloadBytes = bytes;
  CaptureBlockHeader(r)->frameCount = uint32_t(samples.size());
  if (bytes) memcpy(CaptureBlockPayload(r), samples.data(), bytes);
  return r;
}

inline std::vector<int16_t> ChunkSamples(const CChunkInfo* chunk) {
  if (!chunk || !chunk->buffer) return {};
  const int16_t* s = reinterpret_cast<const int16_t*>(chunk->buffer);
  return std::vector<int16_t>(s, s + chunk->used / 2);
}
