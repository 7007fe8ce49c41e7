// veltra.exe as a separate process under Wine on the real HID calls, measured from outside with
// the test HID device as the pendant: start-up, the lock command, exit, key reports, the display
// frame after a step change, replug to connected, CPU time per minute and resident memory.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "hravik_shared.h"
#include "host_client.h"
#include "pendant/pendant_device.h"
#include "support/harness.h"

namespace {

constexpr int kStartRuns = 5;
constexpr int kLocksPerRun = 4;
constexpr DWORD kStartTimeoutMs = 20000;
constexpr DWORD kConnectTimeoutMs = 10000;
constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kAutostartValue[] = "dunmoral";

double Now() { return harness::NowMs(); }

std::string Exe(const char* name) { return ExeDir() + name; }

bool AutostartWritten(HKEY key) {
    return RegQueryValueExA(key, kAutostartValue, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// Start of the empty program: from CreateProcess until its WinMain runs; a second event name
// keeps it alive (for memory) until that event is set.
bool StartEmpty(const char* ready, const char* hold, PROCESS_INFORMATION* pi, double* ms,
                bool window = false) {
    HANDLE readyEvent = CreateEventA(nullptr, TRUE, FALSE, ready);
    std::string line = "\"" + Exe("bench-empty.exe") + "\" " + (window ? "--window " : "") + ready + (hold ? std::string(" ") + hold : "");
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    double t0 = Now();
    BOOL ok = CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, pi);
    bool seen = ok && WaitForSingleObject(readyEvent, kStartTimeoutMs) == WAIT_OBJECT_0;
    *ms = Now() - t0;
    CloseHandle(readyEvent);
    return seen;
}

// Reads a Linux /proc file through Wine's Z: drive.
std::string ReadProcFile(const std::string& path) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return {};
    std::string out;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(f, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
    CloseHandle(f);
    return out;
}

// The Linux pid of the Wine process whose command line holds this exe name and this build's
// folder (other builds on the machine run their own copies).
long UnixPidOf(const std::string& exeName) {
    std::string dir = ExeDir();  // Z:\tmp\build\bin\ under Wine
    std::string folder = dir.size() > 2 && dir[1] == ':' ? dir.substr(2) : dir;
    for (char& c : folder)
        if (c == '\\') c = '/';
    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA("Z:\\proc\\*", &fd);
    if (find == INVALID_HANDLE_VALUE) return 0;
    long found = 0;
    do {
        char* end = nullptr;
        long pid = std::strtol(fd.cFileName, &end, 10);
        if (pid <= 0 || *end) continue;
        std::string cmd = ReadProcFile(std::string("Z:\\proc\\") + fd.cFileName + "\\cmdline");
        for (char& c : cmd)
            if (c == '\0') c = ' ';
        std::string unixCmd = cmd;
        for (char& c : unixCmd)
            if (c == '\\') c = '/';
        if (cmd.find(exeName) != std::string::npos && unixCmd.find(folder) != std::string::npos &&
            pid > found)
            found = pid;
    } while (FindNextFileA(find, &fd));
    FindClose(find);
    return found;
}

// RssAnon of a Linux process in KiB, or -1.
double RssAnonKiB(long unixPid) {
    if (unixPid <= 0) return -1;
    std::string status = ReadProcFile("Z:\\proc\\" + std::to_string(unixPid) + "\\status");
    size_t at = status.find("RssAnon:");
    return at == std::string::npos ? -1 : std::strtod(status.c_str() + at + 8, nullptr);
}

double CpuMs(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return -1;
    auto ms = [](FILETIME f) {
        return static_cast<double>((static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e4;
    };
    return ms(kernel) + ms(user);
}

// CPU time of a Linux process in ms: the sum over its threads of the first field of
// /proc/PID/task/TID/schedstat (nanoseconds on a CPU), far finer than the 10 ms ticks of stat.
double LinuxCpuMs(long unixPid) {
    if (unixPid <= 0) return -1;
    std::string dir = "Z:\\proc\\" + std::to_string(unixPid) + "\\task\\";
    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA((dir + "*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return -1;
    double ns = 0;
    do {
        if (fd.cFileName[0] < '0' || fd.cFileName[0] > '9') continue;
        ns += std::strtod(ReadProcFile(dir + fd.cFileName + "\\schedstat").c_str(), nullptr);
    } while (FindNextFileA(find, &fd));
    FindClose(find);
    return ns / 1e6;
}

struct CpuRate {
    double wine;   // GetProcessTimes
    double linux;  // /proc/PID/stat
};

// CPU time of the process over a window, scaled to milliseconds per minute.
CpuRate CpuMsPerMinute(HANDLE process, long unixPid, DWORD windowMs) {
    double before = CpuMs(process);
    double linuxBefore = LinuxCpuMs(unixPid);
    double t0 = Now();
    PumpFor(windowMs);
    double scale = 60000.0 / (Now() - t0);
    return {(CpuMs(process) - before) * scale, (LinuxCpuMs(unixPid) - linuxBefore) * scale};
}

// The time a message takes to be handled by the driver's window, from this process.
double HandleMs(HWND window, UINT message, WPARAM wParam) {
    DWORD_PTR result = 0;
    double t0 = Now();
    if (!SendMessageTimeoutA(window, message, wParam, 0, SMTO_ABORTIFHUNG, 10000, &result)) return -1;
    return Now() - t0;
}

}  // namespace

BENCH(process_lifecycle) {
    HKEY run = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                        &run, nullptr) != ERROR_SUCCESS) {
        report.Note("cannot open the Run key");
        return;
    }
    harness::HookRecords hooks;
    if (!hooks.Attach()) {
        report.Note("cannot map the hook library's record block");
        return;
    }
    std::vector<double> empty, emptyWindow, start, lock, exitMs, replug;
    for (int runIndex = 0; runIndex < kStartRuns; ++runIndex) {
        for (int withWindow = 0; withWindow < 2; ++withWindow) {
            PROCESS_INFORMATION epi = {};
            double emptyMs = 0;
            std::string ready = "veltra-bench-empty-" + std::to_string(GetCurrentProcessId()) + "-" +
                                std::to_string(runIndex) + (withWindow ? "-window" : "");
            if (StartEmpty(ready.c_str(), nullptr, &epi, &emptyMs, withWindow != 0))
                (withWindow ? emptyWindow : empty).push_back(emptyMs);
            if (epi.hProcess) {
                WaitForSingleObject(epi.hProcess, 5000);
                CloseHandle(epi.hProcess);
                CloseHandle(epi.hThread);
            }
        }

        harness::Pendant pendant;
        pendant.Plug();
        RegDeleteValueA(run, kAutostartValue);
        harness::DriverProcess driver;
        double t0 = Now();
        if (!driver.Start(Exe("veltra.exe"))) {
            report.Note("cannot start veltra.exe");
            return;
        }
        // The autostart value is written at the end of the dialog's initialisation, after the
        // pendant probe and the hook library load; only the poller start and SetTimer follow.
        if (!WaitUntil([&] { return AutostartWritten(run); }, kStartTimeoutMs)) {
            report.Note("run " + std::to_string(runIndex) + ": the driver never finished its initialisation");
            continue;
        }
        start.push_back(Now() - t0);
        driver.WaitWindow(5000);
        HWND window = driver.Window();
        if (!harness::KeyPathOpen(pendant, hooks, kConnectTimeoutMs)) {
            report.Note("run " + std::to_string(runIndex) + ": the driver never connected");
            continue;
        }
        // Lock from the tray menu: the handler closes the link, its reader blocked in a HID read.
        for (int i = 0; i < kLocksPerRun; ++i) {
            double ms = HandleMs(window, WM_COMMAND, harness::kLockCommand);
            if (ms >= 0) lock.push_back(ms);
            HandleMs(window, WM_COMMAND, harness::kLockCommand);  // unlock: reopens at once
        }
        // Replug: from plugging in until a key gets through again (the next status refresh).
        pendant.Unplug();
        PumpFor(200);
        double p0 = Now();
        pendant.Plug();
        if (harness::KeyPathOpen(pendant, hooks, kConnectTimeoutMs)) replug.push_back(Now() - p0);

        double e0 = Now();
        PostMessageA(window, WM_COMMAND, harness::kExitCommand, 0);
        if (driver.Wait(10000) != STILL_ACTIVE) exitMs.push_back(Now() - e0);
    }
    RegCloseKey(run);
    double emptyMedian = Median(empty);
    report.Add("startup_to_init_end_minus_empty_p50", Median(start) - emptyMedian, "ms", "<= 100");
    report.Add("startup_to_init_end_p50", Median(start), "ms", "");
    report.Add("empty_win32_start_p50", emptyMedian, "ms", "");
    report.Add("startup_minus_empty_with_one_window_p50", Median(start) - Median(emptyWindow), "ms", "");
    report.Add("empty_win32_one_window_start_p50", Median(emptyWindow), "ms", "");
    report.Add("lock_command_p50", Median(lock), "ms", "<= 20");
    report.Add("lock_command_max", MaxOf(lock), "ms", "");
    report.Add("replug_to_keys_p50", Median(replug), "ms", "<= 4400");
    report.Add("replug_to_keys_max", MaxOf(replug), "ms", "");
    report.Add("exit_to_process_end_p50", Median(exitMs), "ms", "<= 100");
    report.Add("exit_to_process_end_max", MaxOf(exitMs), "ms", "");
    report.Note(std::to_string(start.size()) + " starts with the pendant plugged in and silent; the end of "
                "initialisation is seen when the driver writes its autostart value (polled every ~1 ms), "
                "minus CreateProcess-to-WinMain of an empty Win32 program in the same run");
    report.Note(std::to_string(lock.size()) + " locks: WM_COMMAND 32771 sent to \"QEVR-1.4\" until handled, "
                "which closes the link with the reader blocked in a HID read; " + std::to_string(replug.size()) +
                " replugs until a key reaches KeyBoardProc; " + std::to_string(exitMs.size()) +
                " exits: WM_COMMAND 32773 until the process handle is signalled");
}

BENCH(process_steady) {
    harness::DriverSession session;
    HravikShared* sh = session.hooks.Block();
    harness::Pendant& pendant = session.pendant;
    harness::DriverProcess& driver = session.driver;
    if (!session.StartConnected()) {
        report.Note("the driver did not start and connect");
        return;
    }
    HWND window = driver.Window();
    PumpFor(1000);

    // Memory, beside an empty program kept alive meanwhile.
    std::string ready = "veltra-bench-mem-ready-" + std::to_string(GetCurrentProcessId());
    std::string hold = "veltra-bench-mem-hold-" + std::to_string(GetCurrentProcessId());
    double emptyRss = -1, emptyWindowRss = -1;
    long driverUnixPid = UnixPidOf("veltra.exe");
    double driverRss = RssAnonKiB(driverUnixPid);
    for (int withWindow = 0; withWindow < 2; ++withWindow) {
        std::string r = ready + (withWindow ? "-w" : ""), h = hold + (withWindow ? "-w" : "");
        HANDLE holdEvent = CreateEventA(nullptr, TRUE, FALSE, h.c_str());
        PROCESS_INFORMATION epi = {};
        double ignored = 0;
        if (StartEmpty(r.c_str(), h.c_str(), &epi, &ignored, withWindow != 0)) {
            PumpFor(300);
            (withWindow ? emptyWindowRss : emptyRss) = RssAnonKiB(UnixPidOf("bench-empty.exe"));
        }
        SetEvent(holdEvent);
        if (epi.hProcess) {
            WaitForSingleObject(epi.hProcess, 5000);
            CloseHandle(epi.hProcess);
            CloseHandle(epi.hThread);
        }
        CloseHandle(holdEvent);
    }

    // Key reports, one at a time, from just before the feed to KeyBoardProc's entry.
    constexpr int kReports = 5000;
    std::vector<double> keyMs;
    keyMs.reserve(kReports);
    int lost = 0;
    for (int i = 0; i < kReports; ++i) {
        LONG index = sh->count;
        LARGE_INTEGER sent;
        QueryPerformanceCounter(&sent);
        if (!pendant.Key(i % 2 ? 0 : static_cast<uint8_t>(1 + i % 200))) {
            ++lost;
            continue;
        }
        HravikRecord r{};
        DWORD startTick = GetTickCount();
        bool got = false;
        for (unsigned spin = 0;; ++spin) {
            if (HravikReadRecord(sh, index, &r)) {
                got = r.exportId == HravikKeyBoardProc;
                break;
            }
            if (GetTickCount() - startTick > 2000) break;
            if (spin % 64 == 63) SwitchToThread();
        }
        if (got) keyMs.push_back(QpcMs(r.qpc - sent.QuadPart));
        else ++lost;
    }

    // CPU time: idle with the pendant connected, locked, and active with the host in front.
    CpuRate idleCpu = CpuMsPerMinute(driver.Handle(), driverUnixPid, 15000);
    HandleMs(window, WM_COMMAND, harness::kLockCommand);
    CpuRate lockedCpu = CpuMsPerMinute(driver.Handle(), driverUnixPid, 15000);
    HandleMs(window, WM_COMMAND, harness::kLockCommand);

    CpuRate activeCpu = {-1, -1};
    std::vector<double> stepMs;
    if (session.StartHostInFront() && session.hooks.WaitCalls(HravikGetMaStep, 1, 5000)) {
        activeCpu = CpuMsPerMinute(driver.Handle(), driverUnixPid, 15000);
        // Step changes in the hook library until the pendant accepts the frame carrying the step.
        for (int i = 0; i < 40; ++i) {
            uint8_t step = static_cast<uint8_t>(1 + i % 0x3F);
            if (step == (sh->result[HravikGetMaStep] & 0x3F)) step = step % 0x3F + 1;
            uint32_t mark = pendant.Mark();
            LARGE_INTEGER t0;
            QueryPerformanceCounter(&t0);
            sh->result[HravikGetMaStep] = step;
            testhid::LogEntry frame{};
            if (pendant.WaitFrame(step, mark, 3000, &frame)) stepMs.push_back(QpcMs(frame.qpc - t0.QuadPart));
            PumpFor(17 * (i % 7));  // not in step with the poll
        }
    } else {
        report.Note("the stand-in host did not become active");
    }
    session.host.Quit();
    driver.Exit(10000);

    report.Add("key_report_to_keyboardproc_p50", Percentile(keyMs, 0.5), "ms", "");
    report.Add("key_report_to_keyboardproc_p99", Percentile(keyMs, 0.99), "ms", "<= 0.5");
    report.Add("key_report_to_keyboardproc_max", MaxOf(keyMs), "ms", "");
    report.Add("key_reports_lost", lost, "count", "0");
    report.Add("step_change_to_feature_p50", Percentile(stepMs, 0.5), "ms", "");
    report.Add("step_change_to_feature_p99", Percentile(stepMs, 0.99), "ms", "<= 100");
    report.Add("cpu_idle_connected", idleCpu.linux, "ms/min", "<= 30");
    report.Add("cpu_locked", lockedCpu.linux, "ms/min", "");
    report.Add("cpu_active_host", activeCpu.linux, "ms/min", "");
    report.Add("cpu_idle_connected_getprocesstimes", idleCpu.wine, "ms/min", "");
    report.Add("cpu_locked_getprocesstimes", lockedCpu.wine, "ms/min", "");
    report.Add("cpu_active_host_getprocesstimes", activeCpu.wine, "ms/min", "");
    report.Add("rss_anon_driver", driverRss / 1024.0, "MiB", "");
    report.Add("rss_anon_empty_win32", emptyRss / 1024.0, "MiB", "");
    report.Add("rss_anon_driver_minus_empty", (driverRss - emptyRss) / 1024.0, "MiB", "<= 4");
    report.Add("rss_anon_empty_win32_one_window", emptyWindowRss / 1024.0, "MiB", "");
    report.Add("rss_anon_driver_minus_empty_with_one_window", (driverRss - emptyWindowRss) / 1024.0, "MiB", "");
    report.Note(std::to_string(keyMs.size()) + " key reports fed to the test HID device one at a time, from just "
                "before the feed to the KeyBoardProc record's QPC stamp, driver in its own process");
    report.Note(std::to_string(stepMs.size()) + " step changes (GetMaStep's result) to the feature report "
                "the device accepted (its QPC stamp), host in front; CPU over 15 s each, scaled to a minute "
                "(0.05 % of one core = 30 ms/min), from the threads' /proc schedstat (GetProcessTimes under "
                "Wine 8 disagrees and is shown apart); memory: RssAnon from /proc via Z:");
}

// Exit with NcStudio hooked and in front: as the hook library answers at once; with nothing owed
// while the library hangs (GetMaStep 5 s, a key-up call 5 s); with a key-up owed behind a key-down
// that KeyBoardProc takes 1 s over; and with a feature report the device never completes.
BENCH(exit_with_host) {
    enum Kind { kQuick, kHungNothingOwed, kOwed1s, kStuckFeature, kKinds };
    constexpr int kRuns = 4;
    constexpr LONG kSlowMs = 1000;
    std::vector<double> ms[kKinds];
    for (int i = 0; i < kKinds * kRuns; ++i) {
        Kind kind = static_cast<Kind>(i % kKinds);
        harness::DriverSession session;
        harness::HookRecords& hooks = session.hooks;
        HravikShared* sh = hooks.Block();
        if (!session.StartConnected() || !session.StartHostInFront()) {
            report.Note("run " + std::to_string(i) + ": the driver did not start, connect and hook the host");
            continue;
        }
        if (kind == kHungNothingOwed) {
            LONG steps = hooks.Calls(HravikGetMaStep);
            sh->hangMs[HravikGetMaStep] = 5000;
            hooks.WaitCalls(HravikGetMaStep, steps + 1, 3000);
            sh->hangArg0[HravikKeyBoardProc] = 0x101;
            sh->hangMs[HravikKeyBoardProc] = 5000;
            LONG keys = hooks.Calls(HravikKeyBoardProc);
            session.pendant.Key(0x31);
            session.pendant.Release();
            hooks.WaitCalls(HravikKeyBoardProc, keys + 2, 3000);
        } else if (kind == kOwed1s) {
            sh->hangArg0[HravikKeyBoardProc] = 0x100;
            sh->hangMs[HravikKeyBoardProc] = kSlowMs;
            session.HoldKey();
        } else if (kind == kStuckFeature) {
            session.pendant.Bus().SetBehaviour(0, testhid::kHoldFeatures);
            uint32_t mark = session.pendant.Mark();
            sh->result[HravikGetMaStep] = 0x07;
            WaitUntil(
                [&] {
                    std::vector<testhid::LogEntry> log;
                    session.pendant.Bus().FeatureLog(log, mark);
                    for (const testhid::LogEntry& e : log)
                        if (e.outcome == TESTHID_HELD) return true;
                    return false;
                },
                3000);
        } else {
            session.HoldKey();
        }
        double e0 = Now();
        PostMessageA(session.driver.Window(), WM_COMMAND, harness::kExitCommand, 0);
        if (session.driver.Wait(10000) != STILL_ACTIVE) ms[kind].push_back(Now() - e0);
        HravikResetControls(sh);
    }
    report.Add("exit_host_hooked_p50", Median(ms[kQuick]), "ms", "<= 100");
    report.Add("exit_host_hooked_max", MaxOf(ms[kQuick]), "ms", "");
    report.Add("exit_nothing_owed_library_hung_p50", Median(ms[kHungNothingOwed]), "ms", "<= 100");
    report.Add("exit_nothing_owed_library_hung_max", MaxOf(ms[kHungNothingOwed]), "ms", "");
    report.Add("exit_keyup_owed_keydown_slow_1s_p50", Median(ms[kOwed1s]), "ms", "<= 1100");
    report.Add("exit_keyup_owed_keydown_slow_1s_max", MaxOf(ms[kOwed1s]), "ms", "");
    report.Add("exit_stuck_feature_report_p50", Median(ms[kStuckFeature]), "ms", "<= 100");
    report.Add("exit_stuck_feature_report_max", MaxOf(ms[kStuckFeature]), "ms", "");
    report.Note(std::to_string(kKinds * kRuns) + " exits with the stand-in NcStudio hooked and in front: a key "
                "held and the library answering at once; a key pressed and released while GetMaStep and the "
                "key-up call hang 5 s (nothing owed); a key held whose key-down KeyBoardProc takes 1 s over "
                "(a key-up owed); a display frame the test device never completes");
}

// Close with the reader blocked in a HID read that no report completes, in this process on the
// real HID calls.
BENCH(close_blocked_reader) {
    constexpr int kRounds = 20;
    harness::Pendant pendant;
    if (!pendant.Plug()) {
        report.Note("the test HID device could not be plugged in");
        return;
    }
    std::vector<double> ms;
    for (int i = 0; i < kRounds; ++i) {
        if (!g_pendant.Open(nullptr)) {
            report.Note("open failed");
            return;
        }
        Sleep(30);  // the reader is blocked in its read by now
        double t0 = Now();
        g_pendant.Close();
        ms.push_back(Now() - t0);
    }
    report.Add("close_p50", Median(ms), "ms", "<= 20");
    report.Add("close_max", MaxOf(ms), "ms", "");
    report.Note(std::to_string(kRounds) + " closes with the reader blocked in a HID read, cancelled by "
                "CancelSynchronousIo");
}

BENCH(shipping_size) {
    char path[MAX_PATH] = {0};
    DWORD n = GetEnvironmentVariableA("VELTRA_X86_EXE", path, MAX_PATH);
    std::string exe = n && n < MAX_PATH ? HostProcess::NativePath(path) : ExeDir() + "..\\..\\windows-x86\\bin\\veltra.exe";
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(exe.c_str(), GetFileExInfoStandard, &data)) {
        report.Note("no 32-bit build at " + exe + " (set VELTRA_X86_EXE)");
        return;
    }
    report.Add("veltra_exe_x86_size", data.nFileSizeLow / 1048576.0, "MiB", "<= 1");
    report.Note("32-bit shipping executable: " + exe);
}
