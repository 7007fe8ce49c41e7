#include <gtest/gtest.h>

#include <windows.h>
#include <wtsapi32.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include "app/about_dlg.h"
#include "app/driver_dlg.h"
#include "app/driver_state.h"
#include "hravik_shared.h"
#include "host/hook_library.h"
#include "host/key_forwarder.h"
#include "pendant/pendant_device.h"
#include "res/resource.h"
#include "support/driver_test.h"
#include "support/test_util.h"

namespace {


// A thread of this process with a message queue and, on request, a top-level window: a host
// window whose thread is not the forwarder's.
class WindowThread {
public:
    explicit WindowThread(bool withWindow) {
        thread_ = std::thread([this, withWindow] {
            MSG msg;
            PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
            if (withWindow) {
                window_ = CreateWindowExA(0, "STATIC", "key test host", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                          50, 50, 300, 200, nullptr, nullptr, nullptr, nullptr);
            }
            id_ = GetCurrentThreadId();
            ready_ = true;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
                if (msg.message == WM_APP) {
                    ShowWindow(window_, SW_MINIMIZE);
                    minimised_ = true;
                    continue;
                }
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            if (window_) DestroyWindow(window_);
        });
        while (!ready_) Sleep(1);
    }
    ~WindowThread() {
        PostThreadMessageA(id_, WM_QUIT, 0, 0);
        thread_.join();
    }
    // Minimises the window on its own thread, as a user would.
    void Minimise() {
        minimised_ = false;
        PostThreadMessageA(id_, WM_APP, 0, 0);
        while (!minimised_) Sleep(1);
    }
    HWND Window() const { return window_; }
    DWORD Id() const { return id_; }

private:
    std::thread thread_;
    std::atomic<bool> ready_{false};
    std::atomic<bool> minimised_{false};
    HWND window_ = nullptr;
    DWORD id_ = 0;
};

// Whether this thread's input is attached to that thread's: only an attachment that exists can
// be undone. The attachment is put back as it was found.
bool InputAttached(DWORD thread) {
    DWORD self = GetCurrentThreadId();
    if (!AttachThreadInput(thread, self, FALSE)) return false;
    AttachThreadInput(thread, self, TRUE);
    return true;
}

class KeyForwarder : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        g_state.enabled = 1;
    }
};

TEST_F(KeyForwarder, LockedDriverDoesNothingAtAll) {
    WindowThread host(true);
    host.Minimise();
    ASSERT_TRUE(IsIconic(host.Window()));
    g_state.hostWindow = host.Window();
    g_state.hostThreadId = host.Id();
    g_state.enabled = 0;
    EXPECT_EQ(keyfwd::ForwardKey(0x100, 0x12), 0);
    EXPECT_EQ(keyfwd::ForwardKey(0x101, 0), 0);
    EXPECT_EQ(Calls(HravikKeyBoardProc), 0);
    EXPECT_EQ(g_state.forceFrame, 0);
    EXPECT_TRUE(IsIconic(host.Window())) << "no window is touched";
    EXPECT_FALSE(InputAttached(host.Id())) << "no input is attached";
    keyfwd::ReleaseHeldKey();
    EXPECT_EQ(Calls(HravikKeyBoardProc), 0) << "the dropped key-down is not held";
}

// Without a host both kinds of event take the one path to the library, on the caller's thread.
TEST_F(KeyForwarder, WithoutHostKeyBoardProcIsStillCalled) {
    for (KeyCall event : {KeyCall(0x100, 0x00340012), KeyCall(0x101, 0)}) {
        SCOPED_TRACE(::testing::Message() << "message type " << std::hex << event.first);
        HravikReset(hooks);
        g_state.forceFrame = 0;
        EXPECT_EQ(keyfwd::ForwardKey(event.first, event.second), 1);
        EXPECT_EQ(KeyCalls(hooks), KeyCallList{event});
        HravikRecord r;
        ASSERT_TRUE(HravikFindLast(hooks, HravikKeyBoardProc, &r));
        EXPECT_EQ(r.threadId, GetCurrentThreadId());
        EXPECT_EQ(g_state.forceFrame, 1);
    }
}

TEST_F(KeyForwarder, EachEventGetsAFreshCallValue) {
    keyfwd::ForwardKey(0x100, 1);
    keyfwd::ForwardKey(0x100, 1);
    keyfwd::ForwardKey(0x101, 0);
    HravikRecord r[3];
    ASSERT_EQ(HravikReadSince(hooks, 0, r, 3), 3);
    EXPECT_NE(r[0].args[2], r[1].args[2]);
    EXPECT_NE(r[1].args[2], r[2].args[2]);
    EXPECT_NE(r[0].args[2], r[2].args[2]);
}

TEST_F(KeyForwarder, MinimisedHostIsRestoredWithoutBeingActivated) {
    WindowThread host(true);
    ASSERT_NE(host.Window(), nullptr);
    g_state.hostWindow = host.Window();
    g_state.hostThreadId = host.Id();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        host.Minimise();
        ASSERT_TRUE(IsIconic(host.Window()));
        HWND foregroundBefore = GetForegroundWindow();
        EXPECT_EQ(keyfwd::ForwardKey(0x100, 0x12), 1);
        // Restored asynchronously, so that a hung host cannot hold the caller.
        EXPECT_TRUE(WaitUntil([&] { return !IsIconic(host.Window()); }, 2000));
        EXPECT_TRUE(IsWindowVisible(host.Window()));
        if (foregroundBefore != host.Window()) {
            EXPECT_NE(GetForegroundWindow(), host.Window()) << "restored without activation";
        }
        EXPECT_EQ(Calls(HravikKeyBoardProc), round + 1);
    }
}

TEST_F(KeyForwarder, AttachmentFollowsTheHostThread) {
    WindowThread a(false);
    WindowThread b(false);
    g_state.hostThreadId = a.Id();
    keyfwd::ForwardKey(0x100, 1);
    EXPECT_TRUE(InputAttached(a.Id()));
    keyfwd::ForwardKey(0x101, 0);
    EXPECT_TRUE(InputAttached(a.Id())) << "same host: still attached";

    g_state.hostThreadId = b.Id();
    EXPECT_TRUE(InputAttached(a.Id())) << "follows one event late";
    EXPECT_FALSE(InputAttached(b.Id()));
    keyfwd::ForwardKey(0x100, 2);
    EXPECT_TRUE(InputAttached(b.Id()));
    EXPECT_FALSE(InputAttached(a.Id())) << "the old host is let go";

    // No host: nothing stays attached.
    g_state.hostThreadId = 0;
    keyfwd::ForwardKey(0x101, 0);
    EXPECT_FALSE(InputAttached(b.Id()));
    EXPECT_EQ(Calls(HravikKeyBoardProc), 4);
}

// The attachment belongs to the thread that made it: after a reconnection the new reader is
// attached too, not taken for attached because the old one was.
TEST_F(KeyForwarder, EachForwardingThreadAttachesItself) {
    WindowThread host(false);
    g_state.hostThreadId = host.Id();
    std::thread([] { keyfwd::ForwardKey(0x100, 1); }).join();
    bool attached = false;
    std::thread([&attached, &host] {
        keyfwd::ForwardKey(0x101, 0);
        attached = InputAttached(host.Id());
    }).join();
    EXPECT_TRUE(attached);
}

// A host thread gone before the attach: the key still goes, and the next host is attached.
TEST_F(KeyForwarder, FailedAttachIsRetriedAndTheKeyStillGoes) {
    DWORD gone = 0;
    std::thread([&gone] { gone = GetCurrentThreadId(); }).join();
    g_state.hostThreadId = gone;
    EXPECT_EQ(keyfwd::ForwardKey(0x100, 7), 1);
    EXPECT_EQ(Calls(HravikKeyBoardProc), 1);

    WindowThread live(false);
    g_state.hostThreadId = live.Id();
    keyfwd::ForwardKey(0x101, 0);
    EXPECT_TRUE(InputAttached(live.Id()));
}

// A release owed while another thread is inside the library goes out as any key does: a host
// minimised meanwhile is shown again, and the thread that delivers it has the host's input.
TEST_F(KeyForwarder, OwedReleaseTakesThePathOfAnyKey) {
    WindowThread host(true);
    g_state.hostWindow = host.Window();
    g_state.hostThreadId = host.Id();
    hooks->hangArg0[HravikKeyBoardProc] = 0x100;
    hooks->hangMs[HravikKeyBoardProc] = 500;
    std::thread reader([] { keyfwd::ForwardKey(0x100, 0x12); });
    ASSERT_TRUE(WaitCalls(HravikKeyBoardProc, 1));
    host.Minimise();
    keyfwd::ReleaseHeldKey();  // owed: the reader is inside KeyBoardProc
    reader.join();
    ASSERT_TRUE(WaitCalls(HravikKeyBoardProc, 2));
    EXPECT_TRUE(WaitUntil([&] { return !IsIconic(host.Window()); }, 3000)) << "the owed key-up left the host minimised";

    // Delivered by a thread that never forwarded before: it attaches first.
    keyfwd::ForwardKey(0x100, 0x13);
    std::thread other([&] {
        keyfwd::ReleaseHeldKey();
        EXPECT_TRUE(InputAttached(host.Id())) << "the release went out without the host's input";
    });
    other.join();
    EXPECT_EQ(KeyCalls(hooks), (KeyCallList{{0x100, 0x12}, {0x101, 0}, {0x100, 0x13}, {0x101, 0}}));
}

TEST_F(KeyForwarder, CallersOnTwoThreadsNeverOverlap) {
    hooks->hangMs[HravikKeyBoardProc] = 300;
    std::thread first([] { keyfwd::ForwardKey(0x100, 1); });
    ASSERT_TRUE(WaitCalls(HravikKeyBoardProc, 1));
    DWORD start = GetTickCount();
    keyfwd::ForwardKey(0x101, 0);
    DWORD waited = GetTickCount() - start;
    first.join();
    hooks->hangMs[HravikKeyBoardProc] = 0;
    HravikRecord r[2];
    ASSERT_EQ(HravikReadSince(hooks, 0, r, 2), 2);
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    double apartMs = (r[1].qpc - r[0].qpc) * 1000.0 / static_cast<double>(freq.QuadPart);
    EXPECT_GE(apartMs, 200.0) << "the second call entered while the first was still inside";
    EXPECT_GE(waited, 150u);
}

// Runs only from a copy of this program in a folder without the hook library.
using KeyForwarderWithoutLibrary = KeyForwarder;

TEST_F(KeyForwarderWithoutLibrary, EventIsDroppedAndLoadRetried) {
    ASSERT_EQ(GetFileAttributesA((ExeDir() + "hravik.dll").c_str()), INVALID_FILE_ATTRIBUTES)
        << "this suite runs from a folder without hravik.dll";
    EXPECT_EQ(keyfwd::ForwardKey(0x100, 0x12), 1);
    EXPECT_EQ(g_state.forceFrame, 0);
    EXPECT_EQ(static_cast<HMODULE>(hooklib::secondModule), nullptr);
    EXPECT_EQ(keyfwd::ForwardKey(0x101, 0), 1);
    EXPECT_EQ(g_state.forceFrame, 0);
    keyfwd::ReleaseHeldKey();
    EXPECT_EQ(Calls(HravikKeyBoardProc), 0) << "a key never delivered is not held";
}

// Runs only from a copy of this program beside a hook library without KeyBoardProc.
using KeyForwarderWithoutKeyBoardProc = KeyForwarder;

TEST_F(KeyForwarderWithoutKeyBoardProc, EventIsDroppedButFrameForced) {
    HMODULE lib = LoadLibraryA((ExeDir() + "hravik.dll").c_str());
    ASSERT_NE(lib, nullptr);
    ASSERT_EQ(GetProcAddress(lib, "KeyBoardProc"), nullptr) << "this suite runs beside the variant";
    EXPECT_EQ(keyfwd::ForwardKey(0x100, 0x12), 1);
    EXPECT_EQ(g_state.forceFrame, 1);
    EXPECT_NE(static_cast<HMODULE>(hooklib::secondModule), nullptr);
    keyfwd::ReleaseHeldKey();
    EXPECT_EQ(Calls(HravikKeyBoardProc), 0) << "a key never delivered is not held";
    FreeLibrary(lib);
}

// The pendant link with the forwarder behind it: a key held in the host is released once when
// the link goes, never twice, and never without a key-down before it.
class HeldKeyRelease : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        PlugPendant();
        ForwardPendantKeys();
        OpenLink();
    }
    const KeyCallList pressedAndReleased = {{0x100, 0x12}, {0x101, 0}};
};

TEST_F(HeldKeyRelease, LinkLossReleasesTheHeldKey) {
    PressKey(0x12);
    bus.Unplug();
    ASSERT_TRUE(WaitCalls(HravikKeyBoardProc, 2));
    EXPECT_EQ(KeyCalls(hooks), pressedAndReleased);
    ASSERT_TRUE(WaitUntil([] { return g_state.pendantReady == 0; }, 2000));
    g_pendant.Close();
    EXPECT_EQ(KeyCalls(hooks), pressedAndReleased) << "unplug then close releases once";
}

TEST_F(HeldKeyRelease, CloseReleasesTheHeldKeyBeforeHandlesGo) {
    PressKey(0x12);
    // The release hangs in the hook library for a while; the handles must still be open then.
    hooks->hangMs[HravikKeyBoardProc] = 200;
    std::atomic<int> handlesAtRelease{-1};
    std::thread watcher([&] {
        if (WaitCalls(HravikKeyBoardProc, 2)) handlesAtRelease = bus.OpenHandles();
    });
    g_pendant.Close();
    watcher.join();
    hooks->hangMs[HravikKeyBoardProc] = 0;
    EXPECT_EQ(handlesAtRelease, 2);
    EXPECT_EQ(KeyCalls(hooks), pressedAndReleased);
    keyfwd::ReleaseHeldKey();
    EXPECT_EQ(KeyCalls(hooks), pressedAndReleased) << "no key is held after the release";
}

// The release reaches the host whatever the lock state, and only for a key the host was given.
TEST_F(HeldKeyRelease, ReleaseReachesTheHostEvenWhileLocked) {
    PressKey(0x21);
    g_state.enabled = 0;
    g_pendant.Close();
    EXPECT_EQ(KeyCalls(hooks), (KeyCallList{{0x100, 0x21}, {0x101, 0}}));
}

TEST_F(HeldKeyRelease, PendantReleaseIsNotDoubled) {
    PressKey(0x12);
    ASSERT_TRUE(bus.SendKeys(0, 0, 0));
    ASSERT_TRUE(WaitCalls(HravikKeyBoardProc, 2));
    g_pendant.Close();
    keyfwd::ReleaseHeldKey();
    EXPECT_EQ(KeyCalls(hooks), pressedAndReleased);
}

TEST_F(HeldKeyRelease, NothingHeldNothingSent) {
    g_pendant.Close();
    keyfwd::ReleaseHeldKey();
    EXPECT_EQ(Calls(HravikKeyBoardProc), 0) << "never a key-up without a key-down";
}

TEST_F(HeldKeyRelease, KeyDownDroppedWhileLockedIsNotReleased) {
    g_state.enabled = 0;
    ASSERT_TRUE(bus.SendKeys(0x12, 0, 0));
    // Nothing marks a report read and dropped: give the reader the time it takes.
    Sleep(150);
    g_pendant.Close();
    EXPECT_EQ(Calls(HravikKeyBoardProc), 0);
}

BOOL CALLBACK FindOtherDialogProc(HWND hwnd, LPARAM lp) {
    auto* f = reinterpret_cast<std::pair<HWND, HWND>*>(lp);
    char cls[16] = {0};
    GetClassNameA(hwnd, cls, sizeof(cls));
    if (hwnd != f->first && lstrcmpA(cls, "#32770") == 0 && IsWindowVisible(hwnd)) {
        f->second = hwnd;
        return FALSE;
    }
    return TRUE;
}

// A visible dialog of the thread other than the given one (the About box over the main dialog).
HWND FindOtherDialog(DWORD thread, HWND except) {
    std::pair<HWND, HWND> found(except, nullptr);
    EnumThreadWindows(thread, FindOtherDialogProc, reinterpret_cast<LPARAM>(&found));
    return found.second;
}

// The main dialog as the driver runs it, connected to the pendant; the test pumps.
class DriverDialogKeys : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(StartConnected());
        ASSERT_EQ(g_state.enabled, 1);
        dispatched = 0;
        previousProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
            dlg.m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountingProc)));
    }
    // Presses a key whose KeyBoardProc call hangs; returns once the call has begun. Later calls
    // do not hang.
    void PressHung(uint8_t code, LONG hangMs) {
        hooks->hangMs[HravikKeyBoardProc] = hangMs;
        PressKey(code);
        hooks->hangMs[HravikKeyBoardProc] = 0;
    }
    // Longer than every wait of the driver for the forwarder.
    static constexpr LONG kHangMs = 3000;
    // Counts WM_PENDANT_KEY reaching the dialog's window procedure.
    static LRESULT CALLBACK CountingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_PENDANT_KEY) ++dispatched;
        return CallWindowProcA(previousProc, hwnd, message, wParam, lParam);
    }
    static inline std::atomic<int> dispatched{0};
    static inline WNDPROC previousProc = nullptr;
    const KeyCallList pressedAndReleased = {{0x100, 0x12}, {0x101, 0}};
};

TEST_F(DriverDialogKeys, LockFromMenuReleasesTheHeldKey) {
    PressKey(0x12);
    Command(ID_LOCK);
    EXPECT_EQ(g_state.enabled, 0);
    EXPECT_EQ(g_pendant.connected, 0);
    EXPECT_EQ(KeyCalls(hooks), pressedAndReleased);
}

TEST_F(DriverDialogKeys, LockByHotKeyReleasesTheHeldKeyAndDropsTheRest) {
    PressKey(0x12);
    HotKey();
    EXPECT_EQ(g_state.enabled, 0);
    EXPECT_EQ(g_pendant.connected, 1) << "the hot key leaves the pendant open";
    EXPECT_EQ(KeyCalls(hooks), pressedAndReleased);
    // The pendant's own release and any new key are dropped while locked; nothing doubles.
    ASSERT_TRUE(bus.SendKeys(0, 0, 0));
    ASSERT_TRUE(bus.SendKeys(0x14, 0, 0));
    Sleep(150);
    g_pendant.Close();
    EXPECT_EQ(KeyCalls(hooks), pressedAndReleased);
}

TEST_F(DriverDialogKeys, ExitReleasesTheHeldKeyOnce) {
    PressKey(0x12);
    DestroyWindow(dlg.m_hWnd);
    EXPECT_EQ(KeyCalls(hooks), pressedAndReleased);
    ASSERT_TRUE(g_pendant.WaitIdle(5000)) << "the link thread is still busy";
    EXPECT_EQ(g_pendant.connected, 0);
}

// A key whose KeyBoardProc call hangs longer than any wait of the driver, then a lock: the host
// still gets exactly one key-up after the last key-down, and the lock does not wait for the call.
TEST_F(DriverDialogKeys, LockDuringAHungKeyDownStillReleasesTheKeyOnce) {
    for (bool byMenu : {false, true}) {
        SCOPED_TRACE(byMenu ? "locked from the menu" : "locked by the hot key");
        HravikReset(hooks);
        if (g_pendant.connected == 0) {
            g_state.enabled = 1;
            ASSERT_EQ(g_pendant.Open(dlg.m_hWnd), 1);
        }
        PressHung(0x12, kHangMs);
        DWORD start = GetTickCount();
        if (byMenu) SendOnly(WM_COMMAND, MAKEWPARAM(ID_LOCK, 0), 0);
        else SendOnly(WM_HOTKEY, HOTKEY_LOCK, MAKELPARAM(MOD_CONTROL, VK_F11));
        EXPECT_LT(GetTickCount() - start, 1000u) << "the lock waited for the host";
        ASSERT_EQ(g_state.enabled, 0);
        if (!byMenu) {
            ASSERT_TRUE(bus.SendKeys(0, 0, 0));  // the pendant's own release, while locked
        }
        ASSERT_TRUE(WaitCalls(HravikKeyBoardProc, 2, kHangMs + 3000));
        Settle();
        PumpFor(200);
        EXPECT_EQ(KeyCalls(hooks), pressedAndReleased);
        if (!byMenu) HotKey();
    }
}

// Another program's WM_PENDANT_KEY is slow in the host while the pendant's release comes: the
// release waits its turn and is never dropped.
TEST_F(DriverDialogKeys, PendantReleaseWhileTheUiThreadIsInTheHost) {
    PressKey(0x12);
    std::thread pendant([this] {
        if (WaitCalls(HravikKeyBoardProc, 2, 5000)) {
            hooks->hangMs[HravikKeyBoardProc] = 0;
            bus.SendKeys(0, 0, 0);
        }
    });
    hooks->hangMs[HravikKeyBoardProc] = kHangMs;
    Send(WM_PENDANT_KEY, 0x100, 0x42);
    pendant.join();
    ASSERT_TRUE(WaitCalls(HravikKeyBoardProc, 3));
    PumpFor(200);
    EXPECT_EQ(KeyCalls(hooks), (KeyCallList{{0x100, 0x12}, {0x100, 0x42}, {0x101, 0}}));
}

// Only a key-up clears the record of a held key: another message type from another program
// does not.
TEST_F(DriverDialogKeys, OtherMessageTypesLeaveTheHeldKeyRecorded) {
    PressKey(0x12);
    Send(WM_PENDANT_KEY, 0x104, 0x12);
    HotKey();
    EXPECT_EQ(KeyCalls(hooks), (KeyCallList{{0x100, 0x12}, {0x104, 0x12}, {0x101, 0}}));
}

TEST_F(DriverDialogKeys, PendantKeyMessageIsForwardedNotDispatchedInAboutBox) {
    DWORD uiThread = GetCurrentThreadId();
    HWND main = dlg.m_hWnd;
    std::atomic<bool> done{false};
    std::atomic<bool> sawAbout{false};
    std::atomic<bool> forwarded{false};
    std::thread helper([&] {
        HWND about = nullptr;
        for (int i = 0; i < 500 && !about; ++i) {
            Sleep(10);
            about = FindOtherDialog(uiThread, main);
        }
        if (about) {
            sawAbout = true;
            PostMessageA(main, WM_PENDANT_KEY, 0x100, 0x42);
            forwarded = WaitCalls(HravikKeyBoardProc, 1);
            PostMessageA(about, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
        }
        done = true;
    });
    PostMessageA(main, WM_COMMAND, MAKEWPARAM(ID_ABOUT, 0), 0);
    WaitUntil([&] { return done.load(); }, 10000);
    helper.join();
    PumpFor(50);
    ASSERT_TRUE(sawAbout);
    EXPECT_TRUE(forwarded);
    EXPECT_EQ(KeyCalls(hooks), (KeyCallList{{0x100, 0x42}}));
    HravikRecord r;
    ASSERT_TRUE(HravikFindLast(hooks, HravikKeyBoardProc, &r));
    EXPECT_EQ(r.threadId, uiThread) << "forwarded on the UI thread";
    EXPECT_EQ(dispatched, 0) << "taken before dispatch by the About box's loop";
}

TEST_F(DriverDialogKeys, SentPendantKeyMessageIsForwarded) {
    Send(WM_PENDANT_KEY, 0x100, 0x00120000);
    EXPECT_EQ(KeyCalls(hooks), (KeyCallList{{0x100, 0x00120000}}));
    EXPECT_EQ(g_state.forceFrame, 1);
}

TEST_F(DriverDialogKeys, PendantKeyMessageIsForwardedInAMessageBoxLoop) {
    std::thread closer([this] {
        WaitCalls(HravikKeyBoardProc, 1, 5000);
        for (int i = 0; i < 500; ++i) {
            HWND box = FindWindowA("#32770", "key test box");
            if (box) {
                PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0);
                return;
            }
            Sleep(10);
        }
    });
    PostMessageA(dlg.m_hWnd, WM_PENDANT_KEY, 0x100, 0x51);
    MessageBoxA(dlg.m_hWnd, "waiting for a key", "key test box", MB_OK);
    closer.join();
    EXPECT_EQ(KeyCalls(hooks), (KeyCallList{{0x100, 0x51}}));
}

// ---- the edges of the process and of the session ----

// A session that is locked, or no longer the one at the console, gets no key from the pendant:
// the held key goes up, nothing more goes down until the session is back.
TEST_F(DriverDialogKeys, SessionAwayFromTheConsoleForwardsNothing) {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    struct Row {
        const char* what;
        WPARAM away;
        WPARAM back;
    };
    for (Row row : {Row{"locked", WTS_SESSION_LOCK, WTS_SESSION_UNLOCK},
                    Row{"another session at the console", WTS_CONSOLE_DISCONNECT, WTS_CONSOLE_CONNECT}}) {
        SCOPED_TRACE(row.what);
        HravikReset(hooks);
        PressKey(0x12);
        Send(WM_WTSSESSION_CHANGE, row.away, session);
        EXPECT_EQ(KeyCalls(hooks), pressedAndReleased);
        ASSERT_TRUE(bus.SendKeys(0, 0, 0));
        ASSERT_TRUE(bus.SendKeys(0x13, 0, 0));
        Send(WM_PENDANT_KEY, 0x100, 0x14);
        Sleep(150);
        EXPECT_EQ(KeyCalls(hooks), pressedAndReleased) << "a key went to a session in the background";
        Send(WM_WTSSESSION_CHANGE, row.back, session);
        ASSERT_TRUE(bus.SendKeys(0, 0, 0));
        PressKey(0x15);
        ASSERT_TRUE(bus.SendKeys(0, 0, 0));
        ASSERT_TRUE(WaitCalls(HravikKeyBoardProc, 5));
    }
}

// A lock by the hot key while the key-down is still inside a slow KeyBoardProc: the key map goes
// off only after the host has had the key-up, or the key-up would come to a host that no longer
// listens.
TEST_F(DriverDialogKeys, KeyMapGoesOffOnlyAfterTheKeyUp) {
    g_state.hostActive = 1;
    hooks->hangArg0[HravikKeyBoardProc] = 0x100;
    hooks->hangMs[HravikKeyBoardProc] = 1000;
    PressKey(0x12);
    SendOnly(WM_HOTKEY, HOTKEY_LOCK, MAKELPARAM(MOD_CONTROL, VK_F11));
    ASSERT_TRUE(WaitUntil([&] { return Calls(HravikEnableMap) >= 1; }, 5000)) << "the key map stayed on";
    std::vector<HravikRecord> records = harness::RecordsSince(hooks, 0);
    int keyUp = -1, mapOff = -1;
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i].exportId == HravikKeyBoardProc && records[i].args[0] == 0x101 && keyUp < 0) keyUp = int(i);
        if (records[i].exportId == HravikEnableMap && records[i].args[0] == 0 && mapOff < 0) mapOff = int(i);
    }
    ASSERT_GE(keyUp, 0) << "no key-up";
    ASSERT_GE(mapOff, 0);
    EXPECT_LT(keyUp, mapOff) << "EnableMap(0) came before the key-up";
}

// A frame due while the status refresh closes and reopens the link (with a key-up that takes
// 800 ms in the host on the way) finds the link busy: it stays due, is no failure, and the
// pendant is discovered once.
TEST_F(DriverDialogKeys, FrameDuringAReopenStaysDueAndIsNoFailure) {
    ClearLog();
    g_state.hostActive = 1;
    PressKey(0x12);
    hooks->hangArg0[HravikKeyBoardProc] = 0x101;
    hooks->hangMs[HravikKeyBoardProc] = 800;
    int discoveries = bus.discoveries;
    size_t frames = bus.FeatureReports().size();
    hooks->result[HravikGetMaStep] = 0x05;  // a new frame, due from now on
    g_state.pendantReady = 0;
    Refresh();
    EXPECT_EQ(bus.discoveries - discoveries, 1) << "the link was discovered more than once";
    ASSERT_TRUE(WaitUntil([&] { return bus.FeatureReports().size() > frames; }, 3000)) << "the frame never went out";
    EXPECT_EQ(bus.FeatureReports().back()[4], 0x05);
    EXPECT_TRUE(LinesWith(LogLines(), "could not be sent").empty());
    EXPECT_EQ(g_pendant.connected, 1);
}

// The pendant is unplugged while a key is held, and the host takes 3 s over the key-up: the
// window keeps answering, the reader is waited for rather than ended inside the library, and the
// loss is logged.
TEST_F(DriverDialogKeys, UnplugWithASlowKeyUpKeepsTheWindowAndTheReader) {
    ClearLog();
    PressKey(0x12);
    hooks->hangArg0[HravikKeyBoardProc] = 0x101;
    hooks->hangMs[HravikKeyBoardProc] = 3000;
    bus.Unplug();
    ASSERT_TRUE(WaitCalls(HravikKeyBoardProc, 2)) << "no key-up";
    DWORD slowest = 0;
    for (int i = 0; i < 10; ++i) {
        g_state.pendantReady = 0;
        DWORD start = GetTickCount();
        SendOnly(WM_REFRESH_STATUS, 0, 0);
        SendOnly(WM_TIMER, TIMER_TICK, 0);
        slowest = std::max<DWORD>(slowest, GetTickCount() - start);
        Sleep(200);
    }
    EXPECT_LT(slowest, 500u) << "the window did not answer while the reader was in the host";
    EXPECT_TRUE(WaitUntil([] { return hooklib::CallsInProgress() == 0; }, 5000))
        << "the reader was ended inside KeyBoardProc";
    Settle();
    EXPECT_EQ(LinesWith(LogLines(), "pendant lost: read failed").size(), 1u);
    EXPECT_EQ(KeyCalls(hooks), pressedAndReleased);
}

TEST_F(DriverDialogKeys, PendantKeyMessageWhileLockedIsSwallowed) {
    g_state.enabled = 0;
    PostMessageA(dlg.m_hWnd, WM_PENDANT_KEY, 0x100, 0x42);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, dlg.m_hWnd, WM_PENDANT_KEY, WM_PENDANT_KEY, PM_REMOVE));
    EXPECT_TRUE(CWnd::WalkPreTranslateTree(&msg)) << "handled in pre-translation";
    EXPECT_EQ(Calls(HravikKeyBoardProc), 0);
    EXPECT_EQ(dispatched, 0);
}

}  // namespace
