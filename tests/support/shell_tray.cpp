#include "support/shell_tray.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/harness.h"

namespace shelltray {

namespace {

bool HasClass(HWND hwnd, const char* name) { return harness::ClassOf(hwnd) == name; }

BOOL CALLBACK CollectIcon(HWND hwnd, LPARAM list) {
    if (HasClass(hwnd, "__winex11_tray_icon")) reinterpret_cast<std::vector<HWND>*>(list)->push_back(hwnd);
    return TRUE;
}

BOOL CALLBACK CollectTrayIcons(HWND hwnd, LPARAM list) {
    if (HasClass(hwnd, "__winex11_standalone_tray")) EnumChildWindows(hwnd, CollectIcon, list);
    return TRUE;
}


// A 32-bit bitmap to draw on, read back as 0x00RRGGBB, top row first.
class Canvas {
public:
    explicit Canvas(SIZE size) : size_(size) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = size.cx;
        info.bmiHeader.biHeight = -size.cy;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        dc_ = CreateCompatibleDC(nullptr);
        dib_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
        old_ = SelectObject(dc_, dib_);
    }
    ~Canvas() {
        SelectObject(dc_, old_);
        DeleteObject(dib_);
        DeleteDC(dc_);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    HDC Dc() const { return dc_; }
    void Fill(DWORD colour) {
        if (bits_) std::fill(bits_, bits_ + size_.cx * size_.cy, colour);
    }
    std::vector<DWORD> Pixels() const {
        if (!bits_) return {};
        GdiFlush();
        std::vector<DWORD> pixels(bits_, bits_ + size_.cx * size_.cy);
        for (DWORD& p : pixels) p &= 0xFFFFFF;
        return pixels;
    }

private:
    SIZE size_;
    HDC dc_ = nullptr;
    HBITMAP dib_ = nullptr;
    HGDIOBJ old_ = nullptr;
    DWORD* bits_ = nullptr;
};


// An icon drawn at drawn x drawn pixels, centred on a box of one colour, as the tray draws it.
std::vector<DWORD> Render(HICON icon, int drawn, SIZE box, DWORD background) {
    Canvas canvas(box);
    canvas.Fill(background);
    DrawIconEx(canvas.Dc(), (box.cx - drawn) / 2, (box.cy - drawn) / 2, icon, drawn, drawn, 0, nullptr, DI_NORMAL);
    return canvas.Pixels();
}

BOOL CALLBACK CollectOpenMenu(HWND hwnd, LPARAM list) {
    DWORD pid = 0;
    if (HasClass(hwnd, "#32768") && IsWindowVisible(hwnd) && GetWindowThreadProcessId(hwnd, &pid))
        reinterpret_cast<std::string*>(list)->append(" " + std::to_string(pid));
    return TRUE;
}

struct TipSearch {
    HWND tray;
    HWND found;
};

BOOL CALLBACK FindShownTip(HWND hwnd, LPARAM lParam) {
    auto* search = reinterpret_cast<TipSearch*>(lParam);
    if (!HasClass(hwnd, "tooltips_class32") || !IsWindowVisible(hwnd)) return TRUE;
    if (GetAncestor(GetWindow(hwnd, GW_OWNER), GA_ROOT) != search->tray) return TRUE;
    search->found = hwnd;
    return FALSE;
}

BOOL CALLBACK FindShownBalloon(HWND hwnd, LPARAM lParam) {
    if (!HasClass(hwnd, "tooltips_class32") || !IsWindowVisible(hwnd)) return TRUE;
    if (!(GetWindowLongA(hwnd, GWL_STYLE) & TTS_BALLOON)) return TRUE;
    *reinterpret_cast<HWND*>(lParam) = hwnd;
    return FALSE;
}

using harness::TextOf;

POINT CentreOf(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

// Waits until the icon is what the pointer would find at its centre. Wine puts the tray at the
// screen's corner, where any window opened since may lie over it: the tray is raised, without
// taking the focus, as an operator would bring it up. The window found there last goes to *under.
bool Uncovered(HWND icon, HWND* under) {
    return WaitUntil(
        [&] {
            if ((*under = WindowFromPoint(CentreOf(icon))) == icon) return true;
            SetWindowPos(TrayOf(icon), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
            return false;
        },
        3000);
}

// Wine keeps the pointer's place twice: its own, which SendInput sets at once, and the X
// server's, which it asks for once the pointer has rested 100 ms, as the tip does before it
// shows. While another program holds a pointer grab (an open menu), Wine does not move the X
// pointer; the move is sent again until both agree. Where the pointer was seen goes to *seen.
bool PointerRestsAt(POINT p, POINT* seen) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (attempt) {
            harness::MoveMouseTo(POINT{p.x - 1, p.y});  // Wine moves the X pointer only on a change
            harness::MoveMouseTo(p);
        }
        PumpFor(150);
        GetCursorPos(seen);
        if (seen->x == p.x && seen->y == p.y) return true;
    }
    return false;
}

}  // namespace

std::vector<HWND> IconWindows(HDESK desktop) {
    std::vector<HWND> icons;
    if (desktop)
        EnumDesktopWindows(desktop, CollectTrayIcons, reinterpret_cast<LPARAM>(&icons));
    else
        EnumWindows(CollectTrayIcons, reinterpret_cast<LPARAM>(&icons));
    return icons;
}

HWND WaitForNewIcon(const std::vector<HWND>& before, DWORD timeoutMs, HDESK desktop) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND icon : IconWindows(desktop))
                if (std::find(before.begin(), before.end(), icon) == before.end()) found = icon;
            return found != nullptr;
        },
        timeoutMs);
    return found;
}

std::string WaitForBalloon(DWORD timeoutMs) {
    HWND balloon = nullptr;
    WaitUntil(
        [&] {
            EnumWindows(FindShownBalloon, reinterpret_cast<LPARAM>(&balloon));
            return balloon != nullptr;
        },
        timeoutMs);
    // A tooltip answers WM_GETTEXT with the text it shows, across processes too.
    return balloon ? TextOf(balloon) : std::string();
}

std::string WaitForTip(HWND icon, const std::vector<std::string>& expected, DWORD timeoutMs, std::string* note) {
    std::string last;
    int tries = 0, onIcon = 0, rested = 0, shown = 0;
    HWND under = nullptr;
    POINT seen{};
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        ++tries;
        RECT r{};
        GetWindowRect(icon, &r);
        if (Uncovered(icon, &under)) ++onIcon;
        // Off the icon and onto it again: the tip shows after the pointer rests a moment.
        harness::MoveMouseTo(POINT{r.right + 80, r.bottom + 80});
        PumpFor(100);
        harness::MoveMouseTo(POINT{(r.left + r.right) / 2 - 1, (r.top + r.bottom) / 2});
        harness::MoveMouseTo(CentreOf(icon));
        if (PointerRestsAt(CentreOf(icon), &seen)) ++rested;
        TipSearch search{TrayOf(icon), nullptr};
        WaitUntil(
            [&] {
                search.found = nullptr;
                EnumWindows(FindShownTip, reinterpret_cast<LPARAM>(&search));
                return search.found != nullptr;
            },
            2000);
        if (search.found) {
            ++shown;
            last = TextOf(search.found);
            if (std::find(expected.begin(), expected.end(), last) != expected.end()) return last;
        }
        PumpFor(300);
    }
    if (note) {
        // What stood between the pointer and the tip, for a failure that only shows under load.
        std::string cls = under ? harness::ClassOf(under) : "none";
        DWORD pid = 0;
        if (under) GetWindowThreadProcessId(under, &pid);
        GUITHREADINFO gui{};
        gui.cbSize = sizeof(gui);
        GetGUIThreadInfo(0, &gui);
        POINT centre = CentreOf(icon);
        std::string menus;
        EnumWindows(CollectOpenMenu, reinterpret_cast<LPARAM>(&menus));
        char text[400];
        std::snprintf(text, sizeof(text),
                      "%d tries: the icon was uncovered %d times, the pointer rested on it %d times (last seen "
                      "at %ld,%ld for %ld,%ld), a tip showed %d times; last under the icon's centre: class "
                      "\"%s\" of process %lu; icon window %s; mouse captured by %p",
                      tries, onIcon, rested, seen.x, seen.y, centre.x, centre.y, shown, cls.c_str(),
                      static_cast<unsigned long>(pid), IsWindow(icon) ? "alive" : "gone",
                      static_cast<void*>(gui.hwndCapture));
        *note = std::string(text) + "; menus open in processes:" + (menus.empty() ? " none" : menus);
    }
    return last;
}

HWND OpenMenu(HWND icon, DWORD pid) {
    POINT centre = CentreOf(icon);
    // The tray shows again with its first icon, and a click that comes before is lost.
    HWND under = nullptr;
    Uncovered(icon, &under);
    PumpFor(100);
    HWND menu = nullptr;
    for (int attempt = 0; attempt < 3 && !menu; ++attempt) {
        harness::Click(centre, true);
        // Generous: a second right click onto a menu that came late would choose its first item.
        WaitUntil([&] { return (menu = harness::FindWindowOf(pid, nullptr, "#32768")) != nullptr; }, 3000);
    }
    return menu;
}

bool ClickMenuRow(HWND menu, int row, int rows) {
    RECT r{};
    if (!GetWindowRect(menu, &r) || rows <= 0) return false;
    int height = (r.bottom - r.top) / rows;
    return harness::Click(POINT{(r.left + r.right) / 2, r.top + height * row + height / 2}, false);
}



std::vector<DWORD> Capture(const RECT& r) {
    Canvas canvas(SizeOf(r));
    HDC screen = GetDC(nullptr);
    BitBlt(canvas.Dc(), 0, 0, r.right - r.left, r.bottom - r.top, screen, r.left, r.top, SRCCOPY);
    ReleaseDC(nullptr, screen);
    return canvas.Pixels();
}


int Differing(const std::vector<DWORD>& seen, HICON icon, int drawn, SIZE box) {
    std::vector<DWORD> onBlack = Render(icon, drawn, box, 0x000000);
    std::vector<DWORD> onWhite = Render(icon, drawn, box, 0xFFFFFF);
    if (seen.size() != onBlack.size()) return static_cast<int>(std::max(seen.size(), onBlack.size()));
    int count = 0;
    for (size_t i = 0; i < seen.size(); ++i) {
        if (onBlack[i] != onWhite[i]) continue;
        for (int shift : {0, 8, 16}) {
            int difference = static_cast<int>((seen[i] >> shift) & 0xFF) - static_cast<int>((onBlack[i] >> shift) & 0xFF);
            if (std::abs(difference) > 8) {
                ++count;
                break;
            }
        }
    }
    return count;
}

bool SaveBmp(const std::string& path, const std::vector<DWORD>& pixels, SIZE size) {
    if (pixels.size() != static_cast<size_t>(size.cx * size.cy)) return false;
    const int stride = (size.cx * 3 + 3) & ~3;
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER info{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = file.bfOffBits + stride * size.cy;
    info.biSize = sizeof(info);
    info.biWidth = size.cx;
    info.biHeight = size.cy;  // bottom row first
    info.biPlanes = 1;
    info.biBitCount = 24;
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    std::fwrite(&file, sizeof(file), 1, out);
    std::fwrite(&info, sizeof(info), 1, out);
    std::vector<unsigned char> row(stride, 0);
    for (int y = size.cy - 1; y >= 0; --y) {
        for (int x = 0; x < size.cx; ++x) {
            DWORD p = pixels[y * size.cx + x];
            row[x * 3] = static_cast<unsigned char>(p & 0xFF);
            row[x * 3 + 1] = static_cast<unsigned char>((p >> 8) & 0xFF);
            row[x * 3 + 2] = static_cast<unsigned char>((p >> 16) & 0xFF);
        }
        std::fwrite(row.data(), 1, row.size(), out);
    }
    return std::fclose(out) == 0;
}

}  // namespace shelltray
