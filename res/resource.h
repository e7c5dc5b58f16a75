// Resource ids of the program: dialogs, controls, system-menu commands, strings, icons.
// Read by the resource compiler as well as by the C++ compiler.
#pragma once

// Dialog templates
#define IDD_ABOUTBOX            100
#define IDD_MAIN                102

// Start-up messages (string table)
#define IDS_REG_OPEN_FAILED     102
#define IDS_NO_MAIL_SETUP       103

// Icons
#define IDR_MAINFRAME           128
#define IDI_SMALL               129

// Controls of IDD_MAIN
#define IDC_CONVERT             1000
#define IDC_EXIT                1001
#define IDC_STATUS              1002
#define IDC_ABOUT               1003
// Hidden statics that carry each language's texts for the code
#define IDC_TEXT_CONVERTING     1004
#define IDC_TEXT_FAILED         1005
#define IDC_TEXT_MENU_ABOUT     1006
#define IDC_TEXT_MENU_CONVERT   1007

// Items the main window adds to its system menu; system commands keep the low four bits
// clear, and these stay below the system's own (0xF000 and up).
#define IDM_CONVERT             0x0010
#define IDM_ABOUTBOX            0x0030

// Controls that code never addresses
#ifndef IDC_STATIC
#define IDC_STATIC              (-1)
#endif
