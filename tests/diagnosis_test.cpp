// The diagnosis report of a machine with the pendant (on a fake HID bus) and the stand-in
// NcStudio running as real processes; the report of a machine with neither is the driver
// process's own test.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "app/diagnosis.h"
#include "base/event_log.h"
#include "host_client.h"
#include "support/fake_hid.h"
#include "support/test_util.h"
#include "veltra_version.h"

namespace {

bool Has(const std::string& report, const std::string& text) {
    return report.find(text) != std::string::npos;
}

TEST(Diagnosis, ReportsThePendantAndWhichNcStudioWouldBeHooked) {
    FakeHidBus bus;
    FakeInterface odd = FakeInterface::Input();
    odd.inputLength = 8;
    FakeInterface locked = FakeInterface::Foreign();
    locked.openFails = true;
    bus.interfaces = {FakeInterface::Foreign(), FakeInterface::Feature(), FakeInterface::Input(), odd,
                      locked};
    bus.Install();
    HostProcess v8, v6;
    ASSERT_TRUE(v8.Start(ExeDir() + "ncstudio-v8.exe"));
    ASSERT_TRUE(v6.Start(ExeDir() + "ncstudio-v6.exe"));

    // As the package writes it: quoted, though the path has no blank.
    char exe[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    ASSERT_EQ(std::string(exe).find(' '), std::string::npos) << "the case needs a path without a blank";
    const std::string packaged = "\"" + std::string(exe) + "\"";
    HKEY run = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0, KEY_SET_VALUE,
                            &run),
              ERROR_SUCCESS);
    RegSetValueExA(run, "dunmoral", 0, REG_SZ, reinterpret_cast<const BYTE*>(packaged.c_str()),
                   static_cast<DWORD>(packaged.size() + 1));
    RegCloseKey(run);

    const std::string report = diag::BuildReport();
    const std::string bits = std::to_string(sizeof(void*) * 8) + "-bit";
    EXPECT_TRUE(Has(report, "Driver: veltra " VELTRA_VERSION_TEXT ", " + bits + "\r\n")) << report;
    EXPECT_TRUE(Has(report, "Runs from: " + ExeDir() + "\r\n")) << report;
    EXPECT_TRUE(Has(report, "  " + ExeDir() + "hravik.dll: " + bits + ", all nine exports\r\n")) << report;

    EXPECT_TRUE(Has(report, "HID interfaces: 5\r\n")) << report;
    EXPECT_TRUE(Has(report, "  vendor 046D product C077, input 6, feature 0: \\\\?\\fakehid#0\r\n"))
        << report;
    EXPECT_TRUE(Has(report,
                    "  vendor 10CE product EB93, input 0, feature 8: \\\\?\\fakehid#1  <- the pendant's "
                    "feature interface\r\n"))
        << report;
    EXPECT_TRUE(Has(report,
                    "  vendor 10CE product EB93, input 6, feature 0: \\\\?\\fakehid#2  <- the pendant's "
                    "input interface\r\n"))
        << report;
    EXPECT_TRUE(Has(report,
                    "  vendor 10CE product EB93, input 8, feature 0: \\\\?\\fakehid#3  <- the pendant's "
                    "ids, but not its report sizes\r\n"))
        << report;
    EXPECT_TRUE(Has(report, "  cannot be opened (error 5")) << report;
    EXPECT_TRUE(Has(report, "Pendant (vendor 10CE product EB93): found\r\n")) << report;
    EXPECT_EQ(bus.OpenHandles(), 0) << "every interface the report opened is closed again";

    EXPECT_TRUE(Has(report, "Driver instance: not running\r\n")) << report;
    EXPECT_TRUE(Has(report, "ncstudio-v8.exe, product version 8.5.12.0: would be hooked as 8.x\r\n"))
        << report;
    EXPECT_TRUE(Has(report, "  pid " + std::to_string(v8.Pid()) + ", ")) << report;
    EXPECT_TRUE(
        Has(report, "ncstudio-v6.exe, product version 6.1.0.0: would not be hooked: neither 5.x nor 8.x"))
        << report;
    EXPECT_TRUE(Has(report, "Autostart value \"dunmoral\": " + packaged + ", points at this executable\r\n")) << report;
}

// A Ctrl+F11 held by another program and the crash dumps beside the log are both said.
TEST(Diagnosis, ReportsATakenHotKeyAndTheCrashDumps) {
    FakeHidBus bus;
    bus.Install();
    std::string folder = eventlog::Folder();
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string dump = folder + "veltra-crash-20261208-101500-42.dmp";
    HANDLE file = CreateFileA(dump.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    WriteFile(file, "MDMP", 4, &done, nullptr);
    CloseHandle(file);
    ASSERT_TRUE(RegisterHotKey(nullptr, 0x7003, MOD_CONTROL, VK_F11));
    const std::string report = diag::BuildReport();
    UnregisterHotKey(nullptr, 0x7003);
    DeleteFileA(dump.c_str());
    EXPECT_TRUE(Has(report, "Ctrl+F11: taken by another program")) << report;
    EXPECT_TRUE(Has(report, "Crash dumps: 1\r\n  " + dump + ", 4 bytes\r\n")) << report;
    EXPECT_TRUE(Has(diag::BuildReport(), "Ctrl+F11: free\r\n"));
}

}  // namespace
