// veltra.exe as a separate process under Wine on the real HID calls, measured from outside with
// the test HID device as the pendant: start-up, the lock command, exit, key reports, the display
// frame after a step change, replug to connected, CPU time per minute and resident memory.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "bench/floor_shared.h"
#include "hravik_shared.h"
#include "host_client.h"
#include "pendant/pendant_device.h"
#include "support/harness.h"

namespace {

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

// One bare program of ours (bench-floor.exe of this build) and the block it stamps.
class FloorProcess {
public:
    FloorProcess() = default;
    FloorProcess(const FloorProcess&) = delete;
    FloorProcess& operator=(const FloorProcess&) = delete;
    ~FloorProcess() {
        End();
        if (block_) UnmapViewOfFile(const_cast<FloorBlock*>(block_));
        if (mapping_) CloseHandle(mapping_);
    }
    // Starts it in this mode; startMs is the moment just before CreateProcess.
    bool Start(const std::string& mode, const std::string& arg = std::string()) {
        static int serial = 0;
        std::string name = "veltra-bench-floor-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(++serial);
        mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(FloorBlock),
                                      name.c_str());
        if (!mapping_) return false;
        block_ = static_cast<FloorBlock*>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(FloorBlock)));
        if (!block_) return false;
        std::string line = "\"" + Exe("bench-floor.exe") + "\" " + mode + " " + name + (arg.empty() ? "" : " " + arg);
        startMs = Now();
        return process_.Start(line);
    }
    // The mode's set-up is done; false when it failed or the program ended first.
    bool WaitReady(DWORD timeoutMs) {
        WaitUntil([&] { return block_->ready != 0 || !process_.Running(); }, timeoutMs);
        return block_->ready == 1;
    }
    void End() {
        if (!process_.Handle()) return;
        if (block_) block_->stop = 1;
        if (process_.Wait(1000) == STILL_ACTIVE) process_.Kill();
    }
    FloorBlock* Block() { return block_; }
    HANDLE Handle() const { return process_.Handle(); }
    // Stamp of the first report read after `since` reads, once there is one.
    bool ReadAfter(LONG since, LONGLONG* qpc) const {
        if (block_->reads <= since) return false;
        *qpc = block_->readQpc[since % kFloorStamps];
        return true;
    }

    double startMs = 0;

private:
    harness::ChildProcess process_;
    HANDLE mapping_ = nullptr;
    FloorBlock* block_ = nullptr;
};

// Presses and releases the probe key every 5 ms until `stamp` gives the QPC stamp of the first
// report that got through; the ms from t0 to that stamp, or -1. The stamp, not the moment we see
// it, so that both figures beside each other are as fine as the probe's rhythm.
double FirstKeyMs(harness::Pendant& pendant, const std::function<bool(LONGLONG*)>& stamp, double t0,
                  DWORD timeoutMs) {
    DWORD start = GetTickCount();
    LONGLONG qpc = 0;
    while (GetTickCount() - start < timeoutMs) {
        pendant.Key(static_cast<uint8_t>(harness::kProbeKey));
        pendant.Release();
        if (WaitUntil([&] { return stamp(&qpc); }, 5)) return harness::QpcToMs(qpc) - t0;
    }
    return -1;
}

// The first KeyBoardProc call of the driver's library from record `since` on.
std::function<bool(LONGLONG*)> DriverKeyStamp(const harness::HookRecords& hooks, LONG since) {
    return [&hooks, since](LONGLONG* qpc) {
        std::vector<HravikRecord> calls = hooks.Since(since, HravikKeyBoardProc);
        if (calls.empty()) return false;
        *qpc = calls.front().qpc;
        return true;
    };
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

// CPU time of the process (its threads' schedstat) over a window, scaled to milliseconds per
// minute. GetProcessTimes under Wine 8 disagrees with what Linux counts, so it is not used.
double CpuMsPerMinute(long unixPid, DWORD windowMs) {
    double before = LinuxCpuMs(unixPid);
    double t0 = Now();
    PumpFor(windowMs);
    return (LinuxCpuMs(unixPid) - before) * 60000.0 / (Now() - t0);
}

// CPU over `runs` windows in a row.
std::vector<double> CpuRuns(long unixPid, int runs, DWORD windowMs) {
    std::vector<double> out;
    for (int i = 0; i < runs; ++i) out.push_back(CpuMsPerMinute(unixPid, windowMs));
    return out;
}

// RssAnon in MiB, read a few times a little apart.
std::vector<double> RssRuns(long unixPid, int runs) {
    std::vector<double> out;
    for (int i = 0; i < runs; ++i) {
        if (i) PumpFor(300);
        double kib = RssAnonKiB(unixPid);
        if (kib >= 0) out.push_back(kib / 1024.0);
    }
    return out;
}

// The time a message takes to be handled by the driver's window, from this process.
double HandleMs(HWND window, UINT message, WPARAM wParam) {
    DWORD_PTR result = 0;
    double t0 = Now();
    if (!SendMessageTimeoutA(window, message, wParam, 0, SMTO_ABORTIFHUNG, 10000, &result)) return -1;
    return Now() - t0;
}

// Key reports fed one at a time; for each, from just before the feed to the stamp that `await`
// finds for it (the KeyBoardProc record, or the floor's read), spinning so that no wake-up of
// ours is in the figure. Reports that never arrive are counted in *lost.
std::vector<double> KeyLatencies(harness::Pendant& pendant, int count,
                                 const std::function<LONG()>& mark,
                                 const std::function<int(LONG, LONGLONG*)>& await, double* lost) {
    std::vector<double> ms;
    ms.reserve(count);
    for (int i = 0; i < count; ++i) {
        LONG index = mark();
        LARGE_INTEGER sent;
        QueryPerformanceCounter(&sent);
        if (!pendant.Key(i % 2 ? 0 : static_cast<uint8_t>(1 + i % 200))) {
            ++*lost;
            continue;
        }
        LONGLONG stamp = 0;
        int got = 0;
        DWORD startTick = GetTickCount();
        for (unsigned spin = 0; !(got = await(index, &stamp)); ++spin) {
            if (GetTickCount() - startTick > 2000) break;
            if (spin % 64 == 63) SwitchToThread();
        }
        if (got > 0) ms.push_back(QpcMs(stamp - sent.QuadPart));
        else ++*lost;
    }
    return ms;
}

// Figures of several batches: each batch's statistic, whose median is the figure.
struct Batches {
    std::vector<double> p50, p99, max, lost;
    void Add(const std::vector<double>& ms, double lostCount) {
        p50.push_back(Percentile(ms, 0.5));
        p99.push_back(Percentile(ms, 0.99));
        max.push_back(MaxOf(ms));
        lost.push_back(lostCount);
    }
};

// This process's CPU (its threads' schedstat) per FindWindowA of a title no window has, in us,
// with the host up; *windows: the top-level windows such a search walks.
BOOL CALLBACK CountWindow(HWND, LPARAM count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}
double FindWindowCpuUs(int calls, int* windows) {
    *windows = 0;
    EnumWindows(CountWindow, reinterpret_cast<LPARAM>(windows));
    // /proc/self, opened by this process through Z:, is this process's own Linux entry.
    long self = std::strtol(ReadProcFile("Z:\\proc\\self\\stat").c_str(), nullptr, 10);
    double before = LinuxCpuMs(self);
    for (int i = 0; i < calls; ++i) FindWindowA(nullptr, "Set current work coordinate:");
    return (LinuxCpuMs(self) - before) * 1000.0 / calls;
}

constexpr int kFindWindowCalls = 600;
constexpr int kLifecycleRuns = 15;
constexpr int kKeyBatches = 5;
constexpr int kKeysPerBatch = 1000;
constexpr int kCpuWindows = 3;
constexpr DWORD kCpuWindowMs = 5000;
constexpr int kRssReadings = 3;

}  // namespace

// Start-up, start to the first key, lock, replug to a key and exit of veltra.exe, each run beside
// the bare programs that do only what the platform itself costs: one window, one HID enumeration and the
// library load; opening the pendant at start and on its arrival message.
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
    std::vector<double> start, startFloor, firstKey, firstKeyFloor, replug, replugFloor, lock, exitMs;
    std::vector<double> replugFailures, resumeKept, resumeReplugged;
    std::string replugLog;  // unplugged ms : replug-to-key ms, run by run, to tell a phase that costs
    // Run 0 warms the prefix's caches (the first start of each program is several times slower)
    // and is not counted.
    for (int runIndex = 0; runIndex <= kLifecycleRuns; ++runIndex) {
        auto keep = [warmUp = runIndex == 0](std::vector<double>& figures, double ms) {
            if (!warmUp) figures.push_back(ms);
        };
        // Unplugged for a while at every phase of the driver's 2.2 s refresh rhythm.
        DWORD unpluggedMs = 200 + (runIndex * 470) % 2200;
        std::string runName = "run " + std::to_string(runIndex) + ": ";
        harness::Pendant pendant;
        {
            FloorProcess init;
            if (init.Start("init") && init.WaitReady(kStartTimeoutMs))
                keep(startFloor, harness::QpcToMs(init.Block()->initEndQpc) - init.startMs);
            else
                report.Note(runName + "the start-up floor did not finish");
        }
        pendant.Plug();
        {
            FloorProcess reader;
            if (!reader.Start("reader") || !reader.WaitReady(kStartTimeoutMs)) {
                report.Note(runName + "the reader floor did not start");
            } else {
                double ms = FirstKeyMs(pendant, [&](LONGLONG* q) { return reader.ReadAfter(0, q); }, reader.startMs,
                                       kConnectTimeoutMs);
                if (ms >= 0) keep(firstKeyFloor, ms);
                pendant.Unplug();
                WaitUntil([&] { return reader.Block()->opened == 0; }, 3000);
                PumpFor(unpluggedMs);
                LONG reads = reader.Block()->reads;
                double p0 = Now();
                pendant.Plug();
                ms = FirstKeyMs(pendant, [&](LONGLONG* q) { return reader.ReadAfter(reads, q); }, p0,
                                kConnectTimeoutMs);
                if (ms >= 0) keep(replugFloor, ms);
                else report.Note(runName + "the reader floor never read after the replug");
            }
        }

        RegDeleteValueA(run, kAutostartValue);
        LONG mark = hooks.Mark();
        harness::DriverProcess driver;
        double t0 = Now();
        if (!driver.Start(Exe("veltra.exe"))) {
            report.Note("cannot start veltra.exe");
            return;
        }
        // The autostart value is written at the end of the dialog's initialisation, after the
        // pendant probe and the hook library load; only the poller start and SetTimer follow.
        if (!WaitUntil([&] { return AutostartWritten(run); }, kStartTimeoutMs)) {
            report.Note(runName + "the driver never finished its initialisation");
            continue;
        }
        keep(start, Now() - t0);
        driver.WaitWindow(5000);
        HWND window = driver.Window();
        double ms = FirstKeyMs(pendant, DriverKeyStamp(hooks, mark), t0, kConnectTimeoutMs);
        if (ms < 0) {
            report.Note(runName + "the driver never connected");
            continue;
        }
        keep(firstKey, ms);
        // Lock from the tray menu: the handler closes the link, its reader blocked in a HID read.
        for (int i = 0; i < kLocksPerRun; ++i) {
            double lockMs = HandleMs(window, WM_COMMAND, harness::kLockCommand);
            if (lockMs >= 0) keep(lock, lockMs);
            HandleMs(window, WM_COMMAND, harness::kLockCommand);  // unlock: reopens at once
        }
        PumpFor(100);
        pendant.Unplug();
        PumpFor(unpluggedMs);
        mark = hooks.Mark();
        double p0 = Now();
        pendant.Plug();
        ms = FirstKeyMs(pendant, DriverKeyStamp(hooks, mark), p0, kConnectTimeoutMs);
        keep(replugFailures, ms >= 0 ? 0 : 1);
        if (runIndex > 0) replugLog += (replugLog.empty() ? "" : ", ") + std::to_string(unpluggedMs) + ":" +
                                       std::to_string(static_cast<int>(ms));
        if (ms >= 0) {
            keep(replug, ms);
        } else {
            report.Note(runName + "no key reached KeyBoardProc within 10 s of the replug");
        }

        // A sleep and a wake as Windows broadcasts them, the pendant kept, then unplugged and
        // plugged in again while asleep: from the resume to the first key reaching the host.
        for (bool replugAsleep : {false, true}) {
            DWORD_PTR ignored = 0;
            SendMessageTimeoutA(window, WM_POWERBROADCAST, PBT_APMSUSPEND, 0, SMTO_ABORTIFHUNG, 2000, &ignored);
            PumpFor(200);
            if (replugAsleep) {
                pendant.Unplug();
                PumpFor(300);
                pendant.Plug();
                PumpFor(200);
            }
            LONG resumeMark = hooks.Mark();
            double r0 = Now();
            SendMessageTimeoutA(window, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0, SMTO_ABORTIFHUNG, 2000,
                                &ignored);
            double wakeMs = FirstKeyMs(pendant, DriverKeyStamp(hooks, resumeMark), r0, kConnectTimeoutMs);
            if (wakeMs >= 0)
                keep(replugAsleep ? resumeReplugged : resumeKept, wakeMs);
            else
                report.Note(runName + "no key reached KeyBoardProc within 10 s of the resume" +
                            (replugAsleep ? " (replugged asleep)" : ""));
        }

        double e0 = Now();
        PostMessageA(window, WM_COMMAND, harness::kExitCommand, 0);
        if (driver.Wait(10000) != STILL_ACTIVE) keep(exitMs, Now() - e0);
    }
    RegCloseKey(run);
    report.Add("startup_to_init_end_p50", Median(start), start, "ms").Floor(Median(startFloor), startFloor).FloorPlus(20);
    report.Add("start_to_first_key_p50", Median(firstKey), firstKey, "ms")
        .Floor(Median(firstKeyFloor), firstKeyFloor)
        .FloorPlus(300);
    report.Add("replug_to_key_p50", Median(replug), replug, "ms").Floor(Median(replugFloor), replugFloor).FloorPlus(100);
    report.Add("replug_to_key_max", MaxOf(replug), replug, "ms").Floor(MaxOf(replugFloor), replugFloor).FloorPlus(300);
    double failures = 0;
    for (double f : replugFailures) failures += f;
    report.Add("replugs_without_key", failures, replugFailures, "count").AtMost(0);
    report.Add("resume_to_key_p50", Median(resumeKept), resumeKept, "ms");
    report.Add("resume_to_key_max", MaxOf(resumeKept), resumeKept, "ms");
    report.Add("resume_replugged_asleep_to_key_p50", Median(resumeReplugged), resumeReplugged, "ms");
    report.Add("resume_replugged_asleep_to_key_max", MaxOf(resumeReplugged), resumeReplugged, "ms");
    report.Add("lock_command_p50", Median(lock), lock, "ms").AtMost(20);
    report.Add("lock_command_max", MaxOf(lock), lock, "ms");
    report.Add("exit_to_process_end_p50", Median(exitMs), exitMs, "ms").AtMost(100);
    report.Add("exit_to_process_end_max", MaxOf(exitMs), exitMs, "ms");
    report.Note(std::to_string(start.size()) + " starts with the pendant plugged in and silent; the end of "
                "initialisation is seen when the driver writes its autostart value (polled every ~5 ms); its floor "
                "stamps the end of one window, one HID enumeration and the hravik.dll load");
    report.Note("first key and replug: the probe key fed every 5 ms, to the QPC stamp of the first KeyBoardProc "
                "record (driver) or of the first read's return (floor: opens at start and on the arrival message); "
                "unplugged 0.2 to 2.4 s before each replug, both alike");
    report.Note("driver replugs, unplugged ms:replug to key ms (-1 none): " + replugLog);
    report.Note("resume: WM_POWERBROADCAST PBT_APMSUSPEND, 200 ms asleep (the pendant kept, or unplugged "
                "300 ms and plugged in again), then PBT_APMRESUMEAUTOMATIC, to the first probe key's "
                "KeyBoardProc record");
    report.Note(std::to_string(lock.size()) + " locks: WM_COMMAND 32771 sent to \"QEVR-1.4\" until handled, "
                "which closes the link with the reader blocked in a HID read; " + std::to_string(exitMs.size()) +
                " exits: WM_COMMAND 32773 until the process handle is signalled");
}

// Key reports, CPU time per minute, resident memory and the step change to the display frame of a
// connected veltra.exe, then the same of the steady floor: the driver's rhythms with nothing
// behind them, the same system libraries, a tray icon and a reader blocked in a HID read.
// The key batches of a floor that stamps each report it reads, fed as the driver's are.
Batches FloorKeyBatches(harness::Pendant& pendant, FloorProcess& floor) {
    Batches batches;
    FloorBlock* block = floor.Block();
    for (int b = 0; b < kKeyBatches; ++b) {
        double lost = 0;
        std::vector<double> ms = KeyLatencies(
            pendant, kKeysPerBatch, [&] { return block->reads; },
            [&](LONG index, LONGLONG* qpc) { return floor.ReadAfter(index, qpc) ? 1 : 0; }, &lost);
        batches.Add(ms, lost);
    }
    return batches;
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
    long driverUnixPid = UnixPidOf("veltra.exe");
    std::vector<double> rss = RssRuns(driverUnixPid, kRssReadings);

    Batches keys;
    for (int b = 0; b < kKeyBatches; ++b) {
        double lost = 0;
        std::vector<double> ms = KeyLatencies(
            pendant, kKeysPerBatch, [&] { return sh->count; },
            [&](LONG index, LONGLONG* qpc) {
                HravikRecord r{};
                if (!HravikReadRecord(sh, index, &r)) return 0;
                *qpc = r.qpc;
                return r.exportId == HravikKeyBoardProc ? 1 : -1;
            },
            &lost);
        keys.Add(ms, lost);
    }

    std::vector<double> idleCpu = CpuRuns(driverUnixPid, kCpuWindows, kCpuWindowMs);
    HandleMs(window, WM_COMMAND, harness::kLockCommand);
    std::vector<double> lockedCpu = CpuRuns(driverUnixPid, kCpuWindows, kCpuWindowMs);
    HandleMs(window, WM_COMMAND, harness::kLockCommand);

    std::vector<double> activeCpu;
    std::vector<double> stepMs;
    double hookCallsPerMin = -1, findWindowUs = -1;
    int topLevelWindows = 0;
    if (session.StartHostInFront() && session.hooks.WaitCalls(HravikGetMaStep, 1, 5000)) {
        LONG calls0 = sh->count;
        double a0 = Now();
        activeCpu = CpuRuns(driverUnixPid, kCpuWindows, kCpuWindowMs);
        hookCallsPerMin = (sh->count - calls0) * 60000.0 / (Now() - a0);
        findWindowUs = FindWindowCpuUs(kFindWindowCalls, &topLevelWindows);
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

    // The floors, on the same device still plugged in: idle rhythm (100 ms waits), then polling (80 ms).
    std::vector<double> floorRss, floorIdleCpu, floorPollCpu;
    Batches floorKeys;
    {
        FloorProcess floor;
        if (floor.Start("steady", "100") && floor.WaitReady(kStartTimeoutMs)) {
            PumpFor(1000);
            long pid = UnixPidOf("bench-floor.exe");
            floorRss = RssRuns(pid, kRssReadings);
            floorIdleCpu = CpuRuns(pid, kCpuWindows, kCpuWindowMs);
            floorKeys = FloorKeyBatches(pendant, floor);
        } else {
            report.Note("the steady floor did not start (idle)");
        }
    }
    Batches hopKeys;
    {
        FloorProcess floor;
        if (floor.Start("steady", "100 hop") && floor.WaitReady(kStartTimeoutMs)) {
            PumpFor(500);
            hopKeys = FloorKeyBatches(pendant, floor);
        } else {
            report.Note("the steady floor did not start (keys through its window's thread)");
        }
    }
    {
        FloorProcess floor;
        if (floor.Start("steady", "80") && floor.WaitReady(kStartTimeoutMs)) {
            PumpFor(1000);
            floorPollCpu = CpuRuns(UnixPidOf("bench-floor.exe"), kCpuWindows, kCpuWindowMs);
        } else {
            report.Note("the steady floor did not start (polling)");
        }
    }

    report.Add("key_report_to_keyboardproc_p50", Median(keys.p50), keys.p50, "ms")
        .Floor(Median(floorKeys.p50), floorKeys.p50);
    report.Add("key_report_to_keyboardproc_p99", Median(keys.p99), keys.p99, "ms")
        .Floor(Median(floorKeys.p99), floorKeys.p99)
        .FloorTimes(1.2);
    report.Add("key_report_to_keyboardproc_max", MaxOf(keys.max), keys.max, "ms")
        .Floor(MaxOf(floorKeys.max), floorKeys.max);
    // Not a goal: the floor's read handed to its window's thread first, as the driver hands each
    // key to its UI thread, beside the floor that stamps in the reader.
    report.Add("key_report_floor_via_ui_thread_p99", Median(hopKeys.p99), hopKeys.p99, "ms")
        .Floor(Median(floorKeys.p99), floorKeys.p99);
    double lost = 0;
    for (double l : keys.lost) lost += l;
    report.Add("key_reports_lost", lost, keys.lost, "count").AtMost(0);
    report.Add("step_change_to_feature_p50", Percentile(stepMs, 0.5), stepMs, "ms");
    report.Add("step_change_to_feature_p99", Percentile(stepMs, 0.99), stepMs, "ms").AtMost(100);
    report.Add("cpu_idle_connected", Median(idleCpu), idleCpu, "ms/min")
        .Floor(Median(floorIdleCpu), floorIdleCpu)
        .FloorTimes(1.2);
    report.Add("cpu_locked", Median(lockedCpu), lockedCpu, "ms/min")
        .Floor(Median(floorIdleCpu), floorIdleCpu)
        .FloorTimes(1.2);
    report.Add("cpu_active_host", Median(activeCpu), activeCpu, "ms/min")
        .Floor(Median(floorPollCpu), floorPollCpu)
        .FloorTimes(1.2);
    report.Add("rss_anon", Median(rss), rss, "MiB").Floor(Median(floorRss), floorRss).FloorPlus(1);
    // What the active state costs beyond the floor's rhythm: the hook library's calls, and the
    // price here of one FindWindowA by a title no window has (the host dialog lookups, six a tick).
    report.Add("hook_calls_per_min_active", hookCallsPerMin, {hookCallsPerMin}, "count");
    report.Add("findwindow_by_title_cpu", findWindowUs, {findWindowUs}, "us");
    report.Add("top_level_windows_active", topLevelWindows, {double(topLevelWindows)}, "count");
    report.Note(std::to_string(kKeyBatches) + " batches of " + std::to_string(kKeysPerBatch) +
                " key reports fed one at a time, from just before the feed to the KeyBoardProc record's QPC "
                "stamp (driver) or to the return of the floor's blocking ReadFile; each figure is the median of "
                "the batches' p50, p99, and the max over them");
    report.Note(std::to_string(stepMs.size()) + " step changes (GetMaStep's result) to the feature report "
                "the device accepted (its QPC stamp), host in front; CPU over " + std::to_string(kCpuWindows) +
                " windows of " + std::to_string(kCpuWindowMs / 1000) + " s per state, scaled to a minute, from the "
                "threads' /proc schedstat; idle and locked beside the floor waiting 100 ms, active beside it "
                "waiting 80 ms; memory: RssAnon from /proc via Z:, " + std::to_string(kRssReadings) + " readings");
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
    report.Add("exit_host_hooked_p50", Median(ms[kQuick]), ms[kQuick], "ms").AtMost(100);
    report.Add("exit_host_hooked_max", MaxOf(ms[kQuick]), ms[kQuick], "ms");
    report.Add("exit_nothing_owed_library_hung_p50", Median(ms[kHungNothingOwed]), ms[kHungNothingOwed], "ms").AtMost(100);
    report.Add("exit_nothing_owed_library_hung_max", MaxOf(ms[kHungNothingOwed]), ms[kHungNothingOwed], "ms");
    report.Add("exit_keyup_owed_keydown_slow_1s_p50", Median(ms[kOwed1s]), ms[kOwed1s], "ms").AtMost(1100);
    report.Add("exit_keyup_owed_keydown_slow_1s_max", MaxOf(ms[kOwed1s]), ms[kOwed1s], "ms");
    report.Add("exit_stuck_feature_report_p50", Median(ms[kStuckFeature]), ms[kStuckFeature], "ms").AtMost(100);
    report.Add("exit_stuck_feature_report_max", MaxOf(ms[kStuckFeature]), ms[kStuckFeature], "ms");
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
    report.Add("close_p50", Median(ms), ms, "ms").AtMost(20);
    report.Add("close_max", MaxOf(ms), ms, "ms");
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
    double mib = data.nFileSizeLow / 1048576.0;
    report.Add("veltra_exe_x86_size", mib, {mib}, "MiB").AtMost(1);
    report.Note("32-bit shipping executable: " + exe);
}
