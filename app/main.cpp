#include "app/driver_app.h"
#include "base/event_log.h"
#include "base/system_library.h"

static CDriverApp theApp;

// How long the end of the process waits for the log's last lines.
constexpr DWORD kLogFlushMs = 500;

// ExitProcess ends every other thread first: a reader or poller left inside a hung hook library
// call then never runs on into objects that the static destructors have torn down.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Before anything loads a library by name: never from this folder, the current one or PATH.
    SearchSystemFolderOnly();
    int code = FrameworkWinMain(instance);
    eventlog::Flush(kLogFlushMs);
    ExitProcess(code);
}
