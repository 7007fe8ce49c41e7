// What bench-floor.exe and veltra-bench share: one named block the benchmark creates and the floor
// program stamps, on the QueryPerformanceCounter clock that every process of the machine shares.
#pragma once

#include <windows.h>

constexpr LONG kFloorStamps = 4096;

struct FloorBlock {
    volatile LONG ready;      // the mode's set-up is done (registered, window up, reader blocked)
    volatile LONG opened;     // the pendant's input interface is open now
    volatile LONG reads;      // reports read so far; report i is stamped in readQpc[i % kFloorStamps]
    volatile LONG stop;       // the benchmark asks the program to end
    LONGLONG initEndQpc;      // "init": the end of its initialisation
    LONGLONG readQpc[kFloorStamps];
};

// The pendant's input interface in a device path, lower case as Windows and Wine spell it.
constexpr wchar_t kFloorPendantInput[] = L"vid_10ce&pid_eb93&mi_01";
