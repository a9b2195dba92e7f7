// MixerData.bin: loading, imposing and writing back the reference endpoint volumes.
#include "audio/MixerData.h"

#include <endpointvolume.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwchar>

#include "audio/EngineInternal.h"
#include "audio/SoundWorks.h"

using engine::SafeRelease;

const ConnectorNameRow kConnectorNames[9] = {
    {CONNECTOR_MIC, L"Pink In"},     {CONNECTOR_MIC, L"Mic"},
    {CONNECTOR_MIC, L"Front Mic"},   {CONNECTOR_MIC, L"Microfono"},
    {CONNECTOR_LINE_IN, L"Line-In"}, {CONNECTOR_LINE_IN, L"Line In"},
    {CONNECTOR_LINE_IN, L"Blue In"}, {CONNECTOR_LINE_IN, L"Linea in ingresso"},
    {CONNECTOR_WAVE, L"Wave"},
};

namespace {

constexpr uint32_t kFullPercent = 100;

// COM for one operation on the calling thread. A thread that already has an apartment of the
// other kind keeps it (and COM is usable there); only a call that succeeded is undone.
class ComScope {
 public:
  ComScope() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  HRESULT hr_;
};

IMMDeviceEnumerator* CreateEnumerator() {
  IMMDeviceEnumerator* enumerator = nullptr;
  HRESULT hr =
      g_pfnSoundCoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                 __uuidof(IMMDeviceEnumerator), reinterpret_cast<void**>(&enumerator));
  if (FAILED(hr)) return nullptr;
  return enumerator;
}

// The endpoint id of a device; empty when it cannot be read.
std::wstring DeviceId(IMMDevice* device) {
  std::wstring id;
  LPWSTR text = nullptr;
  if (device && SUCCEEDED(device->GetId(&text)) && text) id = text;
  CoTaskMemFree(text);
  return id;
}

std::wstring DefaultEndpointId(IMMDeviceEnumerator* enumerator, EDataFlow flow, bool* found) {
  IMMDevice* device = nullptr;
  *found = SUCCEEDED(enumerator->GetDefaultAudioEndpoint(flow, eMultimedia, &device)) && device;
  std::wstring id = *found ? DeviceId(device) : std::wstring();
  SafeRelease(device);
  return id;
}

// The first active endpoint of the flow, in enumeration order, whose id is not `other`.
std::wstring FirstOtherEndpointId(IMMDeviceEnumerator* enumerator, EDataFlow flow,
                                  const std::wstring& other) {
  IMMDeviceCollection* devices = nullptr;
  if (FAILED(enumerator->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, &devices)) || !devices) return L"";
  std::wstring found;
  UINT count = 0;
  if (FAILED(devices->GetCount(&count))) count = 0;
  for (UINT i = 0; i < count && found.empty(); ++i) {
    IMMDevice* device = nullptr;
    if (FAILED(devices->Item(i, &device)) || !device) continue;
    std::wstring id = DeviceId(device);
    device->Release();
    if (!id.empty() && id != other) found = id;
  }
  devices->Release();
  return found;
}

IMMDevice* FindDevice(IMMDeviceEnumerator* enumerator, const wchar_t (&field)[kMixerIdUnits]) {
  const std::wstring id = MixerEntryId(field);
  if (id.empty()) return nullptr;
  IMMDevice* device = nullptr;
  if (FAILED(enumerator->GetDevice(id.c_str(), &device))) return nullptr;
  return device;
}

uint32_t* LevelField(MixerDeviceSet& set, uint32_t kind) {
  switch (kind) {
    case CONNECTOR_MIC:
      return &set.micLevel;
    case CONNECTOR_LINE_IN:
      return &set.lineInLevel;
    default:
      return &set.waveLevel;
  }
}

// Reads up to `size` bytes; the count that arrived.
DWORD ReadUpTo(HANDLE file, void* data, DWORD size) {
  DWORD total = 0;
  while (total < size) {
    DWORD got = 0;
    if (!ReadFile(file, static_cast<uint8_t*>(data) + total, size - total, &got, nullptr) || got == 0) break;
    total += got;
  }
  return total;
}

}  // namespace

float PercentToScalar(uint32_t percent) { return float(percent) / 100.0f; }

uint32_t ScalarToPercent(float scalar) {
  // Rounded to a float first, so that x87 excess precision does not turn 0.35f back into 34.
  volatile float product = scalar * 100.0f;
  const float p = product;
  if (!(p > 0.0f)) return 0;
  if (p >= 4294967295.0f) return 0xFFFFFFFFu;
  return uint32_t(p);
}

float PercentToLevelDb(uint32_t percent, float minDb, float maxDb) {
  if (percent == 0) return minDb;
  const double db = double(maxDb) + 20.0 * std::log10(double(percent) / 100.0);
  return db < minDb ? minDb : float(db);
}

uint32_t LevelDbToPercent(float levelDb, float maxDb) {
  const double p = 100.0 * std::pow(10.0, (double(levelDb) - double(maxDb)) / 20.0);
  if (!(p > 0.0)) return 0;
  if (p >= 4294967295.0) return 0xFFFFFFFFu;
  return uint32_t(p);
}

std::wstring MixerEntryId(const wchar_t (&field)[kMixerIdUnits]) {
  const wchar_t* end = std::wmemchr(field, L'\0', kMixerIdUnits);
  if (!end) return L"";  // no terminator: names no device
  return std::wstring(field, end);
}

void SetMixerEntryId(wchar_t (&field)[kMixerIdUnits], const wchar_t* id) {
  std::wmemset(field, L'\0', kMixerIdUnits);
  if (!id) return;
  const size_t n = wcsnlen(id, kMixerIdUnits);
  if (n >= kMixerIdUnits) return;  // would lose its terminator: refused
  std::wmemcpy(field, id, n);
}

bool CMixerData::SerializeMixerData(bool save, const std::wstring& newPath) {
  ComScope com;
  if (!newPath.empty()) path = newPath;

  if (save) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const uint32_t version = kMixerDataVersion;
    DWORD done = 0;
    WriteFile(file, &version, sizeof version, &done, nullptr);
    WriteFile(file, &block, sizeof block, &done, nullptr);
    CloseHandle(file);
    return true;
  }

  auto buildFromSystem = [this] {
    SetMixerDefaults();
    ApplyMixerVolumes(false, 0);
    ApplyMixerVolumes(false, 1);
  };
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    buildFromSystem();
    return false;
  }
  uint32_t version = 0;
  if (ReadUpTo(file, &version, sizeof version) < sizeof version || version != kMixerDataVersion) {
    buildFromSystem();
    CloseHandle(file);
    return false;
  }
  if (ReadUpTo(file, &block, sizeof block) < sizeof block) {
    buildFromSystem();
  } else {
    ApplyMixerVolumes(true, 0);
    ApplyMixerVolumes(true, 1);
  }
  CloseHandle(file);
  return true;
}

void CMixerData::ApplyMixerVolumes(bool fromData, int setIndex) {
  if (setIndex < 0 || setIndex > 1) return;
  ComScope com;
  MixerDeviceSet& set = block.sets[setIndex];
  if (IMMDeviceEnumerator* enumerator = CreateEnumerator()) {
    struct Entry {
      const wchar_t (&id)[kMixerIdUnits];
      uint32_t& volume;
    };
    const Entry entries[] = {{set.outputId, set.outputVolume},
                             {set.inputId, set.inputVolume},
                             {set.cableId, set.cableVolume},
                             {set.spareId, set.spareVolume}};
    for (const Entry& entry : entries) {
      IMMDevice* device = FindDevice(enumerator, entry.id);
      if (!device) continue;
      IAudioEndpointVolume* volume = nullptr;
      HRESULT hr = device->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_ALL, nullptr,
                                    reinterpret_cast<void**>(&volume));
      device->Release();
      if (FAILED(hr) || !volume) continue;
      if (fromData) {
        // Above full volume is not a volume Windows takes: full volume it is, still unmuted.
        volume->SetMasterVolumeLevelScalar(PercentToScalar(std::min(entry.volume, kFullPercent)), nullptr);
        volume->SetMute(FALSE, nullptr);
      } else {
        float scalar = 0;
        if (SUCCEEDED(volume->GetMasterVolumeLevelScalar(&scalar))) entry.volume = ScalarToPercent(scalar);
      }
      volume->Release();
    }
    enumerator->Release();
  }
  ApplyConnectorLevels(fromData, setIndex);
}

void CMixerData::ApplyConnectorLevels(bool fromData, int setIndex) {
  if (setIndex < 0 || setIndex > 1) return;
  ComScope com;
  MixerDeviceSet& set = block.sets[setIndex];
  IMMDeviceEnumerator* enumerator = CreateEnumerator();
  if (!enumerator) return;
  IMMDevice* output = FindDevice(enumerator, set.outputId);
  enumerator->Release();
  if (!output) return;
  IPart* adapterPart = nullptr;
  IDeviceTopology* adapter = GetAdapterTopology(output, &adapterPart);
  output->Release();
  if (!adapter) {
    SafeRelease(adapterPart);
    return;
  }

  UINT connectors = 0;
  if (FAILED(adapter->GetConnectorCount(&connectors))) connectors = 0;
  for (UINT i = 0; i < connectors; ++i) {
    IConnector* connector = nullptr;
    if (FAILED(adapter->GetConnector(i, &connector)) || !connector) continue;
    IPart* part = nullptr;
    HRESULT hr = connector->QueryInterface(__uuidof(IPart), reinterpret_cast<void**>(&part));
    connector->Release();
    if (FAILED(hr) || !part) continue;
    LPWSTR name = nullptr;
    if (FAILED(part->GetName(&name)) || !name) {
      CoTaskMemFree(name);
      part->Release();
      continue;
    }
    for (const ConnectorNameRow& row : kConnectorNames) {
      if (!wcsstr(name, row.name)) continue;
      IAudioVolumeLevel* level = FindPathVolumeLevel(adapter, part, adapterPart);
      if (!level) continue;
      float minDb = 0, maxDb = 0, stepDb = 0;
      uint32_t* field = LevelField(set, row.kind);
      if (SUCCEEDED(level->GetLevelRange(0, &minDb, &maxDb, &stepDb))) {
        if (!fromData) {
          float db = 0;
          if (SUCCEEDED(level->GetLevel(0, &db))) *field = LevelDbToPercent(db, maxDb);
        } else if (*field <= kFullPercent) {
          level->SetLevelUniform(PercentToLevelDb(*field, minDb, maxDb), nullptr);
        }
      }
      level->Release();
    }
    CoTaskMemFree(name);
    part->Release();
  }
  adapter->Release();
  SafeRelease(adapterPart);
}

void CMixerData::SetMixerDefaults() {
  ComScope com;
  IMMDeviceEnumerator* enumerator = CreateEnumerator();
  std::memset(&block, 0, sizeof block);
  if (!enumerator) return;
  MixerDeviceSet& first = block.sets[0];
  MixerDeviceSet& second = block.sets[1];

  bool found = false;
  const std::wstring defaultRender = DefaultEndpointId(enumerator, eRender, &found);
  if (found) SetMixerEntryId(first.outputId, defaultRender.c_str());
  const std::wstring firstOutput = MixerEntryId(first.outputId);
  std::wstring otherRender = FirstOtherEndpointId(enumerator, eRender, firstOutput);
  SetMixerEntryId(second.outputId, otherRender.empty() ? firstOutput.c_str() : otherRender.c_str());

  const std::wstring defaultCapture = DefaultEndpointId(enumerator, eCapture, &found);
  if (found) {
    LPWSTR cable = FindCableOutputId(enumerator);
    SetMixerEntryId(first.inputId, defaultCapture.c_str());
    SetMixerEntryId(first.spareId, nullptr);
    SetMixerEntryId(first.cableId, cable);
    CoTaskMemFree(cable);
  }
  const std::wstring otherCapture = FirstOtherEndpointId(enumerator, eCapture, MixerEntryId(first.inputId));
  SetMixerEntryId(second.inputId, otherCapture.c_str());
  if (MixerEntryId(second.inputId).empty()) {
    std::memcpy(second.inputId, first.inputId, sizeof second.inputId);
    std::memcpy(second.spareId, first.spareId, sizeof second.spareId);
    std::memcpy(second.cableId, first.cableId, sizeof second.cableId);
  }
  enumerator->Release();
}

LPWSTR CMixerData::FindCableOutputId(IMMDeviceEnumerator* enumerator) {
  if (!enumerator) return nullptr;
  IMMDeviceCollection* devices = nullptr;
  if (FAILED(enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, &devices)) || !devices)
    return nullptr;
  LPWSTR found = nullptr;
  UINT count = 0;
  if (FAILED(devices->GetCount(&count))) count = 0;
  for (UINT i = 0; i < count && !found; ++i) {
    IMMDevice* device = nullptr;
    if (FAILED(devices->Item(i, &device)) || !device) continue;
    LPWSTR id = nullptr;
    if (SUCCEEDED(device->GetId(&id)) && id && engine::FriendlyName(device) == kCableOutputName) {
      found = id;
    } else {
      CoTaskMemFree(id);
    }
    device->Release();
  }
  devices->Release();
  return found;
}

IDeviceTopology* CMixerData::GetAdapterTopology(IMMDevice* endpoint, IPart** adapterPart) {
  *adapterPart = nullptr;
  if (!endpoint) return nullptr;
  IDeviceTopology* endpointTopology = nullptr;
  if (FAILED(endpoint->Activate(__uuidof(IDeviceTopology), CLSCTX_ALL, nullptr,
                                reinterpret_cast<void**>(&endpointTopology))) ||
      !endpointTopology)
    return nullptr;
  IConnector* own = nullptr;
  IConnector* other = nullptr;
  IDeviceTopology* adapter = nullptr;
  if (SUCCEEDED(endpointTopology->GetConnector(0, &own)) && own && SUCCEEDED(own->GetConnectedTo(&other)) &&
      other) {
    IPart* part = nullptr;
    if (SUCCEEDED(other->QueryInterface(__uuidof(IPart), reinterpret_cast<void**>(&part))) && part) {
      if (SUCCEEDED(part->GetTopologyObjects(&adapter)) && adapter) {
        *adapterPart = part;
      } else {
        adapter = nullptr;
        part->Release();
      }
    }
  }
  SafeRelease(other);
  SafeRelease(own);
  endpointTopology->Release();
  return adapter;
}

IAudioVolumeLevel* CMixerData::FindPathVolumeLevel(IDeviceTopology* adapter, IPart* connectorPart,
                                                   IPart* adapterPart) {
  if (!adapter || !connectorPart || !adapterPart) return nullptr;
  IPartsList* parts = nullptr;
  if (FAILED(adapter->GetSignalPath(adapterPart, connectorPart, FALSE, &parts)) || !parts) return nullptr;
  IAudioVolumeLevel* level = nullptr;
  UINT count = 0;
  if (FAILED(parts->GetCount(&count))) count = 0;
  // The two ends of the path are the connectors themselves.
  for (UINT i = 1; i + 1 < count && !level; ++i) {
    IPart* part = nullptr;
    if (FAILED(parts->GetPart(i, &part)) || !part) continue;
    if (FAILED(part->Activate(CLSCTX_ALL, __uuidof(IAudioVolumeLevel), reinterpret_cast<void**>(&level))))
      level = nullptr;
    part->Release();
  }
  parts->Release();
  return level;
}
