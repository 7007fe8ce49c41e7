// Key reports: six bytes from the pendant's input interface, decoded into key events on the
// reader thread and handed to the key sink there.
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

// Reads one report and hands it over: 1 when handed over or a stop was asked for before the
// read; 0 when there is no input handle or the read failed.
int ReadKeyReport();

DWORD WINAPI ReaderThreadProc(LPVOID ownerWindow);
