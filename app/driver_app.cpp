#include "base/module_path.h"
#include "app/driver_app.h"

#include "app/diagnosis.h"
#include "app/driver_dlg.h"
#include "base/event_log.h"
#include "base/file_version.h"
#include "host/hook_library.h"
#include "host/key_forwarder.h"
#include "host/library_file.h"
#include "pendant/pendant_device.h"

namespace {
// How long the end of the process waits for the log's last lines.
constexpr DWORD kLogFlushMs = 500;
// And for the link thread to let go of the pendant, which the process's end would do anyway.
constexpr DWORD kLinkCloseWaitMs = 30;
}  // namespace

void EndDriverProcess(UINT exitCode) {
    if (!keyfwd::SettleBeforeExit())
        eventlog::Write("exit: a key-up could not be delivered: the hook library did not come back within ",
                        keyfwd::kExitReleaseBoundMs / 1000, " s; NcStudio may still see a pendant key down");
    hooklib::FreeAll();
    g_pendant.WaitIdle(kLinkCloseWaitMs);
    eventlog::Flush(kLogFlushMs);
    // ExitProcess ends every other thread first: a reader or poller left inside a hung hook
    // library call then never runs on into objects that the static destructors have torn down.
    ExitProcess(exitCode);
}

BOOL CDriverApp::InitInstance() {
    // The diagnosis runs beside a driver that may be running: it takes none of the driver's names.
    if (diag::Requested(GetCommandLineA())) {
        diag::Run();
        return TRUE;
    }

    // Held, never released, until the process ends.
    // A copy started by another user or with other rights may be refused the mutex it made
    // (access denied): it runs all the same, so that counts as running too.
    HANDLE mutex = CreateMutexA(nullptr, TRUE, kSingleInstanceMutex);
    DWORD error = GetLastError();
    bool running = error == ERROR_ALREADY_EXISTS || (!mutex && error == ERROR_ACCESS_DENIED);
    eventlog::Write("start: veltra ", DriverVersion(), ", ", kOwnBits, "-bit, ", DriverExePath(),
                    running ? "; another copy runs already, this one ends" : "");
    if (running) return TRUE;

    CDriverDlg dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}

std::string DriverExePath() { return ModulePath(); }

std::string DriverVersion() {
    const std::wstring path = ModulePathW();
    VS_FIXEDFILEINFO info;
    DWORD error = 0;
    if (path.empty() || !ReadFixedFileVersion(path.c_str(), &info, &error)) return "(no version)";
    return eventlog::Join(HIWORD(info.dwFileVersionMS), ".", LOWORD(info.dwFileVersionMS), ".",
                          HIWORD(info.dwFileVersionLS), ".", LOWORD(info.dwFileVersionLS));
}
