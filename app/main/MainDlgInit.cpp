// The main dialog's initialisation: skin, faces and fonts, the single-instance rule, the station's
// place, folders, title and raw-input library, the wait pop-up, hints, notification routing, the
// file named on the command line or the daemon notice, and the waveform windows.
#include <windows.h>

#include <commctrl.h>
#include <mmdeviceapi.h>
#include <endpointvolume.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>

#include "app/main/ClassroomMessages.h"
#include "app/main/FileAssociations.h"
#include "app/main/MainDlg.h"
#include "appdata/AppData.h"
#include "common/Prompt.h"
#include "common/SharedHelpers.h"
#include "media/document/SoundDocument.h"
#include "media/soundfile/SoundFile.h"
#include "media/video/VideoManager.h"
#include "mfc/CWinApp.h"

namespace {

using SelectRawInputFn = void(WINAPI*)(HWND dialog, DWORD threadId, DWORD processId, DWORD station,
                                       RECT area);

constexpr UINT kSkinLoadFlags = LR_CREATEDIBSECTION | LR_VGACOLOR;
constexpr int kWaitWidth = 300;
constexpr int kWaitHeight = 80;

SIZE BitmapSize(HBITMAP bitmap) {
  BITMAP bm = {};
  if (bitmap) GetObjectW(bitmap, sizeof bm, &bm);
  return SIZE{bm.bmWidth, bm.bmHeight};
}

// The level of an endpoint-volume interface, 0 without one.
float VolumeLevel(IAudioEndpointVolume* volume) {
  float level = 0.0f;
  if (volume && FAILED(volume->GetMasterVolumeLevelScalar(&level))) level = 0.0f;
  return level;
}

}  // namespace

BOOL CMainDlg::OnInitDialog() {
  SetWindowText(L"Recorder");
  InitCommonControls();
  CDialog::OnInitDialog();
  // The boxes hold what a chunk text holds, however the text arrives.
  for (COwnClipboardEdit* box : {&m_masterText, &m_studentText})
    box->LimitText(static_cast<int>(kMaxChunkTextUnits));
  DragAcceptFiles(TRUE);
  SetForegroundWindow();
  BringWindowToTop();
  SetIcon(m_hIcon, TRUE);
  SetIcon(m_hIcon, FALSE);

  ReadVersionText();
  LoadAllButtonFaces();
  m_dragAnchorX = m_dragAnchorY = -1;
  m_videoMode = 0;
  m_playMode = 0;
  LoadSkin();
  LoadLogo();
  LoadDigitStrip();
  CreateDialogFonts();
  POINT position = PlaceMainWindow(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), m_skinWidth,
                                   m_skinHeight, false, 0, m_monitors);

  CWinApp* app = AfxGetApp();
  appData_->ParseCommandLine(app && app->m_lpCmdLine ? app->m_lpCmdLine : L"");
  InitLevelSliders();

  // Two stations of a pair run side by side; anything else runs once.
  if (appData_->stationNumber == 0 && AnotherInstanceRuns()) {
    PostQuitMessage(-1);
    return TRUE;
  }

  // Its thread makes its first window meanwhile; it is waited for where it is set up.
  m_waitPopup = LaunchWaitPopup();
  if (CWnd* send = GetDlgItem(IDC_BUTSENDWAV)) send->ShowWindow(appData_->testFlag ? SW_SHOW : SW_HIDE);
  EnumerateMonitors();
  position = PlaceMainWindow(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), m_skinWidth,
                             m_skinHeight, appData_->stationMode != 0, appData_->stationNumber, m_monitors);
  PrepareTempFolders();
  if (appData_->stationNumber != 0) JoinClassroomStation();

  // The associations are written before the window shows, as if registered before it was made.
  FinishFileAssociations();
  ::SetWindowLongW(m_hWnd, GWL_STYLE, WS_VISIBLE);
  SetWindowPos(HWND_TOP, position.x, position.y, m_skinWidth, m_skinHeight, SWP_FRAMECHANGED);

  RegisterHints();
  RouteNotifications();
  // The waveforms come before the file: from the start of a load until NOTIFY_LOADED the Master
  // belongs to its load thread.
  CreateWaveforms();
  // Set up only now: its thread makes its first window while the steps above run, and it is
  // ready before the daemon or a file's load can ask anything of the window.
  StartWaitPopupThread(position);
  if (!OpenCommandLineFile()) NotifyClassroomDaemon();
  ShowFileButtons();
  Invalidate(TRUE);
  return TRUE;
}

void CMainDlg::ReadVersionText() {
  m_versionText[0] = 0;
  wchar_t path[MAX_PATH] = {};
  if (!GetModuleFileNameW(nullptr, path, MAX_PATH)) return;
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &handle);
  if (!size) return;
  auto* block = new BYTE[size];
  VS_FIXEDFILEINFO* info = nullptr;
  UINT infoSize = 0;
  // Without a version block the text stays empty.
  if (GetFileVersionInfoW(path, 0, size, block) &&
      VerQueryValueW(block, L"\\", reinterpret_cast<void**>(&info), &infoSize) && info &&
      infoSize >= sizeof(VS_FIXEDFILEINFO))
    swprintf(m_versionText, 128, L"Ver %u.%u", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS));
  delete[] block;
}

void CMainDlg::LoadAllButtonFaces() {
  // Id 1033 has no control: its binding fails quietly and the member stays without a window.
  for (size_t i = 0; i < kSkinnedButtonCount; ++i) m_buttons[i].LoadButtonFaces(kMainControls[i].id, this);
}

void CMainDlg::LoadSkin() {
  HINSTANCE module = AfxGetInstanceHandle();
  m_skinBitmap = static_cast<HBITMAP>(LoadImageW(module, L"BACKGROUND", IMAGE_BITMAP, 0, 0, kSkinLoadFlags));
  m_dialogDC = ::GetDC(m_hWnd);
  m_skinDC = CreateCompatibleDC(m_dialogDC);
  if (m_skinBitmap) SelectObject(m_skinDC, m_skinBitmap);
  const SIZE skin = BitmapSize(m_skinBitmap);
  m_skinWidth = skin.cx;
  m_skinHeight = skin.cy;
  m_backDC = CreateCompatibleDC(m_dialogDC);
  m_backBitmap = CreateCompatibleBitmap(m_dialogDC, m_skinWidth, m_skinHeight);
  SelectObject(m_backDC, m_backBitmap);
}

void CMainDlg::LoadLogo() {
  m_logoBitmap = nullptr;
  m_logoWidth = m_logoHeight = 0;
  wchar_t pattern[MAX_PATH] = {};
  if (swprintf(pattern, MAX_PATH, L"%lsLogo*.bmp", appData_->programFolder) < 0) return;
  WIN32_FIND_DATAW found = {};
  HANDLE find = FindFirstFileW(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return;
  FindClose(find);
  wchar_t path[MAX_PATH] = {};
  if (!JoinFoundName(pattern, found.cFileName, path, MAX_PATH)) return;
  m_logoBitmap = static_cast<HBITMAP>(
      LoadImageW(nullptr, path, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION | LR_LOADFROMFILE));
  if (!m_logoBitmap) return;
  if (BitmapHasAlpha(m_logoBitmap)) PremultiplyBitmapAlpha(m_logoBitmap);
  const SIZE logo = BitmapSize(m_logoBitmap);
  m_logoWidth = logo.cx;
  m_logoHeight = logo.cy;
}

void CMainDlg::LoadDigitStrip() {
  // SetDigitStrip makes the digit DC, premultiplies the strip and sizes the digits.
  m_led.SetDigitStrip(static_cast<HBITMAP>(
      LoadImageW(AfxGetInstanceHandle(), L"LEDIMAGES", IMAGE_BITMAP, 0, 0, kSkinLoadFlags)));
  m_led.m_backdropDC = m_skinDC;
}

void CMainDlg::CreateDialogFonts() {
  m_smallFont.CreateFont(12, 6, 0, 0, 400, 0, 0, 0, ANSI_CHARSET, 0, 0, 0, 0, L"Arial");
  m_largeFont.CreateFont(18, 7, 0, 0, 400, 0, 0, 0, ANSI_CHARSET, 0, 0, 0, 0, L"Arial");
}

void CMainDlg::InitLevelSliders() {
  // The levels read here are those the mixer data imposes.
  appData_->WaitForMixerData();
  CSoundDocument* master = Master();
  struct Slider {
    CGraphicSlider* control;
    IAudioEndpointVolume** volume;
    const std::wstring* device;
  } sliders[] = {
      {&m_outSlider, master ? &master->outputVolume : nullptr, master ? &master->outputDeviceId : nullptr},
      {&m_inSlider, master ? &master->inputVolume : nullptr, master ? &master->inputDeviceId : nullptr}};
  for (Slider& s : sliders) {
    s.control->InitSlider();
    s.control->m_backdropDC = m_skinDC;
    float level = 0.0f;
    if (s.volume) {
      if (!*s.volume) GetEndpointVolume(*s.device, s.volume);
      level = VolumeLevel(*s.volume);
    }
    const int travel = std::max(0, s.control->Travel());
    s.control->m_tipPosition = static_cast<UINT>(travel * std::min(1.0f, level));
    s.control->Invalidate(TRUE);
  }
}

bool CMainDlg::AnotherInstanceRuns() const {
  wchar_t name[1024] = {};
  swprintf(name, 1024, L"%ls.exe", GetEditionName());
  CharUpperBuffW(name, static_cast<DWORD>(wcslen(name)));
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  int count = 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    wchar_t exe[MAX_PATH] = {};
    wcsncpy(exe, entry.szExeFile, MAX_PATH - 1);
    CharUpperBuffW(exe, static_cast<DWORD>(wcslen(exe)));
    if (wcscmp(exe, name) == 0) ++count;
  }
  CloseHandle(snapshot);
  return count > 1;
}

void CMainDlg::EnumerateMonitors() {
  m_monitors.count = 0;
  EnumDisplayMonitors(nullptr, nullptr, &CMainDlg::MonitorEnumCallback, reinterpret_cast<LPARAM>(this));
}

void CMainDlg::PrepareTempFolders() {
  wchar_t name[32];
  const unsigned station = appData_->stationNumber;
  struct {
    CSoundDocument* track;
    const wchar_t* format;
  } folders[] = {{Master(), L"Master%u"}, {Student(), L"Student%u"}};
  for (auto& f : folders) {
    if (!f.track) continue;
    swprintf(name, 32, f.format, station);
    f.track->ClearTempFolder();
    f.track->CreateTempFolder(name);
  }
}

void CMainDlg::JoinClassroomStation() {
  const unsigned station = appData_->stationNumber;
  m_masterText.m_ownPaste = 1;
  m_studentText.m_ownPaste = 1;
  wchar_t title[64];
  swprintf(title, 64, L"_%uQuillmeridianUser", station);
  SetWindowText(title);

  const RECT area =
      StationArea(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), station, m_monitors);
  g_hPointerhub = LoadLibraryW(L"Pointerhub.dll");
  const wchar_t* failure = nullptr;
  if (!g_hPointerhub) {
    failure = L"Error loading Pointerhub.dll";
  } else if (auto select = LibraryExport<SelectRawInputFn>(g_hPointerhub, "SelectRawInputDevices")) {
    select(m_hWnd, GetCurrentThreadId(), GetCurrentProcessId(), station, area);
  } else {
    failure = L"Error initializing Pointerhub.dll";
  }
  if (failure) {
    Prompt(failure, AfxGetAppName(), MB_ICONERROR);
    // The dialog closes as soon as its loop runs; initialisation goes on meanwhile.
    PostQuitMessage(-1);
  }
}

void CMainDlg::StartWaitPopupThread(POINT position) {
  HFONT font = CreateFontW(-11, 0, 0, 0, 400, 0, 0, 0, ANSI_CHARSET, 0, 0, ANTIALIASED_QUALITY, 0, nullptr);
  AwaitWaitPopup(m_waitPopup, font);
  MoveWaitPopup(m_waitPopup, position.x + (m_skinWidth - kWaitWidth) / 2,
                position.y + (m_skinHeight - kWaitHeight) / 2, kWaitWidth, kWaitHeight);
  RecreateWaitPopup(m_waitPopup, m_hWnd, false);
}

void CMainDlg::RegisterHints() {
  m_hints.CreateHintWindow(m_hWnd);
  const MainControl* order[kHintCount];
  HintRegistrationOrder(order);
  for (const MainControl* c : order)
    if (c) m_hints.AddHint(::GetDlgItem(m_hWnd, static_cast<int>(c->id)), c->hint);
}

void CMainDlg::RouteNotifications() {
  for (CSoundDocument* track : {Master(), Student()})
    if (track) track->notifyTarget = NotifyTarget{0, m_hWnd, WM_SOUND_NOTIFY};
  // Null means no video.
  if (CVideoManager* video = Video()) video->notifyTarget = NotifyTarget{0, m_hWnd, WM_SOUND_NOTIFY};
}

bool CMainDlg::OpenCommandLineFile() {
  CWinApp* app = AfxGetApp();
  wchar_t quoted[MAX_PATH];
  if (!ExtractQuotedPath(app ? app->m_lpCmdLine : nullptr, quoted, MAX_PATH)) return false;
  WIN32_FIND_DATAW found = {};
  HANDLE find = FindFirstFileW(quoted, &found);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  // A wildcard opens its first match.
  wchar_t path[MAX_PATH];
  if (!JoinFoundName(quoted, found.cFileName, path, MAX_PATH)) return false;
  if (appData_->stationMode) appData_->hiddenStart = 1;
  OpenMediaFile(path);
  return true;
}

void CMainDlg::NotifyClassroomDaemon() {
  if (!appData_->stationMode || appData_->positioned) return;
  HWND daemon = FindWindowW(kDaemonWindowClass, nullptr);
  if (!daemon) return;
  appData_->hiddenStart = 1;
  ::PostMessageW(daemon, WM_DAEMON_NOTIFY, DAEMON_NOTIFY_STATION,
                 static_cast<LPARAM>(appData_->stationNumber.load()));
}

void CMainDlg::ShowFileButtons() {
  const int show = appData_->stationMode && appData_->hiddenStart ? SW_HIDE : SW_SHOW;
  for (UINT id : {IDC_BUTSAVEWAV, IDC_BUTSAVEBM, IDC_BUTOPENWAV, IDC_BUTEXIT})
    if (CWnd* button = GetDlgItem(static_cast<int>(id))) button->ShowWindow(show);
}

void CMainDlg::CreateWaveforms() {
  struct {
    CSoundDocument* track;
    int x, y, width;
  } views[] = {{Master(), 12, 125, 490}, {Student(), 88, 279, 342}};
  for (auto& v : views) {
    if (!v.track) continue;
    v.track->backgroundDC = m_skinDC;
    v.track->viewWidth = v.width;
    v.track->viewHeight = 52;
    if (!v.track->waveformWindow) v.track->CreateWaveformWindow(m_hWnd, v.x, v.y, v.width, 0);
    if (v.track->waveformWindow) ::ShowWindow(v.track->waveformWindow, SW_SHOW);
  }
  for (CSoundDocument* track : {Master(), Student()})
    if (track) track->RedrawWaveform(0, 0);
}
