// Both tracks on the real engine under Wine: the Master plays a tone on the speakers while the
// Student records the speakers' monitor; a worker thread moves the engine's blocks as the
// program's worker does. Also device-id resolution and endpoint volume on real endpoints.
#include <gtest/gtest.h>

#include <endpointvolume.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

#include "audio/BufferRecord.h"
#include "audio/SoundWorks.h"
#include "media/document/SoundDocument.h"
#include "media/document/tests/DocumentTestSupport.h"
#include "tests/support/LiveHandles.h"
#include "tests/support/TestFiles.h"

namespace {

constexpr UINT WM_WORKER_SYNC = WM_APP + 1;

// The worker thread's part: played blocks to the Student and then the Master, captured blocks to
// the Student; whatever no track takes is released.
struct TestWorker {
  std::atomic<CSoundDocument*> master{nullptr}, student{nullptr};
  std::atomic<int> markers{0};
  HANDLE thread = nullptr;
  DWORD id = 0;
  HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);

  TestWorker() {
    thread = CreateThread(nullptr, 0, Proc, this, 0, &id);
    WaitForSingleObject(ready, INFINITE);
  }
  ~TestWorker() {
    PostThreadMessageW(id, WM_QUIT, 0, 0);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(ready);
  }
  // Returns once the worker has handled everything posted before and drops the tracks.
  void Detach() {
    master = nullptr;
    student = nullptr;
    PostThreadMessageW(id, WM_WORKER_SYNC, 0, 0);
    WaitForSingleObject(ready, INFINITE);
  }
  static DWORD WINAPI Proc(LPVOID p) {
    auto* self = static_cast<TestWorker*>(p);
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    SetEvent(self->ready);
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      auto* record = reinterpret_cast<CBufferRecord*>(msg.wParam);
      if (msg.message == WM_SOUND_OUT) {
        if (CSoundDocument* s = self->student) s->OnSoundOut(&record);
        if (CSoundDocument* m = self->master; record && m) m->OnSoundOut(&record);
        ReleaseBufferRecord(record);
      } else if (msg.message == WM_SOUND_IN) {
        if (!record) ++self->markers;
        if (CSoundDocument* s = self->student)
          s->OnSoundIn(record);
        else
          ReleaseBufferRecord(record);
      } else if (msg.message == WM_WORKER_SYNC) {
        SetEvent(self->ready);
      }
    }
    return 0;
  }
};

std::wstring FindDevice(const DeviceList& devices, const std::wstring& name) {
  for (const auto& d : devices)
    if (d.second == name) return d.first;
  return L"";
}

std::wstring TrackName(const wchar_t* stem) { return stem + std::to_wstring(GetCurrentProcessId()); }

}  // namespace

TEST(SoundDocumentOnRealEngine, StudentRecordsTheToneTheMasterPlays) {
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  const LONG liveBefore = GetLiveBufferRecordCount();
  const int gainBefore = CSoundDocument::GetRecordingGain();
  {
    TestWorker worker;
    auto* master = new CSoundDocument(worker.id, TrackName(L"RtMaster"), nullptr);
    auto* student = new CSoundDocument(worker.id, TrackName(L"RtStudent"), nullptr);
    master->trackIndex = 0;
    student->trackIndex = 1;
    worker.master = master;
    worker.student = student;
    for (CSoundDocument* d : {master, student})
      d->notifyTarget = NotifyTarget{GetCurrentThreadId(), nullptr, WM_SOUND_NOTIFY};

    master->outputDeviceId = FindDevice(master->engine->GetRenderDevices(), L"speakers");
    student->inputDeviceId = FindDevice(student->engine->GetCaptureDevices(), L"Monitor of speakers");
    ASSERT_FALSE(master->outputDeviceId.empty());
    ASSERT_FALSE(student->inputDeviceId.empty());
    student->captureMask = 1;

    // Three seconds of 440 Hz at a quarter of full scale in the Master's chunk.
    const int toneFrames = 3 * 44100;
    std::vector<int16_t> tone(toneFrames);
    for (int i = 0; i < toneFrames; ++i)
      tone[i] = int16_t(std::lrint(8192.0 * std::sin(2 * M_PI * 440.0 * i / 44100.0)));
    master->SelectChunk(master->NewChunk());
    master->WriteChunkPcm(0, uint32_t(tone.size() * 2), tone.data());
    ASSERT_EQ(master->GetCurrentChunk()->frames, uint32_t(toneFrames));

    student->ToggleRecording();
    ASSERT_TRUE(student->recording.load());
    // Wine's first captured packet comes late: play once the recording has begun.
    auto recorded = [&] { return *static_cast<volatile uint32_t*>(&student->GetCurrentChunk()->frames); };
    ASSERT_TRUE(WaitUntil([&] { return recorded() > 0; }, 15000)) << "nothing was captured";
    master->StartPlayback();
    ASSERT_TRUE(master->playing.load());
    EXPECT_TRUE(WaitForCode(master, NOTIFY_PLAY_ENDED, 15000)) << "the Master's playback never ended";
    EXPECT_FALSE(master->playing.load());
    EXPECT_EQ(master->playPosition.load(), uint32_t(toneFrames));
    // Half a second more of capture brings in the tone's tail.
    const uint32_t atEnd = recorded();
    WaitUntil([&] { return recorded() >= atEnd + 22050; }, 5000);
    student->ToggleRecording();
    for (int i = 0; i < 300 && worker.markers == 0; ++i) Sleep(10);
    EXPECT_EQ(worker.markers.load(), 1) << "no end-of-recording marker";
    worker.Detach();

    // The Student's chunk holds the tone, brought up by the automatic gain.
    CChunkInfo* chunk = student->GetCurrentChunk();
    ASSERT_NE(chunk, nullptr);
    ASSERT_NE(chunk->buffer, nullptr);
    const int16_t* s = reinterpret_cast<const int16_t*>(chunk->buffer);
    const int n = int(chunk->used / 2);
    EXPECT_EQ(chunk->frames, uint32_t(n));
    int first = -1, last = -1;
    for (int i = 0; i < n; ++i)
      if (std::abs(int(s[i])) > 3000) {
        if (first < 0) first = i;
        last = i;
      }
    ASSERT_GE(first, 0) << "no tone recorded in " << n << " frames";
    const int length = last - first;
    EXPECT_GT(length, 2 * 44100) << "tone recorded for " << length << " frames";
    // Frequency, peak and crest factor per 100 ms window of the second half of the tone; the
    // medians ignore a window that a scheduling hiccup of a loaded machine broke up.
    std::vector<double> frequencies, peaks, crests;
    for (int from = first + length / 2; from + 4410 < last; from += 4410) {
      int crossings = 0, peak = 0;
      double sumSquares = 0;
      for (int i = from; i < from + 4410; ++i) {
        if ((s[i] < 0) != (s[i + 1] < 0)) ++crossings;
        peak = std::max(peak, std::abs(int(s[i])));
        sumSquares += double(s[i]) * s[i];
      }
      frequencies.push_back(crossings / 2.0 / 0.1);
      peaks.push_back(peak);
      crests.push_back(peak / std::sqrt(sumSquares / 4410));
    }
    ASSERT_GE(frequencies.size(), 5u);
    auto median = [](std::vector<double> v) {
      std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
      return v[v.size() / 2];
    };
    const double frequency = median(frequencies), peak = median(peaks), crest = median(crests);
    printf("recorded tone: %d frames, %.1f Hz, peak %.0f, crest %.3f, gain %d\n", length, frequency, peak,
           crest, CSoundDocument::GetRecordingGain());
    EXPECT_NEAR(frequency, 440.0, 10.0);  // 44 crossings per window: one more or less is 10 Hz
    // The gain settles near 7,864,080 / input peak, which puts the output peak near 30,719.
    EXPECT_GT(peak, 26000);
    EXPECT_LE(peak, 32767);
    EXPECT_NEAR(crest, std::sqrt(2.0), 0.1) << "not a clean sine";
    EXPECT_GT(CSoundDocument::GetRecordingGain(), gainBefore);

    delete student;
    delete master;
  }
  EXPECT_EQ(GetLiveBufferRecordCount(), liveBefore) << "buffer records leaked";
}

TEST(SoundDocumentOnRealEngine, DeviceIdsAndEndpointVolume) {
  CSoundDocument doc(0, TrackName(L"RtDevices"), nullptr);
  CSoundWorksBase* was = doc.engine;  // the real engine: no stand-in is set here
  ASSERT_NE(was, nullptr);
  const std::wstring defaultIn = was->GetDefaultDevice(1).first;
  const std::wstring defaultOut = was->GetDefaultDevice(0).first;
  ASSERT_FALSE(defaultIn.empty());
  ASSERT_FALSE(defaultOut.empty());
  const std::wstring monitor = FindDevice(doc.engine->GetCaptureDevices(), L"Monitor of speakers");
  ASSERT_FALSE(monitor.empty());

  struct ResolveCase {
    std::wstring id;
    bool capture;
    std::wstring expected;
  };
  const ResolveCase cases[] = {
      {L"", true, defaultIn},
      {L"{0.0.1.00000000}.{00000000-0000-0000-0000-000000000000}", true, defaultIn},
      {monitor, true, monitor},
      {monitor, false, defaultOut},  // a capture endpoint is no output
      {L"\xFFFF", false, defaultOut},
  };
  for (const auto& c : cases) {
    std::wstring id = c.id;
    doc.ResolveDeviceId(id, c.capture);
    EXPECT_EQ(id, c.expected) << (c.capture ? "capture " : "render ") << c.id.size();
  }

  IAudioEndpointVolume* volume = reinterpret_cast<IAudioEndpointVolume*>(1);
  GetEndpointVolume(defaultOut, &volume);
  ASSERT_NE(volume, nullptr);
  float level = -1;
  EXPECT_EQ(volume->GetMasterVolumeLevelScalar(&level), S_OK);
  EXPECT_GE(level, 0.0f);
  volume->Release();
  GetEndpointVolume(L"no such device", &volume);
  EXPECT_EQ(volume, nullptr);
}

// Record on and off a hundred times with both capture streams asked for, as the program asks
// (the microphone, and the loopback of the speakers, which Wine cannot open): every take ends
// whole and nothing of it stays open.
TEST(SoundDocumentOnRealEngine, RecordCyclesLeaveNoHandleBehind) {
  const LONG liveBefore = GetLiveBufferRecordCount();
  {
    TestWorker worker;
    auto* student = new CSoundDocument(worker.id, TrackName(L"RtCycles"), nullptr);
    student->trackIndex = 1;
    worker.student = student;
    student->inputDeviceId = FindDevice(student->engine->GetCaptureDevices(), L"mic");
    student->outputDeviceId = FindDevice(student->engine->GetRenderDevices(), L"speakers");
    ASSERT_FALSE(student->inputDeviceId.empty());
    ASSERT_FALSE(student->outputDeviceId.empty());
    student->captureMask = 3;
    auto cycle = [&] {
      student->ToggleRecording();
      EXPECT_GE(student->engine->GetCaptureDeviceCount(), 1u);
      student->ToggleRecording();
      EXPECT_TRUE(student->WaitForTakeComplete(5000)) << "the take never ended";
    };
    for (int i = 0; i < 30; ++i) cycle();
    worker.Detach();
    worker.student = student;
    const LiveHandleSet before = SnapshotLiveHandles();
    for (int i = 0; i < 100; ++i) cycle();
    worker.Detach();
    const LiveHandleSet after = WaitForLiveHandlesBack(before);
    printf("live handles: %u before, %u after 100 record cycles\n", unsigned(before.size()),
           unsigned(after.size()));
    EXPECT_EQ(after.size(), before.size())
        << "handles left by 100 record cycles: " << DescribeNewHandles(before, after);
    delete student;
  }
  EXPECT_EQ(GetLiveBufferRecordCount(), liveBefore) << "buffer records leaked";
}
