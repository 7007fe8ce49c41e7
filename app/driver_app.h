// The application object: one copy of the driver at a time, running the main dialog for the
// life of the process.
#pragma once

#include <string>

#include "framework/wnd.h"

constexpr const char kSingleInstanceMutex[] = "QEVR01";

// The driver's file version, from its version resource, and its executable's full path.
std::string DriverVersion();
std::string DriverExePath();

class CDriverApp : public CWinApp {
public:
    BOOL InitInstance() override;
};
