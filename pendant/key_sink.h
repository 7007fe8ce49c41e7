// Where the pendant link hands what it reads. The link knows nothing of hosts; the main dialog
// connects this to the key forwarder.
#pragma once

#include <cstdint>

class KeySink {
public:
    virtual ~KeySink() = default;
    virtual void OnKeyEvent(uint32_t messageType, uint32_t keyCodeWord) = 0;
    // The link was lost (a failed read, or a close once the reader has stopped).
    virtual void OnLinkLost() = 0;
};
