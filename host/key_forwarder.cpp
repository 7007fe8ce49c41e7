#include "host/key_forwarder.h"

#include <atomic>

#include "app/driver_state.h"
#include "host/hook_library.h"
#include "base/kernel_lock.h"
#include "pendant/key_report.h"

namespace keyfwd {

namespace {

// The reader thread, the UI thread and whichever thread closes the link all forward; one at a
// time keeps the held-key record coherent. A kernel mutex, because a forwarding thread may be
// ended forcibly, and the next one must still get in.
KernelMutex& ForwarderMutex() {
    static KernelMutex mutex;
    return mutex;
}

// How long an event waits for another thread's hook call. A key-down later than this is dropped:
// a machine that starts to move seconds after the key is worse than one that does not move.
constexpr DWORD kLockWaitMs = 2500;

// The attachment belongs to the thread that made it, so each forwarding thread keeps its own.
thread_local DWORD t_attachedThreadId = 0;
// A key-down was handed to the host (or is being handed) and no key-up since.
std::atomic<bool> g_keyHeld{false};
// A release was asked for while another thread held the forwarder: that thread delivers it.
std::atomic<bool> g_releaseOwed{false};
// Counts releases; a key-down that waited across one belongs to a link or a lock that is gone.
std::atomic<unsigned> g_releaseEpoch{0};

void AttachInput() {
    DWORD host = g_state.hostThreadId;
    if (t_attachedThreadId == host) return;
    DWORD self = GetCurrentThreadId();
    if (t_attachedThreadId != 0 && AttachThreadInput(t_attachedThreadId, self, FALSE))
        t_attachedThreadId = 0;
    if (host != 0 && AttachThreadInput(host, self, TRUE)) t_attachedThreadId = host;
}

// Returns false when the library cannot be loaded (the event is dropped). The record changes
// before the call: a close that ends the caller inside the call must know what the host was told.
bool Deliver(uint32_t messageType, uint32_t keyCodeWord) {
    HMODULE module = hooklib::LoadSecond();
    if (!module) return false;
    uint32_t callValue = hooklib::NextCallValue();
    if (auto fn = hooklib::Find<hooklib::KeyBoardProcFn>(module, "KeyBoardProc")) {
        if (messageType == kKeyDown) g_keyHeld = true;
        if (messageType == kKeyUp) g_keyHeld = false;
        hooklib::CallGuard inCall;
        fn(messageType, keyCodeWord, callValue);
    }
    return true;
}

// With the forwarder held.
void DeliverOwedRelease() {
    if (g_releaseOwed.exchange(false) && g_keyHeld) Deliver(kKeyUp, 0);
}

// Delivers an owed release unless another thread holds the forwarder, which then delivers it on
// its way out. Both sides look again after the other could have acted, so none is missed.
void SettleOwedRelease() {
    while (g_releaseOwed) {
        if (!ForwarderMutex().Acquire(0)) return;
        DeliverOwedRelease();
        ForwarderMutex().Release();
    }
}

class Hold {
public:
    Hold() : owned_(ForwarderMutex().Acquire(kLockWaitMs)) {
        if (owned_) DeliverOwedRelease();
    }
    ~Hold() {
        if (!owned_) return;
        DeliverOwedRelease();
        ForwarderMutex().Release();
        SettleOwedRelease();
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    bool Owned() const { return owned_; }

private:
    bool owned_;
};

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
    unsigned epoch = g_releaseEpoch;
    Hold hold;
    if (!hold.Owned()) {
        // A key-up is never dropped: the thread in the host delivers it when it comes back.
        if (messageType == kKeyUp) ReleaseHeldKey();
        return 1;
    }
    if (g_state.enabled == 0) return 0;
    if (messageType == kKeyDown && epoch != g_releaseEpoch) return 0;
    // Asynchronous: a hung host window must not hold the pendant's reader.
    HWND host = g_state.hostWindow;
    if (host && IsIconic(host)) ShowWindowAsync(host, SW_SHOWNOACTIVATE);
    AttachInput();
    // A lock that came while this thread waited or attached wins over the key.
    if (g_state.enabled == 0) return 0;
    if (!Deliver(messageType, keyCodeWord)) return 1;
    g_state.forceFrame = 1;
    return 1;
}

void ReleaseHeldKey() {
    ++g_releaseEpoch;
    g_releaseOwed = true;
    SettleOwedRelease();
}

void Reset() {
    KernelLock lock(ForwarderMutex(), kLockWaitMs);
    t_attachedThreadId = 0;
    g_keyHeld = false;
    g_releaseOwed = false;
}

KeySink& Sink() {
    static ForwarderSink sink;
    return sink;
}

}  // namespace keyfwd
