// The mixer data against fake endpoints, volumes and adapter topologies: what Wine cannot do
// (volumes that take, connectors with level controls, a chosen default device).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "audio/MixerData.h"
#include "audio/SoundWorksImpl.h"
#include "audio/tests/FakeCoreAudio.h"
#include "tests/support/TestFiles.h"

namespace {

const wchar_t kSpeakers[] = L"{0.0.0.00000000}.{aaaaaaaa-0000-0000-0000-000000000001}";
const wchar_t kHeadset[] = L"{0.0.0.00000000}.{aaaaaaaa-0000-0000-0000-000000000002}";
const wchar_t kUsb[] = L"{0.0.0.00000000}.{aaaaaaaa-0000-0000-0000-000000000003}";
const wchar_t kPulse[] = L"{0.0.0.00000000}.{aaaaaaaa-0000-0000-0000-0000000000ff}";
const wchar_t kMic[] = L"{0.0.1.00000000}.{bbbbbbbb-0000-0000-0000-000000000001}";
const wchar_t kLine[] = L"{0.0.1.00000000}.{bbbbbbbb-0000-0000-0000-000000000002}";
const wchar_t kCable[] = L"{0.0.1.00000000}.{bbbbbbbb-0000-0000-0000-0000000000cb}";
const wchar_t kExtra[] = L"{0.0.1.00000000}.{bbbbbbbb-0000-0000-0000-000000000003}";
const wchar_t kAbsent[] = L"{0.0.1.00000000}.{dddddddd-0000-0000-0000-000000000000}";

std::string FileBytes(const MixerDataBlock& block, uint32_t version = kMixerDataVersion) {
  std::string bytes(reinterpret_cast<const char*>(&version), 4);
  bytes.append(reinterpret_cast<const char*>(&block), sizeof block);
  return bytes;
}

void Ids(MixerDeviceSet& s, const wchar_t* out, const wchar_t* in, const wchar_t* cable = nullptr,
         const wchar_t* spare = nullptr) {
  SetMixerEntryId(s.outputId, out);
  SetMixerEntryId(s.inputId, in);
  SetMixerEntryId(s.cableId, cable);
  SetMixerEntryId(s.spareId, spare);
}

void Volumes(MixerDeviceSet& s, uint32_t out, uint32_t in, uint32_t cable, uint32_t spare) {
  s.outputVolume = out;
  s.inputVolume = in;
  s.cableVolume = cable;
  s.spareVolume = spare;
}

class MixerDataFakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    enumerator = new fake::Enumerator;
    fake::g_enumerator = enumerator;
    g_pfnSoundCoCreateInstance = fake::CoCreate;
    fake::TakeCallLog();
    folder_ = MakeTempFolder(L"mixerfake");
    ASSERT_FALSE(folder_.empty());
  }
  void TearDown() override {
    enumerator->Release();
    fake::g_enumerator = nullptr;
    EXPECT_EQ(fake::g_liveObjects.load(), 0) << "COM objects leaked";
    g_pfnSoundCoCreateInstance = CoCreateInstance;
    RemoveTree(folder_);
  }
  fake::Device* Render(const std::wstring& id, const std::wstring& name) {
    return enumerator->Add(id, name, eRender, fake::WineMixFormat());
  }
  fake::Device* Capture(const std::wstring& id, const std::wstring& name) {
    return enumerator->Add(id, name, eCapture, fake::WineMixFormat());
  }
  std::wstring File() const { return folder_ + L"\\MixerData.bin"; }

  fake::Enumerator* enumerator = nullptr;
  std::wstring folder_;
};

// Percent <-> scalar and percent <-> dB: truncating, 0 % the part's minimum.
TEST(MixerDataUnits, ConversionsTruncateAndKeepTheirEnds) {
  // 0.53f lies just below 0.53: the read gives one less than was set.
  struct {
    float scalar;
    uint32_t percent;
  } reads[] = {{0.5f, 50}, {1.0f, 100}, {0.0f, 0}, {0.349f, 34}, {0.53f, 52}, {0.9999f, 99}, {-0.1f, 0}};
  for (const auto& r : reads) EXPECT_EQ(ScalarToPercent(r.scalar), r.percent) << r.scalar;
  EXPECT_FLOAT_EQ(PercentToScalar(35), 0.35f);

  struct {
    uint32_t percent;
    float minDb, maxDb, db;
  } levels[] = {{10, -34.5f, 12.0f, -8.0f}, {100, -34.5f, 12.0f, 12.0f}, {1, -34.5f, 12.0f, -28.0f},
                {0, -34.5f, 12.0f, -34.5f}, {1, -20.0f, 0.0f, -20.0f},   {50, -96.0f, 0.0f, -6.0206f}};
  for (const auto& l : levels)
    EXPECT_NEAR(PercentToLevelDb(l.percent, l.minDb, l.maxDb), l.db, 1e-3) << l.percent << "% of " << l.maxDb;
  EXPECT_EQ(LevelDbToPercent(-8.0f, 12.0f), 10u);
  EXPECT_EQ(LevelDbToPercent(12.0f, 12.0f), 100u);
  EXPECT_EQ(LevelDbToPercent(-8.1f, 12.0f), 9u);
  EXPECT_EQ(LevelDbToPercent(-200.0f, 0.0f), 0u);
}

// Ids are read only up to their field's end and stored only when they fit with their terminator.
TEST(MixerDataUnits, IdFieldsNeverReachPastTheirEnd) {
  wchar_t field[kMixerIdUnits];
  std::wmemset(field, L'X', kMixerIdUnits);
  EXPECT_EQ(MixerEntryId(field), L"") << "no terminator";
  field[127] = 0;
  EXPECT_EQ(MixerEntryId(field), std::wstring(127, L'X'));

  SetMixerEntryId(field, std::wstring(128, L'Y').c_str());
  EXPECT_EQ(MixerEntryId(field), L"") << "too long for the field";
  for (wchar_t c : field) EXPECT_EQ(c, 0);
  SetMixerEntryId(field, std::wstring(127, L'Z').c_str());
  EXPECT_EQ(MixerEntryId(field), std::wstring(127, L'Z'));
  SetMixerEntryId(field, L"ab");
  EXPECT_EQ(MixerEntryId(field), L"ab");
  for (size_t i = 2; i < kMixerIdUnits; ++i) EXPECT_EQ(field[i], 0) << "rest zero-filled at " << i;
}

// A stored file is imposed entry by entry (output, input, cable, spare; set 0 then set 1), each
// volume set and then unmuted; a volume above 100 is set as full volume and unmuted too; a
// refused set, an absent device and an id without terminator do not stop the rest; the file is
// written back as it was read.
TEST_F(MixerDataFakeTest, StoredVolumesAreImposedInOrderAndWrittenBackUnchanged) {
  Render(kSpeakers, L"spk");
  Render(kHeadset, L"hp");
  Capture(kMic, L"mic")->volume->setHr = E_NOTIMPL;  // as on Wine
  Capture(kLine, L"line");
  Capture(kCable, L"cab");
  Capture(kExtra, L"extra");
  // What a lookup reading past the unterminated spare id would find.
  Capture(std::wstring(kMixerIdUnits, L'X'), L"past-the-field");

  MixerDataBlock stored = {};
  Ids(stored.sets[0], kSpeakers, kMic, kCable, kExtra);
  Volumes(stored.sets[0], 35, 50, 60, 70);
  Ids(stored.sets[1], kHeadset, kLine, kCable, kAbsent);
  Volumes(stored.sets[1], 10, 20, 101, 80);
  stored.sets[0].reserved = 0xDEADBEEF;
  stored.sets[1].reserved = 7;
  std::wmemset(stored.sets[1].spareId, L'X', kMixerIdUnits);
  stored.sets[1].spareVolume = 0;
  const std::string bytes = FileBytes(stored);
  ASSERT_TRUE(WriteWholeFile(File(), bytes));

  CMixerData mixer;
  EXPECT_TRUE(mixer.SerializeMixerData(false, File()));
  const std::vector<std::wstring> expected = {
      L"spk volume 0.35",  L"spk mute 0",        L"mic volume 0.50", L"mic mute 0",     L"cab volume 0.60",
      L"cab mute 0",       L"extra volume 0.70", L"extra mute 0",    L"hp volume 0.10", L"hp mute 0",
      L"line volume 0.20", L"line mute 0",       L"cab volume 1.00", L"cab mute 0"};
  EXPECT_EQ(fake::TakeCallLog(), expected);
  fake::Device* speakers = enumerator->Find(kSpeakers);
  EXPECT_FLOAT_EQ(speakers->volume->scalar, 0.35f);
  EXPECT_FALSE(speakers->volume->muted);
  EXPECT_EQ(speakers->volume->contexts, 0) << "no event context";
  EXPECT_FALSE(enumerator->Find(kMic)->volume->muted) << "unmuted although the volume was refused";

  EXPECT_TRUE(mixer.SerializeMixerData(true, L""));
  EXPECT_EQ(ReadFileOrMissing(File()), bytes);
}

// Reading the system: truncated percents; a failed read, a device without a volume and an
// empty id leave their fields as they were.
TEST_F(MixerDataFakeTest, ReadVolumesTruncateAndFailedReadsLeaveTheField) {
  Render(kSpeakers, L"spk")->volume->scalar = 0.5f;
  Capture(kMic, L"mic")->volume->scalar = 0.349f;
  Capture(kCable, L"cab")->volume->getHr = E_FAIL;
  Capture(kExtra, L"extra")->volumeActivateHr = E_NOINTERFACE;
  Render(kHeadset, L"hp")->volume->scalar = 0.0f;

  CMixerData mixer;
  Ids(mixer.block.sets[0], kSpeakers, kMic, kCable, kExtra);
  Volumes(mixer.block.sets[0], 1, 2, 42, 43);
  Ids(mixer.block.sets[1], kHeadset, nullptr, kAbsent, nullptr);
  Volumes(mixer.block.sets[1], 9, 44, 45, 46);
  mixer.ApplyMixerVolumes(false, 0);
  mixer.ApplyMixerVolumes(false, 1);
  const MixerDeviceSet& a = mixer.block.sets[0];
  const MixerDeviceSet& b = mixer.block.sets[1];
  EXPECT_EQ(a.outputVolume, 50u);
  EXPECT_EQ(a.inputVolume, 34u);
  EXPECT_EQ(a.cableVolume, 42u) << "failed read";
  EXPECT_EQ(a.spareVolume, 43u) << "no volume interface";
  EXPECT_EQ(b.outputVolume, 0u);
  EXPECT_EQ(b.inputVolume, 44u) << "empty id";
  EXPECT_EQ(b.cableVolume, 45u) << "absent device";
  EXPECT_EQ(b.spareVolume, 46u);
  EXPECT_TRUE(fake::TakeCallLog().empty()) << "reading changes nothing";
}

// An adapter the speakers are connected to, with the connectors of a typical codec.
struct CodecRig {
  fake::Topology* adapter;
  fake::Connector* side;
  fake::Connector* frontMic;
  fake::Connector* spdif;
  fake::Connector* lineIn;
  fake::Connector* wave;
  fake::VolumeLevel* micLevel;
  fake::VolumeLevel* waveLevel;
  fake::VolumeLevel* firstLevel;
  fake::VolumeLevel* lastLevel;
  fake::VolumeLevel* spdifLevel;

  explicit CodecRig(fake::Device* speakers) {
    adapter = speakers->ConnectAdapter();
    side = adapter->AdapterSide();
    frontMic = adapter->AddConnector(L"Front Mic");
    spdif = adapter->AddConnector(L"SPDIF Out");
    lineIn = adapter->AddConnector(L"Rear Line In");
    wave = adapter->AddConnector(L"Wave");
    micLevel = new fake::VolumeLevel(L"front-mic", -34.5f, 12.0f, -8.0f);
    adapter->AddPath(side, frontMic, {adapter->AddPart(L"Mute"), adapter->AddPart(L"Volume", micLevel)});
    // Line in: controls only on the ends of its path, which are not used.
    firstLevel = new fake::VolumeLevel(L"first", -40.0f, 0.0f, 0.0f);
    lastLevel = new fake::VolumeLevel(L"last", -40.0f, 0.0f, 0.0f);
    side->level = firstLevel;
    lineIn->level = lastLevel;
    adapter->AddPath(side, lineIn, {adapter->AddPart(L"Sum")});
    waveLevel = new fake::VolumeLevel(L"wave", -96.0f, 0.0f, 0.0f);
    adapter->AddPath(side, wave, {adapter->AddPart(L"Wave Volume", waveLevel)});
    spdifLevel = new fake::VolumeLevel(L"spdif", -96.0f, 0.0f, -1.0f);
    adapter->AddPath(side, spdif, {adapter->AddPart(L"SPDIF Volume", spdifLevel)});
  }
  int RequestsTo(fake::Connector* c) const {
    int n = 0;
    for (const auto& r : adapter->pathRequests) n += r.to == c->AsPart();
    return n;
  }
};

// "Front Mic" matches the rows "Mic" and "Front Mic": its path's level is read (and set) in dB for
// both; a control on an end of the path is not used, "SPDIF Out" is no row's name.
TEST_F(MixerDataFakeTest, ConnectorLevelsAreReadAndAppliedInDbOnTheSignalPath) {
  fake::Device* speakers = Render(kSpeakers, L"spk");
  CodecRig rig(speakers);

  CMixerData mixer;
  Ids(mixer.block.sets[0], kSpeakers, nullptr);
  mixer.block.sets[0].lineInLevel = 33;
  mixer.ApplyConnectorLevels(false, 0);
  EXPECT_EQ(mixer.block.sets[0].micLevel, 10u) << "-8 dB on a part topping at +12 dB";
  EXPECT_EQ(mixer.block.sets[0].waveLevel, 100u);
  EXPECT_EQ(mixer.block.sets[0].lineInLevel, 33u) << "no control inside the line-in path";
  EXPECT_EQ(rig.RequestsTo(rig.frontMic), 2);
  EXPECT_EQ(rig.RequestsTo(rig.spdif), 0);
  for (const auto& r : rig.adapter->pathRequests) {
    EXPECT_EQ(r.from, rig.side->AsPart()) << "paths start at the adapter's side of the endpoint";
    EXPECT_FALSE(r.rejectMixed);
  }
  for (UINT channel : rig.micLevel->channelsAsked) EXPECT_EQ(channel, 0u);
  EXPECT_EQ(rig.firstLevel->channelsAsked.size() + rig.lastLevel->channelsAsked.size(), 0u);
  EXPECT_TRUE(fake::TakeCallLog().empty());

  mixer.block.sets[0].micLevel = 10;
  mixer.block.sets[0].waveLevel = 50;
  mixer.ApplyConnectorLevels(true, 0);
  const std::vector<std::wstring> applied = {L"front-mic level -8.00", L"front-mic level -8.00",
                                             L"wave level -6.02"};
  EXPECT_EQ(fake::TakeCallLog(), applied);
  EXPECT_EQ(rig.micLevel->contexts, 0);
  EXPECT_EQ(rig.side->levelActivations + rig.lineIn->levelActivations, 0) << "the ends of a path";
  EXPECT_TRUE(rig.spdifLevel->channelsAsked.empty());

  // 0 % is the part's minimum; above 100 % is left alone.
  mixer.block.sets[0].micLevel = 0;
  mixer.block.sets[0].waveLevel = 250;
  mixer.ApplyConnectorLevels(true, 0);
  const std::vector<std::wstring> ends = {L"front-mic level -34.50", L"front-mic level -34.50"};
  EXPECT_EQ(fake::TakeCallLog(), ends);
}

// The whole apply: volumes of the set's four entries first, then the levels on its output.
TEST_F(MixerDataFakeTest, VolumesComeBeforeConnectorLevels) {
  fake::Device* speakers = Render(kSpeakers, L"spk");
  CodecRig rig(speakers);
  Capture(kMic, L"mic");
  CMixerData mixer;
  Ids(mixer.block.sets[0], kSpeakers, kMic);
  Volumes(mixer.block.sets[0], 80, 90, 0, 0);
  mixer.block.sets[0].waveLevel = 100;
  mixer.block.sets[0].micLevel = 101;
  mixer.ApplyMixerVolumes(true, 0);
  const std::vector<std::wstring> expected = {L"spk volume 0.80", L"spk mute 0", L"mic volume 0.90",
                                              L"mic mute 0", L"wave level 0.00"};
  EXPECT_EQ(fake::TakeCallLog(), expected);
}

// Topologies that fall short anywhere on the way leave the levels alone in both directions.
TEST_F(MixerDataFakeTest, IncompleteTopologiesLeaveLevelsAlone) {
  struct Case {
    const char* what;
    void (*breakIt)(fake::Device* speakers, CodecRig& rig);
  };
  const Case cases[] = {
      {"no topology (Wine)",
       [](fake::Device* s, CodecRig&) { s->topology->Release(), s->topology = nullptr; }},
      {"endpoint not connected",
       [](fake::Device* s, CodecRig&) { s->topology->connectors[0]->connectedTo = nullptr; }},
      {"connector without a part",
       [](fake::Device*, CodecRig& r) { r.frontMic->hasPart = r.wave->hasPart = false; }},
      {"connector without a name",
       [](fake::Device*, CodecRig& r) { r.frontMic->hasName = r.wave->hasName = false; }},
      {"no level range",
       [](fake::Device*, CodecRig& r) { r.micLevel->rangeHr = r.waveLevel->rangeHr = E_FAIL; }},
      {"no path", [](fake::Device*, CodecRig& r) { r.adapter->paths.clear(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fake::Device* speakers = Render(kSpeakers, L"spk");
    CodecRig rig(speakers);
    c.breakIt(speakers, rig);
    CMixerData mixer;
    Ids(mixer.block.sets[0], kSpeakers, nullptr);
    mixer.block.sets[0].micLevel = 11;
    mixer.block.sets[0].lineInLevel = 22;
    mixer.block.sets[0].waveLevel = 33;
    mixer.ApplyConnectorLevels(false, 0);
    EXPECT_EQ(mixer.block.sets[0].micLevel, 11u);
    EXPECT_EQ(mixer.block.sets[0].lineInLevel, 22u);
    EXPECT_EQ(mixer.block.sets[0].waveLevel, 33u);
    mixer.ApplyConnectorLevels(true, 0);
    EXPECT_TRUE(fake::TakeCallLog().empty());
    enumerator->devices.clear();
    static_cast<IMMDevice*>(speakers)->Release();
  }
}

// A failed level read keeps the stored percent (the junk the driver wrote is not taken).
TEST_F(MixerDataFakeTest, AFailedLevelReadKeepsTheStoredPercent) {
  fake::Device* speakers = Render(kSpeakers, L"spk");
  CodecRig rig(speakers);
  rig.micLevel->getHr = E_FAIL;
  CMixerData mixer;
  Ids(mixer.block.sets[1], kSpeakers, nullptr);
  mixer.block.sets[1].micLevel = 64;
  mixer.block.sets[1].waveLevel = 5;
  mixer.ApplyConnectorLevels(false, 1);
  EXPECT_EQ(mixer.block.sets[1].micLevel, 64u);
  EXPECT_EQ(mixer.block.sets[1].waveLevel, 100u);
}

struct DefaultsCase {
  const char* what;
  void (*devices)(MixerDataFakeTest* t, fake::Enumerator* e);
  // Set 0: output, input, cable; set 1: output, input, cable (spare ids stay empty).
  const wchar_t* ids[6];
};

class MixerDefaultsTest : public MixerDataFakeTest {
 public:
  using MixerDataFakeTest::Capture;
  using MixerDataFakeTest::Render;
};

TEST_F(MixerDefaultsTest, DefaultsNameTheDefaultAndTheSecondDevices) {
  const std::wstring tooLong(kMixerIdUnits, L'L');
  static const wchar_t* kTooLong;
  kTooLong = tooLong.c_str();
  const DefaultsCase cases[] = {
      {"one device each way: set 1 names the same two",
       [](MixerDataFakeTest* t, fake::Enumerator*) {
         static_cast<MixerDefaultsTest*>(t)->Render(kSpeakers, L"spk");
         static_cast<MixerDefaultsTest*>(t)->Capture(kMic, L"mic");
       },
       {kSpeakers, kMic, nullptr, kSpeakers, kMic, nullptr}},
      {"default render enumerated last, default capture first",
       [](MixerDataFakeTest* t, fake::Enumerator* e) {
         auto* m = static_cast<MixerDefaultsTest*>(t);
         m->Render(kSpeakers, L"speakers");
         m->Render(kHeadset, L"micsink");
         m->Render(kPulse, L"PulseAudio");
         m->Capture(kMic, L"PulseAudio");
         m->Capture(kLine, L"mic");
         e->defaultIds[0] = kPulse;
       },
       {kPulse, kMic, nullptr, kSpeakers, kLine, nullptr}},
      {"a virtual cable beside the microphone",
       [](MixerDataFakeTest* t, fake::Enumerator*) {
         auto* m = static_cast<MixerDefaultsTest*>(t);
         m->Render(kSpeakers, L"spk");
         m->Capture(kMic, L"mic");
         m->Capture(kCable, kCableOutputName);
       },
       {kSpeakers, kMic, kCable, kSpeakers, kCable, nullptr}},
      {"only the virtual cable: set 1 takes over set 0's input entries",
       [](MixerDataFakeTest* t, fake::Enumerator*) {
         auto* m = static_cast<MixerDefaultsTest*>(t);
         m->Render(kSpeakers, L"spk");
         m->Capture(kCable, kCableOutputName);
       },
       {kSpeakers, kCable, kCable, kSpeakers, kCable, kCable}},
      {"a cable-like name is not the cable",
       [](MixerDataFakeTest* t, fake::Enumerator*) {
         auto* m = static_cast<MixerDefaultsTest*>(t);
         m->Render(kSpeakers, L"spk");
         m->Capture(kMic, L"mic");
         m->Capture(kCable, L"CABLE Output (VB-Audio Virtual Cable) 2");
       },
       {kSpeakers, kMic, nullptr, kSpeakers, kCable, nullptr}},
      {"inactive endpoints are passed over",
       [](MixerDataFakeTest* t, fake::Enumerator*) {
         auto* m = static_cast<MixerDefaultsTest*>(t);
         m->Render(kSpeakers, L"spk");
         m->Render(kHeadset, L"hp")->state = DEVICE_STATE_UNPLUGGED;
         m->Render(kUsb, L"usb");
         m->Capture(kMic, L"mic");
         m->Capture(kLine, L"line")->state = DEVICE_STATE_DISABLED;
         m->Capture(kCable, kCableOutputName)->state = DEVICE_STATE_NOTPRESENT;
       },
       {kSpeakers, kMic, nullptr, kUsb, kMic, nullptr}},
      {"no capture endpoint",
       [](MixerDataFakeTest* t, fake::Enumerator*) {
         static_cast<MixerDefaultsTest*>(t)->Render(kSpeakers, L"spk");
       },
       {kSpeakers, nullptr, nullptr, kSpeakers, nullptr, nullptr}},
      {"no default devices",
       [](MixerDataFakeTest* t, fake::Enumerator* e) {
         auto* m = static_cast<MixerDefaultsTest*>(t);
         m->Render(kSpeakers, L"spk");
         m->Capture(kMic, L"mic");
         e->noDefault[0] = e->noDefault[1] = true;
       },
       {nullptr, nullptr, nullptr, kSpeakers, kMic, nullptr}},
      {"an id too long for its field is refused",
       [](MixerDataFakeTest* t, fake::Enumerator*) {
         auto* m = static_cast<MixerDefaultsTest*>(t);
         m->Render(kTooLong, L"long");
         m->Capture(kMic, L"mic");
       },
       {nullptr, kMic, nullptr, nullptr, kMic, nullptr}},
      {"COM creation failing", nullptr, {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}},
  };
  for (const DefaultsCase& c : cases) {
    SCOPED_TRACE(c.what);
    for (fake::Device* d : enumerator->devices) static_cast<IMMDevice*>(d)->Release();
    enumerator->devices.clear();
    enumerator->defaultIds[0].clear();
    enumerator->noDefault[0] = enumerator->noDefault[1] = false;
    enumerator->defaultRoles.clear();
    fake::g_enumerator = c.devices ? enumerator : nullptr;
    if (c.devices) c.devices(this, enumerator);

    CMixerData mixer;
    std::memset(&mixer.block, 0xCD, sizeof mixer.block);
    mixer.SetMixerDefaults();
    MixerDataBlock expected = {};
    Ids(expected.sets[0], c.ids[0], c.ids[1], c.ids[2]);
    Ids(expected.sets[1], c.ids[3], c.ids[4], c.ids[5]);
    EXPECT_EQ(MixerEntryId(mixer.block.sets[0].outputId), MixerEntryId(expected.sets[0].outputId));
    EXPECT_EQ(MixerEntryId(mixer.block.sets[0].inputId), MixerEntryId(expected.sets[0].inputId));
    EXPECT_EQ(MixerEntryId(mixer.block.sets[0].cableId), MixerEntryId(expected.sets[0].cableId));
    EXPECT_EQ(MixerEntryId(mixer.block.sets[1].outputId), MixerEntryId(expected.sets[1].outputId));
    EXPECT_EQ(MixerEntryId(mixer.block.sets[1].inputId), MixerEntryId(expected.sets[1].inputId));
    EXPECT_EQ(MixerEntryId(mixer.block.sets[1].cableId), MixerEntryId(expected.sets[1].cableId));
    EXPECT_EQ(memcmp(&mixer.block, &expected, sizeof expected), 0) << "everything else zero";
    for (ERole role : enumerator->defaultRoles) EXPECT_EQ(role, eMultimedia);
  }
  fake::g_enumerator = enumerator;
}

// The first active capture endpoint with the cable's exact friendly name, as a task-allocated id.
TEST_F(MixerDataFakeTest, TheCableIsFoundByItsFriendlyName) {
  Capture(kMic, L"mic");
  Capture(kLine, L"cable output (vb-audio virtual cable)");
  Capture(kExtra, kCableOutputName)->state = DEVICE_STATE_DISABLED;
  EXPECT_EQ(CMixerData::FindCableOutputId(enumerator), nullptr);
  Capture(kCable, kCableOutputName);
  Capture(kAbsent, kCableOutputName);
  LPWSTR id = CMixerData::FindCableOutputId(enumerator);
  ASSERT_NE(id, nullptr);
  EXPECT_STREQ(id, kCable);
  CoTaskMemFree(id);
}

// Each operation sets up COM for itself and undoes only that: a thread without COM is left
// without, a thread's own apartment (of either kind) stays.
TEST_F(MixerDataFakeTest, ComIsBalancedOnEveryKindOfThread) {
  Render(kSpeakers, L"spk");
  Capture(kMic, L"mic");
  const std::wstring file = File();
  auto operations = [&file] {
    CMixerData mixer;
    mixer.SerializeMixerData(false, file);
    mixer.SerializeMixerData(true, L"");
    mixer.SetMixerDefaults();
    mixer.ApplyMixerVolumes(true, 1);
  };
  HRESULT bare = E_FAIL, sta = E_FAIL, mta = E_FAIL, mtaAfter = E_FAIL;
  std::thread([&] {
    operations();
    bare = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(bare)) CoUninitialize();
  }).join();
  std::thread([&] {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return;
    operations();
    sta = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CoUninitialize();
  }).join();
  std::thread([&] {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return;
    operations();
    mta = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(mta)) CoUninitialize();
    CoUninitialize();
    mtaAfter = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(mtaAfter)) CoUninitialize();
  }).join();
  EXPECT_EQ(bare, S_OK) << "nothing left initialised";
  EXPECT_EQ(sta, RPC_E_CHANGED_MODE) << "the thread's own apartment was torn down";
  EXPECT_EQ(mta, S_FALSE);
  EXPECT_EQ(mtaAfter, S_OK);
}

}  // namespace
