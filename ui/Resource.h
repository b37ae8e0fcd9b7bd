#pragma once

// Ids of the dialog and its controls; tests find the controls by them.
inline constexpr int IDD_MAIN_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDC_DOMAINS = 1000;
inline constexpr int IDC_SITEPATH = 1002;
inline constexpr int IDC_START = 1003;
inline constexpr int IDC_PREFIX = 1004;
inline constexpr int IDC_ABOUT = 1005;
inline constexpr int IDC_STATUS = 1006;
inline constexpr int IDC_OUTPUT = 1008;
inline constexpr int IDC_WWW = 1015;
