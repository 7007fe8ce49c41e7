// The test HID device from a test program of either bitness: feed input reports, read the log of
// feature reports, switch behaviours (one DeviceIoControl each on the driver's control device),
// and plug or unplug device nodes (SetupDi, in process; a tenth of a second or so).
//
// The prefix must hold the driver (tools/wine-run --start copies it in: the `wine` fixture) and
// `testhid install` must have run once per Wine start (the `hidbus` fixture); then
//     testhid::Bus bus;  bus.PlugPendant();  bus.FeedKey(0x12, 0, 0);
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/testhid/testhid_ioctl.h"

namespace testhid {

using DeviceId = testhid_device_id;
using LogEntry = testhid_log_entry;
using Status = testhid_status;

constexpr DeviceId kPendantFeature = {0x10CE, 0xEB93, 0, 0, 0};
constexpr DeviceId kPendantInput = {0x10CE, 0xEB93, 1, 0, 0};
// Shaped like the pendant, with ids of its own.
constexpr DeviceId kForeignFeature = {0x1209, 0x0001, 0, 0, 0};
constexpr DeviceId kForeignInput = {0x1209, 0x0001, 1, 0, 0};

constexpr uint32_t kRefuseAll = TESTHID_REFUSE_ALL;
constexpr uint32_t kHoldFeatures = TESTHID_HOLD_FEATURES;
constexpr uint32_t kHoldReads = TESTHID_HOLD_READS;

// A SetupDi structure with its size filled in.
template <class T>
T Sized() {
    T value{};
    value.cbSize = sizeof(T);
    return value;
}

constexpr DWORD kIdLength = 200;  // MAX_DEVICE_ID_LEN

// ROOT\VID_10CE&PID_EB93&MI_01\0000: the node SetupDi creates.
inline std::string RootInstanceId(const DeviceId& id) {
    char text[64];
    std::snprintf(text, sizeof text, "ROOT\\VID_%04X&PID_%04X&MI_%02X\\%04X", id.vendor, id.product,
                  id.interface_no, id.instance);
    return text;
}

// HID\VID_10CE&PID_EB93&MI_01\0000: the HID device hidclass makes of it.
inline std::string HidInstanceId(const DeviceId& id) { return "HID" + RootInstanceId(id).substr(4); }

// The path of the device's HID interface, as discovery enumerates it; empty when it is absent.
inline std::string DevicePath(const DeviceId& id) {
    static const GUID kHidInterface = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    HDEVINFO set = SetupDiGetClassDevsA(&kHidInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return {};
    const std::string wanted = HidInstanceId(id);
    std::string path;
    std::vector<char> buffer(1024);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    auto iface = Sized<SP_DEVICE_INTERFACE_DATA>();
    for (DWORD i = 0; path.empty() && SetupDiEnumDeviceInterfaces(set, nullptr, &kHidInterface, i, &iface); ++i) {
        auto device = Sized<SP_DEVINFO_DATA>();
        char instance[kIdLength];
        detail->cbSize = sizeof(*detail);
        if (SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, DWORD(buffer.size()), nullptr, &device) &&
            SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, nullptr) &&
            lstrcmpiA(instance, wanted.c_str()) == 0)
            path = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

inline bool IsPresent(const DeviceId& id) { return !DevicePath(id).empty(); }

class Bus {
public:
    Bus() = default;
    ~Bus() { Close(); }
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // ---- The control device --------------------------------------------------------------

    bool Open() {
        if (control_ != INVALID_HANDLE_VALUE) return true;
        control_ = CreateFileA(TESTHID_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        return control_ != INVALID_HANDLE_VALUE;
    }
    void Close() {
        if (control_ != INVALID_HANDLE_VALUE) CloseHandle(control_);
        control_ = INVALID_HANDLE_VALUE;
    }

    // One input report (report id first) to a plugged device; false when it is not plugged
    // (ERROR_DEVICE_NOT_CONNECTED) or the device's queue stayed full.
    bool Feed(const DeviceId& device, const void* report, uint32_t length) {
        return FeedMany(device, report, length, 1) == 1;
    }

    // The pendant's key report 04 00 b2 b3 b4 00.
    bool FeedKey(uint8_t b2, uint8_t b3, uint8_t b4, const DeviceId& device = kPendantInput) {
        const uint8_t report[6] = {4, 0, b2, b3, b4, 0};
        return Feed(device, report, sizeof report);
    }

    // `count` reports of `length` bytes each, back to back. A read takes each at once when one
    // is pending, else the device queues a few; beyond that this waits for hidclass to read them,
    // up to timeoutMs. Returns how many were taken.
    uint32_t FeedMany(const DeviceId& device, const void* reports, uint32_t length, uint32_t count,
                      DWORD timeoutMs = 2000) {
        if (!Open()) return 0;
        if (!length || length > TESTHID_MAX_REPORT) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        const auto* bytes = static_cast<const uint8_t*>(reports);
        std::vector<uint8_t> buffer;
        uint32_t done = 0;
        DWORD start = GetTickCount();
        while (done < count) {
            uint32_t n = count - done < TESTHID_MAX_FEED ? count - done : TESTHID_MAX_FEED;
            testhid_feed head = {device, n, length};
            buffer.resize(sizeof head + n * length);
            std::memcpy(buffer.data(), &head, sizeof head);
            std::memcpy(buffer.data() + sizeof head, bytes + size_t(done) * length, size_t(n) * length);
            testhid_feed_result result = {0, 0};
            DWORD got = 0;
            if (!DeviceIoControl(control_, TESTHID_IOCTL_FEED, buffer.data(), DWORD(buffer.size()),
                                 &result, sizeof result, &got, nullptr))
                return done;
            done += result.taken;
            if (result.taken < n) {
                if (GetTickCount() - start >= timeoutMs) {
                    SetLastError(ERROR_TIMEOUT);
                    return done;
                }
                Sleep(result.taken ? 0 : 1);
            }
        }
        return done;
    }

    // Log entries with a sequence number above `since`, oldest first.
    bool FeatureLog(std::vector<LogEntry>& entries, uint32_t since = 0, uint32_t* lost = nullptr) {
        entries.clear();
        if (!Open()) return false;
        std::vector<uint8_t> buffer(sizeof(testhid_log_header) + 512 * sizeof(LogEntry));
        for (;;) {
            testhid_log_query query = {since, 0};
            DWORD got = 0;
            if (!DeviceIoControl(control_, TESTHID_IOCTL_READ_LOG, &query, sizeof query, buffer.data(),
                                 DWORD(buffer.size()), &got, nullptr))
                return false;
            testhid_log_header head;
            std::memcpy(&head, buffer.data(), sizeof head);
            if (lost && entries.empty()) *lost = head.lost;
            const auto* first = reinterpret_cast<const LogEntry*>(buffer.data() + sizeof head);
            entries.insert(entries.end(), first, first + head.count);
            if (!head.count || entries.back().sequence + 1 >= head.next_sequence) return true;
            since = entries.back().sequence;
        }
    }

    // The sequence number of the newest entry so far: FeatureLog(LastSequence()) later returns
    // only what came after this call.
    uint32_t LastSequence() {
        testhid_log_header head = {0, 0, 0, 0};
        testhid_log_query query = {~0u, 0};
        DWORD got = 0;
        if (!Open() || !DeviceIoControl(control_, TESTHID_IOCTL_READ_LOG, &query, sizeof query, &head,
                                        sizeof head, &got, nullptr))
            return 0;
        return head.next_sequence - 1;
    }

    // Waits up to timeoutMs for at least `count` entries after `since`; returns what there is.
    std::vector<LogEntry> WaitFeatureLog(uint32_t since, size_t count, DWORD timeoutMs) {
        std::vector<LogEntry> entries;
        DWORD start = GetTickCount();
        while (FeatureLog(entries, since) && entries.size() < count && GetTickCount() - start < timeoutMs)
            Sleep(1);
        return entries;
    }

    bool SetBehaviour(uint32_t refuseCount, uint32_t flags) {
        testhid_behaviour behaviour = {refuseCount, flags};
        DWORD got = 0;
        return Open() && DeviceIoControl(control_, TESTHID_IOCTL_SET_BEHAVIOUR, &behaviour, sizeof behaviour,
                                         nullptr, 0, &got, nullptr);
    }
    // The next `count` feature reports are refused, the rest accepted.
    bool Refuse(uint32_t count) { return SetBehaviour(count, 0); }

    // Normal behaviour, held reports let go, queues and log emptied. Plugged devices stay.
    bool Reset() {
        DWORD got = 0;
        return Open() && DeviceIoControl(control_, TESTHID_IOCTL_RESET, nullptr, 0, nullptr, 0, &got, nullptr);
    }

    bool GetStatus(Status& status) {
        DWORD got = 0;
        return Open() && DeviceIoControl(control_, TESTHID_IOCTL_STATUS, nullptr, 0, &status, sizeof status,
                                         &got, nullptr);
    }

    // ---- Plug and play -------------------------------------------------------------------

    // Creates and installs the nodes that are not there yet, then waits for their HID
    // interfaces. Nodes already plugged are left alone.
    bool Plug(const DeviceId* ids, size_t n, DWORD timeoutMs = 5000) {
        HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
        if (set == INVALID_HANDLE_VALUE) return false;
        bool ok = true;
        for (size_t i = 0; ok && i < n; ++i) {
            const std::string instance = RootInstanceId(ids[i]);
            auto device = Sized<SP_DEVINFO_DATA>();
            if (SetupDiOpenDeviceInfoA(set, instance.c_str(), nullptr, 0, &device) && Installed(set, device))
                continue;
            if (!device.Reserved) {
                static const char kIds[] = TESTHID_HARDWARE_ID "\0";
                static const GUID kNoClass = {};  // the INF gives the class
                ok = SetupDiCreateDeviceInfoA(set, instance.c_str(), &kNoClass, nullptr, nullptr, 0, &device) &&
                     SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                                       reinterpret_cast<const BYTE*>(kIds), sizeof kIds) &&
                     SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
            }
            if (ok) ok = Install(set, device);
        }
        DWORD error = GetLastError();
        SetupDiDestroyDeviceInfoList(set);
        if (!ok) {
            SetLastError(error);
            return false;
        }
        return WaitPresent(ids, n, true, timeoutMs);
    }

    // Removes the nodes (as pulling the plug: pending reads fail, the removal is broadcast).
    // Nodes not there are left alone.
    bool Unplug(const DeviceId* ids, size_t n, DWORD timeoutMs = 5000) {
        std::vector<std::string> instances;
        for (size_t i = 0; i < n; ++i) instances.push_back(RootInstanceId(ids[i]));
        return Remove(instances) && WaitPresent(ids, n, false, timeoutMs);
    }

    bool PlugPendant() { return Plug(kPendant, 2); }
    bool UnplugPendant() { return Unplug(kPendant, 2); }

    // Every node of this driver, whatever its ids.
    bool UnplugAll() {
        std::vector<std::string> instances;
        HDEVINFO set = SetupDiGetClassDevsA(nullptr, "ROOT", nullptr, DIGCF_ALLCLASSES);
        if (set == INVALID_HANDLE_VALUE) return false;
        auto device = Sized<SP_DEVINFO_DATA>();
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
            char ids[512] = {};
            char instance[kIdLength];
            if (SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr,
                                                  reinterpret_cast<BYTE*>(ids), sizeof ids - 2, nullptr) &&
                lstrcmpiA(ids, TESTHID_HARDWARE_ID) == 0 &&
                SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, nullptr))
                instances.push_back(instance);
        }
        SetupDiDestroyDeviceInfoList(set);
        return Remove(instances);
    }

    static constexpr DeviceId kPendant[2] = {kPendantFeature, kPendantInput};
    static constexpr DeviceId kForeign[2] = {kForeignFeature, kForeignInput};

private:
    static bool Installed(HDEVINFO set, SP_DEVINFO_DATA& device) {
        char service[64] = {};
        return SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_SERVICE, nullptr,
                                                 reinterpret_cast<BYTE*>(service), sizeof service - 1, nullptr) &&
               lstrcmpiA(service, TESTHID_SERVICE) == 0;
    }

    // What UpdateDriverForPlugAndPlayDevices does, for this node only: that call reinstalls every
    // node with the hardware id, plugged ones included.
    static bool Install(HDEVINFO set, SP_DEVINFO_DATA& device) {
        static const DI_FUNCTION kSteps[] = {DIF_SELECTBESTCOMPATDRV, DIF_ALLOW_INSTALL, DIF_INSTALLDEVICEFILES,
                                             DIF_REGISTER_COINSTALLERS, DIF_INSTALLINTERFACES, DIF_INSTALLDEVICE,
                                             DIF_NEWDEVICEWIZARD_FINISHINSTALL};
        auto params = Sized<SP_DEVINSTALL_PARAMS_A>();
        if (!SetupDiGetDeviceInstallParamsA(set, &device, &params)) return false;
        UINT len = GetWindowsDirectoryA(params.DriverPath, MAX_PATH);
        std::snprintf(params.DriverPath + len, MAX_PATH - len, "\\inf\\%s", TESTHID_INF);
        params.Flags |= DI_ENUMSINGLEINF;
        if (!SetupDiSetDeviceInstallParamsA(set, &device, &params) ||
            !SetupDiBuildDriverInfoList(set, &device, SPDIT_COMPATDRIVER))
            return false;
        for (DI_FUNCTION step : kSteps)
            if (!SetupDiCallClassInstaller(step, set, &device) && GetLastError() != ERROR_DI_DO_DEFAULT) return false;
        return Installed(set, device) || (SetLastError(ERROR_NO_DRIVER_SELECTED), false);
    }

    static bool Remove(const std::vector<std::string>& instances) {
        HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
        if (set == INVALID_HANDLE_VALUE) return false;
        bool ok = true;
        for (const std::string& instance : instances) {
            auto device = Sized<SP_DEVINFO_DATA>();
            if (SetupDiOpenDeviceInfoA(set, instance.c_str(), nullptr, 0, &device))
                ok = SetupDiCallClassInstaller(DIF_REMOVE, set, &device) && ok;
        }
        DWORD error = GetLastError();
        SetupDiDestroyDeviceInfoList(set);
        SetLastError(error);
        return ok;
    }

    static bool WaitPresent(const DeviceId* ids, size_t n, bool present, DWORD timeoutMs) {
        DWORD start = GetTickCount();
        for (;;) {
            size_t i = 0;
            while (i < n && IsPresent(ids[i]) == present) ++i;
            if (i == n) return true;
            if (GetTickCount() - start >= timeoutMs) {
                SetLastError(ERROR_TIMEOUT);
                return false;
            }
            Sleep(2);
        }
    }

    HANDLE control_ = INVALID_HANDLE_VALUE;
};

}  // namespace testhid
