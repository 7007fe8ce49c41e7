// veltra.exe /diagnose: a report of what the driver sees on this machine, for an operator to send
// when the pendant does nothing. It starts no driver and takes none of the driver's names.
#pragma once

#include <string>

namespace diag {

// Whether the command line (the program first, as Windows gives it) asks for the diagnosis.
bool Requested(const char* commandLine);

// The report, from what this machine shows now.
std::string BuildReport();

// Writes the report as veltra-diagnose.txt beside the log and shows it: on the console, or the
// output the program was started with, when there is one; otherwise in Notepad.
void Run();

}  // namespace diag
