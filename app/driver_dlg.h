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
// The link thread's answer to a request: wParam the request, lParam the outcome.
constexpr UINT WM_LINK_DONE = WM_USER + 400;
constexpr UINT_PTR TIMER_TICK = 16;
constexpr UINT TIMER_PERIOD_MS = 200;
// Every eleventh tick posts a status refresh: about every 2.2 s. A refresh without the pendant
// runs a whole HID discovery, so it stays rare; the pendant's own arrival reconnects at once.
constexpr int kTicksPerRefresh = 11;
constexpr int HOTKEY_LOCK = 1001;

class CDriverDlg : public CDialog {
public:
    CDriverDlg();

    BOOL OnInitDialog() override;
    BOOL PreTranslateMessage(MSG* msg) override;

    int RegisterDeviceNotifications();
    // Asks the link thread to reconnect when the connection is not believed good; true when it
    // asked.
    bool EnsurePendant();

    void ShowAbout();
    void ShowTrayMenu();

protected:
    DEV_BROADCAST_DEVICEINTERFACE_W notifyFilter;
    HDEVNOTIFY notifyHandle = nullptr;
    HICON m_hIcon = nullptr;
    UINT_PTR timerId = 0;
    int notifyRegistered = 0;
    int tickCount = 0;
    int refreshPending = 0;
    UINT trayIconId = 0;
    // A reconnection asked of the link thread and not yet answered.
    bool reopenAsked = false;
    // A refresh came while that reconnection was under way: it may have looked before the
    // pendant was there, so a reconnection that found nothing is asked once more.
    bool reopenAgain = false;
    // Set by the exit command (or the window's end, or the session's): nothing is opened,
    // forwarded or refreshed from then on.
    bool exiting = false;
    // This session as the session notifications tell it: the operator's keys go to the driver of
    // the session at the console, and not while it is locked.
    bool sessionAtConsole = true;
    bool sessionLocked = false;
    bool sessionAway = false;
    bool sessionNotified = false;
    // Between the suspend and the resume notices.
    bool sleeping = false;
    // The last examined window and the dialog-hold countdown live in the tracker.
    HostTracker tracker;

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
    LRESULT OnLinkDone(WPARAM wParam, LPARAM lParam);
    // The system's own comings and goings: sleep, the session's end, the console.
    LRESULT OnPowerBroadcast(WPARAM wParam, LPARAM lParam);
    LRESULT OnEndSession(WPARAM wParam, LPARAM lParam);
    LRESULT OnSessionChange(WPARAM wParam, LPARAM lParam);
    // What the operator does: the tray, its menu, the hot key, the system menu.
    void OnLock();
    LRESULT OnHotKey(WPARAM wParam, LPARAM lParam);
    LRESULT OnTrayNotify(WPARAM wParam, LPARAM lParam);
    LRESULT OnTaskbarCreated(WPARAM wParam, LPARAM lParam);
    LRESULT OnSysCommand(WPARAM wParam, LPARAM lParam);
    void OnAbout();
    // An unlock that found no pendant: locked again, logged, and the caller's own box.
    void RefuseUnlock(const char* by, const char* text, const char* caption);
    // The tray's icon and tip for the state as it is now.
    void UpdateTray();
    // A status refresh now, unless one waits already.
    void PostRefresh();
    // Everything the exit command stops, in its order; once.
    void BeginExit();
    void RegisterLockHotKey();
    void RegisterSessionNotifications();
    void ApplySessionState();

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    DECLARE_MESSAGE_MAP()

private:
    void RegisterAutostart();
};
