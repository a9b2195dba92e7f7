// CPU time the engine spends per second of captured and converted audio, and per second of
// playback, against real time measured in the same run. Runs under the harness (PulseAudio null
// devices): capture from "mic", playback on "speakers". Prints one line per measurement:
//   audio_capture: audio_s=... real_s=... engine_cpu_ms=... cpu_ms_per_audio_s=... engine_cpu_ratio=...
//   audio_playback: ...
#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "audio/SoundWorksImpl.h"
#include "tests/support/BenchClock.h"

namespace {

double ThreadCpuMs(HANDLE thread) {
  FILETIME created, exited, kernel, user;
  if (!thread || !GetThreadTimes(thread, &created, &exited, &kernel, &user)) return 0;
  auto ms = [](const FILETIME& t) {
    return (double(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime) / 1e4;
  };
  return ms(kernel) + ms(user);
}

double ProcessCpuMs() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ms = [](const FILETIME& t) {
    return (double(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime) / 1e4;
  };
  return ms(kernel) + ms(user);
}

std::wstring IdNamed(const DeviceList& list, const wchar_t* name) {
  for (const auto& [id, friendly] : list)
    if (friendly == name) return id;
  return L"";
}

CSoundWorksWAS* NewEngine() {
  auto* e = new CSoundWorksWAS(nullptr);
  e->SetSoundFormat(1, 44100, 16, 100);
  e->voiceCallback.target = {GetCurrentThreadId(), nullptr, WM_SOUND_OUT};
  e->captureTarget = {GetCurrentThreadId(), nullptr, WM_SOUND_IN};
  e->StartEngine();
  return e;
}

double MainThreadCpuMs() {
  HANDLE self = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  double ms = ThreadCpuMs(self);
  CloseHandle(self);
  return ms;
}

int BenchCapture(double seconds) {
  CSoundWorksWAS* e = NewEngine();
  std::wstring mic = IdNamed(e->GetCaptureDevices(), L"mic");
  if (mic.empty()) return 1;
  e->StartCapture(mic, 0, 1);
  if (e->GetCaptureDeviceCount() != 1) return 1;
  // Wait for the first block: the stream's start-up is not part of the steady cost.
  uint64_t frames = 0;
  MSG msg;
  const ULONGLONG firstBy = GetTickCount64() + 5000;
  while (frames == 0 && GetTickCount64() < firstBy) {
    if (PeekMessageW(&msg, nullptr, WM_SOUND_IN, WM_SOUND_IN, PM_REMOVE) && msg.wParam) {
      auto* r = reinterpret_cast<CBufferRecord*>(msg.wParam);
      frames += CaptureBlockHeader(r)->frameCount;
      ReleaseBufferRecord(r);
    } else {
      Sleep(5);
    }
  }
  frames = 0;
  const double cpu0 = ThreadCpuMs(e->pollThread) + ThreadCpuMs(e->convertThread) + MainThreadCpuMs();
  const double proc0 = ProcessCpuMs();
  const double t0 = Seconds();
  while (Seconds() - t0 < seconds) {
    if (PeekMessageW(&msg, nullptr, WM_SOUND_IN, WM_SOUND_IN, PM_REMOVE)) {
      auto* r = reinterpret_cast<CBufferRecord*>(msg.wParam);
      if (r) frames += CaptureBlockHeader(r)->frameCount;
      ReleaseBufferRecord(r);
    } else {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_POSTMESSAGE);
    }
  }
  const double real = Seconds() - t0;
  const double cpu = ThreadCpuMs(e->pollThread) + ThreadCpuMs(e->convertThread) + MainThreadCpuMs() - cpu0;
  const double proc = ProcessCpuMs() - proc0;
  e->StopCapture(mic, 0);
  delete e;
  const double audio = double(frames) / 44100;
  printf(
      "audio_capture: audio_s=%.2f real_s=%.2f engine_cpu_ms=%.1f cpu_ms_per_audio_s=%.2f "
      "engine_cpu_ratio=%.5f "
      "process_cpu_ratio=%.5f audio_to_real=%.3f\n",
      audio, real, cpu, audio > 0 ? cpu / audio : 0, cpu / (real * 1000), proc / (real * 1000), audio / real);
  return audio > 0 ? 0 : 1;
}

int BenchPlayback(double seconds) {
  CSoundWorksWAS* e = NewEngine();
  std::wstring speakers = IdNamed(e->GetRenderDevices(), L"speakers");
  if (speakers.empty() || !e->StartRender(speakers, 0)) return 1;
  std::vector<int16_t> pcm(4410);
  for (size_t i = 0; i < pcm.size(); ++i)
    pcm[i] = int16_t(8000 * std::sin(2 * M_PI * 441 * double(i) / 44100));
  auto block = [&] {
    CBufferRecord* r = CreateBufferRecord(uint32_t(pcm.size() * 2) + kBufferHeaderBytes);
    r->kind = kBufferKindAudio;
    BufferBlockHeader* h = PlayBlockHeader(r);
    memset(h, 0, sizeof *h);
    h->channels = 1;
    h->sampleRate = 44100;
    h->streamKey = 1;
    h->bitsPerSample = 16;
    h->frameCount = uint32_t(pcm.size());
    memcpy(r->data->data + kBufferHeaderBytes, pcm.data(), pcm.size() * 2);
    return r;
  };
  const double cpu0 = ThreadCpuMs(e->renderThread) + MainThreadCpuMs();
  const double proc0 = ProcessCpuMs();
  const double t0 = Seconds();
  double inPlayBlock = 0;
  int returned = 0;
  auto play = [&] {
    const double s = Seconds();
    e->PlayBlock(block(), 0);
    inPlayBlock += Seconds() - s;
  };
  play();
  play();
  MSG msg;
  while (Seconds() - t0 < seconds) {
    if (PeekMessageW(&msg, nullptr, WM_SOUND_OUT, WM_SOUND_OUT, PM_REMOVE)) {
      auto* r = reinterpret_cast<CBufferRecord*>(msg.wParam);
      ReleaseBufferRecord(r);
      ++returned;
      play();
    } else {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_POSTMESSAGE);
    }
  }
  const double real = Seconds() - t0;
  const double cpu = ThreadCpuMs(e->renderThread) + MainThreadCpuMs() - cpu0;
  const double proc = ProcessCpuMs() - proc0;
  e->StopRender(speakers, 0);
  delete e;
  const double audio = returned * 0.1;
  printf(
      "audio_playback: audio_s=%.2f real_s=%.2f engine_cpu_ms=%.1f cpu_ms_per_audio_s=%.2f "
      "engine_cpu_ratio=%.5f "
      "playblock_wall_ratio=%.5f process_cpu_ratio=%.5f audio_to_real=%.3f\n",
      audio, real, cpu, audio > 0 ? cpu / audio : 0, cpu / (real * 1000), inPlayBlock / real,
      proc / (real * 1000), audio / real);
  return returned > 0 ? 0 : 1;
}

}  // namespace

int main() {
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  int rc = BenchCapture(10);
  rc |= BenchPlayback(10);
  fflush(stdout);
  return rc;
}
