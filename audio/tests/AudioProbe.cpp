// A small Windows program that drives the engine on the real (Wine) devices for the Linux-side
// checks in wine_audio_test.py:
//   audio_probe capture NAME SECONDS OUT             float32 mono 44,100 Hz of the endpoint NAME
//   audio_probe capture2 NAME_A NAME_B SECONDS OUT_A OUT_B   two streams, split by source key
//   audio_probe play SECONDS FREQUENCY               a 16-bit tone through XAudio2
//   audio_probe loop NAME SECONDS                    what NAME captures is played back at once
//   audio_probe no-server                            (no audio server) an output fails cleanly
// Endpoints are chosen by their exact friendly name. Prints one line of figures; exit code 0 on success.
#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "audio/SoundWorksImpl.h"
#include "common/Prompt.h"

namespace {

std::wstring Widen(const char* s) {
  std::wstring w;
  for (; *s; ++s) w += wchar_t(static_cast<unsigned char>(*s));
  return w;
}

std::wstring FindId(const DeviceList& list, const std::wstring& name) {
  std::wstring id;
  int matches = 0;
  for (const auto& [deviceId, friendly] : list) {
    if (friendly == name) {
      id = deviceId;
      ++matches;
    }
  }
  if (matches != 1) {
    fprintf(stderr, "%d endpoints named '%ls' among:\n", matches, name.c_str());
    for (const auto& [deviceId, friendly] : list)
      fprintf(stderr, "  %ls  %ls\n", deviceId.c_str(), friendly.c_str());
    return L"";
  }
  return id;
}

CSoundWorksWAS* NewEngine(uint32_t channels, uint32_t rate) {
  auto* engine = new CSoundWorksWAS(nullptr);
  engine->SetSoundFormat(channels, rate, 16, 100);
  engine->voiceCallback.target = {GetCurrentThreadId(), nullptr, WM_SOUND_OUT};
  engine->captureTarget = {GetCurrentThreadId(), nullptr, WM_SOUND_IN};
  engine->StartEngine();
  return engine;
}

CBufferRecord* PlayBlockOf(const void* samples, uint32_t frames, uint32_t bits, uint32_t rate) {
  const uint32_t bytes = frames * bits / 8;
  CBufferRecord* r = CreateBufferRecord(bytes + kBufferHeaderBytes);
  if (!r) return nullptr;
  r->kind = kBufferKindAudio;
  r->documentSerial = 1;
  BufferBlockHeader* h = PlayBlockHeader(r);
  memset(h, 0, sizeof *h);
  h->channels = 1;
  h->sampleRate = rate;
  h->streamKey = 1;
  h->bitsPerSample = bits;
  h->frameCount = frames;
  h->timestamp = GetTickCount64();
  memcpy(r->data->data + kBufferHeaderBytes, samples, bytes);
  return r;
}

// Takes WM_SOUND_IN/WM_SOUND_OUT until `until` (tick count), handing each to `handle`.
template <class F>
void Pump(ULONGLONG until, F handle) {
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) handle(msg);
    ULONGLONG now = GetTickCount64();
    if (now >= until) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, DWORD(until - now), QS_ALLINPUT);
  }
}

int Capture(const std::vector<std::wstring>& names, double seconds, const std::vector<const char*>& outs) {
  CSoundWorksWAS* engine = NewEngine(1, 44100);
  DeviceList list = engine->GetCaptureDevices();
  std::vector<std::wstring> ids;
  for (const auto& n : names) {
    ids.push_back(FindId(list, n));
    if (ids.back().empty()) return 2;
  }
  for (size_t i = 0; i < ids.size(); ++i) engine->StartCapture(ids[i], 0, i == 0 ? 1 : 3);
  if (engine->GetCaptureDeviceCount() != ids.size()) {
    fprintf(stderr, "only %u of %u streams opened\n", engine->GetCaptureDeviceCount(), unsigned(ids.size()));
    return 3;
  }
  std::map<uint32_t, std::vector<float>> bySource;
  int blocks = 0, markers = 0;
  bool badHeader = false;
  auto take = [&](const MSG& msg) {
    if (msg.message != WM_SOUND_IN) return;
    auto* r = reinterpret_cast<CBufferRecord*>(msg.wParam);
    if (!r) {
      ++markers;
      return;
    }
    ++blocks;
    const BufferBlockHeader* h = CaptureBlockHeader(r);
    if (h->channels != 1 || h->sampleRate != 44100 || h->encoding != 1 || r->kind != 6) badHeader = true;
    const float* p = reinterpret_cast<const float*>(CaptureBlockPayload(r));
    bySource[h->sourceKey].insert(bySource[h->sourceKey].end(), p, p + h->frameCount);
    ReleaseBufferRecord(r);
  };
  Pump(GetTickCount64() + ULONGLONG(seconds * 1000), take);
  for (const auto& id : ids) engine->StopCapture(id, 0);
  const ULONGLONG end = GetTickCount64() + 3000;
  while (markers == 0 && GetTickCount64() < end) Pump(GetTickCount64() + 20, take);
  delete engine;

  printf("blocks=%d markers=%d sources=%u", blocks, markers, unsigned(bySource.size()));
  for (auto& [key, samples] : bySource) printf(" key%u_frames=%u", key, unsigned(samples.size()));
  printf(" live_records=%ld\n", GetLiveBufferRecordCount());
  for (size_t i = 0; i < outs.size(); ++i) {
    FILE* f = fopen(outs[i], "wb");
    if (!f) return 4;
    auto& samples = bySource[uint32_t(i)];
    fwrite(samples.data(), sizeof(float), samples.size(), f);
    fclose(f);
  }
  if (badHeader || markers != 1 || GetLiveBufferRecordCount() != 0) return 5;
  return bySource.size() == ids.size() ? 0 : 6;
}

int Play(double seconds, double frequency) {
  CSoundWorksWAS* engine = NewEngine(1, 44100);
  std::wstring id = FindId(engine->GetRenderDevices(), L"speakers");
  if (id.empty()) return 2;
  engine->StopRender(id, 0);
  if (!engine->StartRender(id, 0)) return 3;
  const uint32_t frames = 4410;
  const int total = int(seconds * 10);
  uint64_t position = 0;
  int sent = 0, returned = 0;
  auto next = [&] {
    std::vector<int16_t> pcm(frames);
    for (uint32_t i = 0; i < frames; ++i)
      pcm[i] = int16_t(std::lround(16000 * std::sin(2 * M_PI * frequency * double(position + i) / 44100)));
    position += frames;
    ++sent;
    return engine->PlayBlock(PlayBlockOf(pcm.data(), frames, 16, 44100), 0);
  };
  next();
  next();
  auto take = [&](const MSG& msg) {
    if (msg.message != WM_SOUND_OUT) return;
    auto* r = reinterpret_cast<CBufferRecord*>(msg.wParam);
    ReleaseBufferRecord(r);
    ++returned;
    if (sent < total) next();
  };
  const ULONGLONG end = GetTickCount64() + ULONGLONG(seconds * 1000) + 5000;
  while (returned < total && GetTickCount64() < end) Pump(GetTickCount64() + 20, take);
  engine->StopRender(id, 0);
  delete engine;
  printf("sent=%d returned=%d live_records=%ld\n", sent, returned, GetLiveBufferRecordCount());
  return returned == total && GetLiveBufferRecordCount() == 0 ? 0 : 4;
}

int Loop(const std::wstring& name, double seconds) {
  CSoundWorksWAS* engine = NewEngine(1, 44100);
  std::wstring in = FindId(engine->GetCaptureDevices(), name);
  std::wstring out = FindId(engine->GetRenderDevices(), L"speakers");
  if (in.empty() || out.empty()) return 2;
  if (!engine->StartRender(out, 0)) return 3;
  engine->StartCapture(in, 0, 1);
  if (engine->GetCaptureDeviceCount() != 1) return 3;
  int captured = 0, played = 0, returned = 0;
  auto take = [&](const MSG& msg) {
    auto* r = reinterpret_cast<CBufferRecord*>(msg.wParam);
    if (msg.message == WM_SOUND_IN && r) {
      ++captured;
      const BufferBlockHeader* h = CaptureBlockHeader(r);
      if (h->frameCount)
        played += engine->PlayBlock(PlayBlockOf(CaptureBlockPayload(r), h->frameCount, 32, 44100), 0);
      ReleaseBufferRecord(r);
    } else if (msg.message == WM_SOUND_OUT) {
      ++returned;
      ReleaseBufferRecord(r);
    }
  };
  Pump(GetTickCount64() + ULONGLONG(seconds * 1000), take);
  engine->StopCapture(in, 0);
  Pump(GetTickCount64() + 500, take);
  engine->StopRender(out, 0);
  delete engine;
  printf("captured=%d played=%d returned=%d live_records=%ld\n", captured, played, returned,
         GetLiveBufferRecordCount());
  return captured > 0 && played > 0 && GetLiveBufferRecordCount() == 0 ? 0 : 4;
}

int g_messageBoxes = 0;
int CountMessageBox(HWND, LPCWSTR text, LPCWSTR caption, UINT) {
  fprintf(stderr, "message box '%ls': %ls\n", caption, text);
  ++g_messageBoxes;
  return IDOK;
}

// Run with no audio server: opening an output must fail with the message, not crash in XAudio2.
int NoServer() {
  g_pfnShowPrompt = CountMessageBox;
  CSoundWorksWAS* engine = NewEngine(1, 44100);
  const DeviceList render = engine->GetRenderDevices();
  std::wstring id =
      render.empty() ? L"{0.0.0.00000000}.{6d5ad2b6-0b3a-4b8e-9d2c-2f1f6a0e5c11}" : render[0].first;
  const bool opened = engine->StartRender(id, 0);
  const int shownByEngine = g_messageBoxes;
  // The caller shows the failure, once StartRender has returned.
  const auto failure = engine->TakeFailureText();
  if (!failure.first.empty()) ShowPrompt(nullptr, failure.first.c_str(), failure.second.c_str(), MB_OK);
  const std::vector<int16_t> silence(441);
  const bool played = engine->PlayBlock(PlayBlockOf(silence.data(), 441, 16, 44100), 0);
  const uint32_t left = engine->GetRenderDeviceCount();
  delete engine;
  printf("render_devices=%u opened=%d played=%d message_boxes=%d open_after=%u\n", unsigned(render.size()),
         opened, played, g_messageBoxes, left);
  return !opened && !played && shownByEngine == 0 && g_messageBoxes == 1 && left == 0 ? 0 : 4;
}

}  // namespace

int main(int argc, char** argv) {
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  std::string mode = argc > 1 ? argv[1] : "";
  int rc = 1;
  if (mode == "capture" && argc == 5)
    rc = Capture({Widen(argv[2])}, atof(argv[3]), {argv[4]});
  else if (mode == "capture2" && argc == 7)
    rc = Capture({Widen(argv[2]), Widen(argv[3])}, atof(argv[4]), {argv[5], argv[6]});
  else if (mode == "play" && argc == 4)
    rc = Play(atof(argv[2]), atof(argv[3]));
  else if (mode == "loop" && argc == 4)
    rc = Loop(Widen(argv[2]), atof(argv[3]));
  else if (mode == "no-server")
    rc = NoServer();
  else
    fprintf(stderr, "usage: audio_probe capture|capture2|play|loop ...\n");
  fflush(stdout);
  return rc;
}
