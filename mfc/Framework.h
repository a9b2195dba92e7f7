// The whole framework in one include.
#pragma once

#include "mfc/CButton.h"
#include "mfc/CDC.h"
#include "mfc/CDialog.h"
#include "mfc/CEdit.h"
#include "mfc/CObject.h"
#include "mfc/CRect.h"
#include "mfc/CStatic.h"
#include "mfc/CWinApp.h"
#include "mfc/CWnd.h"
