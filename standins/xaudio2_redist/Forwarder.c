/* The DLL only forwards XAudio2Create (ordinal 1) to xaudio2_9.dll; see XAudio2_9Redist.def. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}
