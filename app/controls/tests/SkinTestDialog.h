// A stand-in for the main dialog that carries every skinned control of template 102 over the
// skin, for the screenshot tests and the showcase program.
#pragma once

#include <vector>

#include "app/controls/CGraphicSlider.h"
#include "app/controls/COwnClipboardEdit.h"
#include "app/controls/CStaticLedNumber.h"
#include "app/controls/CTransparentButton.h"
#include "app/main/MainControls.h"
#include "app/res/resource.h"
#include "mfc/CDialog.h"
#include "mfc/CEdit.h"

class CSkinTestDlg : public CDialog {
 public:
  CSkinTestDlg() : CDialog(IDD_MAIN_DIALOG) {}
  ~CSkinTestDlg() override;

  HDC QueryBackdropDC(UINT_PTR tag) override { return tag == kBackdropQueryTag ? skinDC_ : nullptr; }
  BOOL OnInitDialog() override;
  void DoDataExchange(CDataExchange* dx) override;
  CTransparentButton* Button(UINT id);

  CTransparentButton buttons[kSkinnedButtonCount];
  CGraphicSlider outSlider, inSlider;
  CStaticLedNumber led;
  CEdit fileName;
  COwnClipboardEdit masterText, studentText;
  HBITMAP skin = nullptr;
  int skinWidth = 0, skinHeight = 0;
  std::vector<UINT> notifyCodes;  // WM_NOTIFY codes from the buttons
  UINT lastNotifyId = 0;

 protected:
  void OnPaint();
  void OnButtonNotify(UINT id, NMHDR* hdr, LRESULT* result);
  DECLARE_MESSAGE_MAP()

 private:
  HDC skinDC_ = nullptr;
  HGDIOBJ skinDefault_ = nullptr;
};

// Pumps this thread's messages for about `ms` milliseconds.
void PumpMessages(DWORD ms);
// Pumps this thread's messages until the window's area of the screen has stopped changing (the
// same over a few polls), at most timeoutMs; false when it never settled.
bool PumpUntilSettled(HWND window, DWORD timeoutMs = 5000);
