// The shell's side of the notification area under Wine (demo/tray_view.h), reached as a user
// reaches it: with the mouse, and the tip in the tooltip window that the tray owns.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace shelltray {

// An icon window that is not among `before`, once one appears; null after the time.
HWND WaitForNewIcon(const std::vector<HWND>& before, DWORD timeoutMs, HDESK desktop = nullptr);

POINT CentreOf(HWND window);
// Input through the system's queue, as a mouse gives it.
bool MoveMouseTo(POINT p);
bool Click(POINT p, bool right);

// Rests the mouse on the icon until the tip the shell shows for it reads one of `expected`, moving
// off and back between tries; the last tip read, or empty when none showed.
std::string WaitForTip(HWND icon, const std::vector<std::string>& expected, DWORD timeoutMs);

// Right-clicks the icon where it is on the screen; the popup menu (class "#32768") of the process
// that this opens, or null.
HWND OpenMenu(HWND icon, DWORD pid);
// Clicks the middle of row `row` of a menu of `rows` rows of equal height (text items only).
bool ClickMenuRow(HWND menu, int row, int rows);

}  // namespace shelltray
