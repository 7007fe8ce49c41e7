// The virtual seam's count of device handles, published in a small named block of shared memory
// ("veltra-virtual-seam-<pid>") so that a soak in another process can check that every handle the
// driver opened was closed exactly once. Wine reports no process handle count, hence this.
#pragma once

#include <windows.h>

#include <stdio.h>

const LONG kSeamTallyMagic = 0x54534C56;  // "VLST"

struct SeamTally {
    volatile LONG magic;
    volatile LONG opened;        // device handles handed out by a successful open
    volatile LONG closed;        // closes that succeeded
    volatile LONG closeFailed;   // CloseHandle returned FALSE
    volatile LONG closeUnknown;  // a close of a handle the seam did not hold open (a double close)
};

inline void SeamTallyName(DWORD pid, char* out, size_t size) {
    snprintf(out, size, "veltra-virtual-seam-%lu", static_cast<unsigned long>(pid));
}

// Creates (driver side) or opens (reader side) the block; nullptr when it cannot. The mapping
// handle stays open for the life of the process.
inline SeamTally* SeamTallyMap(DWORD pid, bool create) {
    char name[64];
    SeamTallyName(pid, name, sizeof name);
    HANDLE mapping = create ? CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                 sizeof(SeamTally), name)
                            : OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    if (!mapping) return nullptr;
    void* view = MapViewOfFile(mapping, create ? FILE_MAP_ALL_ACCESS : FILE_MAP_READ, 0, 0,
                               sizeof(SeamTally));
    if (!view) {
        CloseHandle(mapping);
        return nullptr;
    }
    SeamTally* tally = static_cast<SeamTally*>(view);
    if (create) tally->magic = kSeamTallyMagic;
    return tally;
}
