// A Pointerhub.dll that lacks SelectRawInputDevices, for the start that must report it.
#include <windows.h>

extern "C" __declspec(dllexport) BOOL WINAPI DeinitializeRawInput() { return TRUE; }
