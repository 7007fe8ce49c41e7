#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/driver_state.h"
#include "hravik_shared.h"
#include "host/hook_library.h"
#include "host/machine_poller.h"
#include "pendant/display_frame.h"
#include "pendant/pendant_device.h"
#include "support/driver_test.h"

namespace {

using Report = std::vector<uint8_t>;

Report FrameReport(uint8_t status) { return {6, 0xFE, 0xFD, 0x00, status, 0, 0, 0}; }

double MsSince(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(f.QuadPart);
}

LARGE_INTEGER At(LONGLONG qpc) {
    LARGE_INTEGER t;
    t.QuadPart = qpc;
    return t;
}

LARGE_INTEGER Now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t;
}

// The poller over the fake bus, locked and with no host active until a test says otherwise.
class PollerFixture : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        PlugPendant();
        g_state.axisText = "before";
    }
    void TearDown() override {
        StopAsTheExitDoes();
        EXPECT_FALSE(poller::Running());
        ASSERT_TRUE(g_pendant.WaitIdle(3000));
        EXPECT_EQ(bus.OpenHandles(), 0) << "the exit leaves the pendant closed";
        DriverTest::TearDown();
    }
    // The link thread is told first, so that a poller on its way out opens nothing.
    static void StopAsTheExitDoes() {
        g_pendant.Ask(LinkRequest::kShutdown);
        poller::Stop();
    }

    void StartActive() {
        g_state.enabled = 1;
        g_state.hostActive = 1;
        ASSERT_TRUE(poller::Start());
        ASSERT_EQ(g_pendant.Open(nullptr), 1);
    }
    bool WaitReports(size_t atLeast, DWORD ms = 3000) {
        return WaitUntil([&] { return bus.FeatureReports().size() >= atLeast; }, ms);
    }
    // Polls: GetMaState, GetMaStep, GetAxisLocation together.
    LONG PollCalls() const {
        return Calls(HravikGetMaState) + Calls(HravikGetMaStep) + Calls(HravikGetAxisLocation);
    }
};

using MachinePoller = PollerFixture;

// With one condition missing the poller stays idle; once it is met, polling begins.
TEST_F(MachinePoller, IdleUntilPendantUnlockedAndHostActive) {
    struct Row {
        const char* missing;
        bool pendant;
        int enabled;
        int hostActive;
    };
    const Row rows[] = {{"pendant", false, 1, 1}, {"unlock", true, 0, 1}, {"active host", true, 1, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.missing);
        ResetDriver();
        HravikReset(hooks);
        size_t frames = bus.FeatureReports().size();
        g_state.enabled = row.enabled;
        g_state.hostActive = row.hostActive;
        ASSERT_TRUE(poller::Start());
        if (row.pendant) ASSERT_EQ(g_pendant.Open(nullptr), 1);
        // Nothing marks an idle round: give the poller a few of them.
        PumpFor(300);
        EXPECT_EQ(PollCalls(), 0);
        EXPECT_EQ(bus.FeatureReports().size(), frames);
        g_state.enabled = 1;
        g_state.hostActive = 1;
        if (!row.pendant) ASSERT_EQ(g_pendant.Open(nullptr), 1);
        EXPECT_TRUE(WaitCalls(HravikGetAxisLocation, 1)) << "the poller was alive but idle";
        EXPECT_TRUE(WaitReports(frames + 1));
    }
}

TEST_F(MachinePoller, PollsInOrderWithPauseAndFreshCallValues) {
    hooks->result[HravikGetMaStep] = 4;
    StartActive();
    ASSERT_TRUE(WaitCalls(HravikGetAxisLocation, 4));
    poller::Stop();

    std::vector<HravikRecord> records(static_cast<size_t>(hooks->count));
    LONG n = HravikReadSince(hooks, 0, records.data(), static_cast<LONG>(records.size()));
    records.resize(static_cast<size_t>(n));
    std::vector<int> order;
    std::vector<ULONGLONG> callValues;
    DWORD thread = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        const HravikRecord& r = records[i];
        if (r.exportId == HravikKeyBoardProc) continue;
        order.push_back(r.exportId);
        if (thread == 0) thread = r.threadId;
        EXPECT_EQ(r.threadId, thread) << "one poller thread makes every call";
        if (r.exportId == HravikGetAxisLocation) {
            EXPECT_NE(r.args[0], 0u) << "a buffer is passed";
            callValues.push_back(r.args[1]);
        }
        if (r.exportId == HravikGetMaStep && i > 0 && records[i - 1].exportId == HravikGetMaState) {
            EXPECT_GE(MsSince(At(records[i - 1].qpc), At(r.qpc)), 60.0)
                << "the pause between the two polls of a cycle";
        }
    }
    EXPECT_NE(thread, GetCurrentThreadId());
    ASSERT_GE(order.size(), 12u);
    for (size_t i = 0; i + 2 < order.size(); i += 3) {
        EXPECT_EQ(order[i], HravikGetMaState) << i;
        EXPECT_EQ(order[i + 1], HravikGetMaStep) << i;
        EXPECT_EQ(order[i + 2], HravikGetAxisLocation) << i;
    }
    for (size_t i = 1; i < callValues.size(); ++i)
        EXPECT_NE(callValues[i], callValues[i - 1]) << "a fresh call value for every call";
    EXPECT_EQ(g_state.axisText, kHravikDefaultAxisText);
    EXPECT_EQ(bus.FeatureReports(), std::vector<Report>{FrameReport(4)})
        << "one frame for an unchanged display";
}

TEST_F(MachinePoller, StepChangeReachesPendant) {
    hooks->result[HravikGetMaStep] = 1;
    StartActive();
    ASSERT_TRUE(WaitReports(1));
    hooks->result[HravikGetMaStep] = 5;
    ASSERT_TRUE(WaitReports(2));
    g_state.modeByte = 0x80;
    ASSERT_TRUE(WaitReports(3));
    EXPECT_EQ(bus.FeatureReports(),
              (std::vector<Report>{FrameReport(1), FrameReport(5), FrameReport(0x85)}));
}

TEST_F(MachinePoller, KeyEventResendsFrame) {
    ForwardPendantKeys();
    hooks->result[HravikGetMaStep] = 2;
    StartActive();
    ASSERT_TRUE(WaitReports(1));
    ASSERT_TRUE(bus.SendKeys(0x11, 0, 0));
    ASSERT_TRUE(WaitReports(2));
    LONG cycles = Calls(HravikGetAxisLocation);
    ASSERT_TRUE(WaitCalls(HravikGetAxisLocation, cycles + 3));
    EXPECT_EQ(bus.FeatureReports(), (std::vector<Report>{FrameReport(2), FrameReport(2)}));
    EXPECT_EQ(g_state.forceFrame, 0);
}

TEST_F(MachinePoller, ReopenedPendantGetsFrameAgain) {
    hooks->result[HravikGetMaStep] = 3;
    StartActive();
    ASSERT_TRUE(WaitReports(1));
    g_pendant.Close();
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    ASSERT_TRUE(WaitReports(2));
    EXPECT_EQ(bus.FeatureReports(), (std::vector<Report>{FrameReport(3), FrameReport(3)}));
}

TEST_F(MachinePoller, StopDuringPauseEndsAtOnce) {
    // Timed into the 80 ms pause that follows GetMaState; an attempt whose stop did not finish
    // within that pause proves nothing and is repeated.
    int landed = 0;
    for (int attempt = 0; attempt < 5 && landed == 0; ++attempt) {
        HravikReset(hooks);
        bus.refuseFeatureFrom = 0;
        StartActive();
        ASSERT_TRUE(WaitCalls(HravikGetMaState, 2));
        LONG state = Calls(HravikGetMaState);
        ASSERT_TRUE(WaitCalls(HravikGetMaState, state + 1));
        LONG steps = Calls(HravikGetMaStep);
        size_t frames = bus.FeatureReports().size();
        HravikRecord entry;
        ASSERT_TRUE(HravikFindLast(hooks, HravikGetMaState, &entry));
        Sleep(5);
        LARGE_INTEGER before = Now();
        poller::Stop();
        LARGE_INTEGER after = Now();
        poller::ExitCleanup();
        EXPECT_FALSE(poller::Running());
        EXPECT_LT(MsSince(before, after), 1500.0);
        if (MsSince(At(entry.qpc), after) >= 75.0) continue;
        ++landed;
        EXPECT_EQ(Calls(HravikGetMaStep), steps) << "no GetMaStep after a stop in the pause";
        EXPECT_EQ(Calls(HravikGetAxisLocation), steps);
        EXPECT_EQ(bus.FeatureReports().size(), frames);
    }
    EXPECT_EQ(landed, 1) << "no stop finished within the pause";
}

// A poller inside a hung hook call is left to end by itself, not killed inside the library and
// not waited for; on its way out it neither sends a frame nor opens the pendant again.
TEST_F(MachinePoller, StopLeavesAThreadInsideTheHookLibraryBehind) {
    hooks->result[HravikGetMaStep] = 1;
    StartActive();
    ASSERT_TRUE(WaitReports(1));
    hooks->hangMs[HravikGetMaStep] = 600;
    LONG steps = Calls(HravikGetMaStep);
    ASSERT_TRUE(WaitCalls(HravikGetMaStep, steps + 1));
    hooks->result[HravikGetMaStep] = 9;
    int opensBefore = bus.OpenCount();
    size_t framesBefore = bus.FeatureReports().size();
    LARGE_INTEGER before = Now();
    StopAsTheExitDoes();
    double ms = MsSince(before, Now());
    hooklib::FreeAll();
    EXPECT_FALSE(poller::Running());
    EXPECT_LT(ms, 500.0) << "the stop waited for the hung call";
    ASSERT_TRUE(g_pendant.WaitIdle(3000));
    EXPECT_EQ(g_pendant.connected, 0);
    EXPECT_NE(static_cast<HMODULE>(hooklib::firstModule), nullptr) << "library freed under a thread";

    ASSERT_TRUE(WaitUntil([] { return hooklib::CallsInProgress() == 0; }, 3000));
    PumpFor(100);
    EXPECT_EQ(bus.OpenCount(), opensBefore) << "the stopping poller reopened the pendant";
    EXPECT_EQ(bus.FeatureReports().size(), framesBefore);
    EXPECT_EQ(LinkPeek::ReaderThreadId(), 0u);
    EXPECT_EQ(bus.OpenHandles(), 0);
}

// The axis text is taken when the library writes it, kept when it returns 0, and bounded by the
// buffer when it is not terminated.
TEST_F(MachinePoller, AxisTextFollowsTheLibrary) {
    struct Row {
        const char* what;
        void (*prepare)(HravikShared*);
        std::string expected;
    };
    const Row rows[] = {
        {"written", [](HravikShared* h) { HravikSetAxisText(h, "X1.250 Y-3.000 Z12.5"); }, "X1.250 Y-3.000 Z12.5"},
        {"returns 0", [](HravikShared* h) { h->result[HravikGetAxisLocation] = 0; }, "before"},
        {"unterminated", [](HravikShared* h) { h->axisUnterminated = 1; }, std::string(1023, 'A')},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ResetDriver();
        HravikReset(hooks);
        row.prepare(hooks);
        g_state.axisText = "before";
        StartActive();
        ASSERT_TRUE(WaitCalls(HravikGetAxisLocation, 2));
        poller::Stop();
        EXPECT_EQ(g_state.axisText, row.expected);
    }
}

// Any program of the session can signal the poller's stop event by its name: the end of the
// display's updates is then said, not silent.
TEST_F(MachinePoller, StopEventSignalledByAnotherProgramIsLogged) {
    ClearLog();
    StartActive();
    ASSERT_TRUE(WaitReports(1));
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, poller::kStopEventName);
    ASSERT_NE(event, nullptr);
    SetEvent(event);
    CloseHandle(event);
    EXPECT_TRUE(WaitUntil([] { return !LinesWith(LogLines(), "its stop event \"zomfa\" was signalled").empty(); },
                          3000));
}

TEST_F(MachinePoller, StopWhileIdleIsQuick) {
    ASSERT_TRUE(poller::Start());
    PumpFor(150);
    LARGE_INTEGER before = Now();
    poller::Stop();
    EXPECT_FALSE(poller::Running());
    EXPECT_LT(MsSince(before, Now()), 1000.0);
    EXPECT_EQ(PollCalls(), 0);
}

TEST_F(MachinePoller, SecondStopFindsNothing) {
    StartActive();
    ASSERT_TRUE(WaitReports(1));
    poller::Stop();
    poller::ExitCleanup();
    LONG calls = PollCalls();
    LARGE_INTEGER before = Now();
    poller::Stop();
    EXPECT_LT(MsSince(before, Now()), 500.0);
    PumpFor(200);
    EXPECT_EQ(PollCalls(), calls);
    // The event is gone with the clean-up.
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, poller::kStopEventName), nullptr);
}

// Runs only in the copy of this program that sits beside a library of this variant.
bool InVariantFolder(const char* variant) {
    std::string dir = ExeDir();
    return dir.find(std::string("\\") + variant + "\\") != std::string::npos ||
           dir.find(std::string("/") + variant + "/") != std::string::npos;
}

bool ExportMissing(const char* name) {
    HMODULE module = hooklib::Load();
    bool missing = module && GetProcAddress(module, name) == nullptr;
    if (module) FreeLibrary(module);
    return missing;
}

class PollerWithoutGetMaStep : public PollerFixture {};

TEST_F(PollerWithoutGetMaStep, MergedModeBitsStay) {
    if (!InVariantFolder("no-getmastep")) GTEST_SKIP() << "needs the no-getmastep library";
    ASSERT_TRUE(ExportMissing("GetMaStep"));
    g_state.stepValue = 3;
    g_state.modeByte = 0x80;
    StartActive();
    ASSERT_TRUE(WaitReports(1));
    g_state.modeByte = 0;
    LONG cycles = Calls(HravikGetAxisLocation);
    ASSERT_TRUE(WaitCalls(HravikGetAxisLocation, cycles + 3));
    poller::Stop();
    EXPECT_EQ(g_state.stepValue, 0x83u);
    EXPECT_EQ(bus.FeatureReports(), std::vector<Report>{FrameReport(0x83)});
}

class PollerWithoutGetAxisLocation : public PollerFixture {};

TEST_F(PollerWithoutGetAxisLocation, StepAndFrameStillRun) {
    if (!InVariantFolder("no-getaxislocation")) GTEST_SKIP() << "needs the no-getaxislocation library";
    ASSERT_TRUE(ExportMissing("GetAxisLocation"));
    hooks->result[HravikGetMaStep] = 6;
    StartActive();
    ASSERT_TRUE(WaitCalls(HravikGetMaStep, 3));
    ASSERT_TRUE(WaitReports(1));
    poller::Stop();
    EXPECT_EQ(g_state.axisText, "before");
    EXPECT_EQ(bus.FeatureReports(), std::vector<Report>{FrameReport(6)});
}

}  // namespace
