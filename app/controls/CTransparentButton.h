// A skinned push button: its face bitmap (stem + "U" at rest, stem + "D" while pressed) is drawn
// over the parent's skin with per-pixel alpha, or with the face's top-left colour as a key.
#pragma once

#include <string>

#include "mfc/CButton.h"

// The tag with which a skinned control asks its parent for the skin DC (CWnd::QueryBackdropDC).
constexpr UINT_PTR kBackdropQueryTag = 0x11111111;

class CTransparentButton : public CBitmapButton {
  DECLARE_DYNAMIC(CTransparentButton)
 public:
  CTransparentButton() = default;
  ~CTransparentButton() override;

  // Binds the button (first call) and loads the faces named by its window text. Reloading with an
  // unchanged stem and look keeps the faces already loaded.
  BOOL LoadButtonFaces(UINT id, CWnd* parent);
  // Flips the pressed look and swaps the two faces already loaded.
  void TogglePressedLook();
  void DrawItem(LPDRAWITEMSTRUCT item) override;

  BYTE m_pressedLook = 0;
  UINT m_controlId = 0;
  HBITMAP m_normalFace = nullptr;
  HBITMAP m_pressedFace = nullptr;
  // Whether each face has alpha (AlphaBlend) or is colour-keyed (TransparentBlt).
  bool m_normalHasAlpha = false;
  bool m_pressedHasAlpha = false;
  HDC m_faceDC = nullptr;
  HDC m_backDC = nullptr;
  HBITMAP m_backBitmap = nullptr;

 protected:
  void OnRButtonDown(UINT flags, CPoint point);
  // The system's WM_CONTEXTMENU after a right click goes no further: the parent would take it
  // for a right click on its background, after the right press was already handled.
  void OnContextMenu(CWnd*, CPoint) {}
  DECLARE_MESSAGE_MAP()

 private:
  void ReleaseFaces();
  std::wstring loadedStem_;
  BYTE loadedLook_ = 0;
  HGDIOBJ faceDCDefault_ = nullptr;  // the DC's own bitmap, selected back before deleting faces
  HGDIOBJ backDCDefault_ = nullptr;
};
