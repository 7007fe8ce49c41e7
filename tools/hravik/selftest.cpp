// Self-check of the stand-in hook library: loads the DLL named by argv[1] and checks, through
// the shared block, what each export records and returns.
//   hravik-selftest DLL                          full check of a DLL with all nine exports
//   hravik-selftest DLL --exports-only [OMIT...] the DLL loads and lacks exactly the OMIT exports
#include "hravik_shared.h"

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

int g_passed = 0, g_failed = 0;

void Check(bool ok, const char* what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        std::printf("FAILED: %s\n", what);
    }
}

typedef int(WINAPI* Fn0)(void);
typedef int(WINAPI* FnHwnd)(HWND);
typedef int(WINAPI* FnInt)(int);
typedef int(WINAPI* FnHwndInt)(HWND, int);
typedef int(WINAPI* FnAxis)(char*, unsigned int);
typedef int(WINAPI* FnKey)(unsigned int, unsigned int, unsigned int);

struct Exports {
    FnHwnd installhook;
    Fn0 UnHook;
    FnInt SetVer;
    FnInt EnableMap;
    FnHwndInt SetPcState;
    Fn0 GetMaState;
    Fn0 GetMaStep;
    FnAxis GetAxisLocation;
    FnKey KeyBoardProc;
};

template <typename F>
F Lookup(HMODULE dll, int id) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, HravikExportName(id))));
}

Exports LookupAll(HMODULE dll) {
    return Exports{Lookup<FnHwnd>(dll, HravikInstallhook), Lookup<Fn0>(dll, HravikUnHook),
                   Lookup<FnInt>(dll, HravikSetVer),       Lookup<FnInt>(dll, HravikEnableMap),
                   Lookup<FnHwndInt>(dll, HravikSetPcState), Lookup<Fn0>(dll, HravikGetMaState),
                   Lookup<Fn0>(dll, HravikGetMaStep),     Lookup<FnAxis>(dll, HravikGetAxisLocation),
                   Lookup<FnKey>(dll, HravikKeyBoardProc)};
}

bool LastIs(const HravikShared* sh, int id, ULONGLONG a0, ULONGLONG a1 = 0, ULONGLONG a2 = 0) {
    HravikRecord r;
    return HravikReadRecord(sh, sh->count - 1, &r) && r.exportId == id && r.args[0] == a0 &&
           r.args[1] == a1 && r.args[2] == a2 && r.threadId == GetCurrentThreadId();
}

void DefaultsAndRecords(HravikShared* sh, const Exports& x) {
    HravikReset(sh);
    // A pointer-sized value above 4 GiB on 64-bit shows that handles are not truncated.
    HWND window = reinterpret_cast<HWND>(static_cast<UINT_PTR>(sizeof(void*) == 8 ? 0x123456789AULL
                                                                                 : 0x12345678ULL));
    Check(x.installhook(window) == 1, "installhook returns 1 by default");
    Check(LastIs(sh, HravikInstallhook, reinterpret_cast<UINT_PTR>(window)), "installhook record");
    Check(x.UnHook() == 1, "UnHook returns 1 by default");
    Check(LastIs(sh, HravikUnHook, 0), "UnHook record");
    Check(x.SetVer(-1) == 0, "SetVer returns 0 by default");
    Check(LastIs(sh, HravikSetVer, 0xFFFFFFFFULL), "SetVer arg zero-extended");
    Check(x.EnableMap(1) == 0 && LastIs(sh, HravikEnableMap, 1), "EnableMap");
    Check(x.SetPcState(window, 3) == 0 &&
              LastIs(sh, HravikSetPcState, reinterpret_cast<UINT_PTR>(window), 3),
          "SetPcState");
    Check(x.GetMaState() == 0 && LastIs(sh, HravikGetMaState, 0), "GetMaState");
    Check(x.GetMaStep() == 0 && LastIs(sh, HravikGetMaStep, 0), "GetMaStep returns 0 by default");
    char buf[kHravikAxisBufferSize];
    memset(buf, 0x55, sizeof buf);
    Check(x.GetAxisLocation(buf, 0x80000001u) == 1, "GetAxisLocation returns 1 by default");
    Check(std::string(buf) == kHravikDefaultAxisText, "GetAxisLocation default text");
    Check(LastIs(sh, HravikGetAxisLocation, reinterpret_cast<UINT_PTR>(buf), 0x80000001ULL),
          "GetAxisLocation record");
    Check(x.KeyBoardProc(0x100, 0x1234, 0xFFFFFFFFu) == 0 &&
              LastIs(sh, HravikKeyBoardProc, 0x100, 0x1234, 0xFFFFFFFFULL),
          "KeyBoardProc");

    Check(sh->count == 9, "nine calls recorded");
    HravikRecord recs[16];
    LONG next = -1;
    LONG n = HravikReadSince(sh, 0, recs, 16, &next);
    bool ordered = n == 9 && next == 9;
    for (LONG i = 0; ordered && i < n; ++i)
        ordered = recs[i].seq == i + 1 && recs[i].exportId == i &&
                  (i == 0 || recs[i].qpc >= recs[i - 1].qpc);
    Check(ordered, "records in call order with seq and rising qpc");
    for (int id = 0; id < HravikExportCount; ++id) {
        std::string what = std::string("one call counted for ") + HravikExportName(id);
        Check(sh->callCount[id] == 1 && HravikCountCalls(sh, id) == 1, what.c_str());
    }
    Check(HravikReadSince(sh, 5, recs, 16) == 4 && recs[0].seq == 6, "read since an index");
}

void Controls(HravikShared* sh, const Exports& x) {
    HravikReset(sh);
    sh->result[HravikGetMaStep] = 5;
    sh->result[HravikKeyBoardProc] = -7;
    sh->result[HravikInstallhook] = 0;
    Check(x.GetMaStep() == 5, "GetMaStep returns the step control");
    Check(x.KeyBoardProc(0x101, 0, 1) == -7, "KeyBoardProc returns its result control");
    Check(x.installhook(nullptr) == 0, "installhook returns its result control");

    char buf[kHravikAxisBufferSize + 8];
    HravikSetAxisText(sh, "X1.500 Y-2.000 Z30.125");
    memset(buf, 0x55, sizeof buf);
    Check(x.GetAxisLocation(buf, 1) == 1 && std::string(buf) == "X1.500 Y-2.000 Z30.125",
          "GetAxisLocation copies the axis text");

    sh->axisUnterminated = 1;
    memset(buf, 0x55, sizeof buf);
    Check(x.GetAxisLocation(buf, 2) == 1, "unterminated fill still returns the result");
    bool filled = true;
    for (int i = 0; i < kHravikAxisBufferSize; ++i) filled = filled && buf[i] == 'A';
    Check(filled, "unterminated fill writes 1024 'A'");
    Check(buf[kHravikAxisBufferSize] == 0x55, "unterminated fill stays inside 1024 bytes");

    sh->result[HravikGetAxisLocation] = 0;
    memset(buf, 0x55, sizeof buf);
    Check(x.GetAxisLocation(buf, 3) == 0 && buf[0] == 0x55, "zero result leaves the buffer alone");
    Check(HravikCountCalls(sh, HravikGetAxisLocation) == 3, "GetAxisLocation calls counted");

    sh->hangMs[HravikUnHook] = 60;
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    x.UnHook();
    QueryPerformanceCounter(&t1);
    double ms = static_cast<double>(t1.QuadPart - t0.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
    Check(ms >= 50.0, "hang control delays the return");
    HravikRecord r;
    Check(HravikFindLast(sh, HravikUnHook, &r) && r.qpc <= t0.QuadPart + (t1.QuadPart - t0.QuadPart) / 2,
          "hanging call is recorded at entry");

    HravikReset(sh);
    Check(sh->count == 0 && sh->result[HravikGetMaStep] == 0 && sh->hangMs[HravikUnHook] == 0 &&
              sh->result[HravikGetAxisLocation] == 1 && sh->axisUnterminated == 0 &&
              !HravikFindLast(sh, HravikUnHook, &r),
          "reset restores defaults and clears records");
}

// Several threads calling at once: every record complete, each thread's calls in its own order.
void Concurrency(HravikShared* sh, const Exports& x) {
    HravikReset(sh);
    const int threads = 4, perThread = 20000;  // 80000 calls: the ring wraps
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&x, t] {
            for (int i = 0; i < perThread; ++i)
                x.KeyBoardProc(0x100, static_cast<unsigned int>(t), static_cast<unsigned int>(i));
        });
    for (auto& th : pool) th.join();
    const LONG total = threads * perThread;
    Check(sh->count == total && sh->callCount[HravikKeyBoardProc] == total,
          "every concurrent call counted");
    Check(HravikOldestIndex(sh) == total - kHravikRingSize, "ring keeps the latest 65536");

    std::vector<HravikRecord> recs(kHravikRingSize);
    LONG n = HravikReadSince(sh, 0, recs.data(), kHravikRingSize);
    Check(n == kHravikRingSize && recs[0].seq == total - kHravikRingSize + 1,
          "reading from 0 starts at the oldest kept record");
    std::vector<LONG> lastValue(threads, -1);
    bool ok = true;
    for (LONG i = 0; i < n && ok; ++i) {
        const HravikRecord& r = recs[i];
        ok = r.exportId == HravikKeyBoardProc && r.args[1] < static_cast<ULONGLONG>(threads) &&
             static_cast<LONG>(r.args[2]) > lastValue[r.args[1]];
        if (ok) lastValue[r.args[1]] = static_cast<LONG>(r.args[2]);
    }
    Check(ok, "concurrent records complete and per-thread ordered");
    HravikRecord last;
    Check(HravikFindLast(sh, HravikKeyBoardProc, &last) && last.seq == total,
          "last call found after wrapping");
    Check(HravikCountCalls(sh, HravikKeyBoardProc) == kHravikRingSize,
          "ring count limited to what the ring holds");
}

int FullCheck(HMODULE dll, HravikShared* sh, const char* path) {
    Exports x = LookupAll(dll);
    bool all = x.installhook && x.UnHook && x.SetVer && x.EnableMap && x.SetPcState &&
               x.GetMaState && x.GetMaStep && x.GetAxisLocation && x.KeyBoardProc;
    Check(all, "all nine exports found by undecorated name");
    if (!all) return 1;
    DefaultsAndRecords(sh, x);
    Controls(sh, x);
    Concurrency(sh, x);

    // The block outlives the DLL while someone holds it; a reload attaches to the same one.
    // (The resets above cleared the load count.)
    LONG loads = sh->loadCount;
    FreeLibrary(dll);
    Check(sh->unloadCount == 1, "unload counted");
    HMODULE again = LoadLibraryA(path);
    Check(again && sh->loadCount == loads + 1, "reload attaches to the same block");
    if (again) {
        Exports y = LookupAll(again);
        sh->result[HravikGetMaStep] = 42;
        Check(y.GetMaStep && y.GetMaStep() == 42, "reloaded DLL reads the controls");
        FreeLibrary(again);
    }
    return 0;
}

int ExportsOnly(HMODULE dll, int argc, char** argv) {
    for (int id = 0; id < HravikExportCount; ++id) {
        bool omitted = false;
        for (int i = 0; i < argc; ++i) omitted = omitted || lstrcmpA(argv[i], HravikExportName(id)) == 0;
        bool present = GetProcAddress(dll, HravikExportName(id)) != nullptr;
        std::string what = std::string(HravikExportName(id)) + (omitted ? " absent" : " present");
        Check(present != omitted, what.c_str());
    }
    FreeLibrary(dll);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: hravik-selftest DLL [--exports-only [OMIT...]]\n", stderr);
        return 2;
    }
    // A private block, so that tests running in parallel do not see each other's calls.
    char name[64];
    wsprintfA(name, "hravik-selftest-%lu", GetCurrentProcessId());
    SetEnvironmentVariableA("HRAVIK_SHM", name);
    HravikShared* sh = HravikAttach();
    Check(sh != nullptr, "shared block mapped");
    if (!sh) return 1;

    HMODULE dll = LoadLibraryA(argv[1]);
    Check(dll != nullptr, "DLL loads");
    if (dll) {
        Check(sh->loadCount == 1, "load counted in the block");
        if (argc >= 3 && std::string(argv[2]) == "--exports-only")
            ExportsOnly(dll, argc - 3, argv + 3);
        else
            FullCheck(dll, sh, argv[1]);
    }
    HravikShared* second = HravikAttach();
    Check(second && second != sh && second->loadCount == sh->loadCount,
          "a second view sees the same block");
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
