// The system clipboard's text, as another program on the desktop puts it there and reads it.
#pragma once

#include <windows.h>

#include <cstring>
#include <string>

#include "tests/support/TestFiles.h"

// Another process may hold the clipboard open for a moment.
inline bool OpenSystemClipboard() {
  return WaitUntil([] { return OpenClipboard(nullptr) != FALSE; }, 5000);
}

inline bool PutOnSystemClipboard(const wchar_t* text) {
  if (!OpenSystemClipboard()) return false;
  EmptyClipboard();
  const size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
  HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, bytes);
  bool put = false;
  if (mem) {
    memcpy(GlobalLock(mem), text, bytes);
    GlobalUnlock(mem);
    put = SetClipboardData(CF_UNICODETEXT, mem) != nullptr;
    if (!put) GlobalFree(mem);
  }
  CloseClipboard();
  return put;
}

inline std::wstring SystemClipboardText() {
  std::wstring out;
  if (!OpenSystemClipboard()) return L"(clipboard busy)";
  if (HANDLE h = GetClipboardData(CF_UNICODETEXT)) {
    out = static_cast<const wchar_t*>(GlobalLock(h));
    GlobalUnlock(h);
  }
  CloseClipboard();
  return out;
}
