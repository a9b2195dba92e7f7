#include "mfc/CWinApp.h"

#include <cwchar>

#include "common/Prompt.h"

namespace {
CWinApp* g_app = nullptr;

// Skips the program's name (quoted or not) and the blanks after it.
LPWSTR CommandLineAfterProgram(LPWSTR line) {
  if (!line) return nullptr;
  if (*line == L'"') {
    ++line;
    while (*line && *line != L'"') ++line;
    if (*line == L'"') ++line;
  } else {
    while (*line && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

void ModuleBaseName(wchar_t* out, size_t size) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  const wchar_t* name = wcsrchr(path, L'\\');
  name = name ? name + 1 : path;
  wcsncpy(out, name, size - 1);
  out[size - 1] = 0;
  if (wchar_t* dot = wcsrchr(out, L'.')) *dot = 0;
}
}  // namespace

IMPLEMENT_DYNAMIC(CWinThread, CCmdTarget)
IMPLEMENT_DYNAMIC(CWinApp, CWinThread)

BEGIN_MESSAGE_MAP(CWinApp, CWinThread)
  ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
END_MESSAGE_MAP()

int CWinThread::Run() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  m_exitCode = static_cast<int>(msg.wParam);
  return ExitInstance();
}

int CWinThread::ExitInstance() { return m_exitCode; }

CWinApp::CWinApp(LPCWSTR appName) {
  g_app = this;
  if (appName) m_pszAppName = appName;
}

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

int CWinApp::ExitInstance() { return m_exitCode; }

void CWinApp::InitApplication(HINSTANCE instance, int showCommand) {
  m_hInstance = instance;
  m_nCmdShow = showCommand;
  m_lpCmdLine = CommandLineAfterProgram(GetCommandLineW());
  m_hThread = GetCurrentThread();
  m_nThreadID = GetCurrentThreadId();
  if (!m_pszAppName) {
    if (LoadStringW(instance, AFX_IDS_APP_TITLE, nameBuffer_, MAX_PATH) <= 0)
      ModuleBaseName(nameBuffer_, MAX_PATH);
    m_pszAppName = nameBuffer_;
  }
}

CWinApp* AfxGetApp() { return g_app; }

HINSTANCE AfxGetInstanceHandle() {
  return g_app && g_app->m_hInstance ? g_app->m_hInstance : GetModuleHandleW(nullptr);
}

LPCWSTR AfxGetAppName() {
  if (g_app && g_app->m_pszAppName) return g_app->m_pszAppName;
  static wchar_t name[MAX_PATH];
  if (!name[0]) ModuleBaseName(name, MAX_PATH);
  return name;
}

int AfxMessageBox(LPCWSTR text, UINT type) {
  HWND owner = g_app && g_app->m_pMainWnd ? g_app->m_pMainWnd->GetSafeHwnd() : nullptr;
  return ShowPrompt(owner, text, AfxGetAppName(), type);
}

int AfxTakePendingQuitCode(int fallback) {
  MSG msg;
  if (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) return static_cast<int>(msg.wParam);
  return fallback;
}

int AfxWinMain(HINSTANCE instance, int showCommand) {
  CWinApp* app = AfxGetApp();
  if (!app) return -1;
  app->InitApplication(instance, showCommand);
  if (app->InitInstance()) return app->Run();
  // A dialog program ends here; a quit posted while its dialog ran gives the exit code.
  int code = AfxTakePendingQuitCode(app->ExitInstance());
  return code;
}
