// The application object: building it (during static construction) brings up COM, the log
// writer and the application data object; InitInstance registers the file associations and runs
// the main dialog; its destruction at process exit tears the same down in reverse order.
#pragma once

#include "mfc/CWinApp.h"

class CQuillmeridianApp : public CWinApp {
 public:
  CQuillmeridianApp();
  ~CQuillmeridianApp() override;
  BOOL InitInstance() override;

 protected:
  DECLARE_MESSAGE_MAP()
};
