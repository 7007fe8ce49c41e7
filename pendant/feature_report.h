// The pendant's feature report: what the display frame travels in.
#pragma once

#include <cstdint>

constexpr uint8_t kFeatureReportId = 6;
constexpr uint32_t kFeatureReportSize = 8;
// A feature report carries its id and seven bytes of a payload.
constexpr uint8_t kFeaturePayloadSize = kFeatureReportSize - 1;
