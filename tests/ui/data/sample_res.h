// Identifiers of the window-system tests' resource script. The spacing and
// the continued line are input for the resource parser: keep them.
// clang-format off
#ifndef SAMPLE_RES_H
#define SAMPLE_RES_H

#define IDD_MAIN 102
#define IDD_ABOUT 100
#define IDD_PLAIN 103   /* no system menu */

#define IDI_MAIN 128
#define IDB_PIC 129

#define IDC_BASE 1000
#define IDC_DETECT (IDC_BASE + 6)
#define IDC_LIST 1003
#define IDC_LOG 1002
#define IDC_HIDDEN (IDC_BASE + \
                    7)
#define IDC_VERSION 1005

#define IDS_HELLO 101
#define IDS_QUOTE 102
#define IDS_EMPTY 103
#define IDS_DIGITS 104

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#ifdef APSTUDIO_INVOKED
#define _APS_NEXT_RESOURCE_VALUE 130
#endif

#endif
