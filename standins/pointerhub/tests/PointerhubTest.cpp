// Pointerhub.dll loaded by name as the station dialog does; what it reports to the debugger output
// is caught in-process (the debug-print exceptions OutputDebugString raises first) and shows what
// it kept for each station.
#include "standins/pointerhub/Pointerhub.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

std::vector<std::wstring>* g_lines = nullptr;

LONG CALLBACK CatchDebugPrint(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* r = info->ExceptionRecord;
  if (!g_lines || r->NumberParameters < 2) return EXCEPTION_CONTINUE_SEARCH;
  if (r->ExceptionCode == 0x4001000A /* DBG_PRINTEXCEPTION_WIDE_C */) {
    g_lines->push_back(reinterpret_cast<const wchar_t*>(r->ExceptionInformation[1]));
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  if (r->ExceptionCode == DBG_PRINTEXCEPTION_C) {
    const char* text = reinterpret_cast<const char*>(r->ExceptionInformation[1]);
    wchar_t wide[1024];
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 1024);
    g_lines->push_back(wide);
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

template <typename Fn>
Fn ProcAs(FARPROC proc) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

class PointerhubTest : public testing::Test {
 protected:
  void SetUp() override {
    dll_ = LoadLibraryW(POINTERHUB_DLL_NAME);
    ASSERT_NE(dll_, nullptr);
    select_ = ProcAs<SelectRawInputDevicesFn>(GetProcAddress(dll_, "SelectRawInputDevices"));
    unsubscribe_ = ProcAs<UnsubscribeRawInputDevicesFn>(GetProcAddress(dll_, "UnsubscribeRawInputDevices"));
    deinitialize_ = ProcAs<DeinitializeRawInputFn>(GetProcAddress(dll_, "DeinitializeRawInput"));
    ASSERT_TRUE(select_ && unsubscribe_ && deinitialize_) << "an export is missing under its plain name";
    window_ = CreateWindowExW(0, L"STATIC", L"_1QuillmeridianUser", WS_POPUP, 640, 0, 640, 1024, nullptr,
                              nullptr, nullptr, nullptr);
    ASSERT_NE(window_, nullptr);
    g_lines = &lines_;
    handler_ = AddVectoredExceptionHandler(1, CatchDebugPrint);
  }
  void TearDown() override {
    if (handler_) RemoveVectoredExceptionHandler(handler_);
    g_lines = nullptr;
    if (deinitialize_) deinitialize_();
    if (window_) DestroyWindow(window_);
  }

  // The one line reported since the last call, without the library's prefix.
  std::wstring LastLine() {
    EXPECT_EQ(lines_.size(), 1u);
    std::wstring line = lines_.empty() ? L"" : lines_.back();
    lines_.clear();
    const std::wstring prefix = L"Pointerhub: ";
    EXPECT_EQ(line.rfind(prefix, 0), 0u) << testing::PrintToString(line);
    return line.substr(std::min(prefix.size(), line.size()));
  }
  std::wstring Hex(const void* p) {
    wchar_t text[32];
    swprintf(text, 32, L"%p", p);
    return text;
  }

  HMODULE dll_ = nullptr;
  SelectRawInputDevicesFn select_ = nullptr;
  UnsubscribeRawInputDevicesFn unsubscribe_ = nullptr;
  DeinitializeRawInputFn deinitialize_ = nullptr;
  HWND window_ = nullptr;
  PVOID handler_ = nullptr;
  std::vector<std::wstring> lines_;
};

TEST_F(PointerhubTest, KeepsEachStationUntilItIsUnsubscribed) {
  const DWORD thread = GetCurrentThreadId(), process = GetCurrentProcessId();
  ASSERT_TRUE(select_(window_, thread, process, 1, RECT{640, 0, 1280, 1024}));
  EXPECT_EQ(LastLine(), L"SelectRawInputDevices station 1 window " + Hex(window_) + L" thread " +
                            std::to_wstring(thread) + L" process " + std::to_wstring(process) +
                            L" area (640,0)-(1280,1024)");
  HWND other = reinterpret_cast<HWND>(0x1234);
  ASSERT_TRUE(select_(other, thread, process, 2, RECT{0, 0, 640, 1024}));
  lines_.clear();

  // Each station gets back what it gave, not the other's.
  EXPECT_TRUE(unsubscribe_(2));
  EXPECT_EQ(LastLine(), L"UnsubscribeRawInputDevices station 2: dropped window " + Hex(other) +
                            L" area (0,0)-(640,1024)");
  EXPECT_FALSE(unsubscribe_(2));
  EXPECT_EQ(LastLine(), L"UnsubscribeRawInputDevices station 2: not subscribed");
  EXPECT_TRUE(unsubscribe_(1));
  EXPECT_EQ(LastLine(), L"UnsubscribeRawInputDevices station 1: dropped window " + Hex(window_) +
                            L" area (640,0)-(1280,1024)");
  EXPECT_TRUE(deinitialize_());
  EXPECT_EQ(LastLine(), L"DeinitializeRawInput: dropped 0 subscriptions");
}

TEST_F(PointerhubTest, ASecondSelectReplacesAndDeinitializeDropsAll) {
  ASSERT_TRUE(select_(window_, 1, 2, 1, RECT{0, 0, 10, 10}));
  ASSERT_TRUE(select_(window_, 1, 2, 1, RECT{5, 6, 7, 8}));
  ASSERT_EQ(lines_.size(), 2u);
  EXPECT_NE(lines_[1].find(L"area (5,6)-(7,8) replaces the earlier subscription"), std::wstring::npos);
  ASSERT_TRUE(select_(window_, 1, 2, 2, RECT{}));
  lines_.clear();

  EXPECT_TRUE(deinitialize_());
  EXPECT_EQ(LastLine(), L"DeinitializeRawInput: dropped 2 subscriptions, stations 1 2");
  // Unsubscribing after the library was deinitialised, as a second dialog teardown would, is harmless.
  EXPECT_FALSE(unsubscribe_(1));
  EXPECT_EQ(LastLine(), L"UnsubscribeRawInputDevices station 1: not subscribed");
  EXPECT_TRUE(deinitialize_());
  EXPECT_EQ(LastLine(), L"DeinitializeRawInput: dropped 0 subscriptions");
}

}  // namespace
