// The operators' Windows Installer package as their IT installs it: the real msiexec installs,
// upgrades and removes it, and the files, the Start menu shortcut and the registry are read
// afterwards. The package is the shipping build's (VELTRA_MSI); without it the suite is skipped.
#include <gtest/gtest.h>
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <aclapi.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/folder_rights.h"
#include "res/resource.h"
#include "support/test_util.h"

namespace {

constexpr char kUpgradeCode[] = "{1FAE16AE-B253-4193-8C44-1897A72B7F32}";
constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr char kDowngradeMessage[] = "A newer version of veltra is already installed.";
constexpr DWORD kMsiexecMs = 120000;

std::string Environment(const char* name) {
    char value[MAX_PATH * 2] = {0};
    DWORD n = GetEnvironmentVariableA(name, value, sizeof(value));
    return n > 0 && n < sizeof(value) ? std::string(value) : std::string();
}

// ctest hands over Linux paths; msiexec wants Windows ones.
std::string WindowsPath(const std::string& path) {
    char full[MAX_PATH * 2] = {0};
    DWORD n = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
    return n > 0 && n < sizeof(full) ? std::string(full) : path;
}

std::string Folder(int csidl) {
    char path[MAX_PATH] = {0};
    if (FAILED(SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) return std::string();
    return std::string(path) + "\\";
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The package holds the 32-bit driver: it can start only where the system runs 32-bit programs
// (always on 64-bit Windows; under Wine only with its 32-bit half, which some kernels cannot run).
bool Runs32BitPrograms() {
    char folder[MAX_PATH] = {0};
    UINT n = GetSystemWow64DirectoryA(folder, MAX_PATH);
    return n > 0 && n < MAX_PATH && Exists(std::string(folder) + "\\kernel32.dll");
}

std::vector<char> Bytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The package is 32-bit: its registry entries live in the 32-bit view, as the driver's own do.
std::string RegistryString(const std::string& key, const char* name, REGSAM view) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, &handle) != ERROR_SUCCESS)
        return std::string();
    char value[MAX_PATH * 2] = {0};
    DWORD size = sizeof(value) - 1;
    DWORD type = 0;
    LONG read = RegQueryValueExA(handle, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(handle);
    return read == ERROR_SUCCESS && type == REG_SZ ? std::string(value) : std::string();
}

bool RegistryKeyExists(const std::string& key, REGSAM view) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

void WriteRunValue(const std::string& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &key),
              ERROR_SUCCESS);
    RegSetValueExA(key, "dunmoral", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
}

// The installer's own record of which of our products are installed.
std::vector<std::string> InstalledProducts() {
    std::vector<std::string> codes;
    char code[39];
    for (DWORD i = 0; MsiEnumRelatedProductsA(kUpgradeCode, 0, i, code) == ERROR_SUCCESS; ++i)
        codes.push_back(code);
    return codes;
}

std::string ProductVersion(const std::string& code) {
    char version[64] = {0};
    DWORD size = sizeof(version);
    if (MsiGetProductInfoA(code.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &size) != ERROR_SUCCESS)
        return std::string();
    return version;
}

std::string NewGuid() {
    GUID id;
    CoCreateGuid(&id);
    char text[40];
    std::snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2],
                  id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    return text;
}

bool Sql(MSIHANDLE db, const std::string& query) {
    MSIHANDLE view = 0;
    if (MsiDatabaseOpenViewA(db, query.c_str(), &view) != ERROR_SUCCESS) return false;
    bool ok = MsiViewExecute(view, 0) == ERROR_SUCCESS;
    MsiCloseHandle(view);
    return ok;
}

// Key columns cannot be updated: the upgrade rows bounded by the old version are deleted and
// inserted again bounded by the new.
bool MoveUpgradeRows(MSIHANDLE db, const std::string& oldVersion, const std::string& version) {
    const char* columns = "`UpgradeCode`, `VersionMin`, `VersionMax`, `Language`, `Attributes`, `Remove`, "
                          "`ActionProperty`";
    const std::string bounded = " WHERE `VersionMin`='" + oldVersion + "' OR `VersionMax`='" + oldVersion + "'";
    MSIHANDLE view = 0, row = 0;
    if (MsiDatabaseOpenViewA(db, (std::string("SELECT ") + columns + " FROM `Upgrade`" + bounded).c_str(), &view) !=
        ERROR_SUCCESS)
        return false;
    std::vector<MSIHANDLE> rows;
    if (MsiViewExecute(view, 0) == ERROR_SUCCESS)
        while (MsiViewFetch(view, &row) == ERROR_SUCCESS) rows.push_back(row);
    MsiCloseHandle(view);
    bool ok = !rows.empty() && Sql(db, "DELETE FROM `Upgrade`" + bounded);
    MSIHANDLE insert = 0;
    ok = ok && MsiDatabaseOpenViewA(db, (std::string("INSERT INTO `Upgrade` (") + columns +
                                         ") VALUES (?, ?, ?, ?, ?, ?, ?)").c_str(),
                                    &insert) == ERROR_SUCCESS;
    for (MSIHANDLE record : rows) {
        for (UINT field : {2u, 3u}) {  // VersionMin, VersionMax
            char value[64] = {0};
            DWORD size = sizeof(value);
            MsiRecordGetStringA(record, field, value, &size);
            if (oldVersion == value) MsiRecordSetStringA(record, field, version.c_str());
        }
        ok = ok && MsiViewExecute(insert, record) == ERROR_SUCCESS;
        MsiCloseHandle(record);
    }
    if (insert) MsiCloseHandle(insert);
    return ok;
}

// A later release (or a rebuild, with the same version) as the build makes it: the same package
// with that version, new product and package codes, and its upgrade rows moved to the version. Returns what failed, if any.
std::string MakeRelease(const std::string& from, const std::string& to, const std::string& oldVersion,
                        const std::string& version) {
    if (!CopyFileA(from.c_str(), to.c_str(), FALSE)) return "copy";
    MSIHANDLE db = 0;
    if (MsiOpenDatabaseA(to.c_str(), MSIDBOPEN_TRANSACT, &db) != ERROR_SUCCESS) return "open";
    std::string failed;
    const std::string queries[] = {
        "UPDATE `Property` SET `Value`='" + version + "' WHERE `Property`='ProductVersion'",
        "UPDATE `Property` SET `Value`='" + NewGuid() + "' WHERE `Property`='ProductCode'",
    };
    for (const std::string& query : queries)
        if (failed.empty() && !Sql(db, query)) failed = query;
    // A rebuild of the same version keeps its rows as they are.
    if (failed.empty() && oldVersion != version && !MoveUpgradeRows(db, oldVersion, version)) failed = "upgrade rows";
    MSIHANDLE summary = 0;
    if (failed.empty() && MsiGetSummaryInformationA(db, nullptr, 1, &summary) != ERROR_SUCCESS) failed = "summary";
    if (failed.empty() && MsiSummaryInfoSetPropertyA(summary, 9 /* PID_REVNUMBER: the package code */, VT_LPSTR, 0,
                                                     nullptr, NewGuid().c_str()) != ERROR_SUCCESS)
        failed = "package code";
    if (failed.empty() && MsiSummaryInfoPersist(summary) != ERROR_SUCCESS) failed = "summary persist";
    if (summary) MsiCloseHandle(summary);
    if (failed.empty() && MsiDatabaseCommit(db) != ERROR_SUCCESS) failed = "commit";
    MsiCloseHandle(db);
    return failed;
}

std::string PackageVersion(const std::string& package) {
    MSIHANDLE db = 0;
    if (MsiOpenDatabaseA(package.c_str(), MSIDBOPEN_READONLY, &db) != ERROR_SUCCESS) return std::string();
    std::string version;
    MSIHANDLE view = 0, record = 0;
    if (MsiDatabaseOpenViewA(db, "SELECT `Value` FROM `Property` WHERE `Property`='ProductVersion'", &view) ==
            ERROR_SUCCESS &&
        MsiViewExecute(view, 0) == ERROR_SUCCESS && MsiViewFetch(view, &record) == ERROR_SUCCESS) {
        char value[64] = {0};
        DWORD size = sizeof(value);
        MsiRecordGetStringA(record, 1, value, &size);
        version = value;
        MsiCloseHandle(record);
    }
    if (view) MsiCloseHandle(view);
    MsiCloseHandle(db);
    return version;
}

// One string column of the rows a query selects.
std::vector<std::string> Column(const std::string& package, const std::string& query, UINT field) {
    std::vector<std::string> values;
    MSIHANDLE db = 0, view = 0, record = 0;
    if (MsiOpenDatabaseA(package.c_str(), MSIDBOPEN_READONLY, &db) != ERROR_SUCCESS) return values;
    if (MsiDatabaseOpenViewA(db, query.c_str(), &view) == ERROR_SUCCESS && MsiViewExecute(view, 0) == ERROR_SUCCESS)
        while (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
            char value[512] = {0};
            DWORD size = sizeof(value);
            MsiRecordGetStringA(record, field, value, &size);
            values.push_back(value);
            MsiCloseHandle(record);
        }
    if (view) MsiCloseHandle(view);
    MsiCloseHandle(db);
    return values;
}

// Why others than the administrators can change the folder, as the driver judges it at start.
std::string WhyOthersCanChangeFolder(const std::string& folder) {
    std::wstring path(folder.begin(), folder.end());
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return "its access list cannot be read";
    std::string why = WhyOthersCanChange(descriptor, path);
    LocalFree(descriptor);
    return why;
}

bool UnderWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }

std::string ReadLog(const std::string& path) {
    std::vector<char> bytes = Bytes(path);
    // A log is either UTF-16 with a byte-order mark or in the ANSI code page.
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        std::string narrow;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) narrow += bytes[i + 1] == 0 ? bytes[i] : '?';
        return narrow;
    }
    return std::string(bytes.begin(), bytes.end());
}

class Installer : public ::testing::Test {
protected:
    void SetUp() override {
        std::string package = Environment("VELTRA_MSI");
        if (package.empty() || !Exists(WindowsPath(package))) {
            GTEST_SKIP() << "the shipping package is not built: " << package;
        }
        package_ = WindowsPath(package);
        ASSERT_TRUE(InstalledProducts().empty()) << "a veltra package is installed already";
        char temp[MAX_PATH] = {0};
        GetTempPathA(MAX_PATH, temp);
        work_ = std::string(temp) + "veltra-installer-test\\";
        CreateDirectoryA(work_.c_str(), nullptr);
        installDir_ = Folder(CSIDL_PROGRAM_FILESX86) + "veltra\\";
        version_ = PackageVersion(package_);
        runValue64_ = RegistryString(kRunKey, "dunmoral", KEY_WOW64_64KEY);
        runKeyExisted_ = RegistryKeyExists(kRunKey, KEY_WOW64_32KEY);
        ASSERT_FALSE(version_.empty());
    }

    void TearDown() override {
        // Whatever a failed test left installed goes, so that the next one starts clean.
        for (const std::string& code : InstalledProducts()) Msiexec("/x " + code, "cleanup.log");
        // Windows Installer removes a key that the removal leaves empty: the Run key goes when our
        // value was its only one. The driver only opens it, so the tests after this one need it.
        HKEY key = nullptr;
        if (runKeyExisted_ && RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, nullptr, 0, KEY_READ | KEY_WOW64_32KEY,
                                              nullptr, &key, nullptr) == ERROR_SUCCESS)
            RegCloseKey(key);
    }

    // Quiet, unless shown is given: then with the basic user interface, whose message boxes are
    // read into shown and answered.
    DWORD Msiexec(const std::string& arguments, const std::string& log, std::string* shown = nullptr) {
        ChildProcess msiexec;
        std::string ui = shown ? " /qb" : " /qn";
        if (!msiexec.Start("msiexec.exe " + arguments + ui + " /l*v \"" + work_ + log + "\"")) return ~0u;
        if (!shown) return msiexec.Wait(kMsiexecMs);
        MessageBoxCloser boxes(nullptr, msiexec.Pid());
        DWORD code = msiexec.Wait(kMsiexecMs);
        *shown = boxes.LastText();
        return code;
    }
    DWORD Install(const std::string& package, const std::string& log, const std::string& extra = "",
                  std::string* shown = nullptr) {
        return Msiexec("/i \"" + package + "\"" + extra, log, shown);
    }

    // Where the shortcut is. Windows Installer puts it among all users' programs for a
    // per-machine package; Wine's among the installing user's.
    std::string Shortcut() {
        for (int csidl : {CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS}) {
            std::string path = Folder(csidl) + "veltra.lnk";
            if (Exists(path)) return path;
        }
        return std::string();
    }

    void ExpectNothingLeft(const std::vector<std::string>& productCodes) {
        EXPECT_TRUE(InstalledProducts().empty());
        EXPECT_FALSE(Exists(installDir_)) << installDir_;
        EXPECT_EQ(Shortcut(), "");
        EXPECT_EQ(RegistryString(kRunKey, "dunmoral", KEY_WOW64_32KEY), "");
        EXPECT_FALSE(RegistryKeyExists("Software\\Qorin", KEY_WOW64_32KEY)) << "the remembered folder";
        // The 64-bit view is no business of a 32-bit package; this build's own driver writes there.
        EXPECT_EQ(RegistryString(kRunKey, "dunmoral", KEY_WOW64_64KEY), runValue64_);
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
            for (const std::string& code : productCodes)
                EXPECT_FALSE(RegistryKeyExists(kUninstallKey + code, view)) << code << " view " << view;
    }

    std::string package_;
    std::string work_;
    std::string installDir_;
    std::string version_;
    std::string runValue64_;
    bool runKeyExisted_ = false;
};

TEST_F(Installer, InstallsDriverShortcutAndAutostartAndUninstallLeavesNothing) {
    ASSERT_EQ(Install(package_, "install.log"), 0u);
    std::vector<std::string> products = InstalledProducts();
    ASSERT_EQ(products.size(), 1u);
    EXPECT_EQ(ProductVersion(products[0]), version_);
    EXPECT_TRUE(RegistryKeyExists(kUninstallKey + products[0], KEY_WOW64_32KEY) ||
                RegistryKeyExists(kUninstallKey + products[0], KEY_WOW64_64KEY))
        << "listed among the installed programs";

    std::string exe = installDir_ + "veltra.exe";
    std::string shipped = Environment("VELTRA_SHIPPED_EXE");
    ASSERT_TRUE(Exists(exe)) << exe;
    if (!shipped.empty()) {
        EXPECT_TRUE(Bytes(exe) == Bytes(WindowsPath(shipped))) << "the shipping build's driver";
    }
    EXPECT_TRUE(Exists(installDir_ + "README.txt"));
    EXPECT_FALSE(Exists(installDir_ + "hravik.dll")) << "the maker's library is never packaged";
    EXPECT_EQ(RegistryString(kRunKey, "dunmoral", KEY_WOW64_32KEY), "\"" + exe + "\"");

    // The way back after Exit: the shortcut starts the installed driver, which writes its own
    // autostart value into the very place the package wrote it.
    std::string shortcut = Shortcut();
    ASSERT_NE(shortcut, "") << "no veltra.lnk among the programs of the Start menu";
    if (!Runs32BitPrograms()) {
        std::printf("the shortcut is not started: this system runs no 32-bit programs\n");
        EXPECT_EQ(Msiexec("/x \"" + package_ + "\"", "uninstall.log"), 0u);
        ExpectNothingLeft(products);
        return;
    }
    WriteRunValue("stale");
    HINSTANCE opened = ShellExecuteA(nullptr, "open", shortcut.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    ASSERT_GT(reinterpret_cast<INT_PTR>(opened), 32);
    HWND driver = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (driver = FindWindowA(nullptr, "QEVR-1.4")) != nullptr; }, 15000))
        << "the shortcut started no driver";
    auto runValue = [] { return RegistryString(kRunKey, "dunmoral", KEY_WOW64_32KEY); };
    EXPECT_TRUE(WaitUntil([&] { return runValue() == "\"" + exe + "\""; }, 5000)) << runValue();
    DWORD pid = 0;
    GetWindowThreadProcessId(driver, &pid);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    PostMessageA(driver, WM_COMMAND, MAKEWPARAM(ID_EXIT, 0), 0);
    EXPECT_EQ(WaitForSingleObject(process, 8000), WAIT_OBJECT_0);
    CloseHandle(process);

    EXPECT_EQ(Msiexec("/x \"" + package_ + "\"", "uninstall.log"), 0u);
    ExpectNothingLeft(products);
}

// Outside Program Files the package sets the folder's access list itself: administrators and
// SYSTEM full control, users read and execute, owned by SYSTEM. The folder here existed before,
// open to everyone, as one made under a drive's root is to every user.
TEST_F(Installer, AdministratorChoosesTheFolderAndThePackageLocksIt) {
    const std::vector<std::string> locks =
        Column(package_, "SELECT `LockObject`, `Table`, `SDDLText` FROM `MsiLockPermissionsEx`", 3);
    EXPECT_EQ(Column(package_, "SELECT `LockObject`, `Table` FROM `MsiLockPermissionsEx`", 1),
              std::vector<std::string>{"INSTALLDIR"});
    EXPECT_EQ(Column(package_, "SELECT `LockObject`, `Table` FROM `MsiLockPermissionsEx`", 2),
              std::vector<std::string>{"CreateFolder"});
    ASSERT_EQ(locks, std::vector<std::string>{"O:SYG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"});
    EXPECT_EQ(Column(package_, "SELECT `Directory_` FROM `CreateFolder`", 1), std::vector<std::string>{"INSTALLDIR"});

    installDir_ = "C:\\Qorin\\veltra\\";
    CreateDirectoryA("C:\\Qorin", nullptr);
    CreateDirectoryA(installDir_.c_str(), nullptr);
    EXPLICIT_ACCESS_A everyone{};
    BuildExplicitAccessWithNameA(&everyone, const_cast<char*>("Everyone"), GENERIC_ALL, SET_ACCESS,
                                 SUB_CONTAINERS_AND_OBJECTS_INHERIT);
    PACL open = nullptr;
    ASSERT_EQ(SetEntriesInAclA(1, &everyone, nullptr, &open), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(SetNamedSecurityInfoA(const_cast<char*>("C:\\Qorin\\veltra"), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, open, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    LocalFree(open);
    ASSERT_NE(WhyOthersCanChangeFolder("C:\\Qorin\\veltra"), "") << "the folder was not opened to everyone";

    ASSERT_EQ(Install(package_, "install-dir.log", " INSTALLDIR=\"" + installDir_ + "\""), 0u);
    EXPECT_TRUE(Exists(installDir_ + "veltra.exe"));
    EXPECT_FALSE(Exists(Folder(CSIDL_PROGRAM_FILESX86) + "veltra\\"));
    EXPECT_EQ(RegistryString(kRunKey, "dunmoral", KEY_WOW64_32KEY), "\"" + installDir_ + "veltra.exe\"");
    const std::string why = WhyOthersCanChangeFolder("C:\\Qorin\\veltra");
    if (UnderWine())
        std::printf("Wine's installer applies no MsiLockPermissionsEx (the folder: %s); the package's rows are "
                    "checked above\n", why.empty() ? "locked" : why.c_str());
    else
        EXPECT_EQ(why, "") << "the package left the folder open";
    std::vector<std::string> products = InstalledProducts();
    EXPECT_EQ(Msiexec("/x \"" + package_ + "\"", "uninstall-dir.log"), 0u);
    ExpectNothingLeft(products);
    RemoveDirectoryA(installDir_.c_str());  // Wine's installer leaves a folder that existed before
    RemoveDirectoryA("C:\\Qorin");
}

// A rebuild of the same version (new product and package codes) replaces the installed package
// instead of installing beside it.
TEST_F(Installer, SameVersionRebuildReplacesTheInstalledOne) {
    std::string rebuild = work_ + "veltra-rebuild.msi";
    ASSERT_EQ(MakeRelease(package_, rebuild, version_, version_), "");
    ASSERT_EQ(Install(package_, "first.log"), 0u);
    std::vector<std::string> first = InstalledProducts();
    ASSERT_EQ(first.size(), 1u);

    ASSERT_EQ(Install(rebuild, "rebuild.log"), 0u);
    std::vector<std::string> now = InstalledProducts();
    ASSERT_EQ(now.size(), 1u) << "two product codes registered";
    EXPECT_NE(now[0], first[0]);
    EXPECT_EQ(ProductVersion(now[0]), version_);
    EXPECT_TRUE(Exists(installDir_ + "veltra.exe"));
    EXPECT_EQ(Msiexec("/x \"" + rebuild + "\"", "uninstall-rebuild.log"), 0u);
    ExpectNothingLeft({first[0], now[0]});
}

TEST_F(Installer, NewerVersionReplacesOlderAndOlderIsRefused) {
    std::string newer = work_ + "veltra-newer.msi";
    const std::string newerVersion = "99.0.0";
    ASSERT_EQ(MakeRelease(package_, newer, version_, newerVersion), "");

    ASSERT_EQ(Install(package_, "old.log"), 0u);
    std::vector<std::string> old = InstalledProducts();
    ASSERT_EQ(old.size(), 1u);

    ASSERT_EQ(Install(newer, "upgrade.log"), 0u);
    std::vector<std::string> now = InstalledProducts();
    ASSERT_EQ(now.size(), 1u) << "the older version is replaced, not kept beside";
    EXPECT_NE(now[0], old[0]);
    EXPECT_EQ(ProductVersion(now[0]), newerVersion);
    EXPECT_TRUE(Exists(installDir_ + "veltra.exe"));
    EXPECT_EQ(RegistryString(kRunKey, "dunmoral", KEY_WOW64_32KEY), "\"" + installDir_ + "veltra.exe\"");

    // 1603: the installation failed, on the launch condition that carries the message. Windows
    // also writes it to the log; Wine only shows it.
    std::string shown;
    EXPECT_EQ(Install(package_, "downgrade.log", "", &shown), 1603u);
    EXPECT_NE((shown + ReadLog(work_ + "downgrade.log")).find(kDowngradeMessage), std::string::npos)
        << "the downgrade is refused with a clear message; shown: " << shown;
    now = InstalledProducts();
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(ProductVersion(now[0]), newerVersion) << "the newer version stays";
    EXPECT_TRUE(Exists(installDir_ + "veltra.exe"));

    EXPECT_EQ(Msiexec("/x \"" + newer + "\"", "uninstall-newer.log"), 0u);
    ExpectNothingLeft({old[0], now[0]});
}

}  // namespace
