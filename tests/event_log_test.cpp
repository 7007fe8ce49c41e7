// The driver's log file itself: its bound, and lines from several threads at once.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "app/diagnosis.h"
#include "base/event_log.h"
#include "support/test_util.h"

namespace {

void WriteFile(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
    CloseHandle(file);
}

TEST(EventLog, RotatesAtOneMebibyteKeepingOneOlderLog) {
    ClearLog();
    eventlog::Write("first line");
    ASSERT_EQ(LogLines().size(), 1u) << "the folder is made with the first line";
    const std::wstring log = eventlog::LogPathW();
    // Fifty bytes short of the bound: the next short line still fits, the one after does not.
    const std::string full = std::string(eventlog::kMaxLogBytes - 52, 'x') + "\r\n";
    WriteFile(log, full);
    WriteFile(log + L".1", "the older log\r\n");

    eventlog::Write("still fits");
    EXPECT_EQ(LogLines().back(), "still fits");
    EXPECT_EQ(ReadFileText(log + L".1"), "the older log\r\n");

    eventlog::Write("past the bound");
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "past the bound");
    std::string rotated = ReadFileText(log + L".1");
    EXPECT_EQ(rotated.substr(0, full.size()), full) << "the full log became veltra.log.1";
    EXPECT_NE(rotated.find("still fits"), std::string::npos);
    EXPECT_LE(rotated.size(), eventlog::kMaxLogBytes);
    ClearLog();
}

// A viewer holds veltra.log.1 open without sharing its deletion, so it cannot be replaced: the log
// still never passes its bound, and says why its older lines went.
TEST(EventLog, StaysBoundedWhenTheOlderLogCannotBeReplaced) {
    ClearLog();
    eventlog::Write("first line");
    ASSERT_EQ(LogLines().size(), 1u);
    const std::wstring log = eventlog::LogPathW();
    // Ten bytes short of the bound: no line fits, however the writer batches them.
    WriteFile(log, std::string(eventlog::kMaxLogBytes - 12, 'x') + "\r\n");
    WriteFile(log + L".1", "the older log\r\n");
    HANDLE viewer = CreateFileW((log + L".1").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    ASSERT_NE(viewer, INVALID_HANDLE_VALUE);

    for (int i = 0; i < 3; ++i) eventlog::Write("past the bound ", i);
    std::vector<std::string> lines = LogLines();
    CloseHandle(viewer);
    EXPECT_LE(ReadFileText(log).size(), eventlog::kMaxLogBytes);
    ASSERT_EQ(lines.size(), 4u) << ReadFileText(log).substr(0, 300);
    EXPECT_EQ(lines[0].find("log: veltra.log.1 cannot be replaced (error "), 0u) << lines[0];
    EXPECT_NE(lines[0].find("); the lines before this one are gone"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[3], "past the bound 2");
    EXPECT_EQ(ReadFileText(log + L".1"), "the older log\r\n") << "the viewer's file is left as it was";
    ClearLog();
}

// A user folder outside the ANSI code page (Cyrillic and Chinese here) still gets the log and the
// diagnosis report.
TEST(EventLog, WrittenUnderAFolderOutsideTheAnsiCodePage) {
    wchar_t saved[MAX_PATH] = {0};
    GetEnvironmentVariableW(L"LOCALAPPDATA", saved, MAX_PATH);
    const std::wstring folder = std::wstring(saved) + L"\\\u0416\u0443\u0440\u043d\u0430\u043b-\u65e5\u5fd7";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    SetEnvironmentVariableW(L"LOCALAPPDATA", folder.c_str());
    eventlog::Write("under a wide folder");
    diag::Run();  // its output goes to this test's own
    std::vector<std::string> lines = LogLines();
    const std::string report = ReadFileText(folder + L"\\veltra\\veltra-diagnose.txt");
    ClearLog();
    DeleteFileW((folder + L"\\veltra\\veltra-diagnose.txt").c_str());
    RemoveDirectoryW((folder + L"\\veltra").c_str());
    RemoveDirectoryW(folder.c_str());
    SetEnvironmentVariableW(L"LOCALAPPDATA", saved);
    EXPECT_EQ(lines, std::vector<std::string>{"under a wide folder"});
    EXPECT_EQ(report.find("veltra diagnosis, "), 0u) << "no report in the folder";
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
