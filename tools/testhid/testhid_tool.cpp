// testhid.exe: installs and drives the test HID device. See README.md beside this file.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "testhid_build_id.h"
#include "tools/testhid/testhid_client.h"

namespace {

using testhid::Bus;
using testhid::DeviceId;

const char kUsage[] =
    "usage: testhid COMMAND ...\n"
    "  install                    start the driver, unplug every node, reset (once per Wine start)\n"
    "  plug [DEVICE...]           plug devices (default: pendant)\n"
    "  unplug [DEVICE...|all]     unplug devices (default: all)\n"
    "  feed DEVICE HEX...         feed one input report, e.g. feed pendant 04 00 12 00 00 00\n"
    "  feed DEVICE -              feed one report per line of stdin\n"
    "  key B2 B3 B4               feed the pendant's key report 04 00 B2 B3 B4 00\n"
    "  log [SINCE]                print the feature report log after sequence SINCE\n"
    "  refuse N|all|off           refuse the next N feature reports, or all of them, or none\n"
    "  hold-features on|off       leave feature reports pending (off: they fail)\n"
    "  hold-reads on|off          leave reads pending, drop what is fed\n"
    "  reset [--unplug]           normal behaviour, empty queues and log (and unplug every node)\n"
    "  status                     behaviour, counters and the devices the driver has\n"
    "DEVICE: pendant | foreign (both interfaces; feed takes the input one), pendant-feature,\n"
    "        pendant-input, foreign-feature, foreign-input, or VID:PID:MI[:N] in hexadecimal\n";

int Fail(const char* what) {
    DWORD error = GetLastError();
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                   sizeof text, nullptr);
    std::fprintf(stderr, "testhid: %s failed: error %lu %s", what, error, text);
    if (!*text) std::fputc('\n', stderr);
    return 1;
}

double Seconds(LARGE_INTEGER from) {
    LARGE_INTEGER now, f;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&f);
    return double(now.QuadPart - from.QuadPart) / double(f.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t;
}

// Both interfaces for plug and unplug; the input one alone for feed.
bool ParseDevices(const char* text, std::vector<DeviceId>& out, bool inputOnly) {
    std::string s = text;
    if (s == "pendant" || s == "foreign") {
        const DeviceId* pair = s == "pendant" ? Bus::kPendant : Bus::kForeign;
        if (!inputOnly) out.push_back(pair[0]);
        out.push_back(pair[1]);
        return true;
    }
    if (s == "pendant-feature") return out.push_back(testhid::kPendantFeature), true;
    if (s == "pendant-input") return out.push_back(testhid::kPendantInput), true;
    if (s == "foreign-feature") return out.push_back(testhid::kForeignFeature), true;
    if (s == "foreign-input") return out.push_back(testhid::kForeignInput), true;
    unsigned vid = 0, pid = 0, mi = 0, n = 0;
    int fields = std::sscanf(text, "%x:%x:%x:%x", &vid, &pid, &mi, &n);
    if (fields < 3 || vid > 0xFFFF || pid > 0xFFFF || mi > 0xFF || n > 0xFF) return false;
    out.push_back(DeviceId{uint16_t(vid), uint16_t(pid), uint8_t(mi), uint8_t(n), 0});
    return true;
}

// "04 00 12" or "040012".
bool ParseHex(const std::string& text, std::vector<uint8_t>& out) {
    std::string digits;
    for (char c : text) {
        if (c == '#') break;
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
        else if (!std::isspace(static_cast<unsigned char>(c))) return false;
    }
    if (digits.size() % 2) return false;
    for (size_t i = 0; i < digits.size(); i += 2) out.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return true;
}

std::string Hex(const uint8_t* data, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", data[i]);
        s += b;
    }
    return s;
}

std::string Name(const DeviceId& id) {
    char text[32];
    std::snprintf(text, sizeof text, "%04X:%04X:%02X:%02X", id.vendor, id.product, id.interface_no, id.instance);
    return text;
}

std::string Folder(DWORD (*get)(char*, UINT)) {
    char path[MAX_PATH];
    UINT n = get(path, MAX_PATH);
    return std::string(path, n);
}
DWORD WindowsDir(char* p, UINT n) { return GetWindowsDirectoryA(p, n); }
DWORD SystemDir(char* p, UINT n) { return GetSystemDirectoryA(p, n); }

std::string ToolDir() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/") + 1);
}

// The prefix's copies come from wine-run --start; a prefix without them gets the ones beside
// this tool.
void CopyIfMissing(const std::string& from, const std::string& to) {
    if (GetFileAttributesA(to.c_str()) != INVALID_FILE_ATTRIBUTES) return;
    if (CopyFileA(from.c_str(), to.c_str(), TRUE)) std::printf("copied %s\n", to.c_str());
}

int Install() {
    LARGE_INTEGER start = Now();
    const std::string image = Folder(SystemDir) + "\\drivers\\" TESTHID_SYS;
    CopyIfMissing(ToolDir() + TESTHID_SYS, image);
    CopyIfMissing(ToolDir() + TESTHID_INF, Folder(WindowsDir) + "\\inf\\" TESTHID_INF);

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return Fail("OpenSCManager");
    SC_HANDLE service = OpenServiceA(manager, TESTHID_SERVICE, SERVICE_ALL_ACCESS);
    if (!service) {
        // The settings the INF gives it, so that plugging a node changes nothing.
        service = CreateServiceA(manager, TESTHID_SERVICE, "Veltra test HID device", SERVICE_ALL_ACCESS,
                                 SERVICE_KERNEL_DRIVER, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                 image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        if (!service) return Fail("CreateService");
    }
    if (!StartServiceA(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        return Fail("StartService");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    Bus bus;
    for (DWORD t = GetTickCount(); !bus.Open(); Sleep(10))
        if (GetTickCount() - t > 10000) return Fail("opening " TESTHID_CONTROL_PATH);
    testhid::Status status;
    if (!bus.GetStatus(status)) return Fail("status");
    if (status.protocol != TESTHID_PROTOCOL || status.build_id != TESTHID_BUILD_ID) {
        std::fprintf(stderr,
                     "testhid: the loaded driver is from another build (%08X, this one %08X): Wine replaces\n"
                     "a loaded image only while it is down; tools/wine-run --state DIR --start does that\n",
                     unsigned(status.build_id), unsigned(TESTHID_BUILD_ID));
        return 3;
    }
    if (!bus.UnplugAll()) return Fail("unplugging");
    if (!bus.Reset()) return Fail("reset");
    std::printf("installed, bus empty (%.3f s)\n", Seconds(start));
    return 0;
}

int Feed(Bus& bus, const DeviceId& device, const std::vector<uint8_t>& report) {
    if (report.empty() || report.size() > TESTHID_MAX_REPORT) {
        std::fprintf(stderr, "testhid: a report has 1 to %u bytes\n", TESTHID_MAX_REPORT);
        return 2;
    }
    return bus.Feed(device, report.data(), uint32_t(report.size())) ? 0 : Fail("feed");
}

int OnOff(const char* text, bool& on) {
    if (!text) return 2;
    if (!std::strcmp(text, "on")) on = true;
    else if (!std::strcmp(text, "off")) on = false;
    else return 2;
    return 0;
}

int Run(int argc, char** argv) {
    if (argc < 2) return std::fputs(kUsage, stderr), 2;
    const std::string command = argv[1];
    Bus bus;

    if (command == "install") return Install();

    if (command == "plug" || command == "unplug") {
        std::vector<DeviceId> devices;
        bool all = command == "unplug" && (argc == 2 || !std::strcmp(argv[2], "all"));
        if (!all && argc == 2) ParseDevices("pendant", devices, false);
        for (int i = 2; !all && i < argc; ++i)
            if (!ParseDevices(argv[i], devices, false)) return std::fputs(kUsage, stderr), 2;
        LARGE_INTEGER start = Now();
        bool ok = command == "plug" ? bus.Plug(devices.data(), devices.size())
                  : all             ? bus.UnplugAll()
                                    : bus.Unplug(devices.data(), devices.size());
        if (!ok) return Fail(command.c_str());
        std::printf("%sged (%.3f s)\n", command.c_str(), Seconds(start));
        return 0;
    }

    if (command == "feed" || command == "key") {
        std::vector<DeviceId> device;
        std::vector<uint8_t> report;
        if (command == "key") {
            device.push_back(testhid::kPendantInput);
            std::string codes;
            for (int i = 2; i < argc; ++i) codes += std::string(argv[i]) + " ";
            if (argc != 5 || !ParseHex(codes, report)) return std::fputs(kUsage, stderr), 2;
            report = {4, 0, report[0], report[1], report[2], 0};
            return Feed(bus, device[0], report);
        }
        if (argc < 4 || !ParseDevices(argv[2], device, true) || device.size() != 1)
            return std::fputs(kUsage, stderr), 2;
        if (!std::strcmp(argv[3], "-")) {
            char line[1024];
            unsigned count = 0;
            while (std::fgets(line, sizeof line, stdin)) {
                report.clear();
                if (!ParseHex(line, report)) return std::fprintf(stderr, "testhid: not hexadecimal: %s", line), 2;
                if (report.empty()) continue;
                if (int r = Feed(bus, device[0], report)) return r;
                ++count;
            }
            std::printf("fed %u\n", count);
            return 0;
        }
        std::string bytes;
        for (int i = 3; i < argc; ++i) bytes += std::string(argv[i]) + " ";
        if (!ParseHex(bytes, report)) return std::fputs(kUsage, stderr), 2;
        return Feed(bus, device[0], report);
    }

    if (command == "log") {
        std::vector<testhid::LogEntry> entries;
        uint32_t lost = 0;
        if (!bus.FeatureLog(entries, argc > 2 ? uint32_t(std::strtoul(argv[2], nullptr, 10)) : 0, &lost))
            return Fail("reading the log");
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        static const char* const kKind[] = {"?", "feature", "write", "output"};
        static const char* const kOutcome[] = {"?", "accepted", "refused", "held"};
        if (lost) std::printf("(%u earlier entries no longer kept)\n", unsigned(lost));
        for (const auto& e : entries)
            std::printf("%u %.3f %s %s %s %s\n", unsigned(e.sequence), double(e.qpc) * 1000.0 / double(f.QuadPart),
                        Name(e.device).c_str(), kKind[e.kind < 4 ? e.kind : 0], kOutcome[e.outcome < 4 ? e.outcome : 0],
                        Hex(e.data, e.length < 8 ? e.length : 8).c_str());
        return 0;
    }

    if (command == "refuse" || command == "hold-features" || command == "hold-reads") {
        testhid::Status status;
        if (argc < 3 || !bus.GetStatus(status)) return argc < 3 ? (std::fputs(kUsage, stderr), 2) : Fail("status");
        testhid_behaviour b = status.behaviour;
        bool on = false;
        if (command == "refuse") {
            b.flags &= ~TESTHID_REFUSE_ALL;
            b.refuse_count = 0;
            if (!std::strcmp(argv[2], "all")) b.flags |= TESTHID_REFUSE_ALL;
            else if (std::strcmp(argv[2], "off")) b.refuse_count = uint32_t(std::strtoul(argv[2], nullptr, 10));
        } else {
            if (OnOff(argv[2], on)) return std::fputs(kUsage, stderr), 2;
            uint32_t flag = command == "hold-reads" ? TESTHID_HOLD_READS : TESTHID_HOLD_FEATURES;
            b.flags = on ? b.flags | flag : b.flags & ~flag;
        }
        return bus.SetBehaviour(b.refuse_count, b.flags) ? 0 : Fail("setting the behaviour");
    }

    if (command == "reset") {
        if (argc > 2 && !std::strcmp(argv[2], "--unplug") && !bus.UnplugAll()) return Fail("unplugging");
        return bus.Reset() ? 0 : Fail("reset");
    }

    if (command == "status") {
        testhid::Status s;
        if (!bus.GetStatus(s)) return Fail("status");
        std::printf("driver build %08X (this tool %08X), protocol %u\n", unsigned(s.build_id),
                    unsigned(TESTHID_BUILD_ID), unsigned(s.protocol));
        std::printf("refuse %u%s%s%s\n", unsigned(s.behaviour.refuse_count),
                    s.behaviour.flags & TESTHID_REFUSE_ALL ? ", refuse all" : "",
                    s.behaviour.flags & TESTHID_HOLD_FEATURES ? ", hold features" : "",
                    s.behaviour.flags & TESTHID_HOLD_READS ? ", hold reads" : "");
        std::printf("fed %u, delivered %u, dropped %u\n", unsigned(s.fed), unsigned(s.delivered), unsigned(s.dropped));
        for (uint32_t i = 0; i < s.device_count; ++i) {
            const auto& d = s.devices[i];
            std::printf("%s %s%s%s queued %u held %u\n", Name(d.device).c_str(),
                        d.state & TESTHID_STARTED ? "started" : "not started",
                        d.state & TESTHID_REMOVED ? " removed" : "",
                        d.state & TESTHID_READ_PENDING ? " read-pending" : "", unsigned(d.queued),
                        unsigned(d.held_features));
        }
        return 0;
    }

    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) { return Run(argc, argv); }
