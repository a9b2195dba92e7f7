// Lines per second through the log channel (stamp, format, append with the trim at the limit),
// against formatting the same lines into a plain growing string in the same run; and lines per
// second posted from four threads through the writer thread, end to end.
#include <windows.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/LogManager.h"

namespace {
double Seconds(LARGE_INTEGER a, LARGE_INTEGER b) {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
}
LARGE_INTEGER Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t;
}
}  // namespace

int main() {
  const int lines = 400000;
  const char* text = "Capture stream 1 opened: 44100 Hz, 2 channels, float32, 100 ms blocks";
  wchar_t tmp[MAX_PATH];
  GetTempPathW(MAX_PATH, tmp);

  // Reference: the same stamp and format into a string that is simply cleared at 1 MiB.
  LARGE_INTEGER a = Now();
  std::string plain;
  plain.reserve(2u << 20);
  char line[4096];
  for (int i = 0; i < lines; ++i) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    int n = snprintf(line, sizeof line, "%02u.%02u.%02u | %02u:%02u:%02u:%03u | %s\r\n", t.wDay, t.wMonth,
                     t.wYear, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, text);
    if (plain.size() + n > (1u << 20)) plain.clear();
    plain.append(line, n);
  }
  double refSeconds = Seconds(a, Now());

  double channelSeconds;
  {
    CLogFile log(L"bench.log", L"Bench", tmp);
    a = Now();
    for (int i = 0; i < lines; ++i) log.Write(text);
    channelSeconds = Seconds(a, Now());
  }

  // End to end: four threads post, the writer stamps and appends; timed until the writer is done.
  InitLogChannels();
  a = Now();
  std::vector<std::thread> threads;
  std::vector<long> delivered(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      // A full writer queue refuses a post: count only the lines handed over.
      for (int i = 0; i < lines / 4; ++i) delivered[t] += PostLogLine(LOG_SOUND, text) ? 1 : 0;
    });
  }
  for (auto& t : threads) t.join();
  ShutdownLogChannels();
  double postedSeconds = Seconds(a, Now());

  long handed = delivered[0] + delivered[1] + delivered[2] + delivered[3];
  double ref = lines / refSeconds, channel = lines / channelSeconds, posted = handed / postedSeconds;
  printf(
      "log_writer: channel_lines_per_s=%.0f posted_lines_per_s=%.0f refused_posts=%ld "
      "reference_lines_per_s=%.0f "
      "channel_ratio=%.3f posted_ratio=%.3f\n",
      channel, posted, long(lines) - handed, ref, channel / ref, posted / ref);
  return 0;
}
