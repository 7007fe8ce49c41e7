// An in-process HID bus for tests: any set of interfaces, each open a real handle, and for input
// interfaces a real pipe whose read blocks until the test writes a report or unplugs.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "pendant/hid_api.h"
#include "pendant/pendant_ids.h"

struct FakeInterface {
    USHORT vendorId = kPendantVendorId;
    USHORT productId = kPendantProductId;
    USHORT featureLength = 0;
    USHORT inputLength = 0;
    bool openFails = false;
    bool attributesFail = false;
    bool preparsedFails = false;
    NTSTATUS capsStatus = HIDP_STATUS_SUCCESS;
    GUID interfaceClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

    static FakeInterface Feature() { FakeInterface f; f.featureLength = 8; return f; }
    static FakeInterface Input() { FakeInterface f; f.inputLength = 6; return f; }
    static FakeInterface Foreign() { FakeInterface f; f.vendorId = 0x046D; f.productId = 0xC077; f.inputLength = 6; return f; }
};

class FakeHidBus : public HidApi {
public:
    FakeHidBus();
    ~FakeHidBus() override;

    // Installs this bus as the seam until destroyed.
    void Install();

    std::vector<FakeInterface> interfaces;
    bool classDevsFail = false;
    // When false, CancelSynchronousIo does nothing: a read that cannot be cancelled.
    bool cancelWorks = true;
    // Feature reports refused from this report on (1-based); 0 never.
    int refuseFeatureFrom = 0;
    // A stuck device: every feature report blocks until its call is cancelled, then fails.
    std::atomic<bool> featureStalls{false};
    std::atomic<int> stalledFeatures{0};
    // Reads blocked in the bus right now.
    std::atomic<int> readsPending{0};
    // Discoveries begun; the next one takes this long to list the interfaces (once).
    std::atomic<int> discoveries{0};
    std::atomic<DWORD> slowDiscoveryMs{0};

    // Writes one report to the newest open input interface; false when none is open.
    bool SendReport(const uint8_t* bytes, DWORD size);
    bool SendKeys(uint8_t b2, uint8_t b3, uint8_t b4);
    // Breaks every open input pipe: a pending read fails.
    void Unplug();

    std::vector<std::vector<uint8_t>> FeatureReports();
    std::vector<DWORD> EnumeratedIndices();
    int OpenCount() const { return static_cast<int>(opened.load()); }
    int CloseCount() const { return static_cast<int>(closed.load()); }
    // Handles that the driver holds open right now.
    int OpenHandles();
    // Opens attempted per interface index.
    std::vector<int> OpenAttempts();
    // The input buffer count the driver asked of the interface at this index; 0 if none.
    ULONG InputBuffers(size_t index);

    void HidD_GetHidGuid(GUID* guid) override;
    HDEVINFO SetupDiGetClassDevsA(const GUID* guid, DWORD flags) override;
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, const GUID* guid, DWORD index,
                                     SP_DEVICE_INTERFACE_DATA* data) override;
    BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                          SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                          DWORD detailSize) override;
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
    BOOL HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes) override;
    BOOL HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsed) override;
    BOOL HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed) override;
    NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, HIDP_CAPS* caps) override;
    BOOL ReadFile(HANDLE device, void* buffer, DWORD size, DWORD* read) override;
    BOOL HidD_SetFeature(HANDLE device, void* report, DWORD size) override;
    BOOL HidD_SetNumInputBuffers(HANDLE device, ULONG count) override;
    BOOL CancelSynchronousIo(HANDLE thread) override;

    int destroyCount = 0;

    // Opened and closed here, each counted: Wine reports no process handle count.
    HANDLE CreateFileA(const char* path, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags) override;
    BOOL CloseHandle(HANDLE device) override;
    std::atomic<long> opened{0};
    std::atomic<long> closed{0};
    std::atomic<long> closeFailed{0};

private:
    HANDLE OpenFake(const char* path);
    BOOL CloseFake(HANDLE device);
    struct OpenDeviceRecord {
        size_t index;
        HANDLE writeEnd;  // input interfaces: the pendant's end of the pipe
    };
    std::mutex lock_;
    std::map<HANDLE, OpenDeviceRecord> open_;
    std::vector<HANDLE> inputOrder_;
    std::vector<std::vector<uint8_t>> features_;
    std::vector<DWORD> enumerated_;
    std::vector<int> openAttempts_;
    std::map<size_t, ULONG> inputBuffers_;
    HANDLE stallRead_ = nullptr;
    HANDLE stallWrite_ = nullptr;
    int featureSends_ = 0;
    bool installed_ = false;
};
