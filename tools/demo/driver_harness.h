// Drives the driver's virtual build, the virtual pendant and the stand-in hook library from
// another process, as a user and a pendant would. Shared by the demo and the end-to-end tests;
// header-only so that both link nothing more.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hravik_shared.h"

namespace harness {

// Messages and ids the driver answers to, as a tray or user would send them.
constexpr UINT kTrayNotify = WM_USER + 116;
constexpr WPARAM kTrayIconId = 128;
constexpr UINT kLockCommand = 32771;
constexpr UINT kExitCommand = 32773;
constexpr UINT kMnGetHmenu = 0x01E1;
constexpr const char* kDriverTitle = "QEVR-1.4";
// Tray menu items, top to bottom.
enum MenuItem { kMenuLock = 0, kMenuExit = 1, kMenuAbout = 2, kMenuItemCount = 3 };

inline double QpcToMs(LONGLONG qpc) {
    static const double perMs = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart) / 1000.0;
    }();
    return static_cast<double>(qpc) / perMs;
}

inline double NowMs() {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return QpcToMs(c.QuadPart);
}

// Polls until the condition holds or the time runs out; pumps our own messages meanwhile, so a
// window of ours never stalls whoever broadcasts to it.
inline bool Await(const std::function<bool()>& condition, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        if (condition()) return true;
        if (GetTickCount() - start >= timeoutMs) return condition();
        Sleep(5);
    }
}

inline std::string Dir(const std::string& path) {
    return path.substr(0, path.find_last_of("\\/") + 1);
}

inline std::string OwnDir() {
    char path[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return Dir(path);
}

// One line of a child's output with the time stamp it printed.
struct Line {
    double ms;
    std::string text;
};

// virtual-pendant.exe with its steps fed through a pipe to its stdin and every output line
// collected by a thread of ours.
class PendantProcess {
public:
    ~PendantProcess() { Stop(); }

    bool Start(const std::string& exe, bool unplugged) {
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        HANDLE childIn = nullptr, childOut = nullptr;
        if (!CreatePipe(&childIn, &in_, &sa, 0)) return false;
        if (!CreatePipe(&out_, &childOut, &sa, 0)) return false;
        SetHandleInformation(in_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = childIn;
        si.hStdOutput = childOut;
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        std::string line = "\"" + exe + "\"" + (unplugged ? " --unplugged -" : " -");
        PROCESS_INFORMATION pi = {};
        BOOL ok = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                 nullptr, nullptr, &si, &pi);
        CloseHandle(childIn);
        CloseHandle(childOut);
        if (!ok) return false;
        CloseHandle(pi.hThread);
        process_ = pi.hProcess;
        reader_ = std::thread([this] { ReadLoop(); });
        return true;
    }

    bool Step(const std::string& step) {
        std::string data = step + "\n";
        DWORD written = 0;
        return in_ && WriteFile(in_, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
               written == data.size();
    }

    std::vector<Line> Lines() {
        std::lock_guard<std::mutex> lock(lock_);
        return lines_;
    }

    size_t LineCount() {
        std::lock_guard<std::mutex> lock(lock_);
        return lines_.size();
    }

    // Index of the first line at or after `from` that contains `text`, or -1.
    int Find(const std::string& text, size_t from = 0) {
        std::lock_guard<std::mutex> lock(lock_);
        for (size_t i = from; i < lines_.size(); ++i)
            if (lines_[i].text.find(text) != std::string::npos) return static_cast<int>(i);
        return -1;
    }

    // Index of the first line at or after `from` that is exactly `text`, or -1.
    int FindExact(const std::string& text, size_t from = 0) {
        std::lock_guard<std::mutex> lock(lock_);
        for (size_t i = from; i < lines_.size(); ++i)
            if (lines_[i].text == text) return static_cast<int>(i);
        return -1;
    }

    int WaitForExact(const std::string& text, size_t from, DWORD timeoutMs) {
        int found = -1;
        Await([&] { return (found = FindExact(text, from)) >= 0; }, timeoutMs);
        return found;
    }

    int Count(const std::string& text, size_t from = 0) {
        std::lock_guard<std::mutex> lock(lock_);
        int n = 0;
        for (size_t i = from; i < lines_.size(); ++i)
            if (lines_[i].text.find(text) != std::string::npos) ++n;
        return n;
    }

    // Waits for a line containing `text` at or after `from`; its index, or -1.
    int WaitFor(const std::string& text, size_t from, DWORD timeoutMs) {
        int found = -1;
        Await([&] { return (found = Find(text, from)) >= 0; }, timeoutMs);
        return found;
    }

    Line At(int index) {
        std::lock_guard<std::mutex> lock(lock_);
        return index >= 0 && static_cast<size_t>(index) < lines_.size() ? lines_[index] : Line{0, ""};
    }

    // The driver holds the input interface open: an input connection made since the last
    // unplug (which drops every connection unannounced) and not closed since.
    bool InputOpen() {
        std::lock_guard<std::mutex> lock(lock_);
        int open = 0;
        for (const Line& line : lines_) {
            if (line.text == "input connected") ++open;
            else if (line.text == "input closed" && open > 0) --open;
            else if (line.text == "unplugged") open = 0;
        }
        return open > 0;
    }

    // Sends a step that prints its own echo and waits for that echo, so every step before it ran.
    bool Sync(DWORD timeoutMs = 5000) {
        std::string tag = "sync-" + std::to_string(++syncs_);
        size_t from = LineCount();
        return Step("echo " + tag) && WaitFor("echo " + tag, from, timeoutMs) >= 0;
    }

    HANDLE Process() const { return process_; }

    // Ends the pendant (it unplugs first) and waits for it.
    void Stop() {
        if (in_) {
            Step("quit");
            CloseHandle(in_);
            in_ = nullptr;
        }
        if (process_) {
            if (WaitForSingleObject(process_, 5000) != WAIT_OBJECT_0) TerminateProcess(process_, 99);
            WaitForSingleObject(process_, 2000);
        }
        if (reader_.joinable()) reader_.join();
        if (out_) CloseHandle(out_);
        if (process_) CloseHandle(process_);
        out_ = nullptr;
        process_ = nullptr;
    }

private:
    void ReadLoop() {
        std::string pending;
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(out_, chunk, sizeof chunk, &got, nullptr) && got > 0) {
            pending.append(chunk, got);
            size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                std::string text = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (!text.empty() && text.back() == '\r') text.pop_back();
                char* rest = nullptr;
                double ms = std::strtod(text.c_str(), &rest);
                std::string body = rest && *rest == ' ' ? std::string(rest + 1) : text;
                std::lock_guard<std::mutex> lock(lock_);
                lines_.push_back({ms, body});
            }
        }
    }

    HANDLE process_ = nullptr;
    HANDLE in_ = nullptr;
    HANDLE out_ = nullptr;
    std::thread reader_;
    std::mutex lock_;
    std::vector<Line> lines_;
    int syncs_ = 0;
};

// The driver's virtual build as a child process; it inherits our HRAVIK_SHM.
class DriverProcess {
public:
    ~DriverProcess() {
        if (pi_.hProcess) {
            if (Running()) TerminateProcess(pi_.hProcess, 99);
            WaitForSingleObject(pi_.hProcess, 5000);
            CloseHandle(pi_.hProcess);
            CloseHandle(pi_.hThread);
        }
    }

    bool Start(const std::string& exe) {
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        std::string line = "\"" + exe + "\"";
        return CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                              Dir(exe).c_str(), &si, &pi_) != FALSE;
    }

    bool Running() const { return pi_.hProcess && WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT; }
    bool WaitExit(DWORD timeoutMs) const {
        return pi_.hProcess && WaitForSingleObject(pi_.hProcess, timeoutMs) == WAIT_OBJECT_0;
    }
    DWORD Pid() const { return pi_.dwProcessId; }
    HANDLE Process() const { return pi_.hProcess; }

    // The driver's hidden main dialog, once it exists.
    HWND Window() const { return FindWindowOf(pi_.dwProcessId, kDriverTitle, nullptr); }

    // A top-level window of the process with this title (any, when null) and class (any, when
    // null); visible ones only when a class is asked for.
    static HWND FindWindowOf(DWORD pid, const char* title, const char* cls) {
        FindRequest find{pid, title, cls, nullptr};
        EnumWindows(FindWindowProc, reinterpret_cast<LPARAM>(&find));
        return find.found;
    }

private:
    struct FindRequest {
        DWORD pid;
        const char* title;
        const char* cls;
        HWND found;
    };

    // A named callback: a lambda does not convert to the 32-bit build's stdcall WNDENUMPROC.
    static BOOL CALLBACK FindWindowProc(HWND hwnd, LPARAM lParam) {
        auto* f = reinterpret_cast<FindRequest*>(lParam);
        DWORD owner = 0;
        GetWindowThreadProcessId(hwnd, &owner);
        if (owner != f->pid) return TRUE;
        char text[256] = {0}, cls[64] = {0};
        GetWindowTextA(hwnd, text, sizeof text);
        GetClassNameA(hwnd, cls, sizeof cls);
        if (f->title && std::string(text) != f->title) return TRUE;
        if (f->cls && (std::string(cls) != f->cls || !IsWindowVisible(hwnd))) return TRUE;
        f->found = hwnd;
        return FALSE;
    }

    PROCESS_INFORMATION pi_ = {};
};

// Ctrl+F11 as a keyboard would type it, through the system's input queue.
inline bool SendHotKey() {
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

inline bool ClickAt(POINT p) {
    int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    INPUT in[3] = {};
    for (INPUT& i : in) {
        i.type = INPUT_MOUSE;
        i.mi.dx = static_cast<LONG>((p.x * 65535LL + w / 2) / (w - 1));
        i.mi.dy = static_cast<LONG>((p.y * 65535LL + h / 2) / (h - 1));
    }
    in[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    in[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_ABSOLUTE;
    in[2].mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE;
    if (SendInput(1, &in[0], sizeof(INPUT)) != 1) return false;
    Sleep(50);  // the menu tracks the pointer before it takes the click
    return SendInput(2, &in[1], sizeof(INPUT)) == 2;
}

// How a menu choice reached the driver.
enum class MenuRoute { kClicked, kPostedCommand, kFailed };

// Opens the tray menu as the shell would on a right click and picks an item with the mouse.
// Falls back to posting the item's command when no menu shows or the click has no effect; the
// reason goes to *note.
inline MenuRoute ChooseTrayMenuItem(DWORD driverPid, HWND driverWindow, MenuItem item, UINT command,
                                    std::string* note) {
    PostMessageA(driverWindow, kTrayNotify, kTrayIconId, WM_RBUTTONUP);
    HWND menu = nullptr;
    Await([&] { return (menu = DriverProcess::FindWindowOf(driverPid, nullptr, "#32768")) != nullptr; }, 3000);
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
        ClickAt(target);
        if (Await([&] { return !IsWindow(menu) || !IsWindowVisible(menu); }, 2000)) return MenuRoute::kClicked;
        if (note) *note += "the menu stayed open after the SendInput click. ";
        PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        Await([&] { return !IsWindow(menu) || !IsWindowVisible(menu); }, 1000);
    } else if (note) {
        *note += "no popup menu window (#32768) appeared. ";
    }
    if (!PostMessageA(driverWindow, WM_COMMAND, command, 0)) return MenuRoute::kFailed;
    return MenuRoute::kPostedCommand;
}

// The hook library's call records, read from the shared block the driver's library writes.
class HookRecords {
public:
    ~HookRecords() { HravikDetach(block_, mapping_); }

    bool Attach() {
        block_ = HravikAttach(nullptr, &mapping_);
        return block_ != nullptr;
    }
    HravikShared* Block() const { return block_; }
    LONG Mark() const { return block_->count; }
    LONG Calls(int exportId) const { return block_->callCount[exportId]; }

    std::vector<HravikRecord> Since(LONG since, int exportId = -1) const {
        std::vector<HravikRecord> out;
        HravikRecord r;
        LONG count = block_->count;
        for (LONG i = since > HravikOldestIndex(block_) ? since : HravikOldestIndex(block_); i < count; ++i)
            if (HravikReadRecord(block_, i, &r) && (exportId < 0 || r.exportId == exportId)) out.push_back(r);
        return out;
    }

    bool WaitCalls(int exportId, LONG atLeast, DWORD timeoutMs) const {
        return Await([&] { return Calls(exportId) >= atLeast; }, timeoutMs);
    }

private:
    HravikShared* block_ = nullptr;
    HANDLE mapping_ = nullptr;
};

}  // namespace harness
