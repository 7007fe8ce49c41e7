// The process-wide record that the UI, reader and poller threads share. Scalars are atomics with
// relaxed ordering: each access is one whole value and no logic relies on two fields together.
// Strings stay on their one thread (statusText and hostExePath: UI; axisText: poller).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/relaxed.h"

struct DriverState {
    // 1: unlocked, pendant keys go to the host; 0: locked.
    Relaxed<int> enabled{0};
    // 1 while the operator's own lock (menu or hot key) holds: a reconnection then leaves the
    // driver locked. A driver disabled only for want of a pendant has 0 here.
    Relaxed<int> operatorLocked{0};
    // 1 once the hooked host's own thread has had the foreground (the poller polls only then);
    // cleared only by a lock, so it outlives the host.
    Relaxed<int> hostActive{0};
    // The status refresh's belief that its connection is good; 0 makes the next refresh close and
    // reopen. Not the same as the link being open: that is CPendantDevice::connected.
    Relaxed<int> pendantReady{0};
    // The host's top-level window given to installhook, hooked or refused.
    Relaxed<HWND> hostWindow{nullptr};
    // The thread the host was hooked for; 0 while nothing is hooked (also when hostWindow was
    // refused).
    Relaxed<DWORD> hostThreadId{0};
    // 1: the host is NcStudio 8.x, 0: 5.x; what SetVer is told.
    Relaxed<int> hostIsV8{0};
    // The host's executable, for its version. Wide: a host installed under a folder name outside
    // the ANSI code page must still be found. UI thread only.
    std::wstring hostExePath;
    // The About box's line (one of the kStatus texts below). UI thread only.
    std::string statusText;
    // The host dialog's mode as last told to the hook library: 0x00, 0x20 or 0x80.
    Relaxed<uint8_t> modeByte{0};
    // GetMaStep's last result, with the mode bits the display shows merged in.
    Relaxed<uint32_t> stepValue{0};
    // GetAxisLocation's last text. Poller thread only.
    std::string axisText;
    // 1: send the next display frame even if it has not changed (after a key or a reconnection).
    Relaxed<int> forceFrame{0};
    // The four bytes of the frame last handed to the pendant, byte 0 in the low eight bits.
    Relaxed<uint32_t> lastFrame{0};
};

extern DriverState g_state;

// statusText values.
constexpr const char kStatusDefault[] = "Qorin PX40 English Driver-v2.2";
constexpr const char kStatusV5[] = "Trace ncstudio 5.x";
constexpr const char kStatusV8[] = "Trace ncstudio 8.x";
constexpr const char kStatusUnknown[] = "Trace Unkown ncstudio!";
