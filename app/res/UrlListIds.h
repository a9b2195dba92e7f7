// Resource ids of the URL-list dialog; its control ids are its own and may repeat the main dialog's.
#pragma once

#define IDD_URL_LIST 209

#define IDC_URL_NAME 1031
#define IDC_URL_ADDRESS 1032
#define IDC_URL_LIST 1033
#define IDC_URL_ADD 1034
#define IDC_URL_UPDATE 1035
#define IDC_URL_REMOVE 1036
#define IDC_URL_CLEAR 1037
#define IDC_URL_UP 1038
#define IDC_URL_DOWN 1039
