// The program entry of a framework application; linked only into programs that define no main.
#include "mfc/CWinApp.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  // Returning (rather than ExitProcess) lets the application object's destructor run during the
  // normal static teardown, while the threads it stops still live.
  return AfxWinMain(instance, showCommand);
}
