#include "base/module_path.h"
#include "app/diagnosis.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "app/autostart.h"
#include "app/crash_handler.h"
#include "app/driver_app.h"
#include "app/driver_dlg.h"
#include "app/folder_rights.h"
#include "base/event_log.h"
#include "host/hook_library.h"
#include "host/host_process.h"
#include "host/library_file.h"
#include "pendant/feature_report.h"
#include "pendant/hid_api.h"
#include "pendant/hid_discovery.h"
#include "pendant/key_report.h"
#include "pendant/pendant_ids.h"

namespace diag {

namespace {

using eventlog::Join;

constexpr char kSwitch[] = "/diagnose";
constexpr wchar_t kReportName[] = L"veltra-diagnose.txt";

std::string Now() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", unsigned(now.wYear),
                  unsigned(now.wMonth), unsigned(now.wDay), unsigned(now.wHour), unsigned(now.wMinute),
                  unsigned(now.wSecond));
    return text;
}

std::string ExportsText(const LibraryFile& file) {
    std::string missing;
    for (const char* name : hooklib::kExportNames) {
        bool has = false;
        for (const std::string& exported : file.exports) has = has || exported == name;
        if (has) continue;
        if (!missing.empty()) missing += ", ";
        missing += name;
    }
    return missing.empty() ? "all nine exports" : Join("missing exports: ", missing);
}

// Where the driver looks for the hook library, in its order, and what lies there.
void ReportHookLibrary(std::string& out) {
    out += Join("Hook library ", hooklib::kFileName,
                " (looked for beside the driver, then in the system folder):\r\n");
    for (const std::string& folder : {ExeFolder(), SystemFolder()}) {
        std::string path = Join(folder, hooklib::kFileName);
        if (folder.empty() || GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            out += Join("  ", path, ": not there\r\n");
            continue;
        }
        LibraryFile file = ReadLibraryFile(path);
        if (!file.found)
            out += Join("  ", path, ": cannot be read\r\n");
        else if (file.unusable)
            out += Join("  ", path, ": not a library this driver can use\r\n");
        else if (!file.isPe)
            out += Join("  ", path, ": not a Windows library\r\n");
        else if (file.bits != kOwnBits)
            out += Join("  ", path, ": ", file.bits ? Join(file.bits, "-bit") : "for another machine",
                        ", cannot be loaded by this ", kOwnBits, "-bit driver; ", ExportsText(file), "\r\n");
        else
            out += Join("  ", path, ": ", file.bits, "-bit, ", ExportsText(file), "\r\n");
    }
}

// Every HID interface, through the pendant link's own seam. Discovery's rules mark the pendant.
void ReportHid(std::string& out) {
    const std::string pendant = Join("Pendant (vendor ", eventlog::Hex4(kPendantVendorId), " product ",
                                     eventlog::Hex4(kPendantProductId), "): ");
    std::string lines;
    int count = 0;
    bool feature = false;
    bool input = false;
    DWORD listError = 0;
    // No access asked: attributes and capabilities come even from a keyboard the system holds.
    bool listed = WalkHidInterfaces(
        0,
        [&](HidInterface& found) {
            ++count;
            if (found.path.empty()) {
                lines += "  (no device path)\r\n";
            } else if (!found.opened) {
                lines += Join("  cannot be opened (", eventlog::ErrorText(found.openError), "): ", found.path, "\r\n");
            } else if (!found.named) {
                lines += Join("  ids cannot be read: ", found.path, "\r\n");
            } else {
                std::string line = Join("  vendor ", eventlog::Hex4(found.vendorId), " product ",
                                        eventlog::Hex4(found.productId));
                line += found.sized ? Join(", input ", found.inputLength, ", feature ", found.featureLength)
                                    : std::string(", report sizes cannot be read");
                line += Join(": ", found.path);
                if (found.role == PendantRole::kFeature) {
                    line += "  <- the pendant's feature interface";
                    feature = true;
                } else if (found.role == PendantRole::kInput) {
                    line += "  <- the pendant's input interface";
                    input = true;
                } else if (found.vendorId == kPendantVendorId && found.productId == kPendantProductId) {
                    line += "  <- the pendant's ids, but not its report sizes";
                }
                lines += Join(line, "\r\n");
            }
            return Keep::kClose;
        },
        &listError);
    if (!listed) {
        out += Join("HID interfaces: the list cannot be had (", eventlog::ErrorText(listError), ")\r\n");
        out += Join(pendant, "not found\r\n");
        return;
    }
    out += Join("HID interfaces: ", count, "\r\n", lines, pendant);
    if (feature && input)
        out += "found\r\n";
    else if (feature)
        out += "only its feature interface found, not its input interface\r\n";
    else if (input)
        out += "only its input interface found, not its feature interface\r\n";
    else
        out += "not found\r\n";
}

// The last part of the log, where the running driver's start is.
std::string ReadLogTail() {
    constexpr LONG kTailBytes = 256 * 1024;
    HANDLE file = CreateFileW(eventlog::LogPathW().c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    LARGE_INTEGER size{};
    GetFileSizeEx(file, &size);
    LARGE_INTEGER from{};
    from.QuadPart = size.QuadPart > kTailBytes ? size.QuadPart - kTailBytes : 0;
    SetFilePointerEx(file, from, nullptr, FILE_BEGIN);
    std::string text(static_cast<size_t>(size.QuadPart - from.QuadPart), '\0');
    DWORD read = 0;
    if (!text.empty()) ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &read, nullptr);
    CloseHandle(file);
    text.resize(read);
    return text;
}

bool DriverRuns() {
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, kSingleInstanceMutex);
    // A driver started with other rights may refuse us its mutex: it runs all the same.
    bool running = mutex != nullptr || GetLastError() == ERROR_ACCESS_DENIED;
    if (mutex) CloseHandle(mutex);
    return running;
}

void ReportInstance(std::string& out) {
    out += Join("Driver instance: ", DriverRuns() ? "running" : "not running", "\r\n");
}

// Whether the running driver's log says, since its start, that the hot key was taken.
bool LogSaysHotKeyTaken() {
    std::string log = ReadLogTail();
    size_t start = log.rfind("start: veltra");
    return start != std::string::npos && log.find("Ctrl+F11 is taken", start) != std::string::npos;
}

void ReportHotKey(std::string& out) {
    out += "Ctrl+F11: ";
    if (DriverRuns()) {
        out += LogSaysHotKeyTaken() ? "taken by another program: the driver locks only from its tray icon's menu\r\n"
                                    : "held by the running driver\r\n";
        return;
    }
    // Taken for a moment and given back: no driver runs to want it.
    if (RegisterHotKey(nullptr, 0x7FFF, MOD_CONTROL, VK_F11)) {
        UnregisterHotKey(nullptr, 0x7FFF);
        out += "free\r\n";
    } else {
        out += "taken by another program: a driver started now could lock only from its tray icon's menu\r\n";
    }
}

void ReportCrashDumps(std::string& out) {
    std::vector<std::string> dumps = crash::Dumps();
    out += Join("Crash dumps: ", dumps.empty() ? std::string("none") : Join(dumps.size()), "\r\n");
    for (const std::string& dump : dumps) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        unsigned long long size = 0;
        if (GetFileAttributesExA(dump.c_str(), GetFileExInfoStandard, &data))
            size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        out += Join("  ", dump, ", ", size, " bytes\r\n");
    }
}

std::string HostVerdict(const HostVersion& version) {
    switch (version.line) {
        case HostVersion::kV8:
            return "would be hooked as 8.x";
        case HostVersion::kV5:
            return "would be hooked as 5.x";
        case HostVersion::kOther:
            return "would not be hooked: neither 5.x nor 8.x";
        default:
            return "would not be hooked: its version cannot be read";
    }
}

void ReportHosts(std::string& out) {
    std::string lines;
    int count = 0;
    ForEachNcStudioProcess([&](DWORD processId, const std::wstring& exeName) {
        ++count;
        std::string line = Join("  pid ", processId, ", ");
        // The image's full path, which a module walk of a process of the other bitness does not give.
        wchar_t path[MAX_PATH + 1] = {0};
        DWORD length = MAX_PATH;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
        bool located = process && QueryFullProcessImageNameW(process, 0, path, &length);
        DWORD error = located ? 0 : GetLastError();
        if (process) CloseHandle(process);
        if (!located) {
            line += Join(exeName, ": its file cannot be found (", eventlog::ErrorText(error), ")");
        } else {
            HostVersion version = ReadHostVersion(path);
            line += Join(std::wstring(path), ", product version ",
                         version.text.empty() ? std::string("unreadable") : version.text, ": ",
                         HostVerdict(version));
        }
        lines += Join(line, "\r\n");
    });
    out += Join("NcStudio processes: ", count ? Join(count) : std::string("none"), "\r\n", lines);
}

// The file a Run value starts, quoted or not, in its full and long form.
std::string StartedFile(const std::string& value) {
    std::string path = value;
    if (!path.empty() && path[0] == '"') {
        size_t end = path.find('"', 1);
        path = path.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    }
    char full[MAX_PATH + 1] = {0};
    DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) return path;
    char longer[MAX_PATH + 1] = {0};
    length = GetLongPathNameA(full, longer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(longer) : std::string(full);
}

void ReportAutostart(std::string& out) {
    std::string value;
    out += "Autostart value \"dunmoral\": ";
    if (!autostart::ReadValue(&value)) {
        out += "not set\r\n";
    } else {
        // The package quotes every path, the driver only one with a blank: the files count, not the texts.
        bool ours = lstrcmpiA(StartedFile(value).c_str(), StartedFile(DriverExePath()).c_str()) == 0;
        out += Join(value, ours ? ", points at this executable" : ", points at another file", "\r\n");
    }
    // Why a start as administrator would not write it.
    std::string why = WhyOthersCanChangeThisDriver();
    if (!why.empty()) out += Join("  ", kChangeableFolder, " (", why, ")\r\n");
}


bool WriteReport(const std::wstring& path, const std::string& report) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD done = 0;
    bool ok = WriteFile(file, report.data(), static_cast<DWORD>(report.size()), &done, nullptr) &&
              done == report.size();
    CloseHandle(file);
    return ok;
}

// Started with its output redirected, or from a console: the report goes there.
bool Print(const std::string& report) {
    const DWORD size = static_cast<DWORD>(report.size());
    DWORD done = 0;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out && out != INVALID_HANDLE_VALUE && WriteFile(out, report.data(), size, &done, nullptr)) return true;
    // A windowed program has no console of its own, even when a console started it: join that one.
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return false;
    HANDLE console = CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) return false;
    bool written = WriteFile(console, report.data(), size, &done, nullptr) != FALSE;
    CloseHandle(console);
    return written;
}

void OpenInNotepad(const std::wstring& path) {
    // By its full path: a notepad.exe beside the driver or in the current folder is not Windows'.
    wchar_t system[MAX_PATH + 1] = {0};
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    std::wstring line = std::wstring(L"\"") + system + L"\\notepad.exe\" \"" + path + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
}

}  // namespace

bool Requested(const char* commandLine) {
    const char* p = commandLine ? commandLine : "";
    // The program's own path comes first, quoted when it holds a blank.
    if (*p == '"') {
        ++p;
        while (*p && *p != '"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != ' ' && *p != '\t') ++p;
    }
    for (;;) {
        while (*p == ' ' || *p == '\t') ++p;
        if (!*p) return false;
        const char* start = p;
        while (*p && *p != ' ' && *p != '\t') ++p;
        std::string argument(start, p);
        if (lstrcmpiA(argument.c_str(), kSwitch) == 0) return true;
    }
}

std::string BuildReport() {
    std::string out = Join("veltra diagnosis, ", Now(), "\r\n\r\n", "Driver: veltra ", DriverVersion(), ", ",
                           kOwnBits, "-bit\r\n", "Runs from: ", FolderOf(DriverExePath()), "\r\n",
                           "Log: ", eventlog::LogPathW(), "\r\n\r\n");
    ReportHookLibrary(out);
    out += "\r\n";
    ReportHid(out);
    out += "\r\n";
    ReportInstance(out);
    ReportHotKey(out);
    out += "\r\n";
    ReportHosts(out);
    out += "\r\n";
    ReportAutostart(out);
    out += "\r\n";
    ReportCrashDumps(out);
    return out;
}

void Run() {
    std::string report = BuildReport();
    std::wstring folder = eventlog::FolderW();
    std::wstring path = folder + kReportName;
    bool written = false;
    if (!folder.empty()) {
        CreateDirectoryW(folder.c_str(), nullptr);
        written = WriteReport(path, report);
    }
    if (Print(report)) return;
    // Where the log's folder cannot be written, the temporary folder still can be shown.
    if (!written) {
        wchar_t temp[MAX_PATH + 1] = {0};
        DWORD length = GetTempPathW(MAX_PATH, temp);
        if (length == 0 || length >= MAX_PATH) return;
        path = std::wstring(temp) + kReportName;
        if (!WriteReport(path, report)) return;
    }
    OpenInNotepad(path);
}

}  // namespace diag
