// Holds the desktop for the whole test run. Wine closes a desktop that no program has used for
// about a second and ends its explorer; the next program to make a window then starts a new one
// as its own child, inside whatever job that program runs in (the tests' peers and the
// launcher's runs), where it is counted or killed with the job.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  GetDesktopWindow();  // starts the desktop's explorer when none runs
  Sleep(INFINITE);     // the harness ends it with the Wine server
  return 0;
}
