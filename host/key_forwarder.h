// The one path by which a pendant key reaches the host: restore a minimised host window, attach
// the host thread's input, and hand the event to the hook library's KeyBoardProc.
#pragma once

#include <windows.h>

#include <cstdint>

#include "pendant/key_sink.h"

namespace keyfwd {

// 0 when the driver is locked and nothing was done, 1 otherwise.
int ForwardKey(uint32_t messageType, uint32_t keyCodeWord);

// A key-down last delivered is released with one key-up (key code word 0), whatever the lock
// state; nothing happens when no key is held. Called when the link is lost, on lock and at exit.
void ReleaseHeldKey();

// At initialisation: no host thread attached, no key held.
void Reset();

// Connects the pendant link's reader to the forwarder.
KeySink& Sink();

}  // namespace keyfwd
