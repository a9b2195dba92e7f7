// One hour of mono recorded as fast as the Student track takes blocks (100 ms each, on a fake
// engine) and saved as a package. The save's time against encoding the same PCM straight from
// one block in memory through the same encoder into a file (measured in the same run); the peak
// private bytes of record and save against the PCM size; the bytes that growing the chunk moved
// against the PCM size. Prints one line:
//   take_save: pcm_mb=... record_s=... save_s=... reference_s=... save_ratio=...
//     peak_private_mb=... memory_ratio=... copied_mb=... copy_ratio=... saved=...
#include <windows.h>
#include <psapi.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/Prompt.h"
#include "media/document/SoundDocument.h"
#include "media/soundfile/SoundFile.h"
#include "tests/support/FakeSoundEngine.h"
#include "tests/support/BenchClock.h"

namespace {

// The encoder fed from one block of PCM in calls of the size it asks for, written to a file.
double EncodeReference(const uint8_t* pcm, uint64_t bytes, const std::wstring& path) {
  const LameEncCalls& lame = LameEncLibrary();
  LameEncConfig config = {};
  config.kind = LAMEENC_KIND_MP3;
  config.samplesPerSecond = 44100;
  config.mode = LAMEENC_MODE_MONO;
  config.bitRateKbps = 64;
  uint32_t perCall = 0, outputSize = 0;
  LameEncStream stream = nullptr;
  if (!lame.open || lame.open(&config, &perCall, &outputSize, &stream) != LAMEENC_OK) return 0;
  std::vector<uint8_t> output(outputSize);
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  const double from = Seconds();
  const auto* samples = reinterpret_cast<const int16_t*>(pcm);
  const uint64_t total = bytes / 2;
  for (uint64_t done = 0; done < total;) {
    const uint32_t n = uint32_t(std::min<uint64_t>(perCall, total - done));
    uint32_t produced = 0, written = 0;
    lame.encode(stream, n, samples + done, output.data(), &produced);
    WriteFile(file, output.data(), produced, reinterpret_cast<DWORD*>(&written), nullptr);
    done += n;
  }
  uint32_t produced = 0, written = 0;
  lame.flush(stream, output.data(), &produced);
  WriteFile(file, output.data(), produced, reinterpret_cast<DWORD*>(&written), nullptr);
  lame.close(stream);
  CloseHandle(file);
  return Seconds() - from;
}

}  // namespace

int main() {
  constexpr uint32_t kFrames = 4410;   // one 100 ms block
  constexpr uint32_t kBlocks = 36000;  // one hour
  const uint64_t pcmBytes = uint64_t(kFrames) * kBlocks * 2;
  std::vector<float> samples(kFrames);
  for (uint32_t i = 0; i < kFrames; ++i) samples[i] = float(0.3 * std::sin(2 * M_PI * 440.0 * i / 44100.0));

  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring stem = std::wstring(temp) + L"qm_take_save_" + std::to_wstring(GetCurrentProcessId());

  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  g_pfnCreateSoundEngine = MakeFakeEngine;
  g_pfnShowPrompt = [](HWND, LPCWSTR text, LPCWSTR, UINT) {
    fprintf(stderr, "message: %ls\n", text);
    return IDOK;
  };
  auto* doc = new CSoundDocument(GetCurrentThreadId(), L"BenchSave" + std::to_wstring(GetCurrentProcessId()),
                                 nullptr);
  doc->inputDeviceId = L"in";
  doc->captureMask = 1;
  const uint64_t base = PrivateBytes(false);
  const uint64_t copiedBefore = CSoundDocument::GetGrowthCopiedBytes();
  doc->ToggleRecording();
  const double recordStart = Seconds();
  for (uint32_t b = 0; b < kBlocks && doc->recording; ++b) {
    doc->OnSoundIn(MakeFloatBlock(0, samples));
    if ((b & 1023) == 0)
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      }
  }
  doc->ToggleRecording();
  const double recorded = Seconds() - recordStart;
  const uint64_t copied = CSoundDocument::GetGrowthCopiedBytes() - copiedBefore;
  const CChunkInfo* chunk = doc->GetCurrentChunk();
  const bool whole = chunk && uint64_t(chunk->used) == pcmBytes;

  const double saveStart = Seconds();
  const bool saved = whole && doc->SaveSoundFile(stem + L".qpk");
  const double save = Seconds() - saveStart;
  const uint64_t peak = PrivateBytes(true);

  // Reference, after the save so that the peak above is the track's own: the recorded PCM encoded
  // straight from its block.
  double reference = 0;
  if (saved) {
    std::vector<uint8_t> pcm(chunk->buffer, chunk->buffer + chunk->used);
    delete doc;
    doc = nullptr;
    reference = EncodeReference(pcm.data(), pcm.size(), stem + L".mp3");
  }
  delete doc;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
  DeleteFileW((stem + L".qpk").c_str());
  DeleteFileW((stem + L".mp3").c_str());

  const double mb = 1024.0 * 1024.0;
  const double grown = peak > base ? double(peak - base) : 0;
  printf(
      "take_save: pcm_mb=%.1f record_s=%.2f save_s=%.2f reference_s=%.2f save_ratio=%.2f "
      "peak_private_mb=%.1f memory_ratio=%.2f copied_mb=%.1f copy_ratio=%.2f saved=%d\n",
      pcmBytes / mb, recorded, save, reference, reference > 0 ? save / reference : 0, grown / mb,
      grown / double(pcmBytes), copied / mb, double(copied) / double(pcmBytes), saved ? 1 : 0);
  return saved ? 0 : 1;
}
