// The level sliders' right-click menu without a window: the items each slider offers with their
// ids and check marks, the virtual cables left out, and what a menu result chooses.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/main/DeviceMenu.h"

namespace {

const DeviceList kRender = {{L"{out-1}", L"Speakers"},
                            {L"{cable-in}", L"CABLE Input (VB-Audio Virtual Cable)"},
                            {L"{out-2}", L"Headphones"}};
const DeviceList kCapture = {{L"{in-1}", L"Microphone"},
                             {L"{cable-out}", L"CABLE Output (VB-Audio Virtual Cable)"},
                             {L"{in-2}", L"Line In"}};

TEST(DeviceMenu, VirtualCablesAreNeverOffered) {
  EXPECT_TRUE(IsVirtualCableDevice(L"CABLE Output (VB-Audio Virtual Cable)"));
  EXPECT_TRUE(IsVirtualCableDevice(L"VB-Audio Virtual Cable"));
  EXPECT_FALSE(IsVirtualCableDevice(L"vb-audio virtual cable"));  // as Windows names it, exactly
  EXPECT_FALSE(IsVirtualCableDevice(L"Microphone"));
  const DeviceList render = WithoutVirtualCables(kRender);
  ASSERT_EQ(render.size(), 2u);
  EXPECT_EQ(render[0].first, L"{out-1}");
  EXPECT_EQ(render[1].first, L"{out-2}");
  EXPECT_EQ(WithoutVirtualCables(kCapture).size(), 2u);
}

TEST(DeviceMenu, TheOutSliderListsOutputDevicesWithTheCurrentOneChecked) {
  const std::vector<DeviceMenuItem> items =
      DeviceMenuItems(LevelSlider::Out, WithoutVirtualCables(kRender), WithoutVirtualCables(kCapture),
                      L"{out-2}", L"{in-1}", 3);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].id, 1u);
  EXPECT_EQ(items[0].text, L"Speakers");
  EXPECT_FALSE(items[0].checked);
  EXPECT_EQ(items[1].id, 2u);
  EXPECT_EQ(items[1].text, L"Headphones");
  EXPECT_TRUE(items[1].checked);
}

TEST(DeviceMenu, TheInSliderListsSourcesThenInputDevices) {
  for (uint32_t mask : {1u, 2u, 3u, 0u}) {
    const std::vector<DeviceMenuItem> items =
        DeviceMenuItems(LevelSlider::In, WithoutVirtualCables(kRender), WithoutVirtualCables(kCapture),
                        L"{out-1}", L"{in-2}", mask);
    ASSERT_EQ(items.size(), 6u);
    const wchar_t* sources[] = {L"Mic only", L"PC only", L"Mic and PC"};
    for (uint32_t i = 0; i < 3; ++i) {
      EXPECT_EQ(items[i].text, sources[i]);
      EXPECT_EQ(items[i].id, 0xFFFF0000u | (i + 1));
      EXPECT_EQ(items[i].checked, mask == i + 1) << "mask " << mask << " item " << i;
    }
    EXPECT_EQ(items[3].id, 0u);  // the separator
    EXPECT_EQ(items[4].id, 1u);
    EXPECT_EQ(items[4].text, L"Microphone");
    EXPECT_FALSE(items[4].checked);
    EXPECT_EQ(items[5].id, 2u);
    EXPECT_EQ(items[5].text, L"Line In");
    EXPECT_TRUE(items[5].checked);
  }
}

TEST(DeviceMenu, OtherWindowsAndEmptyListsOfferNoDevice) {
  EXPECT_TRUE(DeviceMenuItems(LevelSlider::None, kRender, kCapture, L"", L"", 3).empty());
  EXPECT_TRUE(DeviceMenuItems(LevelSlider::Out, {}, {}, L"", L"", 3).empty());
  // An engine without devices still offers the IN slider's sources.
  EXPECT_EQ(DeviceMenuItems(LevelSlider::In, {}, {}, L"", L"", 3).size(), 4u);
}

TEST(DeviceMenu, ResultsDecodeToADeviceASourceOrNothing) {
  struct Case {
    LevelSlider slider;
    UINT result;
    size_t devices;
    DeviceMenuChoice::Kind kind;
    size_t index;
    uint32_t mask;
  } cases[] = {
      {LevelSlider::Out, 0, 2, DeviceMenuChoice::Nothing, 0, 0},
      {LevelSlider::Out, 1, 2, DeviceMenuChoice::Device, 0, 0},
      {LevelSlider::Out, 2, 2, DeviceMenuChoice::Device, 1, 0},
      {LevelSlider::Out, 3, 2, DeviceMenuChoice::Nothing, 0, 0},
      {LevelSlider::Out, 0xFFFF0002u, 2, DeviceMenuChoice::Nothing, 0, 0},
      {LevelSlider::In, 0xFFFF0001u, 2, DeviceMenuChoice::Source, 0, 1},
      {LevelSlider::In, 0xFFFF0003u, 2, DeviceMenuChoice::Source, 0, 3},
      {LevelSlider::In, 2, 2, DeviceMenuChoice::Device, 1, 0},
      {LevelSlider::None, 1, 2, DeviceMenuChoice::Nothing, 0, 0},
  };
  for (const Case& c : cases) {
    const DeviceMenuChoice choice = DecodeDeviceMenuResult(c.slider, c.result, c.devices);
    EXPECT_EQ(choice.kind, c.kind) << std::hex << c.result;
    if (c.kind == DeviceMenuChoice::Device) {
      EXPECT_EQ(choice.index, c.index);
    }
    if (c.kind == DeviceMenuChoice::Source) {
      EXPECT_EQ(choice.mask, c.mask);
    }
  }
}

TEST(DeviceMenu, TheMenuKeepsOrderIdsAndCheckMarks) {
  const std::vector<DeviceMenuItem> items =
      DeviceMenuItems(LevelSlider::In, {}, WithoutVirtualCables(kCapture), L"", L"{in-1}", 2);
  HMENU menu = BuildDeviceMenu(items);
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(GetMenuItemCount(menu), 6);
  for (int i = 0; i < 6; ++i) {
    MENUITEMINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STATE;
    ASSERT_TRUE(GetMenuItemInfoW(menu, i, TRUE, &info));
    EXPECT_EQ(info.wID, items[i].id) << i;
    EXPECT_EQ((info.fType & MFT_SEPARATOR) != 0, items[i].id == 0) << i;
    EXPECT_EQ((info.fState & MFS_CHECKED) != 0, items[i].checked) << i;
  }
  DestroyMenu(menu);
}

}  // namespace
