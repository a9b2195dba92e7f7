#include "mfc/CEdit.h"

IMPLEMENT_DYNAMIC(CEdit, CWnd)

void CEdit::GetSel(int& start, int& end) const {
  DWORD s = 0, e = 0;
  ::SendMessageW(m_hWnd, EM_GETSEL, reinterpret_cast<WPARAM>(&s), reinterpret_cast<LPARAM>(&e));
  start = static_cast<int>(s);
  end = static_cast<int>(e);
}
