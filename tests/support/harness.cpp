#include "support/harness.h"

#include <algorithm>

#include <winternl.h>

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (condition()) return true;
        if (GetTickCount() - start >= timeoutMs) return condition();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

void PumpFor(DWORD ms) {
    WaitUntil([] { return false; }, ms);
}

std::string ExeDir() {
    char path[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path);
    return s.substr(0, s.find_last_of("\\/") + 1);
}

namespace harness {

double QpcToMs(LONGLONG qpc) {
    static const double perMs = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart) / 1000.0;
    }();
    return static_cast<double>(qpc) / perMs;
}

double NowMs() {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return QpcToMs(c.QuadPart);
}

namespace {

struct FindRequest {
    DWORD pid;
    const char* title;
    const char* cls;
    HWND found;
};

// The caption the system keeps, read without a message: a window whose thread is busy (inside a
// hung library call, or in a modal loop of the thread that asks) is still found by its title.
std::string CaptionOf(HWND hwnd) {
    wchar_t wide[256] = {0};
    int length = InternalGetWindowText(hwnd, wide, 256);
    char text[512] = {0};
    if (length > 0) WideCharToMultiByte(CP_ACP, 0, wide, length, text, sizeof text - 1, nullptr, nullptr);
    return text;
}

BOOL CALLBACK FindWindowProc(HWND hwnd, LPARAM lParam) {
    auto* f = reinterpret_cast<FindRequest*>(lParam);
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    if (owner != f->pid) return TRUE;
    if (f->title && CaptionOf(hwnd) != f->title) return TRUE;
    if (f->cls && (ClassOf(hwnd) != f->cls || !IsWindowVisible(hwnd))) return TRUE;
    f->found = hwnd;
    return FALSE;
}

std::string Dir(const std::string& path) { return path.substr(0, path.find_last_of("\\/") + 1); }

}  // namespace

std::string TextOf(HWND hwnd, DWORD timeoutMs) {
    char text[512] = {0};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text),
                             SMTO_ABORTIFHUNG | SMTO_BLOCK, timeoutMs, &copied))
        return std::string();
    return text;
}

std::string ClassOf(HWND hwnd) {
    char cls[256] = {0};
    GetClassNameA(hwnd, cls, sizeof cls);
    return cls;
}

HWND FindWindowOf(DWORD pid, const char* title, const char* cls, HDESK desktop) {
    FindRequest find{pid, title, cls, nullptr};
    if (desktop)
        EnumDesktopWindows(desktop, FindWindowProc, reinterpret_cast<LPARAM>(&find));
    else
        EnumWindows(FindWindowProc, reinterpret_cast<LPARAM>(&find));
    return find.found;
}

ChildProcess::~ChildProcess() {
    if (pi_.hProcess) {
        if (Wait(0) == STILL_ACTIVE) Kill();
        CloseHandle(pi_.hProcess);
        CloseHandle(pi_.hThread);
    }
}

bool ChildProcess::Start(const std::string& commandLine, const char* currentDir, HANDLE token,
                         const char* desktop, const char* outputPath) {
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    std::string desktopName = desktop ? desktop : "";
    if (desktop) si.lpDesktop = &desktopName[0];
    HANDLE output = INVALID_HANDLE_VALUE;
    if (outputPath) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        output = CreateFileA(outputPath, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
        if (output == INVALID_HANDLE_VALUE) return false;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = output;
    }
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    BOOL inherits = outputPath != nullptr;
    BOOL started = token ? CreateProcessAsUserA(token, nullptr, line.data(), nullptr, nullptr, inherits, 0,
                                                nullptr, currentDir, &si, &pi_)
                         : CreateProcessA(nullptr, line.data(), nullptr, nullptr, inherits, 0, nullptr,
                                          currentDir, &si, &pi_);
    if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
    return started != FALSE;
}

DWORD ChildProcess::Wait(DWORD timeoutMs) {
    if (!pi_.hProcess) return 0;
    WaitForSingleObject(pi_.hProcess, timeoutMs);
    DWORD code = 0;
    GetExitCodeProcess(pi_.hProcess, &code);
    return code;
}

void ChildProcess::Kill() {
    if (pi_.hProcess) {
        TerminateProcess(pi_.hProcess, 99);
        WaitForSingleObject(pi_.hProcess, 5000);
    }
}

DriverProcess::~DriverProcess() {
    if (Running()) Exit();
}

bool DriverProcess::Start(const std::string& exe) {
    return ChildProcess::Start("\"" + exe + "\"", Dir(exe).c_str());
}

bool DriverProcess::WaitWindow(DWORD timeoutMs) {
    return WaitUntil([&] { return Window() != nullptr; }, timeoutMs);
}

bool DriverProcess::Answers() {
    DWORD_PTR result = 0;
    HWND window = Window();
    return window && SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result) != 0;
}

bool DriverProcess::Exit(DWORD timeoutMs) {
    if (HWND window = Window()) PostMessageA(window, WM_COMMAND, kExitCommand, 0);
    return Wait(timeoutMs) != STILL_ACTIVE;
}

bool SendHotKey() {
    INPUT in[4] = {};
    WORD keys[4] = {VK_CONTROL, VK_F11, VK_F11, VK_CONTROL};
    for (int i = 0; i < 4; ++i) {
        in[i].type = INPUT_KEYBOARD;
        in[i].ki.wVk = keys[i];
        in[i].ki.wScan = static_cast<WORD>(MapVirtualKeyA(keys[i], MAPVK_VK_TO_VSC));
        in[i].ki.dwFlags = i >= 2 ? KEYEVENTF_KEYUP : 0;
    }
    return SendInput(4, in, sizeof(INPUT)) == 4;
}

namespace {
INPUT MouseInput(POINT p, DWORD flags) {
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dx = static_cast<LONG>((p.x * 65535LL + width / 2) / (width - 1));
    input.mi.dy = static_cast<LONG>((p.y * 65535LL + height / 2) / (height - 1));
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | flags;
    return input;
}
}  // namespace

bool MoveMouseTo(POINT p) {
    INPUT input = MouseInput(p, 0);
    return SendInput(1, &input, sizeof(INPUT)) == 1;
}

bool Click(POINT p, bool right) {
    if (!MoveMouseTo(p)) return false;
    Sleep(50);  // a menu follows the pointer before it takes a click
    INPUT inputs[2] = {MouseInput(p, right ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_LEFTDOWN),
                       MouseInput(p, right ? MOUSEEVENTF_RIGHTUP : MOUSEEVENTF_LEFTUP)};
    return SendInput(2, inputs, sizeof(INPUT)) == 2;
}

MenuRoute ChooseTrayMenuItem(DWORD driverPid, HWND driverWindow, MenuItem item, UINT command,
                             std::string* note) {
    constexpr UINT kMnGetHmenu = 0x01E1;
    PostMessageA(driverWindow, kTrayNotify, kTrayIconId, WM_RBUTTONUP);
    HWND menu = nullptr;
    WaitUntil([&] { return (menu = FindWindowOf(driverPid, nullptr, "#32768")) != nullptr; }, 3000);
    if (menu) {
        RECT box{};
        GetWindowRect(menu, &box);
        POINT target{(box.left + box.right) / 2, 0};
        // The menu handle lives in the driver's process; asking for the item's place through it
        // only works where menus are shared between processes.
        HMENU handle = reinterpret_cast<HMENU>(SendMessageA(menu, kMnGetHmenu, 0, 0));
        RECT itemBox{};
        if (handle && GetMenuItemRect(nullptr, handle, item, &itemBox) && itemBox.bottom > itemBox.top) {
            target.y = (itemBox.top + itemBox.bottom) / 2;
        } else {
            // Equal rows of text between thin borders.
            int rowHeight = (box.bottom - box.top) / kMenuItemCount;
            target.y = box.top + rowHeight * item + rowHeight / 2;
            if (note) *note += "GetMenuItemRect failed for the driver's HMENU; row computed from the menu window. ";
        }
        Click(target);
        if (WaitUntil([&] { return !IsWindow(menu) || !IsWindowVisible(menu); }, 2000)) return MenuRoute::kClicked;
        if (note) *note += "the menu stayed open after the SendInput click. ";
        PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        WaitUntil([&] { return !IsWindow(menu) || !IsWindowVisible(menu); }, 1000);
    } else if (note) {
        *note += "no popup menu window (#32768) appeared. ";
    }
    if (!PostMessageA(driverWindow, WM_COMMAND, command, 0)) return MenuRoute::kFailed;
    return MenuRoute::kPostedCommand;
}

HookRecords::~HookRecords() {
    if (block_) HravikDetach(block_, mapping_);
}

bool HookRecords::Attach() {
    block_ = HravikAttach(nullptr, &mapping_);
    return block_ != nullptr;
}

std::vector<HravikRecord> RecordsSince(const HravikShared* block, LONG since, int exportId) {
    std::vector<HravikRecord> out;
    HravikRecord r;
    LONG count = block->count;
    for (LONG i = since > HravikOldestIndex(block) ? since : HravikOldestIndex(block); i < count; ++i)
        if (HravikReadRecord(block, i, &r) && (exportId < 0 || r.exportId == exportId)) out.push_back(r);
    return out;
}

std::vector<std::pair<uint32_t, uint32_t>> KeyCallsSince(const HravikShared* block, LONG since) {
    std::vector<std::pair<uint32_t, uint32_t>> calls;
    for (const HravikRecord& r : RecordsSince(block, since, HravikKeyBoardProc))
        calls.emplace_back(static_cast<uint32_t>(r.args[0]), static_cast<uint32_t>(r.args[1]));
    return calls;
}

bool HookRecords::WaitCalls(int exportId, LONG atLeast, DWORD timeoutMs) const {
    return WaitUntil([&] { return Calls(exportId) >= atLeast; }, timeoutMs);
}

Pendant::Pendant() {
    bus_.Reset();
    bus_.UnplugAll();
}

Pendant::~Pendant() {
    bus_.Reset();
    bus_.UnplugAll();
}

std::vector<testhid::LogEntry> Pendant::Frames(uint32_t since) {
    std::vector<testhid::LogEntry> all, frames;
    bus_.FeatureLog(all, since);
    for (const testhid::LogEntry& e : all) {
        if (e.kind == TESTHID_SET_FEATURE && e.outcome == TESTHID_ACCEPTED &&
            e.device.vendor == testhid::kPendantFeature.vendor &&
            e.device.product == testhid::kPendantFeature.product)
            frames.push_back(e);
    }
    return frames;
}

bool Pendant::WaitFrame(uint8_t status, uint32_t since, DWORD timeoutMs, testhid::LogEntry* entry) {
    return WaitUntil(
        [&] {
            for (const testhid::LogEntry& e : Frames(since)) {
                if (e.data[0] == 6 && e.data[1] == 0xFE && e.data[2] == 0xFD && e.data[4] == status) {
                    if (entry) *entry = e;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
}

bool KeyPathOpen(Pendant& pendant, const HookRecords& hooks, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        LONG before = hooks.Calls(HravikKeyBoardProc);
        pendant.Key(static_cast<uint8_t>(kProbeKey));
        pendant.Release();
        if (hooks.WaitCalls(HravikKeyBoardProc, before + 2, 300)) return true;
    }
    return false;
}

DriverSession::DriverSession() {
    if (hooks.Attach()) HravikReset(hooks.Block());
}

DriverSession::~DriverSession() {
    if (driver.Running()) driver.Exit();
    host.Quit();
}

bool DriverSession::StartDriver(const std::string& exe) {
    return driver.Start(exe.empty() ? ExeDir() + "veltra.exe" : exe) && driver.WaitWindow(15000);
}

bool DriverSession::StartConnected(const std::string& exe) {
    // Two status refreshes are 4.4 s; a first start in a fresh prefix is slow.
    return hooks.Block() && pendant.Plug() && StartDriver(exe) && Forwarding(10000);
}

bool DriverSession::StartHostInFront() {
    LONG mark = hooks.Mark();
    if (!host.Start(ExeDir() + "ncstudio-v8.exe")) return false;
    // The pointer onto the host, as the operator's would be: under Xvfb with no window manager
    // the window under the pointer can take the focus back (after a tray menu's click, whatever
    // lies under it), and the host's own bid for the front then loses to it again and again.
    RECT r{};
    if (GetWindowRect(host.MainWindow(), &r)) MoveMouseTo(POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2});
    if (!WaitUntil([&] { return host.Front("main"); }, 3000)) return false;
    // Hooked on one tick, taken up as the host in front on a later one (a state call each). The
    // key map is switched on then, unless it already is: a driver keeps it on from one host to
    // the next until it is locked.
    return WaitUntil(
        [&] {
            std::vector<HravikRecord> calls = hooks.Since(mark);
            auto hooked = std::find_if(calls.begin(), calls.end(),
                                       [](const HravikRecord& r) { return r.exportId == HravikInstallhook; });
            auto states = std::count_if(hooked, calls.end(),
                                        [](const HravikRecord& r) { return r.exportId == HravikSetPcState; });
            std::vector<HravikRecord> maps = hooks.Since(0, HravikEnableMap);
            return hooked != calls.end() && states >= 2 && !maps.empty() && maps.back().args[0] == 1;
        },
        5000);
}

bool DriverSession::KeyReaches(uint8_t code, DWORD timeoutMs) {
    LONG before = hooks.Calls(HravikKeyBoardProc);
    pendant.Key(code);
    bool reached = hooks.WaitCalls(HravikKeyBoardProc, before + 1, timeoutMs);
    pendant.Release();
    if (reached) hooks.WaitCalls(HravikKeyBoardProc, before + 2, timeoutMs);
    return reached;
}

LONG DriverSession::HoldKey() {
    LONG mark = hooks.Mark();
    LONG before = hooks.Calls(HravikKeyBoardProc);
    pendant.Key(0x12, 0x00, 0x34);
    hooks.WaitCalls(HravikKeyBoardProc, before + 1, 3000);
    return mark;
}

void DriverSession::DismissBoxes() {
    for (const char* title : {"Infor", "Information"})
        if (HWND box = FindWindowOf(driver.Pid(), title)) PostMessageA(box, WM_COMMAND, IDOK, 0);
}

long ProcessHandleCount(DWORD pid, std::string* types) {
    // The system's handle table, in the layout it has kept since Windows 2000.
    struct Entry {
        ULONG ownerPid;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    struct Table {
        ULONG count;
        Entry entries[1];
    };
    using Query = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return -1;
    std::vector<char> buffer(1 << 20);
    for (int attempt = 0; attempt < 4; ++attempt) {
        ULONG needed = 0;
        NTSTATUS status = query(16 /* SystemHandleInformation */, buffer.data(),
                                static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) {
            const auto* table = reinterpret_cast<const Table*>(buffer.data());
            long count = 0;
            std::vector<int> byType(256);
            for (ULONG i = 0; i < table->count; ++i) {
                if (table->entries[i].ownerPid != pid) continue;
                ++count;
                ++byType[table->entries[i].objectType];
            }
            if (types) {
                types->clear();
                for (int t = 0; t < 256; ++t)
                    if (byType[t]) *types += " " + std::to_string(t) + ":" + std::to_string(byType[t]);
            }
            return count;
        }
        buffer.resize(buffer.size() * 4);
    }
    return -1;
}

}  // namespace harness
