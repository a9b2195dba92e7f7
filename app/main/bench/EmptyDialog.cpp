// The reference of the start-up benchmark: a program that shows one empty dialog of the main
// window's size through the same framework, and ends on Escape.
#include "mfc/CDialog.h"
#include "mfc/CWinApp.h"

namespace {

class CEmptyApp : public CWinApp {
 public:
  BOOL InitInstance() override {
    CDialog dialog(102);
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
  }
};

CEmptyApp theApp;

}  // namespace
