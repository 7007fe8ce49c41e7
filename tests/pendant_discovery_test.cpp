#include <gtest/gtest.h>

#include <algorithm>

#include "pendant/pendant_device.h"
#include "support/driver_test.h"

namespace {

const GUID kHidClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const GUID kOtherClass = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};

DWORD HighestEnumerated(FakeHidBus& bus) {
    std::vector<DWORD> indices = bus.EnumeratedIndices();
    return indices.empty() ? 0 : *std::max_element(indices.begin(), indices.end());
}

DWORD ElapsedSince(DWORD start) { return GetTickCount() - start; }

using PendantDiscovery = DriverTest;

// --- What counts as the pendant -------------------------------------------------------------

TEST_F(PendantDiscovery, NoPendantLeavesEverythingClosed) {
    bus.interfaces = {FakeInterface::Foreign()};
    EXPECT_EQ(g_pendant.Open(nullptr), 0);
    EXPECT_EQ(g_pendant.connected, 0);
    EXPECT_EQ(LinkPeek::ReaderThreadId(), 0u);
    EXPECT_EQ(LinkPeek::FeatureHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(LinkPeek::InputHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(bus.OpenHandles(), 0);
}

TEST_F(PendantDiscovery, EmptyBusAndMissingDeviceSetFail) {
    EXPECT_EQ(g_pendant.Open(nullptr), 0);
    EXPECT_EQ(bus.destroyCount, 1);
    bus.interfaces = {FakeInterface::Feature(), FakeInterface::Input()};
    bus.classDevsFail = true;
    EXPECT_EQ(g_pendant.Open(nullptr), 0);
    EXPECT_EQ(g_pendant.connected, 0);
    EXPECT_EQ(bus.OpenCount(), 0);
    EXPECT_EQ(bus.destroyCount, 1) << "no set, nothing to destroy";
}

// Either interface without the other is opened, looked at and released; a failed discovery
// closes, which clears the feature count.
TEST_F(PendantDiscovery, OneInterfaceAloneIsReleased) {
    struct Row {
        const char* what;
        FakeInterface alone;
        HANDLE (*handle)();
    };
    const Row rows[] = {
        {"input", FakeInterface::Input(), [] { return static_cast<HANDLE>(LinkPeek::InputHandle()); }},
        {"feature", FakeInterface::Feature(), [] { return static_cast<HANDLE>(LinkPeek::FeatureHandle()); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        bus.interfaces = {row.alone};
        int opens = bus.OpenCount();
        EXPECT_EQ(g_pendant.Open(nullptr), 0);
        EXPECT_EQ(bus.OpenCount(), opens + 1);
        EXPECT_EQ(bus.OpenHandles(), 0);
        EXPECT_EQ(row.handle(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(g_pendant.featureCount, 0);
    }
}

TEST_F(PendantDiscovery, FindsBothInterfacesAndStartsReader) {
    bus.interfaces = {FakeInterface::Foreign(), FakeInterface::Feature(), FakeInterface::Input()};
    EXPECT_EQ(g_pendant.Open(nullptr), 1);
    EXPECT_EQ(g_pendant.connected, 1);
    EXPECT_NE(LinkPeek::ReaderThreadId(), 0u);
    EXPECT_NE(LinkPeek::ReaderThread(), nullptr);
    EXPECT_NE(LinkPeek::FeatureHandle(), INVALID_HANDLE_VALUE);
    EXPECT_NE(LinkPeek::InputHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(bus.OpenHandles(), 2);
    EXPECT_EQ(bus.destroyCount, 1);
    EXPECT_EQ(bus.InputBuffers(2), CPendantDevice::kInputBuffers) << "room for reports while the host is busy";
}

TEST_F(PendantDiscovery, OpenRecordsOwnerWindow) {
    // The link only hands the window on; it never uses it.
    HWND owner = reinterpret_cast<HWND>(static_cast<intptr_t>(0x1234));
    bus.interfaces = {FakeInterface::Feature(), FakeInterface::Input()};
    EXPECT_EQ(g_pendant.Open(owner), 1);
    EXPECT_EQ(CPendantDevice::ownerWindow, owner);
}

TEST_F(PendantDiscovery, ForeignVendorOrProductIsSkipped) {
    FakeInterface wrongVendor = FakeInterface::Feature();
    wrongVendor.vendorId = static_cast<USHORT>(kPendantVendorId + 1);
    FakeInterface wrongProduct = FakeInterface::Input();
    wrongProduct.productId = static_cast<USHORT>(kPendantProductId + 1);
    bus.interfaces = {wrongVendor, wrongProduct};
    EXPECT_EQ(g_pendant.Open(nullptr), 0);
    EXPECT_EQ(bus.OpenCount(), 2) << "both were opened to read their identity";
    EXPECT_EQ(bus.OpenHandles(), 0);
    EXPECT_EQ(g_pendant.interfaceClass, kUsbDeviceInterfaceClass) << "a foreign feature is not taken";

    bus.interfaces = {wrongVendor, FakeInterface::Feature(), wrongProduct, FakeInterface::Input()};
    EXPECT_EQ(g_pendant.Open(nullptr), 1);
    EXPECT_EQ(bus.OpenHandles(), 2);
}

TEST_F(PendantDiscovery, PreparsedOrCapsFailureIsSkipped) {
    FakeInterface noPreparsed = FakeInterface::Feature();
    noPreparsed.preparsedFails = true;
    FakeInterface badCaps = FakeInterface::Input();
    badCaps.capsStatus = HIDP_STATUS_INVALID_PREPARSED_DATA;
    bus.interfaces = {noPreparsed, badCaps};
    EXPECT_EQ(g_pendant.Open(nullptr), 0);
    EXPECT_EQ(bus.OpenHandles(), 0);

    // Skipped, not fatal: the good interfaces after them are still found.
    bus.interfaces = {noPreparsed, badCaps, FakeInterface::Feature(), FakeInterface::Input()};
    EXPECT_EQ(g_pendant.Open(nullptr), 1);
    EXPECT_EQ(bus.OpenHandles(), 2);
}

TEST_F(PendantDiscovery, EightByteFeatureCountsAsFeatureEvenWithSixByteInput) {
    FakeInterface both = FakeInterface::Feature();
    both.inputLength = 6;
    bus.interfaces = {both};
    EXPECT_EQ(g_pendant.Open(nullptr), 0) << "taken as feature, so no input interface was found";

    bus.interfaces = {both, FakeInterface::Input()};
    EXPECT_EQ(g_pendant.Open(nullptr), 1);
    EXPECT_EQ(bus.OpenHandles(), 2);
}

TEST_F(PendantDiscovery, OtherReportLengthsAreReleased) {
    FakeInterface odd = FakeInterface::Input();
    odd.inputLength = 9;
    bus.interfaces = {odd, FakeInterface::Feature(), FakeInterface::Input()};
    EXPECT_EQ(g_pendant.Open(nullptr), 1);
    EXPECT_EQ(bus.OpenCount(), 3);
    EXPECT_EQ(bus.OpenHandles(), 2);
}

// --- How far discovery goes ------------------------------------------------------------------

// A PC with many HID collections, some of which cannot be read, still has its pendant found.
TEST_F(PendantDiscovery, PendantPastManyAndUnreadableInterfacesIsFound) {
    FakeInterface mute = FakeInterface::Foreign();
    mute.attributesFail = true;
    bus.interfaces.assign(27, FakeInterface::Foreign());
    bus.interfaces[3] = mute;
    bus.interfaces.push_back(FakeInterface::Feature());
    bus.interfaces.push_back(FakeInterface::Input());
    EXPECT_EQ(g_pendant.Open(nullptr), 1);
    EXPECT_EQ(bus.OpenHandles(), 2) << "every other interface's handle was released";
    EXPECT_EQ(bus.destroyCount, 1);
}

TEST_F(PendantDiscovery, FourthFeatureInterfaceEndsDiscovery) {
    bus.interfaces = {FakeInterface::Feature(), FakeInterface::Feature(), FakeInterface::Feature(),
                      FakeInterface::Feature(), FakeInterface::Input()};
    EXPECT_EQ(g_pendant.Open(nullptr), 0) << "the input after the fourth feature is never reached";
    EXPECT_EQ(HighestEnumerated(bus), 3u);
    EXPECT_EQ(bus.OpenAttempts()[4], 0);
    EXPECT_EQ(bus.destroyCount, 1);
    EXPECT_EQ(bus.OpenHandles(), 0);
}

TEST_F(PendantDiscovery, FourthFeatureWithEarlierInputConnects) {
    bus.interfaces = {FakeInterface::Input(),   FakeInterface::Feature(), FakeInterface::Feature(),
                      FakeInterface::Feature(), FakeInterface::Feature(), FakeInterface::Foreign()};
    EXPECT_EQ(g_pendant.Open(nullptr), 1);
    EXPECT_EQ(HighestEnumerated(bus), 4u);
    EXPECT_EQ(bus.OpenAttempts()[5], 0);
    EXPECT_EQ(bus.OpenHandles(), 2) << "only the last feature handle is kept";
    EXPECT_EQ(bus.CloseCount(), 3);
}

TEST_F(PendantDiscovery, OpenFailureIsSkipped) {
    FakeInterface locked = FakeInterface::Feature();
    locked.openFails = true;
    bus.interfaces = {locked, FakeInterface::Input(), FakeInterface::Feature()};
    EXPECT_EQ(g_pendant.Open(nullptr), 1);
    std::vector<int> attempts = bus.OpenAttempts();
    EXPECT_EQ(attempts, (std::vector<int>{1, 1, 1}));
}

TEST_F(PendantDiscovery, LastMatchingInterfaceOfEachKindHoldsTheHandle) {
    FakeInterface firstFeature = FakeInterface::Feature();
    FakeInterface lastFeature = FakeInterface::Feature();
    lastFeature.interfaceClass = kOtherClass;
    bus.interfaces = {firstFeature, FakeInterface::Input(), lastFeature, FakeInterface::Input()};
    EXPECT_EQ(g_pendant.Open(nullptr), 1);
    EXPECT_EQ(bus.OpenHandles(), 2);
    EXPECT_EQ(bus.CloseCount(), 2) << "each replaced handle was released";
    EXPECT_EQ(g_pendant.interfaceClass, kOtherClass);
    // Reports reach the reader through the last input interface, the only one still open.
    EXPECT_TRUE(bus.SendKeys(0, 0, 0));
}

TEST_F(PendantDiscovery, InterfaceClassFollowsTheFeatureInterface) {
    FakeInterface input = FakeInterface::Input();
    input.interfaceClass = kOtherClass;
    bus.interfaces = {input, FakeInterface::Feature()};
    EXPECT_EQ(g_pendant.Open(nullptr), 1);
    EXPECT_EQ(g_pendant.interfaceClass, kHidClass);
    g_pendant.Close();
    EXPECT_EQ(g_pendant.interfaceClass, kHidClass) << "a close keeps the class";
}

TEST_F(PendantDiscovery, InterfaceClassTakenEvenWhenDiscoveryFails) {
    FakeInterface feature = FakeInterface::Feature();
    feature.interfaceClass = kOtherClass;
    bus.interfaces = {feature};
    EXPECT_EQ(g_pendant.Open(nullptr), 0);
    EXPECT_EQ(g_pendant.interfaceClass, kOtherClass);
}

TEST_F(PendantDiscovery, DeviceSetDestroyedOncePerDiscovery) {
    bus.interfaces = {FakeInterface::Feature(), FakeInterface::Input()};
    EXPECT_EQ(g_pendant.Open(nullptr), 1);
    g_pendant.Close();
    bus.interfaces = {FakeInterface::Input()};
    EXPECT_EQ(g_pendant.Open(nullptr), 0);
    EXPECT_EQ(bus.destroyCount, 2);
}

// --- Open, EnsureOpen and Close on an existing connection -------------------------------------

TEST_F(PendantDiscovery, OpenWhileFeatureHandleOpenSkipsDiscoveryAndKeepsReader) {
    bus.interfaces = {FakeInterface::Feature(), FakeInterface::Input()};
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    size_t enumerated = bus.EnumeratedIndices().size();
    DWORD reader = LinkPeek::ReaderThreadId();
    HANDLE readerHandle = LinkPeek::ReaderThread();
    EXPECT_EQ(g_pendant.Open(nullptr), 1);
    EXPECT_EQ(bus.EnumeratedIndices().size(), enumerated);
    EXPECT_EQ(bus.OpenCount(), 2);
    EXPECT_EQ(LinkPeek::ReaderThreadId(), reader);
    EXPECT_EQ(LinkPeek::ReaderThread(), readerHandle);
}

TEST_F(PendantDiscovery, EnsureOpenWithOneHandleLeftSkipsDiscovery) {
    bus.interfaces = {FakeInterface::Feature(), FakeInterface::Input()};
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    LinkPeek::DropFeatureHandle();
    g_pendant.connected = 0;
    size_t enumerated = bus.EnumeratedIndices().size();
    EXPECT_EQ(g_pendant.EnsureOpen(), 1);
    EXPECT_EQ(bus.EnumeratedIndices().size(), enumerated);
    EXPECT_EQ(g_pendant.connected, 0) << "EnsureOpen without discovery changes nothing";
    EXPECT_EQ(LinkPeek::FeatureHandle(), INVALID_HANDLE_VALUE);
}

TEST_F(PendantDiscovery, EnsureOpenWithoutHandlesRunsDiscovery) {
    bus.interfaces = {FakeInterface::Feature(), FakeInterface::Input()};
    EXPECT_EQ(g_pendant.EnsureOpen(), 1);
    EXPECT_EQ(g_pendant.connected, 1);
    EXPECT_NE(LinkPeek::ReaderThreadId(), 0u);
    g_pendant.Close();
    bus.interfaces.clear();
    g_pendant.connected = 1;
    EXPECT_EQ(g_pendant.EnsureOpen(), 0);
    EXPECT_EQ(g_pendant.connected, 0);
}

TEST_F(PendantDiscovery, CloseWithoutReaderDoesNotSleep) {
    DWORD start = GetTickCount();
    for (int i = 0; i < 5; ++i) g_pendant.Close();
    // A close that slept even once per call for the reader would take half a second.
    EXPECT_LT(ElapsedSince(start), 400u);
    EXPECT_EQ(g_pendant.connected, 0);
}

TEST_F(PendantDiscovery, CloseStopsBlockedReaderQuickly) {
    bus.interfaces = {FakeInterface::Feature(), FakeInterface::Input()};
    OpenLink();
    DWORD start = GetTickCount();
    g_pendant.Close();
    EXPECT_LT(ElapsedSince(start), 1500u) << "a cancellable read does not wait for the bound";
    EXPECT_EQ(LinkPeek::ReaderThreadId(), 0u);
    EXPECT_EQ(g_pendant.connected, 0);
    EXPECT_EQ(bus.OpenHandles(), 0);
}

TEST_F(PendantDiscovery, CloseTerminatesReaderThatCannotBeCancelled) {
    bus.cancelWorks = false;
    bus.interfaces = {FakeInterface::Feature(), FakeInterface::Input()};
    OpenLink();
    DWORD firstReader = LinkPeek::ReaderThreadId();
    DWORD start = GetTickCount();
    g_pendant.Close();
    DWORD took = ElapsedSince(start);
    EXPECT_GE(took, 1000u) << "the reader gets its bound before it is killed";
    EXPECT_LT(took, 6000u);
    EXPECT_EQ(LinkPeek::ReaderThreadId(), 0u);
    EXPECT_EQ(LinkPeek::ReaderThread(), nullptr);

    bus.cancelWorks = true;
    EXPECT_EQ(g_pendant.Open(nullptr), 1) << "the next open starts a new reader";
    EXPECT_NE(LinkPeek::ReaderThreadId(), 0u);
    EXPECT_NE(LinkPeek::ReaderThreadId(), firstReader);
}

TEST_F(PendantDiscovery, UnplugBreaksLinkAndCloseIsQuick) {
    bus.interfaces = {FakeInterface::Feature(), FakeInterface::Input()};
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    g_state.pendantReady = 1;
    bus.Unplug();
    // The reader asks the link thread to release both handles, then clears the ready flag.
    ASSERT_TRUE(WaitUntil([] { return g_state.pendantReady == 0; }, 3000));
    ASSERT_TRUE(g_pendant.WaitIdle(3000));
    EXPECT_EQ(LinkPeek::InputHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(LinkPeek::FeatureHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(g_pendant.connected, 1) << "a failed read leaves the connected flag";
    EXPECT_NE(LinkPeek::ReaderThreadId(), 0u) << "the broken reader idles";
    DWORD start = GetTickCount();
    g_pendant.Close();
    EXPECT_LT(ElapsedSince(start), 1000u);
    EXPECT_EQ(LinkPeek::ReaderThreadId(), 0u);
    EXPECT_EQ(g_pendant.connected, 0);
}

TEST_F(PendantDiscovery, EnsureOpenReconnectsBrokenLink) {
    bus.interfaces = {FakeInterface::Feature(), FakeInterface::Input()};
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    DWORD firstReader = LinkPeek::ReaderThreadId();
    g_state.pendantReady = 1;
    bus.Unplug();
    // The release the reader asked for is queued ahead of this reconnection.
    ASSERT_TRUE(WaitUntil([] { return g_state.pendantReady == 0; }, 3000));
    EXPECT_EQ(g_pendant.EnsureOpen(), 1);
    EXPECT_EQ(g_pendant.connected, 1);
    EXPECT_NE(LinkPeek::ReaderThreadId(), 0u);
    EXPECT_NE(LinkPeek::ReaderThreadId(), firstReader) << "the idle reader was replaced";
    EXPECT_EQ(bus.OpenHandles(), 2);
}

TEST_F(PendantDiscovery, RepeatedOpenCloseLeaksNothing) {
    bus.interfaces = {FakeInterface::Foreign(), FakeInterface::Feature(), FakeInterface::Input()};
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(g_pendant.Open(nullptr), 1);
        g_pendant.Close();
    }
    EXPECT_EQ(bus.OpenHandles(), 0);
    EXPECT_EQ(bus.opened.load(), 60);
}

}  // namespace
