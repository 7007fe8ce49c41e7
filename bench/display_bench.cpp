// The display path: how long a new step value in the hook library takes to reach the pendant as
// a feature report, and what the poller thread costs in CPU time while idle and while polling.
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "app/driver_state.h"
#include "bench/bench.h"
#include "hravik_shared.h"
#include "host/hook_library.h"
#include "host/machine_poller.h"
#include "pendant/pendant_device.h"
#include "support/fake_hid.h"

namespace {

long long Now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

// Stamps every accepted feature report with the counter, as the pendant would see it arrive.
class TimedBus : public FakeHidBus {
public:
    BOOL HidD_SetFeature(HANDLE device, void* report, DWORD size) override {
        BOOL ok = FakeHidBus::HidD_SetFeature(device, report, size);
        if (ok && size >= 5) {
            long long at = Now();
            std::lock_guard<std::mutex> guard(stampLock_);
            stamps_.push_back({at, static_cast<uint8_t*>(report)[4]});
        }
        return ok;
    }
    // The time of the first accepted report at or after index `from` whose status byte is
    // `status`; 0 when there is none yet.
    long long FindStatus(size_t from, uint8_t status) {
        std::lock_guard<std::mutex> guard(stampLock_);
        for (size_t i = from; i < stamps_.size(); ++i)
            if (stamps_[i].status == status) return stamps_[i].qpc;
        return 0;
    }
    size_t Stamps() {
        std::lock_guard<std::mutex> guard(stampLock_);
        return stamps_.size();
    }

private:
    struct Stamp {
        long long qpc;
        uint8_t status;
    };
    std::mutex stampLock_;
    std::vector<Stamp> stamps_;
};

void PrepareDriver() {
    g_state.enabled = 1;
    g_state.hostActive = 1;
    g_state.modeByte = 0;
    g_state.stepValue = 0;
    g_state.forceFrame = 0;
    g_state.lastFrame = 0;
    g_state.pendantReady = 1;
    CPendantDevice::SetKeySink(nullptr);
}

double FileTimeMs(const FILETIME& f) {
    ULARGE_INTEGER u;
    u.LowPart = f.dwLowDateTime;
    u.HighPart = f.dwHighDateTime;
    return static_cast<double>(u.QuadPart) / 10000.0;
}

double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    return FileTimeMs(kernel) + FileTimeMs(user);
}

// CPU time of this process over `seconds` while the caller's thread only sleeps, scaled to a
// minute.
double CpuMsPerMinute(int seconds) {
    double before = ProcessCpuMs();
    long long start = Now();
    Sleep(static_cast<DWORD>(seconds) * 1000);
    double wallMs = QpcMs(Now() - start);
    return (ProcessCpuMs() - before) * 60000.0 / wallMs;
}

}  // namespace

BENCH(step_to_frame) {
    constexpr int kChanges = 100;
    HravikShared* sh = HravikAttach();
    if (!sh) {
        report.Note("cannot map the hook library's record block");
        return;
    }
    HravikReset(sh);
    TimedBus bus;
    bus.interfaces = {FakeInterface::Feature(), FakeInterface::Input()};
    bus.Install();
    PrepareDriver();
    if (!poller::Start() || !g_pendant.Open(nullptr)) {
        report.Note("poller or pendant did not start");
        return;
    }
    HravikWaitForCalls(sh, HravikGetAxisLocation, 2, 5000);

    std::vector<double> ms;
    int lost = 0;
    unsigned seed = 12345;
    for (int i = 0; i < kChanges; ++i) {
        // Values 1..63 in turn, so every change makes a new status byte.
        uint8_t step = static_cast<uint8_t>(1 + i % 63);
        size_t from = bus.Stamps();
        long long changed = Now();
        sh->result[HravikGetMaStep] = step;
        long long seen = 0;
        DWORD startTick = GetTickCount();
        while ((seen = bus.FindStatus(from, step)) == 0 && GetTickCount() - startTick < 2000) Sleep(1);
        if (seen == 0) {
            ++lost;
            continue;
        }
        ms.push_back(QpcMs(seen - changed));
        // A pseudo-random pause, so the changes fall at every point of the poller's cycle.
        seed = seed * 1103515245u + 12345u;
        Sleep((seed >> 16) % 60);
    }
    poller::Stop();
    poller::ExitCleanup();
    hooklib::FreeAll();
    HravikDetach(sh);
    report.Add("step_to_frame_p50", Median(ms), "ms", "");
    report.Add("step_to_frame_p99", Percentile(ms, 0.99), "ms", "<= 100");
    report.Add("step_to_frame_max", MaxOf(ms), "ms", "");
    report.Add("step_changes_not_seen", lost, "count", "0");
    report.Note(std::to_string(kChanges) + " step changes written into the stand-in hook library's "
                "GetMaStep result, each timed to the feature report accepted by the fake pendant; "
                "the poller picks a change up after its 80 ms pause");
}

BENCH(poller_cpu) {
    // Long enough that Wine's 10 ms accounting ticks still resolve 20 ms per minute.
    constexpr int kSeconds = 30;
    HravikShared* sh = HravikAttach();
    if (!sh) {
        report.Note("cannot map the hook library's record block");
        return;
    }
    HravikReset(sh);
    FakeHidBus bus;
    bus.interfaces = {FakeInterface::Feature(), FakeInterface::Input()};
    bus.Install();
    PrepareDriver();
    // Idle: the pendant is not connected, so the thread only wakes every 100 ms.
    if (!poller::Start()) {
        report.Note("poller did not start");
        return;
    }
    Sleep(200);
    double idle = CpuMsPerMinute(kSeconds);
    if (!g_pendant.Open(nullptr)) {
        report.Note("open failed");
        poller::Stop();
        poller::ExitCleanup();
        return;
    }
    HravikWaitForCalls(sh, HravikGetAxisLocation, 2, 5000);
    LONG cyclesBefore = sh->callCount[HravikGetAxisLocation];
    double active = CpuMsPerMinute(kSeconds);
    LONG cycles = sh->callCount[HravikGetAxisLocation] - cyclesBefore;
    poller::Stop();
    poller::ExitCleanup();
    hooklib::FreeAll();
    HravikDetach(sh);
    report.Add("poller_idle_cpu", idle, "ms/min", "");
    report.Add("poller_idle_cpu_core", idle / 600.0, "% of a core", "");
    report.Add("poller_active_cpu", active, "ms/min", "");
    report.Add("poller_active_cpu_core", active / 600.0, "% of a core", "");
    report.Add("poller_active_cycles_per_s", cycles / static_cast<double>(kSeconds), "count", "<= 12.5");
    report.Add("cpu_resolution", 10.0 * 60.0 / kSeconds, "ms/min", "");
    report.Note("process CPU time (GetProcessTimes) over " + std::to_string(kSeconds) +
                " s each, idle (no pendant) and active (pendant open, driver unlocked, host "
                "active, unchanged frame), while the main thread sleeps; scaled to a minute. "
                "Wine counts whole 10 ms ticks (see cpu_resolution) and leaves out the time "
                "wineserver spends on the waits");
}
