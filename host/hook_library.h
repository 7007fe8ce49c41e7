// The maker's hook library, hravik.dll: loaded at run time from the driver's own folder (or the
// system folder), every export looked up by name at each call.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "app/driver_state.h"

namespace hooklib {

constexpr const char kFileName[] = "hravik.dll";

// Mode codes given to SetPcState: the values the maker's library knows, not ours to change.
enum ModeCode : int {
    PCS_NORMAL = 0,
    PCS_REFERENCE = 5,
    PCS_JIGGLE = 6,
    PCS_PARAMETERS = 32,
    PCS_OKCANCEL = 64,
    PCS_YESNO = 128,
};

using InstallHookFn = int(WINAPI*)(HWND);
using UnHookFn = int(WINAPI*)();
using SetVerFn = int(WINAPI*)(int);
using EnableMapFn = int(WINAPI*)(int);
using SetPcStateFn = int(WINAPI*)(HWND, int);
using GetMaStateFn = int(WINAPI*)();
using GetMaStepFn = int(WINAPI*)();
// GetAxisLocation writes into a buffer of this size without being told it: the maker's library
// assumes it (the stand-in library fills exactly this much when asked to misbehave).
constexpr size_t kAxisTextSize = 1024;
using GetAxisLocationFn = int(WINAPI*)(char*, uint32_t);
using KeyBoardProcFn = int(WINAPI*)(uint32_t, uint32_t, uint32_t);

// The nine exports the driver calls, as the log and the diagnosis list them.
constexpr const char* kExportNames[] = {"installhook", "UnHook", "SetVer", "EnableMap", "SetPcState",
                                        "GetMaState", "GetMaStep", "GetAxisLocation", "KeyBoardProc"};

// The first handle serves the wrappers and the poller; the key forwarder keeps its own second one.
extern Relaxed<HMODULE> firstModule;
extern Relaxed<HMODULE> secondModule;

// Loads hravik.dll from the executable's folder or System32, never from the current folder or
// PATH, where a planted copy would run inside the driver.
HMODULE Load();
// Load looks in the executable's folder, then the system folder (base/module_path.h).
// The first or second handle, loaded into it when empty; null when the load fails. Two threads
// loading at once keep one handle and release the other reference.
HMODULE LoadWrapperModule();
HMODULE LoadForwarderModule();

// Marks a thread as inside the library for the scope: a library with a thread inside is never
// freed under it.
class CallGuard {
public:
    CallGuard();
    ~CallGuard();
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;
};
// Threads inside a library call right now.
int CallsInProgress();

template <class Fn>
Fn Find(HMODULE module, const char* name) {
    return module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                  : nullptr;
}

// A fresh 32-bit value for each GetAxisLocation and KeyBoardProc call.
uint32_t NextCallValue();

// The mode byte the display shows for a mode code.
uint8_t ModeByteFor(int code);

// At initialisation: load the first handle (failure is silent) and clear the second.
void LoadAtStart();
// At shutdown: free each handle that is set, unless a thread left behind is still inside the
// library; the process's end then takes it.
void FreeAll();

// Wrappers: each reloads the first handle when it is empty and returns 0 when that fails or the
// export is missing. None of them changes the driver's state: their callers do.
int InstallHook(HWND window);
int UnHook();
int SetVer(int isV8);
int EnableMap(int on);
// Tells the library the mode code for a window of the hooked host's thread; false, and nothing
// called, for a window of another thread or when the library cannot be loaded. A missing export
// is still true: the mode stands whether or not the library can hear it.
bool SetPcState(HWND window, int code);
// Whether the library (loaded into the first handle if need be) has this export.
bool Exports(const char* exportName);

// Why a wrapper of this export returned 0: the library is not loaded, lacks the export, or the
// export itself said 0.
std::string WhyReturnedZero(const char* exportName);

}  // namespace hooklib
