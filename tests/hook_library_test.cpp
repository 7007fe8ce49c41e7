// The hook library's wrappers against the stand-in hravik.dll. The suites after HookLibrary run
// from copies of this test placed beside a library variant (or beside none); from anywhere else
// they skip.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>
#include <string>
#include <thread>

#include "app/driver_state.h"
#include "host/hook_library.h"
#include "host/host_dialogs.h"
#include "host/library_file.h"
#include "pendant/pendant_device.h"
#include "support/driver_test.h"

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return s;
}

bool RunsFromVariant(const char* variant) {
    return Lower(ExeDir()).find(std::string("\\beside\\") + variant + "\\") != std::string::npos;
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ModulePath(HMODULE module) {
    char path[MAX_PATH] = {0};
    GetModuleFileNameA(module, path, MAX_PATH);
    return path;
}

HWND MakeWindow() {
    return CreateWindowExA(0, "STATIC", "host", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
}

// A window owned by a thread of its own, alive until the object goes.
class ForeignWindow {
public:
    ForeignWindow() {
        thread_ = std::thread([this] {
            HWND window = MakeWindow();
            threadId_ = GetCurrentThreadId();
            window_ = window;
            while (!stop_) {
                MSG msg;
                while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
                Sleep(5);
            }
            DestroyWindow(window);
        });
        while (!window_) Sleep(1);
    }
    ~ForeignWindow() {
        stop_ = true;
        thread_.join();
    }
    HWND Window() const { return window_; }
    DWORD ThreadId() const { return threadId_; }

private:
    std::atomic<HWND> window_{nullptr};
    std::atomic<DWORD> threadId_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class HookTest : public DriverTest {
protected:
    void TearDown() override {
        g_pendant.connected = 0;  // set by hand: there is no link to close
        if (window && IsWindow(window)) DestroyWindow(window);
        DriverTest::TearDown();
    }
    HravikRecord Last(int exportId) const {
        HravikRecord record{};
        EXPECT_TRUE(HravikFindLast(hooks, exportId, &record)) << HravikExportName(exportId);
        return record;
    }
    // A window of this thread, as if it were the hooked host's.
    HWND HostWindowOfThisThread() {
        window = MakeWindow();
        g_state.hostThreadId = GetCurrentThreadId();
        return window;
    }

    HWND window = nullptr;
};

// A library image of this build's bitness, made byte by byte: the headers, a section table of
// `sections` entries, and one last section at RVA 0x1000 holding an export directory with `names`
// name pointers, each to "name<i>". Cases then spoil it.
struct CraftedLibrary {
    std::vector<uint8_t> bytes;
    uint64_t padTo = 0;  // the file made this long with zeros after the bytes, when larger
    size_t fileHeader = 0, optionalHeader = 0, sectionTable = 0, exportDirectory = 0, nameArray = 0;
    WORD sectionCount = 0;

    CraftedLibrary(WORD sections, DWORD names) : sectionCount(sections) {
        const bool wide = sizeof(void*) == 8;
        const size_t optionalSize = wide ? sizeof(IMAGE_OPTIONAL_HEADER64) : sizeof(IMAGE_OPTIONAL_HEADER32);
        fileHeader = 0x40 + 4;
        optionalHeader = fileHeader + sizeof(IMAGE_FILE_HEADER);
        sectionTable = optionalHeader + optionalSize;
        const size_t data = (sectionTable + size_t(sections) * sizeof(IMAGE_SECTION_HEADER) + 0xFFF) & ~size_t(0xFFF);
        exportDirectory = data;
        nameArray = data + sizeof(IMAGE_EXPORT_DIRECTORY);
        const size_t strings = nameArray + size_t(names) * 4;
        bytes.assign(strings + size_t(names) * 12 + 16, 0);

        auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(bytes.data());
        dos->e_magic = IMAGE_DOS_SIGNATURE;
        dos->e_lfanew = 0x40;
        *reinterpret_cast<DWORD*>(&bytes[0x40]) = IMAGE_NT_SIGNATURE;
        auto* file = reinterpret_cast<IMAGE_FILE_HEADER*>(&bytes[fileHeader]);
        file->Machine = wide ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
        file->NumberOfSections = sections;
        file->SizeOfOptionalHeader = static_cast<WORD>(optionalSize);
        file->Characteristics = IMAGE_FILE_DLL | IMAGE_FILE_EXECUTABLE_IMAGE;
        IMAGE_DATA_DIRECTORY* exportEntry;
        if (wide) {
            auto* opt = reinterpret_cast<IMAGE_OPTIONAL_HEADER64*>(&bytes[optionalHeader]);
            opt->Magic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
            opt->NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
            exportEntry = &opt->DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        } else {
            auto* opt = reinterpret_cast<IMAGE_OPTIONAL_HEADER32*>(&bytes[optionalHeader]);
            opt->Magic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
            opt->NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
            exportEntry = &opt->DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        }
        // Every section but the last lies below the export section, so a lookup walks them all.
        const DWORD dataSize = static_cast<DWORD>(bytes.size() - data);
        for (WORD i = 0; i < sections; ++i) {
            auto* section = Section(i);
            bool last = i + 1 == sections;
            section->VirtualAddress = last ? 0x100000u : 0x1000u + i;
            section->Misc.VirtualSize = section->SizeOfRawData = last ? dataSize : 1;
            section->PointerToRawData = static_cast<DWORD>(data);
        }
        exportEntry->VirtualAddress = Rva(exportDirectory);
        exportEntry->Size = sizeof(IMAGE_EXPORT_DIRECTORY);
        Exports()->NumberOfNames = names;
        Exports()->AddressOfNames = Rva(nameArray);
        for (DWORD i = 0; i < names; ++i) {
            size_t at = strings + size_t(i) * 12;
            std::snprintf(reinterpret_cast<char*>(&bytes[at]), 12, "name%lu", static_cast<unsigned long>(i));
            NamePointers()[i] = Rva(at);
        }
    }
    DWORD Rva(size_t offset) const { return static_cast<DWORD>(0x100000u + (offset - exportDirectory)); }
    IMAGE_SECTION_HEADER* Section(WORD i) {
        return reinterpret_cast<IMAGE_SECTION_HEADER*>(&bytes[sectionTable + size_t(i) * sizeof(IMAGE_SECTION_HEADER)]);
    }
    IMAGE_EXPORT_DIRECTORY* Exports() { return reinterpret_cast<IMAGE_EXPORT_DIRECTORY*>(&bytes[exportDirectory]); }
    DWORD* NamePointers() { return reinterpret_cast<DWORD*>(&bytes[nameArray]); }

    std::string Write(const char* name) const {
        std::string path = ExeDir() + name;
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD done = 0;
        if (file != INVALID_HANDLE_VALUE) {
            WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
            LARGE_INTEGER end;
            end.QuadPart = static_cast<LONGLONG>(padTo);
            if (padTo > bytes.size() && SetFilePointerEx(file, end, nullptr, FILE_BEGIN)) SetEndOfFile(file);
            CloseHandle(file);
        }
        return path;
    }
};

// --- With the full library ---------------------------------------------------------------------

using HookLibrary = HookTest;

TEST_F(HookLibrary, LoadsFromOwnFolder) {
    HMODULE module = hooklib::Load();
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(Lower(ModulePath(module)), Lower(ExeDir() + "hravik.dll"));
    FreeLibrary(module);
}

// The reader's bounds: each crafted file is read within 100 ms and called what it is.
TEST_F(HookLibrary, LibraryFileReaderIsBoundedByWhatALibraryCanHave) {
    struct Case {
        const char* what;
        CraftedLibrary image;
        bool unusable;
    };
    std::vector<Case> cases;
    cases.push_back({"a well-formed library", CraftedLibrary(3, 9), false});
    cases.push_back({"65,535 sections", CraftedLibrary(0xFFFF, 20000), true});
    {
        CraftedLibrary outside(3, 9);
        outside.Section(2)->PointerToRawData = 0x7FFFFFF0;  // the export section's data beyond the end
        cases.push_back({"export directory outside the file", outside, true});
    }
    {
        // A name count far past any library's, its pointer array running on over the directory,
        // the array itself and the names, round to the end of the file.
        CraftedLibrary loop(3, 2000);
        loop.Exports()->NumberOfNames = 0x00FFFFFF;
        loop.Exports()->AddressOfNames = loop.Rva(loop.exportDirectory);
        cases.push_back({"name pointers in a loop", loop, true});
    }
    {
        // Every name pointer at one name that never ends: 1 MiB without a NUL.
        CraftedLibrary endless(3, 100);
        size_t start = endless.bytes.size();
        endless.bytes.resize(start + (1u << 20), 'A');
        endless.Section(2)->SizeOfRawData = endless.Section(2)->Misc.VirtualSize =
            static_cast<DWORD>(endless.bytes.size() - endless.exportDirectory);
        for (DWORD i = 0; i < 100; ++i) endless.NamePointers()[i] = endless.Rva(start);
        cases.push_back({"names without an end", endless, true});
    }
    {
        CraftedLibrary truncated(3, 9);
        truncated.bytes.resize(truncated.optionalHeader + 16);  // ends inside the optional header
        cases.push_back({"a truncated header", truncated, true});
    }
    {
        CraftedLibrary largest(3, 9);
        largest.padTo = kMaxLibraryBytes;  // zeros after the last section: still a library
        cases.push_back({"a library as large as any is read", largest, false});
        largest.padTo = kMaxLibraryBytes + 1;
        cases.push_back({"a library larger than that", largest, true});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = c.image.Write("crafted.dll");
        LARGE_INTEGER frequency, start, end;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        LibraryFile file = ReadLibraryFile(path);
        QueryPerformanceCounter(&end);
        double ms = 1000.0 * double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
        std::printf("%s: %.1f ms\n", c.what, ms);
        EXPECT_LT(ms, 100.0);
        EXPECT_TRUE(file.found);
        EXPECT_EQ(file.unusable, c.unusable);
        if (!c.unusable) {
            std::vector<std::string> expected;
            for (int i = 0; i < 9; ++i) expected.push_back("name" + std::to_string(i));
            EXPECT_EQ(file.exports, expected);
        }
        DeleteFileA(path.c_str());
    }
}

TEST_F(HookLibrary, LoadAtStartTakesFirstHandleAndClearsSecond) {
    hooklib::secondModule = reinterpret_cast<HMODULE>(1);
    hooklib::LoadAtStart();
    EXPECT_NE(static_cast<HMODULE>(hooklib::firstModule), nullptr);
    EXPECT_EQ(static_cast<HMODULE>(hooklib::secondModule), nullptr);
}

TEST_F(HookLibrary, WrapperLoadsLibraryWhenFirstHandleEmpty) {
    ASSERT_EQ(static_cast<HMODULE>(hooklib::firstModule), nullptr);
    hooklib::SetVer(1);
    EXPECT_NE(static_cast<HMODULE>(hooklib::firstModule), nullptr);
    EXPECT_EQ(Calls(HravikSetVer), 1);
    HMODULE first = hooklib::firstModule;
    hooklib::SetVer(0);
    EXPECT_EQ(static_cast<HMODULE>(hooklib::firstModule), first) << "loaded once, then reused";
}

TEST_F(HookLibrary, FreeAllReleasesBothHandles) {
    hooklib::LoadAtStart();
    hooklib::secondModule = hooklib::Load();
    ASSERT_NE(GetModuleHandleA(hooklib::kFileName), nullptr);
    hooklib::FreeAll();
    EXPECT_EQ(static_cast<HMODULE>(hooklib::firstModule), nullptr);
    EXPECT_EQ(static_cast<HMODULE>(hooklib::secondModule), nullptr);
    EXPECT_EQ(GetModuleHandleA(hooklib::kFileName), nullptr) << "every load matched by a free";
    hooklib::FreeAll();  // nothing left: harmless
}

// The UI and poller threads may both find the first handle empty at once: one load is kept and
// the other reference given back, so the library really goes at shutdown.
TEST_F(HookLibrary, LoadsRacingOnTwoThreadsLeaveNoReference) {
    for (int round = 0; round < 40; ++round) {
        ASSERT_EQ(GetModuleHandleA(hooklib::kFileName), nullptr) << "round " << round;
        std::atomic<int> ready{0};
        auto load = [&ready] {
            ++ready;
            while (ready < 2) {
            }
            hooklib::UnHook();
        };
        std::thread ui(load);
        std::thread poller(load);
        ui.join();
        poller.join();
        hooklib::FreeAll();
    }
    EXPECT_EQ(GetModuleHandleA(hooklib::kFileName), nullptr);
}

// The wrapper only calls: the rules around the install (the pendant first, the window recorded
// before the call) are the host tracker's.
TEST_F(HookLibrary, InstallHookPassesTheWindowAndReturnsLibraryAnswer) {
    HWND host = window = MakeWindow();
    hooks->result[HravikInstallhook] = 1;
    EXPECT_EQ(hooklib::InstallHook(host), 1);
    EXPECT_EQ(Last(HravikInstallhook).args[0], reinterpret_cast<ULONGLONG>(host));
    hooks->result[HravikInstallhook] = 0;
    EXPECT_EQ(hooklib::InstallHook(host), 0);
    EXPECT_EQ(Calls(HravikInstallhook), 2);
    EXPECT_EQ(g_state.hostWindow, nullptr) << "the wrapper changed the driver's state";
    EXPECT_TRUE(hooklib::Exports("installhook"));
}

TEST_F(HookLibrary, UnHookReturnsLibraryAnswer) {
    hooks->result[HravikUnHook] = 7;
    EXPECT_EQ(hooklib::UnHook(), 7);
    hooks->result[HravikUnHook] = 0;
    EXPECT_EQ(hooklib::UnHook(), 0);
    EXPECT_EQ(Calls(HravikUnHook), 2);
}

TEST_F(HookLibrary, SetVerAndEnableMapPassArgumentOn) {
    hooklib::SetVer(1);
    EXPECT_EQ(Last(HravikSetVer).args[0], 1u);
    hooklib::SetVer(0);
    EXPECT_EQ(Last(HravikSetVer).args[0], 0u);
    hooklib::EnableMap(1);
    EXPECT_EQ(Last(HravikEnableMap).args[0], 1u);
    hooklib::EnableMap(0);
    EXPECT_EQ(Last(HravikEnableMap).args[0], 0u);
    EXPECT_EQ(Calls(HravikSetVer), 2);
    EXPECT_EQ(Calls(HravikEnableMap), 2);
}

TEST_F(HookLibrary, SetPcStateForHostWindowMapsModeByte) {
    HWND host = HostWindowOfThisThread();
    struct {
        int code;
        uint8_t mode;
    } cases[] = {{5, 0x80}, {0, 0}, {6, 0x80}, {32, 0x20}, {64, 0x80}, {0, 0},
                 {2, 0x80}, {32, 0x20}, {128, 0x80}};
    HostDialogs dialogs;
    for (auto& c : cases) {
        dialogs.ReportMode(host, c.code);
        EXPECT_EQ(g_state.modeByte, c.mode) << "code " << c.code;
        HravikRecord call = Last(HravikSetPcState);
        EXPECT_EQ(call.args[0], reinterpret_cast<ULONGLONG>(host));
        EXPECT_EQ(call.args[1], static_cast<ULONGLONG>(c.code));
    }
    EXPECT_EQ(Calls(HravikSetPcState), 9);
}

TEST_F(HookLibrary, SetPcStateIgnoresWindowOfAnotherThread) {
    ForeignWindow other;
    g_state.hostThreadId = GetCurrentThreadId();
    g_state.modeByte = 0x20;
    HostDialogs dialogs;
    EXPECT_FALSE(hooklib::SetPcState(other.Window(), 5));
    dialogs.ReportMode(other.Window(), 5);
    EXPECT_EQ(Calls(HravikSetPcState), 0);
    EXPECT_EQ(g_state.modeByte, 0x20);

    // The same window counts once its thread is the host's.
    g_state.hostThreadId = other.ThreadId();
    dialogs.ReportMode(other.Window(), 5);
    EXPECT_EQ(Calls(HravikSetPcState), 1);
    EXPECT_EQ(g_state.modeByte, 0x80);
}

TEST_F(HookLibrary, SetPcStateIgnoresDestroyedWindow) {
    HWND host = HostWindowOfThisThread();
    DestroyWindow(host);
    g_state.modeByte = 0x20;
    EXPECT_FALSE(hooklib::SetPcState(host, 64));
    // A destroyed window has no owning thread; that must not match a host id of 0 either.
    g_state.hostThreadId = 0;
    EXPECT_FALSE(hooklib::SetPcState(host, 64));
    EXPECT_FALSE(hooklib::SetPcState(nullptr, 64));
    EXPECT_EQ(Calls(HravikSetPcState), 0);
    EXPECT_EQ(g_state.modeByte, 0x20);
}

TEST_F(HookLibrary, CallValuesDiffer) {
    uint32_t a = hooklib::NextCallValue();
    uint32_t b = hooklib::NextCallValue();
    EXPECT_NE(a, b);
}

// --- No library beside the driver --------------------------------------------------------------

using HookLibraryMissing = HookTest;

TEST_F(HookLibraryMissing, EveryWrapperReturnsZero) {
    if (!RunsFromVariant("nolib")) GTEST_SKIP() << "runs from the copy without hravik.dll";
    ASSERT_FALSE(FileExists(ExeDir() + "hravik.dll"));
    EXPECT_EQ(hooklib::Load(), nullptr);
    HWND host = HostWindowOfThisThread();
    g_pendant.connected = 1;
    g_state.modeByte = 0x20;
    EXPECT_EQ(hooklib::InstallHook(host), 0);
    EXPECT_EQ(hooklib::UnHook(), 0);
    EXPECT_EQ(hooklib::SetVer(1), 0);
    EXPECT_EQ(hooklib::EnableMap(1), 0);
    HostDialogs dialogs;
    EXPECT_FALSE(hooklib::SetPcState(host, 5));
    dialogs.ReportMode(host, 5);
    EXPECT_FALSE(hooklib::Exports("installhook"));
    EXPECT_EQ(g_state.hostWindow, nullptr);
    EXPECT_EQ(g_state.modeByte, 0x20) << "without the library no mode is reported";
    EXPECT_EQ(static_cast<HMODULE>(hooklib::firstModule), nullptr);
    hooklib::LoadAtStart();
    EXPECT_EQ(static_cast<HMODULE>(hooklib::firstModule), nullptr);
}

// --- A library planted in the current folder and on PATH ---------------------------------------

using HookLibraryPlanted = HookTest;

TEST_F(HookLibraryPlanted, IsNeverLoaded) {
    if (!RunsFromVariant("nolib")) GTEST_SKIP() << "runs from the copy without hravik.dll";
    ASSERT_FALSE(FileExists(ExeDir() + "hravik.dll"));
    char current[MAX_PATH] = {0};
    GetCurrentDirectoryA(MAX_PATH, current);
    ASSERT_TRUE(FileExists(std::string(current) + "\\hravik.dll")) << "the plant is in place";
    char path[32768] = {0};
    GetEnvironmentVariableA("PATH", path, sizeof(path));
    SetEnvironmentVariableA("PATH", (std::string(current) + ";" + path).c_str());

    EXPECT_EQ(hooklib::Load(), nullptr);
    g_pendant.connected = 1;
    EXPECT_EQ(hooklib::UnHook(), 0);
    EXPECT_EQ(hooklib::InstallHook(HostWindowOfThisThread()), 0);
    EXPECT_EQ(Calls(HravikUnHook) + Calls(HravikInstallhook), 0);

    // The default search would have taken it: the test is not passing by accident.
    HMODULE planted = LoadLibraryA(hooklib::kFileName);
    EXPECT_NE(planted, nullptr);
    if (planted) FreeLibrary(planted);
}

// --- A library without exports -----------------------------------------------------------------

using HookLibraryNoExports = HookTest;

TEST_F(HookLibraryNoExports, EveryWrapperReturnsZeroWithoutCalling) {
    if (!RunsFromVariant("none")) GTEST_SKIP() << "runs beside the library without exports";
    HMODULE module = hooklib::Load();
    ASSERT_NE(module, nullptr) << "the library itself is there";
    FreeLibrary(module);
    HWND host = HostWindowOfThisThread();
    g_pendant.connected = 1;
    hooks->result[HravikUnHook] = 1;
    EXPECT_EQ(hooklib::InstallHook(host), 0);
    EXPECT_FALSE(hooklib::Exports("installhook"));
    EXPECT_EQ(hooklib::UnHook(), 0);
    EXPECT_EQ(hooklib::SetVer(1), 0);
    EXPECT_EQ(hooklib::EnableMap(1), 0);
    HostDialogs dialogs;
    dialogs.ReportMode(host, 64);
    EXPECT_EQ(g_state.modeByte, 0x80) << "the mode byte follows the code, export or not";
    EXPECT_EQ(hooks->count, 0);
}

// --- A library without SetPcState --------------------------------------------------------------

using HookLibraryNoSetPcState = HookTest;

TEST_F(HookLibraryNoSetPcState, ModeByteStillFollowsCode) {
    if (!RunsFromVariant("no-setpcstate")) GTEST_SKIP() << "runs beside the library without SetPcState";
    HWND host = HostWindowOfThisThread();
    HostDialogs dialogs;
    for (auto c : {std::make_pair(5, 0x80), std::make_pair(32, 0x20), std::make_pair(0, 0),
                   std::make_pair(128, 0x80)}) {
        dialogs.ReportMode(host, c.first);
        EXPECT_EQ(g_state.modeByte, c.second) << "code " << c.first;
    }
    EXPECT_EQ(Calls(HravikSetPcState), 0);
    EXPECT_EQ(hooklib::InstallHook(host), 1) << "the other exports still answer";
    EXPECT_EQ(Calls(HravikInstallhook), 1);
}

}  // namespace
