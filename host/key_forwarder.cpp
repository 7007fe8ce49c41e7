#include "host/key_forwarder.h"

#include <atomic>

#include "app/driver_state.h"
#include "base/kernel_lock.h"
#include "host/hook_library.h"
#include "pendant/display_frame.h"
#include "pendant/key_report.h"

namespace keyfwd {

namespace {

// The reader thread, the UI thread and the link thread all forward; one at a time keeps the
// held-key record coherent. A kernel mutex, because a forwarding thread may be ended forcibly,
// and the next one must still get in.
KernelMutex& ForwarderMutex() {
    static KernelMutex mutex;
    return mutex;
}

// The attachment belongs to the thread that made it, so each forwarding thread keeps its own.
thread_local DWORD t_attachedThreadId = 0;
// A key-down was handed to the host (or is being handed) and no key-up since.
std::atomic<bool> g_keyHeld{false};
// A release was asked for while another thread held the forwarder: that thread delivers it.
std::atomic<bool> g_releaseOwed{false};
// Counts releases; a key-down that waited across one belongs to a link or a lock that is gone.
std::atomic<unsigned> g_releaseEpoch{0};
// Pause reasons in force.
std::atomic<unsigned> g_paused{0};
// Set once: at the exit, or when the process has crashed.
std::atomic<bool> g_exiting{false};
std::atomic<DWORD> g_exitStart{0};
std::atomic<bool> g_crashed{false};

void AttachInput() {
    DWORD host = g_state.hostThreadId;
    if (t_attachedThreadId == host) return;
    DWORD self = GetCurrentThreadId();
    if (t_attachedThreadId != 0 && AttachThreadInput(t_attachedThreadId, self, FALSE))
        t_attachedThreadId = 0;
    if (host != 0 && AttachThreadInput(host, self, TRUE)) t_attachedThreadId = host;
}

// With the forwarder held: the host made ready as for every key, then KeyBoardProc. Returns false
// when the library cannot be loaded (the event is dropped). The record changes before the call: a
// close that finds the caller inside the call must know what the host was told.
bool DeliverToHost(uint32_t messageType, uint32_t keyCodeWord) {
    // Asynchronous: a hung host window must not hold the pendant's reader.
    HWND host = g_state.hostWindow;
    if (host && IsIconic(host)) ShowWindowAsync(host, SW_SHOWNOACTIVATE);
    AttachInput();
    HMODULE module = hooklib::LoadForwarderModule();
    if (!module) return false;
    uint32_t callValue = hooklib::NextCallValue();
    if (auto fn = hooklib::Find<hooklib::KeyBoardProcFn>(module, "KeyBoardProc")) {
        if (messageType == kKeyDown) {
            // Held first, then the exit looked at: an exit that began meanwhile either sees this
            // key held and waits for its key-up, or is seen here and the key never goes down.
            g_keyHeld = true;
            if (g_exiting || g_crashed) {
                g_keyHeld = false;
                return true;
            }
        }
        if (messageType == kKeyUp) g_keyHeld = false;
        hooklib::CallGuard inCall;
        fn(messageType, keyCodeWord, callValue);
    }
    return true;
}

// With the forwarder held.
void DeliverOwedRelease() {
    if (g_releaseOwed.exchange(false) && g_keyHeld && !g_crashed) DeliverToHost(kKeyUp, 0);
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
    explicit Hold(DWORD waitMs) : owned_(ForwarderMutex().Acquire(waitMs)) {
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

bool Refused() { return g_state.enabled == 0 || g_paused != 0 || g_exiting || g_crashed; }

class ForwarderSink final : public KeySink {
public:
    void OnKeyEvent(uint32_t messageType, uint32_t keyCodeWord) override {
        ForwardKey(messageType, keyCodeWord);
    }
    void ReleaseHeld() override { ReleaseHeldKey(); }
};

HMODULE CrashModule() {
    HMODULE module = hooklib::secondModule;
    return module ? module : static_cast<HMODULE>(hooklib::firstModule);
}

DWORD WINAPI CrashReleaseProc(LPVOID) {
    if (auto fn = hooklib::Find<hooklib::KeyBoardProcFn>(CrashModule(), "KeyBoardProc"))
        fn(kKeyUp, 0, hooklib::NextCallValue());
    return 0;
}

}  // namespace

int ForwardKey(uint32_t messageType, uint32_t keyCodeWord, DWORD lockWaitMs) {
    if (Refused()) return 0;
    unsigned epoch = g_releaseEpoch;
    Hold hold(lockWaitMs);
    if (!hold.Owned()) {
        // A key-up is never dropped: the thread in the host delivers it when it comes back.
        if (messageType == kKeyUp) ReleaseHeldKey();
        return 1;
    }
    // A lock, a pause or the exit that came while this thread waited wins over the key.
    if (Refused()) return 0;
    if (messageType == kKeyDown && epoch != g_releaseEpoch) return 0;
    if (!DeliverToHost(messageType, keyCodeWord)) return 1;
    RequestFrameResend();
    return 1;
}

void ReleaseHeldKey() {
    ++g_releaseEpoch;
    g_releaseOwed = true;
    SettleOwedRelease();
}

bool KeyUpOwed() { return g_keyHeld; }

void SetPaused(Pause reason, bool on) {
    unsigned before = on ? g_paused.fetch_or(reason) : g_paused.fetch_and(~static_cast<unsigned>(reason));
    if (on && before == 0) ReleaseHeldKey();
}

void BeginExit() {
    if (!g_exiting.exchange(true)) g_exitStart = GetTickCount();
    ReleaseHeldKey();
}

bool SettleBeforeExit() {
    const DWORD start = g_exiting ? g_exitStart.load() : GetTickCount();
    for (;;) {
        if (!g_keyHeld) return true;
        if (ForwarderMutex().Acquire(0)) {
            if (g_keyHeld && !g_crashed) DeliverToHost(kKeyUp, 0);
            g_releaseOwed = false;
            bool held = g_keyHeld;
            ForwarderMutex().Release();
            if (!held) return true;
        }
        if (GetTickCount() - start >= kExitReleaseBoundMs) return false;
        Sleep(2);
    }
}

CrashRelease ReleaseForCrash(DWORD boundMs) {
    if (g_crashed.exchange(true) || !g_keyHeld) return CrashRelease::kNothingHeld;
    // Not through the forwarder: the thread that crashed may be the one holding it. A thread of
    // its own, so that a library that hangs now cannot keep the rest of the report from going out.
    HANDLE thread = CreateThread(nullptr, 0, CrashReleaseProc, nullptr, 0, nullptr);
    if (!thread) return CrashRelease::kCallHung;
    bool returned = WaitForSingleObject(thread, boundMs) == WAIT_OBJECT_0;
    CloseHandle(thread);
    g_keyHeld = false;
    return returned ? CrashRelease::kReleased : CrashRelease::kCallHung;
}

void Reset() {
    KernelLock lock(ForwarderMutex(), kLockWaitMs);
    t_attachedThreadId = 0;
    g_keyHeld = false;
    g_releaseOwed = false;
    g_paused = 0;
    g_exiting = false;
    g_exitStart = 0;
    g_crashed = false;
}

KeySink& Sink() {
    static ForwarderSink sink;
    return sink;
}

}  // namespace keyfwd
