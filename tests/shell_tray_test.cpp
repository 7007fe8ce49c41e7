// The driver's icon as the shell holds it: found in Wine's own notification area, its tip read
// there, its menu opened with a right click at its place on the screen and used with the mouse,
// and its image as the shell draws it at 144 DPI. The driver runs as its own process on the real
// HID calls, so no pendant is connected.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "res/resource.h"
#include "support/shell_tray.h"
#include "support/test_util.h"

namespace {

constexpr char kDriverTitle[] = "QEVR-1.4";
constexpr DWORD kStartMs = 15000;
// The tip at the start, and from the first status refresh (2.2 s on) when no pendant is connected.
constexpr char kStartTip[] = "Qorin";
constexpr char kNoPendantTip[] = "Please Insert Usb Controller!";
enum MenuRow { kLockRow = 0, kExitRow = 1, kMenuRows = 3 };

std::string DriverPath() { return ExeDir() + "veltra.exe"; }

class ShellTray : public ::testing::Test {
protected:
    void TearDown() override {
        if (driver_.Wait(0) == STILL_ACTIVE && window_) {
            PostMessageA(window_, WM_COMMAND, MAKEWPARAM(ID_EXIT, 0), 0);
            driver_.Wait(5000);
        }
    }

    // Starts the driver, on this desktop unless told otherwise, and finds its icon in the tray.
    void StartDriver(HDESK desktop = nullptr, const char* desktopName = nullptr) {
        std::vector<HWND> before = shelltray::IconWindows(desktop);
        ASSERT_TRUE(driver_.Start("\"" + DriverPath() + "\"", nullptr, nullptr, desktopName));
        ASSERT_TRUE(WaitUntil(
            [&] { return (window_ = harness::FindWindowOf(driver_.Pid(), kDriverTitle, nullptr, desktop)) != nullptr; },
            kStartMs));
        icon_ = shelltray::WaitForNewIcon(before, 5000, desktop);
        ASSERT_NE(icon_, nullptr) << "the driver's icon never appeared in Wine's tray";
    }

    HWND OpenMenu() { return shelltray::OpenMenu(icon_, driver_.Pid()); }

    ChildProcess driver_;
    HWND window_ = nullptr;
    HWND icon_ = nullptr;
};

TEST_F(ShellTray, IconShowsTheDriversTip) {
    StartDriver();
    std::string note;
    std::string tip = shelltray::WaitForTip(icon_, {kStartTip, kNoPendantTip}, 20000, &note);
    EXPECT_TRUE(tip == kStartTip || tip == kNoPendantTip) << "tip: \"" << tip << "\"; " << note;
}

// Without a pendant the driver runs locked; Lock tries to unlock, finds no pendant and says so.
TEST_F(ShellTray, RightClickOpensMenuWhoseLockAsksForThePendant) {
    StartDriver();
    MessageBoxCloser boxes("Infor", driver_.Pid());
    HWND menu = OpenMenu();
    ASSERT_NE(menu, nullptr) << "no menu: the shell's callback never reached the driver";
    ASSERT_TRUE(shelltray::ClickMenuRow(menu, kLockRow, kMenuRows));
    ASSERT_TRUE(WaitUntil([&] { return boxes.Count() == 1; }, 5000)) << "Lock showed no message";
    EXPECT_EQ(boxes.LastText(), "Please Insert Usb!");
    PumpFor(200);
    EXPECT_EQ(driver_.Wait(0), static_cast<DWORD>(STILL_ACTIVE));
}

TEST_F(ShellTray, ExitFromTheMenuEndsTheDriverAndTheIconLeaves) {
    StartDriver();
    HWND menu = OpenMenu();
    ASSERT_NE(menu, nullptr) << "no menu: the shell's callback never reached the driver";
    ASSERT_TRUE(shelltray::ClickMenuRow(menu, kExitRow, kMenuRows));
    EXPECT_EQ(driver_.Wait(5000), 0u) << "the driver ends with a clean exit code";
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(icon_); }, 5000)) << "the icon stayed in the tray";
}

// ---- The image the shell draws at 144 DPI ----------------------------------------------------

// The display's DPI as Wine reads it when a process starts, set for as long as this lives.
class LogPixels {
public:
    explicit LogPixels(DWORD dpi) {
        if (RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, nullptr, 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_, nullptr) != ERROR_SUCCESS)
            return;
        DWORD size = sizeof(saved_);
        had_ = RegQueryValueExA(key_, "LogPixels", nullptr, &type_, reinterpret_cast<BYTE*>(&saved_), &size) ==
               ERROR_SUCCESS;
        set_ = RegSetValueExA(key_, "LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof(dpi)) ==
               ERROR_SUCCESS;
    }
    ~LogPixels() {
        if (!key_) return;
        if (had_)
            RegSetValueExA(key_, "LogPixels", 0, type_, reinterpret_cast<const BYTE*>(&saved_), sizeof(saved_));
        else
            RegDeleteValueA(key_, "LogPixels");
        RegCloseKey(key_);
    }
    bool Set() const { return set_; }

private:
    HKEY key_ = nullptr;
    DWORD saved_ = 0;
    DWORD type_ = REG_DWORD;
    bool had_ = false;
    bool set_ = false;
};

// A desktop of the test's own. Its first window starts a shell of its own, with a tray of its
// own, which reads the display's DPI afresh; the shell of the test's desktop keeps its own.
class PrivateDesktop {
public:
    PrivateDesktop() {
        char station[64] = {0};
        DWORD size = 0;
        GetUserObjectInformationA(GetProcessWindowStation(), UOI_NAME, station, sizeof(station), &size);
        std::string name = "veltra-test-" + std::to_string(GetCurrentProcessId());
        handle_ = CreateDesktopA(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        fullName_ = std::string(station) + "\\" + name;
    }
    ~PrivateDesktop() {
        if (handle_) CloseDesktop(handle_);
    }
    HDESK Handle() const { return handle_; }
    const char* Name() const { return fullName_.c_str(); }

private:
    HDESK handle_ = nullptr;
    std::string fullName_;
};

// This thread in the screen's own pixels: a window of a process at another DPI is otherwise
// placed and measured scaled to this process's DPI.
class PhysicalPixels {
public:
    PhysicalPixels() {
        set_ = reinterpret_cast<SetContext>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "SetThreadDpiAwarenessContext")));
        // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE; Windows 10 1607 and later, and Wine.
        if (set_) previous_ = set_(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-3)));
    }
    ~PhysicalPixels() {
        if (set_ && previous_) set_(previous_);
    }

private:
    using SetContext = HANDLE(WINAPI*)(HANDLE);
    SetContext set_ = nullptr;
    HANDLE previous_ = nullptr;
};

struct Raise {
    HDESK desktop;
    HWND window;
};

// Only a thread of that desktop may change the order of its windows.
DWORD WINAPI RaiseOnDesktop(LPVOID parameter) {
    auto* raise = static_cast<Raise*>(parameter);
    if (!SetThreadDesktop(raise->desktop)) return 1;
    return SetWindowPos(raise->window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE) ? 0 : 1;
}

// At 144 DPI the small icon is 24 pixels: the tray shows the driver's own 24-pixel image, not
// the 16-pixel one stretched. The driver and a shell of its own start on a desktop of the test's
// own while LogPixels says 144, so nothing else sees the changed DPI for long.
TEST_F(ShellTray, At144DpiTheTrayShowsTheTwentyFourPixelImage) {
    HMODULE images = LoadLibraryExA(DriverPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(images, nullptr);
    // Until the first status refresh the icon is the active one, then the one without pendant;
    // each as its 24-pixel image and as its 16-pixel one, which the shell would stretch.
    struct Images {
        HICON exact, stretched;
    } candidates[2];
    const int ids[2] = {IDI_ACTIVE, IDI_NO_DEVICE};
    for (int i = 0; i < 2; ++i)
        for (int size : {24, 16}) {
            HICON icon = static_cast<HICON>(LoadImageA(images, MAKEINTRESOURCEA(ids[i]), IMAGE_ICON, size, size, 0));
            ASSERT_NE(icon, nullptr);
            (size == 24 ? candidates[i].exact : candidates[i].stretched) = icon;
        }

    PrivateDesktop desktop;
    ASSERT_NE(desktop.Handle(), nullptr);
    {
        LogPixels dpi(144);
        ASSERT_TRUE(dpi.Set());
        StartDriver(desktop.Handle(), desktop.Name());
    }
    HWND tray = shelltray::TrayOf(icon_);
    DWORD shellPid = 0;
    GetWindowThreadProcessId(tray, &shellPid);
    HANDLE shell = OpenProcess(SYNCHRONIZE, FALSE, shellPid);

    // Above the test desktop's own tray, which shows in the same corner whenever it holds icons.
    Raise raise{desktop.Handle(), tray};
    HANDLE raiser = CreateThread(nullptr, 0, RaiseOnDesktop, &raise, 0, nullptr);
    ASSERT_NE(raiser, nullptr);
    WaitForSingleObject(raiser, 5000);
    CloseHandle(raiser);

    PhysicalPixels physical;
    RECT box{};
    SIZE size{};
    std::vector<DWORD> seen;
    const Images* match = nullptr;
    int fewest = -1;
    WaitUntil(
        [&] {
            GetWindowRect(icon_, &box);
            size = SIZE{box.right - box.left, box.bottom - box.top};
            if (size.cx < 24 || size.cy < 24) return false;
            seen = shelltray::Capture(box);
            for (const Images& candidate : candidates) {
                int differing = shelltray::Differing(seen, candidate.exact, 24, size);
                if (fewest < 0 || differing < fewest) fewest = differing;
                if (differing == 0) match = &candidate;
            }
            return match != nullptr;
        },
        8000);
    EXPECT_GE(size.cx, 24) << "the shell's icon window is sized for 24-pixel icons";
    EXPECT_NE(match, nullptr) << fewest << " pixels unlike the 24-pixel image in the " << size.cx << "x"
                              << size.cy << " icon window";
    // The comparison tells the exact image from the stretched one.
    if (match) {
        EXPECT_GT(shelltray::Differing(seen, match->stretched, 24, size), 20);
    }

    PostMessageA(window_, WM_COMMAND, MAKEWPARAM(ID_EXIT, 0), 0);
    EXPECT_EQ(driver_.Wait(5000), 0u);
    for (const Images& candidate : candidates) {
        DestroyIcon(candidate.exact);
        DestroyIcon(candidate.stretched);
    }
    FreeLibrary(images);
    if (shell) {
        WaitForSingleObject(shell, 5000);
        CloseHandle(shell);
    }
}

}  // namespace
