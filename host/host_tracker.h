// Finds a running NcStudio among the foreground windows, hooks it, and follows its dialogs.
// Driven by the main dialog's timer with the current foreground window. The tracker is the one
// writer of the host record in the driver state (window, thread, active, version, status line);
// the dialog detection it drives writes the mode byte.
#pragma once

#include <windows.h>

#include <string>

#include "host/host_dialogs.h"

class HostTracker {
public:
    // One timer tick's work for the given foreground window (may be null), while unlocked.
    void Track(HWND foreground);
    // One timer tick while locked: the key map goes off and the host is no longer active, once
    // the host has had the key-up of any key it holds.
    void TrackLocked();

    // Back to the state of a fresh start, the host record included.
    void Reset();

    // The foreground window the candidate examination last looked at (also set when a
    // "NcStudio" dialog is classified).
    HWND lastExamined = nullptr;
    HostDialogs dialogs;
    // A host whose install failed only because the pendant was not connected yet: examined
    // again once it is, since a window that stays in front is otherwise never examined again.
    bool awaitingPendant = false;
    // The last host line logged: a host refused again and again is logged once.
    std::string lastLogged;

private:
    void HostInFront(HWND window);
    // Returns the window under attention: the ancestor the parent climb reached.
    HWND ExamineCandidate(HWND window, DWORD foregroundThread);
    void Install(HWND window, DWORD foregroundThread, const std::string& version);
    void Log(HWND window, const char* outcome, const std::string& version, const std::string& detail);
};

// Takes the version of the host executable on record into the driver state (hostIsV8 and the
// status line); false when it is not a version this driver serves. versionText, when given,
// receives the product version as it reads.
bool RecordHostVersion(std::string* versionText = nullptr);
