// MixerData.bin in the edition folder: loaded (and imposed) when the application data object is
// built, written back when it is destroyed. The test thread has no COM, as at a real start the
// mixer data sets up its own.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "appdata/AppData.h"
#include "appdata/SettingsFile.h"
#include "audio/MixerData.h"
#include "audio/SoundWorks.h"
#include "tests/support/FakeSoundEngine.h"
#include "tests/support/TestFiles.h"

namespace {

class MixerDataAppDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_pfnCreateSoundEngine = MakeSilentFakeEngine;
    const std::wstring folder = GetEditionFolder();
    ASSERT_FALSE(folder.empty());
    file_ = folder + L"\\MixerData.bin";
    saved_ = ReadFileOrMissing(file_);
    DeleteFileW(file_.c_str());
  }
  void TearDown() override {
    g_pfnCreateSoundEngine = nullptr;
    if (saved_ == "<missing>")
      DeleteFileW(file_.c_str());
    else
      WriteWholeFile(file_, saved_);
  }
  // Start and exit of the program, as far as the application data object goes.
  void RunOnce() {
    auto* app = new CAppData;
    ASSERT_NE(app->WaitForMixerData(), nullptr);
    EXPECT_EQ(app->mixerData->path, file_);
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    EXPECT_EQ(com, S_OK) << "the mixer data left COM set up on this thread";
    if (SUCCEEDED(com)) CoUninitialize();
    delete app;
  }

  std::wstring file_;
  std::string saved_;
};

TEST_F(MixerDataAppDataTest, FirstStartWritesTheReferenceAndTheNextKeepsIt) {
  RunOnce();
  const std::string first = ReadFileOrMissing(file_);
  ASSERT_EQ(first.size(), 2116u);
  uint32_t version = 0;
  memcpy(&version, first.data(), 4);
  EXPECT_EQ(version, 2u);
  MixerDataBlock block;
  memcpy(&block, first.data() + 4, sizeof block);
  EXPECT_FALSE(MixerEntryId(block.sets[0].outputId).empty()) << "the default output is named";
  EXPECT_EQ(block.sets[0].outputVolume, 100u) << "Wine reads every volume as full";

  // A reference of an earlier start, with marks that nothing of this run would write.
  block.sets[0].reserved = 0xDEADBEEF;
  block.sets[1].outputVolume = 35;
  SetMixerEntryId(block.sets[1].spareId, L"{0.0.0.00000000}.{deadbeef-0000-0000-0000-000000000000}");
  std::string stored = first.substr(0, 4);
  stored.append(reinterpret_cast<const char*>(&block), sizeof block);
  ASSERT_TRUE(WriteWholeFile(file_, stored));
  RunOnce();
  EXPECT_EQ(ReadFileOrMissing(file_), stored);
}

}  // namespace
