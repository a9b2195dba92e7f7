// The command line reaching the application data object: the station's wave-device file, the
// devices of both tracks on the real engine, the file written back at exit, the edition
// folder's access list, and the mixer query against the capture-product peer.
#include <gtest/gtest.h>
#include <windows.h>

#include <aclapi.h>
#include <endpointvolume.h>
#include <sddl.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "appdata/AppData.h"
#include "appdata/CommandLine.h"
#include "appdata/SettingsFile.h"
#include "audio/SoundWorks.h"
#include "media/document/SoundDocument.h"
#include "peers/PeerProcess.h"
#include "tests/support/TestFiles.h"

namespace {

const wchar_t* const kStationFiles[] = {L"Quillmeridian.ini", L"QuillmeridianSt1.ini",
                                        L"QuillmeridianSt2.ini"};

void WriteBytes(const std::wstring& path, const std::string& bytes) { WriteWholeFile(path, bytes); }

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// What the destructor writes for a pair of ids (ASCII endpoint ids).
std::string WaveFileBytes(const std::wstring& in, const std::wstring& out) {
  return "{\r\n    \"Wave\": {\r\n        \"WaveDeviceIn\": \"" + Narrow(in) +
         "\",\r\n        \"WaveDeviceOut\": \"" + Narrow(out) + "\"\r\n    }\r\n}\r\n";
}

bool Contains(const DeviceList& devices, const std::wstring& id) {
  for (const auto& d : devices)
    if (d.first == id) return true;
  return false;
}

class CommandLineAppDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = GetEditionFolder();
    ASSERT_FALSE(folder_.empty());
    RemoveStationFiles();
  }
  void TearDown() override {
    app_.reset();
    RemoveStationFiles();
  }
  void RemoveStationFiles() {
    for (const wchar_t* name : kStationFiles) DeleteFileW((folder_ + L"\\" + name).c_str());
  }
  std::wstring StationFile(int station) const { return folder_ + L"\\" + kStationFiles[station]; }
  // The track's engine; the real one, as these tests set no stand-in.
  CSoundWorksBase* Engine() const { return app_->masterTrack->engine; }
  void ExpectTracksUse(const std::wstring& out, const std::wstring& in) const {
    for (CSoundDocument* track : {app_->masterTrack, app_->studentTrack}) {
      EXPECT_EQ(track->outputDeviceId, out) << "track " << track->trackIndex;
      EXPECT_EQ(track->inputDeviceId, in) << "track " << track->trackIndex;
    }
  }

  std::wstring folder_;
  std::unique_ptr<CAppData> app_;
};

// Station 2 has no file of its own: its placeholders become the default endpoints, and at exit
// the file is written with those ids (and no other station's file appears).
TEST_F(CommandLineAppDataTest, StationWithoutFileEndsWithRealEndpointIdsWrittenBack) {
  app_ = std::make_unique<CAppData>();
  ASSERT_NE(Engine(), nullptr);
  EXPECT_TRUE(app_->ParseCommandLine(L"\"C:\\Program Files\\Quillmeridian\\Quillmeridian.exe\" /_s"));
  EXPECT_EQ(app_->stationMode, 1u);
  EXPECT_EQ(app_->stationNumber, 2u);
  EXPECT_EQ(app_->positioned, 0u);
  EXPECT_EQ(std::wstring(app_->waveDevices.settingsPath), StationFile(2));

  const std::wstring out = app_->waveDevices.WaveDeviceOut, in = app_->waveDevices.WaveDeviceIn;
  EXPECT_EQ(out, Engine()->GetDefaultDevice(0).first);
  EXPECT_EQ(in, Engine()->GetDefaultDevice(1).first);
  EXPECT_TRUE(Contains(Engine()->GetRenderDevices(), out)) << Narrow(out);
  EXPECT_TRUE(Contains(Engine()->GetCaptureDevices(), in)) << Narrow(in);
  ASSERT_GT(out.size(), 1u);
  ASSERT_GT(in.size(), 1u);
  ExpectTracksUse(out, in);

  app_.reset();
  EXPECT_EQ(ReadFileOrMissing(StationFile(2)), WaveFileBytes(in, out));
  EXPECT_FALSE(FileExists(StationFile(0)));
  EXPECT_FALSE(FileExists(StationFile(1)));
}

// Ids in the station's own file are kept when they name active endpoints; an id that names
// none becomes the default; the other stations' files are not read. The tracks drop their
// cached endpoint-volume interfaces for the new devices.
TEST_F(CommandLineAppDataTest, StationFileIdsAreKeptWhenActiveAndOthersIgnored) {
  app_ = std::make_unique<CAppData>();
  ASSERT_NE(Engine(), nullptr);
  const std::wstring defaultOut = Engine()->GetDefaultDevice(0).first;
  const std::wstring defaultIn = Engine()->GetDefaultDevice(1).first;
  std::wstring otherOut;
  for (const auto& d : Engine()->GetRenderDevices())
    if (d.first != defaultOut) otherOut = d.first;
  ASSERT_FALSE(otherOut.empty()) << "the harness offers several render endpoints";

  WriteBytes(StationFile(1), "{\"Wave\": {\"WaveDeviceOut\": \"" + Narrow(otherOut) +
                                 "\", \"WaveDeviceIn\": \"{0.0.1.00000000}.{no-such-device}\"}}");
  WriteBytes(StationFile(0), "{\"Wave\": {\"WaveDeviceOut\": \"station0\", \"WaveDeviceIn\": \"station0\"}}");
  WriteBytes(StationFile(2), "{\"Wave\": {\"WaveDeviceOut\": \"station2\", \"WaveDeviceIn\": \"station2\"}}");

  for (CSoundDocument* track : {app_->masterTrack, app_->studentTrack}) {
    GetEndpointVolume(defaultOut, &track->outputVolume);
    GetEndpointVolume(defaultIn, &track->inputVolume);
    ASSERT_NE(track->outputVolume, nullptr);
    ASSERT_NE(track->inputVolume, nullptr);
  }

  app_->ParseCommandLine(L"Quillmeridian.exe /Pos:1 \"C:\\StudentWorks\\lesson.qpk\"");
  EXPECT_EQ(app_->stationNumber, 1u);
  EXPECT_EQ(app_->positioned, 1u);
  EXPECT_EQ(app_->waveDevices.WaveDeviceOut, otherOut);
  EXPECT_EQ(app_->waveDevices.WaveDeviceIn, defaultIn);
  ExpectTracksUse(otherOut, defaultIn);
  for (CSoundDocument* track : {app_->masterTrack, app_->studentTrack}) {
    EXPECT_EQ(track->outputVolume, nullptr);
    EXPECT_EQ(track->inputVolume, nullptr);
  }

  app_.reset();
  EXPECT_EQ(ReadFileOrMissing(StationFile(1)), WaveFileBytes(defaultIn, otherOut));
  EXPECT_NE(ReadFileOrMissing(StationFile(0)).find("station0"), std::string::npos)
      << "another station's file was written";
  EXPECT_NE(ReadFileOrMissing(StationFile(2)).find("station2"), std::string::npos)
      << "another station's file was written";
}

// A device menu choice reaches both tracks; an empty id leaves that side as it was.
TEST_F(CommandLineAppDataTest, SetTrackDevicesGivesBothTracksTheIds) {
  app_ = std::make_unique<CAppData>();
  app_->SetTrackDevices(L"out-1", L"in-1");
  ExpectTracksUse(L"out-1", L"in-1");
  app_->SetTrackDevices(L"", L"in-2");
  ExpectTracksUse(L"out-1", L"in-2");
  app_->SetTrackDevices(L"out-3", L"");
  ExpectTracksUse(L"out-3", L"in-2");
}

// The access Everyone has to a folder by its DACL, as the system reports it back, and whether
// that entry is inherited by files and folders made inside.
struct WorldAccess {
  ACCESS_MASK mask = 0;
  bool inherited = false;
  std::string sddl;
};

WorldAccess GetWorldAccess(const std::wstring& folder) {
  WorldAccess result;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return result;
  LPWSTR sddl = nullptr;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                           DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
    result.sddl = Narrow(sddl);
    LocalFree(sddl);
  }
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header)) || header->AceType != ACCESS_ALLOWED_ACE_TYPE)
      continue;
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    if (!EqualSid(&ace->SidStart, everyone)) continue;
    result.mask |= ace->Mask;
    const BYTE both = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    result.inherited = result.inherited || (header->AceFlags & both) == both;
  }
  FreeSid(everyone);
  LocalFree(descriptor);
  return result;
}

// Reading, writing, adding and deleting files (the rights a settings folder needs), or all.
bool IsFullAccess(ACCESS_MASK mask) {
  const ACCESS_MASK needed =
      FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE | FILE_DELETE_CHILD;
  return (mask & GENERIC_ALL) || (mask & needed) == needed;
}

// Everyone gets full access to the edition folder and to what is made in it, even when the
// folder had been closed to other users.
TEST_F(CommandLineAppDataTest, EditionFolderIsOpenedToEveryone) {
  EXPLICIT_ACCESSW readOnly = {};
  readOnly.grfAccessPermissions = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
  readOnly.grfAccessMode = SET_ACCESS;
  readOnly.grfInheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  readOnly.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  readOnly.Trustee.ptstrName = const_cast<LPWSTR>(L"EVERYONE");
  PACL closed = nullptr;
  ASSERT_EQ(SetEntriesInAclW(1, &readOnly, nullptr, &closed), DWORD(ERROR_SUCCESS));
  SetNamedSecurityInfoW(const_cast<LPWSTR>(folder_.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                        nullptr, nullptr, closed, nullptr);
  LocalFree(closed);
  const WorldAccess before = GetWorldAccess(folder_);
  ASSERT_FALSE(IsFullAccess(before.mask)) << "the folder could not be closed first: " << before.sddl;

  app_ = std::make_unique<CAppData>();
  app_->ParseCommandLine(L"");
  const WorldAccess after = GetWorldAccess(folder_);
  EXPECT_TRUE(IsFullAccess(after.mask)) << after.sddl;
  EXPECT_TRUE(after.inherited) << after.sddl;
}

struct MixerCase {
  const wchar_t* line;
  bool peerFirst;  // the capture pipe is connected before the command line is parsed
  uint32_t mixerInput;
  uint32_t expectedValue;  // after the peer answers Mic 37, Mix 80
  uint32_t streaming;
};

const MixerCase kMixerCases[] = {
    {L"/_p /MixerInput:Mic", false, 1, 37, 0},
    {L"/_s /MixerInput:Mix", true, 2, 80, 0},
    {L"/MixerInput:Mic /Stream", false, 0, 0xFFFFFFFFu, 1},
};

// The query goes out once per parse, after the greeting when it was made before the pipe
// connected; the answer sets the value only for an input that was named exactly.
TEST_F(CommandLineAppDataTest, MixerQueryAndItsAnswer) {
  for (const MixerCase& c : kMixerCases) {
    SCOPED_TRACE(Narrow(c.line));
    app_ = std::make_unique<CAppData>();
    CPeerProcess peer;
    // The address sent last marks the moment the worker has handled the mixer answer.
    const std::wstring script = L"wait-frame 0 1081; send-mixer 0 37 80; send-address 0 10.9.8.7; serve";
    if (c.peerFirst) {
      ASSERT_TRUE(peer.Start(L"pictavo_peer.exe", L"--run " + QuoteArgument(script)));
      ASSERT_TRUE(WaitUntil([&] { return app_->GetCapturePipe() != nullptr; }));
      ASSERT_TRUE(peer.WaitForLog("ADDRESS-SENT conn=0"));
    }
    app_->ParseCommandLine(c.line);
    EXPECT_EQ(app_->mixerInput, c.mixerInput);
    EXPECT_EQ(app_->streaming, c.streaming);
    if (!c.peerFirst) {
      EXPECT_EQ(app_->GetCapturePipe(), nullptr);
      ASSERT_TRUE(peer.Start(L"pictavo_peer.exe", L"--run " + QuoteArgument(script)));
    }
    ASSERT_TRUE(peer.WaitForLog("MIXER-QUERY conn=0"));
    ASSERT_TRUE(WaitUntil([&] { return app_->ownStationAddress == 0x0708090Au; })) << peer.Log();
    EXPECT_EQ(app_->mixerValue, c.expectedValue);

    const std::string log = peer.Log();
    const size_t hello = log.find("HELLO conn=0"), request = log.find("ADDRESS-REQUEST conn=0"),
                 query = log.find("MIXER-QUERY conn=0");
    EXPECT_LT(hello, request);
    EXPECT_LT(request, query);
    EXPECT_NE(log.find("length=4 type=1081 data=0400000039040000"), std::string::npos) << log;
    EXPECT_EQ(log.find("type=1081", log.find("type=1081") + 1), std::string::npos) << "one query only";
    app_.reset();
  }
}

}  // namespace
