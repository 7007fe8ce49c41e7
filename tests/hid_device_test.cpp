// The test HID device through the product's real HID calls: discovery among Wine's own devices,
// reads, feature reports and their log, unplug and replug, and a device with foreign ids.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "pendant/hid_api.h"
#include "pendant/pendant_device.h"
#include "support/product_peek.h"
#include "support/test_util.h"
#include "tools/testhid/testhid_client.h"

namespace {

using testhid::Bus;

class Handle {
public:
    explicit Handle(const testhid::DeviceId& id) {
        std::string path = testhid::DevicePath(id);
        if (!path.empty())
            h_ = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    }
    ~Handle() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    operator HANDLE() const { return h_; }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

HIDP_CAPS Caps(HANDLE device) {
    HIDP_CAPS caps{};
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (HidD_GetPreparsedData(device, &preparsed)) {
        HidP_GetCaps(preparsed, &caps);
        HidD_FreePreparsedData(preparsed);
    }
    return caps;
}

USHORT VendorOf(HANDLE device) {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(attributes);
    return HidD_GetAttributes(device, &attributes) ? attributes.VendorID : 0;
}

// HID interfaces on the bus with this vendor, whoever made them.
int CountVendor(USHORT vendor) {
    GUID hid;
    HidD_GetHidGuid(&hid);
    HDEVINFO set = SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    std::vector<char> buffer(1024);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    auto iface = testhid::Sized<SP_DEVICE_INTERFACE_DATA>();
    int count = 0;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hid, i, &iface); ++i) {
        detail->cbSize = sizeof(*detail);
        if (!SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, DWORD(buffer.size()), nullptr, nullptr)) continue;
        HANDLE h = CreateFileA(detail->DevicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) continue;
        count += VendorOf(h) == vendor;
        CloseHandle(h);
    }
    SetupDiDestroyDeviceInfoList(set);
    return count;
}

// A blocking call on a thread of its own, so that the test can unplug or release meanwhile.
class Blocked {
public:
    using Call = BOOL (*)(HANDLE, DWORD*);
    Blocked(HANDLE device, Call call) : device_(device), call_(call) {
        thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~Blocked() {
        CancelSynchronousIo(thread_);
        WaitForSingleObject(thread_, 2000);
        CloseHandle(thread_);
    }
    bool Ended(DWORD ms) { return WaitForSingleObject(thread_, ms) == WAIT_OBJECT_0; }
    BOOL ok = FALSE;
    DWORD error = 0;

private:
    static DWORD WINAPI Run(void* self) {
        auto* b = static_cast<Blocked*>(self);
        b->ok = b->call_(b->device_, &b->error);
        return 0;
    }
    HANDLE device_;
    Call call_;
    HANDLE thread_;
};

BOOL ReadKey(HANDLE device, DWORD* error) {
    uint8_t report[6];
    DWORD got = 0;
    BOOL ok = ReadFile(device, report, sizeof report, &got, nullptr);
    *error = GetLastError();
    return ok;
}

const uint8_t kFrame[8] = {6, 0xFE, 0xFD, 0, 0x83, 0, 0, 0};

BOOL SendFrame(HANDLE device, DWORD* error) {
    uint8_t frame[8];
    std::memcpy(frame, kFrame, sizeof frame);
    BOOL ok = HidD_SetFeature(device, frame, sizeof frame);
    *error = GetLastError();
    return ok;
}

bool SameDevice(const testhid::DeviceId& a, const testhid::DeviceId& b) {
    return a.vendor == b.vendor && a.product == b.product && a.interface_no == b.interface_no &&
           a.instance == b.instance;
}

class KeyRecorder : public KeySink {
public:
    void OnKeyEvent(uint32_t, uint32_t keyCodeWord) override {
        lastWord = keyCodeWord;
        ++events;
    }
    void ReleaseHeld() override {}
    std::atomic<uint32_t> lastWord{0};
    std::atomic<int> events{0};
};

class TestHidDevice : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.UnplugAll()) << GetLastError();
        ASSERT_TRUE(bus.Reset()) << "the driver's control device: is the hidbus fixture in place?";
        CPendantDevice::SetKeySink(&keys);
    }
    void TearDown() override {
        g_pendant.Close();
        CPendantDevice::SetKeySink(nullptr);
        bus.UnplugAll();
        bus.Reset();
    }
    Bus bus;
    KeyRecorder keys;
};

TEST_F(TestHidDevice, DiscoveryFindsBothInterfacesAmongWineDevices) {
    ASSERT_TRUE(bus.PlugPendant()) << GetLastError();
    EXPECT_GT(CountVendor(0x845E), 0) << "Wine's own keyboard and mouse share the bus";

    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    HANDLE feature = LinkPeek::FeatureHandle();
    HANDLE input = LinkPeek::InputHandle();
    EXPECT_EQ(g_pendant.featureCount, 1);
    EXPECT_EQ(VendorOf(feature), 0x10CE);
    EXPECT_EQ(Caps(feature).FeatureReportByteLength, 8);
    EXPECT_EQ(Caps(input).InputReportByteLength, 6);
    EXPECT_NE(Caps(input).FeatureReportByteLength, 8);

    ASSERT_TRUE(bus.FeedKey(0x12, 0x34, 0x56));
    EXPECT_TRUE(WaitUntil([&] { return keys.events > 0; }, 2000)) << "the product's reader got no key";
    EXPECT_EQ(keys.lastWord, 0x563412u);

    // Closing cancels the reader's pending read (CancelSynchronousIo) instead of waiting it out.
    DWORD start = GetTickCount();
    g_pendant.Close();
    EXPECT_LT(GetTickCount() - start, 500u);
}

TEST_F(TestHidDevice, FedReportsAreReadByteExactAndInOrder) {
    ASSERT_TRUE(bus.PlugPendant()) << GetLastError();
    Handle input(testhid::kPendantInput);
    ASSERT_NE(HANDLE(input), INVALID_HANDLE_VALUE);

    const uint8_t report[6] = {4, 0, 0x12, 0x34, 0x56, 0};
    ASSERT_TRUE(bus.Feed(testhid::kPendantInput, report, sizeof report));
    uint8_t got[6] = {};
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(input, got, sizeof got, &n, nullptr)) << GetLastError();
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(std::memcmp(got, report, sizeof report), 0);

    // Far more than the device queues itself: the feed waits for hidclass, whose buffer holds them.
    ASSERT_TRUE(HidD_SetNumInputBuffers(input, 512));
    const uint32_t count = 400;
    std::vector<uint8_t> burst;
    for (uint32_t i = 0; i < count; ++i) burst.insert(burst.end(), {4, 0, uint8_t(i), uint8_t(i >> 8), 1, 0});
    ASSERT_EQ(bus.FeedMany(testhid::kPendantInput, burst.data(), 6, count), count);
    for (uint32_t i = 0; i < count; ++i) {
        ASSERT_TRUE(ReadFile(input, got, sizeof got, &n, nullptr)) << i;
        ASSERT_EQ(got[2] | got[3] << 8, int(i)) << "lost or out of order";
    }

    // A device that never answers reads: what is fed meanwhile is gone, later reports come.
    ASSERT_TRUE(bus.SetBehaviour(0, testhid::kHoldReads));
    ASSERT_TRUE(bus.FeedKey(0x41, 0, 0));
    {
        Blocked read(input, ReadKey);
        EXPECT_FALSE(read.Ended(100));
    }
    ASSERT_TRUE(bus.Reset());
    ASSERT_TRUE(bus.FeedKey(0x42, 0, 0));
    ASSERT_TRUE(ReadFile(input, got, sizeof got, &n, nullptr));
    EXPECT_EQ(got[2], 0x42);
}

TEST_F(TestHidDevice, FeatureReportsAreLoggedRefusedAndHeld) {
    ASSERT_TRUE(bus.PlugPendant()) << GetLastError();
    Handle feature(testhid::kPendantFeature);
    uint32_t mark = bus.LastSequence();
    LARGE_INTEGER before, after;
    QueryPerformanceCounter(&before);
    DWORD error = 0;
    ASSERT_TRUE(SendFrame(feature, &error)) << error;
    QueryPerformanceCounter(&after);

    std::vector<testhid::LogEntry> log;
    ASSERT_TRUE(bus.FeatureLog(log, mark));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(SameDevice(log[0].device, testhid::kPendantFeature));
    EXPECT_EQ(log[0].outcome, TESTHID_ACCEPTED);
    EXPECT_EQ(log[0].length, 8);
    EXPECT_EQ(std::memcmp(log[0].data, kFrame, 8), 0);
    EXPECT_GE(log[0].qpc, before.QuadPart) << "stamped with this process's QueryPerformanceCounter";
    EXPECT_LE(log[0].qpc, after.QuadPart);

    ASSERT_TRUE(bus.Refuse(1));
    EXPECT_FALSE(SendFrame(feature, &error));
    EXPECT_TRUE(SendFrame(feature, &error)) << "only the next one is refused";
    ASSERT_TRUE(bus.FeatureLog(log, log[0].sequence));
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].outcome, TESTHID_REFUSED);
    EXPECT_EQ(log[1].outcome, TESTHID_ACCEPTED);

    // More than one request of the log holds: the client reads on until it has them all.
    mark = bus.LastSequence();
    for (int i = 0; i < 600; ++i) ASSERT_TRUE(SendFrame(feature, &error)) << i;
    ASSERT_TRUE(bus.FeatureLog(log, mark));
    ASSERT_EQ(log.size(), 600u);
    EXPECT_EQ(log.front().sequence, mark + 1);
    EXPECT_EQ(log.back().sequence, mark + 600);

    // A stuck device: the send hangs until the behaviour goes, then fails.
    ASSERT_TRUE(bus.SetBehaviour(0, testhid::kHoldFeatures));
    Blocked send(feature, SendFrame);
    EXPECT_FALSE(send.Ended(200));
    ASSERT_TRUE(bus.FeedKey(1, 0, 0)) << "input goes on while a feature report is held";
    ASSERT_TRUE(bus.Reset());
    ASSERT_TRUE(send.Ended(2000));
    EXPECT_FALSE(send.ok);
}

TEST_F(TestHidDevice, UnplugFailsPendingReadAndReplugBringsItBack) {
    ASSERT_TRUE(bus.PlugPendant()) << GetLastError();
    {
        Handle input(testhid::kPendantInput);
        Blocked read(input, ReadKey);
        EXPECT_FALSE(read.Ended(50));
        ASSERT_TRUE(bus.UnplugPendant()) << GetLastError();
        ASSERT_TRUE(read.Ended(2000)) << "the pending read outlived the device";
        EXPECT_FALSE(read.ok);
        EXPECT_EQ(read.error, DWORD(ERROR_ACCESS_DENIED)) << "what Wine fails it with";
    }
    EXPECT_FALSE(testhid::IsPresent(testhid::kPendantInput));
    EXPECT_EQ(g_pendant.Open(nullptr), 0);

    ASSERT_TRUE(bus.PlugPendant()) << GetLastError();
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    ASSERT_TRUE(bus.FeedKey(0x21, 0, 0));
    EXPECT_TRUE(WaitUntil([&] { return keys.lastWord == 0x21u; }, 2000));
}

TEST_F(TestHidDevice, ForeignIdsAreSeenButNotTakenForThePendant) {
    ASSERT_TRUE(bus.Plug(Bus::kForeign, 2)) << GetLastError();
    {
        Handle foreign(testhid::kForeignInput);
        EXPECT_EQ(VendorOf(foreign), 0x1209);
        EXPECT_EQ(Caps(foreign).InputReportByteLength, 6) << "shaped like the pendant";
    }
    EXPECT_EQ(g_pendant.Open(nullptr), 0);

    ASSERT_TRUE(bus.PlugPendant()) << GetLastError();
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    EXPECT_EQ(VendorOf(LinkPeek::FeatureHandle()), 0x10CE);

    // Pulling the other device leaves the pendant's link alone.
    ASSERT_TRUE(bus.Unplug(Bus::kForeign, 2)) << GetLastError();
    ASSERT_TRUE(bus.FeedKey(0x31, 0, 0));
    EXPECT_TRUE(WaitUntil([&] { return keys.lastWord == 0x31u; }, 2000));
    EXPECT_EQ(g_pendant.connected, 1);
}

}  // namespace
