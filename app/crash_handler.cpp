#include "base/module_path.h"
#include "app/crash_handler.h"

#include <windows.h>
#include <dbghelp.h>

#include <algorithm>
#include <atomic>
#include <exception>

#include "base/event_log.h"
#include "base/system_library.h"
#include "base/thread_role.h"
#include "host/key_forwarder.h"

namespace crash {

namespace {

// The key-up call gets this long before the report goes on without it.
constexpr DWORD kReleaseBoundMs = 1000;
// The lines queued before the crash get this long to reach the file.
constexpr DWORD kLogFlushMs = 300;
constexpr UINT kCrashExitCode = 3;
constexpr DWORD kTerminateCode = 0xE0000001;  // ours: no exception record, std::terminate
constexpr char kDumpPrefix[] = "veltra-crash-";

std::atomic<DWORD> g_handlingThread{0};

const char* ExceptionName(DWORD code) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION: return "access violation";
        case EXCEPTION_STACK_OVERFLOW: return "stack overflow";
        case EXCEPTION_ILLEGAL_INSTRUCTION: return "illegal instruction";
        case EXCEPTION_INT_DIVIDE_BY_ZERO: return "division by zero";
        case EXCEPTION_IN_PAGE_ERROR: return "page error";
        case EXCEPTION_PRIV_INSTRUCTION: return "privileged instruction";
        case kTerminateCode: return "std::terminate";
        default: return "exception";
    }
}

std::string Hex(unsigned long long value) {
    char text[24];
    wsprintfA(text, "%08lX", static_cast<unsigned long>(value));
    if (value >> 32) wsprintfA(text, "%08lX%08lX", static_cast<unsigned long>(value >> 32),
                               static_cast<unsigned long>(value & 0xFFFFFFFFu));
    return text;
}

// "hravik.dll+0x1A2B", or "no module" for an address outside every image.
std::string ModuleOf(const void* address) {
    HMODULE module = nullptr;
    if (!address || !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                            GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                        static_cast<const char*>(address), &module))
        return "no module";
    const std::string path = ModulePath(module);
    const char* name = path.c_str() + FolderOf(path).size();
    unsigned long long offset = reinterpret_cast<UINT_PTR>(address) - reinterpret_cast<UINT_PTR>(module);
    return eventlog::Join(name, "+0x", Hex(offset));
}

std::vector<std::string> DumpsIn(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + kDumpPrefix + "*.dmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        names.push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    // The names carry the time, so their order is the dumps' order.
    std::sort(names.begin(), names.end());
    for (std::string& name : names) name = folder + name;
    return names;
}

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                          PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION,
                                          PMINIDUMP_CALLBACK_INFORMATION);

// Last, because it is slow (seconds under Wine): the key-up and the log line are out by then.
std::string WriteDump(EXCEPTION_POINTERS* pointers) {
    std::string folder = eventlog::Folder();
    if (folder.empty()) return "no dump: the log's folder is unknown";
    CreateDirectoryA(folder.c_str(), nullptr);
    std::vector<std::string> old = DumpsIn(folder);
    for (size_t i = 0; i + (kDumpsKept - 1) < old.size(); ++i) DeleteFileA(old[i].c_str());
    HMODULE dbghelp = LoadSystemLibrary(L"dbghelp.dll");
    auto write = dbghelp ? reinterpret_cast<MiniDumpWriteDumpFn>(
                               reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")))
                         : nullptr;
    if (!write) return "no dump: dbghelp.dll cannot be loaded";
    SYSTEMTIME now;
    GetLocalTime(&now);
    char name[64];
    wsprintfA(name, "%s%04u%02u%02u-%02u%02u%02u-%lu.dmp", kDumpPrefix, now.wYear, now.wMonth, now.wDay,
              now.wHour, now.wMinute, now.wSecond, GetCurrentProcessId());
    std::string path = folder + name;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return eventlog::Join("no dump: ", path, " cannot be made");
    MINIDUMP_EXCEPTION_INFORMATION info{GetCurrentThreadId(), pointers, FALSE};
    BOOL ok = write(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                    pointers ? &info : nullptr, nullptr, nullptr);
    CloseHandle(file);
    if (!ok) {
        DeleteFileA(path.c_str());
        return "no dump: MiniDumpWriteDump failed";
    }
    return path;
}

[[noreturn]] void Handle(EXCEPTION_POINTERS* pointers, const std::string& what) {
    DWORD self = GetCurrentThreadId();
    DWORD first = 0;
    if (!g_handlingThread.compare_exchange_strong(first, self)) {
        // A fault inside the handler ends the process at once; another thread that faults
        // meanwhile waits for the handler to end the process.
        if (first == self) TerminateProcess(GetCurrentProcess(), kCrashExitCode);
        for (;;) Sleep(INFINITE);
    }
    keyfwd::CrashRelease released = keyfwd::ReleaseForCrash(kReleaseBoundMs);
    DWORD code = pointers ? pointers->ExceptionRecord->ExceptionCode : kTerminateCode;
    const void* address = pointers ? pointers->ExceptionRecord->ExceptionAddress : nullptr;
    std::string line = eventlog::Join("crash: ", ExceptionName(code), " (", Hex(code), ")", what, " on the ",
                                      ThreadRole(), " thread");
    if (address) line += eventlog::Join(" at 0x", Hex(reinterpret_cast<UINT_PTR>(address)), " in ", ModuleOf(address));
    switch (released) {
        case keyfwd::CrashRelease::kNothingHeld: line += "; no key was held"; break;
        case keyfwd::CrashRelease::kReleased: line += "; the held key was released first"; break;
        case keyfwd::CrashRelease::kCallHung:
            line += eventlog::Join("; the key-up call did not return within ", kReleaseBoundMs, " ms");
            break;
    }
    eventlog::WriteNow(line, kLogFlushMs);
    std::string dump = WriteDump(pointers);
    eventlog::WriteNow(eventlog::Join("crash: ", dump), 0);
    TerminateProcess(GetCurrentProcess(), kCrashExitCode);
    for (;;) Sleep(INFINITE);
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) { Handle(pointers, ""); }

void OnTerminate() {
    std::string what = ", no exception";
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            what = eventlog::Join(", an uncaught C++ exception: ", e.what());
        } catch (...) {
            what = ", an uncaught C++ exception";
        }
    }
    Handle(nullptr, what);
}

}  // namespace

void Install() {
    SetUnhandledExceptionFilter(OnUnhandledException);
    std::set_terminate(OnTerminate);
}

std::vector<std::string> Dumps() {
    std::string folder = eventlog::Folder();
    return folder.empty() ? std::vector<std::string>() : DumpsIn(folder);
}

}  // namespace crash
