// The right-click menu of the two level sliders: the OUT slider lists the output devices, the IN
// slider the recording sources ("Mic only", "PC only", "Mic and PC") and then the input devices.
// Device items have the ids 1..n in list order; a source item has 0xFFFF in its high word and the
// capture mask it selects in its low word.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "audio/SoundWorks.h"

enum class LevelSlider { Out, In, None };

constexpr UINT kSourceItemHigh = 0xFFFF;
constexpr UINT SourceItemId(uint32_t mask) { return (kSourceItemHigh << 16) | mask; }

struct DeviceMenuItem {
  UINT id = 0;  // 0: a separator
  std::wstring text;
  bool checked = false;
};

// Virtual-cable devices are never offered.
bool IsVirtualCableDevice(const std::wstring& friendlyName);
DeviceList WithoutVirtualCables(const DeviceList& devices);

// The items of the slider's menu over lists already rid of virtual cables: the device whose id
// is the current one and the source whose mask is the current one carry the check mark.
std::vector<DeviceMenuItem> DeviceMenuItems(LevelSlider slider, const DeviceList& render,
                                            const DeviceList& capture, const std::wstring& outputId,
                                            const std::wstring& inputId, uint32_t captureMask);

// What a menu result chose: a device of the slider's list (index from 0) or a capture mask.
struct DeviceMenuChoice {
  enum Kind { Nothing, Device, Source } kind = Nothing;
  size_t index = 0;
  uint32_t mask = 0;
};
DeviceMenuChoice DecodeDeviceMenuResult(LevelSlider slider, UINT result, size_t deviceCount);

// The items as a pop-up menu, in order.
HMENU BuildDeviceMenu(const std::vector<DeviceMenuItem>& items);
