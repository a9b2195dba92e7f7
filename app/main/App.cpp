#include "app/main/App.h"

#include <commctrl.h>
#include <objbase.h>

#include "app/main/FileAssociations.h"
#include "app/main/MainDlg.h"
#include "appdata/AppData.h"
#include "common/LogManager.h"

BEGIN_MESSAGE_MAP(CQuillmeridianApp, CWinApp)
  ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
END_MESSAGE_MAP()

CQuillmeridianApp::CQuillmeridianApp() : CWinApp(nullptr) {
  CoInitialize(nullptr);
  // The log writer comes first: the application data object logs from its first moment.
  InitLogChannels();
  g_pAppData = new CAppData();
}

CQuillmeridianApp::~CQuillmeridianApp() {
  // The log writer still runs here, so the teardown's own lines reach the files.
  if (g_pAppData) {
    delete g_pAppData;
    g_pAppData = nullptr;
  }
  if (g_pLogManager) ShutdownLogChannels();
  CoUninitialize();
}

BOOL CQuillmeridianApp::InitInstance() {
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);
  CWinApp::InitInstance();
  AfxEnableControlContainer();

  auto* dialog = new CMainDlg(nullptr);
  m_pMainWnd = dialog;
  // Registered while the dialog builds its window; it waits for them before it shows itself.
  BeginFileAssociations();
  dialog->DoModal();
  FinishFileAssociations();
  delete dialog;
  // Boxes shown later (during static teardown) must not take the deleted dialog as owner.
  m_pMainWnd = nullptr;
  return FALSE;
}

// The one application object.
CQuillmeridianApp theApp;
