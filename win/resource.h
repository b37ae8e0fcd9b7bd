#pragma once

// Shared by the resource script and the code.
#define IDR_MAINFRAME 128
#define IDD_MAIN_DIALOG 102

#define IDC_DOMAINS 1000
#define IDC_SITEPATH 1002
#define IDC_START 1003
#define IDC_PREFIX 1004
#define IDC_ABOUT 1005
#define IDC_STATUS 1006
#define IDC_OUTPUT 1008
#define IDC_WWW 1015
