// Modal dialogs from templates in the program's resources.
#pragma once

#include <windows.h>

#include "mfc/CWnd.h"

class CDataExchange {
 public:
  CDataExchange(CWnd* dialog, BOOL save) : m_pDlgWnd(dialog), m_bSaveAndValidate(save) {}
  CWnd* m_pDlgWnd;
  BOOL m_bSaveAndValidate;
};

// Binds a template control to its object (once: a bound control is left alone).
void DDX_Control(CDataExchange* dx, int id, CWnd& control);

// Moves the dialog's controls (and sizes its client area) to the pixels the template means on
// Windows, 6 x 13 base units for its font: Wine's own units (6 x 12) would shift them off a skin.
// Returns false when the template cannot be read.
bool PlaceDialogItemsByWindowsUnits(HWND dialog, HINSTANCE module, LPCWSTR templateName);

// The pixel value of a template coordinate with Windows' base units of MS Shell Dlg 8.
inline int DialogUnitsToPixelsX(int x) { return MulDiv(x, 6, 4); }
inline int DialogUnitsToPixelsY(int y) { return MulDiv(y, 13, 8); }

class CDialog : public CWnd {
  DECLARE_DYNAMIC(CDialog)
 public:
  explicit CDialog(UINT templateId, CWnd* parent = nullptr);
  // The result of EndDialog, or -1 when the dialog could not be created.
  virtual INT_PTR DoModal();
  // Modeless: the window exists on return (false when it could not be created).
  bool Create(CWnd* parent = nullptr);
  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  virtual void DoDataExchange(CDataExchange*) {}
  BOOL UpdateData(BOOL save = TRUE);
  void EndDialog(int result);

  UINT m_nIDHelp;
  LPCWSTR m_lpszTemplateName;
  CWnd* m_pParentWnd;

 protected:
  friend INT_PTR CALLBACK AfxDlgProc(HWND, UINT, WPARAM, LPARAM);
  DECLARE_MESSAGE_MAP()
};

INT_PTR CALLBACK AfxDlgProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
