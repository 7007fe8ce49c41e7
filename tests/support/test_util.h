// Small helpers for tests that run real windows, threads and processes under Wine.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

// Pumps this thread's messages until the condition holds or the time runs out.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);
void PumpFor(DWORD ms);

// The folder of the running test executable, with a trailing backslash.
std::string ExeDir();

// Closes every message box with this caption (any caption when null) of this process, or of the
// process pid, as soon as it shows, and keeps the text of the last one.
class MessageBoxCloser {
public:
    explicit MessageBoxCloser(const char* caption, DWORD pid = GetCurrentProcessId());
    ~MessageBoxCloser();
    int Count() const { return count_; }
    std::string LastText();

private:
    std::string caption_;
    bool anyCaption_;
    DWORD pid_;
    std::atomic<bool> stop_{false};
    std::atomic<int> count_{0};
    std::string lastText_;
    std::atomic<bool> textLock_{false};
    std::thread thread_;
};

class ChildProcess {
public:
    ~ChildProcess();
    // With a token, the process runs as that token says (CreateProcessAsUser); with a desktop
    // ("station\\desktop"), on that desktop.
    bool Start(const std::string& commandLine, const char* currentDir = nullptr, HANDLE token = nullptr,
               const char* desktop = nullptr);
    // Exit code, or STILL_ACTIVE when it has not ended within the time.
    DWORD Wait(DWORD timeoutMs);
    void Kill();
    DWORD Pid() const { return pi_.dwProcessId; }
    HANDLE Handle() const { return pi_.hProcess; }

private:
    PROCESS_INFORMATION pi_{};
};

// A top-level window of the given process with this exact title, or null.
HWND FindProcessWindow(DWORD pid, const char* title);
