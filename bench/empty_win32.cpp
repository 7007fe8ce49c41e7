// The baseline of the process benchmarks: a Win32 program that does nothing but tell the
// benchmark it runs (sets the event named first on its command line) and, when a second name is
// given, stays until that event is set, so its memory can be read. With "--window" first it
// creates one hidden window before telling: under Wine the first window of a process loads the
// X11 driver, a cost every windowed program pays.
#include <windows.h>

#include <cstring>
#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR cmdLine, int) {
    std::string args = cmdLine ? cmdLine : "";
    if (args.rfind("--window ", 0) == 0) {
        args = args.substr(9);
        CreateWindowExA(0, "STATIC", "bench-empty", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    }
    std::string ready = args.substr(0, args.find(' '));
    std::string hold = args.find(' ') == std::string::npos ? "" : args.substr(args.find(' ') + 1);
    if (HANDLE e = OpenEventA(EVENT_MODIFY_STATE, FALSE, ready.c_str())) {
        SetEvent(e);
        CloseHandle(e);
    }
    if (!hold.empty()) {
        if (HANDLE e = OpenEventA(SYNCHRONIZE, FALSE, hold.c_str())) {
            WaitForSingleObject(e, 60000);
            CloseHandle(e);
        }
    }
    return 0;
}
