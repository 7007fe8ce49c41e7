// Soak of the driver's virtual build as a process: unplug cycles, key floods, unplug racing a
// close and a feature send, and hostile inputs, with the virtual pendant and the stand-in host
// as processes of their own. The suite runs the short form; tools/soak.sh the long one:
//   soak_tests.exe [--cycles N] [--races N] [--keys N] [--instances N] [gtest flags]
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "demo/driver_harness.h"
#include "host_client.h"
#include "pendant/seam_tally.h"
#include "support/test_util.h"

using harness::DriverProcess;
using harness::HookRecords;
using harness::PendantProcess;

namespace {

struct SoakSize {
    int cycles = 5;       // unplug/replug cycles
    int races = 4;        // unplug racing a close and a feature send
    int keys = 1000;      // key reports in the flood
    int instances = 10;   // second instances started
} g_size;

constexpr DWORD kStartMs = 15000;
constexpr double kReconnectBoundMs = 4400;  // two status refreshes
constexpr UINT kPendantKeyMessage = 0x4B1;

std::string BinExe(const char* name) { return ExeDir() + name; }
std::string SoakExe(const char* variant) { return ExeDir() + "..\\soak\\" + variant + "\\veltra-virtual.exe"; }

int ThreadCount(DWORD pid) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 e = {};
    e.dwSize = sizeof e;
    int n = 0;
    for (BOOL more = Thread32First(snap, &e); more; more = Thread32Next(snap, &e))
        n += e.th32OwnerProcessID == pid;
    CloseHandle(snap);
    return n;
}

// The three key codes of a key report as the word KeyBoardProc receives.
uint32_t Word(unsigned b2, unsigned b3, unsigned b4) { return b2 | (b3 << 8) | (b4 << 16); }

std::string KeyStep(uint32_t word) {
    char step[32];
    std::snprintf(step, sizeof step, "key %02X %02X %02X", word & 0xFF, (word >> 8) & 0xFF, (word >> 16) & 0xFF);
    return step;
}

// The driver, the virtual pendant (and a host when asked) as one running set.
class Session {
public:
    ~Session() { Stop(); }

    bool Start(const std::string& driverExe) {
        if (!hooks.Block() && !hooks.Attach()) return false;
        if (!pendant.Start(BinExe("virtual-pendant.exe"), false)) return false;
        if (pendant.WaitForExact("plugged", 0, kStartMs) < 0) return false;
        if (!driver.Start(driverExe)) return false;
        if (!WaitUntil([&] { return driver.Window() != nullptr; }, kStartMs)) return false;
        window = driver.Window();
        // The start-up probe opens and closes the pendant; a status refresh reopens it.
        return WaitUntil([&] { return pendant.Count("input closed") >= 1 && pendant.InputOpen(); }, 10000);
    }

    void Stop() {
        if (driver.Running()) {
            if (window) PostMessageA(window, WM_COMMAND, harness::kExitCommand, 0);
            driver.WaitExit(5000);
        }
        host.Quit();
        pendant.Stop();
    }

    bool Answers() {
        DWORD_PTR result = 0;
        return window && SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result) != 0;
    }

    bool Step(const std::string& step) { return pendant.Step(step) && pendant.Sync(); }

    // A key press and release reach KeyBoardProc, once the driver holds the pendant again.
    bool KeyReaches(DWORD timeoutMs = 8000) {
        DWORD start = GetTickCount();
        while (GetTickCount() - start < timeoutMs) {
            if (!WaitUntil([&] { return pendant.InputOpen(); }, 1000)) continue;
            LONG before = hooks.Calls(HravikKeyBoardProc);
            pendant.Step("key 21 00 00");
            pendant.Step("release");
            if (hooks.WaitCalls(HravikKeyBoardProc, before + 2, 1500)) return true;
        }
        return false;
    }

    // Closes any message box the driver shows, so a failed reopen cannot block the soak.
    void DismissBoxes() {
        for (const char* title : {"Infor", "Information"})
            if (HWND box = DriverProcess::FindWindowOf(driver.Pid(), title, nullptr))
                PostMessageA(box, WM_COMMAND, IDOK, 0);
    }

    // Brings the driver back to holding the pendant, unlocking it if a lock won a race.
    bool Reconnect() {
        for (int attempt = 0; attempt < 4; ++attempt) {
            if (WaitUntil([&] { return pendant.InputOpen(); }, 2600)) return true;
            DismissBoxes();
            PostMessageA(window, WM_COMMAND, harness::kLockCommand, 0);
            PumpFor(200);
            DismissBoxes();
        }
        return pendant.InputOpen();
    }

    // The driver hooks a host only while it holds the pendant.
    bool HostInFront() {
        WaitUntil([&] { return pendant.InputOpen(); }, 6000);
        LONG before = hooks.Calls(HravikInstallhook);
        return host.Start(BinExe("ncstudio-v8.exe")) && host.Front("main") &&
               hooks.WaitCalls(HravikInstallhook, before + 1, 5000);
    }

    std::vector<uint32_t> KeyDownWords(LONG since) {
        std::vector<uint32_t> words;
        for (const HravikRecord& r : hooks.Since(since, HravikKeyBoardProc))
            if (r.args[0] == WM_KEYDOWN) words.push_back(static_cast<uint32_t>(r.args[1]));
        return words;
    }

    PendantProcess pendant;
    DriverProcess driver;
    HookRecords hooks;
    HostProcess host;
    HWND window = nullptr;
};

void ExpectCleanTally(DWORD pid, bool allClosed) {
    SeamTally* t = SeamTallyMap(pid, false);
    ASSERT_NE(t, nullptr) << "the virtual seam published no tally";
    EXPECT_EQ(t->closeFailed, 0) << "CloseHandle failed on a device handle";
    EXPECT_EQ(t->closeUnknown, 0) << "a device handle was closed twice";
    if (allClosed) {
        EXPECT_EQ(t->opened, t->closed) << "a device handle was left open";
    }
    std::printf("seam tally: opened %ld, closed %ld, close failed %ld, double closes %ld\n", t->opened, t->closed,
                t->closeFailed, t->closeUnknown);
    UnmapViewOfFile(t);
}

// ---- the link under cycles, floods and races; one driver for the whole suite ----

class SoakLink : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s = new Session;
        started = s->Start(BinExe("veltra-virtual.exe"));
    }
    static void TearDownTestSuite() {
        delete s;
        s = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(started) << "the driver did not start and connect"; }

    static Session* s;
    static bool started;
};
Session* SoakLink::s = nullptr;
bool SoakLink::started = false;

TEST_F(SoakLink, ReplugCyclesReconnectWithoutLeaksOrLostKeys) {
    DWORD pid = s->driver.Pid();
    int threadsAtStart = ThreadCount(pid);
    SeamTally* tally = SeamTallyMap(pid, false);
    ASSERT_NE(tally, nullptr);
    LONG heldAtStart = tally->opened - tally->closed;
    LONG mark = s->hooks.Mark();
    std::vector<uint32_t> sent;
    double slowest = 0;
    for (int c = 0; c < g_size.cycles; ++c) {
        ASSERT_TRUE(s->Step("unplug"));
        ASSERT_TRUE(WaitUntil([&] { return !s->pendant.InputOpen(); }, 3000)) << "cycle " << c;
        size_t from = s->pendant.LineCount();
        ASSERT_TRUE(s->Step("plug"));
        int plugged = s->pendant.FindExact("plugged", from);
        ASSERT_GE(plugged, 0);
        int connected = s->pendant.WaitFor("input connected", plugged, 10000);
        ASSERT_GE(connected, 0) << "no reconnection in cycle " << c;
        double gap = s->pendant.At(connected).ms - s->pendant.At(plugged).ms;
        slowest = gap > slowest ? gap : slowest;
        EXPECT_LE(gap, kReconnectBoundMs) << "cycle " << c;
        ASSERT_TRUE(WaitUntil([&] { return s->pendant.InputOpen(); }, 3000));
        uint32_t word = Word(1 + c % 250, 0x40 + (c / 250) % 64, 0);
        LONG before = s->hooks.Calls(HravikKeyBoardProc);
        s->pendant.Step(KeyStep(word));
        s->pendant.Step("release");
        sent.push_back(word);
        ASSERT_TRUE(s->hooks.WaitCalls(HravikKeyBoardProc, before + 2, 3000)) << "key of cycle " << c;
    }
    PumpFor(300);
    EXPECT_EQ(s->KeyDownWords(mark), sent) << "a key was lost or duplicated across the cycles";
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount(pid) == threadsAtStart; }, 3000))
        << "threads: " << ThreadCount(pid) << ", at the start " << threadsAtStart;
    EXPECT_EQ(tally->opened - tally->closed, heldAtStart) << "device handles piled up";
    std::printf("%d replug cycles, slowest reconnection %.0f ms, threads %d\n", g_size.cycles, slowest,
                ThreadCount(pid));
    UnmapViewOfFile(tally);
    ExpectCleanTally(pid, false);
}

TEST_F(SoakLink, KeyFloodForwardedAllInOrder) {
    ASSERT_TRUE(WaitUntil([&] { return s->pendant.InputOpen(); }, 5000));
    LONG mark = s->hooks.Mark();
    LONG before = s->hooks.Calls(HravikKeyBoardProc);
    size_t from = s->pendant.LineCount();
    std::string flood = "flood " + std::to_string(g_size.keys);
    ASSERT_TRUE(s->pendant.Step(flood));
    int done = s->pendant.WaitFor(flood + ":", from, 60000);
    ASSERT_GE(done, 0) << "the flood did not end";
    EXPECT_EQ(s->pendant.At(done).text, flood + ": " + std::to_string(g_size.keys) + " sent");
    EXPECT_TRUE(s->hooks.WaitCalls(HravikKeyBoardProc, before + g_size.keys, 30000));
    std::vector<uint32_t> words = s->KeyDownWords(mark);
    ASSERT_EQ(words.size(), static_cast<size_t>(g_size.keys));
    for (int i = 0; i < g_size.keys; ++i)
        ASSERT_EQ(words[i], Word(1 + i % 254, (i / 254) % 256, 1)) << "report " << i << " out of order";
    s->pendant.Step("release");
}

TEST_F(SoakLink, UnplugRacingCloseAndFeatureSendLeavesNoHandleBehind) {
    ASSERT_TRUE(s->HostInFront()) << "the host was not hooked";
    HravikShared* block = s->hooks.Block();
    for (int c = 0; c < g_size.races; ++c) {
        ASSERT_TRUE(s->Reconnect()) << "race " << c << ": the driver did not hold the pendant";
        // A new step makes the poller send a frame; a key makes the next frame forced too.
        block->result[HravikGetMaStep] = 1 + c % 60;
        s->pendant.Step("key 33 00 00");
        PumpFor(c % 4 * 20);
        if (c % 2) {
            PostMessageA(s->window, WM_COMMAND, harness::kLockCommand, 0);
            s->pendant.Step("unplug");
        } else {
            s->pendant.Step("unplug");
            PostMessageA(s->window, WM_COMMAND, harness::kLockCommand, 0);
        }
        ASSERT_TRUE(s->pendant.Sync());
        PumpFor(50);
        size_t from = s->pendant.LineCount();
        ASSERT_TRUE(s->Step("plug"));
        ASSERT_GE(s->pendant.FindExact("plugged", from), 0);
        s->pendant.Step("release");
    }
    ASSERT_TRUE(s->Reconnect());
    ASSERT_TRUE(s->Answers());
    // Locked, the driver holds nothing: every handle it opened must have been closed once.
    PostMessageA(s->window, WM_COMMAND, harness::kLockCommand, 0);
    ASSERT_TRUE(WaitUntil([&] { return !s->pendant.InputOpen(); }, 3000));
    PumpFor(200);
    ExpectCleanTally(s->driver.Pid(), true);
    s->host.Quit();
}

// ---- hostile inputs: each survived, the driver still working afterwards ----

class SoakHostile : public ::testing::Test {
protected:
    static void TearDownTestSuite() {
        delete shared;
        shared = nullptr;
    }
    // The common driver (full hook library), started on first use.
    static Session* Shared() {
        if (!shared) {
            shared = new Session;
            if (!shared->Start(BinExe("veltra-virtual.exe"))) {
                delete shared;
                shared = nullptr;
            }
        }
        return shared;
    }
    static void DropShared() {
        delete shared;
        shared = nullptr;
    }
    static Session* shared;
};
Session* SoakHostile::shared = nullptr;

// A library variant the driver cannot use: it must run on, keep the pendant and answer.
void ExpectRunsWithUnusableLibrary(const char* variant) {
    Session s;
    ASSERT_TRUE(s.Start(SoakExe(variant))) << "the driver with the " << variant << " library did not start";
    LONG before = s.hooks.Calls(HravikKeyBoardProc);
    s.pendant.Step("key 21 00 00");
    s.pendant.Step("release");
    ASSERT_TRUE(s.pendant.Sync());
    PumpFor(300);
    EXPECT_TRUE(s.Answers());
    EXPECT_TRUE(s.driver.Running());
    EXPECT_TRUE(s.pendant.InputOpen()) << "the key must not cost the link";
    EXPECT_EQ(s.hooks.Calls(HravikKeyBoardProc), before) << "no usable library, no call";
    ExpectCleanTally(s.driver.Pid(), false);
}

TEST_F(SoakHostile, HookLibraryMissingEveryExport) {
    DropShared();
    ExpectRunsWithUnusableLibrary("none");
}

// A 32-bit library beside the 64-bit driver, or a 64-bit one beside the 32-bit driver.
TEST_F(SoakHostile, HookLibraryOfTheOtherBitness) {
    DropShared();
    ExpectRunsWithUnusableLibrary("otherbits");
}

TEST_F(SoakHostile, NoHookLibraryAtAll) {
    DropShared();
    ExpectRunsWithUnusableLibrary("nolib");
}

TEST_F(SoakHostile, DeviceChangeWithNullOrForeignHeader) {
    Session* s = Shared();
    ASSERT_NE(s, nullptr);
    // A null header with an arrival or removal code: sent from a child, because Wine copies the
    // header across processes and would read the null pointer in the sender.
    for (const char* code : {"8000", "8004", "0007"}) {
        ChildProcess child;
        char line[256];
        std::snprintf(line, sizeof line, "\"%s\" --send-devicechange %llx %s", BinExe("soak_tests.exe").c_str(),
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(s->window)), code);
        ASSERT_TRUE(child.Start(line));
        child.Wait(10000);
        EXPECT_TRUE(s->Answers()) << "after a null header with code " << code;
    }
    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1 << 3;
    DWORD_PTR result = 0;
    for (WPARAM code : {WPARAM(DBT_DEVICEARRIVAL), WPARAM(DBT_DEVICEREMOVECOMPLETE)})
        SendMessageTimeoutA(s->window, WM_DEVICECHANGE, code, reinterpret_cast<LPARAM>(&volume), SMTO_ABORTIFHUNG,
                            5000, &result);
    EXPECT_TRUE(s->Answers());
    EXPECT_TRUE(s->KeyReaches());
}

TEST_F(SoakHostile, KeyReportsOfTheWrongLength) {
    Session* s = Shared();
    ASSERT_NE(s, nullptr);
    for (const char* raw : {"raw 04 00 12", "raw 04 00 12 00 34 00 00 00", "raw 04"}) {
        ASSERT_TRUE(WaitUntil([&] { return s->pendant.InputOpen(); }, 6000)) << raw;
        ASSERT_TRUE(s->Step(raw));
        EXPECT_TRUE(s->Answers()) << raw;
        EXPECT_TRUE(s->KeyReaches()) << "after " << raw;
    }
    ExpectCleanTally(s->driver.Pid(), false);
}

TEST_F(SoakHostile, PendantKeyMessageFloodFromAnotherProcess) {
    Session* s = Shared();
    ASSERT_NE(s, nullptr);
    for (int i = 0; i < 5000; ++i)
        PostMessageA(s->window, kPendantKeyMessage, i % 2 ? WM_KEYUP : WM_KEYDOWN, i % 2 ? 0 : 0x11);
    EXPECT_TRUE(s->Answers());
    EXPECT_TRUE(s->KeyReaches());
}

TEST_F(SoakHostile, HostWindowWithThousandCharacterTitleInFront) {
    Session* s = Shared();
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(s->host.Start(BinExe("ncstudio-v8.exe")));
    ASSERT_TRUE(s->host.Open("long", "titled-repeat N 1000") != nullptr);
    ASSERT_TRUE(s->host.Front("long"));
    PumpFor(800);  // a few ticks look at it
    EXPECT_TRUE(s->Answers());
    EXPECT_TRUE(s->KeyReaches());
    s->host.Quit();
}

TEST_F(SoakHostile, HookLibraryCallsThatHang) {
    Session* s = Shared();
    ASSERT_NE(s, nullptr);
    HravikShared* block = s->hooks.Block();
    ASSERT_TRUE(s->HostInFront());
    for (int id = 0; id < HravikExportCount; ++id) block->hangMs[id] = 3000;
    LONG before = s->hooks.Calls(HravikKeyBoardProc);
    s->pendant.Step("key 44 00 00");
    s->pendant.Step("release");
    PumpFor(500);
    EXPECT_TRUE(s->Answers()) << "a hung library call froze the window";
    for (int id = 0; id < HravikExportCount; ++id) block->hangMs[id] = 0;
    EXPECT_TRUE(s->hooks.WaitCalls(HravikKeyBoardProc, before + 2, 15000));
    s->host.Quit();
    EXPECT_TRUE(s->KeyReaches(12000));
}

TEST_F(SoakHostile, HostExitsWhileBeingHooked) {
    Session* s = Shared();
    ASSERT_NE(s, nullptr);
    LONG before = s->hooks.Calls(HravikInstallhook);
    ASSERT_TRUE(s->host.Start(BinExe("ncstudio-v8.exe")));
    ASSERT_TRUE(s->host.Front("main"));
    ASSERT_TRUE(s->hooks.WaitCalls(HravikInstallhook, before + 1, 5000));
    TerminateProcess(s->host.Process(), 1);
    PumpFor(800);
    EXPECT_TRUE(s->Answers());
    EXPECT_TRUE(s->KeyReaches());
    s->host.Quit();
}

TEST_F(SoakHostile, PendantRefusingEveryFeatureReport) {
    Session* s = Shared();
    ASSERT_NE(s, nullptr);
    // Hooked first: the driver hooks a host only while it holds the pendant, and refusals drop it.
    ASSERT_TRUE(s->HostInFront());
    ASSERT_TRUE(s->Step("refuse 1000000"));
    HravikShared* block = s->hooks.Block();
    for (int i = 0; i < 6; ++i) {
        block->result[HravikGetMaStep] = 10 + i;  // each change is a frame the pendant refuses
        PumpFor(400);
    }
    EXPECT_TRUE(s->Answers());
    EXPECT_TRUE(s->driver.Running());
    ExpectCleanTally(s->driver.Pid(), false);
    s->host.Quit();
    DropShared();  // the pendant keeps refusing; the next test gets a fresh one
}

TEST_F(SoakHostile, SecondInstanceStartedRepeatedly) {
    Session* s = Shared();
    ASSERT_NE(s, nullptr);
    for (int i = 0; i < g_size.instances; ++i) {
        DriverProcess second;
        ASSERT_TRUE(second.Start(BinExe("veltra-virtual.exe")));
        ASSERT_TRUE(second.WaitExit(10000)) << "instance " << i << " kept running";
    }
    EXPECT_TRUE(s->driver.Running());
    EXPECT_TRUE(s->Answers());
    EXPECT_TRUE(s->KeyReaches());
}

// Child mode: sends WM_DEVICECHANGE with a null header to the window, then ends.
int SendDeviceChange(const char* hwndHex, const char* codeHex) {
    HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(std::strtoull(hwndHex, nullptr, 16)));
    WPARAM code = static_cast<WPARAM>(std::strtoul(codeHex, nullptr, 16));
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, WM_DEVICECHANGE, code, 0, SMTO_ABORTIFHUNG, 5000, &result);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--send-devicechange") == 0) return SendDeviceChange(argv[2], argv[3]);
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i + 1 < argc; i += 2) {
        int value = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--cycles") == 0) g_size.cycles = value;
        else if (std::strcmp(argv[i], "--races") == 0) g_size.races = value;
        else if (std::strcmp(argv[i], "--keys") == 0) g_size.keys = value;
        else if (std::strcmp(argv[i], "--instances") == 0) g_size.instances = value;
        else {
            std::fprintf(stderr, "soak_tests: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    std::printf("soak: %d replug cycles, %d races, %d keys, %d second instances\n", g_size.cycles, g_size.races,
                g_size.keys, g_size.instances);
    return RUN_ALL_TESTS();
}
