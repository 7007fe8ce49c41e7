// The HID seam of the virtual build: a bus of exactly two interfaces whose device paths are the
// virtual pendant's named pipes (see virtual-pendant.md). Feature reports go out on the feature
// pipe and are answered with one byte; key reports come in as 6-byte messages on the input pipe.
#include "pendant/hid_api.h"
#include "pendant/pendant_ids.h"
#include "pendant/seam_tally.h"

#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>

namespace {

const char kFeaturePipe[] = "\\\\.\\pipe\\veltra-virtual-pendant-feature";
const char kInputPipe[] = "\\\\.\\pipe\\veltra-virtual-pendant-input";

enum class Kind { Feature = 0, Input = 1 };

const DWORD kMemberCount = 2;
const USHORT kFeatureReportLength = 8;
const USHORT kInputReportLength = 6;
const DWORD kBusyWaitMs = 200;

const char* PipeOf(Kind kind) { return kind == Kind::Feature ? kFeaturePipe : kInputPipe; }

// Distinct, never dereferenced addresses stand for the preparsed data of each kind.
char featureTag;
char inputTag;

class VirtualHidApi : public HidApi {
public:
    void HidD_GetHidGuid(GUID* guid) override {
        // The HID interface class {4D1E55B2-F16F-11CF-88CB-001111000030}.
        static const GUID hid = {0x4D1E55B2, 0xF16F, 0x11CF,
                                 {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
        if (guid) *guid = hid;
    }

    HDEVINFO SetupDiGetClassDevsA(const GUID* guid, DWORD flags) override {
        return SetHandle();
    }

    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, const GUID* guid, DWORD index,
                                     SP_DEVICE_INTERFACE_DATA* data) override {
        if (set != SetHandle()) return Fail(ERROR_INVALID_HANDLE);
        if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
            return Fail(ERROR_INVALID_USER_BUFFER);
        if (index >= kMemberCount) return Fail(ERROR_NO_MORE_ITEMS);
        if (guid) data->InterfaceClassGuid = *guid;
        else HidD_GetHidGuid(&data->InterfaceClassGuid);
        data->Flags = SPINT_ACTIVE;
        // Remembers the member so that the detail call knows which path to give.
        data->Reserved = static_cast<ULONG_PTR>(index) + 1;
        return TRUE;
    }

    BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                          SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                          DWORD detailSize) override {
        if (set != SetHandle()) return Fail(ERROR_INVALID_HANDLE);
        if (!data || data->Reserved < 1 || data->Reserved > kMemberCount)
            return Fail(ERROR_INVALID_PARAMETER);
        const char* path = PipeOf(static_cast<Kind>(data->Reserved - 1));
        const DWORD needed = static_cast<DWORD>(
            offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + std::strlen(path) + 1);
        if (!detail) return Fail(detailSize ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER);
        if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
            return Fail(ERROR_INVALID_USER_BUFFER);
        if (detailSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(detail->DevicePath, path, std::strlen(path) + 1);
        return TRUE;
    }

    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
        return set == SetHandle() ? TRUE : Fail(ERROR_INVALID_HANDLE);
    }

    BOOL HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) override {
        Kind kind;
        if (!KindOf(device, &kind)) return Fail(ERROR_INVALID_HANDLE);
        if (!attributes) return Fail(ERROR_INVALID_PARAMETER);
        attributes->Size = sizeof(HIDD_ATTRIBUTES);
        attributes->VendorID = kPendantVendorId;
        attributes->ProductID = kPendantProductId;
        attributes->VersionNumber = 0x0100;
        return TRUE;
    }

    BOOL HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsed) override {
        Kind kind;
        if (!KindOf(device, &kind)) return Fail(ERROR_INVALID_HANDLE);
        if (!preparsed) return Fail(ERROR_INVALID_PARAMETER);
        *preparsed = reinterpret_cast<PHIDP_PREPARSED_DATA>(kind == Kind::Feature ? &featureTag
                                                                                   : &inputTag);
        return TRUE;
    }

    BOOL HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed) override {
        return TagKind(preparsed, nullptr) ? TRUE : Fail(ERROR_INVALID_PARAMETER);
    }

    NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, HIDP_CAPS* caps) override {
        Kind kind;
        if (!TagKind(preparsed, &kind)) return HIDP_STATUS_INVALID_PREPARSED_DATA;
        if (!caps) return HIDP_STATUS_INVALID_PREPARSED_DATA;
        std::memset(caps, 0, sizeof(*caps));
        caps->UsagePage = 0xFF00;  // vendor defined, as the pendant's own descriptor
        caps->Usage = 1;
        if (kind == Kind::Feature) caps->FeatureReportByteLength = kFeatureReportLength;
        else caps->InputReportByteLength = kInputReportLength;
        return HIDP_STATUS_SUCCESS;
    }

    BOOL ReadFile(HANDLE device, void* buffer, DWORD size, DWORD* read) override {
        DWORD got = 0;
        BOOL ok = ::ReadFile(device, buffer, size, &got, nullptr);
        if (read) *read = got;
        if (!ok) return FALSE;  // a longer message already fails here with ERROR_MORE_DATA
        // A shorter message (or an empty one) is no key report.
        if (got != kInputReportLength) return Fail(ERROR_INVALID_DATA);
        return TRUE;
    }

    BOOL HidD_SetFeature(HANDLE device, void* report, DWORD size) override {
        Kind kind;
        if (!KindOf(device, &kind) || kind != Kind::Feature) return Fail(ERROR_INVALID_FUNCTION);
        if (!report || size != kFeatureReportLength) return Fail(ERROR_INVALID_PARAMETER);
        // One write and its answer form one exchange; two senders must not cross them.
        std::lock_guard<std::mutex> lock(sendLock_);
        DWORD written = 0;
        if (!::WriteFile(device, report, size, &written, nullptr)) return FALSE;
        if (written != size) return Fail(ERROR_WRITE_FAULT);
        unsigned char answer[4] = {0, 0, 0, 0};
        DWORD got = 0;
        if (!::ReadFile(device, answer, 1, &got, nullptr)) return FALSE;
        if (got != 1 || answer[0] != 1) return Fail(ERROR_GEN_FAILURE);
        return TRUE;
    }

    BOOL HidD_SetNumInputBuffers(HANDLE, ULONG) override { return TRUE; }
    BOOL CancelSynchronousIo(HANDLE thread) override { return ::CancelSynchronousIo(thread); }

protected:
    HANDLE OpenDevice(const char* path, DWORD access, DWORD share, DWORD disposition,
                      DWORD flags) override {
        Kind kind;
        if (!path) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        if (lstrcmpiA(path, kFeaturePipe) == 0) kind = Kind::Feature;
        else if (lstrcmpiA(path, kInputPipe) == 0) kind = Kind::Input;
        else {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        HANDLE h = OpenPipe(path);
        if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY) {
            // Every waiting instance was just taken; the pendant makes the next one at once.
            if (WaitNamedPipeA(path, kBusyWaitMs)) h = OpenPipe(path);
            else SetLastError(ERROR_PIPE_BUSY);
        }
        if (h == INVALID_HANDLE_VALUE) return h;
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (!SetNamedPipeHandleState(h, &mode, nullptr, nullptr)) {
            DWORD error = GetLastError();
            ::CloseHandle(h);
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        std::lock_guard<std::mutex> lock(mapLock_);
        kinds_[h] = kind;
        if (tally_) InterlockedIncrement(&tally_->opened);
        return h;
    }

    BOOL CloseDevice(HANDLE device) override {
        // Forget the handle first: once closed, its value may come back from another open.
        bool known;
        {
            std::lock_guard<std::mutex> lock(mapLock_);
            known = kinds_.erase(device) != 0;
        }
        BOOL ok = ::CloseHandle(device);
        if (tally_) {
            if (!known) InterlockedIncrement(&tally_->closeUnknown);
            InterlockedIncrement(ok ? &tally_->closed : &tally_->closeFailed);
        }
        return ok;
    }

private:
    static HDEVINFO SetHandle() { return reinterpret_cast<HDEVINFO>(static_cast<INT_PTR>(0x5E70)); }

    static BOOL Fail(DWORD error) {
        SetLastError(error);
        return FALSE;
    }

    static HANDLE OpenPipe(const char* path) {
        return ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    }

    static bool TagKind(PHIDP_PREPARSED_DATA preparsed, Kind* kind) {
        const void* p = reinterpret_cast<const void*>(preparsed);
        Kind k;
        if (p == &featureTag) k = Kind::Feature;
        else if (p == &inputTag) k = Kind::Input;
        else return false;
        if (kind) *kind = k;
        return true;
    }

    bool KindOf(HANDLE device, Kind* kind) {
        std::lock_guard<std::mutex> lock(mapLock_);
        auto it = kinds_.find(device);
        if (it == kinds_.end()) return false;
        *kind = it->second;
        return true;
    }

    std::mutex mapLock_;
    std::map<HANDLE, Kind> kinds_;
    // Published for soak runs in other processes; null when the block cannot be made.
    SeamTally* tally_ = SeamTallyMap(GetCurrentProcessId(), true);
    std::mutex sendLock_;
};

}  // namespace

HidApi& DefaultHidApi() {
    static VirtualHidApi api;
    return api;
}
