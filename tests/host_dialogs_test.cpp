// Dialog mode tracking: which NcStudio dialog is open, as the hook library is told it. The
// stand-in NcStudio runs as a real child process and is hooked before each test.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "host_test.h"

namespace host_dialogs_test {

using hooklib::PCS_JIGGLE;
using hooklib::PCS_NORMAL;
using hooklib::PCS_OKCANCEL;
using hooklib::PCS_PARAMETERS;
using hooklib::PCS_REFERENCE;
using hooklib::PCS_YESNO;

class HostDialogs : public hosttest::HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        Start(host, "ncstudio-v5.exe");
        main = host.MainWindow();
        // Hooked on the first tick, active on the second.
        Tick("main");
        Tick("main");
        ASSERT_EQ(g_state.hostWindow, main);
        ASSERT_EQ(g_state.hostActive, 1);
        HravikReset(hooks);
    }

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
    EXPECT_EQ(tracker.dialogs.hold, 4);

    Tick("main");
    EXPECT_EQ(PcStates(main, PCS_NORMAL), 1);
    EXPECT_EQ(PcStates(jiggle, PCS_JIGGLE), 2);
    EXPECT_EQ(tracker.dialogs.hold, 4);
}

TEST_F(HostDialogs, NormalReturnsOnceTheDialogHasClosed) {
    Open("j", "jiggle");
    Tick("main");
    ASSERT_TRUE(host.Close("j"));
    HravikReset(hooks);

    // The held-back count is spent by the host-in-front step; the detection reports normal.
    Tick("main");
    EXPECT_EQ(PcStates(main, PCS_NORMAL), 1);
    EXPECT_EQ(g_state.modeByte, 0);
    Tick("main");
    EXPECT_EQ(PcStates(main, PCS_NORMAL), 3);
}

// One tick with the main window in front and these windows open: the host-in-front step reports
// normal, then the detection reports the dialog that wins (or nothing more for a dialog without
// buttons, or normal again when no dialog is open).
TEST_F(HostDialogs, OpenWindowsChooseTheReportAndTheModeByte) {
    struct Row {
        const char* what;
        std::vector<std::pair<std::string, std::string>> open;  // label, kind
        const char* reported;                                   // label; null: no second report
        int code;
        uint8_t mode;
        int hold;
    } rows[] = {
        {"reference wins over work coordinate", {{"r", "bkref"}, {"w", "workcoord"}}, "r", PCS_REFERENCE, 0x80, 4},
        {"spaced capital title", {{"r", "BKREF"}}, "r", PCS_REFERENCE, 0x80, 4},
        {"work coordinate alone", {{"w", "workcoord"}}, "w", PCS_OKCANCEL, 0x80, 4},
        {"parameters", {{"p", "paramters"}}, "p", PCS_PARAMETERS, 0x20, 4},
        {"jiggle first", {{"j", "jiggle"}, {"r", "bkref"}, {"p", "paramters"}}, "j", PCS_JIGGLE, 0x80, 4},
        {"plain NcStudio window beside parameters", {{"n", "plain-ncstudio"}, {"p", "paramters"}}, "p",
         PCS_PARAMETERS, 0x20, 4},
        {"plain NcStudio window alone", {{"n", "plain-ncstudio"}}, "main", PCS_NORMAL, 0, 0},
        {"message box without buttons", {{"box", "msgbox none"}}, nullptr, 0, 0, 4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::pair<ULONGLONG, int>> expected = {{hosttest::Arg(main), PCS_NORMAL}};
        if (row.reported && std::string(row.reported) == "main") expected.emplace_back(hosttest::Arg(main), row.code);
        for (const auto& window : row.open) {
            HWND opened = Open(window.first, window.second);
            if (row.reported && window.first == row.reported) expected.emplace_back(hosttest::Arg(opened), row.code);
        }
        HravikReset(hooks);
        tracker.dialogs.hold = 0;
        g_state.modeByte = 0x40;  // left by no report
        Tick("main");
        std::vector<std::pair<ULONGLONG, int>> reported;
        for (const HravikRecord& r : RecordsOf(HravikSetPcState))
            reported.emplace_back(r.args[0], static_cast<int>(r.args[1]));
        EXPECT_EQ(reported, expected);
        EXPECT_EQ(g_state.modeByte, row.mode);
        EXPECT_EQ(tracker.dialogs.hold, row.hold);
        for (const auto& window : row.open) ASSERT_TRUE(host.Close(window.first));
    }
}

TEST_F(HostDialogs, MessageBoxButtonsChooseTheMode) {
    struct Case {
        const char* buttons;
        int code;
    } cases[] = {{"yes,no,cancel", PCS_YESNO}, {"yes,cancel", PCS_OKCANCEL}, {"ok", PCS_OKCANCEL}, {"yes", PCS_YESNO}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buttons);
        HWND box = Open("box", std::string("msgbox ") + c.buttons);
        HravikReset(hooks);
        Tick("box");
        EXPECT_EQ(PcStates(box, c.code), 1);
        EXPECT_EQ(Calls(HravikSetPcState), 1);
        EXPECT_EQ(g_state.modeByte, 0x80);
        ASSERT_TRUE(host.Close("box"));
    }
}

TEST_F(HostDialogs, WindowInFrontIsClassifiedByItsButtons) {
    HWND plain = Open("plain", "popup");
    Tick("plain");
    EXPECT_EQ(Calls(HravikSetPcState), 1);
    EXPECT_EQ(PcStates(main, PCS_NORMAL), 1);
    ASSERT_TRUE(host.Close("plain"));

    HWND withOk = Open("ok", "popup ok");
    HravikReset(hooks);
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
    EXPECT_EQ(tracker.dialogs.hold, 4);
}

}  // namespace host_dialogs_test
