#include "app/tray_icon.h"

#include <shellapi.h>

#include <cstring>

#include "res/resource.h"

namespace tray {

namespace {

UINT g_lastIconId = 0;
std::string g_lastTip;

HICON LoadTrayIcon(UINT iconId) {
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
        // The first version's tip holds 63 characters and the NUL.
        std::strncpy(data.szTip, tip, 63);
        data.szTip[63] = '\0';
    }
    return Shell_NotifyIconA(action, &data);
}

}  // namespace

void Add(HWND owner) {
    HICON icon = LoadTrayIcon(IDI_ACTIVE);
    Notify(NIM_ADD, owner, icon, "Qorin");
    g_lastIconId = IDI_ACTIVE;
    g_lastTip = "Qorin";
}

HICON Update(HWND owner, UINT iconId, const char* tip) {
    HICON icon = LoadTrayIcon(iconId);
    SendMessageA(owner, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageA(owner, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    Notify(NIM_MODIFY, owner, icon, tip);
    g_lastIconId = iconId;
    g_lastTip = std::string(tip).substr(0, 63);
    return icon;
}

void Remove(HWND owner) {
    NOTIFYICONDATAA data;
    std::memset(&data, 0, sizeof(data));
    data.cbSize = NOTIFYICONDATAA_V1_SIZE;
    data.hWnd = owner;
    data.uID = kIconId;
    Shell_NotifyIconA(NIM_DELETE, &data);
}

UINT LastIconId() { return g_lastIconId; }
std::string LastTip() { return g_lastTip; }

}  // namespace tray
