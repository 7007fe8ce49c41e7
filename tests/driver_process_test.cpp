// The driver as its own process, on the real HID calls (Wine lists no pendant).
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "app/driver_dlg.h"
#include "res/resource.h"
#include "support/test_util.h"

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
    WaitUntil([&] { return (window = FindProcessWindow(pid, kWindowTitle)) != nullptr; }, timeoutMs);
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
    EXPECT_EQ(lstrcmpiA(ReadAutostartValue().c_str(), driverPath.c_str()), 0)
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
    EXPECT_EQ(FindProcessWindow(second.Pid(), kWindowTitle), nullptr);
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
    EXPECT_TRUE(WriteAutostartValue("C:\\Program Files\\Veltra\\veltra.exe", &opened));
    EXPECT_TRUE(opened);
    EXPECT_EQ(ReadAutostartValue(), "\"C:\\Program Files\\Veltra\\veltra.exe\"");
    EXPECT_TRUE(WriteAutostartValue("C:\\Veltra\\veltra.exe", &opened));
    EXPECT_EQ(ReadAutostartValue(), "C:\\Veltra\\veltra.exe");
    if (!saved.empty()) WriteRawAutostartValue(saved);
}

}  // namespace
