#include "app/driver_app.h"

#include "app/driver_dlg.h"

BOOL CDriverApp::InitInstance() {
    // Held, never released, until the process ends.
    // A copy started by another user or with other rights may be refused the mutex it made
    // (access denied): it runs all the same, so that counts as running too.
    HANDLE mutex = CreateMutexA(nullptr, TRUE, kSingleInstanceMutex);
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || (!mutex && error == ERROR_ACCESS_DENIED)) return TRUE;

    CDriverDlg dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}
