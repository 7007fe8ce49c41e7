// veltra-demo: one scripted run of veltra.exe with the test HID device as the pendant, the
// stand-in NcStudio and the stand-in hook library, each in a process (or the kernel) of its own.
// It drives them as an operator and a pendant would, then prints one timeline of what the pendant
// sent, what reached the hook library and what the display received, and a verdict. Exit code 0
// when every check passed.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "host_client.h"
#include "support/harness.h"

using namespace harness;

namespace {

struct Event {
    double ms;
    std::string source;
    std::string text;
};

std::string Hex(ULONGLONG v) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%llX", v);
    return b;
}

std::string Bytes(const uint8_t* data, int n) {
    std::string out;
    char b[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%s%02X", i ? " " : "", data[i]);
        out += b;
    }
    return out;
}

class Demo {
public:
    int Run() {
        startMs_ = NowMs();
        if (!hooks_.Block()) return Fatal("cannot map the hook library's shared block");

        Note("stand-in NcStudio 8.x starts and comes to the front");
        if (!host_.Start(ExeDir() + "ncstudio-v8.exe")) return Fatal("the stand-in host did not start");
        host_.Front("main");

        Note("pendant (test HID device) is plugged in");
        if (!pendant_.Plug()) return Fatal("the test HID device could not be plugged in");

        Note(std::string("driver starts: ") + (sizeof(void*) == 4 ? "32-bit" : "64-bit") + " veltra.exe");
        if (!s_.StartDriver()) return Fatal("the driver did not start");
        Check(s_.Forwarding(10000), "the driver finds the pendant among the HID devices and forwards keys");
        Note("operator brings the host to the front");
        host_.Front("main");
        Check(hooks_.WaitCalls(HravikEnableMap, 1, 5000) && hooks_.Calls(HravikInstallhook) >= 1,
              "the driver finds the host, hooks it and switches the key map on");

        Note("hook library's step value set to 3");
        hooks_.Block()->result[HravikGetMaStep] = 3;
        Check(pendant_.WaitFrame(3, 0, 3000), "the display shows step 3");

        Keys();
        Dialog();
        Replug();
        HotKeyLock();
        MenuLock();
        Exit();
        return Finish();
    }

private:
    void Note(const std::string& text) {
        events_.push_back({NowMs(), "demo", text});
        std::fprintf(stderr, "[%6.2f s] %s\n", (NowMs() - startMs_) / 1000.0, text.c_str());
    }

    bool Check(bool ok, const std::string& what) {
        ++checks_;
        events_.push_back({NowMs(), "check", std::string(ok ? "PASS " : "FAIL ") + what});
        if (!ok) failures_.push_back(what);
        return ok;
    }

    void Keys() {
        Note("pendant key 12 00 34 pressed, then released");
        LONG mark = hooks_.Mark();
        uint32_t frames = pendant_.Mark();
        pendant_.Key(0x12, 0x00, 0x34);
        pendant_.Release();
        WaitUntil([&] { return hooks_.KeyCalls(mark).size() >= 2; }, 3000);
        std::vector<std::pair<uint32_t, uint32_t>> expected = {{0x100, 0x00340012}, {0x101, 0}};
        Check(hooks_.KeyCalls(mark) == expected, "KeyBoardProc gets 0x100/0x00340012 then 0x101/0");
        Check(pendant_.WaitFrame(3, frames, 3000), "the key makes the display frame resend");
    }

    void Dialog() {
        Note("host opens a yes/no message box");
        host_.Open("d", "msgbox yes,no");
        host_.Front("d");
        Check(pendant_.WaitFrame(0x83, 0, 3000), "the dialog's mode reaches the display (status 0x83, bit 7)");
        Note("host closes the message box");
        uint32_t frames = pendant_.Mark();
        host_.Close("d");
        host_.Front("main");
        Check(pendant_.WaitFrame(3, frames, 3000), "the display drops the mode bit");
    }

    void Replug() {
        Note("pendant unplugged");
        pendant_.Unplug();
        Sleep(500);
        Note("pendant plugged in again");
        double plugged = NowMs();
        pendant_.Plug();
        bool back = s_.Forwarding(10000);
        int took = static_cast<int>(NowMs() - plugged);
        Check(back && took < 5400, "the driver reconnects within two status refreshes (" + std::to_string(took) + " ms)");
    }

    void HotKeyLock() {
        Note("operator presses Ctrl+F11 (lock)");
        SendHotKey();
        Sleep(400);
        Check(!s_.KeyReaches(0x22, 600), "a locked driver forwards no key");
        Note("operator presses Ctrl+F11 again (unlock)");
        SendHotKey();
        Sleep(400);
        Check(s_.KeyReaches(0x23), "the hot key unlocks the driver");
    }

    void MenuLock() {
        Note("operator right-clicks the tray icon and picks Lock");
        Route(ChooseTrayMenuItem(driver_.Pid(), driver_.Window(), kMenuLock, kLockCommand, &routeNote_));
        Check(!s_.KeyReaches(0x24, 600), "the menu's Lock locks the driver");
        Note("operator picks Lock again from the tray menu (unlock)");
        Route(ChooseTrayMenuItem(driver_.Pid(), driver_.Window(), kMenuLock, kLockCommand, &routeNote_));
        Check(s_.Forwarding(3000), "the menu's Lock again unlocks the driver and reopens the pendant");
        host_.Front("main");
    }

    void Exit() {
        Note("operator picks Exit from the tray menu");
        Route(ChooseTrayMenuItem(driver_.Pid(), driver_.Window(), kMenuExit, kExitCommand, &routeNote_));
        bool ended = driver_.Wait(5000) != STILL_ACTIVE;
        if (ended) Note("driver process ended");
        Check(ended, "the driver exits");
    }

    void Route(MenuRoute route) {
        if (route == MenuRoute::kClicked) Note("menu item clicked with SendInput");
        else Note("menu command posted instead: " + routeNote_);
        routeNote_.clear();
    }

    int Fatal(const std::string& why) {
        failures_.push_back(why);
        ++checks_;
        return Finish();
    }

    // The hook library's calls worth reading; the poller's state reads come every 80 ms and would
    // drown the rest, so only the first of each is shown.
    void CollectHookCalls(std::vector<Event>* out) {
        bool seenPoll[HravikExportCount] = {};
        ULONGLONG lastMode = ~0ull;
        for (const HravikRecord& r : hooks_.Since(0)) {
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

    void PrintTimeline() {
        std::vector<Event> all = events_;
        CollectHookCalls(&all);
        for (const testhid::LogEntry& e : pendant_.Frames(0))
            all.push_back({QpcToMs(e.qpc), "display", Bytes(e.data, 8) + " accepted"});
        std::stable_sort(all.begin(), all.end(), [](const Event& a, const Event& b) { return a.ms < b.ms; });
        std::printf("\n   time  source   event  (QueryPerformanceCounter ms, shared by every process)\n");
        for (const Event& e : all)
            std::printf("%7.3f  %-7s  %s\n", (e.ms - startMs_) / 1000.0, e.source.c_str(), e.text.c_str());
    }

    int Finish() {
        if (driver_.Running()) driver_.Exit();
        host_.Quit();
        if (hooks_.Block()) PrintTimeline();
        int passed = checks_ - static_cast<int>(failures_.size());
        double seconds = (NowMs() - startMs_) / 1000.0;
        if (failures_.empty()) {
            std::printf("DEMO PASSED: %d of %d checks (%.1f s)\n", passed, checks_, seconds);
            return 0;
        }
        std::printf("DEMO FAILED: %d of %d checks passed; failed: ", passed, checks_);
        for (size_t i = 0; i < failures_.size(); ++i) std::printf("%s%s", i ? "; " : "", failures_[i].c_str());
        std::printf("\n");
        return 1;
    }

    DriverSession s_;
    HookRecords& hooks_ = s_.hooks;
    HostProcess& host_ = s_.host;
    Pendant& pendant_ = s_.pendant;
    DriverProcess& driver_ = s_.driver;
    std::vector<Event> events_;
    std::vector<std::string> failures_;
    std::string routeNote_;
    int checks_ = 0;
    double startMs_ = 0;
};

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    // A block of our own, inherited by the driver we start and so by its hook library.
    std::string block = "veltra-demo-" + std::to_string(GetCurrentProcessId());
    SetEnvironmentVariableA("HRAVIK_SHM", block.c_str());
    Demo demo;
    int code = demo.Run();
    std::fflush(stdout);
    return code;
}
