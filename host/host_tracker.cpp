#include "host/host_tracker.h"

#include <tlhelp32.h>

#include <cctype>
#include <vector>

#include "app/driver_state.h"
#include "base/event_log.h"
#include "base/file_version.h"
#include "host/hook_library.h"
#include "host/key_forwarder.h"
#include "pendant/pendant_device.h"

namespace {

constexpr int kMaxClimb = 10;

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Closes a toolhelp snapshot on every way out of a walk.
class Snapshot {
public:
    Snapshot(DWORD flags, DWORD processId) : handle_(CreateToolhelp32Snapshot(flags, processId)) {}
    ~Snapshot() {
        if (valid()) CloseHandle(handle_);
    }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

}  // namespace

std::string ReadTitleLower(HWND window) {
    char title[kTitleLimit] = {0};
    GetWindowTextA(window, title, kTitleLimit);
    // A window may change its text while we read it; never trust the terminator to be there.
    title[kTitleLimit - 1] = '\0';
    return Lower(title);
}

std::string ReadClassName(HWND window) {
    char name[kClassLimit] = {0};
    GetClassNameA(window, name, kClassLimit);
    name[kClassLimit - 1] = '\0';
    return name;
}

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
    DetectDialogs(attention);
}

void HostTracker::HostInFront(HWND window) {
    if (g_state.hostActive == 0) {
        g_state.hostActive = 1;
        hooklib::EnableMap(1);
    }
    if (Contains(ReadTitleLower(window), "ncstudio") && window == g_state.hostWindow) {
        // A dialog seen on the last tick keeps the normal mode back for a while.
        if (dialogHold != 0)
            --dialogHold;
        else
            hooklib::SetPcState(g_state.hostWindow, hooklib::PCS_NORMAL);
    }
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
    if (!FindHostProcess(foregroundThread)) return window;
    std::string version;
    if (!CheckHostVersion(&version)) {
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
        Log(window, "refused", version, hooklib::WhyZero("UnHook"));
        return window;
    }
    if (hooklib::InstallHook(window)) {
        g_state.hostThreadId = foregroundThread;
        hooklib::SetPcState(g_state.hostWindow, hooklib::PCS_NORMAL);
        // Lets the next tick with the same window take the host-in-front step.
        lastExamined = nullptr;
        Log(window, "hooked", version, g_state.hostIsV8 ? "as 8.x" : "as 5.x");
    } else {
        g_state.hostThreadId = 0;
        // A host already in front at start-up is seen before the pendant is connected.
        if (g_pendant.connected == 0) awaitingPendant = true;
        if (g_pendant.connected == 0)
            Log(window, "waiting", version, "hooked once the pendant is connected");
        else
            Log(window, "refused", version, hooklib::WhyZero("installhook"));
    }
    return window;
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

bool FindHostProcess(DWORD threadId) {
    Snapshot processes(TH32CS_SNAPPROCESS, 0);
    if (!processes.valid()) return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(processes.get(), &entry); more;
         more = Process32NextW(processes.get(), &entry)) {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        std::wstring name = entry.szExeFile;
        CharLowerBuffW(&name[0], static_cast<DWORD>(name.size()));
        if (name.find(L"ncstudio") != std::wstring::npos && OwnsThread(entry.th32ProcessID, threadId))
            return FindHostModule(entry.th32ProcessID, entry.szExeFile);
    }
    return false;
}

bool OwnsThread(DWORD processId, DWORD threadId) {
    Snapshot threads(TH32CS_SNAPTHREAD, 0);
    if (!threads.valid()) return false;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(threads.get(), &entry); more; more = Thread32Next(threads.get(), &entry)) {
        if (entry.th32OwnerProcessID == processId && entry.th32ThreadID == threadId) return true;
    }
    return false;
}

bool FindHostModule(DWORD processId, const wchar_t* exeName) {
    Snapshot modules(TH32CS_SNAPMODULE, processId);
    if (!modules.valid()) return false;
    MODULEENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32FirstW(modules.get(), &entry); more; more = Module32NextW(modules.get(), &entry)) {
        entry.szExePath[MAX_PATH - 1] = L'\0';
        if (std::wstring(entry.szExePath).find(exeName) != std::wstring::npos) {
            g_state.hostExePath = entry.szExePath;
            return true;
        }
    }
    return false;
}

HostVersion ReadHostVersion(const std::wstring& path) {
    HostVersion version;
    VS_FIXEDFILEINFO fixed;
    DWORD error = 0;
    if (!ReadFixedFileVersion(path.c_str(), &fixed, &error)) {
        // Builds without a version resource are the newer 8.x line. Any other failure (a file
        // that moved, a path we cannot read) tells nothing about the version.
        if (error != ERROR_RESOURCE_DATA_NOT_FOUND && error != ERROR_RESOURCE_TYPE_NOT_FOUND &&
            error != ERROR_RESOURCE_NAME_NOT_FOUND && error != ERROR_RESOURCE_LANG_NOT_FOUND)
            return version;
        version.line = HostVersion::kV8;
        version.text = "none";
        return version;
    }
    version.text =
        eventlog::Join(HIWORD(fixed.dwProductVersionMS), ".", LOWORD(fixed.dwProductVersionMS), ".",
                       HIWORD(fixed.dwProductVersionLS), ".", LOWORD(fixed.dwProductVersionLS));
    // The product version names the NcStudio line; the file version is per build.
    switch (HIWORD(fixed.dwProductVersionMS)) {
        case 8:
            version.line = HostVersion::kV8;
            break;
        case 5:
            version.line = HostVersion::kV5;
            break;
        default:
            version.line = HostVersion::kOther;
    }
    return version;
}

bool CheckHostVersion(std::string* versionText) {
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
