// A file's version resource, read through version.dll from the system folder (version.dll is no
// KnownDLL: imported, it would be looked for beside the executable first).
#pragma once

#include <windows.h>

// The fixed part of the file's version resource. False when there is none or it cannot be read;
// *error then says why (ERROR_RESOURCE_TYPE_NOT_FOUND and its kin: the file has no version
// resource; ERROR_MOD_NOT_FOUND: version.dll cannot be loaded).
bool ReadFixedFileVersion(const wchar_t* path, VS_FIXEDFILEINFO* fixed, DWORD* error);
