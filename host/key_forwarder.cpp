#include "host/key_forwarder.h"

#include "app/driver_state.h"
#include "host/hook_library.h"
#include "pendant/kernel_lock.h"
#include "pendant/key_report.h"

namespace keyfwd {

namespace {

// The reader thread, the UI thread and whichever thread closes the link all forward; one at a
// time keeps the attached id and the held-key record coherent. The wait is bounded: a hung hook
// call must not freeze the UI thread for good.
KernelMutex& ForwarderMutex() {
    static KernelMutex mutex;
    return mutex;
}

constexpr DWORD kLockWaitMs = 2500;

class Lock : public KernelLock {
public:
    Lock() : KernelLock(ForwarderMutex(), kLockWaitMs) {}
};

DWORD g_attachedThreadId = 0;
bool g_keyHeld = false;

void AttachInput() {
    DWORD host = g_state.hostThreadId;
    if (g_attachedThreadId == host) return;
    DWORD self = GetCurrentThreadId();
    if (g_attachedThreadId != 0 && AttachThreadInput(g_attachedThreadId, self, FALSE))
        g_attachedThreadId = 0;
    if (host != 0 && AttachThreadInput(host, self, TRUE)) g_attachedThreadId = host;
}

// Returns false when the library cannot be loaded (the event is dropped).
bool Deliver(uint32_t messageType, uint32_t keyCodeWord) {
    HMODULE module = hooklib::secondModule;
    if (!module) {
        module = hooklib::Load();
        if (!module) return false;
        hooklib::secondModule = module;
    }
    uint32_t callValue = hooklib::NextCallValue();
    if (auto fn = hooklib::Find<hooklib::KeyBoardProcFn>(module, "KeyBoardProc")) {
        fn(messageType, keyCodeWord, callValue);
        g_keyHeld = (messageType == kKeyDown);
    }
    return true;
}

class ForwarderSink final : public KeySink {
public:
    void OnKeyEvent(uint32_t messageType, uint32_t keyCodeWord) override {
        ForwardKey(messageType, keyCodeWord);
    }
    void OnLinkLost() override { ReleaseHeldKey(); }
};

}  // namespace

int ForwardKey(uint32_t messageType, uint32_t keyCodeWord) {
    if (g_state.enabled == 0) return 0;
    Lock lock;
    if (!lock.Owned()) return 1;
    if (g_state.enabled == 0) return 0;
    HWND host = g_state.hostWindow;
    if (host && IsIconic(host)) ShowWindow(host, SW_SHOWNOACTIVATE);
    AttachInput();
    if (!Deliver(messageType, keyCodeWord)) return 1;
    g_state.forceFrame = 1;
    return 1;
}

void ReleaseHeldKey() {
    Lock lock;
    if (!lock.Owned() || !g_keyHeld) return;
    Deliver(kKeyUp, 0);
    g_keyHeld = false;
}

void Reset() {
    Lock lock;
    g_attachedThreadId = 0;
    g_keyHeld = false;
}

KeySink& Sink() {
    static ForwarderSink sink;
    return sink;
}

DWORD AttachedThreadId() { return g_attachedThreadId; }
bool KeyHeld() { return g_keyHeld; }

}  // namespace keyfwd
