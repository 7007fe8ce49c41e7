// The pendant key path: how long a close takes with the reader blocked in a read, and how long
// a key report takes from the pipe to the hook library's KeyBoardProc, in process.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/driver_state.h"
#include "bench/bench.h"
#include "hravik_shared.h"
#include "host/hook_library.h"
#include "host/key_forwarder.h"
#include "pendant/pendant_device.h"
#include "support/fake_hid.h"
#include "support/link_setup.h"

namespace {

long long Now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

}  // namespace

BENCH(close_blocked_reader) {
    constexpr int kRounds = 20;
    FakeHidBus bus;
    bus.interfaces = {FakeInterface::Feature(), FakeInterface::Input()};
    bus.Install();
    ForwardPendantKeys();
    std::vector<double> ms;
    for (int i = 0; i < kRounds; ++i) {
        if (!g_pendant.Open(nullptr)) {
            report.Note("open failed");
            return;
        }
        Sleep(30);  // the reader is blocked in its read by now
        long long start = Now();
        g_pendant.Close();
        ms.push_back(QpcMs(Now() - start));
    }
    CPendantDevice::SetKeySink(nullptr);
    report.Add("close_p50", Median(ms), "ms", "<= 20");
    report.Add("close_max", MaxOf(ms), "ms", "");
    report.Note(std::to_string(kRounds) + " closes with the reader blocked in a pipe read "
                "(cancelled by CancelSynchronousIo); the old wait-then-kill took ~2000 ms");
}

BENCH(key_latency) {
    constexpr int kReports = 10000;
    HravikShared* sh = HravikAttach();
    if (!sh) {
        report.Note("cannot map the hook library's record block");
        return;
    }
    HravikReset(sh);
    FakeHidBus bus;
    bus.interfaces = {FakeInterface::Feature(), FakeInterface::Input()};
    bus.Install();
    ForwardPendantKeys();
    if (!g_pendant.Open(nullptr)) {
        report.Note("open failed");
        return;
    }
    Sleep(30);
    // Load the hook library before timing, as the first key of a session would.
    bus.SendKeys(0, 0, 0);
    HravikWaitForCalls(sh, HravikKeyBoardProc, 1, 5000);

    std::vector<double> us;
    us.reserve(kReports);
    int lost = 0;
    for (int i = 0; i < kReports; ++i) {
        LONG index = sh->count;
        uint8_t code = static_cast<uint8_t>(1 + i % 200);
        long long sent = Now();
        bus.SendKeys(i % 2 ? 0 : code, 0, 0);
        HravikRecord r{};
        DWORD startTick = GetTickCount();
        bool got = false;
        for (unsigned spin = 0;; ++spin) {
            if (HravikReadRecord(sh, index, &r)) {
                got = true;
                break;
            }
            if (GetTickCount() - startTick > 2000) break;
            if (spin % 64 == 63) Sleep(0);
        }
        if (!got) {
            ++lost;
            continue;
        }
        us.push_back(QpcMs(r.qpc - sent) * 1000.0);
    }
    g_pendant.Close();
    CPendantDevice::SetKeySink(nullptr);
    hooklib::FreeAll();
    HravikDetach(sh);
    report.Add("report_to_keyboardproc_p50", Percentile(us, 0.5) / 1000.0, "ms", "");
    report.Add("report_to_keyboardproc_p99", Percentile(us, 0.99) / 1000.0, "ms", "<= 0.5");
    report.Add("report_to_keyboardproc_max", MaxOf(us) / 1000.0, "ms", "");
    report.Add("reports_not_seen", lost, "count", "0");
    report.Note(std::to_string(kReports) + " reports, one at a time: from just before the pipe "
                "write to KeyBoardProc's entry, reader and forwarder in process");
}
