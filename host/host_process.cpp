#include "host/host_process.h"

#include <tlhelp32.h>

#include "base/event_log.h"
#include "base/file_version.h"

namespace {

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

bool IsNcStudioName(const wchar_t* exeName) {
    std::wstring name = exeName;
    CharLowerBuffW(&name[0], static_cast<DWORD>(name.size()));
    return name.find(L"ncstudio") != std::wstring::npos;
}

}  // namespace

void ForEachNcStudioProcess(const std::function<void(DWORD, const std::wstring&)>& visit) {
    Snapshot processes(TH32CS_SNAPPROCESS, 0);
    if (!processes.valid()) return;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(processes.get(), &entry); more;
         more = Process32NextW(processes.get(), &entry)) {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        if (IsNcStudioName(entry.szExeFile)) visit(entry.th32ProcessID, entry.szExeFile);
    }
}

bool FindHostExecutable(DWORD threadId, std::wstring* exePath) {
    Snapshot processes(TH32CS_SNAPPROCESS, 0);
    if (!processes.valid()) return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(processes.get(), &entry); more;
         more = Process32NextW(processes.get(), &entry)) {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        if (IsNcStudioName(entry.szExeFile) && OwnsThread(entry.th32ProcessID, threadId))
            return FindHostModule(entry.th32ProcessID, entry.szExeFile, exePath);
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

bool FindHostModule(DWORD processId, const wchar_t* exeName, std::wstring* modulePath) {
    Snapshot modules(TH32CS_SNAPMODULE, processId);
    if (!modules.valid()) return false;
    MODULEENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32FirstW(modules.get(), &entry); more; more = Module32NextW(modules.get(), &entry)) {
        entry.szExePath[MAX_PATH - 1] = L'\0';
        if (std::wstring(entry.szExePath).find(exeName) != std::wstring::npos) {
            *modulePath = entry.szExePath;
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
