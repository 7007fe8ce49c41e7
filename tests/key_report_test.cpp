#include <gtest/gtest.h>

#include <thread>

#include "app/driver_state.h"
#include "hravik_shared.h"
#include "pendant/key_report.h"
#include "pendant/pendant_device.h"
#include "support/driver_test.h"

namespace {

TEST(KeyReportDecoding, ReportBecomesMessageTypeAndKeyWord) {
    struct Row {
        uint8_t report[kKeyReportSize];
        uint32_t type;
        uint32_t word;
        const char* what;
    };
    std::vector<Row> rows = {
        {{4, 0, 0x12, 0x00, 0x34, 0}, 0x100, 0x00340012, "three key codes packed into one word"},
        {{4, 0, 0x01, 0x02, 0x03, 0}, 0x100, 0x00030201, "first code lowest"},
        {{4, 0, 0xFF, 0xFF, 0xFF, 0}, 0x100, 0x00FFFFFF, "bits 24 to 31 stay clear"},
        {{4, 0, 0, 0, 0, 0}, 0x101, 0, "no key down is a key-up with word zero"},
        {{4, 0, 0, 0, 0x12, 0}, 0x100, 0x00120000, "third key alone is a key-down"},
        {{4, 0, 0, 0x12, 0, 0}, 0x100, 0x00001200, "second key alone is a key-down"},
    };
    // The report id and the unused bytes change nothing.
    for (uint8_t junk : {0x00, 0x01, 0x7F, 0xFF}) {
        rows.push_back({{junk, junk, 0x21, 0, 0, junk}, 0x100, 0x21, "junk around a key"});
        rows.push_back({{junk, junk, 0, 0, 0, junk}, 0x101, 0, "junk around no key"});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.what << ", id byte " << int(row.report[0]));
        KeyEvent e = DecodeKeyReport(row.report);
        EXPECT_EQ(e.messageType, row.type);
        EXPECT_EQ(e.keyCodeWord, row.word);
    }
}

// The link's reader over the fake bus, its key events going to the forwarder.
class KeyReader : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        bus.interfaces = {FakeInterface::Feature(), FakeInterface::Input()};
        ForwardPendantKeys();
    }
    // A second handle to the reader thread, still usable once Close has closed its own.
    HANDLE ReaderHandle() {
        HANDLE dup = nullptr;
        DuplicateHandle(GetCurrentProcess(), LinkPeek::ReaderThread(), GetCurrentProcess(), &dup,
                        SYNCHRONIZE, FALSE, 0);
        return dup;
    }
    // Closes the link within the bound; the reader has ended, by itself unless it had to be killed.
    void CloseAndExpectReaderEnded(HANDLE reader, DWORD withinMs, bool killed = false) {
        DWORD start = GetTickCount();
        g_pendant.Close();
        EXPECT_LT(GetTickCount() - start, withinMs);
        EXPECT_EQ(WaitForSingleObject(reader, killed ? 1000 : 0), static_cast<DWORD>(WAIT_OBJECT_0))
            << "the reader has ended";
        EXPECT_EQ(LinkPeek::ReaderThreadId(), 0u);
        if (!killed) {
            EXPECT_EQ(LinkPeek::StopReader(), 0) << "the reader clears the stop request as it ends";
        }
        EXPECT_EQ(static_cast<HANDLE>(LinkPeek::ReaderThread()), nullptr);
        EXPECT_EQ(bus.CloseCount(), 2) << "both handles released, each once";
        CloseHandle(reader);
    }
};

TEST_F(KeyReader, ForwardsEveryReportAsItCame) {
    OpenLink();
    ASSERT_TRUE(bus.SendKeys(0x12, 0, 0));
    ASSERT_TRUE(bus.SendKeys(0x12, 0, 0));
    ASSERT_TRUE(bus.SendKeys(0, 0, 0x12));
    ASSERT_TRUE(bus.SendKeys(0, 0, 0));
    ASSERT_TRUE(WaitCalls(HravikKeyBoardProc, 4));
    KeyCallList expected = {{0x100, 0x12}, {0x100, 0x12}, {0x100, 0x120000}, {0x101, 0}};
    EXPECT_EQ(KeyCalls(hooks), expected) << "repeats are not merged, nothing is dropped";
}

TEST_F(KeyReader, ReportBytesOtherThanKeyCodesAreIgnoredOnTheWire) {
    OpenLink();
    const uint8_t odd[6] = {0x99, 0x55, 0x07, 0x00, 0x00, 0xAA};
    const uint8_t idle[6] = {0x00, 0xFF, 0x00, 0x00, 0x00, 0xFF};
    ASSERT_TRUE(bus.SendReport(odd, 6));
    ASSERT_TRUE(bus.SendReport(idle, 6));
    ASSERT_TRUE(WaitCalls(HravikKeyBoardProc, 2));
    EXPECT_EQ(KeyCalls(hooks), (KeyCallList{{0x100, 0x07}, {0x101, 0}}));
}

TEST_F(KeyReader, KeysAreForwardedOnTheReaderThread) {
    OpenLink();
    PressKey(0x05);
    HravikRecord r;
    ASSERT_TRUE(HravikFindLast(hooks, HravikKeyBoardProc, &r));
    EXPECT_EQ(r.threadId, static_cast<DWORD>(LinkPeek::ReaderThreadId()));
    EXPECT_NE(r.threadId, GetCurrentThreadId());
}

TEST_F(KeyReader, UnplugBreaksTheLinkAndLeavesReaderIdle) {
    OpenLink();
    HANDLE reader = ReaderHandle();
    ASSERT_NE(reader, nullptr);
    bus.Unplug();
    ASSERT_TRUE(WaitUntil([] {
        return LinkPeek::InputHandle() == INVALID_HANDLE_VALUE &&
               LinkPeek::FeatureHandle() == INVALID_HANDLE_VALUE;
    }, 3000));
    EXPECT_TRUE(WaitUntil([] { return g_state.pendantReady == 0; }, 1000));
    EXPECT_EQ(bus.CloseCount(), 2) << "both handles released, each once";
    EXPECT_EQ(bus.closeFailed.load(), 0);
    EXPECT_EQ(bus.OpenHandles(), 0);
    EXPECT_EQ(WaitForSingleObject(reader, 300), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the reader stays alive, idle";
    EXPECT_NE(LinkPeek::ReaderThreadId(), 0u);
    EXPECT_EQ(g_pendant.connected, 1);
    // An idle reader stops at once, and Close finds nothing left to release.
    CloseAndExpectReaderEnded(reader, 1000);
}

TEST_F(KeyReader, CloseWhileBlockedInReadReturnsQuickly) {
    OpenLink();
    HANDLE reader = ReaderHandle();
    ASSERT_NE(reader, nullptr);
    CloseAndExpectReaderEnded(reader, 1000);
    EXPECT_EQ(g_state.pendantReady, 1) << "a read ended by a stop is not a lost link";
    EXPECT_EQ(g_pendant.connected, 0);
}

TEST_F(KeyReader, CloseRacingTheFirstReadStillStopsTheReader) {
    // The stop lands before, during or after the read starts; each close must end its reader.
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE(::testing::Message() << "round " << i);
        ASSERT_EQ(g_pendant.Open(nullptr), 1);
        HANDLE reader = ReaderHandle();
        if (i % 4 == 1) Sleep(1);  // moves the stop against the read's start, not a wait
        DWORD start = GetTickCount();
        g_pendant.Close();
        EXPECT_LT(GetTickCount() - start, 1000u);
        EXPECT_EQ(WaitForSingleObject(reader, 0), static_cast<DWORD>(WAIT_OBJECT_0));
        CloseHandle(reader);
        ASSERT_EQ(bus.OpenHandles(), 0);
    }
    EXPECT_EQ(g_state.pendantReady, 1);
}

TEST_F(KeyReader, ReadThatCannotBeCancelledEndsWithinTheBound) {
    bus.cancelWorks = false;
    OpenLink();
    DWORD start = GetTickCount();
    CloseAndExpectReaderEnded(ReaderHandle(), 4000, true);
    EXPECT_GE(GetTickCount() - start, 1000u) << "the reader is killed only after the bounded wait";

    // The next open starts a fresh reader that reads again.
    bus.cancelWorks = true;
    OpenLink();
    PressKey(0x33);
}

TEST_F(KeyReader, FloodOfReportsArrivesInOrderWithNoneLost) {
    constexpr int kReports = 2000;
    OpenLink();
    std::thread writer([this] {
        for (int i = 0; i < kReports; ++i)
            bus.SendKeys(static_cast<uint8_t>(i & 0xFF), static_cast<uint8_t>((i >> 8) + 1), 0);
    });
    bool all = WaitCalls(HravikKeyBoardProc, kReports, 30000);
    writer.join();
    ASSERT_TRUE(all) << "got " << Calls(HravikKeyBoardProc);
    KeyCallList calls = KeyCalls(hooks);
    ASSERT_EQ(calls.size(), static_cast<size_t>(kReports));
    for (int i = 0; i < kReports; ++i) {
        uint32_t word = static_cast<uint32_t>((i & 0xFF) | (((i >> 8) + 1) << 8));
        ASSERT_EQ(calls[i], KeyCall(0x100, word)) << "report " << i;
    }
}

TEST_F(KeyReader, LockedDriverStillReadsButForwardsNothing) {
    g_state.enabled = 0;
    OpenLink();
    ASSERT_TRUE(bus.SendKeys(0x12, 0, 0));
    ASSERT_TRUE(bus.SendKeys(0, 0, 0));
    // Nothing marks a report read and dropped: give the reader the time it takes.
    Sleep(200);
    EXPECT_EQ(Calls(HravikKeyBoardProc), 0);
    g_state.enabled = 1;
    PressKey(0x13);  // the reader kept reading while locked
    EXPECT_EQ(KeyCalls(hooks), (KeyCallList{{0x100, 0x13}}));
}

}  // namespace
