// What a DLL file says of itself, read from its headers without loading it: a library of the
// other bitness cannot be loaded into this process at all, yet the log and the diagnosis must
// still say what it is.
#pragma once

#include <string>
#include <vector>

struct LibraryFile {
    bool found = false;  // the file exists and could be read
    bool isPe = false;   // it is a Windows image
    int bits = 0;        // 32 or 64; 0 for any other machine
    std::vector<std::string> exports;
};

LibraryFile ReadLibraryFile(const std::string& path);

// The bitness of this build, the one a library must have to be loaded.
constexpr int kOwnBits = sizeof(void*) * 8;
