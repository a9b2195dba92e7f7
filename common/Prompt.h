// Every message box the program shows goes through ShowPrompt, so that a test can script the
// answers and see what was asked. Callers own their wording and caption; nothing here decides
// when a box may be shown (a box is never put up while a lock is held: the caller shows it after).
#pragma once

#include <windows.h>

// (owner, text, caption, style) -> the button the user chose (IDOK, IDYES, ...), as MessageBoxW.
using PFN_ShowPrompt = int (*)(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style);

// MessageBoxW by default; a test puts its own answerer here and puts it back afterwards.
extern PFN_ShowPrompt g_pfnShowPrompt;

int ShowPrompt(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style);

// The real message box, for an answerer that passes some prompts on to the user.
int ShowMessageBoxPrompt(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style);
