// The one path by which a pendant key reaches the host: restore a minimised host window, attach
// the host thread's input, and hand the event to the hook library's KeyBoardProc.
//
// A key-up is owed to the host from the moment it has been handed a key-down (the record is set
// before the call) until it has been handed a key-up. When something asks for a release (the link
// lost or closed, a lock, a sleep, the session leaving the console, the hook moving, the exit),
// the release is delivered at once by the asker when no other thread is inside the library, and
// otherwise by that thread on its way out; either way along the same path as any key.
#pragma once

#include <windows.h>

#include <cstdint>

#include "pendant/key_sink.h"

namespace keyfwd {

// How long a forwarding thread waits for another one that is inside the library. A key-down
// later than this is dropped: a machine that starts to move seconds after the key is worse than
// one that does not move.
constexpr DWORD kLockWaitMs = 2500;
// The UI thread's wait: its window must keep answering.
constexpr DWORD kUiLockWaitMs = 100;
// How long the end of the process waits for an owed key-up.
constexpr DWORD kExitReleaseBoundMs = 3000;

// 0 when nothing was done (locked, paused, exiting), 1 otherwise.
int ForwardKey(uint32_t messageType, uint32_t keyCodeWord, DWORD lockWaitMs = kLockWaitMs);

// A key-down last delivered is released with one key-up (key code word 0), whatever the lock
// state; nothing happens when no key is held.
void ReleaseHeldKey();

// Whether a key-down handed to the host still waits for its key-up.
bool KeyUpOwed();

// Reasons to forward nothing for a while; a held key is released when the first begins.
enum Pause : unsigned { kPauseSleep = 1, kPauseSession = 2 };
void SetPaused(Pause reason, bool on);

// The process is ending: no key is forwarded from now on, and a held key is released.
void BeginExit();
// Waits, delivering the release itself whenever no other thread is inside the library, until
// nothing is owed or kExitReleaseBoundMs after BeginExit; false when a key-up is still owed.
bool SettleBeforeExit();

// For the crash handler, once: forwards nothing more, and when a key is held makes one key-up
// call on a thread of its own, waiting at most boundMs for it to return.
enum class CrashRelease { kNothingHeld, kReleased, kCallHung };
CrashRelease ReleaseForCrash(DWORD boundMs);

// At initialisation: no host thread attached, no key held, nothing paused.
void Reset();

// Connects the pendant link's reader to the forwarder.
KeySink& Sink();

}  // namespace keyfwd
