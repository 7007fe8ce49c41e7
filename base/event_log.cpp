#include "base/event_log.h"

#include <shlobj.h>

#include <atomic>
#include <cstdio>

#include "base/thread_role.h"

namespace eventlog {

namespace {

// How long a writer waits for the queue's lock before it drops its line.
constexpr DWORD kQueueLockMs = 50;
// Lines waiting for a writer thread that cannot keep up (a stalled disk) are bounded.
constexpr size_t kMaxPendingBytes = 64 * 1024;

class Log {
public:
    Log()
        : lock_(CreateMutexA(nullptr, FALSE, nullptr)), wake_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

    void Queue(const std::string& line) {
        // A kernel mutex, so that a thread ended forcibly while it held the lock does not stop
        // every later line; and a bounded wait, so that no caller is held up for long.
        DWORD got = lock_ ? WaitForSingleObject(lock_, kQueueLockMs) : WAIT_FAILED;
        if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) return;
        if (!thread_ && wake_) thread_ = CreateThread(nullptr, 0, WriterProc, this, 0, nullptr);
        if (thread_ && pending_.size() + line.size() <= kMaxPendingBytes) {
            pending_ += line;
            queued_.fetch_add(1);
        }
        ReleaseMutex(lock_);
        if (wake_) SetEvent(wake_);
    }

    bool Flush(DWORD timeoutMs) {
        uint64_t target = queued_.load();
        if (written_.load() >= target) return true;
        if (wake_) SetEvent(wake_);
        DWORD start = GetTickCount();
        while (written_.load() < target) {
            if (GetTickCount() - start >= timeoutMs) return false;
            Sleep(2);
        }
        return true;
    }

private:
    static DWORD WINAPI WriterProc(LPVOID self) {
        SetThreadRole("log");
        static_cast<Log*>(self)->Run();
        return 0;
    }

    void Run() {
        for (;;) {
            WaitForSingleObject(wake_, INFINITE);
            std::string batch;
            uint64_t upTo = 0;
            DWORD got = WaitForSingleObject(lock_, INFINITE);
            if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) continue;
            batch.swap(pending_);
            upTo = queued_.load();
            ReleaseMutex(lock_);
            if (!batch.empty()) WriteBatch(batch);
            written_.store(upTo);
        }
    }

public:
    // Opened for each batch, so that the file can be read, moved or deleted between lines.
    static void WriteBatch(const std::string& batch) {
        std::wstring folder = FolderW();
        if (folder.empty()) return;
        CreateDirectoryW(folder.c_str(), nullptr);
        const std::wstring path = folder + L"veltra.log";
        HANDLE file = Open(path, OPEN_ALWAYS);
        if (file == INVALID_HANDLE_VALUE) return;
        std::string text = batch;
        LARGE_INTEGER size{};
        if (GetFileSizeEx(file, &size) && size.QuadPart > 0 &&
            static_cast<uint64_t>(size.QuadPart) + batch.size() > kMaxLogBytes) {
            CloseHandle(file);
            if (MoveFileExW(path.c_str(), (path + L".1").c_str(), MOVEFILE_REPLACE_EXISTING)) {
                file = Open(path, OPEN_ALWAYS);
            } else {
                // The older log is held open (a viewer that does not share deletion): this one begins
                // afresh rather than grow without bound, and says what was lost.
                text = Join(Stamp(), "log: veltra.log.1 cannot be replaced (", ErrorText(GetLastError()),
                            "); the lines before this one are gone\r\n", batch);
                file = Open(path, CREATE_ALWAYS);
            }
            if (file == INVALID_HANDLE_VALUE) return;
        }
        DWORD done = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
        CloseHandle(file);
    }

private:
    // Appends; CREATE_ALWAYS empties the file first.
    static HANDLE Open(const std::wstring& path, DWORD disposition) {
        return CreateFileW(path.c_str(), disposition == CREATE_ALWAYS ? GENERIC_WRITE : FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    HANDLE lock_;
    HANDLE wake_;
    HANDLE thread_ = nullptr;
    std::string pending_;
    std::atomic<uint64_t> queued_{0};
    std::atomic<uint64_t> written_{0};
};

// Never destroyed: the writer thread may still run while the process's static objects go.
Log& TheLog() {
    static Log* log = new Log;
    return *log;
}

}  // namespace

std::wstring FolderW() {
    // Wide: a user's folder may hold letters that the ANSI code page lacks.
    wchar_t base[MAX_PATH + 1] = {0};
    DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", base, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        base[0] = L'\0';
        if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base)))
            return std::wstring();
    }
    std::wstring folder = base;
    if (folder.empty()) return folder;
    if (folder.back() != L'\\') folder += L'\\';
    return folder + L"veltra\\";
}

std::wstring LogPathW() { return FolderW() + L"veltra.log"; }

namespace {
std::string Ansi(const std::wstring& path) {
    if (path.empty()) return std::string();
    BOOL lossy = FALSE;
    int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.c_str(), -1, nullptr, 0, nullptr, &lossy);
    if (size <= 1 || lossy) return std::string();
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.c_str(), -1, &narrow[0], size, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(size - 1));
    return narrow;
}
}  // namespace

std::string Folder() { return Ansi(FolderW()); }
std::string LogPath() { return Ansi(LogPathW()); }

void Append(std::string& line, const char* text) { line += text ? text : ""; }
void Append(std::string& line, const std::string& text) { line += text; }
void AppendSigned(std::string& line, long long number) { line += std::to_string(number); }
void AppendUnsigned(std::string& line, unsigned long long number) { line += std::to_string(number); }

void Append(std::string& line, const std::wstring& text) {
    if (text.empty()) return;
    int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    if (size <= 0) return;
    std::string converted(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &converted[0], size, nullptr,
                        nullptr);
    line += converted;
}

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFFu);
    return text;
}

std::string ErrorText(DWORD error) {
    std::string text = Join("error ", error);
    char* message = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<char*>(&message), 0, nullptr);
    if (length > 0 && message) {
        std::string said(message, length);
        while (!said.empty() && (said.back() == '\r' || said.back() == '\n' || said.back() == ' '))
            said.pop_back();
        if (!said.empty()) text += ": " + said;
    }
    if (message) LocalFree(message);
    return text;
}

std::string Stamp() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", unsigned(now.wYear),
                  unsigned(now.wMonth), unsigned(now.wDay), unsigned(now.wHour), unsigned(now.wMinute),
                  unsigned(now.wSecond), unsigned(now.wMilliseconds));
    return stamp;
}

// Windows line ends: operators read it in Notepad.
static std::string Stamped(const std::string& text) { return Join(Stamp(), text, "\r\n"); }

void WriteLine(const std::string& text) { TheLog().Queue(Stamped(text)); }

void WriteNow(const std::string& text, DWORD flushMs) {
    Flush(flushMs);
    Log::WriteBatch(Stamped(text));
}

bool Flush(DWORD timeoutMs) { return TheLog().Flush(timeoutMs); }

}  // namespace eventlog
