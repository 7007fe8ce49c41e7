#include "support/fake_hid.h"

#include <cstdio>
#include <cstring>

namespace {
HDEVINFO const kFakeSet = reinterpret_cast<HDEVINFO>(static_cast<intptr_t>(0x5E7));
}

FakeHidBus::FakeHidBus() { CreatePipe(&stallRead_, &stallWrite_, nullptr, 0); }

FakeHidBus::~FakeHidBus() {
    if (installed_) SetHidApi(nullptr);
    ::CloseHandle(stallRead_);
    ::CloseHandle(stallWrite_);
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& entry : open_) {
        if (entry.second.writeEnd) ::CloseHandle(entry.second.writeEnd);
    }
}

void FakeHidBus::Install() {
    SetHidApi(this);
    installed_ = true;
}

void FakeHidBus::HidD_GetHidGuid(GUID* guid) {
    *guid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}

HDEVINFO FakeHidBus::SetupDiGetClassDevsA(const GUID*, DWORD) {
    discoveries.fetch_add(1);
    if (DWORD delay = slowDiscoveryMs.exchange(0)) Sleep(delay);
    return classDevsFail ? INVALID_HANDLE_VALUE : kFakeSet;
}

BOOL FakeHidBus::SetupDiEnumDeviceInterfaces(HDEVINFO, const GUID*, DWORD index,
                                             SP_DEVICE_INTERFACE_DATA* data) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        enumerated_.push_back(index);
    }
    if (index >= interfaces.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = interfaces[index].interfaceClass;
    data->Reserved = index;
    return TRUE;
}

BOOL FakeHidBus::SetupDiGetDeviceInterfaceDetailA(HDEVINFO, SP_DEVICE_INTERFACE_DATA* data,
                                                  SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                                  DWORD detailSize) {
    char path[64];
    std::snprintf(path, sizeof(path), "\\\\?\\fakehid#%u", static_cast<unsigned>(data->Reserved));
    if (detailSize < sizeof(DWORD) + std::strlen(path) + 1) return FALSE;
    std::strcpy(detail->DevicePath, path);
    return TRUE;
}

BOOL FakeHidBus::SetupDiDestroyDeviceInfoList(HDEVINFO) {
    ++destroyCount;
    return TRUE;
}

HANDLE FakeHidBus::CreateFileA(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    HANDLE device = OpenFake(path);
    if (device != INVALID_HANDLE_VALUE) opened.fetch_add(1);
    return device;
}

HANDLE FakeHidBus::OpenFake(const char* path) {
    unsigned index = 0;
    if (std::sscanf(path, "\\\\?\\fakehid#%u", &index) != 1 || index >= interfaces.size())
        return INVALID_HANDLE_VALUE;
    std::lock_guard<std::mutex> guard(lock_);
    if (openAttempts_.size() < interfaces.size()) openAttempts_.resize(interfaces.size());
    ++openAttempts_[index];
    const FakeInterface& iface = interfaces[index];
    if (iface.openFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE device = INVALID_HANDLE_VALUE;
    HANDLE writeEnd = nullptr;
    if (iface.inputLength == 6) {
        if (!CreatePipe(&device, &writeEnd, nullptr, 4096)) return INVALID_HANDLE_VALUE;
        inputOrder_.push_back(device);
    } else {
        device = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    open_[device] = {index, writeEnd};
    return device;
}

BOOL FakeHidBus::CloseHandle(HANDLE device) {
    BOOL ok = CloseFake(device);
    (ok ? closed : closeFailed).fetch_add(1);
    return ok;
}

BOOL FakeHidBus::CloseFake(HANDLE device) {
    HANDLE writeEnd = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = open_.find(device);
        if (it == open_.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        writeEnd = it->second.writeEnd;
        open_.erase(it);
        for (auto i = inputOrder_.begin(); i != inputOrder_.end(); ++i) {
            if (*i == device) {
                inputOrder_.erase(i);
                break;
            }
        }
    }
    BOOL ok = ::CloseHandle(device);
    if (writeEnd) ::CloseHandle(writeEnd);
    return ok;
}

BOOL FakeHidBus::HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = open_.find(device);
    if (it == open_.end()) return FALSE;
    const FakeInterface& iface = interfaces[it->second.index];
    if (iface.attributesFail) return FALSE;
    attributes->VendorID = iface.vendorId;
    attributes->ProductID = iface.productId;
    attributes->VersionNumber = 0x0100;
    return TRUE;
}

BOOL FakeHidBus::HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsed) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = open_.find(device);
    if (it == open_.end() || interfaces[it->second.index].preparsedFails) return FALSE;
    *preparsed = reinterpret_cast<PHIDP_PREPARSED_DATA>(static_cast<intptr_t>(it->second.index + 1));
    return TRUE;
}

BOOL FakeHidBus::HidD_FreePreparsedData(PHIDP_PREPARSED_DATA) { return TRUE; }

NTSTATUS FakeHidBus::HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, HIDP_CAPS* caps) {
    size_t index = static_cast<size_t>(reinterpret_cast<intptr_t>(preparsed)) - 1;
    if (index >= interfaces.size()) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    const FakeInterface& iface = interfaces[index];
    std::memset(caps, 0, sizeof(*caps));
    caps->FeatureReportByteLength = iface.featureLength;
    caps->InputReportByteLength = iface.inputLength;
    return iface.capsStatus;
}

BOOL FakeHidBus::ReadFile(HANDLE device, void* buffer, DWORD size, DWORD* read) {
    ++readsPending;
    BOOL ok = ::ReadFile(device, buffer, size, read, nullptr);
    --readsPending;
    return ok;
}

BOOL FakeHidBus::HidD_SetFeature(HANDLE device, void* report, DWORD size) {
    if (featureStalls) {
        // Blocks in a real synchronous read that only a cancel ends, as a stuck device would.
        ++stalledFeatures;
        char byte = 0;
        DWORD got = 0;
        ::ReadFile(stallRead_, &byte, 1, &got, nullptr);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (open_.find(device) == open_.end()) return FALSE;
    ++featureSends_;
    if (refuseFeatureFrom != 0 && featureSends_ >= refuseFeatureFrom) return FALSE;
    auto* bytes = static_cast<uint8_t*>(report);
    features_.emplace_back(bytes, bytes + size);
    return TRUE;
}

BOOL FakeHidBus::HidD_SetNumInputBuffers(HANDLE device, ULONG count) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = open_.find(device);
    if (it == open_.end()) return FALSE;
    inputBuffers_[it->second.index] = count;
    return TRUE;
}

ULONG FakeHidBus::InputBuffers(size_t index) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = inputBuffers_.find(index);
    return it == inputBuffers_.end() ? 0 : it->second;
}

BOOL FakeHidBus::CancelSynchronousIo(HANDLE thread) {
    return cancelWorks ? ::CancelSynchronousIo(thread) : FALSE;
}

bool FakeHidBus::SendReport(const uint8_t* bytes, DWORD size) {
    HANDLE writeEnd = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (inputOrder_.empty()) return false;
        writeEnd = open_[inputOrder_.back()].writeEnd;
    }
    DWORD written = 0;
    return WriteFile(writeEnd, bytes, size, &written, nullptr) && written == size;
}

bool FakeHidBus::SendKeys(uint8_t b2, uint8_t b3, uint8_t b4) {
    const uint8_t report[6] = {4, 0, b2, b3, b4, 0};
    return SendReport(report, sizeof(report));
}

void FakeHidBus::Unplug() {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& entry : open_) {
        if (entry.second.writeEnd) {
            ::CloseHandle(entry.second.writeEnd);
            entry.second.writeEnd = nullptr;
        }
    }
}

std::vector<std::vector<uint8_t>> FakeHidBus::FeatureReports() {
    std::lock_guard<std::mutex> guard(lock_);
    return features_;
}

std::vector<DWORD> FakeHidBus::EnumeratedIndices() {
    std::lock_guard<std::mutex> guard(lock_);
    return enumerated_;
}

int FakeHidBus::OpenHandles() {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(open_.size());
}

std::vector<int> FakeHidBus::OpenAttempts() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<int> attempts = openAttempts_;
    attempts.resize(interfaces.size());
    return attempts;
}
