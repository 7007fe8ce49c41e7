#include "pendant/pendant_device.h"

#include <vector>

#include "base/event_log.h"
#include "pendant/feature_report.h"
#include "pendant/hid_api.h"
#include "pendant/hid_discovery.h"
#include "pendant/key_report.h"
#include "base/thread_role.h"
#include "pendant/pendant_ids.h"

const GUID kUsbDeviceInterfaceClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

Relaxed<HANDLE> CPendantDevice::featureHandle{INVALID_HANDLE_VALUE};
Relaxed<HANDLE> CPendantDevice::inputHandle{INVALID_HANDLE_VALUE};
Relaxed<HANDLE> CPendantDevice::readerThread{nullptr};
Relaxed<DWORD> CPendantDevice::readerThreadId{0};
Relaxed<int> CPendantDevice::stopReader{0};
Relaxed<HWND> CPendantDevice::ownerWindow{nullptr};
Relaxed<DWORD> CPendantDevice::sinkThreadId{0};
Relaxed<DWORD> CPendantDevice::brokenReader{0};
Relaxed<KeySink*> CPendantDevice::keySink_{nullptr};
Relaxed<uint32_t> CPendantDevice::reportsRead{0};
Relaxed<int> CPendantDevice::linkLogged_{0};

CPendantDevice g_pendant;

namespace {
constexpr uint8_t kMaxFeatureInterfaces = 4;
constexpr DWORD kLinkPollMs = 10;
constexpr size_t kOutcomeSlots = 64;

std::string Describe(const DiscoverySeen& seen) {
    using eventlog::Join;
    if (seen.listError != 0)
        return Join("the list of HID interfaces cannot be had (", eventlog::ErrorText(seen.listError), ")");
    std::string text = Join(seen.interfaces, " HID interfaces seen");
    if (seen.unopened > 0) text += Join(", ", seen.unopened, " of them could not be opened");
    if (seen.withIds == 0)
        text += Join("; none has the pendant's ids (vendor ", eventlog::Hex4(kPendantVendorId), " product ",
                     eventlog::Hex4(kPendantProductId), ")");
    else if (seen.features > 0 && seen.inputs > 0)
        text += "; both of the pendant's interfaces, but its reader thread could not be started";
    else if (seen.features > 0)
        text += "; the pendant's feature interface, but not its input interface";
    else if (seen.inputs > 0)
        text += "; the pendant's input interface, but not its feature interface";
    if (seen.oddInput >= 0)
        text += Join("; one with the pendant's ids has input reports of ", seen.oddInput,
                     " and feature reports of ", seen.oddFeature, " bytes (the pendant's: input ",
                     kKeyReportSize, ", feature ", kFeatureReportSize, ")");
    return text;
}

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

}  // namespace

CPendantDevice::CPendantDevice() : interfaceClass(kUsbDeviceInterfaceClass) {}

void CPendantDevice::SetKeySink(KeySink* sink) { keySink_ = sink; }

void CPendantDevice::DoubtLink() { g_state.pendantReady = 0; }

bool CPendantDevice::IsCurrentReader() { return readerThreadId == GetCurrentThreadId(); }

void CPendantDevice::ReleaseHandle(Relaxed<HANDLE>& field) { PutHandle(field, INVALID_HANDLE_VALUE); }

void CPendantDevice::PutHandle(Relaxed<HANDLE>& field, HANDLE device) {
    HANDLE replaced = field.exchange(device);
    if (replaced != INVALID_HANDLE_VALUE) Hid().CloseHandle(replaced);
}

// ---- asking the link thread ----

void CPendantDevice::ReplyTo(HWND window, UINT message) {
    KernelLock guard(queueLock_);
    replyWindow_ = window;
    replyMessage_ = message;
}

uint64_t CPendantDevice::Enqueue(LinkRequest request) {
    KernelLock guard(queueLock_);
    if (!linkThread_) {
        wake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        done_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        linkThread_ = CreateThread(nullptr, 0, LinkThreadProc, this, 0, nullptr);
    }
    // A refresh or a frame that asks again while its request still waits adds nothing.
    for (const auto& waiting : queue_)
        if (waiting.first == request) return waiting.second;
    if (request == LinkRequest::kShutdown) endAsked_ = true;
    if (request == LinkRequest::kReset) endAsked_ = false;
    queue_.emplace_back(request, ++asked_);
    SetEvent(wake_);
    return asked_;
}

void CPendantDevice::Ask(LinkRequest request) { Enqueue(request); }

LinkOutcome CPendantDevice::AskAndWait(LinkRequest request) {
    uint64_t ticket = Enqueue(request);
    while (finished_ < ticket) WaitForSingleObject(done_, 50);
    KernelLock guard(queueLock_);
    return lastOutcome_[ticket % kOutcomeSlots];
}

int CPendantDevice::Open(HWND owner) {
    ownerWindow = owner;
    return AskAndWait(LinkRequest::kOpen) == LinkOutcome::kConnected ? 1 : 0;
}

bool CPendantDevice::WaitIdle(DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        {
            KernelLock guard(queueLock_);
            if (queue_.empty() && !running_) return true;
        }
        if (GetTickCount() - start >= timeoutMs) return false;
        if (done_) WaitForSingleObject(done_, 5);
        else Sleep(1);
    }
}

DWORD WINAPI CPendantDevice::LinkThreadProc(LPVOID self) {
    static_cast<CPendantDevice*>(self)->RunRequests();
    return 0;
}

void CPendantDevice::RunRequests() {
    for (;;) {
        WaitForSingleObject(wake_, INFINITE);
        for (;;) {
            std::pair<LinkRequest, uint64_t> next;
            {
                KernelLock guard(queueLock_);
                if (queue_.empty()) break;
                next = queue_.front();
                queue_.pop_front();
                running_ = true;
                ResetEvent(done_);
            }
            LinkOutcome outcome = Run(next.first);
            KernelLock guard(queueLock_);
            lastOutcome_[next.second % kOutcomeSlots] = outcome;
            if (replyWindow_)
                PostMessageA(replyWindow_, replyMessage_, static_cast<WPARAM>(next.first),
                             static_cast<LPARAM>(outcome));
            // Idle only once the reply is posted: whoever saw the link idle finds it queued.
            running_ = false;
            finished_ = next.second;
            SetEvent(done_);
        }
    }
}

// ---- the link thread's work ----

LinkOutcome CPendantDevice::Run(LinkRequest request) {
    const bool held = suspended_ || shutDown_;
    auto opened = [](int result) { return result ? LinkOutcome::kConnected : LinkOutcome::kNotFound; };
    switch (request) {
        case LinkRequest::kProbe: {
            if (held) return LinkOutcome::kHeldClosed;
            // Only whether it is there and which interface class it has: no reader, no keys.
            int result = FindAndOpen(false);
            connected = result;
            CloseLocked();
            return opened(result);
        }
        case LinkRequest::kOpen:
        case LinkRequest::kReopen: {
            if (held) return LinkOutcome::kHeldClosed;
            if (request == LinkRequest::kReopen && connected == 1) CloseLocked();
            int result = FindAndOpen(true);
            connected = result;
            // The status refresh's belief in the link is what its reconnection found.
            if (request == LinkRequest::kReopen) g_state.pendantReady = result;
            return opened(result);
        }
        case LinkRequest::kEnsureOpen: {
            if (featureHandle != INVALID_HANDLE_VALUE || inputHandle != INVALID_HANDLE_VALUE)
                return LinkOutcome::kConnected;
            if (held) return LinkOutcome::kHeldClosed;
            int result = FindAndOpen(true);
            connected = result;
            // The writer's reconnection found nothing: the status refresh tries again.
            if (!result) g_state.pendantReady = 0;
            return opened(result);
        }
        case LinkRequest::kBroken:
            // A reader that a close or a reopen has replaced since it failed is no news.
            if (brokenReader != 0 && brokenReader == readerThreadId) {
                ReleaseHandle(inputHandle);
                AcquireForOwner();
                ReleaseHandle(featureHandle);
                Release();
            }
            return LinkOutcome::kClosed;
        case LinkRequest::kSendFailed:
            g_state.pendantReady = 0;
            if (connected == 1) CloseLocked();
            return LinkOutcome::kClosed;
        case LinkRequest::kSuspend:
            suspended_ = true;
            CloseLocked();
            return LinkOutcome::kClosed;
        case LinkRequest::kResume:
            suspended_ = false;
            return LinkOutcome::kClosed;
        case LinkRequest::kShutdown:
            shutDown_ = true;
            CloseLocked();
            return LinkOutcome::kClosed;
        case LinkRequest::kReset:
            CloseLocked();
            suspended_ = false;
            shutDown_ = false;
            interfaceClass = kUsbDeviceInterfaceClass;
            return LinkOutcome::kClosed;
        case LinkRequest::kClose:
            break;
    }
    CloseLocked();
    return LinkOutcome::kClosed;
}

void CPendantDevice::AcquireForOwner() {
    DWORD start = GetTickCount();
    while (!lock_.Acquire(kLinkPollMs)) {
        // A device that never completes a feature report would keep the link for good: cancel
        // that call. Where the cancel does not reach the device (Wine), this waits until it ends.
        DWORD caller = featureCaller_;
        if (caller != 0 && GetTickCount() - start >= kFeatureStuckMs) {
            if (HANDLE thread = OpenThread(THREAD_TERMINATE, FALSE, caller)) {
                Hid().CancelSynchronousIo(thread);
                CloseHandle(thread);
            }
        }
    }
}

void CPendantDevice::Release() { lock_.Release(); }

int CPendantDevice::FindAndOpen(bool startReader) {
    if (featureHandle != INVALID_HANDLE_VALUE) return 1;
    if (readerThreadId != 0) CloseLocked();
    ScopedHold<CPendantDevice> guard(*this, (AcquireForOwner(), true));
    ReleaseHandle(featureHandle);
    ReleaseHandle(inputHandle);

    DiscoverySeen seen;
    featurePath_.clear();
    inputPath_.clear();
    bool listed = WalkHidInterfaces(
        GENERIC_READ,
        [&](HidInterface& found) {
            ++seen.interfaces;
            if (!found.path.empty() && !found.opened) ++seen.unopened;
            if (found.role != PendantRole::kNone) ++seen.withIds;
            switch (found.role) {
                case PendantRole::kFeature:
                    ++seen.features;
                    PutHandle(featureHandle, found.device);
                    interfaceClass = found.interfaceClass;
                    featurePath_ = found.path;
                    // More feature interfaces than any pendant has: a bus of look-alikes, not walked on.
                    return ++featureCount >= kMaxFeatureInterfaces ? Keep::kKeepAndStop : Keep::kKeep;
                case PendantRole::kInput:
                    ++seen.inputs;
                    // Refused by some stacks; the default buffer then stays, which is no reason to fail.
                    Hid().HidD_SetNumInputBuffers(found.device, kInputBuffers);
                    PutHandle(inputHandle, found.device);
                    inputPath_ = found.path;
                    return Keep::kKeep;
                case PendantRole::kOddSizes:
                    seen.oddInput = found.inputLength;
                    seen.oddFeature = found.featureLength;
                    return Keep::kClose;
                case PendantRole::kNone:
                    break;
            }
            return Keep::kClose;
        },
        &seen.listError);
    if (!listed) {
        LogDiscovery(0, seen);
        return 0;
    }

    if (inputHandle == INVALID_HANDLE_VALUE || featureCount == 0) {
        CloseLocked();
        LogDiscovery(0, seen);
        return 0;
    }
    if (!startReader) return 1;
    if (readerThreadId == 0) {
        stopReader = 0;
        brokenReader = 0;
        DWORD id = 0;
        HANDLE thread = CreateThread(nullptr, 0, ReaderThreadProc,
                                     static_cast<HWND>(ownerWindow), CREATE_SUSPENDED, &id);
        readerThread = thread;
        readerThreadId = thread ? id : 0;
        if (thread) ResumeThread(thread);
    }
    if (readerThread == nullptr) {
        CloseLocked();
        readerThreadId = 0;
        LogDiscovery(0, seen);
        return 0;
    }
    // Counted, so that the display writer resends the frame to a pendant that starts blank.
    connections_ = connections_ + 1;
    LogDiscovery(1, seen);
    return 1;
}

void CPendantDevice::LogDiscovery(int result, const DiscoverySeen& seen) {
    // Once the end is asked, what a discovery still under way found is no news, and the log's
    // last line stays the driver's "exit" (written after the end is asked).
    KernelLock guard(queueLock_);
    if (endAsked_) return;
    if (result == 1) {
        loggedNotFound_.clear();
        std::string paths = eventlog::Join("feature ", featurePath_, ", input ", inputPath_);
        if (linkLogged_.exchange(1) == 1 && paths == loggedPaths_) return;
        loggedPaths_ = paths;
        reportsRead = 0;
        eventlog::Write("pendant connected: ", paths);
        return;
    }
    // While the pendant is away every status refresh looks again: say what it saw once per change.
    linkLogged_ = 0;
    std::string line = eventlog::Join("pendant not found: ", Describe(seen));
    if (line == loggedNotFound_) return;
    loggedNotFound_ = line;
    eventlog::Write(line);
}

void CPendantDevice::LogLinkLost(const std::string& reason) {
    if (linkLogged_.exchange(0) == 1)
        eventlog::Write("pendant lost: ", reason, ", after ", static_cast<uint32_t>(reportsRead),
                        " key reports");
}

bool CPendantDevice::NamesPendant(const char* devicePath) {
    std::string path = eventlog::Join(devicePath);
    std::string ids =
        eventlog::Join("vid_", eventlog::Hex4(kPendantVendorId), "&pid_", eventlog::Hex4(kPendantProductId));
    CharLowerBuffA(&path[0], static_cast<DWORD>(path.size()));
    CharLowerBuffA(&ids[0], static_cast<DWORD>(ids.size()));
    return path.find(ids) != std::string::npos;
}

FeatureSend CPendantDevice::WriteFeature(const uint8_t* payload, uint8_t length, DWORD* refusal) {
    // Held across the sends so that the link thread cannot take the handle away between two
    // reports of one payload.
    ScopedHold<CPendantDevice> guard(*this, lock_.Acquire(kWriterWaitMs));
    if (refusal) *refusal = 0;
    if (!guard.Owned()) return FeatureSend::kBusy;
    if (featureHandle == INVALID_HANDLE_VALUE) {
        // With only the input handle left there is nothing to open; the refresh reconnects.
        if (inputHandle == INVALID_HANDLE_VALUE) Ask(LinkRequest::kEnsureOpen);
        return FeatureSend::kNoLink;
    }
    if (length == 0) return FeatureSend::kSent;
    uint8_t offset = 0;
    uint8_t remaining = length;
    for (;;) {
        uint8_t report[kFeatureReportSize] = {kFeatureReportId};
        uint8_t chunk = remaining > kFeaturePayloadSize ? kFeaturePayloadSize : remaining;
        for (uint8_t i = 0; i < chunk; ++i) report[1 + i] = payload[offset + i];
        featureCaller_ = GetCurrentThreadId();
        BOOL sent = Hid().HidD_SetFeature(featureHandle, report, kFeatureReportSize);
        DWORD error = sent ? 0 : GetLastError();
        featureCaller_ = 0;
        if (!sent) {
            if (refusal) *refusal = error;
            return FeatureSend::kRefused;
        }
        remaining = static_cast<uint8_t>(remaining - chunk);
        if (remaining == 0) return FeatureSend::kSent;
        offset = static_cast<uint8_t>(offset + chunk);
    }
}

void CPendantDevice::StopReader() {
    stopReader = 1;
    HANDLE thread = readerThread;
    DWORD reader = readerThreadId;
    if (reader == 0 || !thread) return;
    // Cancel the blocked read rather than wait for a report that may never come. A cancel that
    // races the start of a read finds nothing pending, so it is repeated while waiting. The
    // thread's end, not its cleared id, is awaited: a reader still finishing its last writes
    // would otherwise clear the stop request meant for the next reader.
    DWORD outside = GetTickCount();
    for (;;) {
        Hid().CancelSynchronousIo(thread);
        if (WaitForSingleObject(thread, 2) == WAIT_OBJECT_0) break;
        // Inside the host's hook library no cancel reaches it, and ending it there could leave
        // the library broken for the host: wait for it to come back, however long it takes.
        if (sinkThreadId == reader) {
            outside = GetTickCount();
            continue;
        }
        if (GetTickCount() - outside >= kReaderStopBoundMs) {
            // Last resort, outside the library: a read that no cancel ends.
            TerminateThread(thread, 0);
            WaitForSingleObject(thread, 1000);
            break;
        }
    }
    readerThreadId = 0;
}

void CPendantDevice::CloseLocked() {
    featureCount = 0;
    StopReader();
    // A key still held in the host is released before the link goes.
    if (KeySink* sink = keySink_) sink->ReleaseHeld();
    if (HANDLE taken = readerThread.exchange(nullptr)) CloseHandle(taken);
    ReleaseHandle(inputHandle);
    AcquireForOwner();
    ReleaseHandle(featureHandle);
    Release();
    connected = 0;
}

// ---- the reader: the link's one consumer of key reports ----

// Marks the reader as inside the key sink for the scope: a close waits for it instead of
// cancelling or ending it.
class CPendantDevice::InSink {
public:
    InSink() : self_(GetCurrentThreadId()) { CPendantDevice::sinkThreadId = self_; }
    ~InSink() { CPendantDevice::sinkThreadId.compare_exchange(self_, 0); }
    InSink(const InSink&) = delete;
    InSink& operator=(const InSink&) = delete;

private:
    DWORD self_;
};

void CPendantDevice::ReleaseHeldBy(KeySink* sink) {
    t_memory.handedWord = 0;
    if (!sink) return;
    InSink inside;
    sink->ReleaseHeld();
}

int CPendantDevice::ReadKeyReport() {
    uint8_t report[kKeyReportSize] = {kKeyReportId, 0, 0, 0, 0, 0};
    HANDLE input = inputHandle;
    if (input == INVALID_HANDLE_VALUE) return 0;
    if (stopReader) return 1;
    DWORD read = 0;
    LARGE_INTEGER started = Now();
    if (!Hid().ReadFile(input, report, kKeyReportSize, &read)) return 0;
    const double readMs = MsSince(started);
    reportsRead = reportsRead + 1;
    KeyEvent event = DecodeKeyReport(report);
    KeySink* sink = Sink();
    ReaderMemory& memory = t_memory;
    if (memory.catchingUp && readMs < kQueuedReadMs) {
        // Pressed while the host kept the reader waiting: the machine must not move on it now.
        // Only what the host holds is brought in line: a key it holds that the pendant has let
        // go of is released.
        if (event.keyCodeWord != memory.handedWord) ReleaseHeldBy(sink);
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

DWORD WINAPI CPendantDevice::ReaderThreadProc(LPVOID) {
    SetThreadRole("reader");
    t_memory = ReaderMemory();
    bool broken = false;
    // A reader that a close has stopped is no longer the link's: it must not touch the flags or
    // the next reader's stop request.
    while (!stopReader && IsCurrentReader()) {
        if (broken || inputHandle == INVALID_HANDLE_VALUE) {
            // Broken: idle until stopped, looking at the stop flag often so a close is quick.
            for (int i = 0; i < 10 && !stopReader; ++i) Sleep(10);
            continue;
        }
        if (ReadKeyReport() == 1) continue;
        DWORD error = GetLastError();
        if (inputHandle == INVALID_HANDLE_VALUE) continue;
        // A read cancelled because a stop was asked for is not a lost link.
        if (stopReader || !IsCurrentReader()) continue;
        broken = true;
        // The handles are the link thread's to release; this reader only says why. Asked before
        // the flag drops, so a reconnection the flag sets off is queued behind the release, not
        // ahead of it (it would find the dead handles still in place and keep them).
        brokenReader = GetCurrentThreadId();
        g_pendant.Ask(LinkRequest::kBroken);
        g_state.pendantReady = 0;
        LogLinkLost(eventlog::Join("read failed (", eventlog::ErrorText(error), ")"));
        ReleaseHeldBy(Sink());
    }
    if (readerThreadId.compare_exchange(GetCurrentThreadId(), 0))
        stopReader = 0;
    return 0;
}
