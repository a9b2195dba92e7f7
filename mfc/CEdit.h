// Edit controls.
#pragma once

#include "mfc/CWnd.h"

class CEdit : public CWnd {
  DECLARE_DYNAMIC(CEdit)
 public:
  void GetSel(int& start, int& end) const;
  void SetSel(int start, int end) { ::SendMessageW(m_hWnd, EM_SETSEL, start, end); }
  void ReplaceSel(LPCWSTR text, BOOL canUndo = FALSE) {
    ::SendMessageW(m_hWnd, EM_REPLACESEL, canUndo, reinterpret_cast<LPARAM>(text));
  }
  void SetReadOnly(BOOL readOnly = TRUE) { ::SendMessageW(m_hWnd, EM_SETREADONLY, readOnly, 0); }
  void LimitText(int n) { ::SendMessageW(m_hWnd, EM_LIMITTEXT, n, 0); }
};
