#include "host/host_tracker.h"

#include "app/driver_state.h"
#include "base/event_log.h"
#include "host/hook_library.h"
#include "host/host_process.h"
#include "host/key_forwarder.h"
#include "host/window_text.h"
#include "pendant/pendant_device.h"

namespace {

constexpr int kMaxClimb = 10;

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }


}  // namespace

void HostTracker::Track(HWND foreground) {
    if (!foreground) return;
    if (awaitingPendant && g_pendant.connected) {
        awaitingPendant = false;
        lastExamined = nullptr;
    }
    DWORD thread = GetWindowThreadProcessId(foreground, nullptr);
    HWND attention = foreground;
    // Thread 0 means the window vanished; it must not pass for "nothing hooked yet".
    if (thread != 0 && thread == g_state.hostThreadId) {
        HostInFront(foreground);
    } else if (foreground != lastExamined) {
        attention = ExamineCandidate(foreground, thread);
    }

    HWND host = g_state.hostWindow;
    if (!host) return;
    if (GetWindowThreadProcessId(host, nullptr) == 0) {
        // The host has closed; its hook goes with it. hostActive stays until the driver is locked.
        keyfwd::ReleaseHeldKey();
        hooklib::UnHook();
        g_state.hostWindow = nullptr;
        g_state.hostThreadId = 0;
        eventlog::Write("host gone: its window has closed");
        lastLogged.clear();
        return;
    }
    dialogs.Detect(attention, &lastExamined);
}

void HostTracker::TrackLocked() {
    if (g_state.hostActive == 1) {
        // The key map goes off only once the host has had the key-up of a key it holds.
        if (keyfwd::KeyUpOwed()) return;
        hooklib::EnableMap(0);
    }
    g_state.hostActive = 0;
}

void HostTracker::Reset() {
    lastExamined = nullptr;
    dialogs.Reset();
    awaitingPendant = false;
    lastLogged.clear();
    g_state.hostWindow = nullptr;
    g_state.hostThreadId = 0;
    g_state.hostActive = 0;
    g_state.hostIsV8 = 0;
    g_state.hostExePath.clear();
    g_state.statusText = kStatusDefault;
}

void HostTracker::HostInFront(HWND window) {
    if (g_state.hostActive == 0) {
        g_state.hostActive = 1;
        hooklib::EnableMap(1);
    }
    if (Contains(ReadTitleLower(window), "ncstudio") && window == g_state.hostWindow)
        dialogs.HostInFront(g_state.hostWindow);
}

HWND HostTracker::ExamineCandidate(HWND window, DWORD foregroundThread) {
    lastExamined = window;

    // GetParent yields the owner of a pop-up, so a host dialog leads to the host's main window.
    HWND parent = GetParent(window);
    for (int count = 0; parent && count < kMaxClimb; ++count) {
        window = parent;
        parent = GetParent(window);
    }

    std::string title = ReadTitleLower(window);
    // A backslash means a path, such as an Explorer window showing the NcStudio folder.
    if (!Contains(title, "ncstudio") || Contains(title, "\\") || Contains(ReadClassName(window), "#32770"))
        return window;

    // A window of any other program (a folder, a browser tab) named after NcStudio is no host.
    std::wstring exePath;
    if (!FindHostExecutable(foregroundThread, &exePath)) return window;
    g_state.hostExePath = exePath;
    std::string version;
    if (!RecordHostVersion(&version)) {
        Log(window, "refused", version,
            version.empty() ? "its version cannot be read" : "neither 5.x nor 8.x");
        return window;
    }
    // A key held in the first host must go up there before the hook moves, or that host keeps
    // it down. While another thread is still inside the library with it, the move waits a tick.
    if (keyfwd::KeyUpOwed()) {
        keyfwd::ReleaseHeldKey();
        if (keyfwd::KeyUpOwed()) {
            lastExamined = nullptr;
            return window;
        }
    }
    hooklib::SetVer(g_state.hostIsV8);
    if (!hooklib::UnHook()) {
        Log(window, "refused", version, hooklib::WhyReturnedZero("UnHook"));
        return window;
    }
    Install(window, foregroundThread, version);
    return window;
}

void HostTracker::Install(HWND window, DWORD foregroundThread, const std::string& version) {
    // Without the pendant there is nothing to forward: the install waits for it. A missing
    // library or export refuses it; neither reaches the host's window.
    if (g_pendant.connected == 0 || !hooklib::Exports("installhook")) {
        g_state.hostThreadId = 0;
        if (g_pendant.connected == 0) {
            // A host already in front at start-up is seen before the pendant is connected.
            awaitingPendant = true;
            Log(window, "waiting", version, "hooked once the pendant is connected");
        } else {
            Log(window, "refused", version, hooklib::WhyReturnedZero("installhook"));
        }
        return;
    }
    // Recorded before the call: the key forwarder restores this window while it is made.
    g_state.hostWindow = window;
    if (hooklib::InstallHook(window)) {
        g_state.hostThreadId = foregroundThread;
        dialogs.ReportMode(g_state.hostWindow, hooklib::PCS_NORMAL);
        // Lets the next tick with the same window take the host-in-front step.
        lastExamined = nullptr;
        Log(window, "hooked", version, g_state.hostIsV8 ? "as 8.x" : "as 5.x");
    } else {
        g_state.hostThreadId = 0;
        Log(window, "refused", version, hooklib::WhyReturnedZero("installhook"));
    }
}

void HostTracker::Log(HWND window, const char* outcome, const std::string& version,
                      const std::string& detail) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    std::string line =
        eventlog::Join("host ", outcome, ": pid ", pid, ", ", g_state.hostExePath, ", product version ",
                       version.empty() ? std::string("unreadable") : version, "; ", detail);
    if (line == lastLogged) return;
    lastLogged = line;
    eventlog::WriteLine(line);
}


bool RecordHostVersion(std::string* versionText) {
    if (g_state.hostExePath.empty()) return false;
    HostVersion version = ReadHostVersion(g_state.hostExePath);
    if (versionText) *versionText = version.text;
    switch (version.line) {
        case HostVersion::kV8:
            g_state.hostIsV8 = 1;
            g_state.statusText = kStatusV8;
            return true;
        case HostVersion::kV5:
            g_state.hostIsV8 = 0;
            g_state.statusText = kStatusV5;
            return true;
        case HostVersion::kOther:
            g_state.statusText = kStatusUnknown;
            return false;
        default:
            return false;
    }
}
