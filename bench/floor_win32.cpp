// bench-floor.exe MODE BLOCK [WAITMS]: the bare programs that give the benchmark its floors, what
// the platform itself costs for each figure, built for the same bitness as the driver beside it.
// BLOCK names the FloorBlock the benchmark created.
//
//   init    creates one window, runs one SetupDi HID enumeration, loads hravik.dll from its own
//           folder, stamps initEndQpc and ends
//   reader  registers for HID interface arrivals; opens the pendant's input interface at start when
//           it is there and on each arrival of it, and stamps every report a blocking ReadFile returns
//   steady  the driver's rhythms with nothing behind them: the same system libraries, a tray icon,
//           a 200 ms timer, a thread waiting WAITMS (100 idle, 80 polling) in a loop, and a reader
//           blocked in a HID read that stamps what it reads; with "hop" after WAITMS the reader
//           posts each report to the window's thread, which stamps it, as the driver hands keys on
//
// Run by hand, with no block of that name, it stamps into one of its own.
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
// MinGW-w64's hidsdi.h declares its functions without C linkage.
extern "C" {
#include <hidsdi.h>
}
#include <shellapi.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "bench/floor_shared.h"

namespace {

FloorBlock* g_block = nullptr;
HWND g_window = nullptr;
HANDLE g_device = INVALID_HANDLE_VALUE;
constexpr UINT kReaderEnded = WM_APP + 1;
constexpr UINT kReport = WM_APP + 2;
bool g_hop = false;
constexpr UINT_PTR kTickTimer = 1;

bool IsPendantInput(std::wstring path) {
    for (wchar_t& c : path) c = static_cast<wchar_t>(towlower(c));
    return path.find(kFloorPendantInput) != std::wstring::npos;
}

// Every HID interface path of the system, as discovery would list them.
std::vector<std::wstring> HidInterfaces() {
    GUID hid;
    HidD_GetHidGuid(&hid);
    std::vector<std::wstring> paths;
    HDEVINFO set = SetupDiGetClassDevsW(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof iface;
    std::vector<BYTE> buffer(2048);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hid, i, &iface); ++i) {
        detail->cbSize = sizeof *detail;
        if (SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, DWORD(buffer.size()), nullptr, nullptr))
            paths.push_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

DWORD WINAPI ReaderThread(void*) {
    BYTE report[64];
    DWORD got = 0;
    while (ReadFile(g_device, report, 6, &got, nullptr)) {
        if (g_hop) {
            PostMessageW(g_window, kReport, 0, 0);
            continue;
        }
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        LONG index = g_block->reads;
        g_block->readQpc[index % kFloorStamps] = now.QuadPart;
        InterlockedIncrement(&g_block->reads);
    }
    PostMessageW(g_window, kReaderEnded, 0, 0);
    return 0;
}

// Opens the input interface and leaves a thread blocked in its read; false when it cannot.
bool OpenAndRead(const std::wstring& path) {
    if (g_device != INVALID_HANDLE_VALUE) return true;
    g_device = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (g_device == INVALID_HANDLE_VALUE) return false;
    g_block->opened = 1;
    HANDLE thread = CreateThread(nullptr, 0, ReaderThread, nullptr, 0, nullptr);
    if (thread) CloseHandle(thread);
    return thread != nullptr;
}

bool OpenPresent() {
    for (const std::wstring& path : HidInterfaces())
        if (IsPendantInput(path)) return OpenAndRead(path);
    return false;
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_DEVICECHANGE:
        if (wParam == DBT_DEVICEARRIVAL && lParam) {
            auto* header = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
            if (header->dbcc_devicetype == DBT_DEVTYP_DEVICEINTERFACE && IsPendantInput(header->dbcc_name))
                OpenAndRead(header->dbcc_name);
        }
        return TRUE;
    case kReaderEnded:
        // The device went away under the read: close, and wait for its next arrival.
        if (g_device != INVALID_HANDLE_VALUE) CloseHandle(g_device);
        g_device = INVALID_HANDLE_VALUE;
        g_block->opened = 0;
        return 0;
    case WM_TIMER:
        if (g_block->stop) PostQuitMessage(0);
        return 0;
    case kReport: {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        LONG index = g_block->reads;
        g_block->readQpc[index % kFloorStamps] = now.QuadPart;
        InterlockedIncrement(&g_block->reads);
        return 0;
    }
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

HWND MakeWindow() {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"veltra-bench-floor";
    RegisterClassW(&wc);
    return CreateWindowExW(0, wc.lpszClassName, L"veltra-bench-floor", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                           wc.hInstance, nullptr);
}

void RunLoop() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

int Init() {
    g_window = MakeWindow();
    HidInterfaces();
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    dir.erase(dir.find_last_of(L'\\') + 1);
    HMODULE library = LoadLibraryExW((dir + L"hravik.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    g_block->initEndQpc = now.QuadPart;
    g_block->ready = library ? 1 : -1;
    return 0;
}

int Reader() {
    g_window = MakeWindow();
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    HidD_GetHidGuid(&filter.dbcc_classguid);
    if (!RegisterDeviceNotificationW(g_window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE)) return 1;
    OpenPresent();
    g_block->ready = 1;
    RunLoop();
    return 0;
}

DWORD g_waitMs = 100;

DWORD WINAPI WaiterThread(void*) {
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    while (!g_block->stop) WaitForSingleObject(never, g_waitMs);
    return 0;
}

int Steady() {
    // The libraries the driver loads at run time beside its imports.
    LoadLibraryW(L"version.dll");
    LoadLibraryW(L"wtsapi32.dll");
    g_window = MakeWindow();
    NOTIFYICONDATAW icon = {};
    icon.cbSize = sizeof icon;
    icon.hWnd = g_window;
    icon.uID = 1;
    icon.uFlags = NIF_ICON | NIF_TIP;
    icon.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    wcscpy(icon.szTip, L"veltra-bench-floor");
    Shell_NotifyIconW(NIM_ADD, &icon);
    SetTimer(g_window, kTickTimer, 200, nullptr);
    HANDLE waiter = CreateThread(nullptr, 0, WaiterThread, nullptr, 0, nullptr);
    if (waiter) CloseHandle(waiter);
    bool reading = OpenPresent();
    g_block->ready = reading ? 1 : -1;
    RunLoop();
    Shell_NotifyIconW(NIM_DELETE, &icon);
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 3) return 2;
    static FloorBlock own;
    g_block = &own;
    if (HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, argv[2]))
        g_block = static_cast<FloorBlock*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(FloorBlock)));
    if (!g_block) return 3;
    std::wstring mode = argv[1];
    if (argc > 3) g_waitMs = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10));
    g_hop = argc > 4 && std::wstring(argv[4]) == L"hop";
    if (mode == L"init") return Init();
    if (mode == L"reader") return Reader();
    if (mode == L"steady") return Steady();
    return 2;
}
