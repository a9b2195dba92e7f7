// Another process's side of the decode mutex:
//   decode_mutex_probe hold <ms> <ready event>   takes the mutex, sets the event, holds it <ms>
//   decode_mutex_probe try                       exit 0 when the mutex can be taken within 5 s
//                                                (other tests may be loading just then)
#include <windows.h>

#include <cwchar>

#include "media/soundfile/SoundFile.h"

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && wcscmp(argv[1], L"hold") == 0) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kDecodeMutexName);
    if (!mutex || WaitForSingleObject(mutex, 10000) != WAIT_OBJECT_0) return 3;
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
    if (!ready || !SetEvent(ready)) return 4;
    Sleep(DWORD(_wtoi(argv[2])));
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 0;
  }
  if (argc == 2 && wcscmp(argv[1], L"try") == 0) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kDecodeMutexName);
    if (!mutex) return 3;
    const DWORD got = WaitForSingleObject(mutex, 5000);
    if (got == WAIT_OBJECT_0) ReleaseMutex(mutex);
    CloseHandle(mutex);
    return got == WAIT_OBJECT_0 ? 0 : got == WAIT_ABANDONED ? 2 : 1;
  }
  return 5;
}
