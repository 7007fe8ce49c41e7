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

std::vector<KeyCall> KeyCalls(HravikShared* sh) {
    std::vector<KeyCall> calls;
    HravikRecord r;
    for (LONG i = HravikOldestIndex(sh); i < sh->count; ++i) {
        if (HravikReadRecord(sh, i, &r) && r.exportId == HravikKeyBoardProc)
            calls.emplace_back(static_cast<uint32_t>(r.args[0]), static_cast<uint32_t>(r.args[1]));
    }
    return calls;
}
