// The main dialog in-process over fake-engine tracks: its repaints, the level sliders' menus,
// volumes and the classroom's level messages, the right clicks as the system delivers them, the URL menu, the
// mixer and minimise buttons and the busy cursor. Pop-up menus are answered through the menu seam and the
// shell seam records what would be started: no browser or mixer opens.
#include <windows.h>
#include <mmdeviceapi.h>
#include <endpointvolume.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/controls/tests/ScreenCapture.h"
#include "app/main/MainDlg.h"
#include "app/main/ShellSeams.h"
#include "app/main/UrlMenu.h"
#include "app/res/UrlListIds.h"
#include "appdata/AppData.h"
#include "appdata/SettingsFile.h"
#include "media/document/SoundDocument.h"
#include "tests/support/FakeSoundEngine.h"
#include "tests/support/ScriptedPrompts.h"
#include "app/main/tests/InProcessDialog.h"
#include "tests/support/DialogTestKit.h"
#include "tests/support/TestFiles.h"

namespace {

// An endpoint volume that keeps the last scalar set and counts its references.
class FakeVolume final : public IAudioEndpointVolume {
 public:
  explicit FakeVolume(float level) : scalar(level) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE RegisterControlChangeNotify(IAudioEndpointVolumeCallback*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE UnregisterControlChangeNotify(IAudioEndpointVolumeCallback*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetChannelCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetMasterVolumeLevel(FLOAT, LPCGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetMasterVolumeLevelScalar(FLOAT level, LPCGUID context) override {
    scalar = level;
    ++sets;
    if (context) ++contexts;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetMasterVolumeLevel(FLOAT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMasterVolumeLevelScalar(FLOAT* level) override {
    *level = scalar;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetChannelVolumeLevel(UINT, FLOAT, LPCGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetChannelVolumeLevelScalar(UINT, FLOAT, LPCGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetChannelVolumeLevel(UINT, FLOAT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetChannelVolumeLevelScalar(UINT, FLOAT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetMute(WINBOOL, LPCGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMute(WINBOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVolumeStepInfo(UINT*, UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE VolumeStepUp(LPCGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE VolumeStepDown(LPCGUID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryHardwareSupport(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVolumeRange(FLOAT*, FLOAT*, FLOAT*) override { return E_NOTIMPL; }

  float scalar;
  int sets = 0;
  int contexts = 0;
  LONG refs = 1;
};

// One item of a menu as the user would see it.
struct ShownItem {
  UINT id;
  std::wstring text;
  bool checked;
  bool separator;
};

// The menu seam: records each menu shown and answers with the next scripted id (0 when none).
struct MenuScript {
  struct Shown {
    std::vector<ShownItem> items;
    POINT at;
    UINT flags;
    HWND owner;
  };
  std::vector<Shown> shown;
  std::vector<UINT> answers;
};
MenuScript* g_menus = nullptr;

BOOL ScriptedMenu(HMENU menu, UINT flags, int x, int y, HWND owner) {
  MenuScript::Shown shown = {{}, {x, y}, flags, owner};
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    wchar_t text[512] = {};
    MENUITEMINFOW item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STATE | MIIM_STRING;
    item.dwTypeData = text;
    item.cch = 512;
    GetMenuItemInfoW(menu, i, TRUE, &item);
    shown.items.push_back(
        {item.wID, text, (item.fState & MFS_CHECKED) != 0, (item.fType & MFT_SEPARATOR) != 0});
  }
  g_menus->shown.push_back(shown);
  if (g_menus->answers.empty()) return 0;
  const UINT answer = g_menus->answers.front();
  g_menus->answers.erase(g_menus->answers.begin());
  return static_cast<BOOL>(answer);
}

struct ShellCall {
  std::wstring verb, file, parameters, folder;
  bool hasVerb;
  INT show;
};
std::vector<ShellCall>* g_shell = nullptr;

HINSTANCE RecordedShell(HWND, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR folder, INT show) {
  g_shell->push_back({verb ? verb : L"", file ? file : L"", parameters ? parameters : L"",
                      folder ? folder : L"", verb != nullptr, show});
  return reinterpret_cast<HINSTANCE>(42);
}

// What the dialog is sent on this thread: the context menus and the stop commands.
struct SentLog {
  HWND dialog = nullptr;
  int contextMenus = 0;
  int masterStops = 0;
  int studentStops = 0;
};
SentLog g_sent;

LRESULT CALLBACK RecordSent(int code, WPARAM wParam, LPARAM lParam) {
  const auto* msg = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && msg->hwnd == g_sent.dialog) {
    if (msg->message == WM_CONTEXTMENU) ++g_sent.contextMenus;
    if (msg->message == WM_COMMAND && LOWORD(msg->wParam) == IDC_MBUTSTOP) ++g_sent.masterStops;
    if (msg->message == WM_COMMAND && LOWORD(msg->wParam) == IDC_BUTSTOP) ++g_sent.studentStops;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

class MainDialogPaint : public InProcessDialog<> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(OpenDialog(L"qmpaint"));
    // The station's wave-device file of this test only.
    wcscpy(app_->waveDevices.settingsPath, (folder_ + L"\\Quillmeridian.ini").c_str());
    master_ = app_->masterTrack;
    student_ = app_->studentTrack;
    auto* engine = static_cast<FakeEngine*>(master_->engine);
    engine->renderDevices = {{L"{out-1}", L"Speakers"},
                             {L"{cable-in}", L"CABLE Input (VB-Audio Virtual Cable)"},
                             {L"{out-2}", L"Headphones"}};
    engine->captureDevices = {{L"{cable-out}", L"CABLE Output (VB-Audio Virtual Cable)"},
                              {L"{in-1}", L"Microphone"},
                              {L"{in-2}", L"Line In"}};
    previousMenu_ = g_pfnTrackPopupMenu;
    previousShell_ = g_pfnShellExecute;
    g_menus = &menus_;
    g_shell = &shell_;
    g_pfnTrackPopupMenu = ScriptedMenu;
    g_pfnShellExecute = RecordedShell;
    g_sent = SentLog{dialog_->m_hWnd};
    hook_ = SetWindowsHookExW(WH_CALLWNDPROC, RecordSent, nullptr, GetCurrentThreadId());
  }
  void TearDown() override {
    if (hook_) UnhookWindowsHookEx(hook_);
    g_pfnTrackPopupMenu = previousMenu_;
    g_pfnShellExecute = previousShell_;
    // The fakes live on this frame: the tracks must not release them later.
    for (CSoundDocument* track : {master_, student_})
      if (track) track->outputVolume = track->inputVolume = nullptr;
    CloseDialog();
  }

  HWND Control(UINT id) const { return ::GetDlgItem(dialog_->m_hWnd, static_cast<int>(id)); }
  // The right button pressed and let go over a control, as the system delivers it.
  void RightClick(HWND window, int x, int y) {
    PostMessageW(window, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(x, y));
    PostMessageW(window, WM_RBUTTONUP, 0, MAKELPARAM(x, y));
    Pump();
  }
  LRESULT ContextMenuOn(HWND window, int x, int y) {
    return dialog_->SendMessage(WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window), MAKELPARAM(x, y));
  }

  ScriptedPrompts prompts_;
  CSoundDocument* master_ = nullptr;
  CSoundDocument* student_ = nullptr;
  MenuScript menus_;
  std::vector<ShellCall> shell_;
  PFN_TrackPopupMenu previousMenu_ = nullptr;
  PFN_ShellExecute previousShell_ = nullptr;
  HHOOK hook_ = nullptr;
};

TEST_F(MainDialogPaint, RepaintsKeepTheGdiObjectCountFlat) {
  for (int i = 0; i < 5; ++i) {
    dialog_->Invalidate(FALSE);
    dialog_->UpdateWindow();
  }
  const int before = CountGdiObjects();
  ASSERT_GT(before, 0);
  HPEN probe[10];
  for (HPEN& p : probe) p = CreatePen(PS_SOLID, 1, RGB(1, 2, 3));
  ASSERT_EQ(CountGdiObjects(), before + 10) << "the counter must see new objects";
  for (HPEN p : probe) DeleteObject(p);

  for (int i = 0; i < 200; ++i) {
    dialog_->Invalidate(FALSE);
    dialog_->UpdateWindow();
  }
  EXPECT_EQ(CountGdiObjects(), before);
}

TEST_F(MainDialogPaint, TheOutSliderOffersOutputDevicesAndTheChoiceGoesToBothTracksAndTheFile) {
  master_->outputDeviceId = student_->outputDeviceId = L"{out-1}";
  master_->inputDeviceId = student_->inputDeviceId = L"{in-1}";
  app_->waveDevices.WaveDeviceIn = L"{in-1}";
  FakeVolume masterOut(0.3f), studentOut(0.3f);
  master_->outputVolume = &masterOut;
  student_->outputVolume = &studentOut;
  menus_.answers = {2};
  RECT slider;
  ::GetWindowRect(dialog_->m_outSlider.m_hWnd, &slider);

  EXPECT_EQ(ContextMenuOn(dialog_->m_outSlider.m_hWnd, 5, 7), 0);
  ASSERT_EQ(menus_.shown.size(), 1u);
  const MenuScript::Shown& menu = menus_.shown[0];
  EXPECT_EQ(menu.at.x, slider.left + 5);
  EXPECT_EQ(menu.at.y, slider.top + 7);
  EXPECT_EQ(menu.owner, dialog_->m_hWnd);
  EXPECT_EQ(menu.flags & (TPM_RETURNCMD | TPM_NONOTIFY), UINT(TPM_RETURNCMD | TPM_NONOTIFY));
  // The virtual cable is left out; the current device is checked.
  ASSERT_EQ(menu.items.size(), 2u);
  EXPECT_EQ(menu.items[0].text, L"Speakers");
  EXPECT_EQ(menu.items[0].id, 1u);
  EXPECT_TRUE(menu.items[0].checked);
  EXPECT_EQ(menu.items[1].text, L"Headphones");
  EXPECT_EQ(menu.items[1].id, 2u);
  EXPECT_FALSE(menu.items[1].checked);

  // Device 2 is the second one offered, not the second in the engine's list.
  EXPECT_EQ(master_->outputDeviceId, L"{out-2}");
  EXPECT_EQ(student_->outputDeviceId, L"{out-2}");
  EXPECT_EQ(master_->inputDeviceId, L"{in-1}");
  EXPECT_EQ(student_->inputDeviceId, L"{in-1}");
  EXPECT_EQ(app_->waveDevices.WaveDeviceOut, L"{out-2}");
  // Both tracks let go of the old device's volume.
  EXPECT_EQ(masterOut.refs, 0);
  EXPECT_EQ(studentOut.refs, 0);
  EXPECT_EQ(ReadFileOrMissing(app_->waveDevices.settingsPath),
            "{\r\n    \"Wave\": {\r\n        \"WaveDeviceIn\": \"{in-1}\",\r\n"
            "        \"WaveDeviceOut\": \"{out-2}\"\r\n    }\r\n}\r\n");
  // Stopping both tracks came first.
  EXPECT_EQ(g_sent.masterStops, 1);
  EXPECT_EQ(g_sent.studentStops, 1);
}

TEST_F(MainDialogPaint, TheInSliderOffersSourcesAndInputDevices) {
  master_->inputDeviceId = student_->inputDeviceId = L"{in-2}";
  master_->captureMask = student_->captureMask = 2;
  // "PC only" is checked; "Mic and PC" then sets mask 3 on both tracks and no file changes
  // beyond the device pair.
  menus_.answers = {0xFFFF0003u};
  ContextMenuOn(dialog_->m_inSlider.m_hWnd, 3, 4);
  ASSERT_EQ(menus_.shown.size(), 1u);
  const std::vector<ShownItem>& items = menus_.shown[0].items;
  ASSERT_EQ(items.size(), 6u);
  const wchar_t* texts[] = {L"Mic only", L"PC only", L"Mic and PC", L"", L"Microphone", L"Line In"};
  const bool checks[] = {false, true, false, false, false, true};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(items[i].text, texts[i]) << i;
    EXPECT_EQ(items[i].checked, checks[i]) << i;
  }
  EXPECT_TRUE(items[3].separator);
  EXPECT_EQ(items[1].id, 0xFFFF0002u);
  EXPECT_EQ(items[5].id, 2u);
  EXPECT_EQ(master_->captureMask, 3u);
  EXPECT_EQ(student_->captureMask, 3u);

  menus_.answers = {0xFFFF0002u};
  ContextMenuOn(dialog_->m_inSlider.m_hWnd, 3, 4);
  EXPECT_EQ(master_->captureMask, 2u);
  EXPECT_EQ(student_->captureMask, 2u);
  const std::string file = ReadFileOrMissing(app_->waveDevices.settingsPath);
  EXPECT_EQ(file.find("Mask"), std::string::npos);
  EXPECT_NE(file.find("\"WaveDeviceIn\""), std::string::npos);

  // Device 1 of the inputs is the microphone: the cable before it is not offered.
  FakeVolume masterIn(0.5f);
  master_->inputVolume = &masterIn;
  menus_.answers = {1};
  ContextMenuOn(dialog_->m_inSlider.m_hWnd, 3, 4);
  EXPECT_EQ(master_->inputDeviceId, L"{in-1}");
  EXPECT_EQ(student_->inputDeviceId, L"{in-1}");
  EXPECT_EQ(app_->waveDevices.WaveDeviceIn, L"{in-1}");
  EXPECT_EQ(masterIn.refs, 0);
  EXPECT_NE(ReadFileOrMissing(app_->waveDevices.settingsPath).find("\"WaveDeviceIn\": \"{in-1}\""),
            std::string::npos);
  EXPECT_EQ(master_->captureMask, 2u);
}

TEST_F(MainDialogPaint, DismissingTheMenuOrClickingElsewhereStopsBothTracksAndChangesNothing) {
  master_->outputDeviceId = L"{out-1}";
  ContextMenuOn(dialog_->m_outSlider.m_hWnd, 1, 1);  // dismissed: the seam answers 0
  EXPECT_EQ(menus_.shown.size(), 1u);
  EXPECT_EQ(master_->outputDeviceId, L"{out-1}");
  EXPECT_EQ(ReadFileOrMissing(app_->waveDevices.settingsPath), "<missing>");
  EXPECT_EQ(g_sent.masterStops, 1);
  EXPECT_EQ(g_sent.studentStops, 1);

  // Any other window: both tracks stop and no menu is shown.
  for (HWND other : {dialog_->m_hWnd, Control(IDC_BUTREPEAT), Control(IDC_LEDNUMBER)})
    ContextMenuOn(other, 100, 100);
  EXPECT_EQ(menus_.shown.size(), 1u);
  EXPECT_EQ(g_sent.masterStops, 4);
  EXPECT_EQ(g_sent.studentStops, 4);
}

TEST_F(MainDialogPaint, AnEngineWithoutDevicesOffersOnlyTheSources) {
  auto* engine = static_cast<FakeEngine*>(master_->engine);
  engine->renderDevices.clear();
  engine->captureDevices.clear();
  ContextMenuOn(dialog_->m_outSlider.m_hWnd, 1, 1);
  EXPECT_TRUE(menus_.shown.empty());
  ContextMenuOn(dialog_->m_inSlider.m_hWnd, 1, 1);
  ASSERT_EQ(menus_.shown.size(), 1u);
  EXPECT_EQ(menus_.shown[0].items.size(), 4u);

  // A track whose engine could not be made.
  CSoundWorksBase* kept = master_->engine;
  master_->engine = nullptr;
  ContextMenuOn(dialog_->m_inSlider.m_hWnd, 1, 1);
  master_->engine = kept;
  ASSERT_EQ(menus_.shown.size(), 2u);
  EXPECT_EQ(menus_.shown[1].items.size(), 4u);
}

TEST_F(MainDialogPaint, OneRightClickGivesOneContextMenuWhereItHappened) {
  // A slider posts its own; the system's that follows the button's release goes nowhere.
  RightClick(dialog_->m_outSlider.m_hWnd, 4, 20);
  EXPECT_EQ(menus_.shown.size(), 1u);
  EXPECT_EQ(g_sent.contextMenus, 0);
  EXPECT_EQ(g_sent.masterStops, 1);

  // A skinned button's right click is its own variant: the dialog gets no context menu.
  RightClick(Control(IDC_VBUTPLAYPLAY), 3, 3);
  RightClick(Control(IDC_BUTINSERTBM), 3, 3);
  EXPECT_EQ(g_sent.contextMenus, 0);
  EXPECT_EQ(menus_.shown.size(), 1u);

  // The background's own right click still stops both tracks.
  const int stops = g_sent.masterStops;
  RightClick(dialog_->m_hWnd, 200, 8);
  EXPECT_EQ(g_sent.contextMenus, 1);
  EXPECT_EQ(g_sent.masterStops, stops + 1);
  EXPECT_EQ(g_sent.studentStops, stops + 1);
  EXPECT_EQ(menus_.shown.size(), 1u);
}

TEST_F(MainDialogPaint, SliderPositionsSetTheMastersDeviceVolumes) {
  FakeVolume masterOut(0.0f), masterIn(0.0f), studentOut(0.9f), studentIn(0.9f);
  master_->outputVolume = &masterOut;
  master_->inputVolume = &masterIn;
  student_->outputVolume = &studentOut;
  student_->inputVolume = &studentIn;
  auto scroll = [&](CGraphicSlider& s, WORD code, WORD position) {
    dialog_->SendMessage(WM_VSCROLL, MAKEWPARAM(code, position), reinterpret_cast<LPARAM>(s.m_hWnd));
  };
  scroll(dialog_->m_outSlider, SB_THUMBTRACK, 50);
  EXPECT_EQ(masterOut.scalar, 0.5f);
  EXPECT_EQ(masterOut.contexts, 0);
  scroll(dialog_->m_inSlider, SB_THUMBTRACK, 30);
  EXPECT_FLOAT_EQ(masterIn.scalar, 0.3f);
  scroll(dialog_->m_inSlider, SB_ENDSCROLL, 80);
  EXPECT_FLOAT_EQ(masterIn.scalar, 0.3f);
  EXPECT_EQ(masterIn.sets, 1);
  EXPECT_EQ(studentOut.sets + studentIn.sets, 0);

  // A drag on the slider itself: the tip follows the pointer and the volume its percent.
  CGraphicSlider& out = dialog_->m_outSlider;
  ASSERT_GT(out.Travel(), 0);
  const int top = out.m_tipHeight / 2 + 6, bottom = out.m_height - out.m_tipHeight / 2 - 7;
  PostMessageW(out.m_hWnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, bottom));
  Pump();
  EXPECT_EQ(masterOut.scalar, 0.0f);
  const int middle = (top + bottom) / 2;
  PostMessageW(out.m_hWnd, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(2, middle));
  Pump();
  EXPECT_EQ(masterOut.scalar, static_cast<float>(out.Percent() / 100.0));
  EXPECT_GT(out.Percent(), 10);
  EXPECT_LT(out.Percent(), 90);
  PostMessageW(out.m_hWnd, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(2, top - 50));
  PostMessageW(out.m_hWnd, WM_LBUTTONUP, 0, MAKELPARAM(2, top - 50));
  Pump();
  EXPECT_EQ(masterOut.scalar, 1.0f);
  EXPECT_EQ(studentOut.sets, 0);
}

// The classroom's level messages, spelled out here so that the test does not share the
// program's numbers: 0x498 (wParam 0 IN, 1 OUT) and 0x592 with the slider's control id.
TEST_F(MainDialogPaint, EachLevelMessageMovesTheTipOfItsOwnSlider) {
  constexpr UINT kSetLevel = 0x498, kRemoteButton = 0x592;
  constexpr UINT kIn = 1047, kOut = 1046;
  // Found by control id: the dialog's members may not be bound to the controls they name.
  auto tip = [&](UINT id) { return static_cast<CGraphicSlider*>(CWnd::FromHandlePermanent(Control(id))); };
  ASSERT_NE(tip(kIn), nullptr);
  ASSERT_NE(tip(kOut), nullptr);
  const UINT travel = static_cast<UINT>(tip(kIn)->Travel());
  ASSERT_GT(travel, 0u);
  ASSERT_EQ(static_cast<UINT>(tip(kOut)->Travel()), travel);
  const UINT full = travel;
  struct Case {
    const char* name;
    UINT start;  // both tips before the message
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    UINT in, out;
  } cases[] = {
      {"set level IN", 0, kSetLevel, 0, 5, full, 0},
      {"set level OUT", 0, kSetLevel, 1, 5, 0, full},
      {"set level IN, a huge value", 0, kSetLevel, 0, 1346250581, full, 0},
      {"set level OUT to empty", full, kSetLevel, 1, 0, full, 0},
      {"set level IN, negative", full, kSetLevel, 0, -1346250581, 0, full},
      {"set level of no slider", full, kSetLevel, 2, 0, full, full},
      {"remote IN level", 0, kRemoteButton, kIn, 1346250581, full, 0},
      {"remote OUT level", 0, kRemoteButton, kOut, 1, 0, full},
      {"remote IN level to empty", full, kRemoteButton, kIn, 0, 0, full},
      {"remote OUT level, negative", full, kRemoteButton, kOut, -7, full, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tip(kIn)->m_tipPosition = tip(kOut)->m_tipPosition = c.start;
    EXPECT_EQ(dialog_->SendMessage(c.message, c.wParam, c.lParam), 0);
    EXPECT_EQ(tip(kIn)->m_tipPosition, c.in);
    EXPECT_EQ(tip(kOut)->m_tipPosition, c.out);
  }
}

TEST_F(MainDialogPaint, ChoosingADeviceShowsItsVolumeOnTheSlider) {
  // The new device's volume is read afresh; without an interface for it the tip drops to 0.
  dialog_->m_outSlider.m_tipPosition = 20;
  menus_.answers = {1};
  ContextMenuOn(dialog_->m_outSlider.m_hWnd, 1, 1);
  EXPECT_EQ(master_->outputDeviceId, L"{out-1}");
  EXPECT_EQ(dialog_->m_outSlider.m_tipPosition, 0u);
}

// A list with an https line, a "www." line, a local program and a last line without CR LF.
const wchar_t kUrlList[] =
    L"Secure\r\nhttps://lessons.example/unit1\r\nPlain\r\nwww.lessons.example\r\n"
    L"Program\r\nC:\\windows\\system32\\notepad.exe\r\nLast\r\nhttp://last.example";

void SetUrlList(CAppData* app, const std::wstring& text) {
  free(app->urlListText);
  app->urlListText = static_cast<wchar_t*>(malloc((text.size() + 1) * sizeof(wchar_t)));
  wcscpy(app->urlListText, text.c_str());
  app->urlListLength = static_cast<uint32_t>(text.size() + 1);
}

TEST_F(MainDialogPaint, TheUrlMenuOpensWebAddressesOnly) {
  SetUrlList(app_, kUrlList);
  for (UINT id : {2u, 3u, 4u, 5u, 0u}) {
    menus_.answers = {id};
    dialog_->ShowUrlMenu(POINT{40, 50});
  }
  ASSERT_EQ(menus_.shown.size(), 5u);
  const std::vector<ShownItem>& items = menus_.shown[0].items;
  ASSERT_EQ(items.size(), 8u);
  EXPECT_EQ(items[0].text, L"Blank page");
  EXPECT_EQ(items[2].text, L"Secure");
  EXPECT_EQ(items[5].text, L"Last");
  EXPECT_EQ(items[7].text, L"Manage URL List...");
  EXPECT_EQ(menus_.shown[0].at.x, 40);
  EXPECT_EQ(menus_.shown[0].at.y, 50);
  EXPECT_EQ(menus_.shown[0].owner, dialog_->m_hWnd);
  ASSERT_EQ(shell_.size(), 2u);
  EXPECT_EQ(shell_[0].file, L"https://lessons.example/unit1");
  EXPECT_FALSE(shell_[0].hasVerb);
  EXPECT_EQ(shell_[0].show, 0);
  EXPECT_EQ(shell_[1].file, L"http://www.lessons.example");

  menus_.answers = {kUrlMenuBlankPage};
  dialog_->ShowUrlMenu(POINT{0, 0});
  ASSERT_EQ(shell_.size(), 3u);
  EXPECT_EQ(shell_[2].verb, L"Open");
  EXPECT_EQ(shell_[2].file, kBlankPageAddress);
  EXPECT_EQ(shell_[2].show, 0);
}

TEST_F(MainDialogPaint, TheRightPartOfTheOpenButtonShowsTheUrlMenu) {
  SetUrlList(app_, kUrlList);
  RECT open;
  ::GetWindowRect(Control(IDC_BUTOPENWAV), &open);
  ASSERT_GT(open.right - open.left, 70);
  SetCursorPos(open.left + 70, (open.top + open.bottom) / 2);
  menus_.answers = {2};
  dialog_->SendMessage(WM_COMMAND, MAKEWPARAM(IDC_BUTOPENWAV, BN_CLICKED),
                       reinterpret_cast<LPARAM>(Control(IDC_BUTOPENWAV)));
  ASSERT_EQ(menus_.shown.size(), 1u);
  ASSERT_EQ(shell_.size(), 1u);
  EXPECT_EQ(shell_[0].file, L"https://lessons.example/unit1");
}

// The URL-list dialog of this thread.
BOOL CALLBACK MatchUrlListDialog(HWND window, LPARAM out) {
  if (!GetDlgItem(window, IDC_URL_LIST)) return TRUE;
  *reinterpret_cast<HWND*>(out) = window;
  return FALSE;
}

HWND FindUrlListDialog() {
  HWND found = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), MatchUrlListDialog, reinterpret_cast<LPARAM>(&found));
  return found;
}

bool g_urlListEdited = false;

// Inside the dialog's modal loop: remove the first entry and close, as the user would.
void CALLBACK RemoveFirstUrlEntry(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND list = FindUrlListDialog();
  if (!list) return;
  KillTimer(nullptr, timer);
  SendDlgItemMessageW(list, IDC_URL_LIST, LB_SETCURSEL, 0, 0);
  SendDlgItemMessageW(list, IDC_URL_REMOVE, BM_CLICK, 0, 0);
  g_urlListEdited = true;
  PostMessageW(list, WM_CLOSE, 0, 0);
}

TEST_F(MainDialogPaint, ManagingTheListRewritesUrlListTxtWithoutTheOldEntries) {
  const std::wstring path = GetEditionFilePath(L"URLList.txt");
  std::string kept;
  const bool hadFile = ReadWholeFile(path, kept);
  SetUrlList(app_, kUrlList);
  g_urlListEdited = false;
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, RemoveFirstUrlEntry);
  menus_.answers = {kUrlMenuManage};
  dialog_->ShowUrlMenu(POINT{0, 0});
  KillTimer(nullptr, timer);
  EXPECT_TRUE(g_urlListEdited);

  const std::wstring left =
      L"Plain\r\nwww.lessons.example\r\nProgram\r\nC:\\windows\\system32\\notepad.exe\r\n"
      L"Last\r\nhttp://last.example\r\n";
  ASSERT_NE(app_->urlListText, nullptr);
  EXPECT_EQ(std::wstring(app_->urlListText), left);
  EXPECT_EQ(app_->urlListLength, left.size() + 1);
  std::string expected = "\xFF\xFE";
  expected.append(reinterpret_cast<const char*>(left.c_str()), (left.size() + 1) * 2);
  const std::string written = ReadFileOrMissing(path);
  EXPECT_EQ(written, expected);
  EXPECT_EQ(written.find("S\0e\0c\0u\0r\0e", 0, 12), std::string::npos);
  EXPECT_TRUE(shell_.empty());

  if (hadFile)
    WriteWholeFile(path, kept);
  else
    DeleteFileW(path.c_str());
}

TEST_F(MainDialogPaint, MixerMinimiseAndTheBusyCursor) {
  dialog_->SendMessage(WM_COMMAND, MAKEWPARAM(IDC_BUTMIXER, BN_CLICKED), 0);
  ASSERT_EQ(shell_.size(), 1u);
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  EXPECT_EQ(shell_[0].verb, L"open");
  EXPECT_EQ(shell_[0].file, L"sndvol.exe");
  EXPECT_EQ(shell_[0].parameters, L"/rec");
  EXPECT_EQ(shell_[0].folder, system);
  EXPECT_EQ(shell_[0].show, SW_SHOWNORMAL);

  dialog_->m_busy = 1;
  EXPECT_EQ(dialog_->SendMessage(WM_SETCURSOR, reinterpret_cast<WPARAM>(dialog_->m_hWnd),
                                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
            TRUE);
  EXPECT_EQ(GetCursor(), dialog_->m_waitCursor);
  dialog_->m_busy = 0;

  dialog_->SendMessage(WM_COMMAND, MAKEWPARAM(IDC_BUTMINIMIZE, BN_CLICKED), 0);
  Pump();
  EXPECT_TRUE(dialog_->IsIconic());
  // Painting while minimised draws the icon and the edition name, not the skin.
  dialog_->Invalidate(TRUE);
  dialog_->UpdateWindow();
  dialog_->ShowWindow(SW_RESTORE);
  Pump();
  EXPECT_FALSE(dialog_->IsIconic());
}

}  // namespace
