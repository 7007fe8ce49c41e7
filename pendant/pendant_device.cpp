#include "pendant/pendant_device.h"

#include <vector>

#include "base/event_log.h"
#include "pendant/display_frame.h"
#include "pendant/hid_api.h"
#include "pendant/key_report.h"
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
constexpr DWORD kDetailBufferSize = 1024;
constexpr uint8_t kMaxFeatureInterfaces = 4;
constexpr DWORD kLinkPollMs = 10;
constexpr size_t kOutcomeSlots = 64;

enum class Interface { kOther, kFeature, kInput };

// What one open HID interface is to the pendant, counted into `seen`. An interface whose
// attributes or capabilities cannot be read is no pendant's; it ends nothing.
Interface Classify(HidApi& hid, HANDLE device, DiscoverySeen* seen) {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(attributes);
    if (!hid.HidD_GetAttributes(device, &attributes) || attributes.VendorID != kPendantVendorId ||
        attributes.ProductID != kPendantProductId)
        return Interface::kOther;
    ++seen->withIds;
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!hid.HidD_GetPreparsedData(device, &preparsed)) return Interface::kOther;
    HIDP_CAPS caps{};
    NTSTATUS status = hid.HidP_GetCaps(preparsed, &caps);
    hid.HidD_FreePreparsedData(preparsed);
    if (status != HIDP_STATUS_SUCCESS) return Interface::kOther;
    // The display's interface may declare key-sized input reports too: the feature report is what
    // tells it apart, so it is looked at first.
    if (caps.FeatureReportByteLength == kFeatureReportSize) {
        ++seen->features;
        return Interface::kFeature;
    }
    if (caps.InputReportByteLength == kKeyReportSize) {
        ++seen->inputs;
        return Interface::kInput;
    }
    seen->oddInput = caps.InputReportByteLength;
    seen->oddFeature = caps.FeatureReportByteLength;
    return Interface::kOther;
}

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
}  // namespace

CPendantDevice::CPendantDevice() : interfaceClass(kUsbDeviceInterfaceClass) {}

void CPendantDevice::SetKeySink(KeySink* sink) { keySink_ = sink; }

bool CPendantDevice::IsCurrentReader() { return readerThreadId == GetCurrentThreadId(); }

void CPendantDevice::ReleaseHandle(Relaxed<HANDLE>& field) { Take(field, INVALID_HANDLE_VALUE); }

void CPendantDevice::Take(Relaxed<HANDLE>& field, HANDLE device) {
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
            return opened(result);
        }
        case LinkRequest::kEnsureOpen: {
            if (featureHandle != INVALID_HANDLE_VALUE || inputHandle != INVALID_HANDLE_VALUE)
                return LinkOutcome::kConnected;
            if (held) return LinkOutcome::kHeldClosed;
            int result = FindAndOpen(true);
            connected = result;
            // The writer's road found nothing: the status refresh tries again.
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
    Held<CPendantDevice> guard(*this, (AcquireForOwner(), true));
    ReleaseHandle(featureHandle);
    ReleaseHandle(inputHandle);

    HidApi& hid = Hid();
    GUID hidClass;
    hid.HidD_GetHidGuid(&hidClass);
    DiscoverySeen seen;
    featurePath_.clear();
    inputPath_.clear();
    HDEVINFO set = hid.SetupDiGetClassDevsA(&hidClass, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        seen.listError = GetLastError();
        LogDiscovery(0, seen);
        return 0;
    }

    std::vector<uint8_t> buffer(kDetailBufferSize);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);

    // Every interface is looked at: a PC with many HID collections may list the pendant late,
    // and one interface that cannot be read says nothing about the others.
    for (DWORD index = 0; hid.SetupDiEnumDeviceInterfaces(set, &hidClass, index, &data); ++index) {
        ++seen.interfaces;
        if (!hid.SetupDiGetDeviceInterfaceDetailA(set, &data, detail, kDetailBufferSize)) continue;
        HANDLE device = hid.CreateFileA(detail->DevicePath, GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
        if (device == INVALID_HANDLE_VALUE) {
            ++seen.unopened;
            continue;
        }
        Interface kind = Classify(hid, device, &seen);
        if (kind == Interface::kFeature) {
            Take(featureHandle, device);
            interfaceClass = data.InterfaceClassGuid;
            featurePath_ = detail->DevicePath;
            // More feature interfaces than any pendant has: a bus of look-alikes, not walked on.
            if (++featureCount >= kMaxFeatureInterfaces) break;
        } else if (kind == Interface::kInput) {
            // Refused by some stacks; the default buffer then stays, which is no reason to fail.
            hid.HidD_SetNumInputBuffers(device, kInputBuffers);
            Take(inputHandle, device);
            inputPath_ = detail->DevicePath;
        } else {
            hid.CloseHandle(device);
        }
    }
    hid.SetupDiDestroyDeviceInfoList(set);

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
    // A pendant that was just (re)connected starts with a blank display: show the frame even if
    // it equals the last one sent.
    g_state.forceFrame = 1;
    LogDiscovery(1, seen);
    return 1;
}

void CPendantDevice::LogDiscovery(int result, const DiscoverySeen& seen) {
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

FeatureSend CPendantDevice::WriteFeature(const uint8_t* payload, uint8_t length) {
    // Held across the sends so that the link thread cannot take the handle away between two
    // reports of one payload.
    Held<CPendantDevice> guard(*this, lock_.Acquire(kWriterWaitMs));
    lastSendError = 0;
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
            lastSendError = error;
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
