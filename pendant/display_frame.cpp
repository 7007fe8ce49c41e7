#include "pendant/display_frame.h"

#include "app/driver_state.h"
#include "base/event_log.h"
#include "pendant/pendant_device.h"

namespace {
// The link's connection count when a frame last went out: a new connection starts with a blank
// display, so the frame is sent to it even if it equals the last one.
Relaxed<uint32_t> g_framedConnection{0};
}  // namespace

void SendDisplayFrame() {
    uint32_t connection = g_pendant.Connections();
    if (g_framedConnection.exchange(connection) != connection) g_state.forceFrame = 1;
    uint32_t merged = g_state.stepValue | (g_state.modeByte & kModeBitsShown);
    g_state.stepValue = merged;
    const uint8_t frame[kFrameSize] = {kFrameLead0, kFrameLead1, kFrameReserved,
                              static_cast<uint8_t>(merged & 0xFF)};
    if (PackFrame(frame) == g_state.lastFrame && g_state.forceFrame == 0) return;
    g_state.forceFrame = 0;
    g_state.lastFrame = PackFrame(frame);
    DWORD error = 0;
    switch (g_pendant.WriteFeature(frame, kFrameSize, &error)) {
        case FeatureSend::kSent:
            return;
        case FeatureSend::kBusy:
        case FeatureSend::kNoLink:
            // The link is being changed, or is being opened for this frame: it stays due and goes
            // out at the next cycle. No fault of the pendant's.
            g_state.forceFrame = 1;
            return;
        case FeatureSend::kRefused:
            break;
    }
    // The link thread closes it; the next status refresh reconnects.
    g_pendant.Ask(LinkRequest::kSendFailed);
    std::string reason = "a display frame could not be sent";
    if (error != 0) reason += eventlog::Join(" (", eventlog::ErrorText(error), ")");
    CPendantDevice::LogLinkLost(reason);
}

void ResetDisplayFrame() {
    g_framedConnection = g_pendant.Connections();
    g_state.stepValue = 0;
    g_state.forceFrame = 0;
    g_state.lastFrame = 0;
}

void RequestFrameResend() { g_state.forceFrame = 1; }

void StoreStep(uint32_t step) { g_state.stepValue = step; }
