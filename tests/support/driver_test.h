// The in-process tests of the driver's modules: one reset of everything process-wide, and the
// fixtures every suite builds on, so that no test depends on the tests before it.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "app/driver_dlg.h"
#include "hravik_shared.h"
#include "support/fake_hid.h"
#include "support/product_peek.h"
#include "support/test_util.h"

// Puts the driver's process-wide state back as a fresh process has it: g_state, the pendant
// object (closed, no key sink), the key forwarder, the poller (stopped, no event) and the hook
// library (freed).
void ResetDriver();

// (message type, key code word) of each KeyBoardProc call the stand-in hook library has seen.
using KeyCall = std::pair<uint32_t, uint32_t>;
using KeyCallList = std::vector<KeyCall>;
inline KeyCallList KeyCalls(HravikShared* hooks) { return harness::KeyCallsSince(hooks, 0); }

// A fresh driver over a fake HID bus, with the stand-in hook library's records emptied. At the
// end every handle the bus handed out must have been closed exactly once.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The pendant's two interfaces on the bus, behind a device of another maker.
    void PlugPendant();
    // Unlocked, no host hooked, the pendant believed good, and the reader's key events going to
    // the key forwarder: the key path as a start-up that found the pendant leaves it.
    void ForwardPendantKeys();
    // Opens the link and waits until the new reader is blocked in its first read.
    void OpenLink();
    // Presses a key on the pendant; returns once its KeyBoardProc call has been entered.
    void PressKey(uint8_t code);

    LONG Calls(int exportId) const { return hooks->callCount[exportId]; }
    bool WaitCalls(int exportId, LONG atLeast, DWORD ms = 3000) const {
        return WaitUntil([&] { return Calls(exportId) >= atLeast; }, ms);
    }

    FakeHidBus bus;
    HravikShared* hooks = nullptr;
};

// The main dialog with the fields of its state in the tests' reach.
class TestDriverDlg : public CDriverDlg {
public:
    using CDriverDlg::m_hIcon;
    using CDriverDlg::notifyFilter;
    using CDriverDlg::notifyHandle;
    using CDriverDlg::notifyRegistered;
    using CDriverDlg::refreshPending;
    using CDriverDlg::timerId;
    using CDriverDlg::trayIconId;
};

// The main dialog created (not run modally) on the test thread; the test pumps.
class DialogTest : public DriverTest {
protected:
    void TearDown() override;

    // Creates the dialog, with the pendant on the bus or without.
    void Start(bool withPendant);
    // Starts with the pendant and lets the first status refresh connect it.
    void StartConnected();

    LRESULT Refresh() { return Send(WM_REFRESH_STATUS, 0, 0); }
    LRESULT Command(WORD id) { return Send(WM_COMMAND, MAKEWPARAM(id, 0), 0); }
    LRESULT HotKey() { return Send(WM_HOTKEY, HOTKEY_LOCK, MAKELPARAM(MOD_CONTROL, VK_F11)); }
    LRESULT DeviceChange(WPARAM event, const void* data) {
        return Send(WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(data));
    }
    // Sent as the system or the shell would, then the link thread's answers to what it asked.
    LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam) {
        LRESULT result = SendMessageA(dlg.m_hWnd, message, wParam, lParam);
        Settle();
        return result;
    }
    // Until the link thread has done what it was asked and its answers have been handled.
    void Settle();
    // Sent without waiting for the link thread: what the window itself takes to answer.
    LRESULT SendOnly(UINT message, WPARAM wParam, LPARAM lParam) {
        return SendMessageA(dlg.m_hWnd, message, wParam, lParam);
    }

    TestDriverDlg dlg;
};
