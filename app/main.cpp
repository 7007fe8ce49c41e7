#include "app/crash_handler.h"
#include "app/driver_app.h"
#include "base/system_library.h"
#include "base/thread_role.h"

static CDriverApp theApp;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Before anything loads a library by name: never from this folder, the current one or PATH.
    SearchSystemFolderOnly();
    SetThreadRole("UI");
    crash::Install();
    EndDriverProcess(static_cast<UINT>(FrameworkWinMain(instance)));
}
