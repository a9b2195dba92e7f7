// Push buttons and bitmap buttons; an owner-drawn button draws itself through DrawItem.
#pragma once

#include "mfc/CWnd.h"

class CButton : public CWnd {
  DECLARE_DYNAMIC(CButton)
 public:
  UINT GetState() const { return static_cast<UINT>(::SendMessageW(m_hWnd, BM_GETSTATE, 0, 0)); }
  void SetState(BOOL highlight) { ::SendMessageW(m_hWnd, BM_SETSTATE, highlight, 0); }
  int GetCheck() const { return static_cast<int>(::SendMessageW(m_hWnd, BM_GETCHECK, 0, 0)); }
  void SetCheck(int check) { ::SendMessageW(m_hWnd, BM_SETCHECK, check, 0); }
  virtual void DrawItem(LPDRAWITEMSTRUCT) {}
  BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
};

// A button drawn from up to four bitmaps: normal, selected (pressed), focused, disabled.
class CBitmapButton : public CButton {
  DECLARE_DYNAMIC(CBitmapButton)
 public:
  // Frees what an earlier call loaded; true when the normal bitmap loaded. Null or missing
  // names leave that bitmap empty.
  BOOL LoadBitmaps(LPCWSTR normal, LPCWSTR selected = nullptr, LPCWSTR focus = nullptr,
                   LPCWSTR disabled = nullptr);
  // Sizes the button to its normal bitmap.
  void SizeToContent();
  void DrawItem(LPDRAWITEMSTRUCT item) override;

  CBitmap m_bitmap;
  CBitmap m_bitmapSel;
  CBitmap m_bitmapFocus;
  CBitmap m_bitmapDisabled;
};
