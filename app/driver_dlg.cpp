#include "app/driver_dlg.h"

#include <cstddef>
#include <cstring>
#include <string>

#include "app/about_dlg.h"
#include "app/driver_state.h"
#include "app/folder_rights.h"
#include "app/tray_icon.h"
#include "base/event_log.h"
#include "host/hook_library.h"
#include "host/key_forwarder.h"
#include "host/machine_poller.h"
#include "pendant/pendant_device.h"
#include "res/resource.h"

namespace {

const UINT WM_TASKBAR_CREATED = RegisterWindowMessageA("TaskbarCreated");

constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kAutostartValue[] = "dunmoral";

// Whether a completed removal names the pendant; the name is read only within the record's size.
bool RemovedPendant(LPARAM lParam) {
    auto* header = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam);
    constexpr size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    if (!header || header->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE || header->dbcc_size <= kNameOffset)
        return false;
    std::string name(header->dbcc_name, strnlen(header->dbcc_name, header->dbcc_size - kNameOffset));
    return CPendantDevice::NamesPendant(name.c_str());
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
    // Normally taken in PreTranslateMessage; this catches one sent, or dispatched by a modal
    // loop that is not ours (a menu's, a message box's).
    ON_MESSAGE(WM_PENDANT_KEY, OnPendantKey)
END_MESSAGE_MAP()

CDriverDlg::CDriverDlg() : CDialog(IDD_DRIVER_DIALOG) {
    std::memset(&notifyFilter, 0, sizeof(notifyFilter));
    m_hIcon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_ACTIVE));
    g_state.pendantReady = 0;
    notifyRegistered = 0;
}

LRESULT CDriverDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TASKBAR_CREATED && WM_TASKBAR_CREATED != 0) return OnTaskbarCreated(wParam, lParam);
    return CDialog::WindowProc(message, wParam, lParam);
}

BOOL CDriverDlg::PreTranslateMessage(MSG* msg) {
    if (msg->message == WM_PENDANT_KEY) {
        keyfwd::ForwardKey(static_cast<uint32_t>(msg->wParam), static_cast<uint32_t>(msg->lParam));
        return TRUE;
    }
    return CDialog::PreTranslateMessage(msg);
}

LRESULT CDriverDlg::OnPendantKey(WPARAM wParam, LPARAM lParam) {
    keyfwd::ForwardKey(static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam));
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

    g_state.hostThreadId = 0;
    tickCount = 0;
    keyfwd::Reset();
    g_state.statusText = kStatusDefault;
    g_state.hostActive = 0;
    g_state.enabled = 1;
    g_state.operatorLocked = 0;
    tracker.Reset();
    refreshPending = 0;
    g_state.hostExePath.clear();
    g_state.hostWindow = nullptr;
    g_state.forceFrame = 0;
    g_state.hostIsV8 = 0;

    CPendantDevice::SetKeySink(&keyfwd::Sink());
    if (!g_pendant.Open(m_hWnd)) {
        g_state.enabled = 0;
        eventlog::Write("locked: no pendant at start-up");
    }
    RegisterDeviceNotifications();
    g_pendant.Close();

    g_state.modeByte = 0;
    g_state.lastFrame = 0;
    hooklib::LoadAtStart();
    RegisterHotKey(m_hWnd, HOTKEY_LOCK, MOD_CONTROL, VK_F11);
    RegisterAutostart();
    if (!poller::Start()) return TRUE;
    timerId = SetTimer(m_hWnd, TIMER_TICK, TIMER_PERIOD_MS, nullptr);
    trayIconId = IDI_ACTIVE;
    return TRUE;
}

std::string AutostartValueFor(const char* exePath) {
    // A path with a blank must be quoted, or Windows may start C:\Program.exe instead.
    std::string value = exePath;
    if (value.find(' ') != std::string::npos) value = "\"" + value + "\"";
    return value;
}

bool WriteAutostartValue(const char* exePath, bool* keyOpened) {
    HKEY key = nullptr;
    LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_WRITE, &key);
    *keyOpened = opened == ERROR_SUCCESS;
    if (!*keyOpened) {
        eventlog::Write("autostart: not written, the Run key cannot be opened (", eventlog::ErrorText(opened),
                        ")");
        return true;
    }
    std::string value = AutostartValueFor(exePath);
    LONG written = RegSetValueExA(key, kAutostartValue, 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(value.c_str()),
                                  static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    if (written == ERROR_SUCCESS)
        eventlog::Write("autostart: \"", kAutostartValue, "\" set to ", value);
    else
        eventlog::Write("autostart: not written (", eventlog::ErrorText(written), ")");
    return written == ERROR_SUCCESS;
}

bool ReadAutostartValue(std::string* value) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    char text[MAX_PATH + 8] = {0};
    DWORD size = sizeof(text) - 1;
    DWORD type = 0;
    LONG read = RegQueryValueExA(key, kAutostartValue, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS || type != REG_SZ) return false;
    *value = text;
    return true;
}

void CDriverDlg::RegisterAutostart() {
    // Every user's logon runs what the value names: never a file that others can replace.
    std::string why = WhyOthersCanChangeThisDriver();
    if (!why.empty()) {
        eventlog::Write("autostart: not written, ", kChangeableFolder, " (", why, ")");
        return;
    }
    char path[MAX_PATH + 1] = {0};
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    path[length < MAX_PATH ? length : MAX_PATH] = '\0';
    bool opened = false;
    if (!WriteAutostartValue(path, &opened) && opened)
        MessageBoxA(m_hWnd, "System Error,dunmoral Can't Startup!", nullptr, MB_OK);
}

int CDriverDlg::RegisterDeviceNotifications() {
    std::memset(&notifyFilter, 0, sizeof(notifyFilter));
    notifyFilter.dbcc_size = sizeof(DEV_BROADCAST_DEVICEINTERFACE_A);
    notifyFilter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    notifyFilter.dbcc_classguid = g_pendant.interfaceClass;
    notifyHandle = RegisterDeviceNotificationA(m_hWnd, &notifyFilter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (notifyHandle) notifyRegistered = 1;
    return notifyHandle ? 1 : 0;
}

LRESULT CDriverDlg::OnDeviceChange(WPARAM wParam, LPARAM lParam) {
    if (wParam == DBT_DEVICEARRIVAL) {
        auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
        if (header && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) g_state.pendantReady = 0;
    } else if (wParam == DBT_DEVICEREMOVECOMPLETE) {
        g_state.pendantReady = 0;
        if (RemovedPendant(lParam)) CPendantDevice::LogLinkLost("removed");
    }
    return TRUE;
}

void CDriverDlg::EnsurePendant() {
    if (!notifyRegistered) RegisterDeviceNotifications();
    if (g_state.pendantReady != 0) return;
    if (g_pendant.connected == 1) g_pendant.Close();
    int result = g_pendant.Open(m_hWnd);
    g_state.pendantReady = result;
    // A reconnection ends a lock that only the missing pendant caused, never the operator's.
    if (result == 1 && !g_state.operatorLocked) {
        if (g_state.enabled == 0) eventlog::Write("unlocked by the reconnection");
        g_state.enabled = 1;
    }
}

LRESULT CDriverDlg::OnTimer(WPARAM, LPARAM) {
    Default();
    if (++tickCount >= kTicksPerRefresh) {
        tickCount = 0;
        // A post that fails (a full queue) must not stop every later refresh.
        if (!refreshPending && PostMessageA(m_hWnd, WM_REFRESH_STATUS, 0, 0)) refreshPending = 1;
    }
    if (g_state.enabled == 1) {
        tracker.Track(GetForegroundWindow());
    } else if (g_state.enabled == 0) {
        if (g_state.hostActive == 1) hooklib::EnableMap(0);
        g_state.hostActive = 0;
    }
    return 0;
}

LRESULT CDriverDlg::OnRefreshStatus(WPARAM, LPARAM) {
    EnsurePendant();
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
    if (icon != trayIconId) {
        trayIconId = icon;
        m_hIcon = tray::Update(m_hWnd, icon, tip);
    }
    refreshPending = 0;
    return 1;
}

bool CDriverDlg::ToggleLock() {
    g_state.enabled = g_state.enabled == 0 ? 1 : 0;
    g_state.operatorLocked = g_state.enabled == 0 ? 1 : 0;
    return g_state.enabled == 1;
}

void CDriverDlg::RefuseUnlock(const char* road, const char* text, const char* caption) {
    g_state.enabled = 0;
    eventlog::Write("unlock ", road, " refused: no pendant");
    MessageBoxA(m_hWnd, text, caption, MB_OK);
}

void CDriverDlg::OnLock() {
    if (!ToggleLock()) {
        eventlog::Write("locked from the menu");
        // Closing releases a key still held in the host.
        g_pendant.Close();
        CPendantDevice::LogLinkLost("closed by the lock from the menu");
    } else if (!g_pendant.Open(m_hWnd)) {
        RefuseUnlock("from the menu", "Please Insert Usb!", "Infor");
    } else {
        eventlog::Write("unlocked from the menu");
    }
}

LRESULT CDriverDlg::OnHotKey(WPARAM, LPARAM) {
    if (!ToggleLock()) {
        eventlog::Write("locked by Ctrl+F11");
        // The pendant stays open, so a key held now would stay down in the host.
        keyfwd::ReleaseHeldKey();
    } else if (g_pendant.connected == 0) {
        RefuseUnlock("by Ctrl+F11", "Please Insert USB Controller!", "Information");
    } else {
        eventlog::Write("unlocked by Ctrl+F11");
    }
    return 0;
}

void CDriverDlg::OnExit() {
    poller::Stop();
    poller::ExitCleanup();
    OnCancel();
}

LRESULT CDriverDlg::OnDestroy(WPARAM, LPARAM) {
    eventlog::Write("exit");
    poller::Stop();
    Default();
    if (timerId) KillTimer(m_hWnd, timerId);
    timerId = 0;
    tray::Remove(m_hWnd);
    UnregisterHotKey(m_hWnd, HOTKEY_LOCK);
    // The registration belongs to this window; a dialog made again would otherwise add a second.
    if (notifyHandle) UnregisterDeviceNotification(notifyHandle);
    notifyHandle = nullptr;
    notifyRegistered = 0;
    keyfwd::ReleaseHeldKey();
    // The forwarder outlives this window only until the process ends; the pendant object lives
    // longer, and its last close must not call into it.
    CPendantDevice::SetKeySink(nullptr);
    hooklib::FreeAll();
    return 0;
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
