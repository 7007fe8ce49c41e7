// The stand-in hook library: what each export records in the shared block, what the controls make
// it return, and that every built variant lacks exactly its omitted exports. Every test program
// records into a block of its own (support/hook_block.cpp), which the library maps on load.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "hravik_shared.h"
#include "support/test_util.h"

namespace {

std::string VariantPath(const std::string& variant) {
    return ExeDir() + "..\\hravik\\" + variant + "\\hravik.dll";
}

ULONGLONG Arg(const void* p) { return reinterpret_cast<UINT_PTR>(p); }

class HravikStandin : public ::testing::Test {
protected:
    void SetUp() override {
        sh = HravikAttach();
        ASSERT_NE(sh, nullptr);
        HravikReset(sh);
        ASSERT_NO_FATAL_FAILURE(Load());
        EXPECT_EQ(sh->loadCount, 1);
    }
    void TearDown() override {
        if (dll) FreeLibrary(dll);
    }

    template <typename F>
    void Find(F& fn, int id) {
        fn = reinterpret_cast<F>(GetProcAddress(dll, HravikExportName(id)));
        ASSERT_NE(fn, nullptr) << HravikExportName(id);
    }
    void Load() {
        dll = LoadLibraryA(VariantPath("full").c_str());
        ASSERT_NE(dll, nullptr);
        Find(installhook, HravikInstallhook);
        Find(UnHook, HravikUnHook);
        Find(SetVer, HravikSetVer);
        Find(EnableMap, HravikEnableMap);
        Find(SetPcState, HravikSetPcState);
        Find(GetMaState, HravikGetMaState);
        Find(GetMaStep, HravikGetMaStep);
        Find(GetAxisLocation, HravikGetAxisLocation);
        Find(KeyBoardProc, HravikKeyBoardProc);
    }

    // A call's answer, then the record it left: the export, its arguments, the calling thread.
    void ExpectCall(int answer, int wanted, int id, ULONGLONG a0 = 0, ULONGLONG a1 = 0, ULONGLONG a2 = 0) {
        EXPECT_EQ(answer, wanted) << HravikExportName(id);
        HravikRecord r;
        ASSERT_TRUE(HravikReadRecord(sh, sh->count - 1, &r)) << HravikExportName(id);
        EXPECT_EQ(std::make_tuple(std::string(HravikExportName(r.exportId)), r.args[0], r.args[1], r.args[2],
                                  r.threadId),
                  std::make_tuple(std::string(HravikExportName(id)), a0, a1, a2, GetCurrentThreadId()));
    }

    HravikShared* sh = nullptr;
    HMODULE dll = nullptr;
    // The exports as the maker declares them.
    int(WINAPI* installhook)(HWND) = nullptr;
    int(WINAPI* UnHook)() = nullptr;
    int(WINAPI* SetVer)(int) = nullptr;
    int(WINAPI* EnableMap)(int) = nullptr;
    int(WINAPI* SetPcState)(HWND, int) = nullptr;
    int(WINAPI* GetMaState)() = nullptr;
    int(WINAPI* GetMaStep)() = nullptr;
    int(WINAPI* GetAxisLocation)(char*, unsigned int) = nullptr;
    int(WINAPI* KeyBoardProc)(unsigned int, unsigned int, unsigned int) = nullptr;
};

TEST_F(HravikStandin, RecordsEveryCallInOrderAndReturnsTheDefaults) {
    // Above 4 GiB on 64-bit: a handle must not be truncated on its way into the record.
    HWND window = reinterpret_cast<HWND>(static_cast<UINT_PTR>(sizeof(void*) == 8 ? 0x123456789AULL
                                                                                 : 0x12345678));
    ExpectCall(installhook(window), 1, HravikInstallhook, Arg(window));
    ExpectCall(UnHook(), 1, HravikUnHook);
    ExpectCall(SetVer(-1), 0, HravikSetVer, 0xFFFFFFFFULL);
    ExpectCall(EnableMap(1), 0, HravikEnableMap, 1);
    ExpectCall(SetPcState(window, 3), 0, HravikSetPcState, Arg(window), 3);
    ExpectCall(GetMaState(), 0, HravikGetMaState);
    ExpectCall(GetMaStep(), 0, HravikGetMaStep);
    char buf[kHravikAxisBufferSize];
    memset(buf, 0x55, sizeof buf);
    ExpectCall(GetAxisLocation(buf, 0x80000001u), 1, HravikGetAxisLocation, Arg(buf), 0x80000001ULL);
    EXPECT_STREQ(buf, kHravikDefaultAxisText);
    ExpectCall(KeyBoardProc(0x100, 0x1234, 0xFFFFFFFFu), 0, HravikKeyBoardProc, 0x100, 0x1234, 0xFFFFFFFFULL);

    HravikRecord recs[16];
    ASSERT_EQ(HravikReadSince(sh, 0, recs, 16), HravikExportCount);
    for (LONG i = 0; i < HravikExportCount; ++i) {
        EXPECT_EQ(recs[i].seq, i + 1);
        EXPECT_EQ(recs[i].exportId, i);
        EXPECT_EQ(sh->callCount[i], 1) << HravikExportName(i);
    }
    for (LONG i = 1; i < HravikExportCount; ++i) EXPECT_GE(recs[i].qpc, recs[i - 1].qpc);
}

TEST_F(HravikStandin, ReturnsWhatTheControlsSayUntilReset) {
    sh->result[HravikGetMaStep] = 5;
    sh->result[HravikKeyBoardProc] = -7;
    sh->result[HravikInstallhook] = 0;
    EXPECT_EQ(GetMaStep(), 5);
    EXPECT_EQ(KeyBoardProc(0x101, 0, 1), -7);
    EXPECT_EQ(installhook(nullptr), 0);

    char buf[kHravikAxisBufferSize + 8];
    HravikSetAxisText(sh, "X1.500 Y-2.000 Z30.125");
    memset(buf, 0x55, sizeof buf);
    EXPECT_EQ(GetAxisLocation(buf, 1), 1);
    EXPECT_STREQ(buf, "X1.500 Y-2.000 Z30.125");

    // Unterminated: the whole 1024-byte buffer and not a byte beyond it.
    sh->axisUnterminated = 1;
    memset(buf, 0x55, sizeof buf);
    EXPECT_EQ(GetAxisLocation(buf, 2), 1);
    EXPECT_EQ(std::string(buf, kHravikAxisBufferSize), std::string(kHravikAxisBufferSize, 'A'));
    EXPECT_EQ(buf[kHravikAxisBufferSize], 0x55);

    // A zero result promises no text, so the buffer stays as the caller left it.
    sh->result[HravikGetAxisLocation] = 0;
    memset(buf, 0x55, sizeof buf);
    EXPECT_EQ(GetAxisLocation(buf, 3), 0);
    EXPECT_EQ(buf[0], 0x55);

    sh->hangMs[HravikUnHook] = 5000;
    HravikReset(sh);
    EXPECT_EQ(sh->count, 0);
    EXPECT_EQ(sh->hangMs[HravikUnHook], 0);
    EXPECT_EQ(GetMaStep(), 0);
    EXPECT_EQ(installhook(nullptr), 1);
    memset(buf, 0x55, sizeof buf);
    EXPECT_EQ(GetAxisLocation(buf, 4), 1);
    EXPECT_STREQ(buf, kHravikDefaultAxisText);
}

TEST_F(HravikStandin, HangDelaysTheReturnButTheCallIsRecordedAtEntry) {
    sh->hangMs[HravikUnHook] = 60;
    double start = harness::NowMs();
    UnHook();
    double end = harness::NowMs();
    EXPECT_GE(end - start, 50.0);
    HravikRecord r;
    ASSERT_TRUE(HravikFindLast(sh, HravikUnHook, &r));
    EXPECT_LE(harness::QpcToMs(r.qpc), (start + end) / 2);
}

TEST_F(HravikStandin, ConcurrentCallsWrapTheRingCompleteAndInOrderPerThread) {
    const int threads = 4, perThread = 20000;
    const LONG total = threads * perThread;
    static_assert(threads * perThread > kHravikRingSize, "the ring must wrap");
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([this, t] {
            for (int i = 0; i < perThread; ++i)
                KeyBoardProc(0x100, static_cast<unsigned int>(t), static_cast<unsigned int>(i));
        });
    for (auto& th : pool) th.join();

    EXPECT_EQ(sh->count, total);
    EXPECT_EQ(sh->callCount[HravikKeyBoardProc], total);
    std::vector<HravikRecord> recs(kHravikRingSize);
    ASSERT_EQ(HravikReadSince(sh, 0, recs.data(), kHravikRingSize), kHravikRingSize);
    EXPECT_EQ(recs[0].seq, total - kHravikRingSize + 1) << "reading from 0 starts at the oldest kept";
    std::vector<LONG> last(threads, -1);
    for (const HravikRecord& r : recs) {
        ASSERT_EQ(r.exportId, HravikKeyBoardProc);
        ASSERT_LT(r.args[1], static_cast<ULONGLONG>(threads));
        ASSERT_GT(static_cast<LONG>(r.args[2]), last[r.args[1]]) << "thread " << r.args[1];
        last[r.args[1]] = static_cast<LONG>(r.args[2]);
    }
    HravikRecord newest;
    ASSERT_TRUE(HravikFindLast(sh, HravikKeyBoardProc, &newest));
    EXPECT_EQ(newest.seq, total);
}

// Tests in other processes map the block before or after the library: it must be one block.
TEST_F(HravikStandin, BlockOutlivesTheLibraryAndAReloadAttachesToIt) {
    FreeLibrary(dll);
    EXPECT_EQ(sh->unloadCount, 1);
    ASSERT_NO_FATAL_FAILURE(Load());
    EXPECT_EQ(sh->loadCount, 2);
    sh->result[HravikGetMaStep] = 42;
    EXPECT_EQ(GetMaStep(), 42);

    HravikShared* second = HravikAttach();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->result[HravikGetMaStep], 42);
    EXPECT_EQ(second->callCount[HravikGetMaStep], 1);
    HravikDetach(second);
}

// Every variant of tools/hravik/CMakeLists.txt, with its omitted exports separated by spaces.
const std::pair<const char*, const char*> kVariants[] = {
#include "hravik_variants.inc"
};

TEST_F(HravikStandin, EveryVariantLoadsAndLacksExactlyItsOmittedExports) {
    FreeLibrary(dll);
    dll = nullptr;
    for (const auto& [variant, omits] : kVariants) {
        SCOPED_TRACE(variant);
        HravikReset(sh);
        HMODULE lib = LoadLibraryA(VariantPath(variant).c_str());
        ASSERT_NE(lib, nullptr);
        EXPECT_EQ(sh->loadCount, 1);
        const std::string omitted = std::string(" ") + omits + " ";
        for (int id = 0; id < HravikExportCount; ++id) {
            bool omit = omitted.find(std::string(" ") + HravikExportName(id) + " ") != std::string::npos;
            EXPECT_EQ(GetProcAddress(lib, HravikExportName(id)) == nullptr, omit) << HravikExportName(id);
        }
        FreeLibrary(lib);
    }
}

}  // namespace
