// Loads a library of the system's own from System32 only: never one planted in the driver's
// folder, the current folder or PATH.
#pragma once

#include <windows.h>

HMODULE LoadSystemLibrary(const wchar_t* name);
