// NcStudio among the processes: which process owns a window's thread, which executable it runs,
// and what version that executable carries. One place for the process scan, used by the host
// tracker and the diagnosis alike.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// The executable of the NcStudio process that owns this thread (a process whose name holds
// "ncstudio"), from its module list; false when there is none or its module is not found.
bool FindHostExecutable(DWORD threadId, std::wstring* exePath);
bool OwnsThread(DWORD processId, DWORD threadId);
// The first module of the process whose full path holds the executable's name.
bool FindHostModule(DWORD processId, const wchar_t* exeName, std::wstring* modulePath);

// Every process whose executable's name holds "ncstudio": its id and that name.
void ForEachNcStudioProcess(const std::function<void(DWORD processId, const std::wstring& exeName)>& visit);

// What a host executable's version resource says: the NcStudio line the driver takes it for, and
// the product version as text ("8.5.12.0", "none" without a version resource).
struct HostVersion {
    enum Line { kUnreadable, kV5, kV8, kOther };
    Line line = kUnreadable;
    std::string text;
};
HostVersion ReadHostVersion(const std::wstring& path);
