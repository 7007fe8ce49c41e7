// The seam's default in the product: the real HID class and SetupDi calls.
#include "pendant/hid_api.h"

namespace {

class RealHid final : public HidApi {
public:
    void HidD_GetHidGuid(GUID* guid) override { ::HidD_GetHidGuid(guid); }
    HDEVINFO SetupDiGetClassDevsA(const GUID* guid, DWORD flags) override {
        return ::SetupDiGetClassDevsA(guid, nullptr, nullptr, flags);
    }
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, const GUID* guid, DWORD index,
                                     SP_DEVICE_INTERFACE_DATA* data) override {
        return ::SetupDiEnumDeviceInterfaces(set, nullptr, guid, index, data);
    }
    BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                          SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                          DWORD detailSize) override {
        return ::SetupDiGetDeviceInterfaceDetailA(set, data, detail, detailSize, nullptr, nullptr);
    }
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
        return ::SetupDiDestroyDeviceInfoList(set);
    }
    BOOL HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) override {
        return ::HidD_GetAttributes(device, attributes);
    }
    BOOL HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsed) override {
        return ::HidD_GetPreparsedData(device, preparsed);
    }
    BOOL HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed) override {
        return ::HidD_FreePreparsedData(preparsed);
    }
    NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, HIDP_CAPS* caps) override {
        return ::HidP_GetCaps(preparsed, caps);
    }
    BOOL ReadFile(HANDLE device, void* buffer, DWORD size, DWORD* read) override {
        return ::ReadFile(device, buffer, size, read, nullptr);
    }
    BOOL HidD_SetFeature(HANDLE device, void* report, DWORD size) override {
        return ::HidD_SetFeature(device, report, size);
    }
    BOOL HidD_SetNumInputBuffers(HANDLE device, ULONG count) override {
        return ::HidD_SetNumInputBuffers(device, count);
    }
    BOOL CancelSynchronousIo(HANDLE thread) override { return ::CancelSynchronousIo(thread); }

protected:
    HANDLE OpenDevice(const char* path, DWORD access, DWORD share, DWORD disposition,
                      DWORD flags) override {
        return ::CreateFileA(path, access, share, nullptr, disposition, flags, nullptr);
    }
    BOOL CloseDevice(HANDLE device) override { return ::CloseHandle(device); }
};

}  // namespace

HidApi& DefaultHidApi() {
    static RealHid real;
    return real;
}
