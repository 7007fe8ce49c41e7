#include "app/autostart.h"

#include "app/folder_rights.h"
#include "base/event_log.h"
#include "base/module_path.h"

namespace autostart {

namespace {
constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kValueName[] = "dunmoral";
}  // namespace

std::string ValueFor(const char* exePath) {
    // A path with a blank must be quoted, or Windows may start C:\Program.exe instead.
    std::string value = exePath;
    if (value.find(' ') != std::string::npos) value = "\"" + value + "\"";
    return value;
}

bool WriteValue(const char* exePath, bool* keyOpened) {
    HKEY key = nullptr;
    LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_WRITE, &key);
    *keyOpened = opened == ERROR_SUCCESS;
    if (!*keyOpened) {
        eventlog::Write("autostart: not written, the Run key cannot be opened (", eventlog::ErrorText(opened),
                        ")");
        return true;
    }
    std::string value = ValueFor(exePath);
    LONG written = RegSetValueExA(key, kValueName, 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(value.c_str()),
                                  static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    if (written == ERROR_SUCCESS)
        eventlog::Write("autostart: \"", kValueName, "\" set to ", value);
    else
        eventlog::Write("autostart: not written (", eventlog::ErrorText(written), ")");
    return written == ERROR_SUCCESS;
}

bool ReadValue(std::string* value) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    char text[MAX_PATH + 8] = {0};
    DWORD size = sizeof(text) - 1;
    DWORD type = 0;
    LONG read = RegQueryValueExA(key, kValueName, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS || type != REG_SZ) return false;
    *value = text;
    return true;
}

Outcome Register() {
    // Every user's logon runs what the value names: never a file that others can replace.
    std::string why = WhyOthersCanChangeThisDriver();
    if (!why.empty()) {
        eventlog::Write("autostart: not written, ", kChangeableFolder, " (", why, ")");
        return Outcome::kRefused;
    }
    bool opened = false;
    if (WriteValue(ModulePath().c_str(), &opened)) return opened ? Outcome::kWritten : Outcome::kKeyUnavailable;
    return Outcome::kWriteFailed;
}

}  // namespace autostart
