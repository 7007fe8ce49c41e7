#include "app/crash_handler.h"
#include "app/driver_app.h"
#include "base/thread_role.h"

static CDriverApp theApp;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    SetThreadRole("UI");
    crash::Install();
    EndDriverProcess(static_cast<UINT>(FrameworkWinMain(instance)));
}
