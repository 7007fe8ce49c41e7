// The product, veltra.exe, as its own process on the real HID calls: the test HID device plays the
// pendant, the stand-in NcStudio the host, and the stand-in hook library records what reaches it.
// Everything is watched from outside, as an operator would: keys, display frames, windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/crash_handler.h"
#include "host_client.h"
#include "support/harness.h"
#include "support/test_util.h"

using harness::DriverProcess;

namespace {

constexpr DWORD kReconnectMs = 10000;  // two status refreshes are 4.4 s
constexpr DWORD kCallMs = 3000;

using KeyCalls = std::vector<std::pair<uint32_t, uint32_t>>;

// One running set for a suite. A test that passes hands the driver on, and the next test that
// wants a connected driver takes it up if keys still reach the host; a failed test ends it. Every
// test begins with no host, no foreign device, the pendant's key released, and the device and the
// hook library answering normally.
class DriverE2e : public ::testing::Test {
protected:
    static void SetUpTestSuite() { session_ = new harness::DriverSession; }
    static void TearDownTestSuite() {
        delete session_;
        session_ = nullptr;
    }

    DriverE2e()
        : hooks(session_->hooks), pendant(session_->pendant), driver(session_->driver), host(session_->host) {}

    void SetUp() override {
        host.Quit();
        pendant.UnplugForeign();
        pendant.Release();
        pendant.Bus().Reset();
        ASSERT_NE(hooks.Block(), nullptr) << "the hook library's record block could not be mapped";
        HravikResetControls(hooks.Block());
    }
    void TearDown() override {
        if (HasFailure()) EndDriver();  // it may be locked or hung: no later test builds on it
    }

    static std::string Exe(const char* name) { return ExeDir() + name; }

    void EndDriver() {
        if (driver.Running() && !driver.Exit()) driver.Kill();
    }
    // A driver started afresh with nothing plugged, its window up.
    bool StartDriver() {
        EndDriver();
        return pendant.Unplug() && session_->StartDriver();
    }
    // The pendant plugged and the driver holding it and forwarding keys; the mark after the probe.
    LONG StartConnected() {
        if (!driver.Running() || !pendant.Plug() || !Forwarding(kReconnectMs)) {
            EndDriver();
            EXPECT_TRUE(session_->StartConnected()) << "the driver never held the pendant";
        }
        return hooks.Mark();
    }
    void StartHostInFront() {
        LONG mark = hooks.Mark();
        if (session_->StartHostInFront()) return;
        std::string calls;
        for (const HravikRecord& r : hooks.Since(mark)) calls += std::string(" ") + HravikExportName(r.exportId);
        DWORD pid = 0;
        HWND front = GetForegroundWindow();
        GetWindowThreadProcessId(front, &pid);
        FAIL() << "the host was not taken up; library calls since it started:" << (calls.empty() ? " none" : calls)
               << "; in front: \"" << harness::TextOf(front) << "\" (class " << harness::ClassOf(front)
               << ") of process " << pid << " (host "
               << host.Pid() << ", driver " << driver.Pid() << ")";
    }
    bool Forwarding(DWORD timeoutMs = 8000) { return session_->Forwarding(timeoutMs); }
    bool KeyReaches(uint8_t code, DWORD timeoutMs = 3000) { return session_->KeyReaches(code, timeoutMs); }
    LONG HoldKey() { return session_->HoldKey(); }

    // The host is told once that the key held since the mark went up, and nothing after.
    void ExpectReleasedOnce(LONG mark) {
        EXPECT_TRUE(WaitUntil([&] { return hooks.KeyCalls(mark).size() >= 2; }, kCallMs));
        PumpFor(300);
        KeyCalls expected = {{0x100, 0x00340012}, {0x101, 0}};
        EXPECT_EQ(hooks.KeyCalls(mark), expected);
    }

    void ChooseFromTrayMenu(harness::MenuItem item, UINT command) {
        std::string note;
        harness::MenuRoute route = harness::ChooseTrayMenuItem(driver.Pid(), driver.Window(), item, command, &note);
        ASSERT_NE(route, harness::MenuRoute::kFailed);
        if (route == harness::MenuRoute::kPostedCommand) std::printf("menu item posted as a command: %s\n", note.c_str());
    }

    static harness::DriverSession* session_;
    harness::HookRecords& hooks;
    harness::Pendant& pendant;
    DriverProcess& driver;
    HostProcess& host;
};
harness::DriverSession* DriverE2e::session_ = nullptr;

// ---- start-up ----

class DriverStartup : public DriverE2e {};

TEST_F(DriverStartup, SecondInstanceExitsAtOnceWithoutWindow) {
    ASSERT_TRUE(StartDriver());
    DriverProcess second;
    ASSERT_TRUE(second.Start(Exe("veltra.exe")));
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
}

// Wine's own HID keyboard and mouse are on the bus too: discovery passes over them.
TEST_F(DriverStartup, FindsThePendantAmongOtherHidDevicesAndForwardsKeys) {
    LONG mark = StartConnected();
    for (uint8_t b : {0x12, 0x00, 0x01, 0x00}) pendant.Key(b, b ? 0x02 : 0, b ? 0x34 : 0);
    ASSERT_TRUE(WaitUntil([&] { return hooks.KeyCalls(mark).size() >= 4; }, kCallMs));
    KeyCalls expected = {{0x100, 0x00340212}, {0x101, 0}, {0x100, 0x00340201}, {0x101, 0}};
    EXPECT_EQ(hooks.KeyCalls(mark), expected);
}

TEST_F(DriverStartup, RunsWithoutPendantAndConnectsOncePluggedIn) {
    ASSERT_TRUE(StartDriver());
    PumpFor(2500);  // past the first status refresh
    EXPECT_TRUE(driver.Running());
    ASSERT_TRUE(pendant.Plug());
    EXPECT_TRUE(Forwarding(kReconnectMs)) << "no connection, or still locked";
}

// A hid.dll and a version.dll planted beside the driver, which the loader would take before
// System32's: neither is ever loaded (each would leave a marker beside itself), and the pendant
// works through the system's own.
TEST_F(DriverStartup, LibrariesPlantedBesideItAreNeverLoaded) {
    EndDriver();
    const std::string folder = ExeDir() + "..\\beside\\planted\\";
    for (const char* name : {"hid.dll", "version.dll"}) {
        ASSERT_NE(GetFileAttributesA((folder + name).c_str()), INVALID_FILE_ATTRIBUTES) << folder << name;
        DeleteFileA((folder + name + ".loaded").c_str());
    }
    EXPECT_TRUE(session_->StartConnected(folder + "veltra.exe")) << "the pendant did not work from there";
    for (const char* name : {"hid.dll", "version.dll"})
        EXPECT_EQ(GetFileAttributesA((folder + name + ".loaded").c_str()), INVALID_FILE_ATTRIBUTES)
            << "the planted " << name << " was loaded";
    EndDriver();  // the next test starts the usual copy
}

// veltra.exe /diagnose on a machine with the pendant and NcStudio 8.x: the pendant's two
// interfaces are marked among Wine's own HID devices, and the host would be hooked.
TEST_F(DriverStartup, DiagnoseReportsThePendantAndNcStudio) {
    EndDriver();
    ASSERT_TRUE(pendant.Plug());
    ASSERT_TRUE(host.Start(Exe("ncstudio-v8.exe")));
    const std::string output = ExeDir() + "diagnose-e2e.txt";
    harness::ChildProcess diagnose;
    ASSERT_TRUE(diagnose.Start("\"" + Exe("veltra.exe") + "\" /diagnose", nullptr, nullptr, nullptr, output.c_str()));
    ASSERT_EQ(diagnose.Wait(20000), 0u);
    std::string report = ReadFileText(output);
    DeleteFileA(output.c_str());
    EXPECT_NE(report.find("Pendant (vendor 10CE product EB93): found"), std::string::npos) << report;
    EXPECT_NE(report.find("vendor 845E"), std::string::npos) << "Wine's own HID devices are listed\n" << report;
    EXPECT_NE(report.find("<- the pendant's feature interface"), std::string::npos) << report;
    EXPECT_NE(report.find("<- the pendant's input interface"), std::string::npos) << report;
    EXPECT_NE(report.find("ncstudio-v8.exe, product version 8.5.12.0: would be hooked as 8.x"), std::string::npos)
        << report;
    EXPECT_NE(report.find("all nine exports"), std::string::npos) << report;
}

// ---- keys and the link ----

class DriverKeys : public DriverE2e {};

// A device of another maker comes and goes while the operator holds a key: the working link is
// left alone, so the jog goes on until the pendant's own release, and no key of that device
// reaches the host.
TEST_F(DriverKeys, ForeignDevicePluggedAndRemovedWhileConnected) {
    StartConnected();
    LONG mark = HoldKey();
    ASSERT_TRUE(pendant.PlugForeign());
    EXPECT_TRUE(pendant.Bus().FeedKey(0x55, 0, 0, testhid::kForeignInput));
    ASSERT_TRUE(pendant.UnplugForeign());
    PumpFor(2500);  // past a status refresh
    EXPECT_EQ(hooks.KeyCalls(mark), (KeyCalls{{0x100, 0x00340012}})) << "the held key was released under the operator";
    pendant.Release();
    EXPECT_TRUE(WaitUntil([&] { return hooks.KeyCalls(mark).size() >= 2; }, kCallMs));
    ASSERT_TRUE(Forwarding(kReconnectMs));
    for (const HravikRecord& r : hooks.Since(mark, HravikKeyBoardProc))
        EXPECT_NE(r.args[1], 0x55u) << "a key of the foreign device reached the host";
}

// The HID class keeps 32 reports unless asked for more: a host busy for 100 ms while the wheel
// sends a report every millisecond must cost none of them.
TEST_F(DriverKeys, NoReportLostWhileKeyBoardProcStalls) {
    StartConnected();
    LONG mark = hooks.Mark();
    const int kReports = 150;
    hooks.Block()->hangMs[HravikKeyBoardProc] = 100;
    for (int i = 0; i < kReports; ++i) {
        pendant.Key(static_cast<uint8_t>(1 + i % 200), static_cast<uint8_t>(i / 200), 0x01);
        if (i == 0) {
            // The stall has begun once the first report is inside KeyBoardProc.
            ASSERT_TRUE(WaitUntil([&] { return !hooks.KeyCalls(mark).empty(); }, kCallMs));
            hooks.Block()->hangMs[HravikKeyBoardProc] = 0;
        }
        Sleep(1);
    }
    ASSERT_TRUE(WaitUntil([&] { return hooks.KeyCalls(mark).size() >= kReports; }, 10000))
        << hooks.KeyCalls(mark).size() << " of " << kReports << " reached the host";
    KeyCalls calls = hooks.KeyCalls(mark);
    for (int i = 0; i < kReports; ++i)
        ASSERT_EQ(calls[i].second, (1u + i % 200) | (static_cast<uint32_t>(i / 200) << 8) | 0x10000u) << i;
    pendant.Release();
}

TEST_F(DriverKeys, HeldKeyReleasedOnceOnUnplug) {
    StartConnected();
    LONG mark = HoldKey();
    ASSERT_TRUE(pendant.Unplug());
    ExpectReleasedOnce(mark);
}

// The log says what happened to the link, with the real device's paths and the real read error.
TEST_F(DriverKeys, ReconnectsAfterReplugWithinTwoRefreshPeriodsAndLogsIt) {
    EndDriver();  // its exit would be logged after the clear
    ClearLog();
    StartConnected();
    ASSERT_TRUE(pendant.Unplug());
    PumpFor(500);
    DWORD plugged = GetTickCount();
    ASSERT_TRUE(pendant.Plug());
    ASSERT_TRUE(Forwarding(kReconnectMs)) << "no reconnection after replug";
    EXPECT_LT(GetTickCount() - plugged, 6000u);
    ASSERT_TRUE(driver.Exit());
    std::vector<std::string> lines = LogLines();
    std::vector<std::string> connected = LinesWith(lines, "pendant connected: feature ");
    ASSERT_EQ(connected.size(), 2u) << "at the first refresh and after the replug";
    EXPECT_NE(connected[0].find("vid_10ce&pid_eb93&mi_00"), std::string::npos) << connected[0];
    EXPECT_NE(connected[0].find(", input "), std::string::npos) << connected[0];
    std::vector<std::string> lost = LinesWith(lines, "pendant lost: ");
    ASSERT_EQ(lost.size(), 1u);
    // The failed read and the removal notice race; the first says it.
    EXPECT_TRUE(lost[0].find("read failed") != std::string::npos || lost[0].find("removed") != std::string::npos)
        << lost[0];
}

// The host holds the reader 3 s in a key-down while the operator lets go, presses another key and
// lets go of it: the machine must not jog to presses seconds old. The host sees the first key go
// down and up, and nothing of the second.
TEST_F(DriverKeys, KeysPressedWhileTheHostStalledAreNotReplayed) {
    StartConnected();
    HravikShared* block = hooks.Block();
    block->hangArg0[HravikKeyBoardProc] = 0x100;
    block->hangMs[HravikKeyBoardProc] = 3000;
    LONG mark = HoldKey();
    pendant.Release();
    pendant.Key(0x21);
    pendant.Release();
    ASSERT_TRUE(WaitUntil([&] { return hooks.KeyCalls(mark).size() >= 2; }, 6000));
    PumpFor(500);
    KeyCalls expected = {{0x100, 0x00340012}, {0x101, 0}};
    EXPECT_EQ(hooks.KeyCalls(mark), expected);
    HravikResetControls(block);
    EXPECT_TRUE(KeyReaches(0x05)) << "keys pressed after the stall go through";
}

// The PC sleeps with a key held, the pendant kept or replugged meanwhile: the key goes up at the
// suspend, nothing is forwarded while asleep, and the resume reconnects without waiting for a
// device change or the next refresh.
TEST_F(DriverKeys, SleepReleasesTheKeyAndTheWakeReconnects) {
    for (bool replugged : {false, true}) {
        SCOPED_TRACE(replugged ? "replugged during the sleep" : "kept during the sleep");
        StartConnected();
        LONG mark = HoldKey();
        DWORD_PTR ignored = 0;
        SendMessageTimeoutA(driver.Window(), WM_POWERBROADCAST, PBT_APMSUSPEND, 0, SMTO_ABORTIFHUNG, 2000, &ignored);
        ASSERT_TRUE(WaitUntil([&] { return hooks.KeyCalls(mark).size() >= 2; }, kCallMs)) << "no key-up at the suspend";
        pendant.Release();
        if (replugged) {
            ASSERT_TRUE(pendant.Unplug());
            ASSERT_TRUE(pendant.Plug());
        }
        EXPECT_FALSE(KeyReaches(0x0C, 500)) << "a key was forwarded while asleep";
        SendMessageTimeoutA(driver.Window(), WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0, SMTO_ABORTIFHUNG, 2000,
                            &ignored);
        EXPECT_TRUE(Forwarding(kReconnectMs)) << "no keys after the wake";
        KeyCalls held = {{0x100, 0x00340012}, {0x101, 0}};
        KeyCalls calls = hooks.KeyCalls(mark);
        calls.resize(std::min<size_t>(calls.size(), 2));
        EXPECT_EQ(calls, held);
    }
}

// ---- display frame (needs the host in front) ----

class DriverDisplay : public DriverE2e {};

TEST_F(DriverDisplay, FrameFollowsStepKeyAndReplug) {
    StartConnected();
    StartHostInFront();
    uint32_t mark = pendant.Mark();
    hooks.Block()->result[HravikGetMaStep] = 0x03;
    ASSERT_TRUE(pendant.WaitFrame(0x03, mark, 3000)) << "step change";
    mark = pendant.Mark();
    PumpFor(400);
    EXPECT_TRUE(pendant.Frames(mark).empty()) << "an unchanged frame is not sent again by itself";
    ASSERT_TRUE(KeyReaches(0x04));
    EXPECT_TRUE(pendant.WaitFrame(0x03, mark, 3000)) << "a key resends the frame";

    ASSERT_TRUE(pendant.Unplug());
    PumpFor(300);
    mark = pendant.Mark();
    ASSERT_TRUE(pendant.Plug());
    EXPECT_TRUE(pendant.WaitFrame(0x03, mark, kReconnectMs)) << "a replugged pendant shows the frame again";
}

TEST_F(DriverDisplay, HostDialogModeReachesFrame) {
    StartConnected();
    StartHostInFront();
    hooks.Block()->result[HravikGetMaStep] = 0x01;
    ASSERT_TRUE(pendant.WaitFrame(0x01, 0, 3000));
    ASSERT_TRUE(host.Open("d", "jiggle") != nullptr);
    EXPECT_TRUE(pendant.WaitFrame(0x81, 0, 3000)) << "jiggle must set bit 7";
    host.Close("d");
    host.Front("main");
    uint32_t mark = pendant.Mark();
    EXPECT_TRUE(pendant.WaitFrame(0x01, mark, 3000)) << "closing it clears bit 7";
}

// A pendant that refuses every feature report is dropped and taken again at each refresh; the
// driver keeps answering and keys still go through between the refusals.
TEST_F(DriverDisplay, PendantRefusingFeatureReports) {
    StartConnected();
    StartHostInFront();
    ASSERT_TRUE(pendant.Bus().SetBehaviour(0, testhid::kRefuseAll));
    for (int i = 0; i < 4; ++i) {
        hooks.Block()->result[HravikGetMaStep] = 10 + i;  // each change is a frame the pendant refuses
        PumpFor(300);
    }
    EXPECT_TRUE(driver.Answers());
    ASSERT_TRUE(pendant.Bus().SetBehaviour(0, 0));
    uint32_t mark = pendant.Mark();
    hooks.Block()->result[HravikGetMaStep] = 0x21;
    EXPECT_TRUE(pendant.WaitFrame(0x21, mark, kReconnectMs)) << "the display came back once it accepts";
}

// ---- lock ----

class DriverLock : public DriverE2e {};

TEST_F(DriverLock, HotKeyLocksReleasingHeldKeyAndUnlocks) {
    StartConnected();
    LONG mark = HoldKey();
    ASSERT_TRUE(harness::SendHotKey());
    ExpectReleasedOnce(mark);
    pendant.Release();
    EXPECT_FALSE(KeyReaches(0x0A, 600)) << "a locked driver forwarded a key";
    ASSERT_TRUE(harness::SendHotKey());
    EXPECT_TRUE(Forwarding(kCallMs)) << "the hot key did not unlock";
}

// The menu is picked with a SendInput click on its row; where that cannot work the harness posts
// the item's command and says why.
TEST_F(DriverLock, MenuLocksReleasingHeldKeyAndUnlocks) {
    StartConnected();
    LONG mark = HoldKey();
    ChooseFromTrayMenu(harness::kMenuLock, harness::kLockCommand);
    ExpectReleasedOnce(mark);
    pendant.Release();
    ChooseFromTrayMenu(harness::kMenuLock, harness::kLockCommand);
    EXPECT_TRUE(Forwarding(kCallMs)) << "the menu did not unlock";
}

// Only the operator lifts a lock: not a foreign device leaving, not the pendant coming back.
TEST_F(DriverLock, OperatorLockHoldsThroughDeviceChanges) {
    StartConnected();
    for (bool byMenu : {true, false}) {
        SCOPED_TRACE(byMenu ? "locked from the menu" : "locked by the hot key");
        if (byMenu) ChooseFromTrayMenu(harness::kMenuLock, harness::kLockCommand);
        else ASSERT_TRUE(harness::SendHotKey());
        PumpFor(300);
        LONG mark = hooks.Mark();
        ASSERT_TRUE(pendant.PlugForeign());
        ASSERT_TRUE(pendant.UnplugForeign());
        ASSERT_TRUE(pendant.Unplug());
        ASSERT_TRUE(pendant.Plug());
        PumpFor(2600);  // a status refresh after the replug
        EXPECT_FALSE(KeyReaches(0x0B, 500)) << "a reconnection lifted the lock";
        EXPECT_TRUE(hooks.KeyCalls(mark).empty());
        if (byMenu) ChooseFromTrayMenu(harness::kMenuLock, harness::kLockCommand);
        else ASSERT_TRUE(harness::SendHotKey());
        EXPECT_TRUE(Forwarding(kReconnectMs)) << "the operator's unlock";
    }
}

// A device that never completes a feature report: the menu's Lock returns and the exit ends.
TEST_F(DriverLock, StuckFeatureReportHoldsNeitherLockNorExit) {
    StartConnected();
    StartHostInFront();
    ASSERT_TRUE(pendant.Bus().SetBehaviour(0, testhid::kHoldFeatures));
    uint32_t mark = pendant.Mark();
    hooks.Block()->result[HravikGetMaStep] = 0x07;
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::vector<testhid::LogEntry> log;
            pendant.Bus().FeatureLog(log, mark);
            for (const testhid::LogEntry& e : log)
                if (e.outcome == TESTHID_HELD) return true;
            return false;
        },
        3000))
        << "no frame was held";
    DWORD start = GetTickCount();
    DWORD_PTR result = 0;
    EXPECT_TRUE(SendMessageTimeoutA(driver.Window(), WM_COMMAND, harness::kLockCommand, 0, SMTO_ABORTIFHUNG,
                                    3000, &result))
        << "the menu's Lock did not return";
    ASSERT_TRUE(driver.Exit(3000)) << "the exit hung on the stuck report";
    EXPECT_LT(GetTickCount() - start, 3000u);
}

// ---- exit ----

class DriverExit : public DriverE2e {};

TEST_F(DriverExit, MenuExitEndsDriverReleasingHeldKey) {
    StartConnected();
    LONG mark = HoldKey();
    ChooseFromTrayMenu(harness::kMenuExit, harness::kExitCommand);
    EXPECT_EQ(driver.Wait(5000), 0u) << "the driver did not end cleanly";
    KeyCalls expected = {{0x100, 0x00340012}, {0x101, 0}};
    EXPECT_EQ(hooks.KeyCalls(mark), expected);
}

// With nothing owed to the host (its key-up already handed over, however slow the call), the exit
// does not wait for the threads inside the library: a hung GetMaStep, a key-up that takes 5 s.
TEST_F(DriverExit, ExitWithNothingOwedLeavesTheHungLibraryBehind) {
    StartConnected();
    StartHostInFront();
    HravikShared* block = hooks.Block();
    LONG steps = hooks.Calls(HravikGetMaStep);
    block->hangMs[HravikGetMaStep] = 5000;
    ASSERT_TRUE(hooks.WaitCalls(HravikGetMaStep, steps + 1, 3000));
    block->hangArg0[HravikKeyBoardProc] = 0x101;
    block->hangMs[HravikKeyBoardProc] = 5000;
    LONG keys = hooks.Calls(HravikKeyBoardProc);
    pendant.Key(0x31);
    pendant.Release();
    ASSERT_TRUE(hooks.WaitCalls(HravikKeyBoardProc, keys + 2, 3000));
    DWORD start = GetTickCount();
    EXPECT_TRUE(driver.Exit(3000));
    EXPECT_LT(GetTickCount() - start, 1000u) << "the exit waited for the hook library";
}

// A key-down still inside a slow KeyBoardProc when Exit is chosen: the process waits for it to
// come back and hand over the key-up, up to 3 s; past that it ends and says so. The host's
// records are read once the process has ended.
TEST_F(DriverExit, ExitDeliversTheOwedKeyUpWithinItsBound) {
    struct Row {
        LONG slowMs;
        bool released;
    };
    for (Row row : {Row{1000, true}, Row{5000, false}}) {
        SCOPED_TRACE(::testing::Message() << "KeyBoardProc slow by " << row.slowMs << " ms on the key-down");
        EndDriver();
        ClearLog();
        StartConnected();
        HravikShared* block = hooks.Block();
        block->hangArg0[HravikKeyBoardProc] = 0x100;
        block->hangMs[HravikKeyBoardProc] = row.slowMs;
        LONG mark = HoldKey();
        DWORD start = GetTickCount();
        ASSERT_TRUE(driver.Exit(8000));
        DWORD took = GetTickCount() - start;
        KeyCalls expected = {{0x100, 0x00340012}};
        if (row.released) expected.push_back({0x101, 0});
        EXPECT_EQ(hooks.KeyCalls(mark), expected);
        std::vector<std::string> undelivered = LinesWith(LogLines(), "a key-up could not be delivered");
        if (row.released) {
            EXPECT_LT(took, static_cast<DWORD>(row.slowMs) + 1000) << "the exit waited past the key-up";
            EXPECT_TRUE(undelivered.empty());
        } else {
            EXPECT_GE(took, 2900u) << "the exit gave up before its bound";
            EXPECT_LT(took, 4500u);
            EXPECT_EQ(undelivered.size(), 1u);
        }
        HravikResetControls(block);
    }
}

// Logoff and shutdown end the process without the exit command: the same exit runs, key-up and
// last lines included.
TEST_F(DriverExit, SessionEndReleasesTheKeyAndLogsTheExit) {
    EndDriver();
    ClearLog();
    StartConnected();
    LONG mark = HoldKey();
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(driver.Window(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 2000, &ignored);
    SendMessageTimeoutA(driver.Window(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000, &ignored);
    ASSERT_NE(driver.Wait(5000), STILL_ACTIVE) << "the driver outlived the session";
    KeyCalls expected = {{0x100, 0x00340012}, {0x101, 0}};
    EXPECT_EQ(hooks.KeyCalls(mark), expected);
    EXPECT_EQ(LinesWith(LogLines(), "exit: the session is ending").size(), 1u);
}

// Exit chosen while the About box is open ends the driver at once, box and all.
TEST_F(DriverExit, ExitWithTheAboutBoxOpenEndsTheDriver) {
    StartConnected();
    PostMessageA(driver.Window(), WM_COMMAND, MAKEWPARAM(harness::kAboutCommand, 0), 0);
    ASSERT_TRUE(WaitUntil([&] { return harness::FindWindowOf(driver.Pid(), "Qorin PX40 DRIVER-V2.3") != nullptr; },
                          5000))
        << "no About box";
    DWORD start = GetTickCount();
    EXPECT_TRUE(driver.Exit(3000)) << "the driver waited for the About box to be closed";
    EXPECT_LT(GetTickCount() - start, 1000u);
}

// ---- a crash ----

class DriverCrash : public DriverE2e {};

// The hook library faults on the poller thread while a key is held, or on the reader thread
// inside KeyBoardProc: the host still gets its key-up, the log says what happened, and a dump
// is left beside the log.
TEST_F(DriverCrash, CrashInTheHookLibraryReleasesTheKeyAndLeavesAReport) {
    struct Row {
        int faulting;
        const char* thread;
    };
    for (Row row : {Row{HravikGetMaStep, "poller"}, Row{HravikKeyBoardProc, "reader"}}) {
        SCOPED_TRACE(HravikExportName(row.faulting));
        EndDriver();
        ClearLog();
        size_t dumpsBefore = crash::Dumps().size();
        StartConnected();
        LONG mark = hooks.Mark();
        if (row.faulting == HravikGetMaStep) {
            StartHostInFront();
            mark = HoldKey();
            hooks.Block()->faultCalls[HravikGetMaStep] = 1;
        } else {
            hooks.Block()->faultCalls[HravikKeyBoardProc] = 1;
            mark = HoldKey();
        }
        // The dump takes seconds under Wine.
        DWORD code = driver.Wait(30000);
        std::string log;
        for (const std::string& line : LogLines()) log += "\n  " + line;
        ASSERT_EQ(code, 3u) << "the driver did not end as a crash does; its log:" << log;
        KeyCalls expected = {{0x100, 0x00340012}, {0x101, 0}};
        EXPECT_EQ(hooks.KeyCalls(mark), expected);
        std::vector<std::string> crashes = LinesWith(LogLines(), "crash: access violation");
        ASSERT_EQ(crashes.size(), 1u);
        EXPECT_NE(crashes[0].find(std::string("on the ") + row.thread + " thread"), std::string::npos) << crashes[0];
        EXPECT_NE(crashes[0].find("in hravik.dll+0x"), std::string::npos) << crashes[0];
        EXPECT_NE(crashes[0].find("the held key was released first"), std::string::npos) << crashes[0];
        std::vector<std::string> dumps = crash::Dumps();
        EXPECT_EQ(dumps.size(), std::min<size_t>(dumpsBefore + 1, crash::kDumpsKept));
        HravikResetControls(hooks.Block());
    }
}

}  // namespace
