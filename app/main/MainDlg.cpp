// The main dialog: construction, message map, data exchange and destruction.
#include "app/main/MainDlg.h"

#include <commctrl.h>

#include "app/main/ClassroomMessages.h"
#include "appdata/AppData.h"
#include "media/document/SoundDocument.h"

HMODULE g_hPointerhub = nullptr;

IMPLEMENT_DYNAMIC(CMainDlg, CDialog)

BEGIN_MESSAGE_MAP(CMainDlg, CDialog)
  ON_WM_PAINT()
  ON_WM_QUERYDRAGICON()
  ON_MESSAGE(WM_SOUND_NOTIFY, &CMainDlg::OnSoundNotify)
  // Open, save, send and exit.
  ON_BN_CLICKED(IDC_BUTOPENWAV, &CMainDlg::OnOpenFile)
  ON_BN_CLICKED(IDC_BUTSAVEWAV, &CMainDlg::OnSaveStudent)
  ON_BN_CLICKED(IDC_BUTSAVEBM, &CMainDlg::OnSaveMaster)
  ON_BN_CLICKED(IDC_BUTCLOSEWAV, &CMainDlg::OnCloseFile)
  ON_BN_CLICKED(IDC_BUTSENDWAV, &CMainDlg::OnSendToFramework)
  ON_BN_CLICKED(IDC_BUTEXIT, &CMainDlg::OnExitButton)
  ON_WM_SYSCOMMAND()
  ON_WM_DROPFILES()
  // Dragging, level sliders and their menus, mixer, minimise, cursor.
  ON_WM_LBUTTONDOWN()
  ON_WM_MOUSEMOVE()
  ON_WM_LBUTTONUP()
  ON_MESSAGE(WM_CONTEXTMENU, &CMainDlg::OnContextMenu)
  ON_MESSAGE(WM_VSCROLL, &CMainDlg::OnLevelScroll)
  ON_WM_SETCURSOR()
  ON_BN_CLICKED(IDC_BUTMIXER, &CMainDlg::OnMixer)
  ON_BN_CLICKED(IDC_BUTMINIMIZE, &CMainDlg::OnMinimize)
  ON_MESSAGE(WM_TIMER, &CMainDlg::OnQuietMessage)
  ON_MESSAGE(WM_PRINTCLIENT, &CMainDlg::OnQuietMessage)
  ON_WM_MOVE()
  // Transport, chunks, bookmarks and play modes.
  ON_BN_CLICKED(IDC_MBUTPLAY, &CMainDlg::OnMasterPlay)
  ON_BN_CLICKED(IDC_MBUTPAUSE, &CMainDlg::OnMasterPause)
  ON_BN_CLICKED(IDC_MBUTSTOP, &CMainDlg::OnMasterStop)
  ON_BN_CLICKED(IDC_MBUTNEXT, &CMainDlg::OnMasterNext)
  ON_BN_CLICKED(IDC_MBUTPREV, &CMainDlg::OnMasterPrev)
  ON_BN_CLICKED(IDC_BUTPLAY, &CMainDlg::OnStudentPlay)
  ON_BN_CLICKED(IDC_BUTREC, &CMainDlg::OnStudentRecord)
  ON_BN_CLICKED(IDC_BUTPAUSE, &CMainDlg::OnStudentPause)
  ON_BN_CLICKED(IDC_BUTSTOP, &CMainDlg::OnStudentStop)
  ON_BN_CLICKED(IDC_BUTNEXTB, &CMainDlg::OnStudentNext)
  ON_BN_CLICKED(IDC_BUTPREV, &CMainDlg::OnStudentPrev)
  ON_BN_CLICKED(IDC_BUTNEXTCHUNK, &CMainDlg::OnNextChunk)
  ON_BN_CLICKED(IDC_BUTPREVCHUNK, &CMainDlg::OnPrevChunk)
  ON_BN_CLICKED(IDC_BUTREPEAT, &CMainDlg::OnRepeat)
  ON_BN_CLICKED(IDC_VBUTPLAYPLAY, &CMainDlg::OnModePlayBoth)
  ON_BN_CLICKED(IDC_VBUTPLAYREC, &CMainDlg::OnModePlayRecord)
  ON_BN_CLICKED(IDC_HBUTPLAYPLAY, &CMainDlg::OnModeMasterThenStudent)
  ON_BN_CLICKED(IDC_HBUTPLAYREC, &CMainDlg::OnModeMasterThenRecord)
  ON_BN_CLICKED(IDC_BUTINSERTBM, &CMainDlg::OnInsertBookmark)
  ON_BN_CLICKED(IDC_BUTREMOVEBM, &CMainDlg::OnRemoveBookmark)
  ON_BN_CLICKED(IDC_BUTCLEAR, &CMainDlg::OnClearStudentChunk)
  ON_BN_CLICKED(IDC_MBUTERASE, &CMainDlg::OnEraseSelection)
  ON_BN_CLICKED(IDC_BUTPLUS, &CMainDlg::OnZoomIn)
  ON_BN_CLICKED(IDC_BUTMINUS, &CMainDlg::OnZoomOut)
  ON_NOTIFY_RANGE(NM_RCLICK, IDC_HBUTPLAYPLAY, IDC_VBUTPLAYREC, &CMainDlg::OnModeButtonRightClick)
  ON_NOTIFY(NM_RCLICK, IDC_BUTINSERTBM, &CMainDlg::OnInsertBookmarkRightClick)
  ON_STN_DBLCLK(IDC_LEDNUMBER, &CMainDlg::OnLedDoubleClick)
  ON_EN_CHANGE(IDC_MASTERTEXT, &CMainDlg::OnMasterTextChange)
  ON_EN_CHANGE(IDC_STUDENTTEXT, &CMainDlg::OnStudentTextChange)
  // Classroom messages.
  ON_MESSAGE(WM_REMOTE_BUTTON, &CMainDlg::OnRemoteButton)
  ON_MESSAGE(WM_REMOTE_COMMAND, &CMainDlg::OnRemoteCommand)
  ON_MESSAGE(WM_COPYDATA, &CMainDlg::OnCopyDataRecipients)
  ON_MESSAGE(WM_SET_LEVEL, &CMainDlg::OnSetLevel)
  ON_MESSAGE(WM_ENABLE, &CMainDlg::OnEnableChanged)
END_MESSAGE_MAP()

namespace {

using UnsubscribeFn = void(WINAPI*)(DWORD station);
using DeinitializeFn = void(WINAPI*)();

BOOL CALLBACK CloseOwnedWindowCallback(HWND window, LPARAM dialog) {
  if (GetParent(window) == reinterpret_cast<HWND>(dialog)) PostMessageW(window, WM_CLOSE, 0, 0);
  return TRUE;
}

}  // namespace

CMainDlg::CMainDlg(CWnd* parent, CAppData* appData)
    : CDialog(IDD_MAIN_DIALOG, parent), appData_(appData ? appData : g_pAppData) {
  m_hIcon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_MAIN_ICON));
  m_waitCursor = LoadCursorW(nullptr, IDC_WAIT);
  m_arrowCursor = LoadCursorW(nullptr, IDC_ARROW);
  // Both chunk-text boxes cut and copy into the application's own clipboard; in station mode
  // they also paste from it alone.
  if (appData_) {
    const ClipboardBuffer own = {&appData_->clipboardData, &appData_->clipboardCapacity,
                                 &appData_->clipboardSize, &appData_->clipboardLock};
    m_masterText.m_clipboard = own;
    m_studentText.m_clipboard = own;
  }
}

CMainDlg::~CMainDlg() {
  if (g_hPointerhub) {
    const DWORD station = appData_ ? appData_->stationNumber.load() : 0;
    if (auto unsubscribe = LibraryExport<UnsubscribeFn>(g_hPointerhub, "UnsubscribeRawInputDevices"))
      unsubscribe(station);
    if (auto deinitialize = LibraryExport<DeinitializeFn>(g_hPointerhub, "DeinitializeRawInput"))
      deinitialize();
  }
  if (m_waitPopup) {
    StopWaitPopup(m_waitPopup);
    m_waitPopup = nullptr;
  }
  // The controls, the hint window and the fonts go with the members. The skin, the back buffer,
  // the logo and the dialog DC last until the process ends.
}

CSoundDocument* CMainDlg::Master() const { return appData_ ? appData_->masterTrack : nullptr; }
CSoundDocument* CMainDlg::Student() const { return appData_ ? appData_->studentTrack : nullptr; }

CTransparentButton* CMainDlg::Button(UINT id) {
  for (size_t i = 0; i < kSkinnedButtonCount; ++i)
    if (kMainControls[i].id == id) return &m_buttons[i];
  return nullptr;
}

void CMainDlg::DoDataExchange(CDataExchange* dx) {
  DDX_Control(dx, IDC_FILENAME, m_fileName);
  DDX_Control(dx, IDC_LEDNUMBER, m_led);
  DDX_Control(dx, IDC_STUDENTTEXT, m_studentText);
  DDX_Control(dx, IDC_MASTERTEXT, m_masterText);
  DDX_Control(dx, IDC_OUTSLIDER, m_outSlider);
  DDX_Control(dx, IDC_INSLIDER, m_inSlider);
}

BOOL CMainDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
  // Enter must not close the window.
  if (LOWORD(wParam) == IDOK) return 0;
  const WORD code = HIWORD(wParam);
  if ((code == BN_CLICKED || code == STN_DBLCLK) && PressRefused(LOWORD(wParam))) return TRUE;
  return CDialog::OnCommand(wParam, lParam);
}

BOOL CMainDlg::OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result) {
  const auto* header = reinterpret_cast<const NMHDR*>(lParam);
  if (header && header->code == static_cast<UINT>(NM_RCLICK) &&
      PressRefused(static_cast<UINT>(header->idFrom))) {
    if (result) *result = 0;
    return TRUE;
  }
  return CDialog::OnNotify(wParam, lParam, result);
}

void CMainDlg::OnOK() {
  CDialog::OnOK();
  EnumWindows(CloseOwnedWindowCallback, reinterpret_cast<LPARAM>(m_hWnd));
  PostQuitMessage(0);
}
