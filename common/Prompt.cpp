#include "common/Prompt.h"

namespace {
int ShowMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
  return MessageBoxW(owner, text, caption, style);
}
}  // namespace

PFN_ShowPrompt g_pfnShowPrompt = ShowMessageBox;

int ShowPrompt(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
  PFN_ShowPrompt show = g_pfnShowPrompt ? g_pfnShowPrompt : ShowMessageBox;
  return show(owner, text, caption, style);
}
