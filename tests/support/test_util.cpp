#include "support/test_util.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "base/event_log.h"
namespace {
using harness::TextOf;

BOOL CALLBACK CollectText(HWND hwnd, LPARAM lParam) {
    if (lstrcmpiA(harness::ClassOf(hwnd).c_str(), "Static") == 0) {
        std::string text = TextOf(hwnd);
        if (!text.empty()) *reinterpret_cast<std::string*>(lParam) = text;
    }
    return TRUE;
}
}  // namespace

MessageBoxCloser::MessageBoxCloser(const char* caption, DWORD pid)
    : caption_(caption ? caption : ""), anyCaption_(caption == nullptr), pid_(pid) {
    thread_ = std::thread([this] {
        while (!stop_) {
            HWND box = harness::FindWindowOf(pid_, anyCaption_ ? nullptr : caption_.c_str(), "#32770");
            if (box) {
                std::string text;
                EnumChildWindows(box, CollectText, reinterpret_cast<LPARAM>(&text));
                while (textLock_.exchange(true)) Sleep(0);
                lastText_ = text;
                textLock_ = false;
                // Counted before the close: the box's owner may go on (and look) the moment it goes.
                ++count_;
                PostMessageA(box, WM_COMMAND, IDOK, 0);
                // Wait for it to go before looking again.
                for (int i = 0; i < 200 && IsWindow(box); ++i) Sleep(5);
            }
            Sleep(10);
        }
    });
}

MessageBoxCloser::~MessageBoxCloser() {
    stop_ = true;
    thread_.join();
}

std::string MessageBoxCloser::LastText() {
    while (textLock_.exchange(true)) Sleep(0);
    std::string text = lastText_;
    textLock_ = false;
    return text;
}
std::string ReadFileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string ReadFileText(const std::wstring& path) {
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) text.append(buffer, read);
    CloseHandle(file);
    return text;
}

std::vector<std::string> LogLines() {
    eventlog::Flush(3000);
    std::vector<std::string> lines;
    std::istringstream text(ReadFileText(eventlog::LogPathW()));
    // "2026-12-07 14:03:22.123 " comes first.
    constexpr size_t kStampLength = 24;
    for (std::string line; std::getline(text, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line.size() > kStampLength ? line.substr(kStampLength) : std::string());
    }
    return lines;
}

std::vector<std::string> LinesWith(const std::vector<std::string>& lines, const std::string& text) {
    std::vector<std::string> found;
    for (const std::string& line : lines)
        if (line.find(text) != std::string::npos) found.push_back(line);
    return found;
}

void ClearLog() {
    eventlog::Flush(3000);
    DeleteFileW(eventlog::LogPathW().c_str());
    DeleteFileW((eventlog::LogPathW() + L".1").c_str());
}
