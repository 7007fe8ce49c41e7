// The pendant's display: a four-byte frame sent as one feature report when it changes or when a
// key event asked for a resend.
#pragma once

#include <cstdint>

#include "pendant/feature_report.h"

constexpr uint8_t kFrameSize = 4;
// The pendant shows only the two top bits of the host's dialog mode: the step takes the low bits
// of the same status byte.
constexpr uint8_t kModeBitsShown = 0xC0;
constexpr uint8_t kFrameLead0 = 0xFE;
constexpr uint8_t kFrameLead1 = 0xFD;
// Byte 2 carries nothing the pendant reads; zero matches the report's own padding.
constexpr uint8_t kFrameReserved = 0x00;

// Packs frame bytes as lastFrame holds them: byte 0 in the low eight bits.
constexpr uint32_t PackFrame(const uint8_t frame[kFrameSize]) {
    return frame[0] | (frame[1] << 8) | (frame[2] << 16) | (static_cast<uint32_t>(frame[3]) << 24);
}

// Runs on the poller thread once per active cycle.
void SendDisplayFrame();

// The frame's part of the driver state (step, resend request, last frame) changes only here.
// Back to a fresh start: nothing sent yet, so the first frame always goes out.
void ResetDisplayFrame();
// After a key: the next cycle sends the frame even if it has not changed (as after every new
// connection, which starts with a blank display).
void RequestFrameResend();
// GetMaStep's answer, the step the display shows.
void StoreStep(uint32_t step);
