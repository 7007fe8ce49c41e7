#include "pendant/hid_discovery.h"

#include <vector>

#include "pendant/feature_report.h"
#include "pendant/key_report.h"
#include "pendant/pendant_ids.h"

namespace {
// The interface detail record and the path it ends with; paths of HID interfaces are far shorter.
constexpr DWORD kDetailBufferSize = 1024;
}  // namespace

PendantRole RoleOf(const HidInterface& seen) {
    if (!seen.named || seen.vendorId != kPendantVendorId || seen.productId != kPendantProductId)
        return PendantRole::kNone;
    if (!seen.sized) return PendantRole::kNone;
    if (seen.featureLength == kFeatureReportSize) return PendantRole::kFeature;
    if (seen.inputLength == kKeyReportSize) return PendantRole::kInput;
    return PendantRole::kOddSizes;
}

bool WalkHidInterfaces(DWORD access, const std::function<Keep(HidInterface&)>& visit, DWORD* listError) {
    HidApi& hid = Hid();
    GUID hidClass;
    hid.HidD_GetHidGuid(&hidClass);
    HDEVINFO set = hid.SetupDiGetClassDevsA(&hidClass, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        if (listError) *listError = GetLastError();
        return false;
    }
    std::vector<uint8_t> buffer(kDetailBufferSize);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);

    // Every interface is looked at: a PC with many HID collections may list the pendant late,
    // and one interface that cannot be read says nothing about the others.
    for (DWORD index = 0; hid.SetupDiEnumDeviceInterfaces(set, &hidClass, index, &data); ++index) {
        HidInterface seen;
        seen.interfaceClass = data.InterfaceClassGuid;
        if (hid.SetupDiGetDeviceInterfaceDetailA(set, &data, detail, kDetailBufferSize)) {
            seen.path = detail->DevicePath;
            seen.device = hid.CreateFileA(detail->DevicePath, access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          OPEN_EXISTING, 0);
            seen.opened = seen.device != INVALID_HANDLE_VALUE;
            if (!seen.opened) seen.openError = GetLastError();
        }
        if (seen.opened) {
            HIDD_ATTRIBUTES attributes{};
            attributes.Size = sizeof(attributes);
            seen.named = hid.HidD_GetAttributes(seen.device, &attributes) != FALSE;
            seen.vendorId = attributes.VendorID;
            seen.productId = attributes.ProductID;
            PHIDP_PREPARSED_DATA preparsed = nullptr;
            if (seen.named && hid.HidD_GetPreparsedData(seen.device, &preparsed)) {
                HIDP_CAPS caps{};
                seen.sized = hid.HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
                hid.HidD_FreePreparsedData(preparsed);
                seen.inputLength = caps.InputReportByteLength;
                seen.featureLength = caps.FeatureReportByteLength;
            }
            seen.role = RoleOf(seen);
        }
        Keep keep = visit(seen);
        if (seen.opened && keep == Keep::kClose) hid.CloseHandle(seen.device);
        if (keep == Keep::kKeepAndStop) break;
    }
    hid.SetupDiDestroyDeviceInfoList(set);
    return true;
}
