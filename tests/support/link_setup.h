// Driver state as a start-up that found the pendant leaves it, for tests of the key path.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "hravik_shared.h"

// Unlocked, no host hooked, the pendant believed good, and the reader's events going to the key
// forwarder.
void ForwardPendantKeys();

// (message type, key code word) of each KeyBoardProc call the stand-in hook library has seen,
// in order.
using KeyCall = std::pair<uint32_t, uint32_t>;
std::vector<KeyCall> KeyCalls(HravikShared* sh);
