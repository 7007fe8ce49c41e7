#include "host/hook_library.h"

#include <atomic>
#include <string>

#include "pendant/pendant_device.h"

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

std::string FolderOf(const char* path) {
    std::string s(path);
    size_t slash = s.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : s.substr(0, slash + 1);
}

// The LOAD_LIBRARY_SEARCH_* flags need an update on Windows 7; AddDllDirectory comes with it.
bool SearchFlagsSupported() {
    static const bool supported =
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "AddDllDirectory") != nullptr;
    return supported;
}

HMODULE EnsureFirst() { return LoadFirst(); }

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
    char exe[MAX_PATH + 1] = {0};
    DWORD length = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        std::string path = FolderOf(exe) + kFileName;
        if (HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH))
            return module;
    }
    char system[MAX_PATH + 1] = {0};
    UINT systemLength = GetSystemDirectoryA(system, MAX_PATH);
    if (systemLength == 0 || systemLength >= MAX_PATH) return nullptr;
    std::string path = std::string(system) + "\\" + kFileName;
    return LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE LoadFirst() { return LoadInto(firstModule); }
HMODULE LoadSecond() { return LoadInto(secondModule); }

CallGuard::CallGuard() { g_callsInProgress.fetch_add(1); }
CallGuard::~CallGuard() { g_callsInProgress.fetch_sub(1); }
int CallsInProgress() { return g_callsInProgress.load(); }

uint32_t NextCallValue() { return g_callValue.fetch_add(1, std::memory_order_relaxed) + 1; }

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
    firstModule = Load();
    secondModule = nullptr;
}

void FreeAll() {
    if (CallsInProgress() != 0) return;
    if (HMODULE module = firstModule.exchange(nullptr)) FreeLibrary(module);
    if (HMODULE module = secondModule.exchange(nullptr)) FreeLibrary(module);
}

int InstallHook(HWND window) {
    HMODULE module = EnsureFirst();
    if (!module) return 0;
    if (g_pendant.connected == 0) return 0;
    auto fn = Find<InstallHookFn>(module, "installhook");
    if (!fn) return 0;
    g_state.hostWindow = window;
    CallGuard inCall;
    return fn(window);
}

int UnHook() { return CallExport<UnHookFn>(EnsureFirst(), "UnHook"); }

int SetVer(int isV8) { return CallExport<SetVerFn>(EnsureFirst(), "SetVer", isV8); }

int EnableMap(int on) { return CallExport<EnableMapFn>(EnsureFirst(), "EnableMap", on); }

int SetPcState(HWND window, int code) {
    HMODULE module = EnsureFirst();
    if (!module) return 0;
    // A window that no longer exists has no owner; it never counts as the host's.
    DWORD owner = GetWindowThreadProcessId(window, nullptr);
    if (owner == 0 || owner != g_state.hostThreadId) return 0;
    int result = CallExport<SetPcStateFn>(module, "SetPcState", window, code);
    g_state.modeByte = ModeByteFor(code);
    return result;
}

}  // namespace hooklib
