// The seam's default in the product: the real HID class and SetupDi calls. hid.dll is no KnownDLL,
// so it is loaded from the system folder by hand rather than imported: an imported one would be
// looked for beside the executable first.
#include "pendant/hid_api.h"

#include "base/event_log.h"
#include "base/system_library.h"

namespace {

// The HID interface class, as documented; reported even when hid.dll is missing, so that the
// enumeration still lists the interfaces whose ids then cannot be read.
constexpr GUID kHidInterfaceClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

struct HidDll {
    HidDll() : module(LoadSystemLibrary(L"hid.dll")) {
        if (!module) {
            eventlog::Write("hid.dll cannot be loaded from the system folder (", eventlog::ErrorText(GetLastError()),
                            "): no pendant can be found");
            return;
        }
        Resolve(getHidGuid, "HidD_GetHidGuid");
        Resolve(getAttributes, "HidD_GetAttributes");
        Resolve(getPreparsedData, "HidD_GetPreparsedData");
        Resolve(freePreparsedData, "HidD_FreePreparsedData");
        Resolve(getCaps, "HidP_GetCaps");
        Resolve(setFeature, "HidD_SetFeature");
        Resolve(setNumInputBuffers, "HidD_SetNumInputBuffers");
    }
    template <class Fn>
    void Resolve(Fn& fn, const char* name) {
        fn = reinterpret_cast<Fn>(GetProcAddress(module, name));
    }

    HMODULE module;
    void(WINAPI* getHidGuid)(GUID*) = nullptr;
    BOOLEAN(WINAPI* getAttributes)(HANDLE, PHIDD_ATTRIBUTES) = nullptr;
    BOOLEAN(WINAPI* getPreparsedData)(HANDLE, PHIDP_PREPARSED_DATA*) = nullptr;
    BOOLEAN(WINAPI* freePreparsedData)(PHIDP_PREPARSED_DATA) = nullptr;
    NTSTATUS(WINAPI* getCaps)(PHIDP_PREPARSED_DATA, PHIDP_CAPS) = nullptr;
    BOOLEAN(WINAPI* setFeature)(HANDLE, PVOID, ULONG) = nullptr;
    BOOLEAN(WINAPI* setNumInputBuffers)(HANDLE, ULONG) = nullptr;
};

// A call whose function hid.dll does not have fails as a call of a missing function does.
BOOL Missing() {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return FALSE;
}

class RealHid final : public HidApi {
public:
    void HidD_GetHidGuid(GUID* guid) override {
        if (hid_.getHidGuid)
            hid_.getHidGuid(guid);
        else
            *guid = kHidInterfaceClass;
    }
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
        return hid_.getAttributes ? hid_.getAttributes(device, attributes) : Missing();
    }
    BOOL HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsed) override {
        return hid_.getPreparsedData ? hid_.getPreparsedData(device, preparsed) : Missing();
    }
    BOOL HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed) override {
        return hid_.freePreparsedData ? hid_.freePreparsedData(preparsed) : Missing();
    }
    NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, HIDP_CAPS* caps) override {
        return hid_.getCaps ? hid_.getCaps(preparsed, caps) : HIDP_STATUS_NOT_IMPLEMENTED;
    }
    BOOL ReadFile(HANDLE device, void* buffer, DWORD size, DWORD* read) override {
        return ::ReadFile(device, buffer, size, read, nullptr);
    }
    BOOL HidD_SetFeature(HANDLE device, void* report, DWORD size) override {
        return hid_.setFeature ? hid_.setFeature(device, report, size) : Missing();
    }
    BOOL HidD_SetNumInputBuffers(HANDLE device, ULONG count) override {
        return hid_.setNumInputBuffers ? hid_.setNumInputBuffers(device, count) : Missing();
    }
    BOOL CancelSynchronousIo(HANDLE thread) override { return ::CancelSynchronousIo(thread); }

    HANDLE CreateFileA(const char* path, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags) override {
        return ::CreateFileA(path, access, share, nullptr, disposition, flags, nullptr);
    }
    BOOL CloseHandle(HANDLE device) override { return ::CloseHandle(device); }

private:
    HidDll hid_;
};

}  // namespace

HidApi& DefaultHidApi() {
    static RealHid real;
    return real;
}
