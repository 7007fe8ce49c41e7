// Libraries of the system's own, taken from the system folder and nowhere else. A library that
// is not a KnownDLL is otherwise looked for in the executable's folder first, where anyone who can
// write that folder could plant one.
#pragma once

#include <windows.h>

// Loads the named system library (hid.dll, version.dll, dbghelp.dll) from System32 only, with
// LOAD_LIBRARY_SEARCH_SYSTEM32; where that flag is refused (Windows 7 without KB2533623), by its
// full System32 path. Null with the last error set when it cannot be loaded.
HMODULE LoadSystemLibrary(const wchar_t* name);

// Makes System32 the only folder that later loads by bare name search, for every library the
// process or a system library loads afterwards. Does nothing where the system lacks
// SetDefaultDllDirectories (Windows 7 without KB2533623). Called first thing at start.
void SearchSystemFolderOnly();
