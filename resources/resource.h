#pragma once
// Resource and control identifiers of the updater.
#define IDR_MAINFRAME 5
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_PUSHWELL_DIALOG 102
#define IDM_ABOUTBOX 0x0010
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define IDC_UPDATE_BUTTON 1000
#define IDC_LINK_STATUS 1002
#define IDC_PROGRESS 1003
#define IDC_STEP_TEXT 1004
#define IDC_RESULT_TEXT 1005
#define IDC_WEB_ADDRESS 1006
#define IDC_GROUP_CAPTION 1009
#define IDC_INFO_VERSION 1010
#define IDC_INFO_DATE 1011
#define IDC_INFO_LANGUAGE 1012
