#include <gtest/gtest.h>

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
#include "support/fake_hid.h"
#include "support/link_setup.h"
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

class KeyForwarder : public ::testing::Test {
protected:
    void SetUp() override {
        sh = HravikAttach();
        ASSERT_NE(sh, nullptr);
        HravikReset(sh);
        g_state.enabled = 1;
        g_state.hostWindow = nullptr;
        g_state.hostThreadId = 0;
        g_state.forceFrame = 0;
        keyfwd::Reset();
    }
    void TearDown() override {
        // Nothing may stay attached to a thread that ends with the test.
        g_state.hostThreadId = 0;
        g_state.hostWindow = nullptr;
        g_state.enabled = 1;
        keyfwd::ForwardKey(0x101, 0);
        hooklib::FreeAll();
        HravikDetach(sh);
    }
    HravikShared* sh = nullptr;
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
    EXPECT_EQ(sh->callCount[HravikKeyBoardProc], 0);
    EXPECT_EQ(g_state.forceFrame, 0);
    EXPECT_TRUE(IsIconic(host.Window())) << "no window is touched";
    EXPECT_EQ(keyfwd::AttachedThreadId(), 0u) << "no input is attached";
    EXPECT_FALSE(keyfwd::KeyHeld());
}

TEST_F(KeyForwarder, WithoutHostKeyBoardProcIsStillCalled) {
    EXPECT_EQ(keyfwd::ForwardKey(0x100, 0x00340012), 1);
    ASSERT_EQ(sh->callCount[HravikKeyBoardProc], 1);
    HravikRecord r;
    ASSERT_TRUE(HravikFindLast(sh, HravikKeyBoardProc, &r));
    EXPECT_EQ(r.args[0], 0x100u);
    EXPECT_EQ(r.args[1], 0x00340012u);
    EXPECT_EQ(r.threadId, GetCurrentThreadId());
    EXPECT_EQ(g_state.forceFrame, 1);
    EXPECT_EQ(keyfwd::AttachedThreadId(), 0u);
}

TEST_F(KeyForwarder, KeyUpTakesTheSamePathAndSetsForceFrame) {
    EXPECT_EQ(keyfwd::ForwardKey(0x101, 0), 1);
    EXPECT_EQ(g_state.forceFrame, 1);
    std::vector<KeyCall> expected = {{0x101, 0}};
    EXPECT_EQ(KeyCalls(sh), expected);
}

TEST_F(KeyForwarder, EachEventGetsAFreshCallValue) {
    keyfwd::ForwardKey(0x100, 1);
    keyfwd::ForwardKey(0x100, 1);
    keyfwd::ForwardKey(0x101, 0);
    HravikRecord r[3];
    ASSERT_EQ(HravikReadSince(sh, 0, r, 3), 3);
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
        host.Minimise();
        ASSERT_TRUE(IsIconic(host.Window()));
        HWND foregroundBefore = GetForegroundWindow();
        EXPECT_EQ(keyfwd::ForwardKey(0x100, 0x12), 1);
        // Restored asynchronously, so that a hung host cannot hold the caller.
        EXPECT_TRUE(WaitUntil([&] { return !IsIconic(host.Window()); }, 2000)) << "round " << round;
        EXPECT_TRUE(IsWindowVisible(host.Window()));
        HWND foreground = GetForegroundWindow();
        if (foregroundBefore != host.Window()) {
            EXPECT_NE(foreground, host.Window()) << "restored without activation, round " << round;
        }
        EXPECT_EQ(sh->callCount[HravikKeyBoardProc], round + 1);
    }
}

TEST_F(KeyForwarder, AttachmentFollowsTheHostThread) {
    WindowThread a(false);
    WindowThread b(false);
    g_state.hostThreadId = a.Id();
    keyfwd::ForwardKey(0x100, 1);
    EXPECT_EQ(keyfwd::AttachedThreadId(), a.Id());
    keyfwd::ForwardKey(0x101, 0);
    EXPECT_EQ(keyfwd::AttachedThreadId(), a.Id()) << "same host: nothing to do";

    g_state.hostThreadId = b.Id();
    EXPECT_EQ(keyfwd::AttachedThreadId(), a.Id()) << "follows one event late";
    keyfwd::ForwardKey(0x100, 2);
    EXPECT_EQ(keyfwd::AttachedThreadId(), b.Id());

    g_state.hostThreadId = 0;
    keyfwd::ForwardKey(0x101, 0);
    EXPECT_EQ(keyfwd::AttachedThreadId(), 0u);
    EXPECT_EQ(sh->callCount[HravikKeyBoardProc], 4);
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
        // Detaching succeeds only where an attachment exists.
        attached = AttachThreadInput(host.Id(), GetCurrentThreadId(), FALSE) != FALSE;
    }).join();
    EXPECT_TRUE(attached);
}

TEST_F(KeyForwarder, FailedAttachIsRetriedAndTheKeyStillGoes) {
    DWORD gone = 0;
    std::thread([&gone] { gone = GetCurrentThreadId(); }).join();
    g_state.hostThreadId = gone;
    EXPECT_EQ(keyfwd::ForwardKey(0x100, 7), 1);
    EXPECT_EQ(keyfwd::AttachedThreadId(), 0u);
    EXPECT_EQ(sh->callCount[HravikKeyBoardProc], 1);

    WindowThread live(false);
    g_state.hostThreadId = live.Id();
    keyfwd::ForwardKey(0x101, 0);
    EXPECT_EQ(keyfwd::AttachedThreadId(), live.Id());
}

TEST_F(KeyForwarder, CallersOnTwoThreadsNeverOverlap) {
    sh->hangMs[HravikKeyBoardProc] = 300;
    std::thread first([] { keyfwd::ForwardKey(0x100, 1); });
    ASSERT_TRUE(HravikWaitForCalls(sh, HravikKeyBoardProc, 1, 3000));
    DWORD start = GetTickCount();
    keyfwd::ForwardKey(0x101, 0);
    DWORD waited = GetTickCount() - start;
    first.join();
    sh->hangMs[HravikKeyBoardProc] = 0;
    HravikRecord r[2];
    ASSERT_EQ(HravikReadSince(sh, 0, r, 2), 2);
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    double apartMs = (r[1].qpc - r[0].qpc) * 1000.0 / static_cast<double>(freq.QuadPart);
    EXPECT_GE(apartMs, 200.0) << "the second call entered while the first was still inside";
    EXPECT_GE(waited, 150u);
}

// Runs only from a copy of this program in a folder without the hook library.
TEST(KeyForwarderWithoutLibrary, EventIsDroppedAndLoadRetried) {
    ASSERT_EQ(GetFileAttributesA((ExeDir() + "hravik.dll").c_str()), INVALID_FILE_ATTRIBUTES)
        << "this suite runs from a folder without hravik.dll";
    g_state.enabled = 1;
    g_state.forceFrame = 0;
    keyfwd::Reset();
    hooklib::secondModule = nullptr;
    EXPECT_EQ(keyfwd::ForwardKey(0x100, 0x12), 1);
    EXPECT_EQ(g_state.forceFrame, 0);
    EXPECT_EQ(static_cast<HMODULE>(hooklib::secondModule), nullptr);
    EXPECT_EQ(keyfwd::ForwardKey(0x101, 0), 1);
    EXPECT_EQ(g_state.forceFrame, 0);
    EXPECT_FALSE(keyfwd::KeyHeld()) << "a key never delivered is not held";
}

// Runs only from a copy of this program beside a hook library without KeyBoardProc.
TEST(KeyForwarderWithoutKeyBoardProc, EventIsDroppedButFrameForced) {
    HMODULE lib = LoadLibraryA((ExeDir() + "hravik.dll").c_str());
    ASSERT_NE(lib, nullptr);
    ASSERT_EQ(GetProcAddress(lib, "KeyBoardProc"), nullptr) << "this suite runs beside the variant";
    HravikShared* sh = HravikAttach();
    ASSERT_NE(sh, nullptr);
    g_state.enabled = 1;
    g_state.forceFrame = 0;
    keyfwd::Reset();
    hooklib::secondModule = nullptr;
    EXPECT_EQ(keyfwd::ForwardKey(0x100, 0x12), 1);
    EXPECT_EQ(g_state.forceFrame, 1);
    EXPECT_NE(static_cast<HMODULE>(hooklib::secondModule), nullptr);
    EXPECT_EQ(sh->callCount[HravikKeyBoardProc], 0);
    EXPECT_FALSE(keyfwd::KeyHeld());
    hooklib::FreeAll();
    FreeLibrary(lib);
    HravikDetach(sh);
}

// The pendant link with the forwarder behind it: a key held in the host is released once when
// the link goes, never twice, and never without a key-down before it.
class HeldKeyRelease : public ::testing::Test {
protected:
    void SetUp() override {
        sh = HravikAttach();
        ASSERT_NE(sh, nullptr);
        HravikReset(sh);
        bus.interfaces = {FakeInterface::Feature(), FakeInterface::Input()};
        bus.Install();
        ForwardPendantKeys();
        ASSERT_EQ(g_pendant.Open(nullptr), 1);
        Sleep(30);
    }
    void TearDown() override {
        g_pendant.Close();
        CPendantDevice::SetKeySink(nullptr);
        g_state.enabled = 1;
        EXPECT_EQ(bus.OpenHandles(), 0);
        EXPECT_EQ(bus.closeFailed.load(), 0);
        HravikDetach(sh);
    }
    void PressKey(uint8_t code) {
        LONG before = sh->callCount[HravikKeyBoardProc];
        ASSERT_TRUE(bus.SendKeys(code, 0, 0));
        ASSERT_TRUE(HravikWaitForCalls(sh, HravikKeyBoardProc, before + 1, 3000));
    }
    FakeHidBus bus;
    HravikShared* sh = nullptr;
};

TEST_F(HeldKeyRelease, LinkLossReleasesTheHeldKey) {
    PressKey(0x12);
    bus.Unplug();
    ASSERT_TRUE(HravikWaitForCalls(sh, HravikKeyBoardProc, 2, 3000));
    std::vector<KeyCall> expected = {{0x100, 0x12}, {0x101, 0}};
    EXPECT_EQ(KeyCalls(sh), expected);
    ASSERT_TRUE(WaitUntil([] { return g_state.pendantReady == 0; }, 2000));
    g_pendant.Close();
    EXPECT_EQ(KeyCalls(sh), expected) << "unplug then close releases once";
}

TEST_F(HeldKeyRelease, CloseReleasesTheHeldKeyBeforeHandlesGo) {
    PressKey(0x12);
    // The release hangs in the hook library for a while; the handles must still be open then.
    sh->hangMs[HravikKeyBoardProc] = 200;
    std::atomic<int> handlesAtRelease{-1};
    std::thread watcher([&] {
        if (HravikWaitForCalls(sh, HravikKeyBoardProc, 2, 3000)) handlesAtRelease = bus.OpenHandles();
    });
    g_pendant.Close();
    watcher.join();
    sh->hangMs[HravikKeyBoardProc] = 0;
    EXPECT_EQ(handlesAtRelease, 2);
    std::vector<KeyCall> expected = {{0x100, 0x12}, {0x101, 0}};
    EXPECT_EQ(KeyCalls(sh), expected);
    EXPECT_FALSE(keyfwd::KeyHeld());
}

TEST_F(HeldKeyRelease, ReleaseReachesTheHostEvenWhileLocked) {
    PressKey(0x21);
    g_state.enabled = 0;
    g_pendant.Close();
    std::vector<KeyCall> expected = {{0x100, 0x21}, {0x101, 0}};
    EXPECT_EQ(KeyCalls(sh), expected);
}

TEST_F(HeldKeyRelease, PendantReleaseIsNotDoubled) {
    PressKey(0x12);
    ASSERT_TRUE(bus.SendKeys(0, 0, 0));
    ASSERT_TRUE(HravikWaitForCalls(sh, HravikKeyBoardProc, 2, 3000));
    g_pendant.Close();
    keyfwd::ReleaseHeldKey();
    std::vector<KeyCall> expected = {{0x100, 0x12}, {0x101, 0}};
    EXPECT_EQ(KeyCalls(sh), expected);
}

TEST_F(HeldKeyRelease, NothingHeldNothingSent) {
    g_pendant.Close();
    keyfwd::ReleaseHeldKey();
    EXPECT_EQ(sh->callCount[HravikKeyBoardProc], 0) << "never a key-up without a key-down";
}

TEST_F(HeldKeyRelease, KeyDownDroppedWhileLockedIsNotReleased) {
    g_state.enabled = 0;
    ASSERT_TRUE(bus.SendKeys(0x12, 0, 0));
    Sleep(150);
    g_pendant.Close();
    EXPECT_EQ(sh->callCount[HravikKeyBoardProc], 0);
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

// The main dialog as the driver runs it, created without a modal loop; the test pumps.
class DriverDialogKeys : public ::testing::Test {
protected:
    void SetUp() override {
        sh = HravikAttach();
        ASSERT_NE(sh, nullptr);
        HravikReset(sh);
        bus.interfaces = {FakeInterface::Feature(), FakeInterface::Input()};
        bus.Install();
        dlg = new CDriverDlg;
        ASSERT_TRUE(dlg->Create());
        ASSERT_EQ(g_state.enabled, 1);
        // Initialisation closes the pendant again; open it as the first status refresh would.
        ASSERT_EQ(g_pendant.Open(dlg->m_hWnd), 1);
        g_state.pendantReady = 1;
        Sleep(30);
        dispatched = 0;
        previousProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
            dlg->m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountingProc)));
    }
    void TearDown() override {
        delete dlg;
        dlg = nullptr;
        g_pendant.Close();
        CPendantDevice::SetKeySink(nullptr);
        g_state.enabled = 1;
        EXPECT_EQ(bus.OpenHandles(), 0);
        EXPECT_EQ(bus.closeFailed.load(), 0);
        HravikDetach(sh);
    }
    void PressKey(uint8_t code) {
        LONG before = sh->callCount[HravikKeyBoardProc];
        ASSERT_TRUE(bus.SendKeys(code, 0, 0));
        ASSERT_TRUE(HravikWaitForCalls(sh, HravikKeyBoardProc, before + 1, 3000));
    }
    // Presses a key whose KeyBoardProc call hangs; returns once the call has begun. Later calls
    // do not hang.
    void PressHung(uint8_t code, LONG hangMs) {
        LONG before = sh->callCount[HravikKeyBoardProc];
        sh->hangMs[HravikKeyBoardProc] = hangMs;
        ASSERT_TRUE(bus.SendKeys(code, 0, 0));
        ASSERT_TRUE(HravikWaitForCalls(sh, HravikKeyBoardProc, before + 1, 3000));
        sh->hangMs[HravikKeyBoardProc] = 0;
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

    FakeHidBus bus;
    HravikShared* sh = nullptr;
    CDriverDlg* dlg = nullptr;
};

TEST_F(DriverDialogKeys, LockFromMenuReleasesTheHeldKey) {
    PressKey(0x12);
    SendMessageA(dlg->m_hWnd, WM_COMMAND, MAKEWPARAM(ID_LOCK, 0), 0);
    EXPECT_EQ(g_state.enabled, 0);
    EXPECT_EQ(g_pendant.connected, 0);
    std::vector<KeyCall> expected = {{0x100, 0x12}, {0x101, 0}};
    EXPECT_EQ(KeyCalls(sh), expected);
}

TEST_F(DriverDialogKeys, LockByHotKeyReleasesTheHeldKeyAndDropsTheRest) {
    PressKey(0x12);
    SendMessageA(dlg->m_hWnd, WM_HOTKEY, HOTKEY_LOCK, MAKELPARAM(MOD_CONTROL, VK_F11));
    EXPECT_EQ(g_state.enabled, 0);
    EXPECT_EQ(g_pendant.connected, 1) << "the hot key leaves the pendant open";
    std::vector<KeyCall> expected = {{0x100, 0x12}, {0x101, 0}};
    EXPECT_EQ(KeyCalls(sh), expected);
    // The pendant's own release and any new key are dropped while locked; nothing doubles.
    ASSERT_TRUE(bus.SendKeys(0, 0, 0));
    ASSERT_TRUE(bus.SendKeys(0x14, 0, 0));
    Sleep(150);
    g_pendant.Close();
    EXPECT_EQ(KeyCalls(sh), expected);
}

TEST_F(DriverDialogKeys, ExitReleasesTheHeldKeyOnce) {
    PressKey(0x12);
    DestroyWindow(dlg->m_hWnd);
    std::vector<KeyCall> expected = {{0x100, 0x12}, {0x101, 0}};
    EXPECT_EQ(KeyCalls(sh), expected);
    EXPECT_EQ(g_pendant.connected, 0);
}

// A key whose KeyBoardProc call hangs longer than any wait of the driver, then a lock: the host
// still gets exactly one key-up after the last key-down, and the lock does not wait for the call.
TEST_F(DriverDialogKeys, LockDuringAHungKeyDownStillReleasesTheKeyOnce) {
    for (bool byMenu : {false, true}) {
        SCOPED_TRACE(byMenu ? "locked from the menu" : "locked by the hot key");
        HravikReset(sh);
        if (g_pendant.connected == 0) {
            g_state.enabled = 1;
            ASSERT_EQ(g_pendant.Open(dlg->m_hWnd), 1);
        }
        PressHung(0x12, kHangMs);
        DWORD start = GetTickCount();
        if (byMenu) SendMessageA(dlg->m_hWnd, WM_COMMAND, MAKEWPARAM(ID_LOCK, 0), 0);
        else SendMessageA(dlg->m_hWnd, WM_HOTKEY, HOTKEY_LOCK, MAKELPARAM(MOD_CONTROL, VK_F11));
        EXPECT_LT(GetTickCount() - start, 1000u) << "the lock waited for the host";
        ASSERT_EQ(g_state.enabled, 0);
        if (!byMenu) {
            ASSERT_TRUE(bus.SendKeys(0, 0, 0));  // the pendant's own release, while locked
        }
        ASSERT_TRUE(HravikWaitForCalls(sh, HravikKeyBoardProc, 2, kHangMs + 3000));
        PumpFor(200);
        std::vector<KeyCall> expected = {{0x100, 0x12}, {0x101, 0}};
        EXPECT_EQ(KeyCalls(sh), expected);
        if (!byMenu) SendMessageA(dlg->m_hWnd, WM_HOTKEY, HOTKEY_LOCK, MAKELPARAM(MOD_CONTROL, VK_F11));
    }
}

// Another program's WM_PENDANT_KEY is slow in the host while the pendant's release comes: the
// release waits its turn and is never dropped.
TEST_F(DriverDialogKeys, PendantReleaseWhileTheUiThreadIsInTheHost) {
    PressKey(0x12);
    std::thread pendant([this] {
        if (HravikWaitForCalls(sh, HravikKeyBoardProc, 2, 5000)) {
            sh->hangMs[HravikKeyBoardProc] = 0;
            bus.SendKeys(0, 0, 0);
        }
    });
    sh->hangMs[HravikKeyBoardProc] = kHangMs;
    SendMessageA(dlg->m_hWnd, WM_PENDANT_KEY, 0x100, 0x42);
    pendant.join();
    ASSERT_TRUE(HravikWaitForCalls(sh, HravikKeyBoardProc, 3, 3000));
    PumpFor(200);
    std::vector<KeyCall> expected = {{0x100, 0x12}, {0x100, 0x42}, {0x101, 0}};
    EXPECT_EQ(KeyCalls(sh), expected);
}

// Only a key-up clears the record of a held key: another message type from another program
// does not.
TEST_F(DriverDialogKeys, OtherMessageTypesLeaveTheHeldKeyRecorded) {
    PressKey(0x12);
    SendMessageA(dlg->m_hWnd, WM_PENDANT_KEY, 0x104, 0x12);
    SendMessageA(dlg->m_hWnd, WM_HOTKEY, HOTKEY_LOCK, MAKELPARAM(MOD_CONTROL, VK_F11));
    std::vector<KeyCall> expected = {{0x100, 0x12}, {0x104, 0x12}, {0x101, 0}};
    EXPECT_EQ(KeyCalls(sh), expected);
}

TEST_F(DriverDialogKeys, PendantKeyMessageIsForwardedNotDispatchedInAboutBox) {
    DWORD uiThread = GetCurrentThreadId();
    HWND main = dlg->m_hWnd;
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
            forwarded = HravikWaitForCalls(sh, HravikKeyBoardProc, 1, 3000);
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
    std::vector<KeyCall> expected = {{0x100, 0x42}};
    EXPECT_EQ(KeyCalls(sh), expected);
    HravikRecord r;
    ASSERT_TRUE(HravikFindLast(sh, HravikKeyBoardProc, &r));
    EXPECT_EQ(r.threadId, uiThread) << "forwarded on the UI thread";
    EXPECT_EQ(dispatched, 0) << "taken before dispatch by the About box's loop";
}

TEST_F(DriverDialogKeys, SentPendantKeyMessageIsForwarded) {
    SendMessageA(dlg->m_hWnd, WM_PENDANT_KEY, 0x100, 0x00120000);
    std::vector<KeyCall> expected = {{0x100, 0x00120000}};
    EXPECT_EQ(KeyCalls(sh), expected);
    EXPECT_EQ(g_state.forceFrame, 1);
}

TEST_F(DriverDialogKeys, PendantKeyMessageIsForwardedInAMessageBoxLoop) {
    std::thread closer([this] {
        HravikWaitForCalls(sh, HravikKeyBoardProc, 1, 5000);
        for (int i = 0; i < 500; ++i) {
            HWND box = FindWindowA("#32770", "key test box");
            if (box) {
                PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0);
                return;
            }
            Sleep(10);
        }
    });
    PostMessageA(dlg->m_hWnd, WM_PENDANT_KEY, 0x100, 0x51);
    MessageBoxA(dlg->m_hWnd, "waiting for a key", "key test box", MB_OK);
    closer.join();
    std::vector<KeyCall> expected = {{0x100, 0x51}};
    EXPECT_EQ(KeyCalls(sh), expected);
}

TEST_F(DriverDialogKeys, PendantKeyMessageWhileLockedIsSwallowed) {
    g_state.enabled = 0;
    PostMessageA(dlg->m_hWnd, WM_PENDANT_KEY, 0x100, 0x42);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, dlg->m_hWnd, WM_PENDANT_KEY, WM_PENDANT_KEY, PM_REMOVE));
    EXPECT_TRUE(CWnd::WalkPreTranslateTree(&msg)) << "handled in pre-translation";
    EXPECT_EQ(sh->callCount[HravikKeyBoardProc], 0);
    EXPECT_EQ(dispatched, 0);
}

}  // namespace
