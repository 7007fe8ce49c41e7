#include <gtest/gtest.h>

#include <vector>

#include "app/driver_state.h"
#include "pendant/display_frame.h"
#include "pendant/key_report.h"
#include "pendant/pendant_device.h"
#include "support/driver_test.h"

namespace {

using Report = std::vector<uint8_t>;

// The reports a payload must become: report id 6, up to seven bytes each, zero padding.
std::vector<Report> ExpectedReports(const std::vector<uint8_t>& payload) {
    std::vector<Report> reports;
    for (size_t at = 0; at < payload.size(); at += 7) {
        Report r(8, 0);
        r[0] = 6;
        for (size_t i = 0; i < 7 && at + i < payload.size(); ++i) r[1 + i] = payload[at + i];
        reports.push_back(r);
    }
    return reports;
}

// Distinct non-zero bytes, so that padding and misplaced bytes show.
std::vector<uint8_t> Payload(size_t n) {
    std::vector<uint8_t> p(n);
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(1 + i % 250);
    return p;
}

Report FrameReport(uint8_t status) { return {6, 0xFE, 0xFD, 0x00, status, 0, 0, 0}; }

// The link over the fake bus, unlocked, the pendant believed good, its keys going to the host.
class PendantLink : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        PlugPendant();
        ForwardPendantKeys();
    }
};

using FeatureWriter = PendantLink;

TEST_F(FeatureWriter, CutsPayloadsIntoEightByteReports) {
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    std::vector<Report> expected;
    for (size_t n : {4u, 7u, 8u, 14u, 255u}) {
        std::vector<uint8_t> payload = Payload(n);
        ASSERT_EQ(g_pendant.WriteFeature(payload.data(), static_cast<uint8_t>(n)), FeatureSend::kSent) << n;
        std::vector<Report> mine = ExpectedReports(payload);
        expected.insert(expected.end(), mine.begin(), mine.end());
        EXPECT_EQ(bus.FeatureReports(), expected) << "after a payload of " << n;
    }
}

TEST_F(FeatureWriter, ShortPayloadsHaveExactBytes) {
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    const uint8_t four[4] = {0xFE, 0xFD, 0x00, 0x83};
    ASSERT_EQ(g_pendant.WriteFeature(four, 4), FeatureSend::kSent);
    const uint8_t seven[7] = {1, 2, 3, 4, 5, 6, 7};
    ASSERT_EQ(g_pendant.WriteFeature(seven, 7), FeatureSend::kSent);
    const uint8_t eight[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    ASSERT_EQ(g_pendant.WriteFeature(eight, 8), FeatureSend::kSent);
    std::vector<Report> expected = {{6, 0xFE, 0xFD, 0x00, 0x83, 0, 0, 0},
                                    {6, 1, 2, 3, 4, 5, 6, 7},
                                    {6, 9, 8, 7, 6, 5, 4, 3},
                                    {6, 2, 0, 0, 0, 0, 0, 0}};
    EXPECT_EQ(bus.FeatureReports(), expected);
}

// An empty payload sends nothing, but like any other it has a closed pendant opened.
TEST_F(FeatureWriter, EmptyPayloadSendsNothingButOpensTheLink) {
    struct Row {
        const char* what;
        bool openFirst;
        bool plugged;
        FeatureSend result;
        int connected;
    };
    const Row rows[] = {{"open pendant", true, true, FeatureSend::kSent, 1},
                        {"closed pendant", false, true, FeatureSend::kNoLink, 1},
                        {"no pendant", false, false, FeatureSend::kNoLink, 0}};
    const std::vector<FakeInterface> pendant = bus.interfaces;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        g_pendant.Close();
        bus.interfaces = row.plugged ? pendant : std::vector<FakeInterface>{FakeInterface::Foreign()};
        if (row.openFirst) ASSERT_EQ(g_pendant.Open(nullptr), 1);
        size_t enumerated = bus.EnumeratedIndices().size();
        const uint8_t byte = 0x55;
        EXPECT_EQ(g_pendant.WriteFeature(&byte, 0), row.result);
        ASSERT_TRUE(g_pendant.WaitIdle(3000));
        EXPECT_EQ(g_pendant.connected, row.connected);
        EXPECT_EQ(bus.EnumeratedIndices().size() > enumerated, !row.openFirst) << "a discovery was tried";
        EXPECT_TRUE(bus.FeatureReports().empty());
    }
}

// The writer never opens the link itself: it asks the link thread, and the frame goes out once
// the link is there.
TEST_F(FeatureWriter, ClosedPendantIsDiscoveredAndSent) {
    const uint8_t frame[4] = {0xFE, 0xFD, 0x00, 0x05};
    EXPECT_EQ(g_pendant.WriteFeature(frame, 4), FeatureSend::kNoLink);
    ASSERT_TRUE(g_pendant.WaitIdle(3000));
    EXPECT_EQ(g_pendant.WriteFeature(frame, 4), FeatureSend::kSent);
    EXPECT_FALSE(bus.EnumeratedIndices().empty());
    EXPECT_EQ(g_pendant.connected, 1);
    EXPECT_NE(LinkPeek::ReaderThreadId(), 0u) << "the open started the reader";
    EXPECT_EQ(bus.FeatureReports(), std::vector<Report>{FrameReport(0x05)});
}

TEST_F(FeatureWriter, InputHandleAloneSendsNothingAndDiscoversNothing) {
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    LinkPeek::DropFeatureHandle();
    size_t enumerated = bus.EnumeratedIndices().size();
    const uint8_t frame[4] = {0xFE, 0xFD, 0x00, 0x05};
    EXPECT_EQ(g_pendant.WriteFeature(frame, 4), FeatureSend::kNoLink);
    ASSERT_TRUE(g_pendant.WaitIdle(3000));
    EXPECT_EQ(bus.EnumeratedIndices().size(), enumerated);
    EXPECT_TRUE(bus.FeatureReports().empty());
}

TEST_F(FeatureWriter, RefusedReportEndsPayload) {
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    bus.refuseFeatureFrom = 2;
    std::vector<uint8_t> payload = Payload(21);  // three reports
    EXPECT_EQ(g_pendant.WriteFeature(payload.data(), 21), FeatureSend::kRefused);
    EXPECT_EQ(bus.FeatureReports(), std::vector<Report>{ExpectedReports(payload)[0]});
    // The bus counts attempts: when the writer stopped after the refused second report, the next
    // send is the third attempt and accepted; a writer that tried the third report too would
    // meet the refusal again here.
    bus.refuseFeatureFrom = 4;
    const uint8_t one = 0x77;
    EXPECT_EQ(g_pendant.WriteFeature(&one, 1), FeatureSend::kSent) << "a third report was tried after the refusal";
}

using DisplayFrame = PendantLink;

// The status byte is the step's low byte with the mode's top bit merged in; the merged step is
// kept.
TEST_F(DisplayFrame, StatusByteIsLowByteOfStepWithTopModeBits) {
    struct Row {
        uint32_t step;
        uint8_t mode;
        uint32_t stepAfter;
        uint8_t status;
    };
    const Row rows[] = {{3, 0x80, 0x83, 0x83}, {0x1234, 0x40, 0x1274, 0x74}, {3, 0x20, 3, 3}, {3, 0, 3, 3}};
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << "step " << row.step << ", mode " << int(row.mode));
        size_t sent = bus.FeatureReports().size();
        g_state.stepValue = row.step;
        g_state.modeByte = row.mode;
        g_state.forceFrame = 1;
        SendDisplayFrame();
        EXPECT_EQ(g_state.stepValue, row.stepAfter);
        std::vector<Report> reports = bus.FeatureReports();
        ASSERT_EQ(reports.size(), sent + 1);
        EXPECT_EQ(reports.back(), FrameReport(row.status));
        EXPECT_EQ(g_state.lastFrame, PackFrame(std::vector<uint8_t>{0xFE, 0xFD, 0x00, row.status}.data()));
    }
}

TEST_F(DisplayFrame, UnchangedFrameIsSentOnce) {
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    g_state.stepValue = 2;
    SendDisplayFrame();
    SendDisplayFrame();
    SendDisplayFrame();
    EXPECT_EQ(bus.FeatureReports().size(), 1u);
    g_state.stepValue = 4;
    SendDisplayFrame();
    EXPECT_EQ(bus.FeatureReports(), (std::vector<Report>{FrameReport(2), FrameReport(4)}));
}

TEST_F(DisplayFrame, KeyEventResendsSameFrame) {
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    g_state.stepValue = 2;
    SendDisplayFrame();
    ASSERT_EQ(g_state.forceFrame, 0);
    // A real key report through the reader and the key forwarder.
    ASSERT_TRUE(bus.SendKeys(0x11, 0, 0));
    ASSERT_TRUE(WaitUntil([] { return g_state.forceFrame == 1; }, 3000));
    SendDisplayFrame();
    EXPECT_EQ(g_state.forceFrame, 0);
    SendDisplayFrame();
    EXPECT_EQ(bus.FeatureReports(), (std::vector<Report>{FrameReport(2), FrameReport(2)}));
}

TEST_F(DisplayFrame, FirstFrameAfterStartIsSent) {
    // lastFrame is all zero after start-up and no frame begins with 0.
    g_state.forceFrame = 0;
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    g_state.forceFrame = 0;
    SendDisplayFrame();
    EXPECT_EQ(bus.FeatureReports(), std::vector<Report>{FrameReport(0)});
}

TEST_F(DisplayFrame, FailedSendClosesPendant) {
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    bus.refuseFeatureFrom = 1;
    g_state.stepValue = 6;
    SendDisplayFrame();
    ASSERT_TRUE(g_pendant.WaitIdle(3000));
    EXPECT_EQ(g_pendant.connected, 0);
    EXPECT_EQ(g_state.pendantReady, 0);
    EXPECT_EQ(LinkPeek::ReaderThreadId(), 0u);
    EXPECT_EQ(bus.OpenHandles(), 0);
    EXPECT_EQ(g_state.forceFrame, 0);
    EXPECT_EQ(g_state.lastFrame, PackFrame(std::vector<uint8_t>{0xFE, 0xFD, 0x00, 6}.data()))
        << "lastFrame holds the frame that failed";
}

TEST_F(DisplayFrame, NoPendantSendsNothingAndClearsReady) {
    bus.interfaces = {};
    g_state.stepValue = 1;
    g_state.pendantReady = 1;
    SendDisplayFrame();
    ASSERT_TRUE(g_pendant.WaitIdle(3000));
    EXPECT_EQ(g_state.pendantReady, 0);
    EXPECT_EQ(g_pendant.connected, 0);
    EXPECT_TRUE(bus.FeatureReports().empty());
}

TEST_F(DisplayFrame, ReconnectedPendantShowsCurrentFrame) {
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    bus.refuseFeatureFrom = 1;
    g_state.stepValue = 6;
    SendDisplayFrame();
    ASSERT_TRUE(g_pendant.WaitIdle(3000));
    ASSERT_EQ(g_pendant.connected, 0);
    bus.refuseFeatureFrom = 0;
    // What the status refresh does: a fresh open. The display starts blank, so the unchanged
    // frame goes out again, once.
    ASSERT_EQ(g_pendant.Open(nullptr), 1);
    SendDisplayFrame();
    SendDisplayFrame();
    EXPECT_EQ(bus.FeatureReports(), std::vector<Report>{FrameReport(6)});
    g_pendant.Close();
    g_state.stepValue = 7;
    SendDisplayFrame();  // the writer's own reconnection: asked, and the frame stays due
    ASSERT_TRUE(g_pendant.WaitIdle(3000));
    EXPECT_EQ(g_pendant.connected, 1);
    SendDisplayFrame();
    EXPECT_EQ(bus.FeatureReports(), (std::vector<Report>{FrameReport(6), FrameReport(7)}));
}

}  // namespace
