#include "support/test_util.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "base/event_log.h"

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (condition()) return true;
        if (GetTickCount() - start >= timeoutMs) return condition();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

void PumpFor(DWORD ms) {
    WaitUntil([] { return false; }, ms);
}

std::string ExeDir() {
    char path[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path);
    return s.substr(0, s.find_last_of("\\/") + 1);
}

namespace {
// The window's text without waiting on its thread for ever: GetWindowText sends WM_GETTEXT to a
// window of another thread of this process, and that thread may be the one joining the closer.
std::string TextOf(HWND hwnd) {
    char text[512] = {0};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text),
                             SMTO_ABORTIFHUNG | SMTO_BLOCK, 200, &copied))
        return std::string();
    return text;
}

struct FindBox {
    DWORD pid;
    const char* caption;
    HWND found;
};

BOOL CALLBACK FindBoxProc(HWND hwnd, LPARAM lParam) {
    auto* find = reinterpret_cast<FindBox*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != find->pid) return TRUE;
    char cls[64] = {0};
    GetClassNameA(hwnd, cls, sizeof(cls));
    if (std::string(cls) != "#32770" || !IsWindowVisible(hwnd)) return TRUE;
    if (TextOf(hwnd) == find->caption) {
        find->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK CollectText(HWND hwnd, LPARAM lParam) {
    char cls[64] = {0};
    GetClassNameA(hwnd, cls, sizeof(cls));
    if (lstrcmpiA(cls, "Static") == 0) {
        std::string text = TextOf(hwnd);
        if (!text.empty()) *reinterpret_cast<std::string*>(lParam) = text;
    }
    return TRUE;
}
}  // namespace

MessageBoxCloser::MessageBoxCloser(const char* caption) : caption_(caption) {
    thread_ = std::thread([this] {
        while (!stop_) {
            FindBox find{GetCurrentProcessId(), caption_.c_str(), nullptr};
            EnumWindows(FindBoxProc, reinterpret_cast<LPARAM>(&find));
            if (find.found) {
                std::string text;
                EnumChildWindows(find.found, CollectText, reinterpret_cast<LPARAM>(&text));
                while (textLock_.exchange(true)) Sleep(0);
                lastText_ = text;
                textLock_ = false;
                PostMessageA(find.found, WM_COMMAND, IDOK, 0);
                ++count_;
                // Wait for it to go before looking again.
                for (int i = 0; i < 200 && IsWindow(find.found); ++i) Sleep(5);
            }
            Sleep(10);
        }
    });
}

MessageBoxCloser::~MessageBoxCloser() {
    stop_ = true;
    thread_.join();
}

std::string MessageBoxCloser::LastText() {
    while (textLock_.exchange(true)) Sleep(0);
    std::string text = lastText_;
    textLock_ = false;
    return text;
}

ChildProcess::~ChildProcess() {
    if (pi_.hProcess) {
        if (Wait(0) == STILL_ACTIVE) Kill();
        CloseHandle(pi_.hProcess);
        CloseHandle(pi_.hThread);
    }
}

bool ChildProcess::Start(const std::string& commandLine, const char* currentDir, const char* outputPath) {
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    HANDLE output = INVALID_HANDLE_VALUE;
    if (outputPath) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        output = CreateFileA(outputPath, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
        if (output == INVALID_HANDLE_VALUE) return false;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = output;
    }
    BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, outputPath != nullptr, 0, nullptr,
                                  currentDir, &si, &pi_);
    if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
    return started != FALSE;
}

DWORD ChildProcess::Wait(DWORD timeoutMs) {
    if (!pi_.hProcess) return 0;
    WaitForSingleObject(pi_.hProcess, timeoutMs);
    DWORD code = 0;
    GetExitCodeProcess(pi_.hProcess, &code);
    return code;
}

void ChildProcess::Kill() {
    if (pi_.hProcess) {
        TerminateProcess(pi_.hProcess, 99);
        WaitForSingleObject(pi_.hProcess, 5000);
    }
}

namespace {
struct FindTitled {
    DWORD pid;
    const char* title;
    HWND found;
};

BOOL CALLBACK FindTitledProc(HWND hwnd, LPARAM lParam) {
    auto* find = reinterpret_cast<FindTitled*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != find->pid) return TRUE;
    char title[256] = {0};
    GetWindowTextA(hwnd, title, sizeof(title));
    if (std::string(title) == find->title) {
        find->found = hwnd;
        return FALSE;
    }
    return TRUE;
}
}  // namespace

HWND FindProcessWindow(DWORD pid, const char* title) {
    FindTitled find{pid, title, nullptr};
    EnumWindows(FindTitledProc, reinterpret_cast<LPARAM>(&find));
    return find.found;
}

namespace {
// Each test process records its hook-library calls in a block of its own, so parallel tests do
// not see each other's calls; a driver started by the test inherits the name.
struct UniqueHookRecord {
    UniqueHookRecord() {
        char name[64];
        wsprintfA(name, "veltra-test-hravik-%lu", GetCurrentProcessId());
        SetEnvironmentVariableA("HRAVIK_SHM", name);
    }
} g_uniqueHookRecord;
}  // namespace

namespace {
struct IsolatedLogFolder {
    IsolatedLogFolder() {
        char temp[MAX_PATH] = {0};
        GetTempPathA(MAX_PATH, temp);
        root = std::string(temp) + "veltra-test-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(root.c_str(), nullptr);
        SetEnvironmentVariableA("LOCALAPPDATA", root.c_str());
    }
    ~IsolatedLogFolder() {
        eventlog::Flush(1000);
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    std::string root;
} g_isolatedLog;
}  // namespace

std::string ReadFileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> LogLines() {
    eventlog::Flush(3000);
    std::vector<std::string> lines;
    std::istringstream text(ReadFileText(eventlog::LogPath()));
    // "2026-12-07 14:03:22.123 " comes first.
    constexpr size_t kStampLength = 24;
    for (std::string line; std::getline(text, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line.size() > kStampLength ? line.substr(kStampLength) : std::string());
    }
    return lines;
}

std::vector<std::string> LinesWith(const std::vector<std::string>& lines, const std::string& text) {
    std::vector<std::string> found;
    for (const std::string& line : lines)
        if (line.find(text) != std::string::npos) found.push_back(line);
    return found;
}

void ClearLog() {
    eventlog::Flush(3000);
    DeleteFileA(eventlog::LogPath().c_str());
    DeleteFileA((eventlog::LogPath() + ".1").c_str());
}
