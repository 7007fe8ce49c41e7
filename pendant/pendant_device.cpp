#include "pendant/pendant_device.h"

#include <vector>

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
Relaxed<KeySink*> CPendantDevice::keySink_{nullptr};

CPendantDevice g_pendant;

namespace {
constexpr DWORD kDetailBufferSize = 1024;
constexpr uint8_t kMaxFeatureInterfaces = 4;
constexpr DWORD kLinkPollMs = 10;
}  // namespace

CPendantDevice::CPendantDevice() : interfaceClass(kUsbDeviceInterfaceClass) {}

CPendantDevice::~CPendantDevice() { Close(); }

void CPendantDevice::SetKeySink(KeySink* sink) { keySink_ = sink; }

bool CPendantDevice::IsCurrentReader() { return readerThreadId == GetCurrentThreadId(); }

void CPendantDevice::ReleaseHandle(Relaxed<HANDLE>& field) {
    HANDLE taken = field.exchange(INVALID_HANDLE_VALUE);
    if (taken != INVALID_HANDLE_VALUE) Hid().CloseHandle(taken);
}

bool CPendantDevice::AcquireLink() {
    DWORD start = GetTickCount();
    for (;;) {
        if (lock_.Acquire(kLinkPollMs)) return true;
        DWORD waited = GetTickCount() - start;
        // A device that never completes a feature report would hold the lock for good: cancel
        // that call rather than freeze the tray or the exit behind it.
        DWORD caller = featureCaller_;
        if (caller != 0 && waited >= kFeatureStuckMs) {
            if (HANDLE thread = OpenThread(THREAD_TERMINATE, FALSE, caller)) {
                Hid().CancelSynchronousIo(thread);
                CloseHandle(thread);
            }
        }
        if (waited >= kLinkWaitMs) return false;
    }
}

void CPendantDevice::ReleaseLink() { lock_.Release(); }

int CPendantDevice::Open(HWND owner) {
    LinkLock guard(*this);
    if (!guard.Owned()) return 0;
    ownerWindow = owner;
    int result = FindAndOpen();
    connected = result;
    return result;
}

int CPendantDevice::EnsureOpen() {
    LinkLock guard(*this);
    if (!guard.Owned()) return 0;
    if (featureHandle != INVALID_HANDLE_VALUE || inputHandle != INVALID_HANDLE_VALUE) return 1;
    if (holdClosed) return 0;
    int result = FindAndOpen();
    connected = result;
    return result;
}

void CPendantDevice::Close() {
    // A holder that stays stuck past the bound does not keep the link open: the handles are
    // taken out of their fields by exchange, so closing beside it is safe.
    LinkLock guard(*this);
    CloseLocked();
}

int CPendantDevice::FindAndOpen() {
    if (featureHandle != INVALID_HANDLE_VALUE) return 1;
    if (readerThreadId != 0) CloseLocked();
    ReleaseHandle(featureHandle);
    ReleaseHandle(inputHandle);

    HidApi& hid = Hid();
    GUID hidClass;
    hid.HidD_GetHidGuid(&hidClass);
    HDEVINFO set = hid.SetupDiGetClassDevsA(&hidClass, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return 0;

    std::vector<uint8_t> buffer(kDetailBufferSize);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);

    // Every interface is looked at: a PC with many HID collections may list the pendant late,
    // and one interface that cannot be read says nothing about the others.
    for (DWORD index = 0; hid.SetupDiEnumDeviceInterfaces(set, &hidClass, index, &data); ++index) {
        if (!hid.SetupDiGetDeviceInterfaceDetailA(set, &data, detail, kDetailBufferSize)) continue;
        HANDLE device = hid.CreateFileA(detail->DevicePath, GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
        if (device == INVALID_HANDLE_VALUE) continue;

        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof(attributes);
        if (!hid.HidD_GetAttributes(device, &attributes) ||
            attributes.VendorID != kPendantVendorId || attributes.ProductID != kPendantProductId) {
            hid.CloseHandle(device);
            continue;
        }
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        if (!hid.HidD_GetPreparsedData(device, &preparsed)) {
            hid.CloseHandle(device);
            continue;
        }
        HIDP_CAPS caps{};
        NTSTATUS status = hid.HidP_GetCaps(preparsed, &caps);
        hid.HidD_FreePreparsedData(preparsed);
        if (status != HIDP_STATUS_SUCCESS) {
            hid.CloseHandle(device);
            continue;
        }
        if (caps.FeatureReportByteLength == 8) {
            HANDLE replaced = featureHandle.exchange(device);
            if (replaced != INVALID_HANDLE_VALUE) hid.CloseHandle(replaced);
            interfaceClass = data.InterfaceClassGuid;
            if (++featureCount >= kMaxFeatureInterfaces) break;
        } else if (caps.InputReportByteLength == 6) {
            // Refused by some stacks; the default buffer then stays, which is no reason to fail.
            hid.HidD_SetNumInputBuffers(device, kInputBuffers);
            HANDLE replaced = inputHandle.exchange(device);
            if (replaced != INVALID_HANDLE_VALUE) hid.CloseHandle(replaced);
        } else {
            hid.CloseHandle(device);
        }
    }
    hid.SetupDiDestroyDeviceInfoList(set);

    if (inputHandle == INVALID_HANDLE_VALUE || featureCount == 0) {
        CloseLocked();
        return 0;
    }
    if (readerThreadId == 0) {
        stopReader = 0;
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
        return 0;
    }
    // A pendant that was just (re)connected starts with a blank display: show the frame even if
    // it equals the last one sent.
    g_state.forceFrame = 1;
    return 1;
}

void CPendantDevice::CloseLocked() {
    featureCount = 0;
    stopReader = 1;
    HANDLE thread = readerThread;
    DWORD reader = readerThreadId;
    if (reader != 0 && thread) {
        // Cancel the blocked read rather than wait for a report that may never come. A cancel
        // that races the start of a read finds nothing pending, so it is repeated while waiting.
        // The thread's end, not its cleared id, is awaited: a reader still finishing its last
        // writes would otherwise clear the stop request meant for the next reader.
        DWORD start = GetTickCount();
        for (;;) {
            Hid().CancelSynchronousIo(thread);
            if (WaitForSingleObject(thread, 2) == WAIT_OBJECT_0) break;
            DWORD waited = GetTickCount() - start;
            // Inside the host's hook library no cancel reaches it, and killing it there could
            // leave the library broken: leave it behind. It sees that it is no longer the
            // link's reader and ends by itself once the call returns.
            if (sinkThreadId == reader && waited >= kSinkWaitMs) break;
            if (waited >= kReaderStopBoundMs) {
                // Last resort: a read that no cancel ends.
                TerminateThread(thread, 0);
                WaitForSingleObject(thread, 1000);
                break;
            }
        }
        readerThreadId = 0;
    }
    // A key still held in the host is released before the link goes.
    if (KeySink* sink = keySink_) sink->OnLinkLost();
    if (HANDLE taken = readerThread.exchange(nullptr)) CloseHandle(taken);
    ReleaseHandle(featureHandle);
    ReleaseHandle(inputHandle);
    connected = 0;
}
