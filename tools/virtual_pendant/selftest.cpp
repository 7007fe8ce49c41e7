// virtual-pendant-selftest.exe PATH-TO-virtual-pendant.exe
// Drives a virtual pendant (fed steps on its stdin) through the virtual HID seam, as the driver's
// virtual build does, and checks both sides of the pipe protocol.
#include "pendant/hid_api.h"
#include "pendant/pendant_ids.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

int passed = 0;
int failed = 0;

void Check(bool ok, const std::string& what) {
    (ok ? passed : failed)++;
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", what.c_str());
    std::fflush(stdout);
}

// The virtual pendant as a child process: steps go to its stdin, its lines are collected.
class Pendant {
public:
    bool Start(const char* exe) {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE inRead, outWrite;
        if (!CreatePipe(&inRead, &in_, &sa, 0) || !CreatePipe(&out_, &outWrite, &sa, 0)) return false;
        SetHandleInformation(in_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = inRead;
        si.hStdOutput = outWrite;
        si.hStdError = outWrite;
        std::string command = std::string("\"") + exe + "\" -";
        // No console of its own: nothing but the child may hold on to the test's output.
        BOOL ok = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, DETACHED_PROCESS,
                                 nullptr, nullptr, &si, &pi_);
        CloseHandle(inRead);
        CloseHandle(outWrite);
        if (!ok) return false;
        reader_ = std::thread([this] { Collect(); });
        return true;
    }

    void Step(const std::string& step) {
        std::string line = step + "\n";
        DWORD written = 0;
        WriteFile(in_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }

    size_t Mark() {
        std::lock_guard<std::mutex> lock(lock_);
        return lines_.size();
    }

    // Waits for `count` lines containing `text` among the lines from index `from` on.
    bool WaitFor(const std::string& text, size_t from, int timeoutMs = 3000, int count = 1) {
        std::unique_lock<std::mutex> lock(lock_);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int found = 0;
            for (size_t i = from; i < lines_.size(); ++i)
                if (lines_[i].find(text) != std::string::npos) ++found;
            if (found >= count) return true;
            if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) return false;
        }
    }

    // Runs a step and waits until the pendant has done it.
    bool Sync(const std::string& step, int timeoutMs = 5000) {
        static int n = 0;
        std::string tag = "sync-" + std::to_string(++n);
        size_t mark = Mark();
        Step(step);
        Step("echo " + tag);
        return WaitFor("echo " + tag, mark, timeoutMs);
    }

    DWORD Finish() {
        CloseHandle(in_);
        DWORD code = 99;
        if (WaitForSingleObject(pi_.hProcess, 10000) != WAIT_OBJECT_0) TerminateProcess(pi_.hProcess, 98);
        GetExitCodeProcess(pi_.hProcess, &code);
        if (reader_.joinable()) reader_.join();
        CloseHandle(out_);
        CloseHandle(pi_.hProcess);
        CloseHandle(pi_.hThread);
        return code;
    }

private:
    void Collect() {
        std::string partial;
        char buffer[512];
        DWORD got = 0;
        while (ReadFile(out_, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            partial.append(buffer, got);
            size_t end;
            while ((end = partial.find('\n')) != std::string::npos) {
                std::string line = partial.substr(0, end);
                partial.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                std::printf("  pendant: %s\n", line.c_str());
                std::fflush(stdout);
                std::lock_guard<std::mutex> lock(lock_);
                lines_.push_back(line);
                changed_.notify_all();
            }
        }
    }

    HANDLE in_ = nullptr, out_ = nullptr;
    PROCESS_INFORMATION pi_{};
    std::thread reader_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

HidApi& api = DefaultHidApi();

// A key report read on a thread of its own, so that a read that never completes can be cancelled
// the way the driver cancels its reader.
struct Read {
    HANDLE device = INVALID_HANDLE_VALUE;
    HANDLE thread = nullptr;
    BOOL ok = FALSE;
    DWORD got = 0;
    DWORD error = 0;
    bool cancelled = false;
    unsigned char data[16] = {};

    static DWORD WINAPI Run(void* p) {
        Read* r = static_cast<Read*>(p);
        r->data[0] = 4;
        r->ok = api.ReadFile(r->device, r->data, 6, &r->got);
        r->error = r->ok ? 0 : GetLastError();
        return 0;
    }
    void Start(HANDLE h) {
        device = h;
        thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    // Waits for the read; if it does not end in time, cancels it (repeating the cancel until the
    // read is pending) and reports it as cancelled.
    void Finish(DWORD timeoutMs) {
        if (WaitForSingleObject(thread, timeoutMs) == WAIT_TIMEOUT) {
            cancelled = true;
            for (int i = 0; i < 200 && WaitForSingleObject(thread, 0) == WAIT_TIMEOUT; ++i) {
                api.CancelSynchronousIo(thread);
                Sleep(10);
            }
            WaitForSingleObject(thread, 2000);
        }
        CloseHandle(thread);
    }
    bool Is(unsigned char b2, unsigned char b3, unsigned char b4) const {
        return ok && got == 6 && data[0] == 4 && data[1] == 0 && data[2] == b2 && data[3] == b3 &&
               data[4] == b4 && data[5] == 0;
    }
};

Read ReadReport(HANDLE device, DWORD timeoutMs = 3000) {
    Read r;
    r.Start(device);
    r.Finish(timeoutMs);
    return r;
}

std::string paths[2];

HANDLE Open(int member) {
    return api.CreateFileA(paths[member].c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           OPEN_EXISTING, 0);
}

void Close(HANDLE& h) {
    if (h != INVALID_HANDLE_VALUE) api.CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
}

bool SendFeature(HANDLE h, unsigned char b3, unsigned char b4 = 0x83) {
    unsigned char report[8] = {6, 0xFE, 0xFD, b3, b4, 0, 0, 0};
    return api.HidD_SetFeature(h, report, 8) != FALSE;
}

void TestEnumeration() {
    GUID hid;
    api.HidD_GetHidGuid(&hid);
    HDEVINFO set = api.SetupDiGetClassDevsA(&hid, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    Check(set != INVALID_HANDLE_VALUE, "a device interface set is given");
    const char* expected[2] = {"\\\\.\\pipe\\veltra-virtual-pendant-feature",
                               "\\\\.\\pipe\\veltra-virtual-pendant-input"};
    for (DWORD i = 0; i < 2; ++i) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        BOOL ok = api.SetupDiEnumDeviceInterfaces(set, &hid, i, &data);
        Check(ok && IsEqualGUID(data.InterfaceClassGuid, hid),
              "member " + std::to_string(i) + " is listed with the HID class");
        alignas(8) char small[12] = {};
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(small);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        ok = api.SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof small);
        Check(!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER,
              "a too small detail buffer fails with ERROR_INSUFFICIENT_BUFFER");
        std::vector<char> buffer(1024);
        detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        ok = api.SetupDiGetDeviceInterfaceDetailA(set, &data, detail, 1024);
        Check(ok && std::strcmp(detail->DevicePath, expected[i]) == 0,
              std::string("member ") + std::to_string(i) + " has the path " + expected[i]);
        paths[i] = detail->DevicePath;
    }
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    Check(!api.SetupDiEnumDeviceInterfaces(set, &hid, 2, &data) &&
              GetLastError() == ERROR_NO_MORE_ITEMS,
          "member 2 fails with ERROR_NO_MORE_ITEMS");
    Check(api.SetupDiDestroyDeviceInfoList(set) != FALSE, "the set is destroyed");
}

void TestIdentity(HANDLE feature, HANDLE input) {
    HIDD_ATTRIBUTES a{};
    a.Size = sizeof a;
    Check(api.HidD_GetAttributes(feature, &a) && a.VendorID == kPendantVendorId &&
              a.ProductID == kPendantProductId,
          "the feature interface has the pendant's vendor and product");
    a = HIDD_ATTRIBUTES{};
    Check(api.HidD_GetAttributes(input, &a) && a.VendorID == kPendantVendorId &&
              a.ProductID == kPendantProductId,
          "the input interface has the pendant's vendor and product");
    Check(!api.HidD_GetAttributes(GetCurrentProcess(), &a), "a foreign handle has no attributes");

    const USHORT wantFeature[2] = {8, 0}, wantInput[2] = {0, 6};
    HANDLE handles[2] = {feature, input};
    for (int i = 0; i < 2; ++i) {
        PHIDP_PREPARSED_DATA p = nullptr;
        HIDP_CAPS caps{};
        bool ok = api.HidD_GetPreparsedData(handles[i], &p) && p &&
                  api.HidP_GetCaps(p, &caps) == HIDP_STATUS_SUCCESS;
        Check(api.HidD_FreePreparsedData(p) != FALSE, "preparsed data is freed");
        Check(ok && caps.FeatureReportByteLength == wantFeature[i] &&
                  caps.InputReportByteLength == wantInput[i],
              std::string(i ? "input" : "feature") + " capabilities are " +
                  std::to_string(wantFeature[i]) + "/" + std::to_string(wantInput[i]));
    }
}

void TestKeys(Pendant& pendant, HANDLE input) {
    pendant.Step("key 12 00 34");
    Check(ReadReport(input).Is(0x12, 0x00, 0x34), "key 12 00 34 arrives as 04 00 12 00 34 00");
    pendant.Step("release");
    Check(ReadReport(input).Is(0, 0, 0), "release arrives as 04 00 00 00 00 00");
    pendant.Step("key 01 02 03");
    pendant.Step("key 01 02 03");
    bool both = ReadReport(input).Is(1, 2, 3);
    both = ReadReport(input).Is(1, 2, 3) && both;
    Check(both, "two equal key steps give two reports");

    pendant.Step("flood 100");
    int inOrder = 0;
    for (int i = 0; i < 100; ++i) {
        Read r = ReadReport(input);
        if (!r.Is(static_cast<unsigned char>(1 + i % 254), static_cast<unsigned char>(i / 254), 1))
            break;
        ++inOrder;
    }
    Check(inOrder == 100, "flood 100 delivers 100 reports in order (" + std::to_string(inOrder) + ")");
}

void TestFeatures(Pendant& pendant, HANDLE feature, HANDLE input) {
    size_t mark = pendant.Mark();
    Check(SendFeature(feature, 0x00), "a feature report is accepted");
    Check(pendant.WaitFor("feature 06 FE FD 00 83 00 00 00 accepted", mark),
          "the pendant prints the accepted report");

    unsigned char seven[8] = {6, 1, 2, 3, 4, 5, 6, 7};
    Check(!api.HidD_SetFeature(feature, seven, 7), "a 7-byte feature report is not sent");
    Check(!SendFeature(input, 0x00), "no feature report goes to the input interface");

    Check(pendant.Sync("refuse 1"), "refuse 1 is taken");
    mark = pendant.Mark();
    Check(!SendFeature(feature, 0x01), "the refused report fails");
    Check(SendFeature(feature, 0x02), "the next report is accepted again");
    Check(pendant.WaitFor("feature 06 FE FD 01 83 00 00 00 refused", mark),
          "the pendant prints the refused report");

    mark = pendant.Mark();
    pendant.Step("expect-frame 06 FE FD .. 83 00 00 00");
    Check(pendant.WaitFor("expect-frame ok 06 FE FD 00 83 00 00 00", mark),
          "expect-frame matches the first report received");
    mark = pendant.Mark();
    pendant.Step("expect-frame 06FEFDAA8300....");
    Sleep(300);
    Check(SendFeature(feature, 0xAA), "a report sent while expect-frame waits is accepted");
    Check(pendant.WaitFor("expect-frame ok 06 FE FD AA 83 00 00 00", mark),
          "expect-frame waits for a report that comes later");
    mark = pendant.Mark();
    pendant.Step("expect-frame 06 FE FD 00 83 00 00 00");
    Check(pendant.WaitFor("expect-frame FAILED", mark),
          "expect-frame does not match a report before the last match");
}

void TestInputConnections(Pendant& pendant, HANDLE& input) {
    size_t mark = pendant.Mark();
    HANDLE second = Open(1);
    Check(second != INVALID_HANDLE_VALUE && pendant.WaitFor("input connected", mark),
          "a second input connection is made");
    pendant.Step("key 05 06 07");
    Check(ReadReport(second).Is(5, 6, 7), "keys go to the input connection made last");
    Read first = ReadReport(input, 300);
    Check(first.cancelled && !first.ok && first.error == ERROR_OPERATION_ABORTED,
          "the earlier connection gets nothing, and its blocked read is cancelled");
    mark = pendant.Mark();
    Close(second);
    Check(pendant.WaitFor("input closed", mark), "the pendant sees the connection closed");
    pendant.Step("key 08 00 00");
    Check(ReadReport(input).Is(8, 0, 0), "keys go back to the remaining connection");

    pendant.Step("raw 04 00 11 22 33");
    Read r = ReadReport(input);
    Check(!r.ok && r.error == ERROR_INVALID_DATA, "a 5-byte report fails the read");
    pendant.Step("raw 04001122334455");
    r = ReadReport(input);
    Check(!r.ok && r.error == ERROR_MORE_DATA, "a 7-byte report fails the read");

    // The driver closes and reopens in quick succession; each open must find a waiting instance,
    // at worst after the seam's wait for a busy pipe.
    mark = pendant.Mark();
    int opened = 0;
    for (int i = 0; i < 10; ++i) {
        HANDLE f = Open(0), k = Open(1);
        opened += (f != INVALID_HANDLE_VALUE) + (k != INVALID_HANDLE_VALUE);
        Close(f);
        Close(k);
    }
    Check(opened == 20, "20 quick opens all succeed (" + std::to_string(opened) + ")");
    HANDLE burst[6];
    opened = 0;
    for (HANDLE& h : burst) opened += (h = Open(1)) != INVALID_HANDLE_VALUE;
    for (HANDLE& h : burst) Close(h);
    Check(opened == 6, "6 input connections opened back to back all succeed");
    Check(pendant.WaitFor("input closed", mark, 5000, 16) &&
              pendant.WaitFor("feature closed", mark, 5000, 10),
          "the pendant sees all 26 of them closed");

    mark = pendant.Mark();
    Close(input);
    Check(pendant.WaitFor("input closed", mark), "closing the last input connection is seen");
    mark = pendant.Mark();
    pendant.Step("key 09 00 00");
    Check(pendant.WaitFor("dropped key 04 00 09 00 00 00 (no input connection)", mark),
          "a key with no input connection is dropped");
    mark = pendant.Mark();
    input = Open(1);
    DWORD error = GetLastError();
    Check(input != INVALID_HANDLE_VALUE && pendant.WaitFor("input connected", mark),
          "the input interface opens again (error " + std::to_string(error) + ")");
}

void TestUnplug(Pendant& pendant, HANDLE& feature, HANDLE& input) {
    Read pending;
    pending.Start(input);
    Sleep(200);
    size_t mark = pendant.Mark();
    pendant.Step("unplug");
    Check(pendant.WaitFor("unplugged", mark), "the pendant unplugs");
    pending.Finish(2000);
    Check(!pending.cancelled && !pending.ok, "unplugging fails a pending read (error " +
                                                 std::to_string(pending.error) + ")");
    Check(!SendFeature(feature, 0x10), "a feature report fails while unplugged");
    Close(input);
    Close(feature);
    HANDLE h = Open(0);
    Check(h == INVALID_HANDLE_VALUE, "the feature interface does not open while unplugged");
    Close(h);
    h = Open(1);
    Check(h == INVALID_HANDLE_VALUE, "the input interface does not open while unplugged");
    Close(h);
    Check(pendant.Sync("key 01 00 00"), "a key while unplugged is dropped");

    mark = pendant.Mark();
    pendant.Step("plug");
    Check(pendant.WaitFor(" plugged", mark), "the pendant plugs in again");
    feature = Open(0);
    input = Open(1);
    Check(feature != INVALID_HANDLE_VALUE && input != INVALID_HANDLE_VALUE,
          "both interfaces open after plug");
    Check(pendant.WaitFor("input connected", mark), "the new input connection is seen");
    pendant.Step("key 0A 0B 0C");
    Check(ReadReport(input).Is(0x0A, 0x0B, 0x0C), "keys arrive after plug");
    Check(SendFeature(feature, 0x20), "feature reports are accepted after plug");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: virtual-pendant-selftest PATH-TO-virtual-pendant.exe\n");
        return 2;
    }
    Pendant pendant;
    if (!pendant.Start(argv[1])) {
        std::printf("cannot start %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    Check(pendant.WaitFor(" plugged", 0, 10000), "the pendant starts plugged in");

    TestEnumeration();
    size_t mark = pendant.Mark();
    HANDLE feature = Open(0);
    HANDLE input = Open(1);
    Check(feature != INVALID_HANDLE_VALUE, "the feature interface opens");
    Check(input != INVALID_HANDLE_VALUE, "the input interface opens");
    Check(pendant.WaitFor("feature connected", mark) && pendant.WaitFor("input connected", mark),
          "the pendant sees both connections");
    if (feature != INVALID_HANDLE_VALUE && input != INVALID_HANDLE_VALUE) {
        TestIdentity(feature, input);
        TestKeys(pendant, input);
        TestFeatures(pendant, feature, input);
        TestInputConnections(pendant, input);
        TestUnplug(pendant, feature, input);
    }
    Close(feature);
    Close(input);
    Check(api.opened.load() == api.closed.load() && api.closeFailed.load() == 0,
          "every opened handle was closed once (" + std::to_string(api.opened.load()) + ")");

    mark = pendant.Mark();
    pendant.Step("quit");
    DWORD code = pendant.Finish();
    Check(pendant.WaitFor("done, 1 failed", mark, 100),
          "the pendant counts the one failed expect-frame");
    Check(code == 1, "the pendant exits with 1 after a failed expect-frame");

    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
