// The driver's virtual build, the virtual pendant and the stand-in host as separate processes,
// watched from outside as a user would: pendant output lines, hook library call records, windows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "demo/driver_harness.h"
#include "host_client.h"
#include "support/test_util.h"

using harness::DriverProcess;
using harness::HookRecords;
using harness::PendantProcess;

namespace {

constexpr DWORD kStartMs = 15000;      // a first Wine start in a fresh prefix is slow
constexpr DWORD kReconnectMs = 10000;  // two status refreshes are 4.4 s
constexpr DWORD kCallMs = 3000;

struct KeyCall {
    ULONGLONG type;
    ULONGLONG word;
};

class DriverE2e : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(hooks.Attach());
        HravikReset(hooks.Block());
    }

    void TearDown() override {
        if (driver.Running()) {
            if (HWND w = driver.Window()) PostMessageA(w, WM_COMMAND, harness::kExitCommand, 0);
            driver.WaitExit(5000);
        }
        host.Quit();
        pendant.Stop();
    }

    static std::string Exe(const char* name) { return ExeDir() + name; }

    void StartPendant(bool unplugged) {
        ASSERT_TRUE(pendant.Start(Exe("virtual-pendant.exe"), unplugged));
        ASSERT_GE(pendant.WaitForExact(unplugged ? "unplugged" : "plugged", 0, kStartMs), 0);
    }

    void StartDriver() {
        ASSERT_TRUE(driver.Start(Exe("veltra-virtual.exe")));
        ASSERT_TRUE(WaitUntil([&] { return driver.Window() != nullptr; }, kStartMs))
            << "the driver's window never appeared";
    }

    // The driver opens the pendant at start-up, closes it, and reopens it at a status refresh.
    void WaitConnected(DWORD timeoutMs = kReconnectMs) {
        ASSERT_TRUE(WaitUntil([&] { return pendant.InputOpen() && pendant.Count("input closed") >= 1; },
                              timeoutMs))
            << "the driver did not hold the pendant open";
    }

    void StartConnected() {
        StartPendant(false);
        StartDriver();
        WaitConnected();
    }

    void StartHostInFront() {
        ASSERT_TRUE(host.Start(Exe("ncstudio-v8.exe")));
        ASSERT_TRUE(host.Front("main"));
        ASSERT_TRUE(hooks.WaitCalls(HravikEnableMap, 1, 5000)) << "the driver never activated the host";
    }

    void SendStep(const std::string& step) {
        ASSERT_TRUE(pendant.Step(step));
        ASSERT_TRUE(pendant.Sync());
    }

    std::vector<KeyCall> KeyCalls(LONG since) {
        std::vector<KeyCall> calls;
        for (const HravikRecord& r : hooks.Since(since, HravikKeyBoardProc)) calls.push_back({r.args[0], r.args[1]});
        return calls;
    }

    // Key-up calls with word 0 after the given mark.
    int Releases(LONG since) {
        int n = 0;
        for (const KeyCall& c : KeyCalls(since)) n += c.type == WM_KEYUP && c.word == 0;
        return n;
    }

    // Presses a key and leaves it held; returns the mark taken after its down call arrived.
    LONG HoldKey() {
        LONG before = hooks.Calls(HravikKeyBoardProc);
        pendant.Step("key 12 00 34");
        EXPECT_TRUE(hooks.WaitCalls(HravikKeyBoardProc, before + 1, kCallMs));
        return hooks.Mark();
    }

    HookRecords hooks;
    PendantProcess pendant;
    DriverProcess driver;
    HostProcess host;
};

// ---- start-up ----

class DriverStartup : public DriverE2e {};

TEST_F(DriverStartup, SecondInstanceExitsAtOnceWithoutWindow) {
    StartPendant(false);
    StartDriver();
    DriverProcess second;
    ASSERT_TRUE(second.Start(Exe("veltra-virtual.exe")));
    bool sawWindow = false;
    bool exited = WaitUntil(
        [&] {
            if (second.Window()) sawWindow = true;
            return !second.Running();
        },
        5000);
    EXPECT_TRUE(exited) << "a second driver kept running";
    EXPECT_FALSE(sawWindow);
    EXPECT_TRUE(driver.Running()) << "the first driver must stay";
    EXPECT_TRUE(driver.Window() != nullptr);
}

TEST_F(DriverStartup, ConnectsToPluggedPendantAndForwardsKeys) {
    StartConnected();
    pendant.Step("key 05 00 00");
    EXPECT_TRUE(hooks.WaitCalls(HravikKeyBoardProc, 1, kCallMs));
}

TEST_F(DriverStartup, RunsWithUnpluggedPendantAndConnectsOncePluggedIn) {
    StartPendant(true);
    StartDriver();
    PumpFor(2500);  // past the first status refresh
    EXPECT_TRUE(driver.Running());
    EXPECT_EQ(pendant.Count("input connected"), 0);
    SendStep("plug");
    int plugged = pendant.FindExact("plugged");
    int connected = pendant.WaitFor("input connected", 0, kReconnectMs);
    ASSERT_GE(connected, 0) << "no connection after plugging in";
    EXPECT_LT(pendant.At(connected).ms - pendant.At(plugged).ms, 10000.0);
    SendStep("key 07 00 00");
    EXPECT_TRUE(hooks.WaitCalls(HravikKeyBoardProc, 1, kCallMs)) << "the reconnect must also unlock";
}

TEST_F(DriverStartup, RunsWithNoPendantAndConnectsWhenOneAppears) {
    StartDriver();
    PumpFor(2500);
    EXPECT_TRUE(driver.Running());
    StartPendant(false);
    ASSERT_TRUE(WaitUntil([&] { return pendant.InputOpen(); }, kReconnectMs));
    SendStep("key 08 00 00");
    EXPECT_TRUE(hooks.WaitCalls(HravikKeyBoardProc, 1, kCallMs));
}

// ---- keys and the link ----

class DriverKeys : public DriverE2e {};

TEST_F(DriverKeys, KeysReachHookInOrderWithTheirWords) {
    StartConnected();
    LONG mark = hooks.Mark();
    for (const char* step : {"key 12 00 34", "release", "key 01 02 03", "release"}) pendant.Step(step);
    ASSERT_TRUE(hooks.WaitCalls(HravikKeyBoardProc, 4, kCallMs));
    std::vector<KeyCall> calls = KeyCalls(mark);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].type, 0x100u);
    EXPECT_EQ(calls[0].word, 0x00340012u);
    EXPECT_EQ(calls[1].type, 0x101u);
    EXPECT_EQ(calls[1].word, 0u);
    EXPECT_EQ(calls[2].type, 0x100u);
    EXPECT_EQ(calls[2].word, 0x00030201u);
    EXPECT_EQ(calls[3].type, 0x101u);
    EXPECT_EQ(calls[3].word, 0u);
}

TEST_F(DriverKeys, HeldKeyReleasedOnceOnUnplug) {
    StartConnected();
    LONG mark = HoldKey();
    SendStep("unplug");
    EXPECT_TRUE(WaitUntil([&] { return Releases(mark) >= 1; }, kCallMs));
    PumpFor(300);
    EXPECT_EQ(Releases(mark), 1);
}

TEST_F(DriverKeys, ReconnectsAfterReplugWithinTwoRefreshPeriods) {
    StartConnected();
    SendStep("unplug");
    SendStep("wait 500");
    size_t from = pendant.LineCount();
    SendStep("plug");
    int plugged = pendant.FindExact("plugged", from);
    int connected = pendant.WaitFor("input connected", from, kReconnectMs);
    ASSERT_GE(connected, 0) << "no reconnect after replug";
    EXPECT_LT(pendant.At(connected).ms - pendant.At(plugged).ms, 10000.0);
    LONG before = hooks.Calls(HravikKeyBoardProc);
    SendStep("key 09 00 00");
    EXPECT_TRUE(hooks.WaitCalls(HravikKeyBoardProc, before + 1, kCallMs));
}

// ---- display frame (needs the host in front) ----

class DriverDisplay : public DriverE2e {};

TEST_F(DriverDisplay, StepChangeReachesDisplayFrame) {
    StartConnected();
    StartHostInFront();
    hooks.Block()->result[HravikGetMaStep] = 0x03;
    EXPECT_GE(pendant.WaitFor("feature 06 FE FD 00 03 00 00 00 accepted", 0, 3000), 0);
    hooks.Block()->result[HravikGetMaStep] = 0x05;
    EXPECT_GE(pendant.WaitFor("feature 06 FE FD 00 05 00 00 00 accepted", 0, 3000), 0);
}

TEST_F(DriverDisplay, KeyResendsUnchangedFrame) {
    StartConnected();
    StartHostInFront();
    hooks.Block()->result[HravikGetMaStep] = 0x02;
    int first = pendant.WaitFor("feature 06 FE FD 00 02", 0, 3000);
    ASSERT_GE(first, 0);
    PumpFor(400);  // several poll cycles: an unchanged frame is not sent again by itself
    int settled = pendant.Count("feature 06 FE FD 00 02");
    size_t from = pendant.LineCount();
    SendStep("key 04 00 00");
    EXPECT_GE(pendant.WaitFor("feature 06 FE FD 00 02", from, 3000), 0);
    EXPECT_GT(pendant.Count("feature 06 FE FD 00 02"), settled);
}

TEST_F(DriverDisplay, HostDialogModeReachesFrame) {
    StartConnected();
    StartHostInFront();
    hooks.Block()->result[HravikGetMaStep] = 0x01;
    ASSERT_GE(pendant.WaitFor("feature 06 FE FD 00 01", 0, 3000), 0);
    ASSERT_TRUE(host.Open("d", "jiggle") != nullptr);
    EXPECT_GE(pendant.WaitFor("feature 06 FE FD 00 81", 0, 3000), 0) << "jiggle must set bit 7";
    HravikRecord r;
    ASSERT_TRUE(HravikFindLast(hooks.Block(), HravikSetPcState, &r));
    host.Close("d");
    host.Front("main");
    size_t from = pendant.LineCount();
    EXPECT_GE(pendant.WaitFor("feature 06 FE FD 00 01", from, 3000), 0) << "closing it clears bit 7";
}

// ---- lock ----

class DriverLock : public DriverE2e {};

TEST_F(DriverLock, HotKeyLocksAndUnlocks) {
    StartConnected();
    ASSERT_TRUE(harness::SendHotKey());
    PumpFor(500);
    LONG before = hooks.Calls(HravikKeyBoardProc);
    SendStep("key 0A 00 00");
    PumpFor(400);
    EXPECT_EQ(hooks.Calls(HravikKeyBoardProc), before) << "a locked driver forwarded a key";
    EXPECT_TRUE(pendant.InputOpen()) << "the hot key leaves the pendant open";
    SendStep("release");
    ASSERT_TRUE(harness::SendHotKey());
    PumpFor(500);
    SendStep("key 0B 00 00");
    EXPECT_TRUE(hooks.WaitCalls(HravikKeyBoardProc, before + 1, kCallMs)) << "unlock did not forward";
}

TEST_F(DriverLock, HeldKeyReleasedOnceOnHotKeyLock) {
    StartConnected();
    LONG mark = HoldKey();
    ASSERT_TRUE(harness::SendHotKey());
    EXPECT_TRUE(WaitUntil([&] { return Releases(mark) >= 1; }, kCallMs));
    PumpFor(300);
    EXPECT_EQ(Releases(mark), 1);
}

// The menu is picked with a SendInput click on its row; where that cannot work the harness posts
// the item's command and says why, and the test reports it.
TEST_F(DriverLock, MenuLocksReleasingHeldKeyAndUnlocks) {
    StartConnected();
    LONG mark = HoldKey();
    std::string note;
    harness::MenuRoute route = harness::ChooseTrayMenuItem(driver.Pid(), driver.Window(), harness::kMenuLock,
                                                           harness::kLockCommand, &note);
    ASSERT_NE(route, harness::MenuRoute::kFailed);
    if (route == harness::MenuRoute::kPostedCommand) std::printf("menu lock posted as a command: %s\n", note.c_str());
    EXPECT_TRUE(WaitUntil([&] { return !pendant.InputOpen(); }, kCallMs)) << "menu lock closes the pendant";
    EXPECT_TRUE(WaitUntil([&] { return Releases(mark) >= 1; }, kCallMs));
    PumpFor(300);
    EXPECT_EQ(Releases(mark), 1);

    note.clear();
    route = harness::ChooseTrayMenuItem(driver.Pid(), driver.Window(), harness::kMenuLock, harness::kLockCommand,
                                        &note);
    if (route == harness::MenuRoute::kPostedCommand) std::printf("menu unlock posted as a command: %s\n", note.c_str());
    ASSERT_TRUE(WaitUntil([&] { return pendant.InputOpen(); }, kCallMs)) << "menu unlock reopens the pendant";
    LONG before = hooks.Calls(HravikKeyBoardProc);
    SendStep("key 0C 00 00");
    EXPECT_TRUE(hooks.WaitCalls(HravikKeyBoardProc, before + 1, kCallMs));
}

// ---- exit ----

class DriverExit : public DriverE2e {};

TEST_F(DriverExit, MenuExitEndsDriverAndClosesPipes) {
    StartConnected();
    std::string note;
    harness::MenuRoute route = harness::ChooseTrayMenuItem(driver.Pid(), driver.Window(), harness::kMenuExit,
                                                           harness::kExitCommand, &note);
    ASSERT_NE(route, harness::MenuRoute::kFailed);
    if (route == harness::MenuRoute::kPostedCommand) std::printf("menu exit posted as a command: %s\n", note.c_str());
    EXPECT_TRUE(driver.WaitExit(5000)) << "the driver did not exit";
    EXPECT_TRUE(WaitUntil([&] { return !pendant.InputOpen(); }, 2000));
    EXPECT_EQ(pendant.Count("feature connected"), pendant.Count("feature closed"));
}

TEST_F(DriverExit, HeldKeyReleasedOnceOnExit) {
    StartConnected();
    LONG mark = HoldKey();
    PostMessageA(driver.Window(), WM_COMMAND, harness::kExitCommand, 0);
    ASSERT_TRUE(driver.WaitExit(5000));
    EXPECT_EQ(Releases(mark), 1);
}

}  // namespace
