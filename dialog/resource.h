// Resource identifiers shared by resources.rc and the dialog code.
#ifndef QU_DIALOG_RESOURCE_H
#define QU_DIALOG_RESOURCE_H

// Dialog templates.
#define IDD_ABOUTBOX 100
#define IDD_UNINSTALL_DIALOG 102

// Message catalogue (string table). 114 is not used.
#define IDS_ABOUT_MENU_TEXT 101
#define IDS_NT_FAMILY_DETECTED 102
#define IDS_INSTALLED_ONCE 103
#define IDS_NO_DEVICE_NT 104
#define IDS_INSTALLATION_NOT_FOUND 105
#define IDS_WINDOWS_DIR_MISSING 106
#define IDS_UNINSTALLING 107
#define IDS_UNINSTALLED_ONE 108
#define IDS_NOT_PLUGGED_IN 109
#define IDS_CANNOT_UNINSTALL 110
#define IDS_WIN9X_FAMILY_DETECTED 111
#define IDS_NO_DEVICE_9X 112
#define IDS_RESTART_REQUIRED 113
#define IDS_SELECT_DEVICE 115
#define IDS_CLICK_UNINSTALL 116
#define IDS_INSTALLED_TIMES 117
#define IDS_VERSION_FORMAT 118
#define IDS_VERSION_UNKNOWN 119
#define IDS_UNINSTALLED_ALL 120
// The switches of an unattended run, shown in a message box.
#define IDS_SWITCHES 121
#define IDS_SWITCHES_CAPTION 122
#define IDS_UNKNOWN_SWITCH 123
#define IDS_LOG_NEEDS_FILE 124

// Icon and bitmaps.
#define IDR_MAINFRAME 128
#define IDB_PICTURE 129
#define IDB_LOGO 131

// Controls.
#define IDC_RESTART 1000
#define IDC_STATUS 1002
#define IDC_DEVICE_LIST 1003
#define IDC_VERSION 1005
#define IDC_DETECT 1006
#define IDC_DUMMY 1007

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// System-menu command of the about entry (low four bits clear, below 0xF000).
#define IDM_ABOUTBOX 0x0010

#endif
