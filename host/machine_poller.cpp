#include "host/machine_poller.h"

#include <cstring>

#include "app/driver_state.h"
#include "host/hook_library.h"
#include "pendant/display_frame.h"
#include "pendant/pendant_device.h"

namespace poller {

namespace {

Relaxed<int> g_stop{0};
Relaxed<HANDLE> g_stopEvent{nullptr};
Relaxed<HANDLE> g_thread{nullptr};
char g_axisBuffer[1024];

constexpr DWORD kIdleSleepMs = 100;
constexpr DWORD kPollPauseMs = 80;
constexpr int kStopWaits = 200;
constexpr DWORD kStopWaitMs = 10;

bool Active() {
    return g_pendant.connected != 0 && g_state.enabled != 0 && g_state.hostActive != 0;
}

// One poll; false when the stop event ended the thread's wait.
bool ActiveCycle() {
    HMODULE module = hooklib::firstModule;
    if (!module) {
        module = hooklib::Load();
        hooklib::firstModule = module;
    }
    if (auto fn = hooklib::Find<hooklib::GetMaStateFn>(module, "GetMaState")) fn();

    HANDLE event = g_stopEvent;
    DWORD wait = event ? WaitForSingleObject(event, kPollPauseMs) : (Sleep(kPollPauseMs), WAIT_TIMEOUT);
    if (wait == WAIT_OBJECT_0) return false;

    if (auto fn = hooklib::Find<hooklib::GetMaStepFn>(module, "GetMaStep"))
        g_state.stepValue = static_cast<uint32_t>(fn());
    if (auto fn = hooklib::Find<hooklib::GetAxisLocationFn>(module, "GetAxisLocation")) {
        // The library is not told the buffer's size: never read past it, terminated or not.
        g_axisBuffer[sizeof(g_axisBuffer) - 1] = '\0';
        if (fn(g_axisBuffer, hooklib::NextCallValue()) != 0) {
            g_axisBuffer[sizeof(g_axisBuffer) - 1] = '\0';
            g_state.axisText.assign(g_axisBuffer, strnlen(g_axisBuffer, sizeof(g_axisBuffer)));
        }
    }
    SendDisplayFrame();
    return true;
}

DWORD WINAPI PollerThreadProc(LPVOID) {
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
    HANDLE thread = CreateThread(nullptr, 0, PollerThreadProc, nullptr, CREATE_SUSPENDED, nullptr);
    g_thread = thread;
    if (thread) ResumeThread(thread);
    return true;
}

void Stop() {
    g_pendant.Close();
    g_stop = 1;
    if (HANDLE event = g_stopEvent) SetEvent(event);
    if (HANDLE thread = g_thread) {
        DWORD code = 0;
        int waits = 0;
        while (GetExitCodeThread(thread, &code) && code == STILL_ACTIVE) {
            Sleep(kStopWaitMs);
            if (++waits > kStopWaits) {
                TerminateThread(thread, 0);
                break;
            }
        }
        CloseHandle(thread);
        // The poller may have reopened the pendant between the close above and its end.
        g_pendant.Close();
    }
    g_thread = nullptr;
}

void ExitCleanup() {
    if (HANDLE event = g_stopEvent.exchange(nullptr)) CloseHandle(event);
}

bool Running() { return g_thread != nullptr; }

}  // namespace poller
