// The one handler of a crash, whichever thread it happens on (the hook library runs on the reader,
// the poller and the UI thread): the machine first, then the record of what happened.
#pragma once

#include <string>
#include <vector>

namespace crash {

// The most crash dumps kept beside the log; older ones are deleted as new ones come.
constexpr int kDumpsKept = 3;

// Installs the handler for an unhandled exception and for std::terminate (an escaping C++
// exception). Once it runs it makes one key-up call when a key is held, writes one log line,
// writes a minidump, and ends the process; a second fault inside it ends the process at once.
void Install();

// The crash dumps beside the log, oldest first (full paths).
std::vector<std::string> Dumps();

}  // namespace crash
