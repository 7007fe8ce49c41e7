// Where the pendant link hands what it reads. The link knows nothing of hosts; the main dialog
// connects this to the key forwarder.
#pragma once

#include <cstdint>

class KeySink {
public:
    virtual ~KeySink() = default;
    virtual void OnKeyEvent(uint32_t messageType, uint32_t keyCodeWord) = 0;
    // One key-up for a key the host holds, none when it holds none: the link was lost or
    // closed, or the pendant let go of the key while the reader was held up in the host.
    virtual void ReleaseHeld() = 0;
};
