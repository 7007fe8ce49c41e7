#include "host/machine_poller.h"

#include <cstring>

#include "app/driver_state.h"
#include "base/event_log.h"
#include "base/thread_role.h"
#include "host/hook_library.h"
#include "pendant/display_frame.h"
#include "pendant/pendant_device.h"

namespace poller {

namespace {

Relaxed<int> g_stop{0};
Relaxed<HANDLE> g_stopEvent{nullptr};
Relaxed<HANDLE> g_thread{nullptr};
// The poller is inside a call that no stop request reaches: the hook library, or a feature report
// that a stuck device never completes (Wine passes no cancel on to the device).
Relaxed<int> g_inBlockingCall{0};
// Slack beyond the size the library assumes: one that writes a little past it then spoils
// nothing of ours.
constexpr size_t kAxisSlack = 256;
char g_axisBuffer[hooklib::kAxisTextSize + kAxisSlack];

constexpr DWORD kIdleSleepMs = 100;
constexpr DWORD kPollPauseMs = 80;
constexpr int kStopWaits = 200;
constexpr DWORD kStopWaitMs = 10;
// How long a stop waits for a poller inside a blocking call before leaving it to the process's end.
constexpr DWORD kBlockingCallWaitMs = 40;

bool Active() {
    return g_pendant.connected != 0 && g_state.enabled != 0 && g_state.hostActive != 0;
}

template <class Fn, class... Args>
bool CallHook(HMODULE module, const char* name, int* result, Args... args) {
    auto fn = hooklib::Find<Fn>(module, name);
    if (!fn) return false;
    hooklib::CallGuard inCall;
    g_inBlockingCall = 1;
    *result = fn(args...);
    g_inBlockingCall = 0;
    return true;
}

// One poll; false when the stop event ended the thread's wait.
bool ActiveCycle() {
    HMODULE module = hooklib::LoadWrapperModule();
    int ignored = 0;
    CallHook<hooklib::GetMaStateFn>(module, "GetMaState", &ignored);

    HANDLE event = g_stopEvent;
    DWORD wait = event ? WaitForSingleObject(event, kPollPauseMs) : (Sleep(kPollPauseMs), WAIT_TIMEOUT);
    if (wait == WAIT_OBJECT_0) {
        // The event's name is known to every program of the session, and any of them can end
        // the poller with it.
        if (!g_stop)
            eventlog::Write("poller stopped: its stop event \"", kStopEventName,
                            "\" was signalled by another program; the pendant's display is no longer "
                            "kept in step until the driver starts again");
        return false;
    }

    int step = 0;
    if (CallHook<hooklib::GetMaStepFn>(module, "GetMaStep", &step))
        StoreStep(static_cast<uint32_t>(step));
    // The library is not told the buffer's size: never read past it, terminated or not.
    g_axisBuffer[hooklib::kAxisTextSize - 1] = '\0';
    int wrote = 0;
    if (CallHook<hooklib::GetAxisLocationFn>(module, "GetAxisLocation", &wrote, g_axisBuffer,
                                             hooklib::NextCallValue()) &&
        wrote != 0) {
        g_axisBuffer[hooklib::kAxisTextSize - 1] = '\0';
        g_state.axisText.assign(g_axisBuffer, strnlen(g_axisBuffer, hooklib::kAxisTextSize));
    }
    if (g_stop) return false;
    g_inBlockingCall = 1;
    SendDisplayFrame();
    g_inBlockingCall = 0;
    return true;
}

DWORD WINAPI PollerThreadProc(LPVOID) {
    SetThreadRole("poller");
    while (!g_stop) {
        if (!Active()) {
            // The idle pause waits on the stop event, so an exit is not held up by it.
            HANDLE event = g_stopEvent;
            if (event) WaitForSingleObject(event, kIdleSleepMs);
            else Sleep(kIdleSleepMs);
        } else if (!ActiveCycle()) {
            break;
        }
    }
    return 0;
}

}  // namespace

bool Start() {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, kStopEventName);
    if (!event) {
        MessageBoxA(nullptr, "System Error,Can't StartUp!", nullptr, MB_OK);
        return false;
    }
    g_stopEvent = event;
    g_stop = 0;
    g_inBlockingCall = 0;
    HANDLE thread = CreateThread(nullptr, 0, PollerThreadProc, nullptr, CREATE_SUSPENDED, nullptr);
    g_thread = thread;
    if (thread) ResumeThread(thread);
    return true;
}

void Stop() {
    // The link is not the poller's to close: whoever stops the poller has asked the link thread
    // first. A poller on its way out finds the link held closed and opens nothing.
    DWORD start = GetTickCount();
    g_stop = 1;
    if (HANDLE event = g_stopEvent) SetEvent(event);
    if (HANDLE thread = g_thread) {
        DWORD code = 0;
        int waits = 0;
        while (GetExitCodeThread(thread, &code) && code == STILL_ACTIVE) {
            // Ending it inside the hook library could leave the library broken for the host; a
            // poller inside a call that no stop reaches is left to the process's end.
            if (g_inBlockingCall && GetTickCount() - start >= kBlockingCallWaitMs) break;
            Sleep(kStopWaitMs);
            if (++waits > kStopWaits) {
                TerminateThread(thread, 0);
                break;
            }
        }
        CloseHandle(thread);
    }
    g_thread = nullptr;
}

void ExitCleanup() {
    if (HANDLE event = g_stopEvent.exchange(nullptr)) CloseHandle(event);
}

bool Running() { return g_thread != nullptr; }

}  // namespace poller
