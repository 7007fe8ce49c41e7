// The one seam of the pendant link: every HID, SetupDi and device-file call the link makes goes
// through Hid(). Programs link the real calls; unit tests install a fake bus with SetHidApi().
#pragma once

#include <windows.h>
#include <setupapi.h>
// MinGW's HID headers lack C linkage of their own.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

class HidApi {
public:
    virtual ~HidApi() = default;

    virtual void HidD_GetHidGuid(GUID* guid) = 0;
    virtual HDEVINFO SetupDiGetClassDevsA(const GUID* guid, DWORD flags) = 0;
    virtual BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, const GUID* guid, DWORD index,
                                             SP_DEVICE_INTERFACE_DATA* data) = 0;
    virtual BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                                  SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                                  DWORD detailSize) = 0;
    virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;
    virtual BOOL HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) = 0;
    virtual BOOL HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsed) = 0;
    virtual BOOL HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed) = 0;
    virtual NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, HIDP_CAPS* caps) = 0;
    // Synchronous read, no overlapped structure: blocks until a report comes or the read fails.
    virtual BOOL ReadFile(HANDLE device, void* buffer, DWORD size, DWORD* read) = 0;
    virtual BOOL HidD_SetFeature(HANDLE device, void* report, DWORD size) = 0;
    virtual BOOL HidD_SetNumInputBuffers(HANDLE device, ULONG count) = 0;
    // Cancels a synchronous call pending on the given thread (CancelSynchronousIo): a read, or a
    // feature report that the device does not complete.
    virtual BOOL CancelSynchronousIo(HANDLE thread) = 0;

    virtual HANDLE CreateFileA(const char* path, DWORD access, DWORD share, DWORD disposition,
                               DWORD flags) = 0;
    virtual BOOL CloseHandle(HANDLE device) = 0;
};

// The seam in use: the one installed by SetHidApi, else the build's default.
HidApi& Hid();
// Installs a bus (tests); nullptr restores the default.
void SetHidApi(HidApi* api);
// The real HID calls (hid_real.cpp).
HidApi& DefaultHidApi();
