#include "pendant/key_report.h"

#include "app/driver_state.h"
#include "base/event_log.h"
#include "base/thread_role.h"
#include "pendant/hid_api.h"
#include "pendant/pendant_device.h"

namespace {

// A call into the host this long means reports have queued up behind it in the HID class.
constexpr double kSlowCallMs = 250;
// A read that completes this soon took a report out of the HID class's buffer: the pendant sent
// it while the reader was away. No HID call tells how many reports wait; one the pendant has not
// sent yet keeps the read waiting far longer than this.
constexpr double kQueuedReadMs = 20;

double MsSince(const LARGE_INTEGER& start) {
    static const double perMs = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return frequency.QuadPart / 1000.0;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (now.QuadPart - start.QuadPart) / perMs;
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

// What this reader has handed the host, for the catch-up after a slow call.
struct ReaderMemory {
    // Reports read from now on that came out of the buffer are stale.
    bool catchingUp = false;
    // The key code word of the key-down last handed over; 0 after a key-up.
    uint32_t handedWord = 0;
};
thread_local ReaderMemory t_memory;

// Marks the reader as inside the key sink for the scope: a close waits for it instead of
// cancelling or ending it.
class InSink {
public:
    InSink() : self_(GetCurrentThreadId()) { CPendantDevice::sinkThreadId = self_; }
    ~InSink() { CPendantDevice::sinkThreadId.compare_exchange(self_, 0); }
    InSink(const InSink&) = delete;
    InSink& operator=(const InSink&) = delete;

private:
    DWORD self_;
};

void ReleaseHeld(KeySink* sink) {
    t_memory.handedWord = 0;
    if (!sink) return;
    InSink inside;
    sink->ReleaseHeld();
}

}  // namespace

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
    LARGE_INTEGER started = Now();
    if (!Hid().ReadFile(input, report, kKeyReportSize, &read)) return 0;
    const double readMs = MsSince(started);
    CPendantDevice::reportsRead = CPendantDevice::reportsRead + 1;
    KeyEvent event = DecodeKeyReport(report);
    KeySink* sink = CPendantDevice::Sink();
    ReaderMemory& memory = t_memory;
    if (memory.catchingUp && readMs < kQueuedReadMs) {
        // Pressed while the host kept the reader waiting: the machine must not move on it now.
        // Only what the host holds is brought in line: a key it holds that the pendant has let
        // go of is released.
        if (event.keyCodeWord != memory.handedWord) ReleaseHeld(sink);
        return 1;
    }
    memory.catchingUp = false;
    if (!sink) return 1;
    LARGE_INTEGER handed = Now();
    {
        InSink inside;
        sink->OnKeyEvent(event.messageType, event.keyCodeWord);
    }
    memory.handedWord = event.messageType == kKeyDown ? event.keyCodeWord : 0;
    if (MsSince(handed) > kSlowCallMs) memory.catchingUp = true;
    return 1;
}

DWORD WINAPI ReaderThreadProc(LPVOID) {
    SetThreadRole("reader");
    t_memory = ReaderMemory();
    bool broken = false;
    // A reader that a close has stopped is no longer the link's: it must not touch the flags or
    // the next reader's stop request.
    while (!CPendantDevice::stopReader && CPendantDevice::IsCurrentReader()) {
        if (broken || CPendantDevice::inputHandle == INVALID_HANDLE_VALUE) {
            // Broken: idle until stopped, looking at the stop flag often so a close is quick.
            for (int i = 0; i < 10 && !CPendantDevice::stopReader; ++i) Sleep(10);
            continue;
        }
        if (ReadKeyReport() == 1) continue;
        DWORD error = GetLastError();
        if (CPendantDevice::inputHandle == INVALID_HANDLE_VALUE) continue;
        // A read cancelled because a stop was asked for is not a lost link.
        if (CPendantDevice::stopReader || !CPendantDevice::IsCurrentReader()) continue;
        broken = true;
        g_state.pendantReady = 0;
        // The handles are the link thread's to release; this reader only says why.
        CPendantDevice::brokenReader = GetCurrentThreadId();
        g_pendant.Ask(LinkRequest::kBroken);
        CPendantDevice::LogLinkLost(eventlog::Join("read failed (", eventlog::ErrorText(error), ")"));
        ReleaseHeld(CPendantDevice::Sink());
    }
    if (CPendantDevice::readerThreadId.compare_exchange(GetCurrentThreadId(), 0))
        CPendantDevice::stopReader = 0;
    return 0;
}
