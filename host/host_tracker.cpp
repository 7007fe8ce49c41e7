#include "host/host_tracker.h"

// Filled in by the host discovery work; until then a tick finds no host.
void HostTracker::Track(HWND) {}
