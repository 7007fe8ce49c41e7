#include "pendant/display_frame.h"

#include "app/driver_state.h"
#include "base/event_log.h"
#include "pendant/hid_api.h"
#include "pendant/pendant_device.h"

int CPendantDevice::WriteFeature(const uint8_t* payload, uint8_t length) {
    // Held across the sends so that a close on another thread cannot pull the handle away
    // between two reports of one payload.
    LinkLock guard(*this);
    lastSendError = 0;
    if (!guard.Owned()) return 0;
    if (featureHandle == INVALID_HANDLE_VALUE) {
        if (!EnsureOpen()) return 0;
        if (featureHandle == INVALID_HANDLE_VALUE) return 0;
    }
    if (length == 0) return 1;
    uint8_t offset = 0;
    uint8_t remaining = length;
    for (;;) {
        uint8_t report[kFeatureReportSize] = {kFeatureReportId};
        uint8_t chunk = remaining > 7 ? 7 : remaining;
        for (uint8_t i = 0; i < chunk; ++i) report[1 + i] = payload[offset + i];
        featureCaller_ = GetCurrentThreadId();
        BOOL sent = Hid().HidD_SetFeature(featureHandle, report, kFeatureReportSize);
        DWORD error = sent ? 0 : GetLastError();
        featureCaller_ = 0;
        if (!sent) {
            lastSendError = error;
            return 0;
        }
        remaining = static_cast<uint8_t>(remaining - chunk);
        if (remaining == 0) return 1;
        offset = static_cast<uint8_t>(offset + chunk);
    }
}

void SendDisplayFrame() {
    uint32_t merged = g_state.stepValue | (g_state.modeByte & 0xC0u);
    g_state.stepValue = merged;
    const uint8_t frame[4] = {kFrameLead0, kFrameLead1, kFrameReserved,
                              static_cast<uint8_t>(merged & 0xFF)};
    if (PackFrame(frame) == g_state.lastFrame && g_state.forceFrame == 0) return;
    g_state.forceFrame = 0;
    g_state.lastFrame = PackFrame(frame);
    if (!g_pendant.WriteFeature(frame, 4)) {
        if (g_pendant.connected == 1) g_pendant.Close();
        g_state.pendantReady = 0;
        DWORD error = g_pendant.lastSendError;
        std::string reason = "a display frame could not be sent";
        if (error != 0) reason += eventlog::Join(" (", eventlog::ErrorText(error), ")");
        CPendantDevice::LogLinkLost(reason);
    }
}
