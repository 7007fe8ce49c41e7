// The main dialog in this process, modeless, on a fake HID bus; the test's own pump drives it.
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "app/driver_dlg.h"
#include "app/driver_state.h"
#include "app/tray_icon.h"
#include "base/event_log.h"
#include "hravik_shared.h"
#include "host/hook_library.h"
#include "host/key_forwarder.h"
#include "host/machine_poller.h"
#include "pendant/pendant_device.h"
#include "res/resource.h"
#include "support/driver_test.h"
#include "support/shell_tray.h"
#include "support/test_util.h"

namespace {

const GUID kHidClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};


bool HotKeyFree() {
    if (!RegisterHotKey(nullptr, 0x7001, MOD_CONTROL, VK_F11)) return false;
    UnregisterHotKey(nullptr, 0x7001);
    return true;
}

bool StopEventExists() {
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, poller::kStopEventName);
    if (!event) return false;
    CloseHandle(event);
    return true;
}

// --- Start-up ----------------------------------------------------------------------------------

using DriverDialogStartup = DialogTest;
using DriverDialogMessages = DialogTest;

// What an earlier dialog left behind is forgotten, the pendant is probed and let go, and the
// first status refresh connects it.
TEST_F(DriverDialogStartup, WithPendantStartsUnlockedAndTheFirstRefreshConnects) {
    g_state.hostThreadId = 77;
    g_state.hostActive = 1;
    g_state.hostWindow = reinterpret_cast<HWND>(1);
    g_state.hostExePath = L"c:\\old\\ncstudio.exe";
    g_state.statusText = "stale";
    g_state.modeByte = 0x80;
    Start(true);

    EXPECT_EQ(g_state.enabled, 1);
    EXPECT_EQ(bus.OpenCount(), 3) << "the bus was examined during initialisation";
    EXPECT_EQ(bus.OpenHandles(), 0) << "and the pendant let go until the first refresh";
    EXPECT_EQ(dlg.notifyFilter.dbcc_classguid, kHidClass) << "arrivals of the pendant's class are watched";
    EXPECT_TRUE(StopEventExists()) << "the poller runs";
    EXPECT_EQ(g_state.statusText, kStatusDefault);
    EXPECT_EQ(g_state.hostWindow, nullptr);
    EXPECT_EQ(g_state.modeByte, 0);
    Refresh();
    EXPECT_EQ(g_pendant.connected, 1) << "the first refresh connects it";
    EXPECT_EQ(tray::LastTip(), "IDLE!") << "no host is active after a fresh start";
}

TEST_F(DriverDialogStartup, WithoutPendantStartsLockedWatchingUsbInterfaces) {
    Start(false);
    EXPECT_EQ(g_state.enabled, 0);
    EXPECT_EQ(g_state.pendantReady, 0);
    EXPECT_EQ(g_pendant.connected, 0);
    EXPECT_EQ(dlg.notifyRegistered, 1);
    EXPECT_EQ(dlg.notifyFilter.dbcc_classguid, kUsbDeviceInterfaceClass);
    EXPECT_NE(dlg.timerId, 0u) << "a locked driver still runs its heartbeat";
    EXPECT_EQ(dlg.trayIconId, static_cast<UINT>(IDI_ACTIVE));
}

TEST_F(DriverDialogStartup, HoldsCtrlF11UntilDestroyed) {
    Start(false);
    EXPECT_FALSE(HotKeyFree());
    DestroyWindow(dlg.m_hWnd);
    EXPECT_TRUE(HotKeyFree());
}

// Another program holds Ctrl+F11: the driver says so instead of letting the operator believe
// the hot key locks.
TEST_F(DriverDialogStartup, HotKeyTakenByAnotherProgramIsSaid) {
    ClearLog();
    ASSERT_TRUE(RegisterHotKey(nullptr, 0x7002, MOD_CONTROL, VK_F11));
    Start(false);
    UnregisterHotKey(nullptr, 0x7002);
    EXPECT_EQ(LinesWith(LogLines(), "Ctrl+F11 is taken by another program").size(), 1u);
    EXPECT_EQ(shelltray::WaitForBalloon(8000),
              "Ctrl+F11 is taken by another program: lock from this icon's menu");
}

TEST_F(DriverDialogStartup, WritesOwnPathAsAutostartValue) {
    Start(false);
    char exe[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string expected = exe;
    if (expected.find(' ') != std::string::npos) expected = "\"" + expected + "\"";
    char value[MAX_PATH + 3] = {0};
    DWORD size = sizeof(value);
    DWORD type = 0;
    ASSERT_EQ(RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                           "dunmoral", RRF_RT_REG_SZ, &type, value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(value, expected.c_str());
}

// The shell's restart broadcast is let through to the dialog, as an elevated driver needs it to
// be (Wine 8 has no ChangeWindowMessageFilterEx: the call is recorded here).
struct FilterCall {
    HWND window;
    UINT message;
    DWORD action;
    void* details;
};
std::vector<FilterCall> g_filterCalls;
BOOL WINAPI RecordFilter(HWND window, UINT message, DWORD action, PCHANGEFILTERSTRUCT details) {
    g_filterCalls.push_back({window, message, action, details});
    return TRUE;
}

TEST_F(DriverDialogStartup, LetsTheShellsRestartMessageThrough) {
    g_filterCalls.clear();
    tray::SetMessageFilter(RecordFilter);
    Start(false);
    tray::SetMessageFilter(nullptr);
    ASSERT_EQ(g_filterCalls.size(), 1u);
    EXPECT_EQ(g_filterCalls[0].window, dlg.m_hWnd);
    EXPECT_EQ(g_filterCalls[0].message, RegisterWindowMessageA("TaskbarCreated"));
    EXPECT_EQ(g_filterCalls[0].action, static_cast<DWORD>(MSGFLT_ALLOW));
    EXPECT_EQ(g_filterCalls[0].details, nullptr);
}

// A log that cannot be written changes nothing: the driver starts, forwards keys, locks and
// unlocks without a word, and no line holds it up.
TEST_F(DriverDialogStartup, RunsOnSilentlyWhenTheLogCannotBeWritten) {
    char temp[MAX_PATH] = {0};
    GetTempPathA(MAX_PATH, temp);
    const std::string blocked = std::string(temp) + "veltra-blocked-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(blocked.c_str(), nullptr);
    // Under Wine a read-only attribute stops no one who runs as root; a file where the log's folder
    // belongs stops everyone.
    HANDLE squatter =
        CreateFileA((blocked + "\\veltra").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
    CloseHandle(squatter);
    char saved[MAX_PATH] = {0};
    GetEnvironmentVariableA("LOCALAPPDATA", saved, MAX_PATH);
    SetEnvironmentVariableA("LOCALAPPDATA", blocked.c_str());

    MessageBoxCloser errors("Error");
    StartConnected();
    ASSERT_TRUE(bus.SendKeys(0x12, 0, 0));
    ASSERT_TRUE(bus.SendKeys(0, 0, 0));
    EXPECT_TRUE(HravikWaitForCalls(hooks, HravikKeyBoardProc, 2, 3000));
    HotKey();
    EXPECT_EQ(g_state.enabled, 0);
    HotKey();
    EXPECT_EQ(g_state.enabled, 1);
    EXPECT_TRUE(eventlog::Flush(2000)) << "unwritable lines must be dropped, not kept waiting";
    EXPECT_EQ(errors.Count(), 0);
    EXPECT_EQ(GetFileAttributesA((blocked + "\\veltra\\veltra.log").c_str()), INVALID_FILE_ATTRIBUTES);

    SetEnvironmentVariableA("LOCALAPPDATA", saved);
    DeleteFileA((blocked + "\\veltra").c_str());
    RemoveDirectoryA(blocked.c_str());
}

TEST_F(DriverDialogMessages, StaysHiddenWhenShown) {
    Start(false);
    ShowWindow(dlg.m_hWnd, SW_SHOWNORMAL);
    UpdateWindow(dlg.m_hWnd);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(dlg.m_hWnd); }, 3000));
}

// Windows drags a minimised window with the icon it shows.
TEST_F(DriverDialogMessages, DragIconIsTheWindowsIcon) {
    Start(false);
    HICON shown = reinterpret_cast<HICON>(SendMessageA(dlg.m_hWnd, WM_GETICON, ICON_BIG, 0));
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageA(dlg.m_hWnd, WM_QUERYDRAGICON, 0, 0)), shown);
}

// --- Status refresh and the tray state ---------------------------------------------------------

using DriverDialogStatus = DialogTest;

TEST_F(DriverDialogStatus, FirstRefreshConnectsPendant) {
    Start(true);
    EXPECT_EQ(Refresh(), 1);
    EXPECT_EQ(g_state.pendantReady, 1);
    EXPECT_EQ(g_pendant.connected, 1);
    EXPECT_EQ(g_state.enabled, 1);
    EXPECT_NE(LinkPeek::ReaderThreadId(), 0u);
    EXPECT_EQ(dlg.trayIconId, static_cast<UINT>(IDI_IDLE));
    EXPECT_EQ(tray::LastIconId(), static_cast<UINT>(IDI_IDLE));
    EXPECT_EQ(tray::LastTip(), "IDLE!");
    EXPECT_EQ(dlg.refreshPending, 0);
}

TEST_F(DriverDialogStatus, WithoutPendantEveryRefreshTriesAgainAndReconnectUnlocks) {
    Start(false);
    EXPECT_EQ(Refresh(), 1);
    EXPECT_EQ(g_state.pendantReady, 0);
    EXPECT_EQ(g_state.enabled, 0);
    EXPECT_EQ(dlg.trayIconId, static_cast<UINT>(IDI_NO_DEVICE));
    EXPECT_EQ(tray::LastTip(), "Please Insert Usb Controller!");

    size_t before = bus.EnumeratedIndices().size();
    Refresh();
    EXPECT_GT(bus.EnumeratedIndices().size(), before) << "discovery ran again";

    PlugPendant();
    Refresh();
    EXPECT_EQ(g_state.pendantReady, 1);
    EXPECT_EQ(g_pendant.connected, 1);
    EXPECT_EQ(g_state.enabled, 1) << "a reconnection unlocks the driver";
    EXPECT_EQ(tray::LastIconId(), static_cast<UINT>(IDI_IDLE));
    EXPECT_EQ(tray::LastTip(), "IDLE!");
}

TEST_F(DriverDialogStatus, TimerRefreshFindsPluggedPendant) {
    Start(false);
    PlugPendant();
    // The eleventh tick of 200 ms posts the refresh.
    EXPECT_TRUE(WaitUntil([] { return g_state.pendantReady == 1; }, 8000));
    // The unlock comes with the link thread's answer, on this thread.
    Settle();
    EXPECT_EQ(g_pendant.connected, 1);
    EXPECT_EQ(g_state.enabled, 1);
    EXPECT_TRUE(WaitUntil([&] { return dlg.refreshPending == 0; }, 1000));
    EXPECT_EQ(dlg.trayIconId, static_cast<UINT>(IDI_IDLE));
}

TEST_F(DriverDialogStatus, TrayFollowsLockAndHostState) {
    StartConnected();
    struct Row {
        int enabled, hostActive;
        UINT icon;
        const char* tip;
    } rows[] = {
        {1, 1, IDI_ACTIVE, "Qorin Handle Driver."},
        {0, 1, IDI_LOCKED_ACTIVE, "LOCKED!"},
        {0, 0, IDI_NO_DEVICE, "LOCKED!"},
        {1, 0, IDI_IDLE, "IDLE!"},
    };
    for (const Row& row : rows) {
        g_state.enabled = row.enabled;
        g_state.hostActive = row.hostActive;
        EXPECT_EQ(Refresh(), 1);
        EXPECT_EQ(dlg.trayIconId, row.icon) << row.tip;
        EXPECT_EQ(tray::LastIconId(), row.icon) << row.tip;
        EXPECT_EQ(tray::LastTip(), row.tip);
    }
    g_state.hostActive = 0;
}

TEST_F(DriverDialogStatus, TipChangesOnlyWithIconId) {
    Start(false);
    Refresh();
    ASSERT_EQ(tray::LastTip(), "Please Insert Usb Controller!");
    // Connected and locked with the host inactive: the same icon, so the old tip stays.
    PlugPendant();
    ASSERT_EQ(g_pendant.Open(dlg.m_hWnd), 1);
    g_state.pendantReady = 1;
    g_state.enabled = 0;
    g_state.hostActive = 0;
    Refresh();
    EXPECT_EQ(dlg.trayIconId, static_cast<UINT>(IDI_NO_DEVICE));
    EXPECT_EQ(tray::LastTip(), "Please Insert Usb Controller!");
}

TEST_F(DriverDialogStatus, EnsurePendantRegistersNotificationsWhenMissing) {
    Start(false);
    UnregisterDeviceNotification(dlg.notifyHandle);
    dlg.notifyHandle = nullptr;
    dlg.notifyRegistered = 0;
    g_state.pendantReady = 1;
    size_t before = bus.EnumeratedIndices().size();
    dlg.EnsurePendant();
    Settle();
    EXPECT_EQ(dlg.notifyRegistered, 1);
    EXPECT_NE(dlg.notifyHandle, nullptr);
    EXPECT_EQ(bus.EnumeratedIndices().size(), before) << "a ready pendant is left alone";
}

TEST_F(DriverDialogStatus, EnsurePendantLeavesReadyConnectionAlone) {
    StartConnected();
    DWORD reader = LinkPeek::ReaderThreadId();
    int opened = bus.OpenCount();
    dlg.EnsurePendant();
    Settle();
    EXPECT_EQ(LinkPeek::ReaderThreadId(), reader);
    EXPECT_EQ(bus.OpenCount(), opened);
}

TEST_F(DriverDialogStatus, EnsurePendantReopensWhenNotReady) {
    StartConnected();
    DWORD reader = LinkPeek::ReaderThreadId();
    int opened = bus.OpenCount();
    g_state.pendantReady = 0;
    g_state.enabled = 0;
    dlg.EnsurePendant();
    Settle();
    EXPECT_EQ(g_state.pendantReady, 1);
    EXPECT_EQ(g_state.enabled, 1);
    EXPECT_EQ(bus.OpenCount(), opened + 3) << "a full discovery ran";
    EXPECT_EQ(bus.OpenHandles(), 2) << "the old handles were closed first";
    EXPECT_NE(LinkPeek::ReaderThreadId(), 0u);
    EXPECT_NE(LinkPeek::ReaderThreadId(), reader);
}

TEST_F(DriverDialogStatus, UnpluggedPendantIsReconnectedByNextRefresh) {
    StartConnected();
    bus.Unplug();
    ASSERT_TRUE(WaitUntil([] { return g_state.pendantReady == 0; }, 3000));
    Refresh();
    EXPECT_EQ(g_state.pendantReady, 1);
    EXPECT_EQ(g_pendant.connected, 1);
    EXPECT_EQ(bus.OpenHandles(), 2);
    EXPECT_TRUE(bus.SendKeys(0, 0, 0)) << "the new input interface is open";
}

// A notification naming one of the pendant's interfaces, as Windows sends it to a window that
// registered for wide names.
class PendantInterface {
public:
    PendantInterface() {
        auto* header = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes_);
        header->dbcc_size = sizeof bytes_;
        header->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        header->dbcc_classguid = kHidClass;
        const wchar_t name[] =
            L"\\\\?\\HID#VID_10CE&PID_EB93&MI_01#7&2f0e&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
        std::memcpy(bytes_ + offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name), name, sizeof name);
    }
    const void* get() const { return bytes_; }

private:
    alignas(DEV_BROADCAST_DEVICEINTERFACE_W) char bytes_[320] = {};
};

// The log says what no icon shows: what discovery saw instead of the pendant (once, not at every
// refresh), the connection with both device paths, and how each connection ended. A key is never
// a line of its own.
TEST_F(DriverDialogStatus, LogsPendantNotFoundConnectedAndLostOnceEach) {
    FakeInterface odd = FakeInterface::Input();
    odd.inputLength = 8;
    bus.interfaces = {FakeInterface::Foreign(), odd};
    ClearLog();
    Start(false);
    Refresh();
    Refresh();
    PlugPendant();
    Refresh();
    ASSERT_EQ(g_pendant.connected, 1);
    ASSERT_TRUE(bus.SendKeys(0x12, 0, 0));
    ASSERT_TRUE(bus.SendKeys(0, 0, 0));
    ASSERT_TRUE(HravikWaitForCalls(hooks, HravikKeyBoardProc, 2, 3000));
    bus.Unplug();
    ASSERT_TRUE(WaitUntil([] { return g_state.pendantReady == 0; }, 3000));
    Refresh();
    ASSERT_EQ(g_pendant.connected, 1);
    PendantInterface removal;
    DeviceChange(DBT_DEVICEREMOVECOMPLETE, removal.get());
    bus.interfaces.clear();
    Refresh();
    Refresh();

    std::vector<std::string> lines = LogLines();
    // The hook library, autostart and lock lines belong to other tests.
    const auto otherTests = [](const std::string& line) {
        return line.rfind("hook library", 0) == 0 || line.rfind("autostart", 0) == 0 ||
               line.find("lock") != std::string::npos;
    };
    lines.erase(std::remove_if(lines.begin(), lines.end(), otherTests), lines.end());
    const std::string connected = "pendant connected: feature \\\\?\\fakehid#1, input \\\\?\\fakehid#2";
    const std::vector<std::string> expected = {
        "pendant not found: 2 HID interfaces seen; one with the pendant's ids has input reports of 8 and "
        "feature reports of 0 bytes (the pendant's: input 6, feature 8)",
        connected,
        "pendant lost: read failed (error 109",
        connected,
        "pendant lost: removed, after 0 key reports",
        "pendant not found: 0 HID interfaces seen; none has the pendant's ids (vendor 10CE product EB93)",
    };
    ASSERT_EQ(lines.size(), expected.size()) << ::testing::PrintToString(lines);
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(lines[i].substr(0, expected[i].size()), expected[i]) << lines[i];
    EXPECT_NE(lines[2].find("), after 2 key reports"), std::string::npos) << lines[2];
}

TEST_F(DriverDialogStatus, EnsurePendantFailureKeepsLockState) {
    StartConnected();
    bus.interfaces.clear();
    g_state.pendantReady = 0;
    g_state.enabled = 0;
    dlg.EnsurePendant();
    Settle();
    EXPECT_EQ(g_state.pendantReady, 0);
    EXPECT_EQ(g_state.enabled, 0);
    EXPECT_EQ(g_pendant.connected, 0);
    EXPECT_EQ(bus.OpenHandles(), 0);
}

// --- Device notifications ----------------------------------------------------------------------

using DriverDialogDeviceChange = DialogTest;

DEV_BROADCAST_DEVICEINTERFACE_W InterfaceHeader() {
    DEV_BROADCAST_DEVICEINTERFACE_W header{};
    header.dbcc_size = sizeof(header);
    header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    header.dbcc_classguid = kHidClass;
    return header;
}

DEV_BROADCAST_VOLUME VolumeHeader() {
    DEV_BROADCAST_VOLUME header{};
    header.dbcv_size = sizeof(header);
    header.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    header.dbcv_unitmask = 1u << 4;
    return header;
}

// Which notifications make the next refresh reconnect: an arrival of a device interface, and any
// completed removal. Every notification is answered TRUE.
TEST_F(DriverDialogDeviceChange, ArrivalsOfInterfacesAndEveryRemovalClearReady) {
    Start(false);
    auto iface = InterfaceHeader();
    auto volume = VolumeHeader();
    const struct {
        WPARAM event;
        const void* data;
        int readyAfter;
    } cases[] = {
        {DBT_DEVICEARRIVAL, &iface, 0},         {DBT_DEVICEARRIVAL, &volume, 1},
        {DBT_DEVICEARRIVAL, nullptr, 1},        {DBT_DEVICEREMOVECOMPLETE, &volume, 0},
        {DBT_DEVICEREMOVECOMPLETE, &iface, 0},  {DBT_DEVNODES_CHANGED, nullptr, 1},
        {DBT_DEVICEQUERYREMOVE, &iface, 1},     {DBT_DEVICEREMOVEPENDING, &iface, 1},
        {DBT_CONFIGCHANGED, &iface, 1},
    };
    for (const auto& c : cases) {
        g_state.pendantReady = 1;
        EXPECT_EQ(DeviceChange(c.event, c.data), TRUE) << c.event;
        EXPECT_EQ(g_state.pendantReady, c.readyAfter) << "event " << c.event << (c.data ? "" : " without data");
    }
}

// With a working link, another device coming or going changes nothing; the pendant's own arrival
// reconnects at once, without waiting for the refresh rhythm.
TEST_F(DriverDialogDeviceChange, OnlyThePendantsOwnArrivalTouchesAWorkingLink) {
    StartConnected();
    DWORD reader = LinkPeek::ReaderThreadId();
    auto other = InterfaceHeader();
    auto volume = VolumeHeader();
    DeviceChange(DBT_DEVICEARRIVAL, &other);
    DeviceChange(DBT_DEVICEREMOVECOMPLETE, &other);
    DeviceChange(DBT_DEVICEREMOVECOMPLETE, &volume);
    PumpFor(100);
    EXPECT_EQ(g_state.pendantReady, 1) << "another device's coming or going touched the link";
    EXPECT_EQ(LinkPeek::ReaderThreadId(), reader);

    PendantInterface pendant;
    DeviceChange(DBT_DEVICEARRIVAL, pendant.get());
    EXPECT_TRUE(WaitUntil([&] { return g_state.pendantReady == 1 && LinkPeek::ReaderThreadId() != reader; }, 1500))
        << "the pendant's arrival waited for the refresh rhythm";
    Settle();
    EXPECT_EQ(g_pendant.connected, 1);
}

// The pendant arrives while a reconnection that looked before it was there is still unanswered:
// the arrival's refresh is not lost, and keys flow without waiting for the refresh rhythm.
TEST_F(DriverDialogDeviceChange, ArrivalDuringAFruitlessReconnectionIsNotLost) {
    Start(false);
    KillTimer(dlg.m_hWnd, dlg.timerId);  // no tick to fall back on
    PumpFor(100);                         // the first refresh and its answer
    Settle();
    SendOnly(WM_REFRESH_STATUS, 0, 0);
    ASSERT_TRUE(g_pendant.WaitIdle(3000));  // found nothing; its answer waits in the queue
    PlugPendant();
    PendantInterface pendant;
    SendOnly(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(pendant.get()));
    // The arrival's refresh is handled before the link's answer, as when it comes mid-discovery.
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, dlg.m_hWnd, WM_REFRESH_STATUS, WM_REFRESH_STATUS, PM_REMOVE));
    DispatchMessageA(&msg);
    EXPECT_TRUE(WaitUntil([] { return g_pendant.connected == 1; }, 1500))
        << "the arrival waited for the next refresh";
    Settle();
}

// --- Lock command, hot key and the locked heartbeat ------------------------------------------

using DriverDialogLock = DialogTest;

TEST_F(DriverDialogLock, LockCommandClosesPendantAndTrayShowsNoDevice) {
    StartConnected();
    Command(ID_LOCK);
    EXPECT_EQ(g_state.enabled, 0);
    EXPECT_EQ(g_pendant.connected, 0);
    EXPECT_EQ(LinkPeek::ReaderThreadId(), 0u);
    EXPECT_EQ(bus.OpenHandles(), 0);
    // pendantReady is still 1, so the refresh does not reconnect.
    Refresh();
    EXPECT_EQ(g_pendant.connected, 0);
    EXPECT_EQ(dlg.trayIconId, static_cast<UINT>(IDI_NO_DEVICE));
    EXPECT_EQ(tray::LastTip(), "Please Insert Usb Controller!");
}

TEST_F(DriverDialogLock, UnlockCommandOpensPendant) {
    StartConnected();
    Command(ID_LOCK);
    MessageBoxCloser closer("Infor");
    Command(ID_LOCK);
    EXPECT_EQ(g_state.enabled, 1);
    EXPECT_EQ(g_pendant.connected, 1);
    EXPECT_NE(LinkPeek::ReaderThreadId(), 0u);
    EXPECT_EQ(bus.OpenHandles(), 2);
    EXPECT_EQ(closer.Count(), 0);
}

TEST_F(DriverDialogLock, UnlockCommandWithoutPendantWarnsAndStaysLocked) {
    Start(false);
    ASSERT_EQ(g_state.enabled, 0);
    MessageBoxCloser closer("Infor");
    Command(ID_LOCK);
    EXPECT_EQ(closer.Count(), 1);
    EXPECT_EQ(closer.LastText(), "Please Insert Usb!");
    EXPECT_EQ(g_state.enabled, 0);
    EXPECT_EQ(g_pendant.connected, 0);
}

TEST_F(DriverDialogLock, HotKeyLocksButLeavesPendantOpen) {
    StartConnected();
    MessageBoxCloser closer("Information");
    EXPECT_EQ(HotKey(), 0);
    EXPECT_EQ(g_state.enabled, 0);
    EXPECT_EQ(g_pendant.connected, 1);
    EXPECT_EQ(bus.OpenHandles(), 2);
    EXPECT_EQ(HotKey(), 0);
    EXPECT_EQ(g_state.enabled, 1);
    EXPECT_EQ(g_pendant.connected, 1);
    EXPECT_EQ(closer.Count(), 0);
}

TEST_F(DriverDialogLock, HotKeyWithoutPendantWarnsAndStaysLocked) {
    Start(false);
    MessageBoxCloser closer("Information");
    EXPECT_EQ(HotKey(), 0);
    EXPECT_EQ(closer.Count(), 1);
    EXPECT_EQ(closer.LastText(), "Please Insert USB Controller!");
    EXPECT_EQ(g_state.enabled, 0);
    EXPECT_EQ(bus.OpenCount(), 0) << "the hot key never opens the pendant";
}

TEST_F(DriverDialogLock, LockedTickSwitchesKeyMapOffOnce) {
    StartConnected();
    HotKey();
    ASSERT_EQ(g_state.enabled, 0);
    g_state.hostActive = 1;
    EXPECT_TRUE(WaitUntil([] { return g_state.hostActive == 0; }, 3000));
    HravikRecord call{};
    ASSERT_TRUE(HravikFindLast(hooks, HravikEnableMap, &call));
    EXPECT_EQ(call.args[0], 0u);
    EXPECT_EQ(call.threadId, GetCurrentThreadId());
    PumpFor(700);
    EXPECT_EQ(hooks->callCount[HravikEnableMap], 1) << "only when the host was active";
}

TEST_F(DriverDialogLock, LockedTickWithInactiveHostCallsNothing) {
    Start(false);
    ASSERT_EQ(g_state.enabled, 0);
    PumpFor(700);
    EXPECT_EQ(hooks->callCount[HravikEnableMap], 0);
    EXPECT_EQ(g_state.hostActive, 0);
}

// The operator locks and unlocks from the menu while the display writer's reconnection is in a
// slow discovery: the link is busy, not missing, so no box says the pendant is missing and the
// driver ends up unlocked with it.
TEST_F(DriverDialogLock, UnlockDuringASlowDiscoveryShowsNoBox) {
    StartConnected();
    g_state.hostActive = 1;
    MessageBoxCloser boxes("Infor");
    bus.slowDiscoveryMs = 2000;
    int discoveries = bus.discoveries;
    bus.Unplug();  // the reader's read fails; the interfaces stay listed
    hooks->result[HravikGetMaStep] = 0x09;  // a frame falls due, and finds no handle
    ASSERT_TRUE(WaitUntil([&] { return bus.discoveries > discoveries; }, 5000)) << "the writer asked for no discovery";
    SendOnly(WM_COMMAND, MAKEWPARAM(ID_LOCK, 0), 0);
    SendOnly(WM_COMMAND, MAKEWPARAM(ID_LOCK, 0), 0);
    Settle();
    PumpFor(200);
    EXPECT_EQ(boxes.Count(), 0) << boxes.LastText();
    EXPECT_EQ(g_state.enabled, 1);
    EXPECT_EQ(g_pendant.connected, 1);
}

// A lock lifts only when the operator lifts it: not by a device arriving or leaving, not by the
// pendant coming back, whichever way locked it.
TEST_F(DriverDialogLock, OperatorLockHoldsThroughDeviceChangesAndReplug) {
    StartConnected();
    for (bool byMenu : {true, false}) {
        SCOPED_TRACE(byMenu ? "locked from the menu" : "locked by the hot key");
        if (byMenu) Command(ID_LOCK);
        else HotKey();
        ASSERT_EQ(g_state.enabled, 0);

        DEV_BROADCAST_HDR volume{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_VOLUME, 0};
        DeviceChange(DBT_DEVICEREMOVECOMPLETE, &volume);
        Refresh();
        EXPECT_EQ(g_state.enabled, 0) << "a foreign device's removal unlocked the driver";
        ASSERT_EQ(g_pendant.connected, 1);
        bus.Unplug();
        ASSERT_TRUE(WaitUntil([] { return g_state.pendantReady == 0; }, 2000));
        Refresh();
        EXPECT_EQ(g_pendant.connected, 1) << "the pendant itself comes back";
        EXPECT_EQ(g_state.enabled, 0) << "the reconnection unlocked the driver";
        EXPECT_EQ(tray::LastTip(), "LOCKED!");

        LONG before = hooks->callCount[HravikKeyBoardProc];
        ASSERT_TRUE(bus.SendKeys(0x12, 0, 0));
        ASSERT_TRUE(bus.SendKeys(0, 0, 0));
        PumpFor(150);
        EXPECT_EQ(hooks->callCount[HravikKeyBoardProc], before) << "a key reached the host while locked";

        if (byMenu) Command(ID_LOCK);
        else HotKey();
        ASSERT_EQ(g_state.enabled, 1);
        ASSERT_TRUE(bus.SendKeys(0x13, 0, 0));
        EXPECT_TRUE(HravikWaitForCalls(hooks, HravikKeyBoardProc, before + 1, 3000)) << "unlock";
        ASSERT_TRUE(bus.SendKeys(0, 0, 0));
        EXPECT_TRUE(HravikWaitForCalls(hooks, HravikKeyBoardProc, before + 2, 3000));
    }
}

// Who locked and who unlocked, on every way: the menu, Ctrl+F11, and the reconnection that lifts
// a lock that only the missing pendant caused.
TEST_F(DriverDialogLock, LogsEveryRoadThatLocksOrUnlocks) {
    ClearLog();
    Start(false);
    {
        MessageBoxCloser menuBox("Infor");
        Command(ID_LOCK);
    }
    {
        MessageBoxCloser hotKeyBox("Information");
        HotKey();
    }
    PlugPendant();
    Refresh();
    Command(ID_LOCK);
    Command(ID_LOCK);
    HotKey();
    HotKey();
    const std::vector<std::string> expected = {
        "locked: no pendant at start-up",
        "unlock from the menu refused: no pendant",
        "unlock by Ctrl+F11 refused: no pendant",
        "unlocked by the reconnection",
        "locked from the menu",
        "pendant lost: closed by the lock from the menu, after 0 key reports",
        "unlocked from the menu",
        "locked by Ctrl+F11",
        "unlocked by Ctrl+F11",
    };
    EXPECT_EQ(LinesWith(LogLines(), "lock"), expected);
}

// --- Other messages ----------------------------------------------------------------------------


TEST_F(DriverDialogMessages, SystemCommandsOutsideAboutRangeGetDefaultProcessing) {
    Start(false);
    EXPECT_FALSE(IsIconic(dlg.m_hWnd));
    SendMessageA(dlg.m_hWnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_TRUE(IsIconic(dlg.m_hWnd));
}

TEST_F(DriverDialogMessages, AboutSystemCommandOpensAboutBox) {
    Start(false);
    MessageBoxCloser closer("Qorin PX40 DRIVER-V2.3");
    // The low four bits belong to the system.
    EXPECT_EQ(SendMessageA(dlg.m_hWnd, WM_SYSCOMMAND, IDM_ABOUTBOX | 0x3, 0), 0);
    EXPECT_EQ(closer.Count(), 1);
}

// --- Shutdown ----------------------------------------------------------------------------------

using DriverDialogShutdown = DialogTest;

TEST_F(DriverDialogShutdown, DestroyStopsPollerClosesPendantAndFreesLibrary) {
    StartConnected();
    ASSERT_NE(GetModuleHandleA(hooklib::kFileName), nullptr);
    DWORD start = GetTickCount();
    DestroyWindow(dlg.m_hWnd);
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_EQ(dlg.m_hWnd, nullptr);
    // The window only asks for the shutdown; the link thread closes.
    ASSERT_TRUE(g_pendant.WaitIdle(5000)) << "the link thread is still busy";
    EXPECT_FALSE(poller::Running());
    EXPECT_EQ(g_pendant.connected, 0);
    EXPECT_EQ(LinkPeek::ReaderThreadId(), 0u);
    EXPECT_EQ(bus.OpenHandles(), 0);
    EXPECT_EQ(static_cast<HMODULE>(hooklib::firstModule), nullptr);
    EXPECT_EQ(static_cast<HMODULE>(hooklib::secondModule), nullptr);
    EXPECT_EQ(GetModuleHandleA(hooklib::kFileName), nullptr) << "every load was matched by a free";
    EXPECT_TRUE(HotKeyFree());
    EXPECT_EQ(dlg.notifyHandle, nullptr);
    EXPECT_EQ(dlg.notifyRegistered, 0);
    EXPECT_EQ(hooks->callCount[HravikUnHook], 0) << "shutdown does not unhook";
    EXPECT_EQ(CPendantDevice::Sink(), nullptr) << "the pendant object's last close would call a forwarder gone";
}

TEST_F(DriverDialogShutdown, ExitCommandStopsPollerAndClosesStopEvent) {
    StartConnected();
    ASSERT_TRUE(StopEventExists());
    Command(ID_EXIT);
    EXPECT_FALSE(poller::Running());
    EXPECT_FALSE(StopEventExists());
    EXPECT_EQ(g_pendant.connected, 0);
    // The window goes afterwards; the second stop there finds nothing to stop.
    DestroyWindow(dlg.m_hWnd);
    EXPECT_EQ(static_cast<HMODULE>(hooklib::firstModule), nullptr);
}

// A device that never completes a feature report holds the link: the menu's Lock and the exit
// cancel the stuck call instead of waiting on it for good.
TEST_F(DriverDialogShutdown, LockAndExitReturnWithAStuckFeatureReport) {
    StartConnected();
    bus.featureStalls = true;
    g_state.hostActive = 1;
    ASSERT_TRUE(WaitUntil([&] { return bus.stalledFeatures >= 1; }, 3000)) << "no frame was due";
    DWORD start = GetTickCount();
    Command(ID_LOCK);
    EXPECT_LT(GetTickCount() - start, 3000u) << "the lock waited on the stuck report";
    EXPECT_EQ(g_pendant.connected, 0);

    MessageBoxCloser closer("Infor");
    Command(ID_LOCK);
    ASSERT_EQ(g_pendant.connected, 1);
    ASSERT_TRUE(WaitUntil([&] { return bus.stalledFeatures >= 2; }, 3000));
    start = GetTickCount();
    Command(ID_EXIT);
    DestroyWindow(dlg.m_hWnd);
    EXPECT_LT(GetTickCount() - start, 3000u) << "the exit waited on the stuck report";
    bus.featureStalls = false;
}

// However the hook library behaves (a key inside a slow KeyBoardProc, a hung GetMaStep), the
// exit leaves the threads inside it behind rather than wait for them or kill them.
TEST_F(DriverDialogShutdown, ExitIsQuickWithThreadsInsideTheHookLibrary) {
    StartConnected();
    g_state.hostActive = 1;
    ASSERT_TRUE(HravikWaitForCalls(hooks, HravikGetMaStep, 1, 3000));
    hooks->hangMs[HravikGetMaStep] = 1500;
    hooks->hangMs[HravikKeyBoardProc] = 1500;
    LONG steps = hooks->callCount[HravikGetMaStep];
    ASSERT_TRUE(HravikWaitForCalls(hooks, HravikGetMaStep, steps + 1, 3000));
    ASSERT_TRUE(bus.SendKeys(0x12, 0, 0));
    ASSERT_TRUE(HravikWaitForCalls(hooks, HravikKeyBoardProc, 1, 3000));
    hooks->hangMs[HravikGetMaStep] = 0;
    hooks->hangMs[HravikKeyBoardProc] = 0;

    DWORD start = GetTickCount();
    SendMessageA(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(ID_EXIT, 0), 0);
    DestroyWindow(dlg.m_hWnd);
    EXPECT_LT(GetTickCount() - start, 1000u) << "the exit waited for the hook library";
    // The threads left behind come back, release the key and end by themselves.
    EXPECT_TRUE(WaitUntil([] { return hooklib::CallsInProgress() == 0; }, 5000));
    EXPECT_TRUE(g_pendant.WaitIdle(3000));
    EXPECT_EQ(bus.OpenHandles(), 0);
    PumpFor(100);
    std::vector<KeyCall> expected = {{0x100, 0x12}, {0x101, 0}};
    EXPECT_EQ(KeyCalls(hooks), expected);
    hooklib::FreeAll();
}

TEST_F(DriverDialogShutdown, ShutdownWhileLockedWithoutPendant) {
    Start(false);
    DestroyWindow(dlg.m_hWnd);
    EXPECT_FALSE(poller::Running());
    EXPECT_TRUE(HotKeyFree());
}

}  // namespace
