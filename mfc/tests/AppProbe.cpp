// A framework program: its application object starts a thread while it is constructed and
// stops it when it is destroyed, after WinMain has returned; its dialog posts a quit of -1.
#include <cstdio>

#include "mfc/Framework.h"

namespace {
DWORD WINAPI Worker(LPVOID) {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
  }
  return 0;
}

class CQuitDlg : public CDialog {
 public:
  CQuitDlg() : CDialog(300) {}
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    PostQuitMessage(-1);
    return TRUE;
  }
};

class CProbeApp : public CWinApp {
 public:
  CProbeApp() {
    thread_ = CreateThread(nullptr, 0, &Worker, nullptr, 0, &threadId_);
    while (!PostThreadMessageW(threadId_, WM_USER, 0, 0)) Sleep(10);
  }
  ~CProbeApp() override {
    DWORD code = 0;
    GetExitCodeThread(thread_, &code);
    printf("worker alive at teardown: %s\n", code == STILL_ACTIVE ? "yes" : "no");
    PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    printf("worker joined: %s\n", WaitForSingleObject(thread_, 5000) == WAIT_OBJECT_0 ? "yes" : "no");
    fflush(stdout);
  }
  BOOL InitInstance() override {
    CWinApp::InitInstance();
    printf("name: %ls\n", AfxGetAppName());
    printf("command line: [%ls]\n", m_lpCmdLine);
    CQuitDlg dlg;
    m_pMainWnd = &dlg;
    INT_PTR r = dlg.DoModal();
    printf("dialog result: %d\n", static_cast<int>(r));
    m_pMainWnd = nullptr;
    fflush(stdout);
    return FALSE;
  }

 private:
  HANDLE thread_ = nullptr;
  DWORD threadId_ = 0;
};

CProbeApp theApp;
}  // namespace
