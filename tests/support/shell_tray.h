// The notification area as the shell shows it under Wine, read and used from outside as an
// operator would: with no X11 tray running, Wine shows the icons in its own top-level window
// "Wine System Tray" (class "__winex11_standalone_tray"), one child window per icon (class
// "__winex11_tray_icon"); the tip is in the tooltip window that the tray owns. Also the pixels of
// the screen and icons drawn as the tray draws them, to tell which image the shell shows. Used by
// the tray tests and the tray pictures.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace shelltray {

// The icon windows of Wine's tray on the given desktop (the calling thread's when null).
std::vector<HWND> IconWindows(HDESK desktop = nullptr);
// Wine's tray window that holds the icon.
inline HWND TrayOf(HWND icon) { return GetAncestor(icon, GA_ROOT); }
// An icon window that is not among `before`, once one appears; null after the time.
HWND WaitForNewIcon(const std::vector<HWND>& before, DWORD timeoutMs, HDESK desktop = nullptr);

// Rests the mouse on the icon until the tip the shell shows for it reads one of `expected`, moving
// off and back between tries; the last tip read, or empty when none showed. On failure `note`
// says what the pointer found.
std::string WaitForTip(HWND icon, const std::vector<std::string>& expected, DWORD timeoutMs,
                       std::string* note = nullptr);
// The text of the balloon the tray shows (a tracked tooltip of balloon style), once one shows;
// empty after the time.
std::string WaitForBalloon(DWORD timeoutMs);
// Right-clicks the icon where it is on the screen; the popup menu (class "#32768") of the process
// that this opens, or null.
HWND OpenMenu(HWND icon, DWORD pid);
// Clicks the middle of row `row` of a menu of `rows` rows of equal height (text items only).
bool ClickMenuRow(HWND menu, int row, int rows);

inline SIZE SizeOf(const RECT& r) { return SIZE{r.right - r.left, r.bottom - r.top}; }
// What the screen shows in the rectangle (0x00RRGGBB, top row first), in the calling thread's
// coordinates.
std::vector<DWORD> Capture(const RECT& r);
// How many of the icon's opaque pixels, drawn at drawn x drawn pixels as the tray draws it into a
// box of the captured size, the screen shows otherwise (beyond what blending may round). Only
// opaque pixels count: the half-transparent edge blends with whatever lay below, and Wine's tray
// does not erase the previous image when an icon changes.
int Differing(const std::vector<DWORD>& seen, HICON icon, int drawn, SIZE box);
// A 24-bit BMP file of the pixels.
bool SaveBmp(const std::string& path, const std::vector<DWORD>& pixels, SIZE size);

}  // namespace shelltray
