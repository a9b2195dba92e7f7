// A vertical level slider drawn from a body bitmap and a movable tip over the parent's skin.
// Dragging reports the level in percent to the parent as WM_VSCROLL (SB_THUMBTRACK, then
// SB_ENDSCROLL); a right click posts WM_CONTEXTMENU with the slider's client coordinates.
#pragma once

#include "mfc/CStatic.h"

class CGraphicSlider : public CStatic {
  DECLARE_DYNAMIC(CGraphicSlider)
 public:
  CGraphicSlider() = default;
  ~CGraphicSlider() override;

  // Loads "SLIDERBODY" and "SLIDERTIP" and sizes the control to the body.
  void InitSlider();
  void DrawItem(LPDRAWITEMSTRUCT item) override;
  // Moves the tip so that its middle follows y (client coordinates) and reports the level.
  void SetThumbFromY(int y);
  // Pixels the tip can travel: body height - tip height - 13 (0 or less: the tip cannot move).
  int Travel() const { return m_height - m_tipHeight - 13; }
  // The tip position as a percentage of the travel (0 when there is no travel).
  int Percent() const;

  int m_width = 0;
  int m_height = 0;
  int m_tipWidth = 0;
  int m_tipHeight = 0;
  HBITMAP m_body = nullptr;
  HBITMAP m_tip = nullptr;
  HBITMAP m_backBitmap = nullptr;
  HDC m_backdropDC = nullptr;  // the parent's skin, set by the parent
  HWND m_parent = nullptr;
  HDC m_bitmapDC = nullptr;
  HDC m_backDC = nullptr;
  UINT m_tipPosition = 0;  // pixels above the tip's lowest place; the parent may set it

 protected:
  void OnLButtonDown(UINT flags, CPoint point);
  void OnMouseMove(UINT flags, CPoint point);
  void OnLButtonUp(UINT flags, CPoint point);
  void OnRButtonDown(UINT flags, CPoint point);
  // The system's WM_CONTEXTMENU after a right click goes no further: the right press already
  // posted the slider's own, and a second one would open a second menu.
  void OnContextMenu(CWnd*, CPoint) {}
  DECLARE_MESSAGE_MAP()

 private:
  void Release();
  HGDIOBJ bitmapDCDefault_ = nullptr;
  HGDIOBJ backDCDefault_ = nullptr;
};
