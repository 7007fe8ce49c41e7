#include "support/driver_test.h"

#include "app/driver_state.h"
#include "app/lock_state.h"
#include "host/hook_library.h"
#include "host/host_tracker.h"
#include "host/key_forwarder.h"
#include "host/machine_poller.h"
#include "pendant/display_frame.h"
#include "pendant/pendant_device.h"

void ResetDriver() {
    poller::Stop();
    poller::ExitCleanup();
    CPendantDevice::SetKeySink(nullptr);
    g_pendant.ReplyTo(nullptr, 0);
    g_pendant.AskAndWait(LinkRequest::kReset);
    keyfwd::Reset();
    hooklib::FreeAll();
    // Each field through its owner; what a fresh process has beyond that is said here.
    HostTracker().Reset();
    ResetDisplayFrame();
    lockstate::Reset();
    g_pendant.DoubtLink();
    g_state.enabled = 0;
    g_state.statusText.clear();
    g_state.axisText.clear();
}

void DriverTest::SetUp() {
    ResetDriver();
    hooks = HravikAttach();
    ASSERT_NE(hooks, nullptr);
    HravikReset(hooks);
    bus.Install();
}

void DriverTest::TearDown() {
    ResetDriver();
    EXPECT_EQ(bus.OpenHandles(), 0) << "every handle is released by the end";
    EXPECT_EQ(bus.opened.load(), bus.closed.load()) << "each handle is released exactly once";
    EXPECT_EQ(bus.closeFailed.load(), 0);
    EXPECT_EQ(LinkPeek::ReaderThreadId(), 0u) << "no reader outlives the link";
    EXPECT_EQ(static_cast<HANDLE>(LinkPeek::ReaderThread()), nullptr);
    if (hooks) HravikDetach(hooks);
}

void DriverTest::PlugPendant() {
    bus.interfaces = {FakeInterface::Foreign(), FakeInterface::Feature(), FakeInterface::Input()};
}

void DriverTest::ForwardPendantKeys() {
    g_state.enabled = 1;
    g_state.pendantReady = 1;
    keyfwd::Reset();
    CPendantDevice::SetKeySink(&keyfwd::Sink());
}

void DriverTest::OpenLink() {
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    ASSERT_NE(LinkPeek::ReaderThreadId(), 0u);
    ASSERT_TRUE(WaitUntil([&] { return bus.readsPending > 0; }, 3000)) << "the reader never read";
}

void DriverTest::PressKey(uint8_t code) {
    LONG before = Calls(HravikKeyBoardProc);
    ASSERT_TRUE(bus.SendKeys(code, 0, 0));
    ASSERT_TRUE(WaitCalls(HravikKeyBoardProc, before + 1));
}

void DialogTest::TearDown() {
    if (IsWindow(dlg.m_hWnd)) DestroyWindow(dlg.m_hWnd);
    EXPECT_TRUE(g_pendant.WaitIdle(5000)) << "the link thread is still busy";
    EXPECT_EQ(g_pendant.connected, 0) << "shutdown closes the pendant";
    EXPECT_FALSE(poller::Running());
    DriverTest::TearDown();
}

void DialogTest::Start(bool withPendant) {
    if (withPendant) PlugPendant();
    ASSERT_TRUE(dlg.Create());
    ASSERT_NE(dlg.m_hWnd, nullptr);
    Settle();
}

void DialogTest::Settle() {
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000;) {
        bool idle = g_pendant.WaitIdle(5);
        MSG msg;
        bool answered = false;
        while (PeekMessageA(&msg, dlg.m_hWnd, WM_LINK_DONE, WM_LINK_DONE, PM_REMOVE)) {
            DispatchMessageA(&msg);
            answered = true;
        }
        if (idle && !answered) return;
    }
    ADD_FAILURE() << "the link thread did not settle within 10 s";
}

void DialogTest::StartConnected() {
    Start(true);
    ASSERT_EQ(Refresh(), 1);
    ASSERT_EQ(g_pendant.connected, 1);
    ASSERT_EQ(g_state.pendantReady, 1);
}
