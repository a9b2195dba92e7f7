// One hour of mono recorded as fast as the Student track takes blocks (100 ms each, on a fake
// engine): the time it takes against the time of copying the same PCM into one block made in
// advance (measured in the same run), the peak private bytes it needs against the PCM size, and
// the bytes that growing the chunk moved against the PCM size. Prints one line:
//   take_growth: pcm_mb=... time_s=... reference_s=... time_ratio=... peak_private_mb=...
//     memory_ratio=... copied_mb=... copy_ratio=...
#include <windows.h>
#include <psapi.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/Prompt.h"
#include "media/document/SoundDocument.h"
#include "tests/support/FakeSoundEngine.h"
#include "tests/support/BenchClock.h"

int main() {
  constexpr uint32_t kFrames = 4410;   // one 100 ms block
  constexpr uint32_t kBlocks = 36000;  // one hour
  const uint64_t pcmBytes = uint64_t(kFrames) * kBlocks * 2;
  std::vector<float> samples(kFrames);
  for (uint32_t i = 0; i < kFrames; ++i) samples[i] = float(0.3 * std::sin(2 * M_PI * 440.0 * i / 44100.0));

  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  g_pfnCreateSoundEngine = MakeFakeEngine;
  g_pfnShowPrompt = [](HWND, LPCWSTR, LPCWSTR, UINT) { return IDOK; };
  auto* doc = new CSoundDocument(GetCurrentThreadId(), L"BenchTake" + std::to_wstring(GetCurrentProcessId()),
                                 nullptr);
  doc->inputDeviceId = L"in";
  doc->captureMask = 1;
  doc->ToggleRecording();
  const uint64_t base = PrivateBytes(false);
  const uint64_t copiedBefore = CSoundDocument::GetGrowthCopiedBytes();
  const double start = Seconds();
  for (uint32_t b = 0; b < kBlocks && doc->recording; ++b) {
    doc->OnSoundIn(MakeFloatBlock(0, samples));
    if ((b & 1023) == 0)
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      }
  }
  const double elapsed = Seconds() - start;
  const uint64_t peak = PrivateBytes(true);
  const uint64_t copied = CSoundDocument::GetGrowthCopiedBytes() - copiedBefore;
  const CChunkInfo* chunk = doc->GetCurrentChunk();
  const bool whole = chunk && uint64_t(chunk->used) == pcmBytes;
  doc->ToggleRecording();
  delete doc;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
  // Reference, after the take so that the peak above is the take's own: the same PCM copied
  // block by block into one buffer made beforehand.
  double reference = 0;
  {
    std::vector<int16_t> pcm(kFrames);
    for (uint32_t i = 0; i < kFrames; ++i) pcm[i] = int16_t(samples[i] * 32767);
    auto* target = static_cast<uint8_t*>(VirtualAlloc(nullptr, size_t(pcmBytes), MEM_COMMIT, PAGE_READWRITE));
    if (!target) {
      printf("take_growth: failed reference allocation\n");
      return 1;
    }
    const double from = Seconds();
    for (uint32_t b = 0; b < kBlocks; ++b)
      memcpy(target + uint64_t(b) * kFrames * 2, pcm.data(), kFrames * 2);
    reference = Seconds() - from;
    VirtualFree(target, 0, MEM_RELEASE);
  }

  const double mb = 1024.0 * 1024.0;
  const double grown = peak > base ? double(peak - base) : 0;
  printf(
      "take_growth: pcm_mb=%.1f kept_whole=%d time_s=%.2f reference_s=%.3f time_ratio=%.1f "
      "peak_private_mb=%.1f memory_ratio=%.2f copied_mb=%.1f copy_ratio=%.2f\n",
      pcmBytes / mb, whole ? 1 : 0, elapsed, reference, reference > 0 ? elapsed / reference : 0, grown / mb,
      grown / double(pcmBytes), copied / mb, double(copied) / double(pcmBytes));
  return whole ? 0 : 1;
}
