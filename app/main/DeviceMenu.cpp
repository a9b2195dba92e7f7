#include "app/main/DeviceMenu.h"

namespace {

constexpr struct {
  const wchar_t* text;
  uint32_t mask;
} kSources[] = {{L"Mic only", 1}, {L"PC only", 2}, {L"Mic and PC", 3}};

void AppendDeviceMenuItems(const DeviceList& devices, const std::wstring& current,
                           std::vector<DeviceMenuItem>* items) {
  UINT id = 1;
  for (const auto& device : devices) items->push_back({id++, device.second, device.first == current});
}

}  // namespace

bool IsVirtualCableDevice(const std::wstring& friendlyName) {
  return friendlyName.find(L"VB-Audio Virtual Cable") != std::wstring::npos;
}

DeviceList WithoutVirtualCables(const DeviceList& devices) {
  DeviceList kept;
  for (const auto& device : devices)
    if (!IsVirtualCableDevice(device.second)) kept.push_back(device);
  return kept;
}

std::vector<DeviceMenuItem> DeviceMenuItems(LevelSlider slider, const DeviceList& render,
                                            const DeviceList& capture, const std::wstring& outputId,
                                            const std::wstring& inputId, uint32_t captureMask) {
  std::vector<DeviceMenuItem> items;
  if (slider == LevelSlider::Out) {
    AppendDeviceMenuItems(render, outputId, &items);
  } else if (slider == LevelSlider::In) {
    for (const auto& source : kSources)
      items.push_back({SourceItemId(source.mask), source.text, source.mask == captureMask});
    items.push_back({});
    AppendDeviceMenuItems(capture, inputId, &items);
  }
  return items;
}

DeviceMenuChoice DecodeDeviceMenuResult(LevelSlider slider, UINT result, size_t deviceCount) {
  DeviceMenuChoice choice;
  if (result == 0 || slider == LevelSlider::None) return choice;
  if (slider == LevelSlider::In && HIWORD(result) == kSourceItemHigh) {
    const uint32_t mask = LOWORD(result);
    if (mask >= 1 && mask <= 3) {
      choice.kind = DeviceMenuChoice::Source;
      choice.mask = mask;
    }
    return choice;
  }
  if (result <= deviceCount) {
    choice.kind = DeviceMenuChoice::Device;
    choice.index = result - 1;
  }
  return choice;
}

HMENU BuildDeviceMenu(const std::vector<DeviceMenuItem>& items) {
  HMENU menu = CreatePopupMenu();
  if (!menu) return nullptr;
  UINT position = 0;
  for (const DeviceMenuItem& entry : items) {
    MENUITEMINFOW item = {};
    item.cbSize = sizeof item;
    if (entry.id == 0) {
      item.fMask = MIIM_FTYPE;
      item.fType = MFT_SEPARATOR;
    } else {
      item.fMask = MIIM_ID | MIIM_STRING | MIIM_FTYPE | MIIM_STATE;
      item.fType = MFT_STRING;
      item.fState = entry.checked ? MFS_CHECKED : MFS_UNCHECKED;
      item.wID = entry.id;
      item.dwTypeData = const_cast<wchar_t*>(entry.text.c_str());
    }
    InsertMenuItemW(menu, position++, TRUE, &item);
  }
  return menu;
}
