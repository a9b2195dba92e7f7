// Stands in for the main program beside a copy of the launcher: appends its exact command line
// (UTF-8, one line) to "station-starts.log" in its own folder and ends.
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t module[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  std::wstring log(module);
  log = log.substr(0, log.find_last_of(L'\\') + 1) + L"station-starts.log";

  const wchar_t* line = GetCommandLineW();
  std::string text(size_t(WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line, -1, text.data(), int(text.size()), nullptr, nullptr);
  text.back() = '\n';

  // Both stations start at once: one appending write each, retried while the other holds the file.
  for (int attempt = 0; attempt < 500; ++attempt) {
    HANDLE f = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
      DWORD done = 0;
      const BOOL ok = WriteFile(f, text.data(), DWORD(text.size()), &done, nullptr);
      CloseHandle(f);
      return ok && done == text.size() ? 0 : 2;
    }
    Sleep(10);
  }
  return 1;
}
