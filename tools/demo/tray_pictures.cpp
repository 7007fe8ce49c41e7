// veltra-tray-pictures OUTDIR: pictures of Wine's notification area holding the driver's icon in
// its three states, as OUTDIR\tray-idle.bmp, tray-active.bmp and tray-locked.bmp. Runs veltra.exe
// with the test HID device as the pendant, the stand-in hook library and the stand-in NcStudio, as
// the demo does: idle once the pendant is connected, active once NcStudio is in front, locked
// after Ctrl+F11. A picture is taken once the icon on the screen is that state's image. Exit code
// 0 when all three were taken.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "host_client.h"
#include "support/harness.h"
#include "support/shell_tray.h"

using namespace harness;

namespace {

// The icons' resource ids (res/resource.h).
constexpr int kActiveIcon = 128;
constexpr int kIdleIcon = 136;
constexpr int kLockedActiveIcon = 138;
constexpr DWORD kStateMs = 15000;  // a state shows at the next status refresh, every 2.2 s

class Pictures {
public:
    explicit Pictures(std::string outDir) : out_(std::move(outDir)) {}

    int Run() {
        std::string dir = ExeDir();
        std::string block = "veltra-tray-pictures-" + std::to_string(GetCurrentProcessId());
        SetEnvironmentVariableA("HRAVIK_SHM", block.c_str());
        if (!hooks_.Attach()) return Fail("cannot map the hook library's shared block");
        images_ = LoadLibraryExA((dir + "veltra.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (!images_) return Fail("cannot read the driver's icons");

        if (!pendant_.Plug()) return Fail("the test HID device could not be plugged in");
        std::vector<HWND> before = shelltray::IconWindows();
        if (!driver_.Start(dir + "veltra.exe") || !driver_.WaitWindow(kStateMs)) return Fail("the driver did not start");
        WaitUntil(
            [&] {
                for (HWND icon : shelltray::IconWindows())
                    if (std::find(before.begin(), before.end(), icon) == before.end()) icon_ = icon;
                return icon_ != nullptr;
            },
            kStateMs);
        if (!icon_) return Fail("the driver's icon never appeared in Wine's tray");
        if (!KeyPathOpen(pendant_, hooks_, kStateMs)) return Fail("the driver never took the pendant");
        // Nothing over the tray: no pointer, no tip.
        SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);

        int taken = Take("idle", kIdleIcon);
        if (!host_.Start(dir + "ncstudio-v8.exe")) return Fail("the stand-in NcStudio did not start");
        // Its window would cover the tray in the corner.
        RECT tray{};
        GetWindowRect(shelltray::TrayOf(icon_), &tray);
        SetWindowPos(host_.MainWindow(), nullptr, tray.right + 40, tray.bottom + 40, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        host_.Front("main");
        hooks_.WaitCalls(HravikEnableMap, 1, kStateMs);
        taken += Take("active", kActiveIcon);
        SendHotKey();
        taken += Take("locked", kLockedActiveIcon);

        driver_.Exit();
        host_.Quit();
        FreeLibrary(images_);
        return taken == 3 ? 0 : 1;
    }

private:
    // Waits until the icon on the screen is the given image, then saves a picture of the tray.
    int Take(const char* state, int iconId) {
        int size = GetSystemMetrics(SM_CXSMICON);
        HICON image = static_cast<HICON>(
            LoadImageA(images_, MAKEINTRESOURCEA(iconId), IMAGE_ICON, size, size, 0));
        bool shown = image && WaitUntil(
                                  [&] {
                                      RECT box{};
                                      GetWindowRect(icon_, &box);
                                      std::vector<DWORD> seen = shelltray::Capture(box);
                                      return !seen.empty() &&
                                             shelltray::Differing(seen, image, size, shelltray::SizeOf(box)) == 0;
                                  },
                                  kStateMs);
        if (image) DestroyIcon(image);
        if (!shown) {
            std::fprintf(stderr, "tray-pictures: the icon never showed the %s state\n", state);
            return 0;
        }
        RECT tray{};
        GetWindowRect(shelltray::TrayOf(icon_), &tray);
        std::string path = out_ + "\\tray-" + state + ".bmp";
        if (!shelltray::SaveBmp(path, shelltray::Capture(tray), shelltray::SizeOf(tray))) {
            std::fprintf(stderr, "tray-pictures: cannot write %s\n", path.c_str());
            return 0;
        }
        std::printf("%s\n", path.c_str());
        return 1;
    }

    int Fail(const char* what) {
        std::fprintf(stderr, "tray-pictures: %s\n", what);
        return 1;
    }

    std::string out_;
    HMODULE images_ = nullptr;
    HWND icon_ = nullptr;
    HookRecords hooks_;
    Pendant pendant_;
    DriverProcess driver_;
    HostProcess host_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: veltra-tray-pictures OUTDIR\n");
        return 2;
    }
    return Pictures(argv[1]).Run();
}
