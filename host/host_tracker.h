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
        awaitingPendant = false;
        lastLogged.clear();
    }

    // The foreground window the candidate examination last looked at (also set when a
    // "NcStudio" dialog is classified).
    HWND lastExamined = nullptr;
    // Holds off the normal mode for a few ticks after a host dialog was seen.
    int dialogHold = 0;
    // A host whose install failed only because the pendant was not connected yet: examined
    // again once it is.
    bool awaitingPendant = false;
    // The last host line logged: a host refused again and again is logged once.
    std::string lastLogged;

private:
    // The steps of a tick. The dialog detection (DetectDialogs, ClassifyDialog, ClassifyIfNew)
    // lives in host_dialogs.cpp.
    void HostInFront(HWND window);
    // Returns the window under attention: the ancestor the parent climb reached.
    HWND ExamineCandidate(HWND window, DWORD foregroundThread);
    // Reports the mode of the host dialog that is open, or the normal mode.
    void DetectDialogs(HWND attention);
    // Reports a mode by the dialog's buttons; false when it has none of them.
    bool ClassifyDialog(HWND dialog);
    // ClassifyDialog for a dialog other than the last examined window, which it then becomes.
    bool ClassifyIfNew(HWND dialog);
    void Log(HWND window, const char* outcome, const std::string& version, const std::string& detail);
};

// Process and version identification of a candidate host. FindHostProcess is true, with
// hostExePath set, only when the thread belongs to an NcStudio process whose executable it found.
bool FindHostProcess(DWORD threadId);
bool OwnsThread(DWORD processId, DWORD threadId);
bool FindHostModule(DWORD processId, const wchar_t* exeName);
// versionText, when given, receives the product version as ReadHostVersion writes it.
bool CheckHostVersion(std::string* versionText = nullptr);

// What a host executable's version resource says: the NcStudio line the driver takes it for, and
// the product version as text ("8.5.12.0", "none" without a version resource).
struct HostVersion {
    enum Line { kUnreadable, kV5, kV8, kOther };
    Line line = kUnreadable;
    std::string text;
};
HostVersion ReadHostVersion(const std::wstring& path);

// Window texts, read with their bound and always terminated.
constexpr int kTitleLimit = 100;
constexpr int kClassLimit = 55;
std::string ReadTitleLower(HWND window);
std::string ReadClassName(HWND window);
