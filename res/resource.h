// Command ids, menu and string ids of the program, in one place. Actions in
// the menus carry their command id as QAction data.
#pragma once

// Menus and icons
constexpr int IDR_TRAYMENU = 103;     // tray menu; also the tray icon's id
constexpr int IDR_MAINMENU = 129;     // menu bar
constexpr int IDR_MAINFRAME = 128;    // application icon

// System menu
constexpr int IDM_ABOUTBOX = 16;

// Commands
constexpr int ID_VCOM_ADD = 32771;
constexpr int ID_VCOM_DELETE = 32772;
constexpr int ID_VCOM_START = 32773;
constexpr int ID_VCOM_STOP = 32774;
constexpr int ID_HELP_ABOUT = 32775;
constexpr int ID_SYSTEM_OPTION = 32776;
constexpr int ID_SYSTEM_EXIT = 32777;
constexpr int ID_VCOM_PROPERTY = 32779;
constexpr int ID_TRAY_UNINSTALL = 32780;
constexpr int ID_TRAY_SHOWWINDOW = 32782;
constexpr int ID_VCOM_APPLY = 32784;
constexpr int ID_SYSTEM_TOOLS = 32785;
constexpr int ID_SYSTEM_IMPORT = 32786;
constexpr int ID_SYSTEM_EXPORT = 32789;
constexpr int ID_TRAY_TOGGLEWINDOW = 32790;  // a single click on the tray icon
constexpr int ID_VCOM_COPYPATH = 32791;      // "Copy device path" of the list's menu

// Controls
constexpr int IDC_PORTLIST = 1000;

// Strings
#define IDS_ABOUTBOX_TEXT "About Velkaro_redi(&A)..."
#define IDS_UNINSTALL_PROMPT "delete all virtual com port, and uninstall related driver"
#define IDS_TRAY_TOOLTIP "Velkaro_redi"
#define IDS_APP_NAME "Velkaro_redi"
