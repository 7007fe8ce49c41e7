// Stand-in for the NcStudio host program. A test drives it over stdin/stdout, one command per line,
// and gets exactly one reply line per command ("ok ..." or "error ..."). The command protocol is
// described in README.md next to this file.
//
// Threads: a reader thread takes lines from stdin and hands each to the UI thread with SendMessage,
// so all bookkeeping stays on the UI thread and replies come out in order. Windows of the `thread`
// kinds live on their own threads; the UI thread talks to them with sent messages only.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

const char kMainClass[] = "NcStudioHostMain";
const char kWindowClass[] = "NcStudioHostWindow";
const char kChildClass[] = "NcStudioHostChild";
const char kMessageClass[] = "NcStudioHostMessages";
const char kMainTitle[] = "NcStudio - stand-in host";
// Marks the top-level window whose destruction ends its own window thread.
const char kThreadRootProp[] = "NcStudioHostThreadRoot";

const UINT WM_HOST_COMMAND = WM_APP + 1;  // lParam: Request*
const UINT WM_HOST_EXIT = WM_APP + 2;
const UINT WM_HOST_DESTROY = WM_APP + 3;  // destroy on the window's own thread
const UINT WM_HOST_FRONT = WM_APP + 4;    // show and bring to front on the window's own thread

const int kMaxNesting = 40;
const DWORD kThreadTimeoutMs = 5000;

struct Request {
    std::string line;
    std::string reply;
};

struct Created {
    HWND hwnd = nullptr;             // the window the label names (deepest one for `nested`)
    HWND root = nullptr;             // its top-level window
    std::vector<HWND> ancestors;     // `nested` only: parent first, root last
};

struct Entry {
    Created win;
    DWORD threadId = 0;
    HANDLE thread = nullptr;  // null when the window lives on the UI thread
};

HINSTANCE g_instance = nullptr;
HWND g_main = nullptr;
HWND g_messages = nullptr;
DWORD g_uiThread = 0;
bool g_quitting = false;
std::map<std::string, Entry> g_windows;

// ---------------------------------------------------------------------------------------------
// Small text helpers

std::string Hex(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return buf;
}

std::string Dec(unsigned long v) { return std::to_string(v); }

// Splits off the first blank-separated word; `rest` keeps everything after the single separating
// blank, so titles may keep inner and trailing blanks.
std::string NextWord(std::string& rest) {
    size_t start = rest.find_first_not_of(' ');
    if (start == std::string::npos) {
        rest.clear();
        return {};
    }
    size_t end = rest.find(' ', start);
    std::string word = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
    rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
    return word;
}

bool ParseCount(const std::string& s, long lo, long hi, long& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (*end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool IsDialogClass(HWND hwnd) {
    char cls[64] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    return std::string(cls) == "#32770";
}

// ---------------------------------------------------------------------------------------------
// Window procedures. Every window we create answers WM_HOST_DESTROY and WM_HOST_FRONT so that the
// UI thread can act on windows of other threads on their owning thread.

void BringToFront(HWND hwnd) {
    ShowWindow(hwnd, IsIconic(hwnd) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(hwnd);
}

void EndThreadIfRoot(HWND hwnd) {
    if (GetPropA(hwnd, kThreadRootProp)) {
        RemovePropA(hwnd, kThreadRootProp);
        PostQuitMessage(0);
    }
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_HOST_DESTROY:
        DestroyWindow(hwnd);
        return 0;
    case WM_HOST_FRONT:
        BringToFront(hwnd);
        return 0;
    case WM_CLOSE:
        // Only the test decides when a window goes; a stray close must not change the scene.
        return 0;
    case WM_DESTROY:
        EndThreadIfRoot(hwnd);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

// The main window goes only with the host.
LRESULT CALLBACK MainProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_HOST_DESTROY) return 0;
    if (msg != WM_DESTROY) return WindowProc(hwnd, msg, wp, lp);
    if (!g_quitting) std::fprintf(stderr, "ncstudio_host: main window destroyed\n");
    return 0;
}

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM) {
    switch (msg) {
    case WM_INITDIALOG:
        return FALSE;  // keep focus where the test put it
    case WM_HOST_DESTROY:
        DestroyWindow(hwnd);
        return TRUE;
    case WM_HOST_FRONT:
        BringToFront(hwnd);
        return TRUE;
    case WM_COMMAND:
        // Buttons stay passive; a log line helps when a driver test forwards keys to a dialog.
        std::fprintf(stderr, "ncstudio_host: dialog %s command %u\n", Hex(hwnd).c_str(),
                     static_cast<unsigned>(LOWORD(wp)));
        return TRUE;
    case WM_DESTROY:
        EndThreadIfRoot(hwnd);
        return FALSE;
    }
    return FALSE;
}

// ---------------------------------------------------------------------------------------------
// Window construction (runs on whichever thread will own the window)

// A DLGTEMPLATE in memory, with plain push buttons. Items must start on DWORD boundaries, which
// with WORD storage means on even indices.
std::vector<WORD> DialogTemplate(const std::string& title, const std::vector<int>& buttons) {
    std::vector<WORD> t;
    auto dword = [&t](DWORD v) { t.push_back(LOWORD(v)); t.push_back(HIWORD(v)); };
    auto text = [&t](const std::string& s) {
        for (char c : s) t.push_back(static_cast<unsigned char>(c));
        t.push_back(0);
    };
    const short width = 60 + 50 * static_cast<short>(buttons.size());
    dword(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME);
    dword(0);
    t.push_back(static_cast<WORD>(buttons.size()));
    t.push_back(20); t.push_back(20); t.push_back(width); t.push_back(60);
    t.push_back(0);  // no menu
    t.push_back(0);  // the dialog class itself
    text(title);
    short x = 10;
    for (int id : buttons) {
        if (t.size() % 2) t.push_back(0);
        dword(WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON);
        dword(0);
        t.push_back(x); t.push_back(35); t.push_back(45); t.push_back(14);
        t.push_back(static_cast<WORD>(id));
        t.push_back(0xFFFF); t.push_back(0x0080);  // predefined class: button
        text(id == IDOK ? "OK" : id == IDCANCEL ? "Cancel" : id == IDYES ? "Yes" : "No");
        t.push_back(0);  // no creation data
        x += 50;
    }
    return t;
}

bool ParseButtons(const std::string& list, std::vector<int>& ids) {
    if (list == "none") return true;
    std::string rest = list;
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string name = rest.substr(0, comma);
        rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
        int id = name == "ok" ? IDOK : name == "cancel" ? IDCANCEL : name == "yes" ? IDYES : name == "no" ? IDNO : 0;
        if (id == 0) return false;
        bool seen = false;
        for (int have : ids) seen = seen || have == id;
        if (!seen) ids.push_back(id);
    }
    return !ids.empty();
}

HWND MakeDialog(const std::string& title, const std::vector<int>& buttons) {
    std::vector<WORD> t = DialogTemplate(title, buttons);
    HWND hwnd = CreateDialogIndirectParamA(g_instance, reinterpret_cast<LPCDLGTEMPLATEA>(t.data()), g_main,
                                           DialogProc, 0);
    if (hwnd) ShowWindow(hwnd, SW_SHOWNA);
    return hwnd;
}

HWND MakeTopLevel(const std::string& title, int offset) {
    HWND hwnd = CreateWindowExA(0, kWindowClass, title.c_str(), WS_OVERLAPPEDWINDOW, 40 + offset, 40 + offset,
                                320, 200, nullptr, nullptr, g_instance, nullptr);
    if (hwnd) ShowWindow(hwnd, SW_SHOWNA);
    return hwnd;
}

// Creates a window of the given kind on the calling thread. The `thread` prefix is handled by
// the caller. Returns an empty string or the error reason.
std::string CreateKind(const std::string& kind, std::string args, Created& out) {
    static std::atomic<int> cascade{0};
    const int offset = (cascade += 20) % 200;  // windows of several threads may be opened at once
    const char* fixedTitle = kind == "jiggle"      ? "jiggle"
                             : kind == "bkref"     ? "bkref: move to reference point"
                             : kind == "BKREF"     ? "  BKREF  "
                             : kind == "workcoord" ? "Set current work coordinate:"
                             : kind == "paramters" ? "paramters"
                             : kind == "plain-ncstudio" ? "NcStudio"
                                                        : nullptr;
    if (fixedTitle) {
        out.hwnd = MakeTopLevel(fixedTitle, offset);
    } else if (kind == "titled") {
        out.hwnd = MakeTopLevel(args, offset);
    } else if (kind == "titled-repeat") {
        std::string ch = NextWord(args);
        long count = 0;
        if (ch.size() != 1 || !ParseCount(NextWord(args), 0, 100000, count))
            return "usage: titled-repeat <char> <count>";
        out.hwnd = MakeTopLevel(std::string(static_cast<size_t>(count), ch[0]), offset);
    } else if (kind == "msgbox" || kind == "popup") {
        std::vector<int> ids;
        std::string list = NextWord(args);
        if (kind == "popup" && list.empty()) list = "none";
        if (!ParseButtons(list, ids)) return "bad button list '" + list + "'";
        out.hwnd = MakeDialog(kind == "msgbox" ? "NcStudio" : "Tool table", ids);
    } else if (kind == "nested") {
        long depth = 0;
        if (!ParseCount(NextWord(args), 0, kMaxNesting, depth))
            return "usage: nested <depth 0.." + std::to_string(kMaxNesting) + ">";
        HWND parent = MakeTopLevel("NcStudio nested root", offset);
        if (!parent) return "CreateWindowEx failed (" + Dec(GetLastError()) + ")";
        std::vector<HWND> chain{parent};
        for (long i = 1; i <= depth; ++i) {
            std::string name = "nested " + std::to_string(i);
            HWND child = CreateWindowExA(0, kChildClass, name.c_str(), WS_CHILD | WS_VISIBLE, 2, 2,
                                         300 - 6 * static_cast<int>(i), 160 - 3 * static_cast<int>(i), parent,
                                         nullptr, g_instance, nullptr);
            if (!child) {
                DestroyWindow(chain.front());
                return "child window " + std::to_string(i) + " failed (" + Dec(GetLastError()) + ")";
            }
            chain.push_back(child);
            parent = child;
        }
        out.hwnd = chain.back();
        out.ancestors.assign(chain.rbegin() + 1, chain.rend());
    } else {
        return "unknown kind '" + kind + "'";
    }
    if (!out.hwnd) return "window creation failed (" + Dec(GetLastError()) + ")";
    out.root = GetAncestor(out.hwnd, GA_ROOT);
    return {};
}

// ---------------------------------------------------------------------------------------------
// Message pumps

void PumpUntilQuit() {
    MSG m;
    while (GetMessageA(&m, nullptr, 0, 0) > 0) {
        HWND root = m.hwnd ? GetAncestor(m.hwnd, GA_ROOT) : nullptr;
        if (root && IsDialogClass(root) && IsDialogMessageA(root, &m)) continue;
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
}

// Waits for a handle on the UI thread while still serving sent messages, so that a window thread
// that sends to the main window (its owner) cannot deadlock with us.
bool WaitServingSends(HANDLE h, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
        DWORD r = MsgWaitForMultipleObjects(1, &h, FALSE, timeoutMs - elapsed, QS_SENDMESSAGE);
        if (r == WAIT_OBJECT_0) return true;
        if (r != WAIT_OBJECT_0 + 1) return WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
        MSG m;
        PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

struct ThreadStart {
    std::string kind;
    std::string args;
    Created out;
    std::string error;
    HANDLE ready = nullptr;
};

DWORD WINAPI WindowThread(LPVOID param) {
    auto* start = static_cast<ThreadStart*>(param);
    std::string error = CreateKind(start->kind, start->args, start->out);
    if (error.empty()) SetPropA(start->out.root, kThreadRootProp, reinterpret_cast<HANDLE>(1));
    start->error = error;
    SetEvent(start->ready);  // `start` belongs to the UI thread from here on
    if (!error.empty()) return 1;
    PumpUntilQuit();
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Commands (UI thread)

bool DestroyEntry(Entry& e) {
    if (!e.thread) return !IsWindow(e.win.root) || DestroyWindow(e.win.root);
    DWORD_PTR ignored = 0;
    if (IsWindow(e.win.root))
        SendMessageTimeoutA(e.win.root, WM_HOST_DESTROY, 0, 0, SMTO_NORMAL, kThreadTimeoutMs, &ignored);
    bool ended = WaitServingSends(e.thread, kThreadTimeoutMs);
    if (!ended) {
        // A window thread that will not end must not keep the process alive at exit.
        std::fprintf(stderr, "ncstudio_host: window thread %lu did not end\n", e.threadId);
        PostThreadMessageA(e.threadId, WM_QUIT, 0, 0);
    }
    CloseHandle(e.thread);
    e.thread = nullptr;
    return ended;
}

// Resolves a label, with "main" naming the main window. Returns null when unknown.
HWND Lookup(const std::string& label, bool rootOnly) {
    if (label == "main") return g_main;
    auto it = g_windows.find(label);
    if (it == g_windows.end()) return nullptr;
    return rootOnly ? it->second.win.root : it->second.win.hwnd;
}

std::string CmdOpen(std::string args) {
    std::string label = NextWord(args);
    std::string kind = NextWord(args);
    if (label.empty() || kind.empty()) return "error usage: open <label> <kind> [args]";
    if (label == "main" || g_windows.count(label)) return "error label '" + label + "' in use";
    Entry e;
    if (kind == "thread") {
        ThreadStart start;
        start.kind = NextWord(args);
        start.args = args;
        start.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD tid = 0;
        HANDLE th = CreateThread(nullptr, 0, WindowThread, &start, 0, &tid);
        if (!th) {
            CloseHandle(start.ready);
            return "error CreateThread failed (" + Dec(GetLastError()) + ")";
        }
        bool ready = WaitServingSends(start.ready, kThreadTimeoutMs);
        CloseHandle(start.ready);
        if (!ready) {
            // The thread still holds `start`; leaking it is the only safe choice.
            CloseHandle(th);
            std::fprintf(stderr, "ncstudio_host: window thread did not start\n");
            std::_Exit(3);
        }
        if (!start.error.empty()) {
            WaitForSingleObject(th, kThreadTimeoutMs);
            CloseHandle(th);
            return "error " + start.error;
        }
        e.win = start.out;
        e.thread = th;
    } else {
        std::string error = CreateKind(kind, args, e.win);
        if (!error.empty()) return "error " + error;
    }
    e.threadId = GetWindowThreadProcessId(e.win.hwnd, nullptr);
    std::string reply = "ok " + Hex(e.win.hwnd) + " " + Dec(e.threadId);
    for (HWND a : e.win.ancestors) reply += " " + Hex(a);
    g_windows[label] = e;
    return reply;
}

std::string CmdClose(std::string args) {
    std::string label = NextWord(args);
    auto it = g_windows.find(label);
    if (it == g_windows.end()) return "error unknown label '" + label + "'";
    bool ok = DestroyEntry(it->second);
    g_windows.erase(it);
    return ok ? "ok" : "error window did not close in time";
}

std::string CmdFront(std::string args) {
    std::string label = NextWord(args);
    HWND target = Lookup(label, true);
    if (!target) return "error unknown label '" + label + "'";
    DWORD_PTR ignored = 0;
    if (!SendMessageTimeoutA(target, WM_HOST_FRONT, 0, 0, SMTO_NORMAL, kThreadTimeoutMs, &ignored))
        return "error window did not answer";
    return "ok " + Hex(GetForegroundWindow());
}

std::string CmdShow(const std::string& verb, std::string args) {
    std::string label = NextWord(args);
    HWND target = Lookup(label, true);
    if (!target) return "error unknown label '" + label + "'";
    if (verb == "minimize") ShowWindow(target, SW_MINIMIZE);
    else if (verb == "restore") ShowWindow(target, SW_RESTORE);
    return std::string("ok ") + (IsIconic(target) ? "1" : "0");
}

std::string CmdTitle(std::string args) {
    std::string label = NextWord(args);
    HWND target = Lookup(label, false);
    if (!target) return "error unknown label '" + label + "'";
    if (!SetWindowTextA(target, args.c_str())) return "error SetWindowText failed (" + Dec(GetLastError()) + ")";
    return "ok";
}

std::string CmdQuit() {
    g_quitting = true;
    for (auto& kv : g_windows) DestroyEntry(kv.second);
    g_windows.clear();
    if (g_main) DestroyWindow(g_main);
    g_main = nullptr;
    return "ok";
}

std::string Execute(const std::string& line) {
    if (g_quitting) return "error quitting";
    std::string args = line;
    std::string verb = NextWord(args);
    if (verb == "hello") return "ok " + Dec(GetCurrentProcessId()) + " " + Hex(g_main) + " " + Dec(g_uiThread);
    if (verb == "open") return CmdOpen(args);
    if (verb == "close") return CmdClose(args);
    if (verb == "front") return CmdFront(args);
    if (verb == "foreground") return "ok " + Hex(GetForegroundWindow());
    if (verb == "minimize" || verb == "restore" || verb == "iconic") return CmdShow(verb, args);
    if (verb == "title") return CmdTitle(args);
    if (verb == "quit") return CmdQuit();
    if (verb.empty()) return "error empty command";
    return "error unknown command '" + verb + "'";
}

LRESULT CALLBACK MessageProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_HOST_COMMAND) {
        auto* req = reinterpret_cast<Request*>(lp);
        req->reply = Execute(req->line);
        return 0;
    }
    if (msg == WM_HOST_EXIT) {
        if (!g_quitting) CmdQuit();
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

// ---------------------------------------------------------------------------------------------
// stdin reader thread

void WriteLine(const std::string& text) {
    std::string line = text + "\n";
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0;
    size_t done = 0;
    while (done < line.size() &&
           WriteFile(out, line.data() + done, static_cast<DWORD>(line.size() - done), &written, nullptr) &&
           written > 0)
        done += written;
    // No FlushFileBuffers: WriteFile to a pipe is unbuffered, and a flush would block until the
    // client has read the reply, which a client that sends "quit" and just waits never does.
}

DWORD WINAPI ReaderThread(LPVOID) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    char buf[4096];
    for (;;) {
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            Request req;
            req.line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!req.line.empty() && req.line.back() == '\r') req.line.pop_back();
            SendMessageA(g_messages, WM_HOST_COMMAND, 0, reinterpret_cast<LPARAM>(&req));
            WriteLine(req.reply);
            if (req.line == "quit" || req.line.rfind("quit ", 0) == 0) {
                PostMessageA(g_messages, WM_HOST_EXIT, 0, 0);
                return 0;
            }
        }
        DWORD got = 0;
        if (!ReadFile(in, buf, sizeof buf, &got, nullptr) || got == 0) break;
        pending.append(buf, got);
    }
    // End of input: a last unterminated line is ignored, like a half-written command.
    PostMessageA(g_messages, WM_HOST_EXIT, 0, 0);
    return 0;
}

bool RegisterClasses() {
    WNDCLASSA wc = {};
    wc.hInstance = g_instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpfnWndProc = MainProc;
    wc.lpszClassName = kMainClass;
    if (!RegisterClassA(&wc)) return false;
    wc.lpfnWndProc = WindowProc;
    wc.lpszClassName = kWindowClass;
    if (!RegisterClassA(&wc)) return false;
    wc.lpszClassName = kChildClass;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    if (!RegisterClassA(&wc)) return false;
    wc.lpfnWndProc = MessageProc;
    wc.lpszClassName = kMessageClass;
    return RegisterClassA(&wc) != 0;
}

}  // namespace

int main() {
    g_instance = GetModuleHandleA(nullptr);
    g_uiThread = GetCurrentThreadId();
    if (!RegisterClasses()) {
        std::fprintf(stderr, "ncstudio_host: RegisterClass failed (%lu)\n", GetLastError());
        return 2;
    }
    g_main = CreateWindowExA(0, kMainClass, kMainTitle, WS_OVERLAPPEDWINDOW, 0, 0, 800, 600, nullptr, nullptr,
                             g_instance, nullptr);
    g_messages = CreateWindowExA(0, kMessageClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, g_instance, nullptr);
    if (!g_main || !g_messages) {
        std::fprintf(stderr, "ncstudio_host: CreateWindowEx failed (%lu); is there a display?\n", GetLastError());
        return 2;
    }
    ShowWindow(g_main, SW_SHOW);
    SetForegroundWindow(g_main);
    UpdateWindow(g_main);

    HANDLE reader = CreateThread(nullptr, 0, ReaderThread, nullptr, 0, nullptr);
    if (!reader) {
        std::fprintf(stderr, "ncstudio_host: CreateThread failed (%lu)\n", GetLastError());
        return 2;
    }
    CloseHandle(reader);
    PumpUntilQuit();
    std::fflush(stderr);
    // The reader may still be blocked on stdin; ending the process ends it.
    ExitProcess(0);
}
