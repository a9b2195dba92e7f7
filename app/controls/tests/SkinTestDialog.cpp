#include "app/controls/tests/SkinTestDialog.h"

#include <commctrl.h>

#include "app/controls/tests/ScreenCapture.h"
#include "common/SharedHelpers.h"
#include "mfc/CDC.h"

BEGIN_MESSAGE_MAP(CSkinTestDlg, CDialog)
  ON_WM_PAINT()
  ON_NOTIFY_RANGE(NM_RCLICK, 1000, 1100, &CSkinTestDlg::OnButtonNotify)
END_MESSAGE_MAP()

void PumpMessages(DWORD ms) {
  DWORD start = GetTickCount();
  do {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(5);
  } while (GetTickCount() - start < ms);
}

bool PumpUntilSettled(HWND window, DWORD timeoutMs) {
  // Wine copies a window's drawing to the screen on its own schedule: the same pixels over a
  // few polls mean that what was drawn has arrived.
  constexpr int kSamePolls = 3;
  const DWORD start = GetTickCount();
  std::vector<uint32_t> previous;
  int same = 0;
  while (GetTickCount() - start < timeoutMs) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    RECT r = {};
    GetWindowRect(window, &r);
    CPixels now = CPixels::FromScreen(r);
    same = (!previous.empty() && now.px == previous) ? same + 1 : 0;
    if (same >= kSamePolls) return true;
    previous = std::move(now.px);
    Sleep(20);
  }
  return false;
}

CSkinTestDlg::~CSkinTestDlg() {
  if (m_hWnd) DestroyWindow();
  if (skinDC_) {
    SelectObject(skinDC_, skinDefault_);
    DeleteDC(skinDC_);
  }
  if (skin) DeleteObject(skin);
}

CTransparentButton* CSkinTestDlg::Button(UINT id) {
  for (size_t i = 0; i < kSkinnedButtonCount; ++i)
    if (kMainControls[i].id == id) return &buttons[i];
  return nullptr;
}

void CSkinTestDlg::DoDataExchange(CDataExchange* dx) {
  DDX_Control(dx, IDC_FILENAME, fileName);
  DDX_Control(dx, IDC_LEDNUMBER, led);
  DDX_Control(dx, IDC_STUDENTTEXT, studentText);
  DDX_Control(dx, IDC_MASTERTEXT, masterText);
  DDX_Control(dx, IDC_OUTSLIDER, outSlider);
  DDX_Control(dx, IDC_INSLIDER, inSlider);
}

BOOL CSkinTestDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  // The main dialog's buttons, in its load order (1033 has no control in the template).
  for (size_t i = 0; i < kSkinnedButtonCount; ++i) buttons[i].LoadButtonFaces(kMainControls[i].id, this);

  skin = static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), L"BACKGROUND", IMAGE_BITMAP, 0, 0,
                                         LR_CREATEDIBSECTION | LR_VGACOLOR));
  BITMAP bm = {};
  GetObjectW(skin, sizeof bm, &bm);
  skinWidth = bm.bmWidth;
  skinHeight = bm.bmHeight;
  HDC dc = ::GetDC(m_hWnd);
  skinDC_ = CreateCompatibleDC(dc);
  skinDefault_ = SelectObject(skinDC_, skin);
  ::ReleaseDC(m_hWnd, dc);

  led.SetDigitStrip(static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), L"LEDIMAGES", IMAGE_BITMAP, 0,
                                                    0, LR_CREATEDIBSECTION | LR_VGACOLOR)));
  led.m_backdropDC = skinDC_;
  led.m_value = 7;
  for (CGraphicSlider* s : {&outSlider, &inSlider}) {
    s->InitSlider();
    s->m_backdropDC = skinDC_;
    s->m_tipPosition = static_cast<UINT>(s->Travel() * (s == &outSlider ? 0.75 : 0.4));
  }
  masterText.SetWindowText(L"Master chunk text");
  studentText.SetWindowText(L"Student chunk text");
  fileName.SetWindowText(L"lesson01.qpk");

  // Borderless and skin-sized at the screen's corner, like the main window.
  ::SetWindowLongW(m_hWnd, GWL_STYLE, WS_VISIBLE);
  SetWindowPos(HWND_TOP, 0, 0, skinWidth, skinHeight, SWP_FRAMECHANGED);
  ::RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_FRAME);
  return TRUE;
}

void CSkinTestDlg::OnPaint() {
  CPaintDC dc(this);
  dc.BitBlt(0, 0, skinWidth, skinHeight, skinDC_, 0, 0, SRCCOPY);
  CFont small;
  small.CreateFont(12, 6, 0, 0, 400, 0, 0, 0, ANSI_CHARSET, 0, 0, 0, 0, L"Arial");
  HGDIOBJ old = dc.SelectObject(&small);
  dc.SetBkMode(TRANSPARENT);
  dc.SetTextColor(RGB(255, 255, 255));
  dc.TextOut(463, 345, L"IN");
  dc.TextOut(482, 345, L"OUT");
  dc.SelectObject(old);
}

void CSkinTestDlg::OnButtonNotify(UINT, NMHDR* hdr, LRESULT*) {
  notifyCodes.push_back(hdr->code);
  lastNotifyId = static_cast<UINT>(hdr->idFrom);
}
