// madll_decode [--one-cpu] IN.mp3 OUT.wav: decodes through madlldlib.dll, loaded with LoadLibraryW
// and called with OEM paths in 260-byte buffers, as the loading code does. --one-cpu first keeps
// the process on one processor. Prints the result and what the progress callback saw; the exit
// code is the decoder's result (100 and up: this tool failed).
#include "standins/madlldlib/MadllDecoder.h"

#include <cstdio>
#include <cwchar>

namespace {

uint32_t g_calls, g_lastFrames, g_lastRead, g_total;
bool g_ordered = true;

int WINAPI OnProgress(uint32_t frames, uint32_t bytesRead, uint32_t bytesTotal) {
  if (frames != g_lastFrames + 1 || bytesRead < g_lastRead || bytesRead > bytesTotal ||
      (g_calls && bytesTotal != g_total))
    g_ordered = false;
  ++g_calls;
  g_lastFrames = frames;
  g_lastRead = bytesRead;
  g_total = bytesTotal;
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && wcscmp(argv[1], L"--one-cpu") == 0) {
    DWORD_PTR process = 0, system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || !process ||
        !SetProcessAffinityMask(GetCurrentProcess(), process & ~(process - 1)))
      return 103;
    --argc;
    ++argv;
  }
  if (argc != 3 || wcslen(argv[1]) >= MAX_PATH || wcslen(argv[2]) >= MAX_PATH) {
    fprintf(stderr, "usage: madll_decode [--one-cpu] IN.mp3 OUT.wav (paths under 260 characters)\n");
    return 100;
  }
  char in[MAX_PATH], out[MAX_PATH];
  CharToOemW(argv[1], in);
  CharToOemW(argv[2], out);
  HMODULE dll = LoadLibraryW(MADLL_DLL_NAME);
  if (!dll) return 101;
  auto decode = reinterpret_cast<CbMpegAudioDecoderFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(dll, MADLL_DECODER_EXPORT)));
  if (!decode) return 102;
  int result = decode(in, out, 1, nullptr, OnProgress);
  printf("result=%d calls=%u frames=%u read=%u total=%u ordered=%d\n", result, g_calls, g_lastFrames,
         g_lastRead, g_total, g_ordered ? 1 : 0);
  return result;
}
