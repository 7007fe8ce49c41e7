#include "app/driver_app.h"

static CDriverApp theApp;

// ExitProcess ends every other thread first: a reader or poller left inside a hung hook library
// call then never runs on into objects that the static destructors have torn down.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { ExitProcess(FrameworkWinMain(instance)); }
