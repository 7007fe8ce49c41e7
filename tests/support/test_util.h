// Small helpers for tests that run real windows, threads and processes under Wine.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// Pumps this thread's messages until the condition holds or the time runs out.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);
void PumpFor(DWORD ms);

// The folder of the running test executable, with a trailing backslash.
std::string ExeDir();

// Closes every message box with this caption (of this process) as soon as it shows, and keeps
// the text of the last one.
class MessageBoxCloser {
public:
    explicit MessageBoxCloser(const char* caption);
    ~MessageBoxCloser();
    int Count() const { return count_; }
    std::string LastText();

private:
    std::string caption_;
    std::atomic<bool> stop_{false};
    std::atomic<int> count_{0};
    std::string lastText_;
    std::atomic<bool> textLock_{false};
    std::thread thread_;
};

class ChildProcess {
public:
    ~ChildProcess();
    // outputPath: a file that receives the child's standard output.
    bool Start(const std::string& commandLine, const char* currentDir = nullptr,
               const char* outputPath = nullptr);
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

// The log. Every test process points LOCALAPPDATA at a folder of its own (removed at its end), so
// its own log and that of every driver it starts never mix with a parallel suite's or the
// prefix's real one.
std::string ReadFileText(const std::string& path);
// The lines of veltra.log, each without its time stamp, once this process's lines are written.
std::vector<std::string> LogLines();
// Lines that contain the text.
std::vector<std::string> LinesWith(const std::vector<std::string>& lines, const std::string& text);
// Removes veltra.log and veltra.log.1, so that a test reads only its own lines.
void ClearLog();
