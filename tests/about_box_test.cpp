#include <gtest/gtest.h>

#include <vector>

#include "app/about_dlg.h"
#include "tray_windows.h"
#include "veltra_version.h"

using namespace traytest;

namespace {

// ---- The About box on its own ----------------------------------------------------------------

using AboutBox = DriverTest;

TEST_F(AboutBox, ShowsStatusTextAndLeavesItUnchanged) {
    g_state.statusText = "Trace ncstudio 8.x";
    AboutBoxWatcher boxes;
    CAboutDlg about;
    EXPECT_EQ(about.DoModal(), IDOK);
    ASSERT_EQ(boxes.Count(), 1);
    EXPECT_EQ(boxes.Texts()[0], "Trace ncstudio 8.x");
    EXPECT_TRUE(boxes.HadIcon());
    // Closing with OK reads the line back into the status text, which leaves it as it was.
    EXPECT_EQ(g_state.statusText, "Trace ncstudio 8.x");
}

// ---- Opened from the main dialog -------------------------------------------------------------

class AboutFromDialog : public DriverDialogTest {};

TEST_F(AboutFromDialog, ShowsStatusTextCurrentWhenOpened) {
    AboutBoxWatcher boxes;
    // Initialisation set the default line.
    Command(ID_ABOUT);
    g_state.statusText = kStatusV8;
    Command(ID_ABOUT);
    g_state.statusText = kStatusV5;
    Command(ID_ABOUT);
    ASSERT_EQ(boxes.Count(), 3);
    EXPECT_EQ(boxes.Texts(),
              (std::vector<std::string>{kStatusDefault, kStatusV8, kStatusV5}));
    for (const std::string& text : boxes.Texts()) EXPECT_NE(text, "Qorin PX40 Driver 2.2");
}

TEST_F(AboutFromDialog, SystemCommandsSixteenToThirtyOneOpenAbout) {
    AboutBoxWatcher boxes;
    struct Case {
        WPARAM id;
        int opens;
    };
    for (Case c : {Case{15, 0}, Case{16, 1}, Case{23, 1}, Case{31, 1}, Case{32, 0}}) {
        int before = boxes.Count();
        Send(WM_SYSCOMMAND, c.id, 0);
        EXPECT_EQ(boxes.Count() - before, c.opens) << "system command " << c.id;
    }
}

TEST_F(AboutFromDialog, SystemMenuEndsWithAboutItem) {
    HMENU systemMenu = GetSystemMenu(dlg.m_hWnd, FALSE);
    ASSERT_NE(systemMenu, nullptr);
    int count = GetMenuItemCount(systemMenu);
    ASSERT_GE(count, 2);
    EXPECT_EQ(GetMenuItemID(systemMenu, count - 1), static_cast<UINT>(IDM_ABOUTBOX));
    EXPECT_TRUE(GetMenuState(systemMenu, count - 2, MF_BYPOSITION) & MF_SEPARATOR);
    wchar_t text[64] = {0};
    GetMenuStringW(systemMenu, count - 1, text, 64, MF_BYPOSITION);
    EXPECT_STREQ(text, L"关于 veltra(&A)...");
}

TEST_F(AboutFromDialog, MainDialogKeepsHandlingRefreshesWhileAboutIsOpen) {
    // A refresh posted while the box is up is handled by the box's own loop.
    struct RefreshingWatcher : AboutBoxWatcher {
        HWND dialog = nullptr;
        std::atomic<bool> refreshed{false};
        void Handle(HWND box) override {
            PostMessageA(dialog, WM_REFRESH_STATUS, 0, 0);
            for (int i = 0; i < 400 && tray::LastIconId() == 128; ++i) Sleep(5);
            refreshed = tray::LastIconId() != 128;
            AboutBoxWatcher::Handle(box);
        }
    };
    g_state.pendantReady = 1;
    RefreshingWatcher boxes;
    boxes.dialog = dlg.m_hWnd;
    Command(ID_ABOUT);
    ASSERT_EQ(boxes.Count(), 1);
    EXPECT_TRUE(boxes.refreshed);
    EXPECT_EQ(tray::LastIconId(), 137u);
}

// ---- The menu, dialog, string and version resources ------------------------------------------

std::wstring MenuTextW(HMENU menu, UINT position) {
    wchar_t text[64] = {0};
    GetMenuStringW(menu, position, text, 64, MF_BYPOSITION);
    return text;
}

TEST(DriverResources, TrayMenuHoldsLockExitAbout) {
    HMENU menu = LoadMenuA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_TRAY_MENU));
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(GetMenuItemCount(menu), 1);
    EXPECT_EQ(MenuTextW(menu, 0), L"控制菜单");
    HMENU popup = GetSubMenu(menu, 0);
    ASSERT_NE(popup, nullptr);
    ASSERT_EQ(GetMenuItemCount(popup), 3);
    const struct {
        const char* text;
        UINT id;
        bool checked;
    } items[] = {{"Lock  &Ctrl+F11", 32771, true}, {"Exit", 32773, false}, {"About", 32774, false}};
    for (UINT i = 0; i < 3; ++i) {
        char text[64] = {0};
        GetMenuStringA(popup, i, text, sizeof(text), MF_BYPOSITION);
        EXPECT_STREQ(text, items[i].text);
        EXPECT_EQ(GetMenuItemID(popup, i), items[i].id);
        EXPECT_EQ((GetMenuState(popup, i, MF_BYPOSITION) & MF_CHECKED) != 0, items[i].checked);
    }
    DestroyMenu(menu);
}

TEST(DriverResources, AboutItemString) {
    wchar_t text[64] = {0};
    ASSERT_GT(LoadStringW(GetModuleHandleA(nullptr), IDS_ABOUTBOX, text, 64), 0);
    EXPECT_STREQ(text, L"关于 veltra(&A)...");
}

TEST(DriverResources, ResourcesAreChinesePrc) {
    const WORD prc = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
    HMODULE self = GetModuleHandleA(nullptr);
    EXPECT_NE(FindResourceExA(self, RT_MENU, MAKEINTRESOURCEA(IDR_TRAY_MENU), prc), nullptr);
    EXPECT_NE(FindResourceExA(self, RT_DIALOG, MAKEINTRESOURCEA(IDD_ABOUTBOX), prc), nullptr);
    EXPECT_NE(FindResourceExA(self, RT_DIALOG, MAKEINTRESOURCEA(IDD_DRIVER_DIALOG), prc), nullptr);
    for (int id : {IDI_ACTIVE, IDI_IDLE, IDI_NO_DEVICE, IDI_LOCKED_ACTIVE})
        EXPECT_NE(FindResourceExA(self, RT_GROUP_ICON, MAKEINTRESOURCEA(id), prc), nullptr) << id;
}

INT_PTR CALLBACK TemplateOnlyProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

TEST(DriverResources, AboutTemplateShowsCaptionAndStatusControl) {
    // Created without the driver's data exchange: what the template alone holds.
    HWND box = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ABOUTBOX), nullptr,
                                  TemplateOnlyProc, 0);
    ASSERT_NE(box, nullptr);
    char text[128] = {0};
    GetWindowTextA(box, text, sizeof(text));
    EXPECT_STREQ(text, kAboutTitle);
    GetDlgItemTextA(box, IDC_STATUS_TEXT, text, sizeof(text));
    EXPECT_STREQ(text, "Qorin PX40 Driver 2.2");
    GetDlgItemTextA(box, IDOK, text, sizeof(text));
    EXPECT_STREQ(text, "OK");
    LONG style = GetWindowLongA(GetDlgItem(box, IDC_STATUS_TEXT), GWL_STYLE);
    EXPECT_TRUE(style & SS_NOPREFIX);
    EXPECT_TRUE(GetWindowLongA(GetDlgItem(box, IDOK), GWL_STYLE) & BS_DEFPUSHBUTTON);
    DestroyWindow(box);
}

TEST(DriverResources, VersionDescribesDriver) {
    std::string exe = ExeDir() + "veltra.exe";
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(exe.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, size, block.data()));
    auto value = [&](const char* name) {
        char* text = nullptr;
        UINT length = 0;
        std::string path = std::string("\\StringFileInfo\\080404b0\\") + name;
        if (!VerQueryValueA(block.data(), path.c_str(), reinterpret_cast<void**>(&text), &length)) return std::string("<none>");
        return std::string(text);
    };
    EXPECT_EQ(value("FileDescription"), " Qorin PX40 Driver ");
    EXPECT_EQ(value("InternalName"), "veltra");
    EXPECT_EQ(value("ProductName"), "veltra");
    EXPECT_EQ(value("OriginalFilename"), "veltra.EXE");
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(MAKELONG(VELTRA_VERSION_MINOR, VELTRA_VERSION_MAJOR)));
    EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(MAKELONG(VELTRA_VERSION_TWEAK, VELTRA_VERSION_PATCH)));
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_GE(length, 4u);
    EXPECT_EQ(translation[0], 0x0804);
    EXPECT_EQ(translation[1], 1200);
}

}  // namespace
