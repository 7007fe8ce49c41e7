#include "pendant/key_report.h"

#include "app/driver_state.h"
#include "base/event_log.h"
#include "pendant/hid_api.h"
#include "pendant/pendant_device.h"

KeyEvent DecodeKeyReport(const uint8_t report[kKeyReportSize]) {
    uint32_t word = report[2] | (report[3] << 8) | (report[4] << 16);
    return {word != 0 ? kKeyDown : kKeyUp, word};
}

int ReadKeyReport() {
    uint8_t report[kKeyReportSize] = {kKeyReportId, 0, 0, 0, 0, 0};
    HANDLE input = CPendantDevice::inputHandle;
    if (input == INVALID_HANDLE_VALUE) return 0;
    if (CPendantDevice::stopReader) return 1;
    DWORD read = 0;
    if (!Hid().ReadFile(input, report, kKeyReportSize, &read)) return 0;
    CPendantDevice::reportsRead = CPendantDevice::reportsRead + 1;
    KeyEvent event = DecodeKeyReport(report);
    if (KeySink* sink = CPendantDevice::Sink()) {
        // A close that finds the reader here, in the host's hook library, leaves it behind.
        const DWORD self = GetCurrentThreadId();
        CPendantDevice::sinkThreadId = self;
        sink->OnKeyEvent(event.messageType, event.keyCodeWord);
        CPendantDevice::sinkThreadId.compare_exchange(self, 0);
    }
    return 1;
}

DWORD WINAPI ReaderThreadProc(LPVOID) {
    // A reader left behind by a close is no longer the link's: it must not touch the handles, the
    // flags or the next reader's stop request.
    while (!CPendantDevice::stopReader && CPendantDevice::IsCurrentReader()) {
        if (CPendantDevice::inputHandle == INVALID_HANDLE_VALUE) {
            // Broken: idle until stopped, looking at the stop flag often so a close is quick.
            for (int i = 0; i < 10 && !CPendantDevice::stopReader; ++i) Sleep(10);
            continue;
        }
        if (ReadKeyReport() == 1) continue;
        DWORD error = GetLastError();
        if (CPendantDevice::inputHandle == INVALID_HANDLE_VALUE) continue;
        // A read cancelled because a stop was asked for is not a lost link.
        if (CPendantDevice::stopReader || !CPendantDevice::IsCurrentReader()) continue;
        CPendantDevice::ReleaseHandle(CPendantDevice::inputHandle);
        CPendantDevice::ReleaseHandle(CPendantDevice::featureHandle);
        g_state.pendantReady = 0;
        if (KeySink* sink = CPendantDevice::Sink()) sink->OnLinkLost();
        CPendantDevice::LogLinkLost(eventlog::Join("read failed (", eventlog::ErrorText(error), ")"));
    }
    if (CPendantDevice::readerThreadId.compare_exchange(GetCurrentThreadId(), 0))
        CPendantDevice::stopReader = 0;
    return 0;
}
