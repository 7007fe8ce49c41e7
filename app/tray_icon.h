// The driver's one notification-area icon (id 128): what the operator sees of the driver.
#pragma once

#include <windows.h>

#include <string>

namespace tray {

constexpr UINT kIconId = 128;
constexpr UINT WM_TRAY_NOTIFY = WM_USER + 116;

// At the main dialog's creation: icon 128 with the tip "Qorin".
void Add(HWND owner);
// Shows the icon resource iconId with the tip; returns the icon now shown, which becomes the
// dialog's m_hIcon.
HICON Update(HWND owner, UINT iconId, const char* tip);
void Remove(HWND owner);

// What was last handed to the shell, since the shell cannot be asked.
UINT LastIconId();
std::string LastTip();

}  // namespace tray
