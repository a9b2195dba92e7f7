// Resource ids of the launcher.
#pragma once

#define IDD_LAUNCHER 132

#define IDC_PATH_OPEN 1000
#define IDC_PATH_SAVE 1001
#define IDC_SELECT_OPEN 1002
#define IDC_SELECT_SAVE 1003
