// Dialog mode tracking: which NcStudio dialog is open, as the hook library is told it. The
// stand-in NcStudio runs as a real child process and is hooked before each test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/driver_state.h"
#include "hravik_shared.h"
#include "host/hook_library.h"
#include "host/host_tracker.h"
#include "host_client.h"
#include "pendant/pendant_device.h"
#include "support/test_util.h"

namespace host_dialogs_test {

using hooklib::PCS_JIGGLE;
using hooklib::PCS_NORMAL;
using hooklib::PCS_OKCANCEL;
using hooklib::PCS_PARAMETERS;
using hooklib::PCS_REFERENCE;
using hooklib::PCS_YESNO;

HravikShared* Records() {
    static HravikShared* shared = HravikAttach();
    return shared;
}

LONG Calls(int exportId) { return Records()->callCount[exportId]; }

ULONGLONG Arg(HWND window) { return static_cast<ULONGLONG>(reinterpret_cast<UINT_PTR>(window)); }

LONG PcStates(HWND window, int code) {
    LONG n = 0;
    HravikRecord r;
    for (LONG i = 0; i < Records()->count; ++i)
        if (HravikReadRecord(Records(), i, &r) && r.exportId == HravikSetPcState && r.args[0] == Arg(window) &&
            r.args[1] == static_cast<ULONGLONG>(code))
            ++n;
    return n;
}

class HostDialogs : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(Records(), nullptr);
        HravikReset(Records());
        g_state.enabled = 1;
        g_state.hostActive = 0;
        g_state.hostWindow = nullptr;
        g_state.hostThreadId = 0;
        g_state.hostExePath.clear();
        g_state.statusText = kStatusDefault;
        g_state.modeByte = 0;
        g_pendant.connected = 1;

        ASSERT_TRUE(host.Start(ExeDir() + "ncstudio-v5.exe"));
        main = host.MainWindow();
        // Hooked on the first tick, active on the second.
        Tick("main");
        Tick("main");
        ASSERT_EQ(g_state.hostWindow, main);
        ASSERT_EQ(g_state.hostActive, 1);
        HravikReset(Records());
    }
    void TearDown() override { g_pendant.connected = 0; }

    // One timer tick with this window of the host in front.
    void Tick(const char* label) {
        ASSERT_TRUE(host.Front(label)) << label;
        tracker.Track(GetForegroundWindow());
    }

    HWND Open(const std::string& label, const std::string& kind, DWORD* thread = nullptr) {
        HWND window = host.Open(label, kind, thread);
        EXPECT_NE(window, nullptr) << kind;
        return window;
    }

    HostProcess host;
    HWND main = nullptr;
    ::HostTracker tracker;
};

TEST_F(HostDialogs, MainWindowInFrontReportsNormalTwicePerTick) {
    g_state.modeByte = 0x80;
    Tick("main");
    EXPECT_EQ(PcStates(main, PCS_NORMAL), 2);
    EXPECT_EQ(g_state.modeByte, 0);
    Tick("main");
    EXPECT_EQ(PcStates(main, PCS_NORMAL), 4);
    EXPECT_EQ(Calls(HravikSetPcState), 4);
}

TEST_F(HostDialogs, JiggleIsReportedEveryTickAndHoldsNormalBack) {
    HWND jiggle = Open("j", "jiggle");
    Tick("main");
    // The host-in-front report comes before the detection finds the dialog.
    EXPECT_EQ(PcStates(main, PCS_NORMAL), 1);
    EXPECT_EQ(PcStates(jiggle, PCS_JIGGLE), 1);
    EXPECT_EQ(g_state.modeByte, 0x80);
    EXPECT_EQ(tracker.dialogHold, 4);

    Tick("main");
    EXPECT_EQ(PcStates(main, PCS_NORMAL), 1);
    EXPECT_EQ(PcStates(jiggle, PCS_JIGGLE), 2);
    EXPECT_EQ(tracker.dialogHold, 4);
}

TEST_F(HostDialogs, NormalReturnsOnceTheDialogHasClosed) {
    Open("j", "jiggle");
    Tick("main");
    ASSERT_TRUE(host.Close("j"));
    HravikReset(Records());

    // The held-back count is spent by the host-in-front step; the detection reports normal.
    Tick("main");
    EXPECT_EQ(PcStates(main, PCS_NORMAL), 1);
    EXPECT_EQ(g_state.modeByte, 0);
    Tick("main");
    EXPECT_EQ(PcStates(main, PCS_NORMAL), 3);
}

TEST_F(HostDialogs, ReferenceWinsOverWorkCoordinate) {
    HWND reference = Open("r", "bkref");
    HWND work = Open("w", "workcoord");
    Tick("main");
    EXPECT_EQ(PcStates(reference, PCS_REFERENCE), 1);
    EXPECT_EQ(PcStates(work, PCS_OKCANCEL), 0);
    EXPECT_EQ(g_state.modeByte, 0x80);
}

TEST_F(HostDialogs, SpacedCapitalBkrefTitleCountsAsReference) {
    HWND reference = Open("r", "BKREF");
    Tick("main");
    EXPECT_EQ(PcStates(reference, PCS_REFERENCE), 1);
    EXPECT_EQ(g_state.modeByte, 0x80);
}

TEST_F(HostDialogs, WorkCoordinateAloneReportsOkCancel) {
    HWND work = Open("w", "workcoord");
    Tick("main");
    EXPECT_EQ(PcStates(work, PCS_OKCANCEL), 1);
    EXPECT_EQ(PcStates(main, PCS_NORMAL), 1);
    EXPECT_EQ(g_state.modeByte, 0x80);
}

TEST_F(HostDialogs, ParametersLeave0x20InModeByte) {
    HWND parameters = Open("p", "paramters");
    Tick("main");
    EXPECT_EQ(PcStates(parameters, PCS_PARAMETERS), 1);
    EXPECT_EQ(g_state.modeByte, 0x20);
}

TEST_F(HostDialogs, JiggleComesBeforeReferenceAndParameters) {
    HWND jiggle = Open("j", "jiggle");
    Open("r", "bkref");
    Open("p", "paramters");
    Tick("main");
    EXPECT_EQ(PcStates(jiggle, PCS_JIGGLE), 1);
    EXPECT_EQ(Calls(HravikSetPcState), 2);  // the other one: normal from the host-in-front step
}

TEST_F(HostDialogs, PlainNcStudioWindowIsNoHit) {
    Open("n", "plain-ncstudio");
    HWND parameters = Open("p", "paramters");
    Tick("main");
    EXPECT_EQ(PcStates(parameters, PCS_PARAMETERS), 1);
    ASSERT_TRUE(host.Close("p"));
    HravikReset(Records());
    tracker.dialogHold = 0;
    Tick("main");
    EXPECT_EQ(PcStates(main, PCS_NORMAL), 2);
}

TEST_F(HostDialogs, MessageBoxButtonsChooseTheMode) {
    struct Case {
        const char* buttons;
        int code;
    } cases[] = {{"yes,no,cancel", PCS_YESNO}, {"yes,cancel", PCS_OKCANCEL}, {"ok", PCS_OKCANCEL}, {"yes", PCS_YESNO}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buttons);
        HWND box = Open("box", std::string("msgbox ") + c.buttons);
        HravikReset(Records());
        Tick("box");
        EXPECT_EQ(PcStates(box, c.code), 1);
        EXPECT_EQ(Calls(HravikSetPcState), 1);
        EXPECT_EQ(g_state.modeByte, 0x80);
        ASSERT_TRUE(host.Close("box"));
    }
}

TEST_F(HostDialogs, MessageBoxWithoutButtonsIsAHitWithoutReport) {
    Open("box", "msgbox none");
    Tick("main");
    // Only the host-in-front step's report; the detection found a dialog and held normal back.
    EXPECT_EQ(PcStates(main, PCS_NORMAL), 1);
    EXPECT_EQ(Calls(HravikSetPcState), 1);
    EXPECT_EQ(tracker.dialogHold, 4);
}

TEST_F(HostDialogs, WindowInFrontIsClassifiedByItsButtons) {
    HWND plain = Open("plain", "popup");
    Tick("plain");
    EXPECT_EQ(Calls(HravikSetPcState), 1);
    EXPECT_EQ(PcStates(main, PCS_NORMAL), 1);
    ASSERT_TRUE(host.Close("plain"));

    HWND withOk = Open("ok", "popup ok");
    HravikReset(Records());
    Tick("ok");
    EXPECT_EQ(PcStates(withOk, PCS_OKCANCEL), 1);
    EXPECT_EQ(Calls(HravikSetPcState), 1);
    EXPECT_NE(plain, withOk);
}

TEST_F(HostDialogs, NcStudioDialogIsClassifiedOnceWhileHostThreadIsInFront) {
    HWND box = Open("box", "msgbox yes,no");
    for (int i = 0; i < 3; ++i) Tick("box");
    EXPECT_EQ(PcStates(box, PCS_YESNO), 1);
    EXPECT_EQ(PcStates(main, PCS_NORMAL), 0);
    EXPECT_EQ(tracker.lastExamined, box);
}

TEST_F(HostDialogs, NcStudioDialogIsClassifiedEveryTickWhileAnotherThreadIsInFront) {
    HWND box = Open("box", "msgbox yes,no");
    HWND other = CreateWindowExA(0, "Static", "Notes", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 100, nullptr,
                                 nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(other, nullptr);
    SetForegroundWindow(other);
    ASSERT_TRUE(WaitUntil([&] { return GetForegroundWindow() == other; }, 3000));
    for (int i = 0; i < 3; ++i) tracker.Track(GetForegroundWindow());
    DestroyWindow(other);
    EXPECT_EQ(PcStates(box, PCS_YESNO), 3);
    EXPECT_EQ(PcStates(main, PCS_NORMAL), 0);
}

TEST_F(HostDialogs, FoundWindowOfAnotherThreadHoldsLaterProbesOffSilently) {
    DWORD jiggleThread = 0;
    HWND jiggle = Open("j", "thread jiggle", &jiggleThread);
    ASSERT_NE(jiggleThread, host.UiThread());
    HWND parameters = Open("p", "paramters");
    g_state.modeByte = 0x80;

    Tick("p");

    EXPECT_EQ(PcStates(jiggle, PCS_JIGGLE), 0);
    EXPECT_EQ(PcStates(parameters, PCS_PARAMETERS), 0);
    EXPECT_EQ(Calls(HravikSetPcState), 0);
    EXPECT_EQ(g_state.modeByte, 0x80);
    EXPECT_EQ(tracker.dialogHold, 4);
}

}  // namespace host_dialogs_test
