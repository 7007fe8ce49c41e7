// Host discovery and hook installation, with the stand-in NcStudio as a real child process and
// the stand-in hook library recording every call.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_test.h"

namespace host_tracker_test {

using hosttest::Arg;

// A top-level window of the test process itself: a thread and a process that are not NcStudio's.
class LocalWindow {
public:
    explicit LocalWindow(const char* title, const char* className = "Static") {
        hwnd_ = CreateWindowExA(0, className, title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 100,
                                nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    }
    ~LocalWindow() {
        if (hwnd_) DestroyWindow(hwnd_);
    }
    HWND get() const { return hwnd_; }

private:
    HWND hwnd_ = nullptr;
};

// Named as the suite; the driver's own HostTracker is ::HostTracker here.
class HostTracker : public hosttest::HostTest {
protected:
    // Brings the host's window to the front and returns the foreground window as the driver's
    // timer would see it.
    HWND Front(HostProcess& host, const char* label) {
        EXPECT_TRUE(host.Front(label)) << label;
        return GetForegroundWindow();
    }
};

TEST_F(HostTracker, NullForegroundWindowDoesNothingAtAll) {
    HostProcess host;
    Start(host, "ncstudio-v5.exe");
    HWND gone = host.MainWindow();
    host.Quit();
    // State that the presence check and the dialog detection would both change.
    g_state.hostWindow = gone;
    g_state.hostThreadId = 1234;
    tracker.dialogs.hold = 3;
    tracker.lastExamined = gone;

    tracker.Track(nullptr);

    EXPECT_EQ(g_state.hostWindow, gone);
    EXPECT_EQ(g_state.hostThreadId, 1234u);
    EXPECT_EQ(tracker.dialogs.hold, 3);
    EXPECT_EQ(tracker.lastExamined, gone);
    EXPECT_EQ(hooks->count, 0);
}

TEST_F(HostTracker, HooksVersion5HostInOrderAndReportsNormalMode) {
    HostProcess host;
    Start(host, "ncstudio-v5.exe");
    HWND main = Front(host, "main");
    ASSERT_EQ(main, host.MainWindow());
    g_state.hostIsV8 = 1;

    tracker.Track(main);

    std::vector<int> order;
    HravikRecord r;
    for (LONG i = 0; i < hooks->count; ++i)
        if (HravikReadRecord(hooks, i, &r)) order.push_back(r.exportId);
    EXPECT_EQ(order, (std::vector<int>{HravikSetVer, HravikUnHook, HravikInstallhook, HravikSetPcState,
                                       HravikSetPcState}));
    EXPECT_EQ(RecordsOf(HravikSetVer).at(0).args[0], 0u);
    EXPECT_EQ(RecordsOf(HravikInstallhook).at(0).args[0], Arg(main));
    // Once after the install, once more from the dialog detection that finds nothing open.
    EXPECT_EQ(PcStates(main, hooklib::PCS_NORMAL), 2);
    EXPECT_EQ(g_state.hostWindow, main);
    EXPECT_EQ(g_state.hostThreadId, host.UiThread());
    EXPECT_EQ(g_state.hostIsV8, 0);
    EXPECT_EQ(g_state.statusText, kStatusV5);
    EXPECT_EQ(g_state.modeByte, 0);
    std::wstring path = g_state.hostExePath;
    ASSERT_GE(path.size(), 15u);
    EXPECT_EQ(path.substr(path.size() - 15), L"ncstudio-v5.exe");
    EXPECT_EQ(tracker.lastExamined, nullptr);
    // Activation waits for the next tick with the host's thread in front.
    EXPECT_EQ(g_state.hostActive, 0);
}

// A host without a version resource is taken for the newer line.
TEST_F(HostTracker, HooksVersion8HostAndHostWithoutVersionAsVersion8) {
    for (const char* exe : {"ncstudio-v8.exe", "ncstudio-nover.exe"}) {
        SCOPED_TRACE(exe);
        Fresh();
        HostProcess host;
        Start(host, exe);
        tracker.Track(Front(host, "main"));
        ASSERT_EQ(Calls(HravikSetVer), 1);
        EXPECT_EQ(RecordsOf(HravikSetVer)[0].args[0], 1u);
        EXPECT_EQ(g_state.statusText, kStatusV8);
        EXPECT_EQ(g_state.hostIsV8, 1);
        EXPECT_EQ(g_state.hostWindow, host.MainWindow());
        EXPECT_EQ(g_state.hostThreadId, host.UiThread());
    }
}

TEST_F(HostTracker, LeavesVersion6HostUnhookedAndExaminesItOnce) {
    HostProcess host;
    Start(host, "ncstudio-v6.exe");
    g_state.hostIsV8 = 1;
    HWND main = Front(host, "main");
    ClearLog();

    tracker.Track(main);
    EXPECT_EQ(g_state.statusText, kStatusUnknown);
    EXPECT_EQ(g_state.hostIsV8, 1);
    EXPECT_EQ(hooks->count, 0);
    EXPECT_EQ(g_state.hostWindow, nullptr);
    EXPECT_EQ(tracker.lastExamined, main);

    // The same window still in front is not examined again.
    g_state.statusText = kStatusDefault;
    tracker.Track(main);
    EXPECT_EQ(g_state.statusText, kStatusDefault);

    // Examined again once another window was last examined: refused again, logged once.
    tracker.lastExamined = nullptr;
    tracker.Track(main);
    EXPECT_EQ(g_state.statusText, kStatusUnknown);
    std::vector<std::string> refused = LinesWith(LogLines(), "host ");
    ASSERT_EQ(refused.size(), 1u) << ::testing::PrintToString(refused);
    EXPECT_EQ(refused[0].rfind("host refused: pid " + std::to_string(host.Pid()) + ", ", 0), 0u)
        << refused[0];
    EXPECT_NE(refused[0].find("ncstudio-v6.exe, product version 6.1.0.0; neither 5.x nor 8.x"),
              std::string::npos)
        << refused[0];
}

TEST_F(HostTracker, NeverHooksTitleWithBackslash) {
    HostProcess host;
    Start(host, "ncstudio-v5.exe");
    ASSERT_EQ(host.Command("title main C:\\Program Files\\NcStudio"), "ok");
    tracker.Track(Front(host, "main"));
    EXPECT_EQ(hooks->count, 0);
    EXPECT_EQ(g_state.hostWindow, nullptr);
    EXPECT_EQ(g_state.statusText, kStatusDefault);
}

TEST_F(HostTracker, SkipsDialogClassEvenWithNcStudioTitle) {
    HostProcess host;
    Start(host, "ncstudio-v5.exe");
    // With a known executable, only the class test stands between this window and a hook.
    tracker.Track(Front(host, "main"));
    ASSERT_EQ(Calls(HravikInstallhook), 1);
    HravikReset(hooks);
    LocalWindow dialog("NcStudio question", "#32770");
    ASSERT_NE(dialog.get(), nullptr);
    tracker.Track(dialog.get());
    EXPECT_EQ(Calls(HravikSetVer), 0);
    EXPECT_EQ(Calls(HravikInstallhook), 0);
    EXPECT_EQ(g_state.hostWindow, host.MainWindow());
}

TEST_F(HostTracker, ClimbsFromOwnedDialogToItsOwner) {
    HostProcess host;
    Start(host, "ncstudio-v5.exe");
    HWND popup = host.Open("tools", "popup");
    ASSERT_NE(popup, nullptr);
    HWND front = Front(host, "tools");
    ASSERT_EQ(front, popup);

    tracker.Track(front);

    ASSERT_EQ(Calls(HravikInstallhook), 1);
    EXPECT_EQ(RecordsOf(HravikInstallhook)[0].args[0], Arg(host.MainWindow()));
    EXPECT_EQ(g_state.hostWindow, host.MainWindow());
    EXPECT_EQ(g_state.hostThreadId, host.UiThread());
}

TEST_F(HostTracker, ExaminesTheTenthAncestorOfADeepWindow) {
    HostProcess host;
    Start(host, "ncstudio-v5.exe");
    // Eleven levels: the climb stops at "nested 1", one short of the "NcStudio nested root".
    HWND deep11 = host.Open("deep11", "nested 11");
    ASSERT_NE(deep11, nullptr);
    tracker.Track(deep11);
    EXPECT_EQ(Calls(HravikInstallhook), 0);
    EXPECT_EQ(tracker.lastExamined, deep11);

    HWND deep10 = host.Open("deep10", "nested 10");
    ASSERT_NE(deep10, nullptr);
    ASSERT_EQ(host.LastAncestors().size(), 10u);
    HWND root = host.LastAncestors().back();
    tracker.Track(deep10);
    ASSERT_EQ(Calls(HravikInstallhook), 1);
    EXPECT_EQ(RecordsOf(HravikInstallhook)[0].args[0], Arg(root));
    EXPECT_EQ(g_state.hostWindow, root);
}

TEST_F(HostTracker, SecondHostProcessTakesTheHookOver) {
    HostProcess first, second;
    Start(first, "ncstudio-v5.exe");
    Start(second, "ncstudio-v8.exe");
    tracker.Track(Front(first, "main"));
    ASSERT_EQ(g_state.hostWindow, first.MainWindow());
    // A key held in the first host goes up there before the hook moves.
    keyfwd::ForwardKey(0x100, 0x12);

    tracker.Track(Front(second, "main"));

    std::vector<HravikRecord> calls = harness::RecordsSince(hooks, 0);
    auto at = [&](int exportId, ULONGLONG arg, int nth) {
        for (size_t i = 0; i < calls.size(); ++i)
            if (calls[i].exportId == exportId && (arg == ~0ull || calls[i].args[0] == arg) && nth-- == 0) return int(i);
        return -1;
    };
    ASSERT_GE(at(HravikKeyBoardProc, 0x101, 0), 0) << "the held key was never released";
    EXPECT_LT(at(HravikKeyBoardProc, 0x101, 0), at(HravikUnHook, ~0ull, 1)) << "released after the hook moved";
    EXPECT_EQ(Calls(HravikUnHook), 2);
    EXPECT_EQ(Calls(HravikInstallhook), 2);
    EXPECT_EQ(RecordsOf(HravikInstallhook).back().args[0], Arg(second.MainWindow()));
    EXPECT_EQ(RecordsOf(HravikSetVer).back().args[0], 1u);
    EXPECT_EQ(g_state.hostWindow, second.MainWindow());
    EXPECT_EQ(g_state.hostThreadId, second.UiThread());
    EXPECT_EQ(g_state.statusText, kStatusV8);
}

TEST_F(HostTracker, ForgetsHostThatExitedButStaysActive) {
    HostProcess host;
    Start(host, "ncstudio-v5.exe");
    HWND main = Front(host, "main");
    tracker.Track(main);
    tracker.Track(main);
    ASSERT_EQ(g_state.hostActive, 1);
    tracker.dialogs.hold = 2;
    host.Quit();
    HravikReset(hooks);

    LocalWindow other("Notes");
    tracker.Track(other.get());

    EXPECT_EQ(Calls(HravikUnHook), 1);
    EXPECT_EQ(Calls(HravikSetPcState), 0);
    EXPECT_EQ(g_state.hostWindow, nullptr);
    EXPECT_EQ(g_state.hostThreadId, 0u);
    EXPECT_EQ(g_state.hostActive, 1);
    // The detection did not run, so its countdown is as it was.
    EXPECT_EQ(tracker.dialogs.hold, 2);

    // Nothing left to forget on the next tick.
    tracker.Track(other.get());
    EXPECT_EQ(Calls(HravikUnHook), 1);
}

// A folder or a browser tab named after NcStudio, once a real host is known, must not take the
// hook away from it.
TEST_F(HostTracker, NcStudioTitleOfAnotherProgramNeverTakesTheHook) {
    HostProcess host;
    Start(host, "ncstudio-v8.exe");
    HWND main = Front(host, "main");
    tracker.Track(main);
    ASSERT_EQ(g_state.hostWindow, main);
    LONG calls = hooks->count;

    // The test process is no NcStudio, so the process walk finds nothing for this window.
    LocalWindow impostor("NcStudio lookalike");
    tracker.Track(impostor.get());

    EXPECT_EQ(Calls(HravikUnHook), 1) << "the real host's hook was taken away";
    EXPECT_EQ(Calls(HravikInstallhook), 1);
    EXPECT_EQ(Calls(HravikSetVer), 1);
    EXPECT_EQ(g_state.hostWindow, main);
    EXPECT_EQ(g_state.hostThreadId, host.UiThread());
    EXPECT_GE(hooks->count, calls);
}

// The version is read through the wide calls: a host under a folder name outside the ANSI code
// page is still told apart, and a lookup that fails for any other reason than a missing version
// resource says nothing about the version.
TEST_F(HostTracker, VersionOfHostInFolderOutsideTheCodePage) {
    ASSERT_NE(GetACP(), 936u) << "needs a code page without these characters";
    std::wstring dir = HostProcess::Wide(ExeDir()) + L"\x5bbf\x4e3b-\x6570\x63a7";
    CreateDirectoryW(dir.c_str(), nullptr);
    std::wstring copy = dir + L"\\ncstudio-v5.exe";
    ASSERT_TRUE(CopyFileW((HostProcess::Wide(ExeDir()) + L"ncstudio-v5.exe").c_str(), copy.c_str(), FALSE));
    std::string utf8(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, copy.c_str(), -1, nullptr, 0,
                                                              nullptr, nullptr)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, copy.c_str(), -1, &utf8[0], static_cast<int>(utf8.size()), nullptr, nullptr);
    utf8.pop_back();

    HostProcess host;
    ASSERT_TRUE(host.Start(utf8));
    tracker.Track(Front(host, "main"));
    EXPECT_EQ(g_state.statusText, kStatusV5);
    EXPECT_EQ(g_state.hostIsV8, 0);
    EXPECT_EQ(g_state.hostExePath, copy);
    EXPECT_EQ(g_state.hostWindow, host.MainWindow());
    host.Quit();

    g_state.hostExePath = dir + L"\\moved\\ncstudio.exe";
    g_state.statusText = kStatusDefault;
    EXPECT_FALSE(RecordHostVersion());
    EXPECT_EQ(g_state.statusText, kStatusDefault);
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(dir.c_str());
}

TEST_F(HostTracker, CandidateOfUnknownProcessIsNotHookedWithoutKnownPath) {
    LocalWindow impostor("NcStudio lookalike");
    tracker.Track(impostor.get());
    EXPECT_EQ(hooks->count, 0);
    EXPECT_EQ(g_state.hostWindow, nullptr);
    EXPECT_EQ(g_state.statusText, kStatusDefault);
}

TEST_F(HostTracker, NextTickWithHostInFrontActivatesAndEnablesMapOnce) {
    HostProcess host;
    Start(host, "ncstudio-v5.exe");
    HWND main = Front(host, "main");
    tracker.Track(main);
    ASSERT_EQ(Calls(HravikEnableMap), 0);

    tracker.Track(main);
    EXPECT_EQ(g_state.hostActive, 1);
    ASSERT_EQ(Calls(HravikEnableMap), 1);
    EXPECT_EQ(RecordsOf(HravikEnableMap)[0].args[0], 1u);
    // Not examined again: no second install.
    EXPECT_EQ(Calls(HravikInstallhook), 1);

    tracker.Track(main);
    EXPECT_EQ(Calls(HravikEnableMap), 1);
}

TEST_F(HostTracker, RefusedInstallKeepsWindowWithoutThread) {
    HostProcess host;
    Start(host, "ncstudio-v5.exe");
    hooks->result[HravikInstallhook] = 0;
    HWND main = Front(host, "main");
    tracker.Track(main);
    EXPECT_EQ(Calls(HravikInstallhook), 1);
    EXPECT_EQ(g_state.hostWindow, main);
    EXPECT_EQ(g_state.hostThreadId, 0u);
    EXPECT_EQ(tracker.lastExamined, main);
    // Refused: no normal mode from the install, and the wrapper ignores the detection's report
    // because no thread is hooked.
    EXPECT_EQ(Calls(HravikSetPcState), 0);
}

TEST_F(HostTracker, FailedUnhookEndsExaminationAndKeepsThread) {
    HostProcess host;
    Start(host, "ncstudio-v5.exe");
    hooks->result[HravikUnHook] = 0;
    g_state.hostThreadId = 4242;
    tracker.Track(Front(host, "main"));
    EXPECT_EQ(Calls(HravikSetVer), 1);
    EXPECT_EQ(Calls(HravikUnHook), 1);
    EXPECT_EQ(Calls(HravikInstallhook), 0);
    EXPECT_EQ(g_state.hostThreadId, 4242u);
    EXPECT_EQ(g_state.hostWindow, nullptr);
}

// A host already in front at start-up is seen before the first status refresh connects the
// pendant; it is hooked once the pendant is there, without the operator switching windows.
TEST_F(HostTracker, HostInFrontBeforeThePendantIsHookedOnceConnected) {
    HostProcess host;
    Start(host, "ncstudio-v5.exe");
    g_pendant.connected = 0;
    HWND main = Front(host, "main");
    tracker.Track(main);
    EXPECT_EQ(Calls(HravikUnHook), 1);
    EXPECT_EQ(Calls(HravikInstallhook), 0);
    EXPECT_EQ(g_state.hostWindow, nullptr);
    EXPECT_EQ(g_state.hostThreadId, 0u);
    tracker.Track(main);
    EXPECT_EQ(Calls(HravikUnHook), 1) << "examined again while the pendant is still missing";

    g_pendant.connected = 1;
    tracker.Track(main);
    EXPECT_EQ(Calls(HravikInstallhook), 1);
    EXPECT_EQ(g_state.hostWindow, main);
    EXPECT_EQ(g_state.hostThreadId, host.UiThread());
}

TEST_F(HostTracker, ThousandCharacterTitleIsCutSafely) {
    HostProcess host;
    Start(host, "ncstudio-v5.exe");
    // "ncstudio" beyond the 99 characters read is not seen.
    HWND hidden = host.Open("hidden", "titled " + std::string(1000, 'a') + " NcStudio");
    ASSERT_NE(hidden, nullptr);
    EXPECT_EQ(ReadTitleLower(hidden), std::string(99, 'a'));
    tracker.Track(hidden);
    EXPECT_EQ(Calls(HravikInstallhook), 0);

    // Nor is a backslash there; the window counts as NcStudio's main window.
    HWND seen = host.Open("seen", "titled NcStudio " + std::string(1000, 'b') + "\\");
    ASSERT_NE(seen, nullptr);
    std::string title = ReadTitleLower(seen);
    EXPECT_EQ(title.size(), 99u);
    EXPECT_EQ(title.substr(0, 9), "ncstudio ");
    tracker.Track(seen);
    ASSERT_EQ(Calls(HravikInstallhook), 1);
    EXPECT_EQ(g_state.hostWindow, seen);
}

TEST_F(HostTracker, LongClassNameIsCutSafely) {
    std::string name(120, 'K');
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = name.c_str();
    ASSERT_NE(RegisterClassA(&wc), 0);
    {
        LocalWindow window("plain", name.c_str());
        ASSERT_NE(window.get(), nullptr);
        EXPECT_EQ(ReadClassName(window.get()), std::string(54, 'K'));
    }
    UnregisterClassA(name.c_str(), GetModuleHandleA(nullptr));
}

}  // namespace host_tracker_test
