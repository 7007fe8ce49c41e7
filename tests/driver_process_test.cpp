// The driver as its own process, on the real HID calls (Wine lists no pendant).
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/autostart.h"
#include "app/driver_dlg.h"
#include "app/folder_rights.h"
#include "res/resource.h"
#include "support/test_util.h"
#include "veltra_version.h"

namespace {

constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kWindowTitle[] = "QEVR-1.4";

std::string DriverPath() { return ExeDir() + "veltra.exe"; }

std::string ReadAutostartValue() {
    char value[MAX_PATH + 8] = {0};
    DWORD size = sizeof(value);
    if (RegGetValueA(HKEY_LOCAL_MACHINE, kRunKey, "dunmoral", RRF_RT_REG_SZ, nullptr, value, &size) !=
        ERROR_SUCCESS)
        return std::string();
    return value;
}

void WriteRawAutostartValue(const std::string& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_WRITE, &key), ERROR_SUCCESS);
    RegSetValueExA(key, "dunmoral", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
}

bool MutexExists(const char* name) {
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, name);
    if (!mutex) return false;
    CloseHandle(mutex);
    return true;
}

// What User Account Control gives an administrator's programs unless they are run as
// administrator: the Administrators group for deny only, no privileges to speak of.
HANDLE FilteredToken() {
    HANDLE own = nullptr, filtered = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, &own))
        return nullptr;
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(admins);
    SID_AND_ATTRIBUTES denyOnly{admins, 0};
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size) ||
        !CreateRestrictedToken(own, DISABLE_MAX_PRIVILEGE, 1, &denyOnly, 0, nullptr, 0, nullptr, &filtered))
        filtered = nullptr;
    CloseHandle(own);
    return filtered;
}

// The Run key with the rules Windows gives it: administrators and the system write, users read.
// Wine keeps no key security across restarts of its server, so a test lends the key these rules
// for its duration and then puts back what it found.
class WindowsRunKeyRules {
public:
    WindowsRunKeyRules() {
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, READ_CONTROL | WRITE_DAC, &key_) != ERROR_SUCCESS) return;
        DWORD size = 0;
        RegGetKeySecurity(key_, DACL_SECURITY_INFORMATION, nullptr, &size);
        saved_.resize(size);
        if (size == 0 || RegGetKeySecurity(key_, DACL_SECURITY_INFORMATION, saved_.data(), &size) != ERROR_SUCCESS)
            return;
        PSECURITY_DESCRIPTOR rules = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;CI;KA;;;BA)(A;CI;KA;;;SY)(A;CI;KR;;;BU)",
                                                                  SDDL_REVISION_1, &rules, nullptr))
            return;
        applied_ = RegSetKeySecurity(key_, DACL_SECURITY_INFORMATION, rules) == ERROR_SUCCESS;
        LocalFree(rules);
    }
    ~WindowsRunKeyRules() {
        if (applied_) RegSetKeySecurity(key_, DACL_SECURITY_INFORMATION, saved_.data());
        if (key_) RegCloseKey(key_);
    }
    bool Applied() const { return applied_; }

private:
    HKEY key_ = nullptr;
    std::vector<BYTE> saved_;
    bool applied_ = false;
};

struct Shown {
    DWORD pid;
    std::string titles;
};

BOOL CALLBACK CollectShown(HWND hwnd, LPARAM lParam) {
    auto* shown = reinterpret_cast<Shown*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != shown->pid || !IsWindowVisible(hwnd)) return TRUE;
    char title[128] = {0};
    GetWindowTextA(hwnd, title, sizeof(title));
    shown->titles += std::string("[") + title + "]";
    return TRUE;
}

// The titles of the process's visible windows: what its user sees of it.
std::string ShownWindows(DWORD pid) {
    Shown shown{pid, std::string()};
    EnumWindows(CollectShown, reinterpret_cast<LPARAM>(&shown));
    return shown.titles;
}

HWND WaitForDriverWindow(DWORD pid, DWORD timeoutMs) {
    HWND window = nullptr;
    WaitUntil([&] { return (window = harness::FindWindowOf(pid, kWindowTitle)) != nullptr; }, timeoutMs);
    return window;
}

class DriverProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(GetFileAttributesA(DriverPath().c_str()), INVALID_FILE_ATTRIBUTES);
        ASSERT_FALSE(MutexExists("QEVR01")) << "another driver is running";
    }
};

TEST_F(DriverProcess, StaysResidentWithHiddenWindowAndExitsCleanlyOnCommand) {
    WriteRawAutostartValue("stale");
    ChildProcess driver;
    ASSERT_TRUE(driver.Start("\"" + DriverPath() + "\""));
    HWND window = WaitForDriverWindow(driver.Pid(), 15000);
    ASSERT_NE(window, nullptr);
    PumpFor(300);
    EXPECT_EQ(driver.Wait(0), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_TRUE(MutexExists("QEVR01"));

    std::string driverPath = DriverPath();
    if (driverPath.find(' ') != std::string::npos) driverPath = "\"" + driverPath + "\"";
    // Written at the end of the dialog's initialisation, which the window's existence does not wait for.
    EXPECT_TRUE(WaitUntil([&] { return lstrcmpiA(ReadAutostartValue().c_str(), driverPath.c_str()) == 0; }, 5000))
        << ReadAutostartValue() << " vs " << driverPath;

    DWORD start = GetTickCount();
    ASSERT_TRUE(PostMessageA(window, WM_COMMAND, MAKEWPARAM(ID_EXIT, 0), 0));
    EXPECT_EQ(driver.Wait(8000), 0u) << "ends by itself with a clean exit code";
    EXPECT_LT(GetTickCount() - start, 8000u);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(MutexExists("QEVR01"));
}

TEST_F(DriverProcess, SecondCopyExitsAtOnceWithoutWindow) {
    ChildProcess first;
    ASSERT_TRUE(first.Start("\"" + DriverPath() + "\""));
    HWND window = WaitForDriverWindow(first.Pid(), 15000);
    ASSERT_NE(window, nullptr);

    ChildProcess second;
    ASSERT_TRUE(second.Start("\"" + DriverPath() + "\""));
    DWORD code = second.Wait(8000);
    EXPECT_NE(code, static_cast<DWORD>(STILL_ACTIVE)) << "the second copy ends by itself";
    EXPECT_EQ(harness::FindWindowOf(second.Pid(), kWindowTitle), nullptr);
    EXPECT_EQ(first.Wait(0), static_cast<DWORD>(STILL_ACTIVE)) << "the first copy runs on";

    PostMessageA(window, WM_COMMAND, MAKEWPARAM(ID_EXIT, 0), 0);
    EXPECT_EQ(first.Wait(8000), 0u);
}

// A copy running with other rights (elevated) makes a mutex that a plain copy may not open: the
// plain copy must still see that the driver runs.
TEST_F(DriverProcess, CopyRefusedTheMutexCountsItAsRunning) {
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ACL empty;
    ASSERT_TRUE(InitializeAcl(&empty, sizeof empty, ACL_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, &empty, FALSE));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    HANDLE guarded = CreateMutexA(&attributes, FALSE, "QEVR01");
    ASSERT_NE(guarded, nullptr);

    ChildProcess driver;
    ASSERT_TRUE(driver.Start("\"" + DriverPath() + "\""));
    DWORD code = driver.Wait(8000);
    if (code == static_cast<DWORD>(STILL_ACTIVE)) {
        if (HWND window = WaitForDriverWindow(driver.Pid(), 2000))
            PostMessageA(window, WM_COMMAND, MAKEWPARAM(ID_EXIT, 0), 0);
        driver.Wait(8000);
    }
    EXPECT_NE(code, static_cast<DWORD>(STILL_ACTIVE)) << "a second driver ran beside the first";
    CloseHandle(guarded);
}

// As the operators' README says: started without administrator rights, the driver runs on, its
// autostart value stays as it was, and no message is shown.
TEST_F(DriverProcess, WithoutAdministratorRightsRunsSilentlyWithoutAutostart) {
    WriteRawAutostartValue("stale");
    WindowsRunKeyRules rules;
    ASSERT_TRUE(rules.Applied());
    HANDLE token = FilteredToken();
    ASSERT_NE(token, nullptr);
    ChildProcess driver;
    ASSERT_TRUE(driver.Start("\"" + DriverPath() + "\"", nullptr, token));
    CloseHandle(token);
    HWND window = WaitForDriverWindow(driver.Pid(), 15000);
    ASSERT_NE(window, nullptr);
    // Idle in a message loop: past the autostart write, and past a message box, were one shown.
    WaitForInputIdle(driver.Handle(), 10000);
    PumpFor(300);
    EXPECT_EQ(driver.Wait(0), static_cast<DWORD>(STILL_ACTIVE));
    // The Run key lets such a token only read, so the driver cannot open it for writing.
    EXPECT_EQ(ReadAutostartValue(), "stale");
    EXPECT_EQ(ShownWindows(driver.Pid()), "") << "a tray program shows nothing";

    PostMessageA(window, WM_COMMAND, MAKEWPARAM(ID_EXIT, 0), 0);
    EXPECT_EQ(driver.Wait(8000), 0u);
}

TEST_F(DriverProcess, AutostartPathWithBlankIsQuoted) {
    std::string saved = ReadAutostartValue();
    bool opened = false;
    EXPECT_TRUE(autostart::WriteValue("C:\\Program Files\\Veltra\\veltra.exe", &opened));
    EXPECT_TRUE(opened);
    EXPECT_EQ(ReadAutostartValue(), "\"C:\\Program Files\\Veltra\\veltra.exe\"");
    EXPECT_TRUE(autostart::WriteValue("C:\\Veltra\\veltra.exe", &opened));
    EXPECT_EQ(ReadAutostartValue(), "C:\\Veltra\\veltra.exe");
    if (!saved.empty()) WriteRawAutostartValue(saved);
}

// Copies of the driver beside no hook library, beside one that lacks KeyBoardProc, and beside one
// of the other bitness: the driver looks for hravik.dll in its own folder only.
std::string VariantDir(const char* variant) {
    char full[MAX_PATH] = {0};
    GetFullPathNameA((ExeDir() + "..\\beside\\" + variant + "\\").c_str(), MAX_PATH, full, nullptr);
    return full;
}

// Runs a copy of the driver until its hook library line is logged, then ends it from the menu.
std::vector<std::string> RunAndLog(const std::string& exe) {
    ClearLog();
    ChildProcess driver;
    EXPECT_TRUE(driver.Start("\"" + exe + "\""));
    EXPECT_TRUE(WaitUntil([] { return !LinesWith(LogLines(), "hook library").empty(); }, 15000));
    // The start-up probe answers on the link thread, in a new prefix seconds later: an exit
    // before it would leave it unsaid.
    EXPECT_TRUE(WaitUntil(
        [] {
            std::vector<std::string> lines = LogLines();
            return !LinesWith(lines, "pendant not found: ").empty() ||
                   !LinesWith(lines, "pendant connected: ").empty();
        },
        15000));
    HWND window = WaitForDriverWindow(driver.Pid(), 15000);
    EXPECT_NE(window, nullptr);
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(ID_EXIT, 0), 0);
    EXPECT_EQ(driver.Wait(8000), 0u);
    return LogLines();
}

// What the operator's log says of a start with a hook library the driver cannot use; none of it
// shows in the tray.
TEST_F(DriverProcess, LogsWhyTheHookLibraryIsNotUsed) {
    const std::string bits = std::to_string(sizeof(void*) * 8) + "-bit";
    struct Case {
        const char* variant;
        std::string line;
    } cases[] = {
        {"nolib", "hook library not loaded: no hravik.dll beside the driver in " + VariantDir("nolib") +
                      " nor in the system folder "},
        {"no-keyboardproc", "hook library loaded: " + VariantDir("no-keyboardproc") +
                                "hravik.dll; missing exports: KeyBoardProc"},
        {"otherbits", "hook library not loaded: " + VariantDir("otherbits") + "hravik.dll is " +
                          (sizeof(void*) == 8 ? "32-bit" : "64-bit") + ", the driver " + bits +
                          " (error 193"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.variant);
        const std::string exe = VariantDir(c.variant) + "veltra.exe";
        if (std::string(c.variant) == "otherbits" &&
            GetFileAttributesA((VariantDir(c.variant) + "hravik.dll").c_str()) == INVALID_FILE_ATTRIBUTES) {
            ADD_FAILURE() << "no hook library of the other bitness was built";
            continue;
        }
        std::vector<std::string> lines = RunAndLog(exe);
        ASSERT_GE(lines.size(), 4u) << ::testing::PrintToString(lines);
        // Paths are compared without case: Windows may name a folder in another case than we did.
        const std::string start = "start: veltra " VELTRA_VERSION_TEXT ", " + bits + ", " + exe;
        EXPECT_EQ(lstrcmpiA(lines.front().c_str(), start.c_str()), 0) << lines.front();
        std::vector<std::string> library = LinesWith(lines, "hook library");
        ASSERT_EQ(library.size(), 1u);
        EXPECT_EQ(lstrcmpiA(library[0].substr(0, c.line.size()).c_str(), c.line.c_str()), 0)
            << library[0] << "\n expected " << c.line;
        EXPECT_EQ(LinesWith(lines, "autostart: \"dunmoral\" set to ").size(), 1u);
        EXPECT_EQ(LinesWith(lines, "pendant not found: ").size(), 1u) << "Wine lists no pendant";
        EXPECT_EQ(lines.back(), "exit");
    }
}

// The autostart rule over access lists as Windows gives them; Wine keeps none on files (it maps
// them to the Unix mode), so these are made from their text.
TEST_F(DriverProcess, AutostartRuleReadsOwnerAndAccessList) {
    struct Case {
        const char* what;
        const char* sddl;
        const char* why;  // empty: only the administrators and the system can change it
    } cases[] = {
        {"Program Files",
         "O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:PAI"
         "(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)(A;;0x1301bf;;;SY)"
         "(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)"
         "(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;S-1-15-2-1)",
         ""},
        {"a folder made under a drive's root",
         "O:BAD:AI(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)"
         "(A;OICIIOID;SDGXGWGR;;;AU)",
         "x lets Authenticated Users (S-1-5-11) change it"},
        {"another user's Downloads",
         "O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-1-2-3-1001)",
         "x belongs to S-1-5-21-1-2-3-1001, who may change its access list"},
        {"a folder whose users may add files", "O:BAD:(A;;FA;;;BA)(A;;0x100116;;;BU)",
         "x lets Users (S-1-5-32-545) change it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(c.sddl, SDDL_REVISION_1, &descriptor,
                                                                         nullptr));
        EXPECT_EQ(WhyOthersCanChange(descriptor, L"x"), c.why);
        LocalFree(descriptor);
    }
    // No access list at all (a FAT drive's files have none): everyone may do anything. Made by hand,
    // since Wine reads "D:NO_ACCESS_CONTROL" as an empty list.
    SECURITY_DESCRIPTOR open;
    ASSERT_TRUE(InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
    EXPECT_EQ(WhyOthersCanChange(&open, L"x"), "x has no access list: anyone may change it");
}

// A copy of the driver started as administrator from a folder that any user may change, or from
// the running account's own profile: the autostart value stays as it was and the log says why;
// the diagnosis from there says it too.
TEST_F(DriverProcess, NoAutostartForAFileOthersCanChange) {
    wchar_t profile[MAX_PATH] = {0};
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile)));
    const std::wstring suffix = L"veltra-open-" + std::to_wstring(GetCurrentProcessId());
    char build[MAX_PATH] = {0};
    GetFullPathNameA((ExeDir() + "..\\").c_str(), MAX_PATH, build, nullptr);
    const std::wstring folders[] = {
        std::wstring(build, build + strlen(build)) + suffix,  // opened to everyone below
        std::wstring(profile) + L"\\" + suffix,
    };
    for (const std::wstring& folder : folders) {
        SCOPED_TRACE(std::string(folder.begin(), folder.end()));
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        const std::wstring exe = folder + L"\\veltra.exe";
        const std::string source = VariantDir("nolib") + "veltra.exe";
        ASSERT_TRUE(CopyFileW(std::wstring(source.begin(), source.end()).c_str(), exe.c_str(), FALSE));
        if (&folder == &folders[0]) {
            // Everyone may change it, as a folder made under a drive's root lets every user.
            EXPLICIT_ACCESS_W everyone{};
            BuildExplicitAccessWithNameW(&everyone, const_cast<wchar_t*>(L"Everyone"), GENERIC_ALL, SET_ACCESS,
                                         SUB_CONTAINERS_AND_OBJECTS_INHERIT);
            PACL acl = nullptr;
            ASSERT_EQ(SetEntriesInAclW(1, &everyone, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
            ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                                            DACL_SECURITY_INFORMATION, nullptr, nullptr, acl, nullptr),
                      static_cast<DWORD>(ERROR_SUCCESS));
            LocalFree(acl);
        }
        WriteRawAutostartValue("stale");
        std::vector<std::string> lines = RunAndLog(std::string(exe.begin(), exe.end()));
        EXPECT_EQ(ReadAutostartValue(), "stale");
        std::vector<std::string> autostart = LinesWith(lines, "autostart: ");
        ASSERT_EQ(autostart.size(), 1u) << ::testing::PrintToString(lines);
        EXPECT_EQ(autostart[0].find(std::string("autostart: not written, ") + kChangeableFolder + " ("), 0u)
            << autostart[0];

        if (&folder == &folders[0]) {
            const std::string output = ExeDir() + "diagnose-open.txt";
            ChildProcess diagnose;
            ASSERT_TRUE(diagnose.Start("\"" + std::string(exe.begin(), exe.end()) + "\" /diagnose", nullptr, nullptr,
                                       nullptr, output.c_str()));
            EXPECT_EQ(diagnose.Wait(20000), 0u);
            EXPECT_NE(ReadFileText(output).find(std::string("  ") + kChangeableFolder + " ("), std::string::npos)
                << ReadFileText(output);
            DeleteFileA(output.c_str());
        }
        DeleteFileW(exe.c_str());
        EXPECT_TRUE(RemoveDirectoryW(folder.c_str()));
    }
}

// veltra.exe /diagnose on a machine with neither the pendant nor NcStudio: the report goes to the
// file and to the output it was started with, and no driver starts (no window, no single-instance
// mutex, no log, no autostart value).
TEST_F(DriverProcess, DiagnoseReportsAndStartsNoDriver) {
    WriteRawAutostartValue("C:\\elsewhere\\veltra.exe");
    ClearLog();
    const std::string reportPath = ExeDir() + "diagnose-output.txt";
    char folder[MAX_PATH] = {0};
    GetEnvironmentVariableA("LOCALAPPDATA", folder, MAX_PATH);
    const std::string reportFile = std::string(folder) + "\\veltra\\veltra-diagnose.txt";
    DeleteFileA(reportFile.c_str());
    const std::string exe = VariantDir("nolib") + "veltra.exe";

    ChildProcess diagnose;
    ASSERT_TRUE(diagnose.Start("\"" + exe + "\" /DIAGNOSE", nullptr, nullptr, nullptr, reportPath.c_str()));
    bool driverSeen = false;
    DWORD code = STILL_ACTIVE;
    WaitUntil(
        [&] {
            driverSeen =
                driverSeen || MutexExists("QEVR01") || harness::FindWindowOf(diagnose.Pid(), kWindowTitle);
            return (code = diagnose.Wait(0)) != STILL_ACTIVE;
        },
        20000);
    EXPECT_EQ(code, 0u) << "ends by itself";
    EXPECT_FALSE(driverSeen);
    EXPECT_TRUE(LogLines().empty()) << "the driver did not start";
    EXPECT_EQ(ReadAutostartValue(), "C:\\elsewhere\\veltra.exe");

    const std::string report = ReadFileText(reportFile);
    EXPECT_EQ(ReadFileText(reportPath), report) << "the output holds the report";
    DeleteFileA(reportPath.c_str());
    const std::vector<std::string> expectations = {
        "Driver: veltra " VELTRA_VERSION_TEXT ", " + std::to_string(sizeof(void*) * 8) + "-bit\r\n",
        "hravik.dll: not there\r\n",
        "Pendant (vendor 10CE product EB93): not found\r\n",
        "Driver instance: not running\r\n",
        "NcStudio processes: none\r\n",
        "Autostart value \"dunmoral\": C:\\elsewhere\\veltra.exe, points at another file\r\n",
    };
    for (const std::string& expected : expectations)
        EXPECT_NE(report.find(expected), std::string::npos) << expected << " in\n" << report;
}

}  // namespace
