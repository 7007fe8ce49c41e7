// Finds a running NcStudio among the foreground windows, hooks it, and follows its dialogs.
// Driven by the main dialog's timer with the current foreground window.
#pragma once

#include <windows.h>

#include <string>

class HostTracker {
public:
    // One timer tick's work for the given foreground window (may be null).
    void Track(HWND foreground);

    // Back to the state of a fresh start.
    void Reset() {
        lastExamined = nullptr;
        dialogHold = 0;
    }

    // The foreground window the candidate examination last looked at (also set when a
    // "NcStudio" dialog is classified).
    HWND lastExamined = nullptr;
    // Holds off the normal mode for a few ticks after a host dialog was seen.
    int dialogHold = 0;

    // Parts of the tick, public for tests.
    void HostInFront(HWND window);
    HWND ExamineCandidate(HWND window, DWORD foregroundThread);
    void DetectDialogs(HWND attention);
    bool ClassifyDialog(HWND dialog);
    bool ClassifyIfNew(HWND dialog);
};

// Process and version identification of a candidate host.
void FindHostProcess(DWORD threadId);
bool OwnsThread(DWORD processId, DWORD threadId);
void FindHostModule(DWORD processId, const char* exeName);
bool CheckHostVersion();

// Window texts, read with their bound and always terminated.
constexpr int kTitleLimit = 100;
constexpr int kClassLimit = 55;
std::string ReadTitleLower(HWND window);
std::string ReadClassName(HWND window);
