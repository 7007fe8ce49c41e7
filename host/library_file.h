// What a DLL file says of itself, read from its headers without loading it: a library of the
// other bitness cannot be loaded into this process at all, yet the log and the diagnosis must
// still say what it is. Every count and length is bounded by what a library can have, not by the
// file, so that a crafted file is read as quickly as a real one.
#pragma once

#include <string>
#include <vector>

struct LibraryFile {
    bool found = false;     // the file exists and could be read
    bool isPe = false;      // it is a Windows image
    bool unusable = false;  // past the bounds of any library: "not a library this driver can use"
    int bits = 0;           // 32 or 64; 0 for any other machine
    std::vector<std::string> exports;
};

// The bounds: the Windows loader takes at most 96 sections; a hook library has a few exports.
constexpr unsigned kMaxLibrarySections = 96;
constexpr unsigned kMaxLibraryExportNames = 4096;
constexpr unsigned kMaxLibraryNameLength = 256;
constexpr unsigned long kMaxLibraryBytes = 64ul * 1024 * 1024;

LibraryFile ReadLibraryFile(const std::string& path);

// The bitness of this build, the one a library must have to be loaded.
constexpr int kOwnBits = sizeof(void*) * 8;
