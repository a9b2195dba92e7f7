// Quillgate: keeps the default open and save folders, lets the user edit them when asked or when
// its INI file cannot be read, then starts the main program twice as the two stations of this
// computer and ends.
#include <windows.h>
#include <commdlg.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>

#include "launcher/LauncherFiles.h"
#include "launcher/LauncherLogic.h"
#include "launcher/resource.h"

namespace {

struct LauncherPaths {
  wchar_t save[kLauncherPathChars] = {};
  wchar_t open[kLauncherPathChars] = {};
};

std::wstring LauncherFolder() {
  wchar_t module[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameW(nullptr, module, MAX_PATH);
  std::wstring folder(module, n < MAX_PATH ? n : 0);
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

void CopyPath(const std::wstring& from, wchar_t* to) {
  const size_t n = from.size() < kLauncherPathMaxLength ? from.size() : kLauncherPathMaxLength;
  from.copy(to, n);
  to[n] = 0;
}

// The user's documents folder, a backslash and the edition name, created; empty when the system
// does not give the documents folder.
std::wstring DefaultFolder() {
  wchar_t documents[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents))) return {};
  const std::wstring folder = std::wstring(documents) + L"\\" + LauncherEditionName(0);
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

// Lets the user pick a folder through the open-file dialog; `path` changes only on a confirmed
// choice that names a folder.
void PickFolder(HWND owner, wchar_t* path) {
  wchar_t file[kLauncherPathChars] = {};
  CopyPath(PickerStartName(path), file);
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.hInstance = GetModuleHandleW(nullptr);
  ofn.lpstrFile = file;
  ofn.nMaxFile = kLauncherPathChars;
  ofn.lpstrInitialDir = path;
  ofn.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_NOVALIDATE;
  if (!GetOpenFileNameW(&ofn)) return;
  std::wstring folder;
  if (FolderOfPickedName(file, &folder)) CopyPath(folder, path);
}

// The picker starts from what the field shows, so a path typed there is neither lost nor ignored.
void PickFolderFor(HWND dialog, int field, wchar_t* path) {
  GetDlgItemTextW(dialog, field, path, kLauncherPathChars);
  PickFolder(dialog, path);
  SetDlgItemTextW(dialog, field, path);
}

INT_PTR CALLBACK LauncherDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* paths = reinterpret_cast<LauncherPaths*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      paths = reinterpret_cast<LauncherPaths*>(lParam);
      SetDlgItemTextW(dialog, IDC_PATH_SAVE, paths->save);
      SetDlgItemTextW(dialog, IDC_PATH_OPEN, paths->open);
      return TRUE;
    case WM_COMMAND:
      if (!paths) break;
      switch (LOWORD(wParam)) {
        case IDOK:
          GetDlgItemTextW(dialog, IDC_PATH_SAVE, paths->save, kLauncherPathChars);
          GetDlgItemTextW(dialog, IDC_PATH_OPEN, paths->open, kLauncherPathChars);
          EndDialog(dialog, IDOK);
          return TRUE;
        case IDCANCEL:
          EndDialog(dialog, IDCANCEL);
          return TRUE;
        case IDC_SELECT_OPEN:
          PickFolderFor(dialog, IDC_PATH_OPEN, paths->open);
          return TRUE;
        case IDC_SELECT_SAVE:
          PickFolderFor(dialog, IDC_PATH_SAVE, paths->save);
          return TRUE;
      }
      break;
    case WM_CLOSE:
      // A close is a cancel: nothing is written and nothing started.
      EndDialog(dialog, IDCANCEL);
      return TRUE;
  }
  return FALSE;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // The shell's start and the explorer-style picker want an apartment on this thread.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

  const std::wstring folder = LauncherFolder();
  const LauncherRequest request = ParseLauncherArguments(ArgumentsOfCommandLine(GetCommandLineW()));

  LauncherPaths paths;
  const std::wstring editionFolder = LauncherEditionFolder();
  const std::wstring ini = LauncherIniPath();
  CreateDirectoryW(editionFolder.c_str(), nullptr);
  const bool read = !ini.empty() && ReadLauncherIni(ini, paths.save, paths.open);

  bool start = true;
  if (request.setup || !read) {
    const std::wstring fallback = DefaultFolder();
    if (!paths.save[0]) CopyPath(fallback, paths.save);
    if (!paths.open[0]) CopyPath(fallback, paths.open);
    start = DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_LAUNCHER), nullptr, LauncherDialogProc,
                            reinterpret_cast<LPARAM>(&paths)) == IDOK;
    if (start && !ini.empty()) {
      CreateDirectoryW(editionFolder.c_str(), nullptr);
      WriteLauncherIni(ini, paths.save, paths.open);
    }
  }

  if (start) {
    const std::wstring program = StationProgramPath(folder);
    const StationParameters parameters = BuildStationParameters(request);
    ShellExecuteW(nullptr, nullptr, program.c_str(), parameters.first.c_str(), nullptr, SW_SHOW);
    ShellExecuteW(nullptr, nullptr, program.c_str(), parameters.second.c_str(), nullptr, SW_SHOW);
  }

  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}
