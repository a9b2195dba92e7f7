// Static controls; an owner-drawn static (SS_OWNERDRAW) draws itself through DrawItem.
#pragma once

#include "mfc/CWnd.h"

class CStatic : public CWnd {
  DECLARE_DYNAMIC(CStatic)
 public:
  virtual void DrawItem(LPDRAWITEMSTRUCT) {}
  BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
};
