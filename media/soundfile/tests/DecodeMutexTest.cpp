// The decode mutex between processes: a load waits while another instance decodes, and every
// load, failed or not, leaves the mutex free for the next instance.
#include "media/soundfile/tests/SoundFileTestSupport.h"

namespace {

HANDLE StartProbe(const std::wstring& arguments) {
  return StartSibling(L"decode_mutex_probe.exe", arguments);
}
DWORD ProbeExit(HANDLE process) { return SiblingExit(process); }

}  // namespace

using DecodeMutexTest = SoundFileTest;

TEST_F(DecodeMutexTest, LoadWaitsForAnotherProcess) {
  WriteBytes(dir + L"t.wav", CanonicalWav(1, 8000, Pcm16(800)));
  const std::wstring eventName = L"QmDecodeProbeReady" + std::to_wstring(GetCurrentProcessId());
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
  HANDLE probe = StartProbe(L"hold 1500 " + eventName);
  ASSERT_NE(probe, nullptr);
  ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
  const ULONGLONG start = GetTickCount64();
  EXPECT_TRUE(doc->LoadSoundFile(dir + L"t.wav"));
  const ULONGLONG waited = GetTickCount64() - start;
  EXPECT_GE(waited, 1000u) << "the load did not wait for the other process";
  EXPECT_EQ(ProbeExit(probe), 0u);
  CloseHandle(ready);
}

TEST_F(DecodeMutexTest, EveryLoadLeavesTheMutexFree) {
  WriteBytes(dir + L"ok.wav", CanonicalWav(1, 8000, Pcm16(800)));
  WriteBytes(dir + L"bad.mp3", Bytes(5000, '\x55'));
  WriteBytes(dir + L"bad.wav", "RIFF");
  for (const wchar_t* name : {L"ok.wav", L"bad.mp3", L"bad.wav", L"missing.mp3"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
    EXPECT_EQ(doc->LoadSoundFile(dir + name), name == std::wstring(L"ok.wav"));
    HANDLE probe = StartProbe(L"try");
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(ProbeExit(probe), 0u);
  }
}

// When the name is taken by an object of another kind, no mutex can be made: loads go on
// unserialised rather than fail.
TEST_F(DecodeMutexTest, LoadsWithoutTheMutexWhenItCannotBeMade) {
  HANDLE squatter = CreateEventW(nullptr, TRUE, FALSE, kDecodeMutexName);
  ASSERT_NE(squatter, nullptr);
  ASSERT_EQ(CreateMutexW(nullptr, TRUE, kDecodeMutexName), nullptr);
  WriteBytes(dir + L"t.wav", CanonicalWav(1, 8000, Pcm16(800)));
  EXPECT_TRUE(doc->LoadSoundFile(dir + L"t.wav"));
  EXPECT_EQ(doc->GetChunk(0)->frames, 800u);
  CloseHandle(squatter);
}
