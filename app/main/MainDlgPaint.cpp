// Painting and the monitor table; dragging the window, the level sliders' menus and volumes,
// the URL menu, the mixer and minimise buttons and the busy cursor.
#include <windows.h>

#include <mmdeviceapi.h>
#include <endpointvolume.h>

#include <algorithm>
#include <cwchar>

#include "app/controls/UrlListDialog.h"
#include "app/main/MainDlg.h"
#include "app/main/ShellSeams.h"
#include "app/main/UrlMenu.h"
#include "appdata/AppData.h"
#include "appdata/SettingsFile.h"
#include "audio/SoundWorks.h"
#include "common/LogManager.h"
#include "common/SharedHelpers.h"
#include "media/document/SoundDocument.h"

namespace {

constexpr BLENDFUNCTION kSourceOver = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};

}  // namespace

HDC CMainDlg::QueryBackdropDC(UINT_PTR tag) { return tag == kBackdropQueryTag ? m_skinDC : nullptr; }

BOOL CALLBACK CMainDlg::MonitorEnumCallback(HMONITOR, HDC, LPRECT rect, LPARAM dialog) {
  auto* self = reinterpret_cast<CMainDlg*>(dialog);
  if (self->m_monitors.count >= 2) return FALSE;
  self->m_monitors.rects[self->m_monitors.count++] = *rect;
  return TRUE;
}

HCURSOR CMainDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

void CMainDlg::OnPaint() {
  CPaintDC dc(this);
  if (IsIconic()) {
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    RECT client;
    GetClientRect(&client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc.GetSafeHdc(), x, y, m_hIcon);
    const wchar_t* name = GetEditionName();
    TextOutW(dc.GetSafeHdc(), 20, 5, name, static_cast<int>(wcsnlen(name, 13)));
    return;
  }
  PaintSkin(dc.GetSafeHdc());
}

void CMainDlg::PaintSkin(HDC target) {
  if (!m_backDC) return;
  AlphaBlend(m_backDC, 0, 0, m_skinWidth, m_skinHeight, m_skinDC, 0, 0, m_skinWidth, m_skinHeight,
             kSourceOver);
  if (m_logoBitmap) {
    HDC logoDC = CreateCompatibleDC(m_backDC);
    HGDIOBJ old = SelectObject(logoDC, m_logoBitmap);
    AlphaBlend(m_backDC, 10, 10, m_logoWidth, m_logoHeight, logoDC, 0, 0, m_logoWidth, m_logoHeight,
               kSourceOver);
    SelectObject(logoDC, old);
    DeleteDC(logoDC);
  }
  SetTextColor(m_backDC, RGB(0x80, 0x80, 0x80));
  SetBkMode(m_backDC, TRANSPARENT);
  SetTextAlign(m_backDC, TA_LEFT | TA_TOP);
  HGDIOBJ oldFont = SelectObject(m_backDC, static_cast<HFONT>(m_largeFont));
  int y = 10;
  if (m_logoHeight > 0) {
    SIZE text = {};
    GetTextExtentPoint32W(m_backDC, m_versionText, static_cast<int>(wcslen(m_versionText)), &text);
    y = m_logoHeight - text.cy + 12;
  }
  TextOutW(m_backDC, m_logoWidth + 20, y, m_versionText, static_cast<int>(wcslen(m_versionText)));
  SelectObject(m_backDC, static_cast<HFONT>(m_smallFont));
  SetTextColor(m_backDC, RGB(255, 255, 255));
  TextOutW(m_backDC, 463, 345, L"IN", 2);
  TextOutW(m_backDC, 482, 345, L"OUT", 3);
  SelectObject(m_backDC, oldFont);
  DrawChunkLengthClock();
  DrawPositionClock();
  BitBlt(target, 0, 0, m_skinWidth, m_skinHeight, m_backDC, 0, 0, SRCCOPY);
}

// The dialog has no caption: a press on its background drags it.
void CMainDlg::OnLButtonDown(UINT, CPoint point) {
  m_dragAnchorX = point.x;
  m_dragAnchorY = point.y;
  SetCapture();
}

void CMainDlg::OnMouseMove(UINT flags, CPoint point) {
  if (!flags || m_dragAnchorX == -1 || m_dragAnchorY == -1) return;
  RECT window;
  GetWindowRect(&window);
  SetWindowPos(nullptr, window.left + point.x - m_dragAnchorX, window.top + point.y - m_dragAnchorY, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER);
}

void CMainDlg::OnLButtonUp(UINT, CPoint) {
  m_dragAnchorX = m_dragAnchorY = -1;
  ::ReleaseCapture();
}

LevelSlider CMainDlg::SliderOf(HWND window) const {
  if (window && window == m_outSlider.m_hWnd) return LevelSlider::Out;
  if (window && window == m_inSlider.m_hWnd) return LevelSlider::In;
  return LevelSlider::None;
}

CSoundDocument* CMainDlg::IdleMaster() const {
  CSoundDocument* master = Master();
  // A load rebuilds the track's engine on its own thread.
  return master && !master->loadThread ? master : nullptr;
}

// Sliders post this with their own client coordinates; a right click elsewhere reaches here from
// the system with screen coordinates and offers no item.
LRESULT CMainDlg::OnContextMenu(WPARAM clicked, LPARAM packedPoint) {
  SendMessage(WM_COMMAND, IDC_MBUTSTOP, 0);
  SendMessage(WM_COMMAND, IDC_BUTSTOP, 0);
  const HWND window = reinterpret_cast<HWND>(clicked);
  const int x = LOWORD(packedPoint), y = HIWORD(packedPoint);
  RECT rect = {};
  ::GetWindowRect(window, &rect);
  const LevelSlider slider = SliderOf(window);

  CSoundDocument* master = IdleMaster();
  const CSoundDocument* student = Student();
  DeviceList render, capture;
  std::wstring outputId, inputId;
  if (master && master->engine && slider != LevelSlider::None) {
    render = WithoutVirtualCables(master->engine->GetRenderDevices());
    capture = WithoutVirtualCables(master->engine->GetCaptureDevices());
  }
  if (master) {
    outputId = master->outputDeviceId;
    inputId = master->inputDeviceId;
  }
  const std::vector<DeviceMenuItem> items =
      DeviceMenuItems(slider, render, capture, outputId, inputId, student ? student->captureMask : 0);
  HMENU menu = BuildDeviceMenu(items);
  UINT result = 0;
  // An empty menu is nothing chosen.
  if (menu && !items.empty())
    result = ChooseFromMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY, rect.left + x, rect.top + y, m_hWnd);
  if (menu) DestroyMenu(menu);

  const DeviceList& devices = slider == LevelSlider::Out ? render : capture;
  const DeviceMenuChoice choice = DecodeDeviceMenuResult(slider, result, devices.size());
  if (choice.kind == DeviceMenuChoice::Device) {
    ChooseLevelDevice(slider, devices[choice.index].first);
  } else if (choice.kind == DeviceMenuChoice::Source) {
    // Kept for this run only: the source is not written anywhere.
    for (CSoundDocument* track : {Master(), Student()})
      if (track) track->captureMask = choice.mask;
    InvalidateRect(nullptr, FALSE);
  }
  if (result) appData_->waveDevices.SaveWaveDeviceSettings();
  return 0;
}

void CMainDlg::ChooseLevelDevice(LevelSlider slider, const std::wstring& id) {
  const bool out = slider == LevelSlider::Out;
  for (CSoundDocument* track : {Master(), Student()}) {
    if (!track) continue;
    IAudioEndpointVolume*& volume = out ? track->outputVolume : track->inputVolume;
    if (volume) volume->Release();
    volume = nullptr;
    (out ? track->outputDeviceId : track->inputDeviceId) = id;
  }
  appData_->SetTrackDevices(out ? id : std::wstring(), out ? std::wstring() : id);
  (out ? appData_->waveDevices.WaveDeviceOut : appData_->waveDevices.WaveDeviceIn) = id;
  ShowDeviceLevel(slider);
}

// The slider's tip shows the Master's device volume (0 without an endpoint-volume interface).
void CMainDlg::ShowDeviceLevel(LevelSlider slider) {
  CSoundDocument* master = IdleMaster();
  if (!master || slider == LevelSlider::None) return;
  const bool out = slider == LevelSlider::Out;
  IAudioEndpointVolume*& volume = out ? master->outputVolume : master->inputVolume;
  if (!volume) GetEndpointVolume(out ? master->outputDeviceId : master->inputDeviceId, &volume);
  float level = 0.0f;
  if (volume && FAILED(volume->GetMasterVolumeLevelScalar(&level))) level = 0.0f;
  CGraphicSlider& control = out ? m_outSlider : m_inSlider;
  const int travel = std::max(0, control.Travel());
  control.m_tipPosition =
      static_cast<UINT>(static_cast<float>(travel) * std::min(1.0f, std::max(0.0f, level)));
  control.Invalidate(TRUE);
}

LRESULT CMainDlg::OnLevelScroll(WPARAM codeAndPosition, LPARAM scrollBar) {
  if (LOWORD(codeAndPosition) != SB_THUMBTRACK) return 0;
  const LevelSlider slider = SliderOf(reinterpret_cast<HWND>(scrollBar));
  CSoundDocument* master = IdleMaster();
  if (!master || slider == LevelSlider::None) return 0;
  const float level = static_cast<float>(HIWORD(codeAndPosition) / 100.0);
  const bool out = slider == LevelSlider::Out;
  IAudioEndpointVolume*& volume = out ? master->outputVolume : master->inputVolume;
  if (!volume) GetEndpointVolume(out ? master->outputDeviceId : master->inputDeviceId, &volume);
  if (volume) volume->SetMasterVolumeLevelScalar(level, nullptr);
  return 0;
}

BOOL CMainDlg::OnSetCursor(CWnd* window, UINT hitTest, UINT message) {
  if (m_busy) {
    ::SetCursor(m_waitCursor);
    return TRUE;
  }
  return CDialog::OnSetCursor(window, hitTest, message);
}

void CMainDlg::OnMixer() {
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExW(&version);
  wchar_t system[260] = {};
  GetSystemDirectoryW(system, 260);
  StartShellCommand(nullptr, L"open", version.dwMajorVersion < 6 ? L"sndvol32.exe" : L"sndvol.exe", L"/rec",
                    system, SW_SHOWNORMAL);
}

void CMainDlg::OnMinimize() { ShowWindow(SW_MINIMIZE); }

void CMainDlg::ShowUrlMenu(POINT at) {
  const std::vector<UrlMenuEntry> entries =
      ParseUrlMenuEntries(appData_->urlListText, appData_->urlListLength);
  HMENU menu = BuildUrlMenu(entries);
  if (!menu) return;
  const UINT id = ChooseFromMenu(menu, TPM_RETURNCMD, at.x, at.y, m_hWnd);
  DestroyMenu(menu);
  if (id == 0) return;
  if (id == kUrlMenuManage) {
    ManageUrlList();
    return;
  }
  const std::wstring address = UrlMenuAddress(entries, id);
  if (address.empty()) {
    // The list lives in a folder every user may write: only web addresses leave the program.
    const size_t k = id - kUrlMenuFirstEntry;
    if (id >= kUrlMenuFirstEntry && k < entries.size() && entries[k].addressEnded)
      PostLogLinef(LOG_WAVE_MANAGER, "URL line %u refused: not a web address", static_cast<unsigned>(k));
    return;
  }
  StartShellCommand(nullptr, id == kUrlMenuBlankPage ? L"Open" : nullptr, address.c_str(), nullptr, nullptr,
                    0);
}

void CMainDlg::ManageUrlList() {
  const std::wstring path = GetEditionFilePath(L"URLList.txt");
  CUrlListInFields store(&appData_->urlListText, &appData_->urlListLength, path.c_str());
  ModalHold hold(this);
  RunUrlListDialog(m_hWnd, store);
}
