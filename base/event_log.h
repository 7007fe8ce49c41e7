// The driver's log: one line an event, stamped with the local time, in
// %LOCALAPPDATA%\veltra\veltra.log. A writer only queues its line under a short lock; a thread of
// the log's own writes the file, so no caller ever waits on the disk. A line that cannot be
// written is dropped: the log never changes what the driver does.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <type_traits>

namespace eventlog {

// At this size veltra.log becomes veltra.log.1 (the older one is dropped) and a new one begins;
// where veltra.log.1 cannot be replaced, veltra.log begins afresh with a line that says so.
constexpr uint64_t kMaxLogBytes = 1024 * 1024;

// The folder of the log and of the diagnosis report, with a trailing backslash. It follows the
// LOCALAPPDATA variable, as Windows sets it for every user.
// Wide, as the log itself uses it: a user's folder may hold letters that the ANSI code page lacks.
std::wstring FolderW();
std::wstring LogPathW();
// The same in the ANSI code page, for the narrow calls; empty where the path has no ANSI form.
std::string Folder();
std::string LogPath();

void WriteLine(const std::string& text);
// "2026-12-07 14:03:22.123 ", the local time that begins every line.
std::string Stamp();

// Pieces of a line: texts (wide ones in the ANSI code page, like the rest of the driver) and
// numbers, joined without a format string that could disagree with its arguments. Each piece is
// one call, which keeps the many places that log small.
void Append(std::string& line, const char* text);
void Append(std::string& line, const std::string& text);
void Append(std::string& line, const std::wstring& text);
void AppendSigned(std::string& line, long long number);
void AppendUnsigned(std::string& line, unsigned long long number);
template <class Number, class = std::enable_if_t<std::is_integral<Number>::value>>
void Append(std::string& line, Number number) {
    if (std::is_signed<Number>::value)
        AppendSigned(line, static_cast<long long>(number));
    else
        AppendUnsigned(line, static_cast<unsigned long long>(number));
}

template <class... Parts>
std::string Join(const Parts&... parts) {
    std::string line;
    (Append(line, parts), ...);
    return line;
}

template <class... Parts>
void Write(const Parts&... parts) {
    WriteLine(Join(parts...));
}

// A 16-bit id as four upper-case hex digits, as device paths and the USB ids are written.
std::string Hex4(unsigned value);

// "error N: the system's text for it", for the lines that say why a call failed.
std::string ErrorText(DWORD error);

// Waits until every line queued so far is written (or dropped), at most timeoutMs; false when
// the time ran out.
bool Flush(DWORD timeoutMs);

// For a process about to end abnormally: the queued lines first (waiting at most flushMs), then
// this one written by the calling thread itself.
void WriteNow(const std::string& text, DWORD flushMs);

}  // namespace eventlog
