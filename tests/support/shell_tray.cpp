#include "support/shell_tray.h"

#include <algorithm>
#include <cstring>

#include "demo/tray_view.h"
#include "support/test_util.h"

namespace shelltray {

namespace {

using trayview::HasClass;

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

struct MenuSearch {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK FindMenu(HWND hwnd, LPARAM lParam) {
    auto* search = reinterpret_cast<MenuSearch*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != search->pid || !HasClass(hwnd, "#32768") || !IsWindowVisible(hwnd)) return TRUE;
    search->found = hwnd;
    return FALSE;
}

// Another process's window text: GetWindowText would read only the caption the system keeps.
std::string TextOf(HWND hwnd) {
    char text[256] = {0};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                             500, &copied))
        return std::string();
    return text;
}

INPUT MouseInput(POINT p, DWORD flags) {
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    INPUT input;
    std::memset(&input, 0, sizeof(input));
    input.type = INPUT_MOUSE;
    input.mi.dx = static_cast<LONG>((p.x * 65535LL + width / 2) / (width - 1));
    input.mi.dy = static_cast<LONG>((p.y * 65535LL + height / 2) / (height - 1));
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | flags;
    return input;
}

}  // namespace

HWND WaitForNewIcon(const std::vector<HWND>& before, DWORD timeoutMs, HDESK desktop) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND icon : trayview::IconWindows(desktop))
                if (std::find(before.begin(), before.end(), icon) == before.end()) found = icon;
            return found != nullptr;
        },
        timeoutMs);
    return found;
}

POINT CentreOf(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

bool MoveMouseTo(POINT p) {
    INPUT input = MouseInput(p, 0);
    return SendInput(1, &input, sizeof(INPUT)) == 1;
}

bool Click(POINT p, bool right) {
    if (!MoveMouseTo(p)) return false;
    Sleep(50);  // a menu follows the pointer before it takes a click
    INPUT inputs[2] = {MouseInput(p, right ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_LEFTDOWN),
                       MouseInput(p, right ? MOUSEEVENTF_RIGHTUP : MOUSEEVENTF_LEFTUP)};
    return SendInput(2, inputs, sizeof(INPUT)) == 2;
}

std::string WaitForTip(HWND icon, const std::vector<std::string>& expected, DWORD timeoutMs) {
    std::string last;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        RECT r{};
        GetWindowRect(icon, &r);
        WaitUntil([&] { return WindowFromPoint(CentreOf(icon)) == icon; }, 3000);
        // Off the icon and onto it again: the tip shows after the pointer rests a moment.
        MoveMouseTo(POINT{r.right + 80, r.bottom + 80});
        PumpFor(100);
        MoveMouseTo(POINT{(r.left + r.right) / 2 - 1, (r.top + r.bottom) / 2});
        MoveMouseTo(CentreOf(icon));
        TipSearch search{trayview::TrayOf(icon), nullptr};
        WaitUntil(
            [&] {
                search.found = nullptr;
                EnumWindows(FindShownTip, reinterpret_cast<LPARAM>(&search));
                return search.found != nullptr;
            },
            2000);
        if (search.found) {
            last = TextOf(search.found);
            if (std::find(expected.begin(), expected.end(), last) != expected.end()) return last;
        }
        PumpFor(300);
    }
    return last;
}

HWND OpenMenu(HWND icon, DWORD pid) {
    POINT centre = CentreOf(icon);
    // The tray shows again with its first icon, and a click that comes before is lost.
    WaitUntil([&] { return WindowFromPoint(centre) == icon; }, 3000);
    PumpFor(100);
    MenuSearch search{pid, nullptr};
    for (int attempt = 0; attempt < 3 && !search.found; ++attempt) {
        Click(centre, true);
        // Generous: a second right click onto a menu that came late would choose its first item.
        WaitUntil(
            [&] {
                EnumWindows(FindMenu, reinterpret_cast<LPARAM>(&search));
                return search.found != nullptr;
            },
            3000);
    }
    return search.found;
}

bool ClickMenuRow(HWND menu, int row, int rows) {
    RECT r{};
    if (!GetWindowRect(menu, &r) || rows <= 0) return false;
    int height = (r.bottom - r.top) / rows;
    return Click(POINT{(r.left + r.right) / 2, r.top + height * row + height / 2}, false);
}

}  // namespace shelltray
