// Which NcStudio dialog is open, told to the hook library as a mode code, and the mode byte the
// pendant's display shows for it. The host tracker drives it once per tick.
#pragma once

#include <windows.h>

class HostDialogs {
public:
    // Reports the mode of the host dialog that is open, or the normal mode. A "NcStudio" box it
    // classifies becomes the tracker's last examined window.
    void Detect(HWND attention, HWND* lastExamined);
    // The host's main window is in front: the normal mode, unless a dialog seen lately still
    // holds it back for a few ticks (its buttons may be gone a moment before the box is).
    void HostInFront(HWND hostWindow);
    // Tells the hook library the mode for a window of the host's thread, and keeps the byte the
    // display shows for it; nothing for a window of another thread.
    void ReportMode(HWND window, int code);
    // A fresh start: no dialog seen, the normal mode shown.
    void Reset();

    // Ticks left before the normal mode may be reported again.
    int hold = 0;

private:
    // Reports a mode by the dialog's buttons; false when it has none of them.
    bool Classify(HWND dialog);
};
