#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "tray_windows.h"

using namespace traytest;

namespace {

BOOL ToShell(DWORD action, HWND owner, UINT flags = 0, const char* tip = "") {
    NOTIFYICONDATAA data;
    std::memset(&data, 0, sizeof(data));
    data.cbSize = NOTIFYICONDATAA_V1_SIZE;
    data.hWnd = owner;
    data.uID = tray::kIconId;
    data.uFlags = flags;
    std::strcpy(data.szTip, tip);
    return Shell_NotifyIconA(action, &data);
}

// Asks the shell itself whether it holds the driver's icon: a modify (of nothing) succeeds only
// then.
bool ShellHoldsIcon(HWND owner) { return ToShell(NIM_MODIFY, owner) != FALSE; }
void ShellForgetsIcon(HWND owner) { ToShell(NIM_DELETE, owner); }

HICON SmallIconOf(HWND hwnd) { return reinterpret_cast<HICON>(SendMessageA(hwnd, WM_GETICON, ICON_SMALL, 0)); }

// ---- The icon and its tip --------------------------------------------------------------------

class TrayIcon : public DriverDialogTest {};

TEST_F(TrayIcon, CreationAddsIcon128WithTipQorin) {
    EXPECT_EQ(tray::LastIconId(), 128u);
    EXPECT_EQ(tray::LastTip(), "Qorin");
    EXPECT_EQ(dlg.trayIconId, 128u);
    EXPECT_TRUE(ShellHoldsIcon(dlg.m_hWnd));
}

TEST_F(TrayIcon, StateTableChoosesIconAndTip) {
    struct Row {
        int connected, enabled, hostActive;
        UINT icon;
        const char* tip;
    };
    const Row rows[] = {
        {0, 0, 0, 137, "Please Insert Usb Controller!"}, {0, 0, 1, 137, "Please Insert Usb Controller!"},
        {0, 1, 0, 137, "Please Insert Usb Controller!"}, {0, 1, 1, 137, "Please Insert Usb Controller!"},
        {1, 0, 1, 138, "LOCKED!"},                       {1, 0, 0, 137, "LOCKED!"},
        {1, 1, 1, 128, "Qorin Handle Driver."},          {1, 1, 0, 136, "IDLE!"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "connected " << row.connected << " enabled " << row.enabled
                                        << " hostActive " << row.hostActive);
        if (row.connected && g_pendant.connected == 0) Connect();
        if (!row.connected) g_pendant.Close();
        // Nothing to reconnect: the row's connection stays as set.
        g_state.pendantReady = 1;
        g_state.enabled = row.enabled;
        g_state.hostActive = row.hostActive;
        dlg.trayIconId = 0;  // so the row's icon is a change and is shown
        EXPECT_EQ(Refresh(), 1);
        EXPECT_EQ(g_pendant.connected, row.connected);
        EXPECT_EQ(dlg.trayIconId, row.icon);
        EXPECT_EQ(tray::LastIconId(), row.icon);
        EXPECT_EQ(tray::LastTip(), row.tip);
        EXPECT_EQ(dlg.refreshPending, 0);
        // The window's icon and m_hIcon follow the tray, at the tray's small size.
        EXPECT_EQ(SmallIconOf(dlg.m_hWnd), dlg.m_hIcon);
        ICONINFO info{};
        ASSERT_TRUE(GetIconInfo(dlg.m_hIcon, &info));
        BITMAP bitmap{};
        GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bitmap), &bitmap);
        EXPECT_EQ(bitmap.bmWidth, GetSystemMetrics(SM_CXSMICON));
        if (info.hbmColor) DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
    }
}

TEST_F(TrayIcon, RefreshReconnectsAndShowsIdle) {
    g_state.pendantReady = 0;
    g_state.enabled = 0;
    Refresh();
    EXPECT_EQ(g_pendant.connected, 1);
    EXPECT_EQ(g_state.enabled, 1);
    EXPECT_EQ(tray::LastIconId(), 136u);
    EXPECT_EQ(tray::LastTip(), "IDLE!");
}

TEST_F(TrayIcon, TipStaysWhileIconIdStays) {
    g_state.pendantReady = 1;  // no reconnect: the pendant stays away
    Refresh();
    ASSERT_EQ(tray::LastIconId(), 137u);
    ASSERT_EQ(tray::LastTip(), "Please Insert Usb Controller!");
    HICON shown = dlg.m_hIcon;

    // Locked with the host inactive is icon 137 too: nothing is rewritten.
    ASSERT_EQ(g_pendant.Open(dlg.m_hWnd), 1);
    g_state.enabled = 0;
    g_state.hostActive = 0;
    Refresh();
    EXPECT_EQ(tray::LastIconId(), 137u);
    EXPECT_EQ(tray::LastTip(), "Please Insert Usb Controller!");
    EXPECT_EQ(dlg.m_hIcon, shown);

    // 137 and 138 look alike, yet a change between them rewrites the tip.
    g_state.hostActive = 1;
    Refresh();
    EXPECT_EQ(tray::LastIconId(), 138u);
    EXPECT_EQ(tray::LastTip(), "LOCKED!");
}

TEST_F(TrayIcon, SwitchingIconsBackAndForthReusesSharedHandles) {
    Connect();
    g_state.pendantReady = 1;
    g_state.enabled = 1;
    std::vector<HICON> seen;
    for (int i = 0; i < 6; ++i) {
        g_state.hostActive = i % 2;
        Refresh();
        seen.push_back(dlg.m_hIcon);
    }
    EXPECT_NE(seen[0], seen[1]);
    EXPECT_EQ(seen[0], seen[2]);
    EXPECT_EQ(seen[1], seen[3]);
    EXPECT_EQ(seen[0], seen[4]);
}

TEST_F(TrayIcon, TaskbarCreatedAddsIconAgainAsItWas) {
    Connect();
    g_state.pendantReady = 1;
    g_state.hostActive = 0;
    Refresh();
    ASSERT_EQ(tray::LastIconId(), 136u);

    // Explorer restarted: its new tray knows nothing of the icon.
    ShellForgetsIcon(dlg.m_hWnd);
    ASSERT_FALSE(ShellHoldsIcon(dlg.m_hWnd));
    Send(RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    EXPECT_TRUE(ShellHoldsIcon(dlg.m_hWnd));
    EXPECT_EQ(tray::LastIconId(), 136u);
    EXPECT_EQ(tray::LastTip(), "IDLE!");
    EXPECT_EQ(dlg.trayIconId, 136u);
}

// The shell refuses the add of an icon it holds; the driver takes that for shown, not for a shell
// that is not ready.
TEST_F(TrayIcon, TaskbarCreatedWhileShellStillHoldsIconKeepsIt) {
    Send(RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    EXPECT_TRUE(ShellHoldsIcon(dlg.m_hWnd));
    EXPECT_EQ(tray::LastTip(), "Qorin");
    EXPECT_FALSE(KillTimer(dlg.m_hWnd, tray::kRetryTimerId)) << "no retries were started";
}

TEST_F(TrayIcon, DestroyRemovesIcon) {
    HWND hwnd = dlg.m_hWnd;
    ASSERT_TRUE(ShellHoldsIcon(hwnd));
    DestroyWindow(hwnd);
    EXPECT_FALSE(ShellHoldsIcon(hwnd));
}

// ---- A first add that the shell refuses ------------------------------------------------------

// Puts an icon with the driver's id on the dialog's window the moment it is created, so that
// the driver's own add at WM_CREATE is refused as a duplicate, as a shell that is not ready is.
HHOOK g_cbt = nullptr;
HWND g_occupied = nullptr;
LRESULT CALLBACK OccupyTrayIdHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND && !g_occupied) {
        auto* create = reinterpret_cast<CBT_CREATEWNDA*>(lParam);
        if (!create->lpcs->hwndParent) {
            g_occupied = reinterpret_cast<HWND>(wParam);
            ToShell(NIM_ADD, g_occupied, NIF_TIP, "occupied");
        }
    }
    return CallNextHookEx(g_cbt, code, wParam, lParam);
}

class TrayRetry : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        g_occupied = nullptr;
        g_cbt = SetWindowsHookExA(WH_CBT, OccupyTrayIdHook, nullptr, GetCurrentThreadId());
        Start(true);
        UnhookWindowsHookEx(g_cbt);
        ASSERT_EQ(g_occupied, dlg.m_hWnd);
        KillTimer(dlg.m_hWnd, TIMER_TICK);
    }
};

TEST_F(TrayRetry, RefusedFirstAddIsTriedAgainUntilShellTakesIt) {
    MessageRecorder received(dlg.m_hWnd);
    // The shell becomes ready: the next try, about 2 s on, succeeds.
    ShellForgetsIcon(dlg.m_hWnd);
    DWORD start = GetTickCount();
    ASSERT_TRUE(WaitUntil([&] { return ShellHoldsIcon(dlg.m_hWnd); }, 6000));
    EXPECT_GE(GetTickCount() - start, 1000u);
    EXPECT_EQ(MessageRecorder::TrayRetries(), 1);
    // What the icon shows by then: the first refresh, posted at the end of the initialisation,
    // connected the pendant.
    EXPECT_EQ(tray::LastTip(), "IDLE!");
    // Once shown, the retries stop: the try that succeeded ended them.
    EXPECT_FALSE(KillTimer(dlg.m_hWnd, tray::kRetryTimerId)) << "the retries go on";
}

TEST_F(TrayRetry, GivesUpAfterFiveTries) {
    MessageRecorder received(dlg.m_hWnd);
    // The shell keeps refusing (the duplicate stays).
    ASSERT_TRUE(WaitUntil([] { return MessageRecorder::TrayRetries() == tray::kMaxRetries; }, 13000));
    // The last try ended them.
    EXPECT_FALSE(KillTimer(dlg.m_hWnd, tray::kRetryTimerId)) << "the retries go on";
}

// ---- Mouse messages and the popup menu -------------------------------------------------------

class TrayMenu : public DriverDialogTest {};

TEST_F(TrayMenu, ForeignIconIdReturnsOneAndOpensNothing) {
    PopupMenuWatcher menus;
    for (LPARAM mouse : {WM_RBUTTONUP, WM_LBUTTONUP, WM_RBUTTONDOWN}) {
        EXPECT_EQ(TrayNotify(129, mouse), 1);
        EXPECT_EQ(TrayNotify(0, mouse), 1);
    }
    PumpFor(100);
    EXPECT_EQ(menus.Count(), 0);
}

TEST_F(TrayMenu, OnlyRightButtonReleaseOpensMenu) {
    PopupMenuWatcher menus;
    for (LPARAM mouse : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_RBUTTONDOWN, WM_MOUSEMOVE,
                         WM_RBUTTONDBLCLK, WM_MBUTTONUP}) {
        EXPECT_EQ(TrayNotify(tray::kIconId, mouse), 0);
    }
    PumpFor(100);
    EXPECT_EQ(menus.Count(), 0);
    EXPECT_EQ(TrayNotify(tray::kIconId, WM_RBUTTONUP), 0);
    EXPECT_EQ(menus.Count(), 1);
    EXPECT_EQ(menus.Items(), (std::vector<std::string>{"Lock  &Ctrl+F11", "Exit", "About"}));
}

TEST_F(TrayMenu, LockIsCheckedExactlyWhileLocked) {
    PopupMenuWatcher menus;
    g_state.enabled = 1;
    TrayNotify(tray::kIconId, WM_RBUTTONUP);
    ASSERT_EQ(menus.Count(), 1);
    EXPECT_FALSE(menus.LockChecked());
    g_state.enabled = 0;
    TrayNotify(tray::kIconId, WM_RBUTTONUP);
    ASSERT_EQ(menus.Count(), 2);
    EXPECT_TRUE(menus.LockChecked());
}

TEST_F(TrayMenu, PreparedMenuReplacesTemplateCheckMark) {
    for (int enabled : {1, 0, 1}) {
        HMENU menu = tray::LoadPreparedMenu(enabled);
        ASSERT_NE(menu, nullptr);
        UINT state = GetMenuState(GetSubMenu(menu, 0), ID_LOCK, MF_BYCOMMAND);
        EXPECT_EQ((state & MF_CHECKED) != 0, enabled == 0) << "enabled " << enabled;
        DestroyMenu(menu);
    }
}

TEST_F(TrayMenu, ChoosingLockReachesDialogAndLocks) {
    Connect();
    ASSERT_EQ(g_state.enabled, 1);
    MessageRecorder received(dlg.m_hWnd);
    PopupMenuWatcher menus(0);
    TrayNotify(tray::kIconId, WM_RBUTTONUP);
    ASSERT_TRUE(WaitUntil([] { return !MessageRecorder::Of(WM_COMMAND).empty(); }, 3000));
    EXPECT_EQ(MessageRecorder::Of(WM_COMMAND), std::vector<WPARAM>{ID_LOCK});
    EXPECT_EQ(g_state.enabled, 0);
    Settle();
    EXPECT_EQ(g_pendant.connected, 0) << "locking from the menu closes the pendant";
}

TEST_F(TrayMenu, ChoosingAboutReachesDialogAndShowsAbout) {
    MessageRecorder received(dlg.m_hWnd);
    AboutBoxWatcher boxes;
    PopupMenuWatcher menus(2);
    TrayNotify(tray::kIconId, WM_RBUTTONUP);
    ASSERT_TRUE(WaitUntil([&] { return boxes.Count() == 1; }, 3000));
    EXPECT_EQ(MessageRecorder::Of(WM_COMMAND), std::vector<WPARAM>{ID_ABOUT});
}

TEST_F(TrayMenu, ChoosingExitReachesDialog) {
    MessageRecorder received(dlg.m_hWnd);
    PopupMenuWatcher menus(1);
    TrayNotify(tray::kIconId, WM_RBUTTONUP);
    ASSERT_TRUE(WaitUntil([] { return !MessageRecorder::Of(WM_COMMAND).empty(); }, 3000));
    EXPECT_EQ(MessageRecorder::Of(WM_COMMAND), std::vector<WPARAM>{ID_EXIT});
}

// ---- The icons as built into the executable --------------------------------------------------

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colorCount, reserved;
    WORD planes, bitCount;
    DWORD bytesInRes;
    WORD id;
};
struct GroupIconHeader {
    WORD reserved, type, count;
    GroupIconEntry entries[1];
};
#pragma pack(pop)

class TrayIconResources : public ::testing::Test {
protected:
    void SetUp() override {
        module = LoadLibraryExA((ExeDir() + "veltra.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr);
    }
    void TearDown() override { FreeLibrary(module); }
    const void* Resource(LPCSTR type, int id, DWORD* size) {
        HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), type);
        if (!found) return nullptr;
        *size = SizeofResource(module, found);
        return LockResource(LoadResource(module, found));
    }
    // The image of one size as stored: its header and pixels.
    std::vector<BYTE> Image(int iconId, int pixels) {
        DWORD size = 0;
        auto* group = static_cast<const GroupIconHeader*>(Resource(RT_GROUP_ICON, iconId, &size));
        for (int i = 0; group && i < group->count; ++i) {
            if (group->entries[i].width != pixels) continue;
            const void* image = Resource(RT_ICON, group->entries[i].id, &size);
            if (!image) return {};
            auto* bytes = static_cast<const BYTE*>(image);
            return std::vector<BYTE>(bytes, bytes + size);
        }
        return {};
    }
    HMODULE module = nullptr;
};

TEST_F(TrayIconResources, EachIconHoldsFiveSizesAt32Bits) {
    for (int iconId : {IDI_ACTIVE, IDI_IDLE, IDI_NO_DEVICE, IDI_LOCKED_ACTIVE}) {
        SCOPED_TRACE(iconId);
        DWORD size = 0;
        auto* group = static_cast<const GroupIconHeader*>(Resource(RT_GROUP_ICON, iconId, &size));
        ASSERT_NE(group, nullptr);
        EXPECT_EQ(group->type, 1);
        ASSERT_EQ(group->count, 5);
        std::vector<int> sizes;
        for (int i = 0; i < group->count; ++i) {
            const GroupIconEntry& entry = group->entries[i];
            sizes.push_back(entry.width);
            EXPECT_EQ(entry.height, entry.width);
            EXPECT_EQ(entry.bitCount, 32);
            DWORD imageSize = 0;
            auto* header = static_cast<const BITMAPINFOHEADER*>(Resource(RT_ICON, entry.id, &imageSize));
            ASSERT_NE(header, nullptr);
            EXPECT_EQ(imageSize, entry.bytesInRes);
            // A stored icon image is a DIB twice as high as the icon: colour and mask.
            EXPECT_EQ(header->biWidth, entry.width);
            EXPECT_EQ(header->biHeight, 2 * entry.width);
            EXPECT_EQ(header->biBitCount, 32);
        }
        std::sort(sizes.begin(), sizes.end());
        EXPECT_EQ(sizes, (std::vector<int>{16, 20, 24, 32, 48}));
    }
}

TEST_F(TrayIconResources, LockedIconsLookAlikeAndStatesDiffer) {
    for (int pixels : {16, 48}) {
        SCOPED_TRACE(pixels);
        std::vector<BYTE> active = Image(IDI_ACTIVE, pixels), idle = Image(IDI_IDLE, pixels);
        std::vector<BYTE> noDevice = Image(IDI_NO_DEVICE, pixels), locked = Image(IDI_LOCKED_ACTIVE, pixels);
        ASSERT_FALSE(active.empty());
        EXPECT_EQ(noDevice, locked);
        EXPECT_NE(active, idle);
        EXPECT_NE(active, noDevice);
    }
}

TEST_F(TrayIconResources, TrayLoadsSmallImageOncePerIcon) {
    // The tray's load: shared handles at the small-icon size, the same handle every time.
    HMODULE self = GetModuleHandleA(nullptr);
    int cx = GetSystemMetrics(SM_CXSMICON), cy = GetSystemMetrics(SM_CYSMICON);
    HANDLE first = LoadImageA(self, MAKEINTRESOURCEA(IDI_IDLE), IMAGE_ICON, cx, cy, LR_SHARED);
    HANDLE again = LoadImageA(self, MAKEINTRESOURCEA(IDI_IDLE), IMAGE_ICON, cx, cy, LR_SHARED);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, again);
}

}  // namespace
