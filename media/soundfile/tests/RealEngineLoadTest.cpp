// A load on the real engine under Wine, as the program runs it: the load thread rebuilds the
// track's engine for the file's format, the loaded sound plays to its end on the speakers, and a
// save thread then writes it as MP3.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include "audio/BufferRecord.h"
#include "audio/SoundWorks.h"
#include "common/Locks.h"
#include "media/document/SoundDocument.h"
#include "media/soundfile/tests/SoundFileTestSupport.h"

namespace {

// The worker's part: played blocks go back to the Student and then the Master, captured ones to
// the Student (dropped without one).
struct MasterWorker {
  std::atomic<CSoundDocument*> master{nullptr}, student{nullptr};
  HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, Proc, this, 0, &id);

  MasterWorker() { WaitForSingleObject(ready, INFINITE); }
  ~MasterWorker() {
    PostThreadMessageW(id, WM_QUIT, 0, 0);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(ready);
  }
  static DWORD WINAPI Proc(LPVOID p) {
    auto* self = static_cast<MasterWorker*>(p);
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    SetEvent(self->ready);
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      auto* record = reinterpret_cast<CBufferRecord*>(msg.wParam);
      if (msg.message == WM_SOUND_OUT) {
        if (CSoundDocument* s = self->student) s->OnSoundOut(&record);
        if (CSoundDocument* m = self->master; m && record) m->OnSoundOut(&record);
        ReleaseBufferRecord(record);
      } else if (msg.message == WM_SOUND_IN) {
        CSoundDocument* s = self->student;
        if (s && record)
          s->OnSoundIn(record);
        else if (s)
          s->OnCaptureEnd(uint32_t(msg.lParam));
        else
          ReleaseBufferRecord(record);
      }
    }
    return 0;
  }
};

// Gives this thread the queue that the tracks notify; a path in the temp folder for the test's
// files (without extension).
std::wstring PrepareTest(const wchar_t* stem) {
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + stem + std::to_wstring(GetCurrentProcessId());
}

// What COM a thread still has: S_OK from a fresh single-threaded initialisation means none.
HRESULT ComLeftOnThisThread() {
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (SUCCEEDED(hr)) CoUninitialize();
  return hr;
}

struct ProbedLoad {
  SoundFileRequest* request;
  HRESULT comLeft = E_FAIL;
};

DWORD WINAPI ProbedLoadThread(LPVOID parameter) {
  auto* probe = static_cast<ProbedLoad*>(parameter);
  LoadThreadProc(probe->request);
  probe->comLeft = ComLeftOnThisThread();
  return 0;
}

}  // namespace

// Every load rebuilds the engine on its own thread (the second destroys the first one's engine
// there): each load thread ends without COM, and once the track is gone the process has no
// apartment left that the engines made.
TEST(SoundFileOnRealEngine, LoadThreadsLeaveNoComBehind) {
  const std::wstring wav = PrepareTest(L"qmsfcom") + L".wav";
  ScriptedPrompts prompts;
  Bytes pcm;
  for (int i = 0; i < 4800 * 2; ++i) Put16(pcm, uint16_t(int16_t(i * 13)));
  WriteBytes(wav, CanonicalWav(2, 48000, pcm));
  {
    MasterWorker worker;
    auto* doc = new CSoundDocument(worker.id, L"ComLoad" + std::to_wstring(GetCurrentProcessId()), nullptr);
    doc->notifyTarget = NotifyTarget{GetCurrentThreadId(), nullptr, WM_SOUND_NOTIFY};
    for (int load = 0; load < 2; ++load) {
      ProbedLoad probe{new SoundFileRequest{doc, wav}};
      doc->loadThread = CreateThread(nullptr, 0, ProbedLoadThread, &probe, 0, nullptr);
      ASSERT_TRUE(WaitForCode(doc, NOTIFY_LOADED, 20000));
      doc->CloseLoadThread();
      EXPECT_EQ(probe.comLeft, S_OK) << "load " << load << " ended with COM initialised";
      ASSERT_NE(doc->sourceWav, nullptr);
    }
    EXPECT_FALSE(doc->engine->GetRenderDevices().empty()) << "the rebuilt engine lost its devices";
    delete doc;
  }
  bool mtaLeft = true;
  std::thread([&mtaLeft] {
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    mtaLeft = CoGetApartmentType(&type, &qualifier) == S_OK;
  }).join();
  EXPECT_FALSE(mtaLeft) << "an apartment outlived the engines";
  EXPECT_TRUE(prompts.Asked().empty()) << "message shown";
  DeleteFileW(wav.c_str());
}

TEST(SoundFileOnRealEngine, LoadedSoundPlaysAndSaves) {
  const std::wstring stem = PrepareTest(L"qmsfreal");
  ScriptedPrompts prompts;
  // One second of stereo at 48 kHz: the engine must be rebuilt from the default 44.1 kHz mono.
  Bytes pcm;
  for (int i = 0; i < 48000; ++i)
    for (int c = 0; c < 2; ++c)
      Put16(pcm, uint16_t(int16_t(6000 * std::sin(2 * M_PI * (440 + 220 * c) * i / 48000.0))));
  WriteBytes(stem + L".wav", CanonicalWav(2, 48000, pcm));
  {
    MasterWorker worker;
    auto* doc = new CSoundDocument(worker.id, L"RealLoad" + std::to_wstring(GetCurrentProcessId()), nullptr);
    doc->notifyTarget = NotifyTarget{GetCurrentThreadId(), nullptr, WM_SOUND_NOTIFY};
    worker.master = doc;

    doc->loadThread =
        CreateThread(nullptr, 0, LoadThreadProc, new SoundFileRequest{doc, stem + L".wav"}, 0, nullptr);
    ASSERT_TRUE(WaitForCode(doc, NOTIFY_LOADED, 20000));
    doc->CloseLoadThread();
    ASSERT_NE(doc->sourceWav, nullptr);
    ASSERT_NE(doc->engine, nullptr);
    ASSERT_FALSE(doc->engine->GetDefaultDevice(0).first.empty()) << "not the real engine";
    EXPECT_EQ(doc->engine->channels, 2u);
    EXPECT_EQ(doc->engine->sampleRate, 48000u);

    for (const auto& device : doc->engine->GetRenderDevices())
      if (device.second == L"speakers") doc->outputDeviceId = device.first;
    ASSERT_FALSE(doc->outputDeviceId.empty());
    doc->StartPlayback();
    EXPECT_TRUE(WaitForCode(doc, NOTIFY_PLAY_ENDED, 15000)) << "the loaded sound never played to its end";
    EXPECT_EQ(doc->playPosition.load(), 48000u);

    ASSERT_TRUE(doc->StartSaveThread(stem + L".mp3"));
    EXPECT_TRUE(WaitForCode(doc, NOTIFY_SAVED, 20000));
    doc->CloseSaveThread();
    EXPECT_EQ(doc->lastSaveResult.load(), 1);
    worker.master = nullptr;
    EXPECT_TRUE(doc->TakeReports().empty()) << "failure reported";
    delete doc;
  }
  EXPECT_GT(ReadBytes(stem + L".mp3").size(), 10000u);
  EXPECT_TRUE(prompts.Asked().empty()) << "message shown";
  DeleteFileW((stem + L".wav").c_str());
  DeleteFileW((stem + L".mp3").c_str());
}

// A 5.1 WAV (six channels, a 440 Hz tone in each) loads and is heard: the Student records the
// speakers' monitor while the Master plays it to its end.
TEST(SoundFileOnRealEngine, SixChannelWavIsHeardOnTheSpeakers) {
  const std::wstring path = PrepareTest(L"qmsix") + L".wav";
  ScriptedPrompts prompts;
  constexpr int kFrames = 2 * 44100;
  Bytes pcm;
  for (int i = 0; i < kFrames; ++i)
    for (int c = 0; c < 6; ++c) Put16(pcm, uint16_t(int16_t(4096 * std::sin(2 * M_PI * 440 * i / 44100.0))));
  WriteBytes(path, CanonicalWav(6, 44100, pcm));
  std::vector<int16_t> heard;
  {
    MasterWorker worker;
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    auto* master = new CSoundDocument(worker.id, L"SixMaster" + pid, nullptr);
    auto* student = new CSoundDocument(worker.id, L"SixStudent" + pid, nullptr);
    student->trackIndex = 1;
    for (CSoundDocument* d : {master, student})
      d->notifyTarget = NotifyTarget{GetCurrentThreadId(), nullptr, WM_SOUND_NOTIFY};
    worker.master = master;
    worker.student = student;
    master->loadThread =
        CreateThread(nullptr, 0, LoadThreadProc, new SoundFileRequest{master, path}, 0, nullptr);
    ASSERT_TRUE(WaitForCode(master, NOTIFY_LOADED, 20000));
    master->CloseLoadThread();
    ASSERT_NE(master->sourceWav, nullptr) << "the 6-channel file did not load";
    EXPECT_EQ(master->engine->channels, 6u);
    for (const auto& device : master->engine->GetRenderDevices())
      if (device.second == L"speakers") master->outputDeviceId = device.first;
    for (const auto& device : student->engine->GetCaptureDevices())
      if (device.second == L"Monitor of speakers") student->inputDeviceId = device.first;
    ASSERT_FALSE(master->outputDeviceId.empty());
    ASSERT_FALSE(student->inputDeviceId.empty());
    student->captureMask = 1;

    student->ToggleRecording();
    ASSERT_TRUE(student->recording.load());
    auto recorded = [&] { return *static_cast<volatile uint32_t*>(&student->GetCurrentChunk()->frames); };
    // Wine's first captured packet comes late: play once the recording has begun.
    const ULONGLONG start = GetTickCount64();
    while (recorded() == 0 && GetTickCount64() - start < 15000) Sleep(10);
    ASSERT_GT(recorded(), 0u) << "nothing was captured";
    master->StartPlayback();
    EXPECT_TRUE(WaitForCode(master, NOTIFY_PLAY_ENDED, 15000))
        << "the 6-channel sound never played to its end";
    EXPECT_EQ(master->playPosition.load(), uint32_t(kFrames));
    const uint32_t atEnd = recorded();
    while (recorded() < atEnd + 22050 && GetTickCount64() - start < 30000) Sleep(10);
    student->ToggleRecording();
    EXPECT_TRUE(student->WaitForTakeComplete(5000));
    {
      std::lock_guard<RecursiveMutex> lock(student->PacketLock());
      const CChunkInfo* chunk = student->GetCurrentChunk();
      const auto* s = reinterpret_cast<const int16_t*>(chunk->buffer);
      if (s) heard.assign(s, s + chunk->used / 2);
    }
    worker.master = nullptr;
    worker.student = nullptr;
    EXPECT_TRUE(master->TakeReports().empty()) << "failure reported";
    delete student;
    delete master;
  }
  // The tone: loud, at 440 Hz by the median period between rising zero crossings (a packet the
  // sound server drops on a busy machine spoils only the periods it falls in, not a count).
  size_t first = 0;
  while (first < heard.size() && std::abs(int(heard[first])) < 2000) ++first;
  ASSERT_LT(first + 4410 + 22050, heard.size()) << "the tone was not heard";
  int peak = 0;
  std::vector<size_t> rising;
  for (size_t i = first + 4410; i < first + 4410 + 22050; ++i) {
    if (heard[i - 1] < 0 && heard[i] >= 0) rising.push_back(i);
    peak = std::max(peak, std::abs(int(heard[i])));
  }
  ASSERT_GT(rising.size(), 10u) << "no tone in the recording";
  std::vector<size_t> periods;
  for (size_t k = 1; k < rising.size(); ++k) periods.push_back(rising[k] - rising[k - 1]);
  std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
  EXPECT_NEAR(44100.0 / double(periods[periods.size() / 2]), 440.0, 12.0);
  EXPECT_GT(peak, 10000);
  EXPECT_TRUE(prompts.Asked().empty()) << "message shown";
  DeleteFileW(path.c_str());
}
