// MixerData.bin: a reference set of Windows endpoint volumes and connector levels that the
// recorder imposes at every start, whatever was changed in the Windows mixer in between.
#pragma once

#include <devicetopology.h>
#include <mmdeviceapi.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint32_t kMixerDataVersion = 2;
// Code units of an endpoint id field, the terminating 0 included.
constexpr size_t kMixerIdUnits = 128;

// One device set: the output endpoint with the connector levels found on its adapter, the
// input, the virtual cable and a spare endpoint, each with its master volume in percent.
struct MixerDeviceSet {
  wchar_t outputId[kMixerIdUnits];
  uint32_t outputVolume;
  uint32_t micLevel;
  uint32_t lineInLevel;
  uint32_t waveLevel;
  wchar_t inputId[kMixerIdUnits];
  uint32_t inputVolume;
  wchar_t cableId[kMixerIdUnits];
  uint32_t cableVolume;
  wchar_t spareId[kMixerIdUnits];
  uint32_t spareVolume;
  uint32_t reserved;  // never given a meaning; kept as read
};
static_assert(sizeof(wchar_t) == 2);
static_assert(sizeof(MixerDeviceSet) == 1056);
static_assert(offsetof(MixerDeviceSet, inputId) == 272 && offsetof(MixerDeviceSet, cableId) == 532 &&
              offsetof(MixerDeviceSet, spareId) == 792 && offsetof(MixerDeviceSet, reserved) == 1052);

// What follows the version word in the file, byte for byte: set 0 the default devices, set 1 the
// second pair.
struct MixerDataBlock {
  MixerDeviceSet sets[2];
};
static_assert(sizeof(MixerDataBlock) == 2112);

constexpr wchar_t kCableOutputName[] = L"CABLE Output (VB-Audio Virtual Cable)";

// Kinds of the connector-name table: which level field a connector's name selects.
enum ConnectorKind : uint32_t { CONNECTOR_WAVE = 0, CONNECTOR_MIC = 1, CONNECTOR_LINE_IN = 2 };
struct ConnectorNameRow {
  uint32_t kind;
  const wchar_t* name;
};
// In the order the rows are tried; a connector matches every row whose name occurs in its own.
extern const ConnectorNameRow kConnectorNames[9];

// The conversions between the stored percent and what Core Audio takes; percents truncate.
float PercentToScalar(uint32_t percent);
uint32_t ScalarToPercent(float scalar);
// 100 % is the part's maximum; 0 % (minus infinity dB) is its minimum.
float PercentToLevelDb(uint32_t percent, float minDb, float maxDb);
uint32_t LevelDbToPercent(float levelDb, float maxDb);
// The id a field holds; empty when the field is empty or has no terminator.
std::wstring MixerEntryId(const wchar_t (&field)[kMixerIdUnits]);
// Copies an id into a field, zero-filling the rest; an id that does not fit leaves it empty.
void SetMixerEntryId(wchar_t (&field)[kMixerIdUnits], const wchar_t* id);

// The mixer-data holder of the application data object. Each operation sets up COM for its own
// work on the calling thread and undoes only what it set up.
class CMixerData {
 public:
  // Load (save false): a non-empty path replaces the stored one; true when the file opened and
  // its version was 2. The reference is imposed on the system, or built from it when the file is
  // missing or unusable. Save: writes the reference back; true when the file could be opened.
  bool SerializeMixerData(bool save, const std::wstring& path);
  // With fromData the set's four master volumes and then its connector levels are applied;
  // without, they are read into the set.
  void ApplyMixerVolumes(bool fromData, int set);
  void ApplyConnectorLevels(bool fromData, int set);
  // Clears the block and fills both sets' endpoint ids from the present devices.
  void SetMixerDefaults();

  // The id (CoTaskMemAlloc'd, for the caller to free) of the active virtual-cable capture
  // endpoint, or null.
  static LPWSTR FindCableOutputId(IMMDeviceEnumerator* enumerator);
  // The topology of the adapter the endpoint is connected to, or null; *adapterPart gets the
  // adapter's side of that connection.
  static IDeviceTopology* GetAdapterTopology(IMMDevice* endpoint, IPart** adapterPart);
  // The first volume-level control strictly inside the signal path between the two parts.
  static IAudioVolumeLevel* FindPathVolumeLevel(IDeviceTopology* adapter, IPart* connectorPart,
                                                IPart* adapterPart);

  std::wstring path;
  MixerDataBlock block = {};
};
