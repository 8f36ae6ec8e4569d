// Resource identifiers.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_UPDATE_DIALOG 102
#define IDR_MAINFRAME 128
#define IDM_ABOUTBOX 0x0010
#define IDC_PROGRESS 1000
#define IDC_STATUS 1001
#define IDC_UPDATE 1002
