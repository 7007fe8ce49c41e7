// Key reports: six bytes from the pendant's input interface, decoded into key events. The reader
// thread that reads them is the link's (pendant_device.cpp).
#pragma once

#include <windows.h>

#include <cstdint>

constexpr uint8_t kKeyReportId = 4;
constexpr DWORD kKeyReportSize = 6;
constexpr uint32_t kKeyDown = 0x100;  // WM_KEYDOWN
constexpr uint32_t kKeyUp = 0x101;    // WM_KEYUP

struct KeyEvent {
    uint32_t messageType;
    uint32_t keyCodeWord;
};

// Bytes 2, 3 and 4 are the three key codes; the others do not matter.
KeyEvent DecodeKeyReport(const uint8_t report[kKeyReportSize]);
