// Small helpers for tests that run real windows, threads and processes under Wine.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

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
inline HWND FindProcessWindow(DWORD pid, const char* title) { return harness::FindWindowOf(pid, title); }
