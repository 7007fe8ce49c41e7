#include "app/driver_app.h"

#include "app/driver_dlg.h"

BOOL CDriverApp::InitInstance() {
    // Held, never released, until the process ends.
    CreateMutexA(nullptr, TRUE, kSingleInstanceMutex);
    if (GetLastError() == ERROR_ALREADY_EXISTS) return TRUE;

    CDriverDlg dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}
