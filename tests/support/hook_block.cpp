// Linked into every test program, not taken from a library: each test process records its
// hook-library calls in a block of its own, so parallel tests do not see each other's calls; a
// driver started by the test inherits the name.
#include <windows.h>

namespace {
struct UniqueHookBlock {
    UniqueHookBlock() {
        char name[64];
        wsprintfA(name, "veltra-test-hravik-%lu", GetCurrentProcessId());
        SetEnvironmentVariableA("HRAVIK_SHM", name);
    }
} g_uniqueHookBlock;
}  // namespace
