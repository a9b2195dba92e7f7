// The chunk-text box: every cut or copy also lands in the program's own clipboard, and with the
// own-paste flag set (station mode) pasting takes the own clipboard only, so two students on one
// computer never paste each other's system clipboard.
#pragma once

#include "app/controls/ClipboardBuffer.h"
#include "mfc/CEdit.h"

class COwnClipboardEdit : public CEdit {
  DECLARE_DYNAMIC(COwnClipboardEdit)
 public:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

  UINT m_ownPaste = 0;
  ClipboardBuffer m_clipboard;  // the application's own clipboard; unset: none

 protected:
  DECLARE_MESSAGE_MAP()

 private:
  void StoreSelection();
  void PasteOwn();
  void ShowEditMenu(LPARAM screenPoint);
};
