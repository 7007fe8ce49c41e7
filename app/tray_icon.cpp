#include "app/tray_icon.h"

#include <shellapi.h>

#include <cstddef>
#include <cstring>

#include "base/event_log.h"
#include "res/resource.h"

// The first version of the record: every shell since Windows 95 takes it, and its tip holds
// 63 characters and the NUL.
static_assert(NOTIFYICONDATAA_V1_SIZE ==
                  offsetof(NOTIFYICONDATAA, szTip) + 64 * sizeof(CHAR),
              "the first record version ends with a 64-character tip");
static_assert(sizeof(void*) != 4 || NOTIFYICONDATAA_V1_SIZE == 88,
              "the 32-bit driver hands the shell an 88-byte record");

namespace tray {

namespace {

// All of this lives on the UI thread.
UINT g_lastIconId = 0;
std::string g_lastTip;
int g_retriesLeft = 0;
// A balloon waits for the icon to be there.
bool g_added = false;
std::string g_pendingBalloon;

HICON LoadTrayIcon(UINT iconId) {
    // Shared: the system keeps one handle per resource and size, so switching icons leaks none.
    return static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr),
                                         MAKEINTRESOURCEA(iconId & 0xFFFF), IMAGE_ICON,
                                         GetSystemMetrics(SM_CXSMICON),
                                         GetSystemMetrics(SM_CYSMICON), LR_SHARED));
}

BOOL Notify(DWORD action, HWND owner, HICON icon, const char* tip) {
    NOTIFYICONDATAA data;
    std::memset(&data, 0, sizeof(data));
    data.cbSize = NOTIFYICONDATAA_V1_SIZE;
    data.hWnd = owner;
    data.uID = kIconId;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = WM_TRAY_NOTIFY;
    data.hIcon = icon;
    if (tip) {
        std::strncpy(data.szTip, tip, 63);
        data.szTip[63] = '\0';
    }
    return Shell_NotifyIconA(action, &data);
}

void Remember(UINT iconId, const char* tip) {
    g_lastIconId = iconId;
    g_lastTip = std::string(tip ? tip : "").substr(0, 63);
}

// The balloon needs the second version of the record; the icon itself keeps the first.
void ShowPendingBalloon(HWND owner) {
    if (!g_added || g_pendingBalloon.empty()) return;
    NOTIFYICONDATAA data;
    std::memset(&data, 0, sizeof(data));
    data.cbSize = NOTIFYICONDATAA_V2_SIZE;
    data.hWnd = owner;
    data.uID = kIconId;
    data.uFlags = NIF_INFO;
    lstrcpynA(data.szInfo, g_pendingBalloon.c_str(), sizeof(data.szInfo));
    lstrcpynA(data.szInfoTitle, "veltra", sizeof(data.szInfoTitle));
    data.dwInfoFlags = NIIF_WARNING;
    data.uTimeout = 10000;
    if (Shell_NotifyIconA(NIM_MODIFY, &data)) g_pendingBalloon.clear();
}

// Adds the icon with what it shows now.
bool AddCurrent(HWND owner) {
    g_added = Notify(NIM_ADD, owner, LoadTrayIcon(g_lastIconId), g_lastTip.c_str()) != FALSE;
    ShowPendingBalloon(owner);
    return g_added;
}

void CALLBACK RetryTimerProc(HWND owner, UINT, UINT_PTR id, DWORD) {
    if (g_retriesLeft > 0) --g_retriesLeft;
    if (AddCurrent(owner) || g_retriesLeft == 0) {
        KillTimer(owner, id);
        g_retriesLeft = 0;
    }
}

MessageFilterFn SystemMessageFilter() {
    return reinterpret_cast<MessageFilterFn>(
        GetProcAddress(GetModuleHandleA("user32.dll"), "ChangeWindowMessageFilterEx"));
}

MessageFilterFn g_messageFilter = SystemMessageFilter();

void StartRetries(HWND owner) {
    g_retriesLeft = kMaxRetries;
    SetTimer(owner, kRetryTimerId, kRetryPeriodMs, RetryTimerProc);
}

}  // namespace

void Add(HWND owner) {
    g_pendingBalloon.clear();
    Remember(IDI_ACTIVE, "Qorin");
    if (!AddCurrent(owner)) StartRetries(owner);
}

HICON Update(HWND owner, UINT iconId, const char* tip) {
    HICON icon = LoadTrayIcon(iconId);
    SendMessageA(owner, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageA(owner, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    // Remembered even when the shell refuses: a later add shows the current state.
    Remember(iconId, tip);
    Notify(NIM_MODIFY, owner, icon, tip);
    return icon;
}

void Remove(HWND owner) {
    KillTimer(owner, kRetryTimerId);
    g_retriesLeft = 0;
    g_added = false;
    NOTIFYICONDATAA data;
    std::memset(&data, 0, sizeof(data));
    data.cbSize = NOTIFYICONDATAA_V1_SIZE;
    data.hWnd = owner;
    data.uID = kIconId;
    Shell_NotifyIconA(NIM_DELETE, &data);
}

void AddAgain(HWND owner) {
    if (g_lastIconId == 0) return;  // never added: the window is not yet created
    if (AddCurrent(owner)) return;
    // A shell that still holds the icon (a "TaskbarCreated" that did not come from a restart)
    // refuses the add, and takes a modify instead.
    if (Notify(NIM_MODIFY, owner, LoadTrayIcon(g_lastIconId), g_lastTip.c_str())) {
        g_added = true;
        return;
    }
    if (g_retriesLeft == 0) StartRetries(owner);
}

void LetTaskbarCreatedThrough(HWND owner) {
    const UINT taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    if (!g_messageFilter || taskbarCreated == 0) return;
    if (!g_messageFilter(owner, taskbarCreated, MSGFLT_ALLOW, nullptr))
        eventlog::Write("tray: the shell's restart message cannot be let through (",
                        eventlog::ErrorText(GetLastError()), "); the icon may not come back after one");
}

void SetMessageFilter(MessageFilterFn filter) { g_messageFilter = filter ? filter : SystemMessageFilter(); }

void ShowBalloon(HWND owner, const char* text) {
    g_pendingBalloon = text ? text : "";
    ShowPendingBalloon(owner);
}

HMENU LoadPreparedMenu(int enabled) {
    HMENU menu = LoadMenuA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_TRAY_MENU));
    if (!menu) return nullptr;
    // The check mark means "locked"; the template's own mark is replaced every time.
    CheckMenuItem(GetSubMenu(menu, 0), ID_LOCK,
                  MF_BYCOMMAND | (enabled == 0 ? MF_CHECKED : MF_UNCHECKED));
    return menu;
}

UINT LastIconId() { return g_lastIconId; }
std::string LastTip() { return g_lastTip; }

}  // namespace tray
