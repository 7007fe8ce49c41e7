// The application object: one copy of the driver at a time, running the main dialog for the
// life of the process.
#pragma once

#include "framework/wnd.h"

constexpr const char kSingleInstanceMutex[] = "QEVR01";

class CDriverApp : public CWinApp {
public:
    BOOL InitInstance() override;
};
