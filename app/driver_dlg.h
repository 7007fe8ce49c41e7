// The hidden main dialog: the driver's heartbeat (the 200 ms timer), the lock state, the ordered
// start-up and shutdown of the pendant link, the poller and the hook library.
#pragma once

#include <windows.h>
#include <dbt.h>

#include <string>

#include "framework/wnd.h"
#include "host/host_tracker.h"

constexpr UINT WM_REFRESH_STATUS = WM_USER + 363;
constexpr UINT WM_PENDANT_KEY = WM_USER + 177;
constexpr UINT_PTR TIMER_TICK = 16;
constexpr UINT TIMER_PERIOD_MS = 200;
// Every eleventh tick posts a status refresh: about every 2.2 s.
constexpr int kTicksPerRefresh = 11;
constexpr int HOTKEY_LOCK = 1001;

class CDriverDlg : public CDialog {
public:
    CDriverDlg();

    BOOL OnInitDialog() override;
    BOOL PreTranslateMessage(MSG* msg) override;

    int RegisterDeviceNotifications();
    void EnsurePendant();

    DEV_BROADCAST_DEVICEINTERFACE_A notifyFilter;
    HDEVNOTIFY notifyHandle = nullptr;
    HICON m_hIcon = nullptr;
    UINT_PTR timerId = 0;
    int notifyRegistered = 0;
    int tickCount = 0;
    int refreshPending = 0;
    UINT trayIconId = 0;
    // The last examined window and the dialog-hold countdown live in the tracker.
    HostTracker tracker;

    void ShowAbout();
    void ShowTrayMenu();

private:
    // The window's own life.
    LRESULT OnCreate(WPARAM wParam, LPARAM lParam);
    LRESULT OnPaint(WPARAM wParam, LPARAM lParam);
    LRESULT OnQueryDragIcon(WPARAM wParam, LPARAM lParam);
    LRESULT OnDisplayChange(WPARAM wParam, LPARAM lParam);
    LRESULT OnDestroy(WPARAM wParam, LPARAM lParam);
    // The heartbeat and the pendant's comings and goings.
    void OnExit();
    LRESULT OnTimer(WPARAM wParam, LPARAM lParam);
    LRESULT OnRefreshStatus(WPARAM wParam, LPARAM lParam);
    LRESULT OnDeviceChange(WPARAM wParam, LPARAM lParam);
    LRESULT OnPendantKey(WPARAM wParam, LPARAM lParam);
    // What the operator does: the tray, its menu, the hot key, the system menu.
    void OnLock();
    LRESULT OnHotKey(WPARAM wParam, LPARAM lParam);
    LRESULT OnTrayNotify(WPARAM wParam, LPARAM lParam);
    LRESULT OnTaskbarCreated(WPARAM wParam, LPARAM lParam);
    LRESULT OnSysCommand(WPARAM wParam, LPARAM lParam);
    void OnAbout();
    // Both roads to the lock: toggles it and says whether the driver is now to be unlocked.
    bool ToggleLock();
    // An unlock that found no pendant: locked again, logged, and the road's own box.
    void RefuseUnlock(const char* road, const char* text, const char* caption);

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    DECLARE_MESSAGE_MAP()

private:
    void RegisterAutostart();
};

// Writes the autostart value for the given executable path; false when the write failed
// (not when the key could not be opened, which is silent).
bool WriteAutostartValue(const char* exePath, bool* keyOpened);
// The value written for an executable path: quoted when it holds a blank.
std::string AutostartValueFor(const char* exePath);
// The autostart value as it stands; false when there is none.
bool ReadAutostartValue(std::string* value);
