#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

#include "app/driver_state.h"
#include "hravik_shared.h"
#include "host/hook_library.h"
#include "host/key_forwarder.h"
#include "pendant/key_report.h"
#include "pendant/pendant_device.h"
#include "support/fake_hid.h"
#include "support/link_setup.h"
#include "support/test_util.h"

namespace {


KeyEvent Decode(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5) {
    const uint8_t report[kKeyReportSize] = {b0, b1, b2, b3, b4, b5};
    return DecodeKeyReport(report);
}

TEST(KeyReportDecoding, PacksTheThreeKeyCodesIntoOneWord) {
    KeyEvent e = Decode(4, 0, 0x12, 0x00, 0x34, 0);
    EXPECT_EQ(e.messageType, 0x100u);
    EXPECT_EQ(e.keyCodeWord, 0x00340012u);
    e = Decode(4, 0, 0x01, 0x02, 0x03, 0);
    EXPECT_EQ(e.keyCodeWord, 0x00030201u);
    e = Decode(4, 0, 0xFF, 0xFF, 0xFF, 0);
    EXPECT_EQ(e.keyCodeWord, 0x00FFFFFFu) << "bits 24 to 31 stay clear";
}

TEST(KeyReportDecoding, NoKeyDownIsKeyUpWithWordZero) {
    KeyEvent e = Decode(4, 0, 0, 0, 0, 0);
    EXPECT_EQ(e.messageType, 0x101u);
    EXPECT_EQ(e.keyCodeWord, 0u);
}

TEST(KeyReportDecoding, ThirdKeyAloneIsAKeyDown) {
    KeyEvent e = Decode(4, 0, 0, 0, 0x12, 0);
    EXPECT_EQ(e.messageType, 0x100u);
    EXPECT_EQ(e.keyCodeWord, 0x00120000u);
    e = Decode(4, 0, 0, 0x12, 0, 0);
    EXPECT_EQ(e.messageType, 0x100u);
    EXPECT_EQ(e.keyCodeWord, 0x00001200u);
}

TEST(KeyReportDecoding, IdAndUnusedBytesChangeNothing) {
    for (uint8_t junk : {0x00, 0x01, 0x7F, 0xFF}) {
        KeyEvent e = Decode(junk, junk, 0x21, 0, 0, junk);
        EXPECT_EQ(e.messageType, 0x100u);
        EXPECT_EQ(e.keyCodeWord, 0x21u);
        e = Decode(junk, junk, 0, 0, 0, junk);
        EXPECT_EQ(e.messageType, 0x101u);
        EXPECT_EQ(e.keyCodeWord, 0u);
    }
}

class KeyReader : public ::testing::Test {
protected:
    void SetUp() override {
        sh = HravikAttach();
        ASSERT_NE(sh, nullptr);
        HravikReset(sh);
        bus.interfaces = {FakeInterface::Feature(), FakeInterface::Input()};
        bus.Install();
        ForwardPendantKeys();
    }
    void TearDown() override {
        g_pendant.Close();
        CPendantDevice::SetKeySink(nullptr);
        EXPECT_EQ(bus.OpenHandles(), 0) << "every handle is released by the end";
        EXPECT_EQ(bus.closeFailed.load(), 0) << "no handle is released twice";
        HravikDetach(sh);
    }

    // Opens the link and gives the new reader time to block in its first read.
    void OpenAndSettle() {
        ASSERT_EQ(g_pendant.Open(nullptr), 1);
        ASSERT_NE(CPendantDevice::readerThreadId, 0u);
        Sleep(50);
    }
    bool WaitForKeyCalls(LONG n, DWORD ms = 3000) {
        return HravikWaitForCalls(sh, HravikKeyBoardProc, n, ms);
    }
    // A second handle to the reader thread, still usable once Close has closed its own.
    HANDLE ReaderHandle() {
        HANDLE dup = nullptr;
        DuplicateHandle(GetCurrentProcess(), CPendantDevice::readerThread, GetCurrentProcess(), &dup,
                        SYNCHRONIZE, FALSE, 0);
        return dup;
    }

    FakeHidBus bus;
    HravikShared* sh = nullptr;
};

TEST_F(KeyReader, ForwardsEveryReportAsItCame) {
    OpenAndSettle();
    ASSERT_TRUE(bus.SendKeys(0x12, 0, 0));
    ASSERT_TRUE(bus.SendKeys(0x12, 0, 0));
    ASSERT_TRUE(bus.SendKeys(0, 0, 0x12));
    ASSERT_TRUE(bus.SendKeys(0, 0, 0));
    ASSERT_TRUE(WaitForKeyCalls(4));
    Sleep(50);
    std::vector<KeyCall> expected = {{0x100, 0x12}, {0x100, 0x12}, {0x100, 0x120000}, {0x101, 0}};
    EXPECT_EQ(KeyCalls(sh), expected) << "repeats are not merged, nothing is dropped";
}

TEST_F(KeyReader, ReportBytesOtherThanKeyCodesAreIgnoredOnTheWire) {
    OpenAndSettle();
    const uint8_t odd[6] = {0x99, 0x55, 0x07, 0x00, 0x00, 0xAA};
    const uint8_t idle[6] = {0x00, 0xFF, 0x00, 0x00, 0x00, 0xFF};
    ASSERT_TRUE(bus.SendReport(odd, 6));
    ASSERT_TRUE(bus.SendReport(idle, 6));
    ASSERT_TRUE(WaitForKeyCalls(2));
    std::vector<KeyCall> expected = {{0x100, 0x07}, {0x101, 0}};
    EXPECT_EQ(KeyCalls(sh), expected);
}

TEST_F(KeyReader, KeysAreForwardedOnTheReaderThread) {
    OpenAndSettle();
    ASSERT_TRUE(bus.SendKeys(0x05, 0, 0));
    ASSERT_TRUE(WaitForKeyCalls(1));
    HravikRecord r;
    ASSERT_TRUE(HravikFindLast(sh, HravikKeyBoardProc, &r));
    EXPECT_EQ(r.threadId, static_cast<DWORD>(CPendantDevice::readerThreadId));
    EXPECT_NE(r.threadId, GetCurrentThreadId());
}

TEST_F(KeyReader, UnplugBreaksTheLinkAndLeavesReaderIdle) {
    OpenAndSettle();
    HANDLE reader = ReaderHandle();
    ASSERT_NE(reader, nullptr);
    bus.Unplug();
    ASSERT_TRUE(WaitUntil([] {
        return CPendantDevice::inputHandle == INVALID_HANDLE_VALUE &&
               CPendantDevice::featureHandle == INVALID_HANDLE_VALUE;
    }, 3000));
    EXPECT_TRUE(WaitUntil([] { return g_state.pendantReady == 0; }, 1000));
    EXPECT_EQ(bus.CloseCount(), 2) << "both handles released, each once";
    EXPECT_EQ(bus.closeFailed.load(), 0);
    EXPECT_EQ(bus.OpenHandles(), 0);
    EXPECT_EQ(WaitForSingleObject(reader, 300), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the reader stays alive, idle";
    EXPECT_NE(CPendantDevice::readerThreadId, 0u);
    EXPECT_EQ(g_pendant.connected, 1);

    DWORD start = GetTickCount();
    g_pendant.Close();
    EXPECT_LT(GetTickCount() - start, 1000u) << "an idle reader stops at once";
    EXPECT_EQ(WaitForSingleObject(reader, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(CPendantDevice::readerThreadId, 0u);
    EXPECT_EQ(CPendantDevice::stopReader, 0) << "the reader clears the stop request as it ends";
    EXPECT_EQ(bus.CloseCount(), 2) << "Close finds nothing left to release";
    CloseHandle(reader);
}

TEST_F(KeyReader, CloseWhileBlockedInReadReturnsQuickly) {
    OpenAndSettle();
    HANDLE reader = ReaderHandle();
    ASSERT_NE(reader, nullptr);
    DWORD start = GetTickCount();
    g_pendant.Close();
    DWORD elapsed = GetTickCount() - start;
    EXPECT_LT(elapsed, 1000u);
    EXPECT_EQ(WaitForSingleObject(reader, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "the reader has ended";
    EXPECT_EQ(CPendantDevice::readerThreadId, 0u);
    EXPECT_EQ(CPendantDevice::stopReader, 0);
    EXPECT_EQ(static_cast<HANDLE>(CPendantDevice::readerThread), nullptr);
    EXPECT_EQ(bus.CloseCount(), 2);
    EXPECT_EQ(bus.closeFailed.load(), 0);
    EXPECT_EQ(g_state.pendantReady, 1) << "a read ended by a stop is not a lost link";
    EXPECT_EQ(g_pendant.connected, 0);
    CloseHandle(reader);
}

TEST_F(KeyReader, CloseRacingTheFirstReadStillStopsTheReader) {
    // The stop lands before, during or after the read starts; each close must end its reader.
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(g_pendant.Open(nullptr), 1);
        HANDLE reader = ReaderHandle();
        if (i % 4 == 1) Sleep(1);
        DWORD start = GetTickCount();
        g_pendant.Close();
        EXPECT_LT(GetTickCount() - start, 1000u) << "round " << i;
        EXPECT_EQ(WaitForSingleObject(reader, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "round " << i;
        CloseHandle(reader);
        ASSERT_EQ(bus.OpenHandles(), 0) << "round " << i;
    }
    EXPECT_EQ(bus.closeFailed.load(), 0);
    EXPECT_EQ(g_state.pendantReady, 1);
}

TEST_F(KeyReader, ReadThatCannotBeCancelledEndsWithinTheBound) {
    bus.cancelWorks = false;
    OpenAndSettle();
    HANDLE reader = ReaderHandle();
    DWORD start = GetTickCount();
    g_pendant.Close();
    DWORD elapsed = GetTickCount() - start;
    EXPECT_LT(elapsed, 4000u);
    EXPECT_GE(elapsed, 1000u) << "the reader is killed only after the bounded wait";
    EXPECT_EQ(WaitForSingleObject(reader, 1000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(CPendantDevice::readerThreadId, 0u);
    EXPECT_EQ(bus.CloseCount(), 2);
    EXPECT_EQ(bus.closeFailed.load(), 0);
    CloseHandle(reader);

    // The next open starts a fresh reader that reads again.
    bus.cancelWorks = true;
    OpenAndSettle();
    ASSERT_TRUE(bus.SendKeys(0x33, 0, 0));
    EXPECT_TRUE(WaitForKeyCalls(1));
}

TEST_F(KeyReader, FloodOfReportsArrivesInOrderWithNoneLost) {
    constexpr int kReports = 2000;
    OpenAndSettle();
    std::thread writer([this] {
        for (int i = 0; i < kReports; ++i)
            bus.SendKeys(static_cast<uint8_t>(i & 0xFF), static_cast<uint8_t>((i >> 8) + 1), 0);
    });
    bool all = WaitForKeyCalls(kReports, 30000);
    writer.join();
    ASSERT_TRUE(all) << "got " << sh->callCount[HravikKeyBoardProc];
    std::vector<KeyCall> calls = KeyCalls(sh);
    ASSERT_EQ(calls.size(), static_cast<size_t>(kReports));
    for (int i = 0; i < kReports; ++i) {
        uint32_t word = static_cast<uint32_t>((i & 0xFF) | (((i >> 8) + 1) << 8));
        ASSERT_EQ(calls[i], KeyCall(0x100, word)) << "report " << i;
    }
}

TEST_F(KeyReader, LockedDriverStillReadsButForwardsNothing) {
    g_state.enabled = 0;
    OpenAndSettle();
    ASSERT_TRUE(bus.SendKeys(0x12, 0, 0));
    ASSERT_TRUE(bus.SendKeys(0, 0, 0));
    Sleep(200);
    EXPECT_EQ(sh->callCount[HravikKeyBoardProc], 0);
    g_state.enabled = 1;
    ASSERT_TRUE(bus.SendKeys(0x13, 0, 0));
    ASSERT_TRUE(WaitForKeyCalls(1)) << "the reader kept reading while locked";
    std::vector<KeyCall> expected = {{0x100, 0x13}};
    EXPECT_EQ(KeyCalls(sh), expected);
}

}  // namespace
