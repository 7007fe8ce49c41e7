// The application object: one copy of the driver at a time, running the main dialog for the
// life of the process.
#pragma once

#include <string>

#include "framework/wnd.h"

constexpr const char kSingleInstanceMutex[] = "QEVR01";

// The driver's file version, from its version resource, and its executable's full path.
std::string DriverVersion();
std::string DriverExePath();

// The end of the process, from the end of the main dialog or from the end of the session: an owed
// key-up first (within its bound, or a line in the log that says it was not delivered), then the
// hook library, the log's last lines, and the process's end.
[[noreturn]] void EndDriverProcess(UINT exitCode);

class CDriverApp : public CWinApp {
public:
    BOOL InitInstance() override;
};
