#include "app/controls/COwnClipboardEdit.h"
#include "common/Locks.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

IMPLEMENT_DYNAMIC(COwnClipboardEdit, CEdit)

BEGIN_MESSAGE_MAP(COwnClipboardEdit, CEdit)
END_MESSAGE_MAP()

void COwnClipboardEdit::StoreSelection() {
  if (!m_clipboard.IsSet()) return;
  int start = 0, end = 0;
  GetSel(start, end);
  int length = GetWindowTextLength();
  std::vector<wchar_t> text(static_cast<size_t>(length) + 1);
  GetWindowText(text.data(), length + 1);
  if (end > length) end = length;
  // An empty selection empties the own clipboard (the system clipboard keeps its text).
  const size_t units = end > start ? static_cast<size_t>(end - start) : 0;
  SetClipboardBuffer(m_clipboard, text.data() + (units ? start : 0), units * sizeof(wchar_t));
}

void COwnClipboardEdit::PasteOwn() {
  // EM_REPLACESEL writes even into a read-only edit, which the edit's own paste would refuse.
  if (!m_clipboard.IsSet() || (GetStyle() & ES_READONLY)) return;
  std::lock_guard<RecursiveMutex> guard(*m_clipboard.lock);
  uint32_t size = *m_clipboard.size;
  if (!size || !*m_clipboard.data) return;
  auto* block = static_cast<wchar_t*>(malloc(size + sizeof(wchar_t)));
  if (!block) return;
  memcpy(block, *m_clipboard.data, size);
  block[size / sizeof(wchar_t)] = 0;
  ReplaceSel(block, TRUE);
  free(block);
}

// The edit's own menu would cut, copy and paste past the messages below; this one sends them.
void COwnClipboardEdit::ShowEditMenu(LPARAM screenPoint) {
  int start = 0, end = 0;
  GetSel(start, end);
  bool selection = end > start;
  bool readOnly = (GetStyle() & ES_READONLY) != 0;
  bool canPaste = false;
  if (m_ownPaste) {
    if (m_clipboard.IsSet()) {
      std::lock_guard<RecursiveMutex> guard(*m_clipboard.lock);
      canPaste = *m_clipboard.size != 0;
    }
  } else {
    canPaste = IsClipboardFormatAvailable(CF_UNICODETEXT) != FALSE;
  }
  auto flags = [](bool on) { return MF_STRING | (on ? MF_ENABLED : MF_GRAYED); };
  HMENU menu = CreatePopupMenu();
  AppendMenuW(menu, flags(SendMessage(EM_CANUNDO) != 0 && !readOnly), WM_UNDO, L"&Undo");
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, flags(selection && !readOnly), WM_CUT, L"Cu&t");
  AppendMenuW(menu, flags(selection), WM_COPY, L"&Copy");
  AppendMenuW(menu, flags(canPaste && !readOnly), WM_PASTE, L"&Paste");
  AppendMenuW(menu, flags(selection && !readOnly), WM_CLEAR, L"&Delete");
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, flags(GetWindowTextLength() > 0), EM_SETSEL, L"Select &All");
  POINT p = {static_cast<short>(LOWORD(screenPoint)), static_cast<short>(HIWORD(screenPoint))};
  if (screenPoint == -1) {  // from the keyboard: at the control
    CRect r;
    GetWindowRect(&r);
    p = {r.left + 4, r.top + 4};
  }
  SetFocus();
  UINT cmd =
      TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, p.x, p.y, 0, m_hWnd, nullptr);
  DestroyMenu(menu);
  if (cmd == EM_SETSEL)
    SetSel(0, -1);
  else if (cmd)
    SendMessage(cmd);
}

LRESULT COwnClipboardEdit::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SETTEXT: {
      // The edit takes a set text of any length past its limit, and wrapping a long one takes
      // it seconds: a text set from outside is held to the limit as typing and pasting are.
      const auto* text = reinterpret_cast<const wchar_t*>(lParam);
      const auto limit = static_cast<size_t>(SendMessage(EM_GETLIMITTEXT));
      if (!text || wcsnlen(text, limit + 1) <= limit) break;
      size_t kept = limit;
      if (kept > 0 && IS_HIGH_SURROGATE(text[kept - 1])) --kept;  // no half of a pair
      const std::wstring cut(text, kept);
      return CEdit::WindowProc(message, wParam, reinterpret_cast<LPARAM>(cut.c_str()));
    }
    case WM_COPY:
      StoreSelection();
      break;
    case WM_CUT:
      StoreSelection();
      SendMessage(WM_COPY);
      break;
    case WM_PASTE:
      if (m_ownPaste) {
        PasteOwn();
        return 1;
      }
      break;
    case WM_KEYDOWN: {
      // The edit handles these keys itself without sending WM_COPY, WM_CUT or WM_PASTE.
      bool shift = GetKeyState(VK_SHIFT) < 0, control = GetKeyState(VK_CONTROL) < 0;
      if (wParam == VK_INSERT && shift && !control) return SendMessage(WM_PASTE), 0;
      if (wParam == VK_INSERT && control && !shift) return SendMessage(WM_COPY), 0;
      if (wParam == VK_DELETE && shift && !control) return SendMessage(WM_CUT), 0;
      break;
    }
    case WM_CONTEXTMENU:
      ShowEditMenu(lParam);
      return 0;
    default:
      break;
  }
  return CEdit::WindowProc(message, wParam, lParam);
}
