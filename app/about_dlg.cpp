#include "app/about_dlg.h"

#include "app/driver_state.h"
#include "res/resource.h"

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUTBOX) {}

void CAboutDlg::DoDataExchange(CDataExchange* dx) { DDX_Text(dx, IDC_STATUS_TEXT, g_state.statusText); }
