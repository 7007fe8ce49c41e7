// Resource ids shared by the resource script and the driver's C++ code. Plain #defines only, so
// that both the resource compiler's preprocessor and the C++ compiler read this file.
#ifndef VELTRA_RES_RESOURCE_H
#define VELTRA_RES_RESOURCE_H

// Dialogs and the About item's string.
#define IDD_ABOUTBOX            100
#define IDS_ABOUTBOX            101
#define IDD_DRIVER_DIALOG       102

// Icons. 128 has the lowest id of the icons, so the shell shows it as the application icon.
#define IDI_ACTIVE              128
#define IDI_IDLE                136
#define IDI_NO_DEVICE           137
#define IDI_LOCKED_ACTIVE       138

// The tray icon's popup menu.
#define IDR_TRAY_MENU           130

// Controls of the main dialog (no handler reads them) and of the About box.
#define IDC_F3_BUTTON           1000
#define IDC_STATIC_TEXT         1001
#define IDC_ENABLE_MAP          1004
#define IDC_STATUS_TEXT         1005

// Commands of the tray menu.
#define ID_LOCK                 32771
#define ID_EXIT                 32773
#define ID_ABOUT                32774

// The About item appended to the main dialog's system menu; system command ids keep their low
// four bits for the system, so it must be a multiple of 16 below 0xF000.
#define IDM_ABOUTBOX            0x0010

// Controls that no code addresses. MFC's headers define the same value.
#ifndef IDC_STATIC
#define IDC_STATIC              (-1)
#endif

#endif // VELTRA_RES_RESOURCE_H
