#include "base/module_path.h"
#include "app/driver_dlg.h"

#include <wtsapi32.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "app/about_dlg.h"
#include "app/autostart.h"
#include "app/driver_app.h"
#include "app/driver_state.h"
#include "app/folder_rights.h"
#include "app/lock_state.h"
#include "app/tray_icon.h"
#include "base/event_log.h"
#include "base/system_library.h"
#include "host/hook_library.h"
#include "host/key_forwarder.h"
#include "host/machine_poller.h"
#include "pendant/display_frame.h"
#include "pendant/pendant_device.h"
#include "res/resource.h"

namespace {

const UINT WM_TASKBAR_CREATED = RegisterWindowMessageA("TaskbarCreated");

constexpr char kHotKeyTaken[] = "Ctrl+F11 is taken by another program: lock from this icon's menu";

using WtsRegisterFn = BOOL(WINAPI*)(HWND, DWORD);
using WtsUnregisterFn = BOOL(WINAPI*)(HWND);

// wtsapi32 is no KnownDLL: from System32 only, and looked up, since a system without it still
// runs the driver.
HMODULE SessionLibrary() {
    static HMODULE module = LoadSystemLibrary(L"wtsapi32.dll");
    return module;
}

DWORD OwnSession() {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

// Whether a device-interface notification names the pendant (its USB ids in the path). The name is
// wide, as the registration asked, and read only within the record's size.
bool NamesPendant(LPARAM lParam) {
    auto* header = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
    constexpr size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    if (!header || header->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE || header->dbcc_size <= kNameOffset)
        return false;
    size_t chars = (header->dbcc_size - kNameOffset) / sizeof(wchar_t);
    std::string name;
    for (size_t i = 0; i < chars && header->dbcc_name[i] != L'\0'; ++i)
        name += header->dbcc_name[i] < 0x80 ? static_cast<char>(header->dbcc_name[i]) : '?';
    return CPendantDevice::NamesPendant(name.c_str());
}

bool IsInterface(LPARAM lParam) {
    auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    return header && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE;
}

}  // namespace

BEGIN_MESSAGE_MAP(CDriverDlg)
    ON_MESSAGE(WM_SYSCOMMAND, OnSysCommand)
    ON_MESSAGE(WM_PAINT, OnPaint)
    ON_MESSAGE(WM_QUERYDRAGICON, OnQueryDragIcon)
    ON_MESSAGE(WM_DESTROY, OnDestroy)
    ON_MESSAGE(WM_TIMER, OnTimer)
    ON_MESSAGE(WM_DISPLAYCHANGE, OnDisplayChange)
    ON_COMMAND(ID_ABOUT, OnAbout)
    ON_COMMAND(ID_LOCK, OnLock)
    ON_COMMAND(ID_EXIT, OnExit)
    ON_MESSAGE(WM_HOTKEY, OnHotKey)
    ON_MESSAGE(tray::WM_TRAY_NOTIFY, OnTrayNotify)
    ON_MESSAGE(WM_REFRESH_STATUS, OnRefreshStatus)
    ON_MESSAGE(WM_CREATE, OnCreate)
    ON_MESSAGE(WM_DEVICECHANGE, OnDeviceChange)
    ON_MESSAGE(WM_LINK_DONE, OnLinkDone)
    ON_MESSAGE(WM_POWERBROADCAST, OnPowerBroadcast)
    ON_MESSAGE(WM_ENDSESSION, OnEndSession)
    ON_MESSAGE(WM_WTSSESSION_CHANGE, OnSessionChange)
    // Normally taken in PreTranslateMessage; this catches one sent, or dispatched by a modal
    // loop that is not ours (a menu's, a message box's).
    ON_MESSAGE(WM_PENDANT_KEY, OnPendantKey)
END_MESSAGE_MAP()

CDriverDlg::CDriverDlg() : CDialog(IDD_DRIVER_DIALOG) {
    std::memset(&notifyFilter, 0, sizeof(notifyFilter));
    m_hIcon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_ACTIVE));
    notifyRegistered = 0;
}

LRESULT CDriverDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TASKBAR_CREATED && WM_TASKBAR_CREATED != 0) return OnTaskbarCreated(wParam, lParam);
    return CDialog::WindowProc(message, wParam, lParam);
}

BOOL CDriverDlg::PreTranslateMessage(MSG* msg) {
    if (msg->message == WM_PENDANT_KEY) {
        keyfwd::ForwardKey(static_cast<uint32_t>(msg->wParam), static_cast<uint32_t>(msg->lParam),
                           keyfwd::kUiLockWaitMs);
        return TRUE;
    }
    return CDialog::PreTranslateMessage(msg);
}

LRESULT CDriverDlg::OnPendantKey(WPARAM wParam, LPARAM lParam) {
    keyfwd::ForwardKey(static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam), keyfwd::kUiLockWaitMs);
    return 0;
}

BOOL CDriverDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    HMENU systemMenu = GetSystemMenu(m_hWnd, FALSE);
    // Wide: the item's Chinese text survives a system whose ANSI code page is not Chinese.
    wchar_t about[128] = {0};
    if (systemMenu && LoadStringW(GetModuleHandleA(nullptr), IDS_ABOUTBOX, about, 128) > 0) {
        AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, about);
    }
    SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    tray::LetTaskbarCreatedThrough(m_hWnd);

    // What an earlier dialog of this process left behind is forgotten: each owner resets its own.
    tickCount = 0;
    refreshPending = 0;
    exiting = false;
    reopenAsked = false;
    reopenAgain = false;
    sleeping = false;
    keyfwd::Reset();
    lockstate::Reset();
    tracker.Reset();
    ResetDisplayFrame();
    g_pendant.DoubtLink();
    CPendantDevice::SetKeySink(&keyfwd::Sink());
    // The link thread answers here; the probe's answer locks a driver without pendant and
    // registers for the device notifications of the class it found.
    g_pendant.ReplyTo(m_hWnd, WM_LINK_DONE);
    g_pendant.Ask(LinkRequest::kProbe);

    hooklib::LoadAtStart();
    RegisterLockHotKey();
    RegisterSessionNotifications();
    RegisterAutostart();
    if (!poller::Start()) return TRUE;
    timerId = SetTimer(m_hWnd, TIMER_TICK, TIMER_PERIOD_MS, nullptr);
    // The first connection now, not at the eleventh tick: keys flow as soon as the driver is up.
    PostRefresh();
    trayIconId = IDI_ACTIVE;
    return TRUE;
}

void CDriverDlg::RegisterAutostart() {
    // The only box of the start: a value that could not be written where the key could be opened.
    if (autostart::Register() == autostart::Outcome::kWriteFailed)
        MessageBoxA(m_hWnd, "System Error,dunmoral Can't Startup!", nullptr, MB_OK);
}

int CDriverDlg::RegisterDeviceNotifications() {
    std::memset(&notifyFilter, 0, sizeof(notifyFilter));
    notifyFilter.dbcc_size = sizeof(DEV_BROADCAST_DEVICEINTERFACE_W);
    notifyFilter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    notifyFilter.dbcc_classguid = g_pendant.interfaceClass;
    // Wide: the device path that tells the pendant from any other device then arrives whole, on
    // Windows and under Wine alike.
    notifyHandle = RegisterDeviceNotificationW(m_hWnd, &notifyFilter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (notifyHandle) notifyRegistered = 1;
    return notifyHandle ? 1 : 0;
}

LRESULT CDriverDlg::OnDeviceChange(WPARAM wParam, LPARAM lParam) {
    if (wParam != DBT_DEVICEARRIVAL && wParam != DBT_DEVICEREMOVECOMPLETE) return TRUE;
    const bool arrival = wParam == DBT_DEVICEARRIVAL;
    if (arrival && !IsInterface(lParam)) return TRUE;
    if (NamesPendant(lParam)) {
        if (!arrival) CPendantDevice::LogLinkLost("removed");
        // Reconnect now, not at the next refresh: the operator has just plugged it in.
        g_pendant.DoubtLink();
        if (!exiting) PostRefresh();
        return TRUE;
    }
    // Another device came or went: a working link is left alone, so a jog held now goes on.
    const bool healthy = g_state.pendantReady == 1 && g_pendant.connected == 1;
    if (!healthy) g_pendant.DoubtLink();
    return TRUE;
}

bool CDriverDlg::EnsurePendant() {
    if (!notifyRegistered) RegisterDeviceNotifications();
    if (g_state.pendantReady != 0) return false;
    if (reopenAsked) {
        reopenAgain = true;
        return false;
    }
    reopenAsked = true;
    g_pendant.Ask(LinkRequest::kReopen);
    return true;
}

void CDriverDlg::PostRefresh() {
    // A post that fails (a full queue) must not stop every later refresh.
    if (!refreshPending && PostMessageA(m_hWnd, WM_REFRESH_STATUS, 0, 0)) refreshPending = 1;
}

LRESULT CDriverDlg::OnTimer(WPARAM, LPARAM) {
    Default();
    if (exiting) return 0;
    if (++tickCount >= kTicksPerRefresh) {
        tickCount = 0;
        PostRefresh();
    }
    if (g_state.enabled == 1)
        tracker.Track(GetForegroundWindow());
    else
        tracker.TrackLocked();
    return 0;
}

LRESULT CDriverDlg::OnRefreshStatus(WPARAM, LPARAM) {
    refreshPending = 0;
    if (exiting) return 1;
    // A reconnection asked now shows in the tray with its answer, not half done.
    if (!EnsurePendant()) UpdateTray();
    return 1;
}

void CDriverDlg::UpdateTray() {
    UINT icon;
    const char* tip;
    if (g_pendant.connected == 0) {
        icon = IDI_NO_DEVICE;
        tip = "Please Insert Usb Controller!";
    } else if (g_state.enabled == 0) {
        icon = g_state.hostActive == 1 ? IDI_LOCKED_ACTIVE : IDI_NO_DEVICE;
        tip = "LOCKED!";
    } else if (g_state.hostActive == 1) {
        icon = IDI_ACTIVE;
        tip = "Qorin Handle Driver.";
    } else {
        icon = IDI_IDLE;
        tip = "IDLE!";
    }
    // The tip is rewritten only with the icon: the same icon keeps its older tip. Kept as the
    // driver has always shown it: 137 says "no pendant" or "locked" by the tip it came with.
    if (icon != trayIconId) {
        trayIconId = icon;
        m_hIcon = tray::Update(m_hWnd, icon, tip);
    }
}

LRESULT CDriverDlg::OnLinkDone(WPARAM wParam, LPARAM lParam) {
    const auto request = static_cast<LinkRequest>(wParam);
    const auto outcome = static_cast<LinkOutcome>(lParam);
    // After the exit command nothing the link says changes the lock or shows a box.
    if (exiting) return 0;
    switch (request) {
        case LinkRequest::kProbe:
            if (outcome == LinkOutcome::kNotFound && !g_state.operatorLocked) {
                lockstate::LockForWantOfPendant();
                eventlog::Write("locked: no pendant at start-up");
            }
            if (!notifyRegistered) RegisterDeviceNotifications();
            break;
        case LinkRequest::kOpen:
            // Only an unlock that still stands is answered: the operator may have locked again.
            if (g_state.enabled == 0) break;
            if (outcome == LinkOutcome::kConnected)
                eventlog::Write("unlocked from the menu");
            else if (outcome == LinkOutcome::kNotFound)
                RefuseUnlock("from the menu", "Please Insert Usb!", "Infor");
            break;
        case LinkRequest::kReopen: {
            reopenAsked = false;
            const bool again = reopenAgain;
            reopenAgain = false;
            if (outcome == LinkOutcome::kHeldClosed) break;
            if (outcome == LinkOutcome::kConnected && lockstate::UnlockByReconnection())
                eventlog::Write("unlocked by the reconnection");
            UpdateTray();
            // An arrival during a fruitless reconnection would otherwise wait for the next tick.
            if (again && outcome != LinkOutcome::kConnected) PostRefresh();
            break;
        }
        case LinkRequest::kClose:
            CPendantDevice::LogLinkLost("closed by the lock from the menu");
            break;
        default:
            break;
    }
    return 0;
}

void CDriverDlg::RefuseUnlock(const char* by, const char* text, const char* caption) {
    lockstate::RefuseUnlock();
    eventlog::Write("unlock ", by, " refused: no pendant");
    MessageBoxA(m_hWnd, text, caption, MB_OK);
}

void CDriverDlg::OnLock() {
    if (exiting) return;
    if (g_state.enabled == 1) {
        lockstate::LockByOperator();
        eventlog::Write("locked from the menu");
        // Up in the host at once; the close that follows finds nothing held.
        keyfwd::ReleaseHeldKey();
        g_pendant.Ask(LinkRequest::kClose);
    } else {
        lockstate::UnlockByOperator();
        // The answer says whether the pendant was found (OnLinkDone).
        g_pendant.ownerWindow = m_hWnd;
        g_pendant.Ask(LinkRequest::kOpen);
    }
}

LRESULT CDriverDlg::OnHotKey(WPARAM, LPARAM) {
    if (exiting) return 0;
    if (g_state.enabled == 1) {
        lockstate::LockByOperator();
        eventlog::Write("locked by Ctrl+F11");
        // The pendant stays open, so a key held now would stay down in the host.
        keyfwd::ReleaseHeldKey();
    } else {
        lockstate::UnlockByOperator();
        if (g_pendant.connected == 0)
            RefuseUnlock("by Ctrl+F11", "Please Insert USB Controller!", "Information");
        else
            eventlog::Write("unlocked by Ctrl+F11");
    }
    return 0;
}

void CDriverDlg::BeginExit() {
    if (exiting) return;
    exiting = true;
    // Exit means exit: no tick, no refresh, no reopening and no key from here on.
    if (timerId) KillTimer(m_hWnd, timerId);
    timerId = 0;
    keyfwd::BeginExit();
    g_pendant.Ask(LinkRequest::kShutdown);
    poller::Stop();
    poller::ExitCleanup();
    // An About box or a message box of ours would hold the end until the operator closed it.
    EndThreadDialogs(m_hWnd);
}

void CDriverDlg::OnExit() {
    BeginExit();
    OnCancel();
}

LRESULT CDriverDlg::OnDestroy(WPARAM, LPARAM) {
    // A window that ends without the exit command ends the same way.
    BeginExit();
    eventlog::Write("exit");
    Default();
    tray::Remove(m_hWnd);
    UnregisterHotKey(m_hWnd, HOTKEY_LOCK);
    // The registrations belong to this window; a dialog made again would otherwise add a second.
    if (notifyHandle) UnregisterDeviceNotification(notifyHandle);
    notifyHandle = nullptr;
    notifyRegistered = 0;
    if (sessionNotified) {
        if (auto unregister = reinterpret_cast<WtsUnregisterFn>(reinterpret_cast<void*>(
                GetProcAddress(SessionLibrary(), "WTSUnRegisterSessionNotification"))))
            unregister(m_hWnd);
        sessionNotified = false;
    }
    g_pendant.ReplyTo(nullptr, 0);
    // The forwarder outlives this window only until the process ends; the pendant object lives
    // longer, and its last close must not call into it.
    CPendantDevice::SetKeySink(nullptr);
    // With a key-up still owed the library stays for the end of the process to deliver it.
    if (!keyfwd::KeyUpOwed()) hooklib::FreeAll();
    return 0;
}

// Logoff or shutdown: the system may end the process as soon as this returns, so the exit runs
// here, whole.
LRESULT CDriverDlg::OnEndSession(WPARAM ending, LPARAM) {
    if (!ending) return 0;
    BeginExit();
    eventlog::Write("exit: the session is ending");
    tray::Remove(m_hWnd);
    EndDriverProcess(0);
}

LRESULT CDriverDlg::OnPowerBroadcast(WPARAM event, LPARAM) {
    if (exiting) return TRUE;
    if (event == PBT_APMSUSPEND) {
        sleeping = true;
        eventlog::Write("suspend: the pendant is let go until the PC wakes");
        keyfwd::SetPaused(keyfwd::kPauseSleep, true);
        g_pendant.Ask(LinkRequest::kSuspend);
    } else if (event == PBT_APMRESUMEAUTOMATIC || event == PBT_APMRESUMESUSPEND) {
        // Whatever became of the pendant meanwhile (unplugged, replugged, its old handles dead),
        // a fresh connection is made at once, not at the next device change.
        if (sleeping) eventlog::Write("resume: reconnecting the pendant");
        sleeping = false;
        keyfwd::SetPaused(keyfwd::kPauseSleep, false);
        g_pendant.Ask(LinkRequest::kResume);
        g_pendant.DoubtLink();
        PostRefresh();
    }
    return TRUE;
}

void CDriverDlg::RegisterSessionNotifications() {
    sessionLocked = false;
    // A copy started by the machine-wide autostart in a session in the background sees the
    // pendant too: only the console's driver forwards its keys.
    sessionAtConsole = WTSGetActiveConsoleSessionId() == OwnSession();
    sessionAway = false;
    ApplySessionState();
    auto registerFn = reinterpret_cast<WtsRegisterFn>(
        reinterpret_cast<void*>(GetProcAddress(SessionLibrary(), "WTSRegisterSessionNotification")));
    sessionNotified = registerFn && registerFn(m_hWnd, NOTIFY_FOR_THIS_SESSION);
    if (!sessionNotified) eventlog::Write("session notifications: not available; keys go on whatever the session does");
}

LRESULT CDriverDlg::OnSessionChange(WPARAM event, LPARAM session) {
    if (static_cast<DWORD>(session) != OwnSession()) return 0;
    switch (event) {
        case WTS_CONSOLE_CONNECT: sessionAtConsole = true; break;
        case WTS_CONSOLE_DISCONNECT:
        case WTS_REMOTE_CONNECT: sessionAtConsole = false; break;
        case WTS_SESSION_LOCK: sessionLocked = true; break;
        case WTS_SESSION_UNLOCK: sessionLocked = false; break;
        default: return 0;
    }
    ApplySessionState();
    return 0;
}

void CDriverDlg::ApplySessionState() {
    bool away = !sessionAtConsole || sessionLocked;
    if (away == sessionAway) return;
    sessionAway = away;
    keyfwd::SetPaused(keyfwd::kPauseSession, away);
    if (away)
        eventlog::Write("keys held back: this session is ", sessionLocked ? "locked" : "not the one at the console");
    else
        eventlog::Write("keys go to the host again: this session is at the console and unlocked");
}

void CDriverDlg::RegisterLockHotKey() {
    if (RegisterHotKey(m_hWnd, HOTKEY_LOCK, MOD_CONTROL, VK_F11)) return;
    // The operator would press it, believe the driver locked, and the keys would go on.
    eventlog::Write("Ctrl+F11 is taken by another program (", eventlog::ErrorText(GetLastError()),
                    "): the driver locks only from its tray icon's menu");
    tray::ShowBalloon(m_hWnd, kHotKeyTaken);
}

LRESULT CDriverDlg::OnCreate(WPARAM, LPARAM) {
    if (Default() == -1) return -1;
    tray::Add(m_hWnd);
    return 0;
}

// Explorer restarted and lost every notification icon: show ours again as it was.
LRESULT CDriverDlg::OnTaskbarCreated(WPARAM, LPARAM) {
    tray::AddAgain(m_hWnd);
    return 0;
}

LRESULT CDriverDlg::OnSysCommand(WPARAM wParam, LPARAM) {
    if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
        ShowAbout();
        return 0;
    }
    return Default();
}

LRESULT CDriverDlg::OnPaint(WPARAM, LPARAM) {
    if (IsIconic(m_hWnd)) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(m_hWnd, &ps);
        SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
        RECT client;
        GetClientRect(m_hWnd, &client);
        int cx = GetSystemMetrics(SM_CXICON);
        int cy = GetSystemMetrics(SM_CYICON);
        DrawIcon(dc, (client.right - client.left - cx + 1) / 2, (client.bottom - client.top - cy + 1) / 2,
                 m_hIcon);
        EndPaint(m_hWnd, &ps);
        return 0;
    }
    ShowWindow(m_hWnd, SW_HIDE);
    return Default();
}

LRESULT CDriverDlg::OnQueryDragIcon(WPARAM, LPARAM) { return reinterpret_cast<LRESULT>(m_hIcon); }

LRESULT CDriverDlg::OnDisplayChange(WPARAM, LPARAM) { return 0; }

void CDriverDlg::OnAbout() { ShowAbout(); }

void CDriverDlg::ShowAbout() {
    CAboutDlg about;
    about.DoModal();
}

LRESULT CDriverDlg::OnTrayNotify(WPARAM wParam, LPARAM lParam) {
    if (wParam != tray::kIconId) return 1;
    if (lParam == WM_RBUTTONUP) ShowTrayMenu();
    return 0;
}

void CDriverDlg::ShowTrayMenu() {
    HMENU menu = tray::LoadPreparedMenu(g_state.enabled);
    if (!menu) return;
    POINT cursor{0, 0};
    GetCursorPos(&cursor);
    // Without the foreground the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(m_hWnd);
    TrackPopupMenu(GetSubMenu(menu, 0), TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, m_hWnd, nullptr);
    DestroyMenu(menu);
}
