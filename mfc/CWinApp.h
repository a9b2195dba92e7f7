// The application object: one per process, built during static construction. The framework's
// WinMain (AfxWinMain) runs InitInstance and returns, so static destructors run afterwards.
#pragma once

#include <windows.h>

#include "mfc/CWnd.h"

constexpr UINT ID_HELP = 0xE146;
constexpr UINT AFX_IDS_APP_TITLE = 0xE000;

class CWinThread : public CCmdTarget {
  DECLARE_DYNAMIC(CWinThread)
 public:
  CWnd* m_pMainWnd = nullptr;
  HANDLE m_hThread = nullptr;
  DWORD m_nThreadID = 0;

  virtual BOOL InitInstance() { return TRUE; }
  // The message loop when InitInstance leaves the program running; returns the quit code.
  virtual int Run();
  virtual int ExitInstance();

 protected:
  int m_exitCode = 0;
};

class CWinApp : public CWinThread {
  DECLARE_DYNAMIC(CWinApp)
 public:
  // Null name: the string resource AFX_IDS_APP_TITLE, else the module's file name.
  explicit CWinApp(LPCWSTR appName = nullptr);
  ~CWinApp() override;

  HINSTANCE m_hInstance = nullptr;
  LPWSTR m_lpCmdLine = nullptr;  // the command line after the program's name
  int m_nCmdShow = SW_SHOWNORMAL;
  LPCWSTR m_pszAppName = nullptr;

  BOOL InitInstance() override { return TRUE; }
  int ExitInstance() override;
  void OnHelp() {}

  // Fills the instance, command line and name; run by AfxWinMain.
  void InitApplication(HINSTANCE instance, int showCommand);

 private:
  wchar_t nameBuffer_[MAX_PATH] = {};
  bool ownsName_ = false;
  DECLARE_MESSAGE_MAP()
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
// The program's name: the application's name, else the module's base name.
LPCWSTR AfxGetAppName();
int AfxMessageBox(LPCWSTR text, UINT type = MB_OK);
inline void AfxEnableControlContainer() {}
// Runs the application object: InitInstance, then the message loop or ExitInstance.
int AfxWinMain(HINSTANCE instance, int showCommand);
// Exit code of a WM_QUIT waiting in this thread's queue (removed); `fallback` when none.
int AfxTakePendingQuitCode(int fallback);
