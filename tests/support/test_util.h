// Small helpers for tests that run real windows, threads and processes under Wine.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/harness.h"

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

using harness::ChildProcess;

// A top-level window of the given process with this exact title, or null.

// The log. Every test process points LOCALAPPDATA at a folder of its own (removed at its end), so
// its own log and that of every driver it starts never mix with a parallel suite's or the
// prefix's real one.
std::string ReadFileText(const std::string& path);
std::string ReadFileText(const std::wstring& path);
// The lines of veltra.log, each without its time stamp, once this process's lines are written.
std::vector<std::string> LogLines();
// Lines that contain the text.
std::vector<std::string> LinesWith(const std::vector<std::string>& lines, const std::string& text);
// Removes veltra.log and veltra.log.1, so that a test reads only its own lines.
void ClearLog();

