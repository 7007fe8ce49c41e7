// What the host tracking suites share: a fresh driver that believes the pendant connected, the
// tracker a timer tick drives, and the stand-in hook library's calls read by export and window.
#pragma once

#include <string>
#include <vector>

#include "app/driver_state.h"
#include "host/hook_library.h"
#include "host/host_tracker.h"
#include "host/window_text.h"
#include "host/key_forwarder.h"
#include "host_client.h"
#include "pendant/pendant_device.h"
#include "support/driver_test.h"

namespace hosttest {

inline ULONGLONG Arg(HWND window) { return static_cast<ULONGLONG>(reinterpret_cast<UINT_PTR>(window)); }

class HostTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        Fresh();
    }
    // The driver as a fresh start that found the pendant leaves it, and a tracker that has seen
    // nothing yet.
    void Fresh() {
        g_pendant.connected = 0;
        ResetDriver();
        HravikReset(hooks);
        tracker.Reset();
        g_state.enabled = 1;
        g_state.statusText = kStatusDefault;
        // Only the flag: the tracker asks no more of the pendant.
        g_pendant.connected = 1;
    }
    void TearDown() override {
        g_pendant.connected = 0;
        DriverTest::TearDown();
    }

    void Start(HostProcess& host, const char* exe) { ASSERT_TRUE(host.Start(ExeDir() + exe)) << exe; }

    std::vector<HravikRecord> RecordsOf(int exportId) const { return harness::RecordsSince(hooks, 0, exportId); }
    // How often this code was reported for this window.
    LONG PcStates(HWND window, int code) const {
        LONG n = 0;
        for (const HravikRecord& r : RecordsOf(HravikSetPcState))
            if (r.args[0] == Arg(window) && r.args[1] == static_cast<ULONGLONG>(code)) ++n;
        return n;
    }

    ::HostTracker tracker;
};

}  // namespace hosttest
