#include "support/link_setup.h"

#include "app/driver_state.h"
#include "host/key_forwarder.h"
#include "pendant/pendant_device.h"

void ForwardPendantKeys() {
    g_state.enabled = 1;
    g_state.hostWindow = nullptr;
    g_state.hostThreadId = 0;
    g_state.pendantReady = 1;
    keyfwd::Reset();
    CPendantDevice::SetKeySink(&keyfwd::Sink());
}

