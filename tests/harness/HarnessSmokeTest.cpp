// The test harness must be real: the PulseAudio null devices are visible as audio endpoints and a
// window can be shown and painted on the virtual display. Nothing here may skip.
#include <gtest/gtest.h>

#include <windows.h>
#include <initguid.h>
#include <functiondiscoverykeys_devpkey.h>
#include <mmdeviceapi.h>

#include <string>
#include <vector>

namespace {
struct ComScope {
  ComScope() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  ~ComScope() { CoUninitialize(); }
};

std::vector<std::wstring> EndpointNames(EDataFlow flow) {
  std::vector<std::wstring> names;
  IMMDeviceEnumerator* enumerator = nullptr;
  if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                              __uuidof(IMMDeviceEnumerator), reinterpret_cast<void**>(&enumerator)))) {
    return names;
  }
  IMMDeviceCollection* devices = nullptr;
  if (SUCCEEDED(enumerator->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, &devices))) {
    UINT count = 0;
    devices->GetCount(&count);
    for (UINT i = 0; i < count; ++i) {
      IMMDevice* device = nullptr;
      IPropertyStore* props = nullptr;
      if (SUCCEEDED(devices->Item(i, &device)) && SUCCEEDED(device->OpenPropertyStore(STGM_READ, &props))) {
        PROPVARIANT v;
        PropVariantInit(&v);
        if (SUCCEEDED(props->GetValue(PKEY_Device_FriendlyName, &v)) && v.vt == VT_LPWSTR)
          names.push_back(v.pwszVal);
        PropVariantClear(&v);
      }
      if (props) props->Release();
      if (device) device->Release();
    }
    devices->Release();
  }
  enumerator->Release();
  return names;
}

bool Contains(const std::vector<std::wstring>& names, const wchar_t* part) {
  for (const auto& n : names) {
    if (n.find(part) != std::wstring::npos) return true;
  }
  return false;
}

std::string Join(const std::vector<std::wstring>& names) {
  std::string out;
  for (const auto& n : names) out += std::string(n.begin(), n.end()) + "; ";
  return out;
}
}  // namespace

TEST(Harness, NullAudioDevicesAreEndpoints) {
  ComScope com;
  auto outputs = EndpointNames(eRender);
  auto inputs = EndpointNames(eCapture);
  EXPECT_TRUE(Contains(outputs, L"speakers")) << Join(outputs);
  EXPECT_TRUE(Contains(outputs, L"micsink")) << Join(outputs);
  EXPECT_TRUE(Contains(inputs, L"mic")) << Join(inputs);
  EXPECT_TRUE(Contains(inputs, L"Monitor of speakers")) << Join(inputs);
}

TEST(Harness, WindowIsShownAndPaintedOnTheDisplay) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"QmHarnessSmoke";
  wc.hbrBackground = CreateSolidBrush(RGB(0, 160, 80));
  ASSERT_TRUE(RegisterClassW(&wc));
  // A corner of the screen no other test uses; topmost so nothing covers it.
  const int x = 1040, y = 860;
  HWND wnd = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"smoke", WS_POPUP, x, y, 200, 120, nullptr,
                             nullptr, wc.hInstance, nullptr);
  ASSERT_TRUE(wnd) << GetLastError();
  ShowWindow(wnd, SW_SHOW);
  UpdateWindow(wnd);
  EXPECT_TRUE(IsWindowVisible(wnd));
  // Paint and read back through the screen until the colour has reached the virtual display
  // (under load the X server may take a moment).
  COLORREF c = CLR_INVALID;
  for (int attempt = 0; attempt < 50 && c != RGB(0, 160, 80); ++attempt) {
    HDC dc = GetDC(wnd);
    RECT r{0, 0, 200, 120};
    FillRect(dc, &r, static_cast<HBRUSH>(wc.hbrBackground));
    GdiFlush();
    ReleaseDC(wnd, dc);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(40);
    HDC screen = GetDC(nullptr);
    c = GetPixel(screen, x + 100, y + 60);
    ReleaseDC(nullptr, screen);
  }
  EXPECT_EQ(c, RGB(0, 160, 80));
  EXPECT_GE(GetSystemMetrics(SM_CXSCREEN), 1024);
  DestroyWindow(wnd);
}
