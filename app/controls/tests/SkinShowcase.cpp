// Shows the skinned test dialog for a while (first argument, milliseconds; default 3000), for a
// screenshot taken from outside.
#include <cstdlib>

#include "app/controls/tests/SkinTestDialog.h"

int main(int argc, char** argv) {
  DWORD ms = argc > 1 ? static_cast<DWORD>(atoi(argv[1])) : 3000;
  CSkinTestDlg dlg;
  if (!dlg.Create()) return 1;
  dlg.Button(IDC_BUTSENDWAV)->ShowWindow(SW_HIDE);  // no "/_t": the send button is hidden
  dlg.Button(IDC_BUTINSERTBM)->TogglePressedLook();  // bookmarks off: looks pressed
  dlg.Button(IDC_BUTINSERTBM)->Invalidate(TRUE);
  PumpMessages(ms);
  return 0;
}
