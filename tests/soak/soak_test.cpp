// Soak of veltra.exe as a process on the real HID calls, with the test HID device as the pendant
// and the stand-in host: unplug cycles, key floods, unplug racing a close and a feature send, and
// hostile inputs. The suite runs the short form; tools/soak.sh the long one:
//   soak_tests.exe [--cycles N] [--races N] [--keys N] [--instances N] [gtest flags]
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host_client.h"
#include "support/harness.h"

using harness::DriverProcess;

namespace {

struct SoakSize {
    int cycles = 5;       // unplug/replug cycles
    int races = 4;        // unplug racing a close and a feature send
    int keys = 1000;      // key reports in the flood
    int instances = 10;   // second instances started
} g_size;

constexpr DWORD kReconnectBoundMs = 4400 + 1000;  // two status refreshes, and the reconnection's own time
constexpr UINT kPendantKeyMessage = 0x4B1;

std::string BinExe(const char* name) { return ExeDir() + name; }
std::string SoakExe(const char* variant) { return ExeDir() + "..\\beside\\" + variant + "\\veltra.exe"; }

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

// The driver, the pendant and a host, with what the soak does to them again and again.
class Session : public harness::DriverSession {
public:
    bool Start(const std::string& driverExe) { return StartConnected(driverExe); }

    // Brings the driver back to forwarding keys, unlocking it if a lock won a race.
    bool Reconnect() {
        for (int attempt = 0; attempt < 4; ++attempt) {
            if (Forwarding(2600)) return true;
            DismissBoxes();
            PostMessageA(driver.Window(), WM_COMMAND, harness::kLockCommand, 0);
            PumpFor(200);
            DismissBoxes();
        }
        return Forwarding(1000);
    }

    // The driver hooks a host only while it holds the pendant.
    bool HostInFront() { return Forwarding() && StartHostInFront(); }

    // Key-down words since the mark, without the probes that looked for the link.
    std::vector<uint32_t> KeyDownWords(LONG since) {
        std::vector<uint32_t> words;
        for (const auto& call : hooks.KeyCalls(since))
            if (call.first == WM_KEYDOWN && call.second != harness::kProbeKey) words.push_back(call.second);
        return words;
    }
};

// ---- the link under cycles, floods and races; one driver for the whole suite ----

class SoakLink : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s = new Session;
        started = s->Start(BinExe("veltra.exe"));
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
    // Taken after the first cycle: the first replug opens a handle or two that Wine keeps.
    long handlesAtStart = -1;
    std::string typesAtStart, types;
    LONG mark = s->hooks.Mark();
    std::vector<uint32_t> sent;
    DWORD slowest = 0;
    for (int c = 0; c < g_size.cycles; ++c) {
        ASSERT_TRUE(s->pendant.Unplug()) << "cycle " << c;
        PumpFor(100 + c % 5 * 100);
        DWORD plugged = GetTickCount();
        ASSERT_TRUE(s->pendant.Plug()) << "cycle " << c;
        ASSERT_TRUE(s->Forwarding(10000)) << "no reconnection in cycle " << c;
        DWORD gap = GetTickCount() - plugged;
        slowest = gap > slowest ? gap : slowest;
        EXPECT_LE(gap, kReconnectBoundMs) << "cycle " << c;
        uint32_t word = Word(1 + c % 250, 0x40 + (c / 250) % 64, 0);
        LONG before = s->hooks.Calls(HravikKeyBoardProc);
        s->pendant.Key(word & 0xFF, (word >> 8) & 0xFF, 0);
        s->pendant.Release();
        sent.push_back(word);
        ASSERT_TRUE(s->hooks.WaitCalls(HravikKeyBoardProc, before + 2, 3000)) << "key of cycle " << c;
        if (c == 0) handlesAtStart = harness::ProcessHandleCount(pid, &typesAtStart);
    }
    PumpFor(300);
    EXPECT_EQ(s->KeyDownWords(mark), sent) << "a key was lost or duplicated across the cycles";
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount(pid) == threadsAtStart; }, 3000))
        << "threads: " << ThreadCount(pid) << ", at the start " << threadsAtStart;
    EXPECT_TRUE(WaitUntil([&] { return harness::ProcessHandleCount(pid, &types) <= handlesAtStart; }, 3000))
        << "handles by type:" << types << "; at the start" << typesAtStart;
    std::printf("%d replug cycles, slowest reconnection %lu ms, threads %d, handles %ld\n", g_size.cycles,
                static_cast<unsigned long>(slowest), ThreadCount(pid), harness::ProcessHandleCount(pid));
}

// At the pendant's own pace: a USB full-speed interrupt endpoint sends at most one report a
// millisecond. (Fed back to back, faster than any pendant, the HID class's 512-report buffer is
// what bounds it.)
TEST_F(SoakLink, KeyFloodForwardedAllInOrder) {
    ASSERT_TRUE(s->Forwarding());
    LONG mark = s->hooks.Mark();
    double start = harness::NowMs();
    for (int i = 0; i < g_size.keys; ++i) {
        while (harness::NowMs() < start + i) Sleep(1);
        ASSERT_TRUE(s->pendant.Key(1 + i % 254, (i / 254) % 256, 1)) << i;
    }
    EXPECT_TRUE(WaitUntil([&] { return s->KeyDownWords(mark).size() >= static_cast<size_t>(g_size.keys); }, 30000));
    std::vector<uint32_t> words = s->KeyDownWords(mark);
    ASSERT_EQ(words.size(), static_cast<size_t>(g_size.keys));
    for (int i = 0; i < g_size.keys; ++i)
        ASSERT_EQ(words[i], Word(1 + i % 254, (i / 254) % 256, 1)) << "report " << i << " out of order";
    s->pendant.Release();
}

TEST_F(SoakLink, UnplugRacingCloseAndFeatureSendLeavesNoHandleBehind) {
    ASSERT_TRUE(s->HostInFront()) << "the host was not hooked";
    HWND window = s->driver.Window();
    HravikShared* block = s->hooks.Block();
    std::string lockedTypes;
    long lockedHandles = -1;
    // The baseline is taken locked after the first race: the first device change makes the system
    // create what it keeps for the process's notifications (a thread and an event under Wine), once.
    for (int c = 0; c < g_size.races; ++c) {
        if (c == 1) {
            // Locked from the menu by the first race.
            ASSERT_TRUE(WaitUntil([&] { return !s->Forwarding(300); }, 3000));
            PumpFor(300);
            lockedHandles = harness::ProcessHandleCount(s->driver.Pid(), &lockedTypes);
        }
        ASSERT_TRUE(s->Reconnect()) << "race " << c << ": the driver did not take the pendant again";
        // A new step makes the poller send a frame; a key makes the next frame forced too.
        block->result[HravikGetMaStep] = 1 + c % 60;
        s->pendant.Key(0x33);
        PumpFor(c % 4 * 20);
        if (c % 2) {
            PostMessageA(window, WM_COMMAND, harness::kLockCommand, 0);
            s->pendant.Unplug();
        } else {
            s->pendant.Unplug();
            PostMessageA(window, WM_COMMAND, harness::kLockCommand, 0);
        }
        PumpFor(50);
        ASSERT_TRUE(s->pendant.Plug());
        s->pendant.Release();
    }
    ASSERT_TRUE(s->Reconnect());
    ASSERT_TRUE(s->driver.Answers());
    // Locked from the menu, the driver holds no device: what it held before the races.
    PostMessageA(window, WM_COMMAND, harness::kLockCommand, 0);
    ASSERT_TRUE(WaitUntil([&] { return !s->Forwarding(300); }, 3000));
    std::string types;
    EXPECT_TRUE(WaitUntil([&] { return harness::ProcessHandleCount(s->driver.Pid(), &types) <= lockedHandles; }, 3000))
        << "handles: " << harness::ProcessHandleCount(s->driver.Pid()) << " (" << types << "), before the races "
        << lockedHandles << " (" << lockedTypes << ")";
    s->host.Quit();
}

// ---- hostile inputs: each survived, the driver still working afterwards ----

class SoakHostile : public ::testing::Test {
protected:
    static void TearDownTestSuite() { DropShared(); }
    // The common driver (full hook library), started on first use.
    static Session* Shared() {
        if (!shared) {
            shared = new Session;
            if (!shared->Start(BinExe("veltra.exe"))) DropShared();
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

// A library the driver cannot use: it must run on and answer, and call nothing.
void ExpectRunsWithUnusableLibrary(const char* variant) {
    Session s;
    ASSERT_TRUE(s.pendant.Plug());
    ASSERT_TRUE(s.StartDriver(SoakExe(variant))) << "the driver with the " << variant << " library did not start";
    PumpFor(2500);  // past the first status refresh, which takes the pendant
    LONG before = s.hooks.Calls(HravikKeyBoardProc);
    s.pendant.Key(0x21);
    s.pendant.Release();
    PumpFor(300);
    EXPECT_TRUE(s.driver.Answers());
    EXPECT_TRUE(s.driver.Running());
    EXPECT_EQ(s.hooks.Calls(HravikKeyBoardProc), before) << "no usable library, no call";
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
    HWND window = s->driver.Window();
    // A null header with an arrival or removal code: sent from a child, because Wine copies the
    // header across processes and would read the null pointer in the sender.
    for (const char* code : {"8000", "8004", "0007"}) {
        harness::ChildProcess child;
        char line[256];
        std::snprintf(line, sizeof line, "\"%s\" --send-devicechange %llx %s", BinExe("soak_tests.exe").c_str(),
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)), code);
        ASSERT_TRUE(child.Start(line));
        child.Wait(10000);
        EXPECT_TRUE(s->driver.Answers()) << "after a null header with code " << code;
    }
    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1 << 3;
    DWORD_PTR result = 0;
    for (WPARAM code : {WPARAM(DBT_DEVICEARRIVAL), WPARAM(DBT_DEVICEREMOVECOMPLETE)})
        SendMessageTimeoutA(window, WM_DEVICECHANGE, code, reinterpret_cast<LPARAM>(&volume), SMTO_ABORTIFHUNG,
                            5000, &result);
    EXPECT_TRUE(s->driver.Answers());
    EXPECT_TRUE(s->Forwarding());
}

TEST_F(SoakHostile, PendantKeyMessageFloodFromAnotherProcess) {
    Session* s = Shared();
    ASSERT_NE(s, nullptr);
    for (int i = 0; i < 5000; ++i)
        PostMessageA(s->driver.Window(), kPendantKeyMessage, i % 2 ? WM_KEYUP : WM_KEYDOWN, i % 2 ? 0 : 0x11);
    EXPECT_TRUE(s->driver.Answers());
    EXPECT_TRUE(s->Forwarding());
}

TEST_F(SoakHostile, HostWindowWithThousandCharacterTitleInFront) {
    Session* s = Shared();
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(s->host.Start(BinExe("ncstudio-v8.exe")));
    ASSERT_TRUE(s->host.Open("long", "titled-repeat N 1000") != nullptr);
    ASSERT_TRUE(s->host.Front("long"));
    PumpFor(800);  // a few ticks look at it
    EXPECT_TRUE(s->driver.Answers());
    EXPECT_TRUE(s->Forwarding());
    s->host.Quit();
}

TEST_F(SoakHostile, HookLibraryCallsThatHang) {
    Session* s = Shared();
    ASSERT_NE(s, nullptr);
    HravikShared* block = s->hooks.Block();
    // Taken up as the host in front: the hang meets a host already taken up.
    ASSERT_TRUE(s->HostInFront());
    for (int id = 0; id < HravikExportCount; ++id) block->hangMs[id] = 3000;
    LONG before = s->hooks.Calls(HravikKeyBoardProc);
    ASSERT_TRUE(s->pendant.Key(0x44));
    ASSERT_TRUE(s->pendant.Release());
    PumpFor(500);
    // The window thread makes some of the calls itself, one after another; it must answer again
    // once those in progress have come back.
    for (int id = 0; id < HravikExportCount; ++id) block->hangMs[id] = 0;
    EXPECT_TRUE(s->driver.Answers()) << "the window stays frozen after the library came back";
    EXPECT_TRUE(s->hooks.WaitCalls(HravikKeyBoardProc, before + 2, 15000));
    s->host.Quit();
    EXPECT_TRUE(s->Forwarding(12000));
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
    EXPECT_TRUE(s->driver.Answers());
    EXPECT_TRUE(s->Forwarding());
    s->host.Quit();
}

TEST_F(SoakHostile, PendantRefusingEveryFeatureReport) {
    Session* s = Shared();
    ASSERT_NE(s, nullptr);
    // Hooked first: the driver hooks a host only while it holds the pendant, and refusals drop it.
    ASSERT_TRUE(s->HostInFront());
    long handles = harness::ProcessHandleCount(s->driver.Pid());
    ASSERT_TRUE(s->pendant.Bus().SetBehaviour(0, testhid::kRefuseAll));
    HravikShared* block = s->hooks.Block();
    for (int i = 0; i < 6; ++i) {
        block->result[HravikGetMaStep] = 10 + i;  // each change is a frame the pendant refuses
        PumpFor(400);
    }
    EXPECT_TRUE(s->driver.Answers());
    EXPECT_TRUE(s->driver.Running());
    ASSERT_TRUE(s->pendant.Bus().SetBehaviour(0, 0));
    EXPECT_TRUE(s->Forwarding());
    EXPECT_LE(harness::ProcessHandleCount(s->driver.Pid()), handles) << "each refusal left handles behind";
    s->host.Quit();
}

TEST_F(SoakHostile, SecondInstanceStartedRepeatedly) {
    Session* s = Shared();
    ASSERT_NE(s, nullptr);
    for (int i = 0; i < g_size.instances; ++i) {
        DriverProcess second;
        ASSERT_TRUE(second.Start(BinExe("veltra.exe")));
        ASSERT_NE(second.Wait(10000), static_cast<DWORD>(STILL_ACTIVE)) << "instance " << i << " kept running";
    }
    EXPECT_TRUE(s->driver.Running());
    EXPECT_TRUE(s->driver.Answers());
    EXPECT_TRUE(s->Forwarding());
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
