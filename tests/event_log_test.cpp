// The driver's log file itself: its bound, and lines from several threads at once.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "base/event_log.h"
#include "support/test_util.h"

namespace {

void WriteFile(const std::string& path, const std::string& text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD done = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
    CloseHandle(file);
}

TEST(EventLog, RotatesAtOneMebibyteKeepingOneOlderLog) {
    ClearLog();
    eventlog::Write("first line");
    ASSERT_EQ(LogLines().size(), 1u) << "the folder is made with the first line";
    const std::string log = eventlog::LogPath();
    // Fifty bytes short of the bound: the next short line still fits, the one after does not.
    const std::string full = std::string(eventlog::kMaxLogBytes - 52, 'x') + "\r\n";
    WriteFile(log, full);
    WriteFile(log + ".1", "the older log\r\n");

    eventlog::Write("still fits");
    EXPECT_EQ(LogLines().back(), "still fits");
    EXPECT_EQ(ReadFileText(log + ".1"), "the older log\r\n");

    eventlog::Write("past the bound");
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "past the bound");
    std::string rotated = ReadFileText(log + ".1");
    EXPECT_EQ(rotated.substr(0, full.size()), full) << "the full log became veltra.log.1";
    EXPECT_NE(rotated.find("still fits"), std::string::npos);
    EXPECT_LE(rotated.size(), eventlog::kMaxLogBytes);
    ClearLog();
}

// The reader, the poller and the UI thread log at the same time: every line arrives, whole.
TEST(EventLog, LinesFromSeveralThreadsArriveWhole) {
    ClearLog();
    constexpr int kThreads = 4;
    constexpr int kLinesEach = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLinesEach; ++i) eventlog::Write("thread ", t, " line ", i, " end");
        });
    for (std::thread& thread : threads) thread.join();
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesEach));
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(LinesWith(lines, "thread " + std::to_string(t) + " ").size(),
                  static_cast<size_t>(kLinesEach));
    for (const std::string& line : lines) ASSERT_EQ(line.substr(line.size() - 4), " end") << line;
    ClearLog();
}

}  // namespace
