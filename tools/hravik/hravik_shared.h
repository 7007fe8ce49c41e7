// The block of named shared memory through which the stand-in hook library records every call
// it receives and reads the values it must return. The DLL, tests in other processes and the
// benchmark all map the same block; any of them may be first.
//
// Only fixed-size fields, so the layout is the same in 32- and 64-bit processes.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <string.h>

enum HravikExportId : LONG {
    HravikInstallhook = 0,
    HravikUnHook,
    HravikSetVer,
    HravikEnableMap,
    HravikSetPcState,
    HravikGetMaState,
    HravikGetMaStep,
    HravikGetAxisLocation,
    HravikKeyBoardProc,
    HravikExportCount  // 9
};

const LONG kHravikRingSize = 65536;        // records kept; older ones are overwritten
const LONG kHravikAxisBufferSize = 1024;   // size of the caller's GetAxisLocation buffer
const LONG kHravikMagic = 0x4B565248;      // "HRVK"
const char kHravikDefaultName[] = "veltra-hravik-standin";
const char kHravikDefaultAxisText[] = "X0.000 Y0.000 Z0.000";

struct HravikRecord {
    volatile LONG seq;   // index + 1 once the record is complete; 0 while it is being written
    LONG exportId;
    ULONGLONG args[3];   // zero-extended; pointers and window handles as their value
    DWORD threadId;
    LONGLONG qpc;        // QueryPerformanceCounter at entry, before any hang
};

struct HravikShared {
    volatile LONG magic;
    volatile LONG size;       // sizeof(HravikShared), to catch a stale block of another layout
    volatile LONG initState;  // 0 new, 1 being initialised, 2 ready

    // Controls.
    volatile LONG result[HravikExportCount];  // returned by each export; GetMaStep's is the step
    volatile LONG hangMs[HravikExportCount];  // each export sleeps this long before returning
    // Non-zero: the hang applies only to calls whose first argument is this value (a key-down
    // 0x100 that is slow while its key-up is quick, as a host busy moving the axis answers).
    volatile LONG hangArg0[HravikExportCount];
    // The next this many calls of each export fault (an access violation) once recorded.
    volatile LONG faultCalls[HravikExportCount];
    char axisText[kHravikAxisBufferSize];     // copied by GetAxisLocation into the caller's buffer
    volatile LONG axisUnterminated;           // 1: GetAxisLocation fills all 1024 bytes with 'A'

    // Records.
    volatile LONG loadCount;    // DllMain process attach
    volatile LONG unloadCount;  // DllMain process detach
    volatile LONG callCount[HravikExportCount];  // exact per-export totals, beyond the ring's reach
    volatile LONG count;        // total calls recorded; the next record's index
    HravikRecord ring[kHravikRingSize];
};

// A 32-bit and a 64-bit process may share the block: pin the layout.
static_assert(sizeof(HravikRecord) == 48, "HravikRecord layout");
static_assert(offsetof(HravikShared, ring) == 1232, "HravikShared layout");

inline const char* HravikExportName(int id) {
    static const char* const names[HravikExportCount] = {
        "installhook", "UnHook", "SetVer", "EnableMap", "SetPcState",
        "GetMaState", "GetMaStep", "GetAxisLocation", "KeyBoardProc"};
    return id >= 0 && id < HravikExportCount ? names[id] : "?";
}

inline LONG HravikDefaultResult(int id) {
    switch (id) {
        case HravikInstallhook:
        case HravikUnHook:
        case HravikGetAxisLocation:
            return 1;
        default:
            return 0;
    }
}

inline void HravikSetAxisText(HravikShared* sh, const char* text) {
    char buf[kHravikAxisBufferSize] = {};
    if (text) lstrcpynA(buf, text, kHravikAxisBufferSize);
    memcpy(sh->axisText, buf, sizeof buf);
}

// What every export answers, and how fast, back to the defaults; the records stay.
inline void HravikResetControls(HravikShared* sh) {
    for (int id = 0; id < HravikExportCount; ++id) {
        sh->result[id] = HravikDefaultResult(id);
        sh->hangMs[id] = 0;
        sh->hangArg0[id] = 0;
        sh->faultCalls[id] = 0;
    }
    HravikSetAxisText(sh, kHravikDefaultAxisText);
    sh->axisUnterminated = 0;
}

// Clears the records and restores the default controls. Meant for moments when no call is in
// flight: a call recorded during a reset may survive it or be lost.
inline void HravikReset(HravikShared* sh) {
    HravikResetControls(sh);
    for (int id = 0; id < HravikExportCount; ++id) sh->callCount[id] = 0;
    sh->loadCount = 0;
    sh->unloadCount = 0;
    sh->count = 0;
    MemoryBarrier();
    memset(static_cast<void*>(sh->ring), 0, sizeof sh->ring);
    MemoryBarrier();
}

// The mapping's name: the argument, else HRAVIK_SHM, else the default.
inline void HravikBlockName(const char* nameOrNull, char* out, DWORD outSize) {
    if (nameOrNull && *nameOrNull) {
        lstrcpynA(out, nameOrNull, static_cast<int>(outSize));
        return;
    }
    DWORD n = GetEnvironmentVariableA("HRAVIK_SHM", out, outSize);
    if (n == 0 || n >= outSize) lstrcpynA(out, kHravikDefaultName, static_cast<int>(outSize));
}

// Maps the block, creating it if no process holds it yet. The first to arrive sets the defaults;
// a late arrival waits until that is done. With mappingOut the caller owns the mapping handle
// (see HravikDetach); without it the handle stays open for the life of the process, so the block
// outlives the view. Returns nullptr on failure.
inline HravikShared* HravikAttach(const char* nameOrNull = nullptr, HANDLE* mappingOut = nullptr) {
    char name[MAX_PATH];
    HravikBlockName(nameOrNull, name, sizeof name);
    // A fresh page-file mapping is zero-filled, so initState starts at 0.
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        static_cast<DWORD>(sizeof(HravikShared)), name);
    if (!mapping) return nullptr;
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(HravikShared));
    if (!view) {
        CloseHandle(mapping);
        return nullptr;
    }
    HravikShared* sh = static_cast<HravikShared*>(view);
    if (InterlockedCompareExchange(&sh->initState, 1, 0) == 0) {
        sh->magic = kHravikMagic;
        sh->size = static_cast<LONG>(sizeof(HravikShared));
        HravikReset(sh);
        MemoryBarrier();
        sh->initState = 2;
    } else {
        for (int i = 0; sh->initState != 2 && i < 5000; ++i) Sleep(1);
    }
    if (sh->initState != 2 || sh->magic != kHravikMagic ||
        sh->size != static_cast<LONG>(sizeof(HravikShared))) {
        UnmapViewOfFile(view);
        CloseHandle(mapping);
        return nullptr;
    }
    if (mappingOut) *mappingOut = mapping;
    return sh;
}

// Unmaps a view from HravikAttach and closes the mapping handle if the caller owned it. The block
// itself ends when the last process lets go of it.
inline void HravikDetach(HravikShared* sh, HANDLE mapping = nullptr) {
    if (sh) UnmapViewOfFile(sh);
    if (mapping) CloseHandle(mapping);
}

// Appends one record without a lock. The seq is cleared first and written last, so that a
// reader that sees seq == index + 1 before and after copying holds a complete record.
inline LONG HravikAppend(HravikShared* sh, LONG exportId, ULONGLONG a0, ULONGLONG a1,
                         ULONGLONG a2) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    if (exportId >= 0 && exportId < HravikExportCount)
        InterlockedIncrement(&sh->callCount[exportId]);
    LONG index = InterlockedIncrement(&sh->count) - 1;
    HravikRecord& r = sh->ring[static_cast<ULONG>(index) % kHravikRingSize];
    r.seq = 0;
    MemoryBarrier();
    r.exportId = exportId;
    r.args[0] = a0;
    r.args[1] = a1;
    r.args[2] = a2;
    r.threadId = GetCurrentThreadId();
    r.qpc = now.QuadPart;
    MemoryBarrier();
    r.seq = index + 1;
    return index;
}

// Copies the complete record with this index; false if it is not written yet, still being
// written, or already overwritten by a newer one.
inline bool HravikReadRecord(const HravikShared* sh, LONG index, HravikRecord* out) {
    if (index < 0) return false;
    const HravikRecord& r = sh->ring[static_cast<ULONG>(index) % kHravikRingSize];
    if (r.seq != index + 1) return false;
    MemoryBarrier();
    out->exportId = r.exportId;
    out->args[0] = r.args[0];
    out->args[1] = r.args[1];
    out->args[2] = r.args[2];
    out->threadId = r.threadId;
    out->qpc = r.qpc;
    MemoryBarrier();
    out->seq = r.seq;
    return out->seq == index + 1;
}

// The oldest index still held by the ring.
inline LONG HravikOldestIndex(const HravikShared* sh) {
    LONG count = sh->count;
    return count > kHravikRingSize ? count - kHravikRingSize : 0;
}

// Copies up to maxOut complete records with index >= since, in order, stopping at the first
// that is still being written. Records lost to the ring are skipped. Returns the number copied;
// *nextSince (optional) receives the index to pass next time.
inline LONG HravikReadSince(const HravikShared* sh, LONG since, HravikRecord* out, LONG maxOut,
                            LONG* nextSince = nullptr) {
    LONG count = sh->count;
    LONG index = since > HravikOldestIndex(sh) ? since : HravikOldestIndex(sh);
    LONG n = 0;
    for (; index < count && n < maxOut; ++index) {
        if (!HravikReadRecord(sh, index, &out[n])) break;
        ++n;
    }
    if (nextSince) *nextSince = index;
    return n;
}

// The latest complete call of one export with index >= since; false if there is none.
inline bool HravikFindLast(const HravikShared* sh, int exportId, HravikRecord* out,
                           LONG since = 0) {
    LONG oldest = since > HravikOldestIndex(sh) ? since : HravikOldestIndex(sh);
    for (LONG index = sh->count - 1; index >= oldest; --index)
        if (HravikReadRecord(sh, index, out) && out->exportId == exportId) return true;
    return false;
}

// Polls until callCount[exportId] reaches atLeast or timeoutMs passes; for tests in another
// process that wait on the driver.
inline bool HravikWaitForCalls(const HravikShared* sh, int exportId, LONG atLeast,
                               DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (sh->callCount[exportId] < atLeast) {
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(1);
    }
    return true;
}
