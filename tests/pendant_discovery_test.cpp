#include <gtest/gtest.h>

#include "pendant/pendant_device.h"
#include "support/fake_hid.h"

namespace {

class PendantDiscovery : public ::testing::Test {
protected:
    void SetUp() override { bus.Install(); }
    void TearDown() override {
        g_pendant.Close();
        EXPECT_EQ(bus.OpenHandles(), 0) << "every opened handle is closed by the end";
        EXPECT_EQ(bus.closeFailed.load(), 0);
    }
    FakeHidBus bus;
};

TEST_F(PendantDiscovery, NoPendantLeavesEverythingClosed) {
    bus.interfaces = {FakeInterface::Foreign()};
    EXPECT_EQ(g_pendant.Open(nullptr), 0);
    EXPECT_EQ(g_pendant.connected, 0);
    EXPECT_EQ(CPendantDevice::readerThreadId, 0u);
    EXPECT_EQ(CPendantDevice::featureHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CPendantDevice::inputHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(bus.OpenHandles(), 0);
}

TEST_F(PendantDiscovery, OneKindAloneIsNoPendant) {
    bus.interfaces = {FakeInterface::Input()};
    EXPECT_EQ(g_pendant.Open(nullptr), 0);
    EXPECT_EQ(bus.OpenHandles(), 0);
    bus.interfaces = {FakeInterface::Feature()};
    EXPECT_EQ(g_pendant.Open(nullptr), 0);
    EXPECT_EQ(bus.OpenHandles(), 0);
}

TEST_F(PendantDiscovery, FindsBothInterfacesAndStartsReader) {
    bus.interfaces = {FakeInterface::Foreign(), FakeInterface::Feature(), FakeInterface::Input()};
    EXPECT_EQ(g_pendant.Open(nullptr), 1);
    EXPECT_EQ(g_pendant.connected, 1);
    EXPECT_NE(CPendantDevice::readerThreadId, 0u);
    EXPECT_EQ(bus.OpenHandles(), 2);
    EXPECT_EQ(bus.destroyCount, 1);
}
}  // namespace
