// Linked into every test program, not taken from a library, so that it is never left out: what
// each test process keeps to itself, so parallel suites never see each other's traces. Drivers
// that a test starts inherit both.
#include <windows.h>

#include <filesystem>
#include <string>

#include "base/event_log.h"

namespace {

// The hook library's call records.
struct UniqueHookBlock {
    UniqueHookBlock() {
        char name[64];
        wsprintfA(name, "veltra-test-hravik-%lu", GetCurrentProcessId());
        SetEnvironmentVariableA("HRAVIK_SHM", name);
    }
} g_uniqueHookBlock;

// The event log's folder, removed at the end.
struct IsolatedLogFolder {
    IsolatedLogFolder() {
        char temp[MAX_PATH] = {0};
        GetTempPathA(MAX_PATH, temp);
        root = std::string(temp) + "veltra-test-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(root.c_str(), nullptr);
        SetEnvironmentVariableA("LOCALAPPDATA", root.c_str());
    }
    ~IsolatedLogFolder() {
        eventlog::Flush(1000);
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    std::string root;
} g_isolatedLog;

}  // namespace
