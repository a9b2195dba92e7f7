#include "launcher/LauncherFiles.h"

#include <shlobj.h>

#include "launcher/LauncherLogic.h"

std::wstring LauncherEditionFolder() {
  wchar_t common[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common))) return {};
  return std::wstring(common) + L"\\" + LauncherEditionName(0);
}

std::wstring LauncherIniPath() {
  const std::wstring folder = LauncherEditionFolder();
  return folder.empty() ? std::wstring() : folder + L"\\QuillmeridianPath.ini";
}

std::string PathToOem(const wchar_t* path) {
  char oem[kLauncherPathChars * 2];
  const int length = WideCharToMultiByte(CP_OEMCP, 0, path, int(wcsnlen(path, kLauncherPathMaxLength)), oem,
                                         int(sizeof oem), nullptr, nullptr);
  return std::string(oem, length > 0 ? size_t(length) : 0);
}

void OemToPath(const std::string& oem, wchar_t* path) {
  const int length = oem.empty() ? 0
                                 : MultiByteToWideChar(CP_OEMCP, 0, oem.data(), int(oem.size()), path,
                                                       int(kLauncherPathMaxLength));
  path[length > 0 ? length : 0] = 0;
}

bool ReadLauncherIni(const std::wstring& file, wchar_t* pathSave, wchar_t* pathOpen) {
  HANDLE f = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(f, &size) || size.QuadPart < 0 || uint64_t(size.QuadPart) > kLauncherIniMaxBytes) {
    CloseHandle(f);
    return false;
  }
  std::string content(size_t(size.QuadPart), '\0');
  DWORD got = 0;
  const bool whole = content.empty() || (ReadFile(f, content.data(), DWORD(content.size()), &got, nullptr) &&
                                         got == content.size());
  CloseHandle(f);
  if (!whole) return false;

  const LauncherIniValues values = ParseLauncherIni(content);
  OemToPath(values.hasSave ? values.save : std::string(), pathSave);
  OemToPath(values.hasOpen ? values.open : std::string(), pathOpen);
  return true;
}

bool WriteLauncherIni(const std::wstring& file, const wchar_t* pathSave, const wchar_t* pathOpen) {
  const std::string text = BuildLauncherIni(PathToOem(pathSave), PathToOem(pathOpen));
  HANDLE f = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD done = 0;
  const bool ok = WriteFile(f, text.data(), DWORD(text.size()), &done, nullptr) && done == text.size();
  CloseHandle(f);
  return ok;
}
