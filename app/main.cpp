#include "app/driver_app.h"

static CDriverApp theApp;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { return FrameworkWinMain(instance); }
