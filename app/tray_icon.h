// The driver's one notification-area icon (id 128): what the operator sees of the driver.
#pragma once

#include <windows.h>

#include <string>

namespace tray {

constexpr UINT kIconId = 128;
constexpr UINT WM_TRAY_NOTIFY = WM_USER + 116;
// The owner window's timer for adding the icon again while the shell is not ready; apart from
// the main dialog's tick timer (16).
constexpr UINT_PTR kRetryTimerId = 0x7452;
constexpr UINT kRetryPeriodMs = 2000;
constexpr int kMaxRetries = 5;

// At the main dialog's creation: icon 128 with the tip "Qorin". When the shell refuses (at logon
// it may not be up yet), the add is tried again every 2 s, at most five times.
void Add(HWND owner);
// Shows the icon resource iconId with the tip; returns the icon now shown, which becomes the
// dialog's m_hIcon.
HICON Update(HWND owner, UINT iconId, const char* tip);
void Remove(HWND owner);
// The shell was restarted (its "TaskbarCreated" broadcast) and has forgotten the icon: add it
// again with the image and tip it showed.
void AddAgain(HWND owner);

// An elevated driver receives no message from the unelevated shell (User Interface Privilege
// Isolation) unless it lets it through: this lets the shell's "TaskbarCreated" through to the
// owner, so that the icon comes back after Explorer restarts. Through ChangeWindowMessageFilterEx,
// looked up at run time; where the system lacks it (Wine 8) there is no isolation to pass.
void LetTaskbarCreatedThrough(HWND owner);
// The filter call in use; tests install a recorder, nullptr restores the system's.
using MessageFilterFn = BOOL(WINAPI*)(HWND, UINT, DWORD, PCHANGEFILTERSTRUCT);
void SetMessageFilter(MessageFilterFn filter);
// A warning the operator must see once, as a balloon from the icon; shown as soon as the icon is
// in the notification area.
void ShowBalloon(HWND owner, const char* text);

// The tray menu (IDR_TRAY_MENU) loaded and prepared for showing: Lock checked exactly while the
// driver is locked. The caller tracks sub-menu 0 and destroys the returned menu.
HMENU LoadPreparedMenu(int enabled);


}  // namespace tray
