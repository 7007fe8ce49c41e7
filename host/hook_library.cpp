#include "base/module_path.h"
#include "host/hook_library.h"

#include <atomic>
#include <string>

#include "base/event_log.h"
#include "host/library_file.h"

namespace hooklib {

Relaxed<HMODULE> firstModule{nullptr};
Relaxed<HMODULE> secondModule{nullptr};

namespace {

std::atomic<uint32_t> g_callValue{0};
std::atomic<int> g_callsInProgress{0};

HMODULE LoadInto(Relaxed<HMODULE>& slot) {
    HMODULE module = slot;
    if (module) return module;
    module = Load();
    if (!module) return nullptr;
    if (slot.compare_exchange(nullptr, module)) return module;
    FreeLibrary(module);
    return slot;
}


// The LOAD_LIBRARY_SEARCH_* flags need an update on Windows 7; AddDllDirectory comes with it.
bool SearchFlagsSupported() {
    static const bool supported =
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "AddDllDirectory") != nullptr;
    return supported;
}

HMODULE EnsureFirst() { return LoadWrapperModule(); }

// What the first handle's load came to, as last logged: 0 loaded, else the load's error. A failed
// load is retried by every wrapper call; the log says it once, and again when the outcome changes.
constexpr DWORD kNothingLogged = 0xFFFFFFFF;
Relaxed<DWORD> g_loggedLoad{kNothingLogged};

std::string BitsText(int bits) { return bits ? eventlog::Join(bits, "-bit") : "for another machine"; }

// Why no library was loaded, from what lies where Load looked. The key forwarder's own load
// never comes here: a key is never a log line.
void LogLoadFailure(DWORD error) {
    const std::string folders[] = {ExeFolder(), SystemFolder()};
    for (const std::string& folder : folders) {
        std::string path = folder + kFileName;
        if (folder.empty() || GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
        LibraryFile file = ReadLibraryFile(path);
        if (file.unusable)
            eventlog::Write("hook library not loaded: ", path, " is not a library this driver can use (",
                            eventlog::ErrorText(error), ")");
        else if (file.isPe && file.bits != kOwnBits)
            eventlog::Write("hook library not loaded: ", path, " is ", BitsText(file.bits), ", the driver ",
                            kOwnBits, "-bit (", eventlog::ErrorText(error), ")");
        else if (file.found && !file.isPe)
            eventlog::Write("hook library not loaded: ", path, " is not a Windows library (",
                            eventlog::ErrorText(error), ")");
        else
            eventlog::Write("hook library not loaded: ", path, " (", eventlog::ErrorText(error), ")");
        return;
    }
    eventlog::Write("hook library not loaded: no ", kFileName, " beside the driver in ", folders[0],
                    " nor in the system folder ", folders[1], " (", eventlog::ErrorText(error), ")");
}

void LogLoad(HMODULE module, DWORD error) {
    DWORD outcome = module ? 0 : (error != 0 ? error : ERROR_MOD_NOT_FOUND);
    if (g_loggedLoad.exchange(outcome) == outcome) return;
    if (!module) return LogLoadFailure(outcome);
    const std::string path = ModulePath(module);
    std::string missing;
    for (const char* name : kExportNames) {
        if (GetProcAddress(module, name)) continue;
        if (!missing.empty()) missing += ", ";
        missing += name;
    }
    if (missing.empty())
        eventlog::Write("hook library loaded: ", path, ", all nine exports");
    else
        eventlog::Write("hook library loaded: ", path, "; missing exports: ", missing);
}

// Calls a wrapper's export, or returns 0 when it is missing.
template <class Fn, class... Args>
int CallExport(HMODULE module, const char* name, Args... args) {
    auto fn = Find<Fn>(module, name);
    if (!fn) return 0;
    CallGuard inCall;
    return fn(args...);
}

}  // namespace

HMODULE Load() {
    if (SearchFlagsSupported()) {
        HMODULE module = LoadLibraryExA(
            kFileName, nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (module || GetLastError() != ERROR_INVALID_PARAMETER) return module;
    }
    // Without the flags, name the two folders in full.
    std::string folder = ExeFolder();
    if (!folder.empty()) {
        std::string path = folder + kFileName;
        if (HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH))
            return module;
    }
    folder = SystemFolder();
    if (folder.empty()) return nullptr;
    std::string path = folder + kFileName;
    return LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE LoadWrapperModule() {
    if (HMODULE module = firstModule) return module;
    HMODULE module = LoadInto(firstModule);
    LogLoad(module, GetLastError());
    return module;
}
HMODULE LoadForwarderModule() { return LoadInto(secondModule); }

CallGuard::CallGuard() { g_callsInProgress.fetch_add(1); }
CallGuard::~CallGuard() { g_callsInProgress.fetch_sub(1); }
int CallsInProgress() { return g_callsInProgress.load(); }

uint32_t NextCallValue() { return g_callValue.fetch_add(1, std::memory_order_relaxed) + 1; }

// The display knows two marks: "a dialog is open" (0x80), which the reference, jiggle and
// confirmation dialogs share, and "parameters" (0x20), which it does not show (0xC0 keeps 0x80).
uint8_t ModeByteFor(int code) {
    switch (code) {
        case 2:
        case PCS_REFERENCE:
        case PCS_JIGGLE:
        case PCS_OKCANCEL:
            return 0x80;
        default:
            return static_cast<uint8_t>(code & 0xFF);
    }
}

void LoadAtStart() {
    HMODULE module = Load();
    LogLoad(module, GetLastError());
    firstModule = module;
    secondModule = nullptr;
}

void FreeAll() {
    if (CallsInProgress() != 0) return;
    if (HMODULE module = firstModule.exchange(nullptr)) FreeLibrary(module);
    if (HMODULE module = secondModule.exchange(nullptr)) FreeLibrary(module);
}

int InstallHook(HWND window) { return CallExport<InstallHookFn>(EnsureFirst(), "installhook", window); }

bool Exports(const char* exportName) { return Find<FARPROC>(EnsureFirst(), exportName) != nullptr; }

int UnHook() { return CallExport<UnHookFn>(EnsureFirst(), "UnHook"); }

int SetVer(int isV8) { return CallExport<SetVerFn>(EnsureFirst(), "SetVer", isV8); }

int EnableMap(int on) { return CallExport<EnableMapFn>(EnsureFirst(), "EnableMap", on); }

bool SetPcState(HWND window, int code) {
    HMODULE module = EnsureFirst();
    if (!module) return false;
    // A window that no longer exists has no owner; it never counts as the host's.
    DWORD owner = GetWindowThreadProcessId(window, nullptr);
    if (owner == 0 || owner != g_state.hostThreadId) return false;
    CallExport<SetPcStateFn>(module, "SetPcState", window, code);
    return true;
}

std::string WhyReturnedZero(const char* exportName) {
    HMODULE module = firstModule;
    if (!module) return "the hook library is not loaded";
    if (!GetProcAddress(module, exportName)) return std::string("the hook library has no ") + exportName;
    return std::string(exportName) + " returned 0";
}

}  // namespace hooklib
