// Driver state as a start-up that found the pendant leaves it, for tests of the key path.
#pragma once

// Unlocked, no host hooked, the pendant believed good, and the reader's events going to the key
// forwarder.
void ForwardPendantKeys();
