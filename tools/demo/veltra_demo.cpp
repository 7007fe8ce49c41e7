// veltra-demo: one scripted run of the driver's virtual build with the stand-in host, the virtual
// pendant and the stand-in hook library, each in a process of its own. It drives them as a user
// and a pendant would, then prints one timeline of what the pendant sent, what reached the hook
// library and what the display received, and a verdict. Exit code 0 when every check passed.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "demo/driver_harness.h"
#include "host_client.h"

using namespace harness;

namespace {

struct Event {
    double ms;
    std::string source;
    std::string text;
};

std::vector<Event> g_events;
std::vector<std::string> g_failures;
int g_checks = 0;
double g_startMs = 0;

void Note(const std::string& text) {
    g_events.push_back({NowMs(), "demo", text});
    std::fprintf(stderr, "[%6.2f s] %s\n", (NowMs() - g_startMs) / 1000.0, text.c_str());
}

bool Check(bool ok, const std::string& what) {
    ++g_checks;
    g_events.push_back({NowMs(), "check", std::string(ok ? "PASS " : "FAIL ") + what});
    if (!ok) g_failures.push_back(what);
    return ok;
}

std::string Hex(ULONGLONG v) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%llX", v);
    return b;
}

// The hook library's calls worth reading; the poller's state reads come every 80 ms and would
// drown the rest, so only the first of each is shown.
void CollectHookCalls(const HookRecords& hooks, std::vector<Event>* out) {
    bool seenPoll[HravikExportCount] = {};
    ULONGLONG lastMode = ~0ull;
    for (const HravikRecord& r : hooks.Since(0)) {
        std::string text = HravikExportName(r.exportId);
        switch (r.exportId) {
            case HravikKeyBoardProc:
                text += "(" + Hex(r.args[0]) + ", " + Hex(r.args[1]) + ", call " + std::to_string(r.args[2]) + ")";
                if (r.args[0] == WM_KEYDOWN) text += "  key down";
                if (r.args[0] == WM_KEYUP) text += "  key up";
                break;
            case HravikSetPcState:
                // Reported on every tick; only a change is news.
                if (r.args[1] == lastMode) continue;
                lastMode = r.args[1];
                text += "(" + Hex(r.args[0]) + ", " + std::to_string(r.args[1]) + ")";
                break;
            case HravikInstallhook:
                text += "(" + Hex(r.args[0]) + ")";
                break;
            case HravikSetVer:
            case HravikEnableMap:
                text += "(" + std::to_string(r.args[0]) + ")";
                break;
            case HravikGetMaState:
            case HravikGetMaStep:
            case HravikGetAxisLocation:
                if (seenPoll[r.exportId]) continue;
                seenPoll[r.exportId] = true;
                text += "()  first poll; later polls every 80 ms not shown";
                break;
            default:
                text += "()";
        }
        out->push_back({QpcToMs(r.qpc), "hook", text});
    }
}

void CollectPendantLines(PendantProcess& pendant, std::vector<Event>* out) {
    for (const Line& line : pendant.Lines()) {
        if (line.text.rfind("echo sync-", 0) == 0) continue;  // our own synchronisation
        if (line.text.rfind("feature 06", 0) == 0) out->push_back({line.ms, "display", line.text.substr(8)});
        else out->push_back({line.ms, "pendant", line.text});
    }
}

void PrintTimeline(PendantProcess& pendant, const HookRecords& hooks) {
    std::vector<Event> all = g_events;
    CollectHookCalls(hooks, &all);
    CollectPendantLines(pendant, &all);
    std::stable_sort(all.begin(), all.end(), [](const Event& a, const Event& b) { return a.ms < b.ms; });
    std::printf("\n   time  source   event  (QueryPerformanceCounter ms, shared by every process)\n");
    for (const Event& e : all)
        std::printf("%7.3f  %-7s  %s\n", (e.ms - g_startMs) / 1000.0, e.source.c_str(), e.text.c_str());
}

class Demo {
public:
    int Run() {
        g_startMs = NowMs();
        std::string dir = OwnDir();
        // A block of our own, inherited by the driver we start and so by its hook library.
        std::string block = "veltra-demo-" + std::to_string(GetCurrentProcessId());
        SetEnvironmentVariableA("HRAVIK_SHM", block.c_str());
        if (!hooks_.Attach()) return Fatal("cannot map the hook library's shared block");

        Note("stand-in NcStudio 8.x starts and comes to the front");
        if (!host_.Start(dir + "ncstudio-v8.exe")) return Fatal("the stand-in host did not start");
        host_.Front("main");

        Note("virtual pendant is plugged in");
        if (!pendant_.Start(dir + "virtual-pendant.exe", false) || pendant_.WaitForExact("plugged", 0, 15000) < 0)
            return Fatal("the virtual pendant did not start");

        Note("driver (virtual build) starts");
        if (!driver_.Start(dir + "veltra-virtual.exe")) return Fatal("the driver did not start");
        Await([&] { return driver_.Window() != nullptr; }, 15000);
        Check(Await([&] { return pendant_.InputOpen() && pendant_.Count("input closed") >= 1; }, 10000),
              "the driver finds the pendant and holds it open");
        Note("user brings the host to the front");
        host_.Front("main");
        Check(hooks_.WaitCalls(HravikEnableMap, 1, 5000) && hooks_.Calls(HravikInstallhook) >= 1,
              "the driver finds the host, hooks it and switches the key map on");

        Note("hook library's step value set to 3");
        hooks_.Block()->result[HravikGetMaStep] = 3;
        Check(pendant_.WaitFor("feature 06 FE FD 00 03", 0, 3000) >= 0, "the display shows step 3");

        Keys();
        Dialog();
        Replug();
        HotKeyLock();
        MenuLock();
        Exit();
        return Finish();
    }

private:
    void Keys() {
        Note("pendant key 12 00 34 pressed, then released");
        LONG mark = hooks_.Mark();
        size_t from = pendant_.LineCount();
        pendant_.Step("key 12 00 34");
        pendant_.Step("release");
        bool both = hooks_.WaitCalls(HravikKeyBoardProc, hooks_.Calls(HravikKeyBoardProc) + 2, 3000);
        std::vector<HravikRecord> calls = hooks_.Since(mark, HravikKeyBoardProc);
        Check(both && calls.size() >= 2 && calls[0].args[0] == WM_KEYDOWN && calls[0].args[1] == 0x00340012 &&
                  calls[1].args[0] == WM_KEYUP && calls[1].args[1] == 0,
              "KeyBoardProc gets 0x100/0x00340012 then 0x101/0");
        Check(pendant_.WaitFor("feature 06 FE FD 00 03", from, 3000) >= 0, "the key makes the display frame resend");
    }

    void Dialog() {
        Note("host opens a yes/no message box");
        host_.Open("d", "msgbox yes,no");
        host_.Front("d");
        Check(pendant_.WaitFor("feature 06 FE FD 00 83", 0, 3000) >= 0,
              "the dialog's mode reaches the display (status 0x83, bit 7)");
        Note("host closes the message box");
        host_.Close("d");
        host_.Front("main");
        size_t from = pendant_.LineCount();
        Check(pendant_.WaitFor("feature 06 FE FD 00 03", from, 3000) >= 0, "the display drops the mode bit");
    }

    void Replug() {
        Note("pendant unplugged");
        pendant_.Step("unplug");
        pendant_.Sync();
        Sleep(500);
        Note("pendant plugged in again");
        size_t from = pendant_.LineCount();
        pendant_.Step("plug");
        pendant_.Sync();
        int plugged = pendant_.FindExact("plugged", from);
        int connected = pendant_.WaitFor("input connected", from, 10000);
        double took = connected >= 0 ? pendant_.At(connected).ms - pendant_.At(plugged).ms : -1;
        Check(connected >= 0 && took < 4400 + 1000,
              "the driver reconnects within two status refreshes (" + std::to_string(static_cast<int>(took)) +
                  " ms)");
        Check(KeyReaches("key 21 00 00"), "keys reach the host again after the replug");
    }

    void HotKeyLock() {
        Note("user presses Ctrl+F11 (lock)");
        SendHotKey();
        Sleep(400);
        Check(!KeyReaches("key 22 00 00", 600), "a locked driver forwards no key");
        pendant_.Step("release");
        Note("user presses Ctrl+F11 again (unlock)");
        SendHotKey();
        Sleep(400);
        Check(KeyReaches("key 23 00 00"), "the hot key unlocks the driver");
    }

    void MenuLock() {
        std::string note;
        Note("user right-clicks the tray icon and picks Lock");
        MenuRoute route = ChooseTrayMenuItem(driver_.Pid(), driver_.Window(), kMenuLock, kLockCommand, &note);
        Route(route, note);
        Check(Await([&] { return !pendant_.InputOpen(); }, 3000), "the menu's Lock locks the driver and closes the pendant");
        note.clear();
        Note("user picks Lock again from the tray menu (unlock)");
        route = ChooseTrayMenuItem(driver_.Pid(), driver_.Window(), kMenuLock, kLockCommand, &note);
        Route(route, note);
        Check(Await([&] { return pendant_.InputOpen(); }, 3000) && KeyReaches("key 24 00 00"),
              "the menu's Lock again unlocks the driver and reopens the pendant");
        host_.Front("main");
    }

    void Exit() {
        std::string note;
        Note("user picks Exit from the tray menu");
        MenuRoute route = ChooseTrayMenuItem(driver_.Pid(), driver_.Window(), kMenuExit, kExitCommand, &note);
        Route(route, note);
        bool ended = driver_.WaitExit(5000);
        if (ended) Note("driver process ended");
        Check(ended && Await([&] { return !pendant_.InputOpen(); }, 2000),
              "the driver exits and closes the pendant's pipes");
    }

    void Route(MenuRoute route, const std::string& note) {
        if (route == MenuRoute::kClicked) Note("menu item clicked with SendInput");
        else Note("menu command posted instead: " + note);
    }

    // A key press followed by its release; true when the press reached KeyBoardProc.
    bool KeyReaches(const std::string& step, DWORD timeoutMs = 3000) {
        LONG before = hooks_.Calls(HravikKeyBoardProc);
        pendant_.Step(step);
        bool reached = hooks_.WaitCalls(HravikKeyBoardProc, before + 1, timeoutMs);
        pendant_.Step("release");
        pendant_.Sync();
        if (reached) hooks_.WaitCalls(HravikKeyBoardProc, before + 2, 1000);
        return reached;
    }

    int Fatal(const std::string& why) {
        g_failures.push_back(why);
        ++g_checks;
        return Finish();
    }

    int Finish() {
        if (driver_.Running()) {
            if (HWND w = driver_.Window()) PostMessageA(w, WM_COMMAND, kExitCommand, 0);
            driver_.WaitExit(5000);
        }
        host_.Quit();
        pendant_.Stop();
        if (hooks_.Block()) PrintTimeline(pendant_, hooks_);
        int passed = g_checks - static_cast<int>(g_failures.size());
        double seconds = (NowMs() - g_startMs) / 1000.0;
        if (g_failures.empty()) {
            std::printf("DEMO PASSED: %d of %d checks (%.1f s)\n", passed, g_checks, seconds);
            return 0;
        }
        std::printf("DEMO FAILED: %d of %d checks passed; failed: ", passed, g_checks);
        for (size_t i = 0; i < g_failures.size(); ++i) std::printf("%s%s", i ? "; " : "", g_failures[i].c_str());
        std::printf("\n");
        return 1;
    }

    HookRecords hooks_;
    HostProcess host_;
    PendantProcess pendant_;
    DriverProcess driver_;
};

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    Demo demo;
    int code = demo.Run();
    std::fflush(stdout);
    return code;
}
