#pragma once
// Identifiers of the executable's resources and of the main window's controls. The window
// keeps each control's id as its "controlId" property and its IDC_ name as objectName.

constexpr int IDD_MAIN_DIALOG = 102;          // the main window's template
constexpr int IDP_SOCKETS_INIT_FAILED = 103;  // the only string of our own
constexpr int IDR_MAINFRAME = 128;            // the application icon

constexpr int IDC_STATIC = -1;
constexpr int IDC_DEVICE_LIST = 1000;
constexpr int IDC_UPDATE = 1001;
constexpr int IDC_FIRMWARE_PATH = 1002;
constexpr int IDC_BROWSE = 1004;
constexpr int IDC_SEARCH = 1005;
constexpr int IDC_PROGRESS = 1006;
constexpr int IDC_LOG = 1007;

constexpr int ID_HELP = 57670;  // the standard Help command (F1)

// Private window message that sets the progress bar to its lParam (wParam ignored); any
// sender may use it (see WindowMessageEvent in quorvel_dlg.h).
constexpr unsigned WM_SET_PROGRESS = 0x0D21;

// Edge of the application icon, in pixels.
constexpr int APPLICATION_ICON_SIZE = 47;
