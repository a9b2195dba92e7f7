// bench_appdata_stream.exe: the worker's cost of sending one streamed block (16,384 samples)
// as one frame - recipients and PCM copied into the frame, one overlapped write - against the
// reference of writing the same bytes straight from the chunk in three writes (header,
// recipients, PCM), both into a pipe that a second thread drains.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "appdata/NamedPipeLink.h"
#include "appdata/PipeMessage.h"

namespace {

struct Drain {
  HANDLE pipe;
  static DWORD WINAPI Run(LPVOID p) {
    auto* d = static_cast<Drain*>(p);
    std::vector<uint8_t> buffer(1 << 16);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (;;) {
      DWORD got = 0;
      ResetEvent(ov.hEvent);
      if (!ReadFile(d->pipe, buffer.data(), DWORD(buffer.size()), nullptr, &ov) &&
          GetLastError() != ERROR_IO_PENDING)
        break;
      if (!GetOverlappedResult(d->pipe, &ov, &got, TRUE)) break;
    }
    CloseHandle(ov.hEvent);
    return 0;
  }
};

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b, LARGE_INTEGER f) {
  return double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
}

}  // namespace

int main() {
  const std::wstring name = L"\\\\.\\pipe\\qm-bench-stream-" + std::to_wstring(GetCurrentProcessId());
  HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
  HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  if (server == INVALID_HANDLE_VALUE || client == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "appdata_stream: no pipe\n");
    return 1;
  }
  Drain drain{server};
  HANDLE reader = CreateThread(nullptr, 0, Drain::Run, &drain, 0, nullptr);

  std::vector<int16_t> chunk(kStreamBlockSamples * 64);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = int16_t(i * 7);
  StationRecipient recipients[8];
  for (uint32_t i = 0; i < 8; ++i) recipients[i] = {i + 1, 0x0100000Au + (i << 24)};
  const int rounds = 2000;
  std::vector<uint8_t> frame;
  LARGE_INTEGER f, t0, t1, t2;
  QueryPerformanceFrequency(&f);

  QueryPerformanceCounter(&t0);
  bool ok = true;
  for (int r = 0; r < rounds; ++r) {
    const uint32_t offset = uint32_t(r % 63) * kStreamBlockSamples;
    BuildForwardFrame(frame, 0, offset, recipients, 8, chunk.data() + offset, kStreamBlockSamples * 2);
    ok &= WritePipeBytes(client, frame.data(), DWORD(frame.size()), 2000);
  }
  QueryPerformanceCounter(&t1);
  for (int r = 0; r < rounds; ++r) {
    const uint32_t offset = uint32_t(r % 63) * kStreamBlockSamples;
    // Reference: the frame's 54 header bytes, the recipients and the PCM straight from the chunk.
    ok &= WritePipeBytes(client, frame.data(), 54, 2000);
    ok &= WritePipeBytes(client, recipients, sizeof recipients, 2000);
    ok &= WritePipeBytes(client, chunk.data() + offset, kStreamBlockSamples * 2, 2000);
  }
  QueryPerformanceCounter(&t2);
  CloseHandle(client);
  WaitForSingleObject(reader, 5000);
  CloseHandle(reader);
  CloseHandle(server);

  const double one = Seconds(t0, t1, f) / rounds * 1e6, ref = Seconds(t1, t2, f) / rounds * 1e6;
  // A block is 16,384 samples at 44,100 Hz: about 371,519 us of recording.
  const double blockUs = kStreamBlockSamples * 1e6 / 44100.0;
  printf(
      "appdata_stream: frame_bytes=%zu us_per_frame=%.1f ref_three_writes_us=%.1f ratio_vs_ref=%.3f "
      "share_of_realtime=%.5f ok=%d\n",
      frame.size(), one, ref, one / ref, one / blockUs, ok ? 1 : 0);
  return ok ? 0 : 1;
}
