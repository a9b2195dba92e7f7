// MixerData.bin on Wine's own Core Audio and the harness's PulseAudio null devices: the file a
// start writes, a stored file that comes back byte for byte, and unusable files rebuilt. The
// test thread has no COM of its own, as in the application-data tests.
#include <gtest/gtest.h>
#include <mmdeviceapi.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "audio/MixerData.h"
#include "tests/support/TestFiles.h"

namespace {

struct SystemDevices {
  std::wstring defaultRender, defaultCapture;
  std::vector<std::wstring> render, capture;  // active, in enumeration order
};

std::vector<std::wstring> ActiveIds(IMMDeviceEnumerator* e, EDataFlow flow) {
  std::vector<std::wstring> ids;
  IMMDeviceCollection* list = nullptr;
  if (FAILED(e->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, &list))) return ids;
  UINT n = 0;
  list->GetCount(&n);
  for (UINT i = 0; i < n; ++i) {
    IMMDevice* d = nullptr;
    LPWSTR id = nullptr;
    if (SUCCEEDED(list->Item(i, &d)) && SUCCEEDED(d->GetId(&id))) ids.push_back(id);
    CoTaskMemFree(id);
    if (d) d->Release();
  }
  list->Release();
  return ids;
}

std::wstring DefaultId(IMMDeviceEnumerator* e, EDataFlow flow) {
  IMMDevice* d = nullptr;
  LPWSTR id = nullptr;
  std::wstring result;
  if (SUCCEEDED(e->GetDefaultAudioEndpoint(flow, eMultimedia, &d)) && SUCCEEDED(d->GetId(&id))) result = id;
  CoTaskMemFree(id);
  if (d) d->Release();
  return result;
}

// The endpoints as the system lists them now, on a thread of their own.
SystemDevices QuerySystem() {
  SystemDevices s;
  HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  IMMDeviceEnumerator* e = nullptr;
  if (SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                 __uuidof(IMMDeviceEnumerator), reinterpret_cast<void**>(&e)))) {
    s.defaultRender = DefaultId(e, eRender);
    s.defaultCapture = DefaultId(e, eCapture);
    s.render = ActiveIds(e, eRender);
    s.capture = ActiveIds(e, eCapture);
    e->Release();
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return s;
}

std::wstring FirstOther(const std::vector<std::wstring>& ids, const std::wstring& other) {
  for (const auto& id : ids)
    if (id != other) return id;
  return L"";
}

void PutId(std::string& bytes, size_t offset, const std::wstring& id) {
  memcpy(&bytes[offset], id.data(), id.size() * 2);
}
void PutU32(std::string& bytes, size_t offset, uint32_t value) { memcpy(&bytes[offset], &value, 4); }

// What a first start writes on Wine: the default and the second endpoints, every present entry
// at volume 100 (Wine's reads always answer 1.0), no topology and so every level 0.
std::string CleanStartBytes(const SystemDevices& s) {
  std::string bytes(2116, '\0');
  PutU32(bytes, 0, 2);
  const std::wstring out1 = FirstOther(s.render, s.defaultRender);
  const std::wstring in1 = FirstOther(s.capture, s.defaultCapture);
  const std::wstring ids[2][2] = {{s.defaultRender, s.defaultCapture}, {out1, in1}};
  for (int set = 0; set < 2; ++set) {
    const size_t base = 4 + size_t(set) * 1056;
    PutId(bytes, base + 0, ids[set][0]);
    if (!ids[set][0].empty()) PutU32(bytes, base + 256, 100);
    PutId(bytes, base + 272, ids[set][1]);
    if (!ids[set][1].empty()) PutU32(bytes, base + 528, 100);
  }
  return bytes;
}

bool LooksLikeEndpointId(const std::wstring& id) { return id.size() == 55 && id.rfind(L"{0.0.", 0) == 0; }

class MixerDataWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTempFolder(L"mixerwine");
    ASSERT_FALSE(folder_.empty());
    system_ = QuerySystem();
    ASSERT_TRUE(LooksLikeEndpointId(system_.defaultRender)) << system_.defaultRender.size();
    ASSERT_TRUE(LooksLikeEndpointId(system_.defaultCapture));
    ASSERT_GE(system_.render.size(), 2u) << "the harness gives several render endpoints";
    ASSERT_GE(system_.capture.size(), 2u);
  }
  void TearDown() override { RemoveTree(folder_); }
  std::wstring File() const { return folder_ + L"\\MixerData.bin"; }

  std::wstring folder_;
  SystemDevices system_;
};

// No file: the reference is built from the system and written at exit, 2,116 bytes exactly.
TEST_F(MixerDataWineTest, AFirstStartWritesTheSystemsReference) {
  CMixerData mixer;
  EXPECT_FALSE(mixer.SerializeMixerData(false, File()));
  EXPECT_EQ(mixer.path, File());
  EXPECT_EQ(ReadFileOrMissing(File()), "<missing>") << "nothing is written at start";
  EXPECT_TRUE(mixer.SerializeMixerData(true, L""));
  const std::string bytes = ReadFileOrMissing(File());
  ASSERT_EQ(bytes.size(), 2116u);
  EXPECT_EQ(bytes, CleanStartBytes(system_));
  EXPECT_NE(MixerEntryId(mixer.block.sets[0].outputId), MixerEntryId(mixer.block.sets[1].outputId));
}

// A stored file is imposed and written back exactly: absent devices, a volume of 35 that Wine
// refuses, the reserved words and an id without terminator all come back as they were.
TEST_F(MixerDataWineTest, AStoredFileComesBackByteForByte) {
  std::string bytes(2116, '\0');
  PutU32(bytes, 0, 2);
  PutId(bytes, 4 + 0, system_.defaultRender);
  PutU32(bytes, 4 + 256, 35);
  PutU32(bytes, 4 + 260, 10);
  PutId(bytes, 4 + 272, L"{0.0.1.00000000}.{deadbeef-0000-0000-0000-000000000001}");
  PutU32(bytes, 4 + 528, 60);
  PutId(bytes, 4 + 532, std::wstring(128, L'C'));  // no terminator
  PutU32(bytes, 4 + 788, 0);
  PutU32(bytes, 4 + 1052, 0xDEADBEEF);
  const size_t second = 4 + 1056;
  PutId(bytes, second + 0, L"{0.0.0.00000000}.{deadbeef-0000-0000-0000-000000000002}");
  PutU32(bytes, second + 256, 101);
  PutId(bytes, second + 272, system_.defaultCapture);
  PutU32(bytes, second + 528, 0);
  PutId(bytes, second + 792, std::wstring(128, L'S'));  // the block's last id, no terminator
  PutU32(bytes, second + 1048, 0x00530053);
  PutU32(bytes, second + 1052, 0xDEADBEEF);
  ASSERT_TRUE(WriteWholeFile(File(), bytes));

  CMixerData mixer;
  EXPECT_TRUE(mixer.SerializeMixerData(false, File()));
  ASSERT_TRUE(mixer.SerializeMixerData(true, L""));
  EXPECT_EQ(ReadFileOrMissing(File()), bytes);
}

// Unusable files are rebuilt from the system; the load tells a version-2 file from the others.
TEST_F(MixerDataWineTest, UnusableFilesAreRebuiltFromTheSystem) {
  std::string version1(2116, '\x11');
  PutU32(version1, 0, 1);
  std::string shortBlock(4 + 100, '\x22');
  PutU32(shortBlock, 0, 2);
  const struct {
    const char* what;
    std::string bytes;
    bool loaded;
  } cases[] = {
      {"version 1", version1, false},
      {"3 bytes", std::string("\x02\x00\x00", 3), false},
      {"empty", std::string(), false},
      {"short block", shortBlock, true},
  };
  const std::string expected = CleanStartBytes(system_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteWholeFile(File(), c.bytes));
    CMixerData mixer;
    EXPECT_EQ(mixer.SerializeMixerData(false, File()), c.loaded);
    EXPECT_TRUE(mixer.SerializeMixerData(true, L""));
    EXPECT_EQ(ReadFileOrMissing(File()), expected);
  }
}

// A save that cannot open its file reports it; a save with a path of its own writes there.
TEST_F(MixerDataWineTest, SaveReportsAFileItCannotOpen) {
  CMixerData mixer;
  EXPECT_FALSE(mixer.SerializeMixerData(false, folder_ + L"\\missing\\MixerData.bin"));
  EXPECT_FALSE(mixer.SerializeMixerData(true, L""));
  EXPECT_TRUE(mixer.SerializeMixerData(true, File()));
  EXPECT_EQ(ReadFileOrMissing(File()), CleanStartBytes(system_));
}

}  // namespace
