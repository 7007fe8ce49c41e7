// hravik-ctl: sets the stand-in hook library's controls and prints its records, for the demo
// script and for poking at a running driver by hand. See Usage() for the commands.
#include "hravik_shared.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int Usage() {
    std::fputs(
        "usage: hravik-ctl [--name BLOCK] COMMAND\n"
        "  reset                          clear records, restore default controls\n"
        "  set step N                     value GetMaStep returns\n"
        "  set result EXPORT VALUE        value EXPORT returns\n"
        "  set hang EXPORT MS             EXPORT sleeps MS before returning\n"
        "  set axis TEXT...               text GetAxisLocation writes\n"
        "  set unterminated 0|1           GetAxisLocation fills 1024 'A' and no NUL\n"
        "  show                           print the controls and counters\n"
        "  dump [since N]                 one line per record with seq > N: seq ms thread export args\n"
        "  count EXPORT                   calls of EXPORT since the last reset\n"
        "  wait EXPORT N [TIMEOUT_MS]     wait until EXPORT was called N times (exit 1 on timeout)\n"
        "  hold [SECONDS]                 keep the block alive (settings made before the driver\n"
        "                                 loads the library survive only while someone holds it)\n"
        "BLOCK defaults to %HRAVIK_SHM%, else veltra-hravik-standin.\n",
        stderr);
    return 2;
}

bool ParseLong(const char* text, LONG* out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    long long v = std::strtoll(text, &end, 0);  // base 0: a script may pass 0x101
    if (*end != '\0' || v < -2147483648LL || v > 4294967295LL) return false;
    *out = static_cast<LONG>(static_cast<unsigned long>(v & 0xFFFFFFFFLL));
    return true;
}

int ExportArg(const char* name) {
    int id = HravikExportFromName(name);
    if (id < 0) std::fprintf(stderr, "hravik-ctl: unknown export '%s'\n", name ? name : "");
    return id;
}

int CmdSet(HravikShared* sh, int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string what = argv[0];
    LONG value = 0;
    if (what == "step") {
        if (!ParseLong(argv[1], &value)) return Usage();
        sh->result[HravikGetMaStep] = value;
    } else if (what == "result" || what == "hang") {
        if (argc < 3) return Usage();
        int id = ExportArg(argv[1]);
        if (id < 0) return 2;
        if (!ParseLong(argv[2], &value)) return Usage();
        (what == "result" ? sh->result : sh->hangMs)[id] = value;
    } else if (what == "axis") {
        // The rest of the line, so that the script need not quote "X1.000 Y2.000 Z3.000".
        std::string text = argv[1];
        for (int i = 2; i < argc; ++i) text += std::string(" ") + argv[i];
        HravikSetAxisText(sh, text.c_str());
    } else if (what == "unterminated") {
        if (!ParseLong(argv[1], &value)) return Usage();
        sh->axisUnterminated = value ? 1 : 0;
    } else {
        return Usage();
    }
    return 0;
}

int CmdShow(const HravikShared* sh) {
    std::printf("loads %ld unloads %ld records %ld\n", static_cast<long>(sh->loadCount),
                static_cast<long>(sh->unloadCount), static_cast<long>(sh->count));
    for (int id = 0; id < HravikExportCount; ++id)
        std::printf("%-16s result %ld hang %ld calls %ld\n", HravikExportName(id),
                    static_cast<long>(sh->result[id]), static_cast<long>(sh->hangMs[id]),
                    static_cast<long>(sh->callCount[id]));
    char text[kHravikAxisBufferSize];
    lstrcpynA(text, sh->axisText, kHravikAxisBufferSize);
    std::printf("axis \"%s\" unterminated %ld\n", text, static_cast<long>(sh->axisUnterminated));
    return 0;
}

int CmdDump(const HravikShared* sh, int argc, char** argv) {
    LONG since = 0;
    if (argc >= 2 && std::string(argv[0]) == "since") {
        if (!ParseLong(argv[1], &since)) return Usage();
    } else if (argc != 0) {
        return Usage();
    }
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    static HravikRecord batch[4096];
    for (;;) {
        LONG next = since;
        LONG n = HravikReadSince(sh, since, batch, 4096, &next);
        for (LONG i = 0; i < n; ++i) {
            const HravikRecord& r = batch[i];
            std::printf("%ld %.3f %lu %s", static_cast<long>(r.seq),
                        static_cast<double>(r.qpc) * 1000.0 / static_cast<double>(freq.QuadPart),
                        static_cast<unsigned long>(r.threadId), HravikExportName(r.exportId));
            for (int a = 0; a < HravikExportArgCount(r.exportId); ++a)
                std::printf(" 0x%" PRIx64, static_cast<uint64_t>(r.args[a]));
            std::printf("\n");
        }
        if (n < 4096) {
            // The index to pass as "since" next time, for a script that follows the log.
            std::fprintf(stderr, "next %ld\n", static_cast<long>(next));
            return 0;
        }
        since = next;
    }
}

int CmdWait(const HravikShared* sh, int argc, char** argv) {
    if (argc < 2) return Usage();
    int id = ExportArg(argv[0]);
    LONG n = 0, timeout = 10000;
    if (id < 0) return 2;
    if (!ParseLong(argv[1], &n) || (argc >= 3 && !ParseLong(argv[2], &timeout))) return Usage();
    if (HravikWaitForCalls(sh, id, n, static_cast<DWORD>(timeout))) return 0;
    std::fprintf(stderr, "hravik-ctl: %s called %ld times, not %ld\n", HravikExportName(id),
                 static_cast<long>(sh->callCount[id]), static_cast<long>(n));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = nullptr;
    int i = 1;
    if (i + 1 < argc && std::string(argv[i]) == "--name") {
        name = argv[i + 1];
        i += 2;
    }
    if (i >= argc) return Usage();
    std::string cmd = argv[i++];
    int rest = argc - i;
    char** args = argv + i;

    HravikShared* sh = HravikAttach(name);
    if (!sh) {
        std::fprintf(stderr, "hravik-ctl: cannot map the shared block (error %lu)\n",
                     GetLastError());
        return 1;
    }
    if (cmd == "reset") {
        HravikReset(sh);
        return 0;
    }
    if (cmd == "set") return CmdSet(sh, rest, args);
    if (cmd == "show") return CmdShow(sh);
    if (cmd == "dump") return CmdDump(sh, rest, args);
    if (cmd == "count") {
        if (rest < 1) return Usage();
        int id = ExportArg(args[0]);
        if (id < 0) return 2;
        std::printf("%ld\n", static_cast<long>(sh->callCount[id]));
        return 0;
    }
    if (cmd == "wait") return CmdWait(sh, rest, args);
    if (cmd == "hold") {
        LONG seconds = -1;
        if (rest >= 1 && !ParseLong(args[0], &seconds)) return Usage();
        Sleep(seconds < 0 ? INFINITE : static_cast<DWORD>(seconds) * 1000);
        return 0;
    }
    return Usage();
}
