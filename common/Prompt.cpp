#include "common/Prompt.h"

int ShowMessageBoxPrompt(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
  return MessageBoxW(owner, text, caption, style);
}

PFN_ShowPrompt g_pfnShowPrompt = ShowMessageBoxPrompt;

int ShowPrompt(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
  PFN_ShowPrompt show = g_pfnShowPrompt ? g_pfnShowPrompt : ShowMessageBoxPrompt;
  return show(owner, text, caption, style);
}
