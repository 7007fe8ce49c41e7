// The poller thread: while the pendant is connected, the driver unlocked and the host active, it
// reads the machine state from the hook library and keeps the pendant's display in step.
#pragma once

#include <windows.h>

namespace poller {

constexpr const char kStopEventName[] = "zomfa";

// Creates the stop event and starts the thread; false (after telling the user) when the event
// cannot be created.
bool Start();
// Ends the thread: by flag and event, else forcibly after about 2 s unless it is inside a call
// that no stop reaches (the hook library, a stuck feature report), which it leaves behind.
void Stop();
// Closes the stop event, so the second stop at the window's destruction signals nothing.
void ExitCleanup();


}  // namespace poller
