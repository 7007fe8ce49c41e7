// virtual-pendant.exe: plays the pendant for the driver's virtual build over the two named pipes of
// virtual-pendant.md, and runs a script of steps (from a file, or from stdin when the argument is
// "-"). See README.md beside this file for the steps and the output lines.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <array>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

enum Kind { kFeature = 0, kInput = 1 };
const char* const kPipeName[2] = {"\\\\.\\pipe\\veltra-virtual-pendant-feature",
                                  "\\\\.\\pipe\\veltra-virtual-pendant-input"};
const char* const kKindName[2] = {"feature", "input"};
const DWORD kPipeBuffer = 4096;
const DWORD kKeyWriteTimeoutMs = 2000;
const DWORD kExpectTimeoutMs = 1000;

using Bytes = std::vector<unsigned char>;
using Frame = std::array<unsigned char, 8>;

double NowMs() {
    static const double perMs = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / perMs;
}

std::mutex outLock;

// One line per event, stamped with the machine-wide performance counter so that lines of several
// processes can be put in one order.
void Out(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(outLock);
    std::printf("%.3f %s\n", NowMs(), text);
    std::fflush(stdout);
}

std::string Hex(const unsigned char* data, size_t size) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", data[i]);
        s += b;
    }
    return s;
}

// A connected pipe instance. Its handle is closed under `io`, so a write from the script thread
// never uses a handle that its connection thread has just closed.
struct Connection {
    explicit Connection(HANDLE h) : pipe(h) {}
    std::mutex io;
    HANDLE pipe;
};

class Event {
public:
    Event() : h_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() { CloseHandle(h_); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

class Pendant {
public:
    Pendant() = default;
    ~Pendant() { Unplug(false); }

    bool plugged() const { return plugged_; }

    void Plug() {
        if (!plugged_) {
            ResetEvent(stop_.get());
            for (int kind : {kFeature, kInput}) {
                // The first instances exist before "plugged" is printed: a driver may open at once.
                HANDLE first = CreateInstance(kind);
                listeners_[kind] = std::thread(&Pendant::Listen, this, kind, first);
            }
            plugged_ = true;
        }
        Out("plugged");
    }

    void Unplug(bool report = true) {
        if (plugged_) {
            SetEvent(stop_.get());
            for (auto& t : listeners_)
                if (t.joinable()) t.join();
            std::unique_lock<std::mutex> lock(lock_);
            changed_.wait(lock, [this] { return active_ == 0; });
            plugged_ = false;
        }
        if (report) Out("unplugged");
    }

    // Sends one message on the input connection made last. `label` names it in the output;
    // `quiet` leaves out the line of a successful send.
    bool Send(const Bytes& message, const char* label, bool quiet = false) {
        std::shared_ptr<Connection> target;
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (!inputs_.empty()) target = inputs_.back();
        }
        const std::string hex = Hex(message.data(), message.size());
        if (!target) {
            Out("dropped %s %s (no input connection)", label, hex.c_str());
            return false;
        }
        std::lock_guard<std::mutex> io(target->io);
        if (target->pipe == INVALID_HANDLE_VALUE) {
            Out("dropped %s %s (no input connection)", label, hex.c_str());
            return false;
        }
        DWORD done = 0, error = 0;
        int r = Io(target->pipe, false, const_cast<unsigned char*>(message.data()),
                   static_cast<DWORD>(message.size()), writeEvent_.get(), kKeyWriteTimeoutMs,
                   &done, &error);
        if (r == 1 && error == 0 && done == message.size()) {
            if (!quiet) Out("sent %s %s", label, hex.c_str());
            return true;
        }
        if (r == -1) Out("dropped %s %s (input not read for %lu ms)", label, hex.c_str(),
                         kKeyWriteTimeoutMs);
        else if (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE ||
                 error == ERROR_PIPE_NOT_CONNECTED)  // closed by the driver, not yet noticed
            Out("dropped %s %s (no input connection)", label, hex.c_str());
        else Out("dropped %s %s (write failed, error %lu)", label, hex.c_str(), error);
        return false;
    }

    void Refuse(int count) {
        std::lock_guard<std::mutex> lock(lock_);
        refuse_ = count;
    }

    // Looks for a matching feature report among those received after the one that the last
    // successful expect-frame matched (from the start when none has), waiting up to 1 s for more.
    bool ExpectFrame(const Frame& pattern, const Frame& mask, std::string* matched) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kExpectTimeoutMs);
        std::unique_lock<std::mutex> lock(lock_);
        bool timedOut = false;
        for (;;) {
            for (size_t i = cursor_; i < frames_.size(); ++i) {
                bool same = true;
                for (int b = 0; b < 8; ++b)
                    if ((frames_[i][b] & mask[b]) != (pattern[b] & mask[b])) same = false;
                if (same) {
                    cursor_ = i + 1;
                    *matched = Hex(frames_[i].data(), 8);
                    return true;
                }
            }
            if (timedOut) return false;
            timedOut = changed_.wait_until(lock, deadline) == std::cv_status::timeout;
        }
    }

private:
    static HANDLE CreateInstance(int kind) {
        HANDLE h = CreateNamedPipeA(kPipeName[kind], PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                    PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                    PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            Out("error: cannot create %s (error %lu)", kPipeName[kind], GetLastError());
        return h;
    }

    // Runs one overlapped read or write to its end, or until unplugged or timed out (the I/O is
    // then cancelled). Returns 1 when the I/O ended (its error in *error, 0 for success),
    // 0 when unplugged, -1 on time-out.
    int Io(HANDLE pipe, bool read, unsigned char* data, DWORD size, HANDLE event, DWORD timeout,
           DWORD* done, DWORD* error) {
        OVERLAPPED ov{};
        ov.hEvent = event;
        ResetEvent(event);
        *done = 0;
        BOOL ok = read ? ReadFile(pipe, data, size, nullptr, &ov)
                       : WriteFile(pipe, data, size, nullptr, &ov);
        if (!ok && GetLastError() != ERROR_IO_PENDING) {
            *error = GetLastError();
            return 1;
        }
        return Await(pipe, &ov, timeout, done, error);
    }

    int Await(HANDLE pipe, OVERLAPPED* ov, DWORD timeout, DWORD* done, DWORD* error) {
        HANDLE events[2] = {ov->hEvent, stop_.get()};
        DWORD w = WaitForMultipleObjects(2, events, FALSE, timeout);
        if (w != WAIT_OBJECT_0) CancelIoEx(pipe, ov);
        BOOL ok = GetOverlappedResult(pipe, ov, done, TRUE);
        *error = ok ? 0 : GetLastError();
        if (w == WAIT_OBJECT_0) return 1;
        return w == WAIT_OBJECT_0 + 1 ? 0 : -1;
    }

    bool Stopped() const { return WaitForSingleObject(stop_.get(), 0) == WAIT_OBJECT_0; }

    // Keeps one instance of a pipe waiting: as soon as one is connected, the next is created and
    // the connection gets a thread of its own.
    void Listen(int kind, HANDLE pipe) {
        Event connectEvent;
        while (pipe != INVALID_HANDLE_VALUE) {
            OVERLAPPED ov{};
            ov.hEvent = connectEvent.get();
            ResetEvent(ov.hEvent);
            BOOL ok = ConnectNamedPipe(pipe, &ov);
            DWORD error = ok ? 0 : GetLastError();
            if (error == ERROR_PIPE_CONNECTED) error = 0;
            else if (error == ERROR_IO_PENDING) {
                DWORD done = 0;
                if (Await(pipe, &ov, INFINITE, &done, &error) == 0) {
                    CloseHandle(pipe);
                    return;
                }
            }
            if (error == ERROR_NO_DATA && !Stopped()) {
                // The driver opened and closed this instance before it was waited on.
                Out("%s connected", kKindName[kind]);
                Out("%s closed", kKindName[kind]);
            } else if (error != 0 && !Stopped()) {
                Out("error: %s connection failed (error %lu)", kKindName[kind], error);
            }
            if (Stopped()) {
                CloseHandle(pipe);
                return;
            }
            if (error != 0) {
                // The replacement comes first, so that the pipe name never vanishes meanwhile.
                HANDLE next = CreateInstance(kind);
                CloseHandle(pipe);
                pipe = next;
                continue;
            }
            HANDLE next = CreateInstance(kind);
            {
                std::lock_guard<std::mutex> lock(lock_);
                ++active_;
            }
            std::thread(kind == kFeature ? &Pendant::ServeFeature : &Pendant::ServeInput, this,
                        pipe)
                .detach();
            pipe = next;
        }
    }

    void Finished() {
        std::lock_guard<std::mutex> lock(lock_);
        --active_;
        changed_.notify_all();
    }

    void ServeFeature(HANDLE pipe) {
        Out("feature connected");
        bool closedByDriver = false;
        Event event;
        unsigned char buffer[64];
        for (;;) {
            DWORD size = 0, error = 0;
            int r = Io(pipe, true, buffer, sizeof buffer, event.get(), INFINITE, &size, &error);
            if (r == 0) break;
            bool tooLong = false;
            while (r == 1 && error == ERROR_MORE_DATA) {  // drain the rest of an oversized message
                tooLong = true;
                r = Io(pipe, true, buffer, sizeof buffer, event.get(), INFINITE, &size, &error);
            }
            if (r == 0) break;
            if (error != 0) {
                closedByDriver = true;
                break;
            }
            unsigned char answer = 0;
            {
                std::lock_guard<std::mutex> lock(lock_);
                if (tooLong || size != 8) {
                    Out("feature bad length %s%lu: %s refused", tooLong ? "over " : "",
                        tooLong ? 64ul : size, Hex(buffer, size).c_str());
                } else {
                    if (refuse_ > 0) --refuse_;
                    else answer = 1;
                    Frame frame;
                    std::memcpy(frame.data(), buffer, 8);
                    frames_.push_back(frame);
                    changed_.notify_all();
                    Out("feature %s %s", Hex(buffer, 8).c_str(), answer ? "accepted" : "refused");
                }
            }
            DWORD written = 0;
            r = Io(pipe, false, &answer, 1, event.get(), INFINITE, &written, &error);
            if (r == 0) break;
            if (error != 0) {
                closedByDriver = true;
                break;
            }
        }
        CloseHandle(pipe);
        if (closedByDriver) Out("feature closed");
        Finished();
    }

    void ServeInput(HANDLE pipe) {
        auto connection = std::make_shared<Connection>(pipe);
        {
            std::lock_guard<std::mutex> lock(lock_);
            inputs_.push_back(connection);
        }
        Out("input connected");
        Event event;
        unsigned char buffer[64];
        bool closedByDriver = false;
        // A pending read is how a close by the driver is noticed; the driver never writes here.
        for (;;) {
            DWORD size = 0, error = 0;
            int r = Io(pipe, true, buffer, sizeof buffer, event.get(), INFINITE, &size, &error);
            if (r == 0) break;
            if (error == 0 || error == ERROR_MORE_DATA) {
                Out("input ignored %lu bytes from the driver", size);
                continue;
            }
            closedByDriver = true;
            break;
        }
        // Forgotten before it is reported, so that a key sent after "input closed" is dropped.
        {
            std::lock_guard<std::mutex> lock(lock_);
            for (auto it = inputs_.begin(); it != inputs_.end(); ++it)
                if (*it == connection) {
                    inputs_.erase(it);
                    break;
                }
        }
        {
            std::lock_guard<std::mutex> io(connection->io);
            CloseHandle(connection->pipe);
            connection->pipe = INVALID_HANDLE_VALUE;
        }
        if (closedByDriver) Out("input closed");
        Finished();
    }

    Event stop_;        // set while unplugging: every wait ends and every instance closes
    Event writeEvent_;  // the script thread's writes
    bool plugged_ = false;
    std::thread listeners_[2];

    std::mutex lock_;
    std::condition_variable changed_;
    int active_ = 0;  // connection threads running
    std::vector<std::shared_ptr<Connection>> inputs_;
    int refuse_ = 0;
    std::vector<Frame> frames_;
    size_t cursor_ = 0;
};

// Parses hexadecimal bytes written either as separate tokens ("04 00 12") or run together
// ("040012"); with `wild`, ".." stands for any byte (mask 0).
bool ParseHex(const std::vector<std::string>& tokens, size_t from, bool wild, Bytes* bytes,
              Bytes* mask) {
    std::string all;
    for (size_t i = from; i < tokens.size(); ++i) {
        std::string t = tokens[i];
        if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
        if (t.size() == 1) t = "0" + t;
        all += t;
    }
    if (all.size() % 2) return false;
    for (size_t i = 0; i < all.size(); i += 2) {
        std::string pair = all.substr(i, 2);
        if (wild && pair == "..") {
            bytes->push_back(0);
            if (mask) mask->push_back(0);
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
            !std::isxdigit(static_cast<unsigned char>(pair[1])))
            return false;
        bytes->push_back(static_cast<unsigned char>(std::strtoul(pair.c_str(), nullptr, 16)));
        if (mask) mask->push_back(0xFF);
    }
    return true;
}

bool ParseCount(const std::vector<std::string>& tokens, long* value) {
    if (tokens.size() != 2) return false;
    char* end = nullptr;
    *value = std::strtol(tokens[1].c_str(), &end, 10);
    return *end == '\0' && *value >= 0;
}

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        size_t start = i;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i > start) tokens.push_back(line.substr(start, i - start));
    }
    return tokens;
}

bool ReadLine(FILE* in, std::string* line) {
    line->clear();
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, in)) {
        *line += chunk;
        if (!line->empty() && line->back() == '\n') break;
    }
    if (line->empty()) return false;
    while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
    return true;
}

Bytes KeyReport(unsigned char b2, unsigned char b3, unsigned char b4) {
    return Bytes{4, 0, b2, b3, b4, 0};
}

// Runs one step; returns false for `quit`. *failures counts failed expectations and bad steps.
bool RunStep(Pendant& pendant, const std::string& line, int* failures) {
    std::vector<std::string> t = Split(line);
    if (t.empty() || t[0][0] == '#') return true;
    std::string step = t[0];
    for (auto& c : step) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    long n = 0;
    Bytes bytes, mask;

    if (step == "key" && t.size() == 4 && ParseHex(t, 1, false, &bytes, nullptr) &&
        bytes.size() == 3) {
        pendant.Send(KeyReport(bytes[0], bytes[1], bytes[2]), "key");
    } else if (step == "release" && t.size() == 1) {
        pendant.Send(KeyReport(0, 0, 0), "key");
    } else if (step == "raw" && ParseHex(t, 1, false, &bytes, nullptr)) {
        pendant.Send(bytes, "raw");
    } else if (step == "flood" && ParseCount(t, &n)) {
        // Report i carries key codes 1 + i % 254, (i / 254) % 256, 0x01: never all zero, and
        // the pair of the first two codes tells the order for up to 65024 reports.
        long sent = 0;
        while (sent < n && pendant.Send(KeyReport(static_cast<unsigned char>(1 + sent % 254),
                                                  static_cast<unsigned char>((sent / 254) % 256),
                                                  1),
                                        "key", true))
            ++sent;
        Out("flood %ld: %ld sent", n, sent);
    } else if (step == "wait" && ParseCount(t, &n)) {
        Sleep(static_cast<DWORD>(n));
    } else if (step == "unplug" && t.size() == 1) {
        pendant.Unplug();
    } else if (step == "plug" && t.size() == 1) {
        pendant.Plug();
    } else if (step == "refuse" && ParseCount(t, &n)) {
        pendant.Refuse(static_cast<int>(n));
        Out("refuse %ld", n);
    } else if (step == "expect-frame" && ParseHex(t, 1, true, &bytes, &mask) && bytes.size() == 8) {
        Frame pattern, wanted;
        std::memcpy(pattern.data(), bytes.data(), 8);
        std::memcpy(wanted.data(), mask.data(), 8);
        std::string shown, matched;
        for (int i = 0; i < 8; ++i) {
            char b[4];
            std::snprintf(b, sizeof b, "%02X", bytes[i]);
            shown += (i ? " " : "") + std::string(mask[i] ? b : "..");
        }
        if (pendant.ExpectFrame(pattern, wanted, &matched)) {
            Out("expect-frame ok %s", matched.c_str());
        } else {
            Out("expect-frame FAILED %s (no matching feature report within 1 s)", shown.c_str());
            ++*failures;
        }
    } else if (step == "echo") {
        size_t at = line.find(t[0]) + t[0].size();
        while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at]))) ++at;
        Out("echo %s", line.substr(at).c_str());
    } else if (step == "quit" && t.size() == 1) {
        return false;
    } else {
        Out("error: bad step: %s", line.c_str());
        ++*failures;
    }
    return true;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: virtual-pendant [--unplugged] SCRIPT\n"
                 "       SCRIPT is a file of steps, one a line, or - to read steps from stdin\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // Plain "\n" line ends, whatever reads the output.
    _setmode(_fileno(stdout), _O_BINARY);
    bool startUnplugged = false;
    const char* script = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--unplugged") == 0) startUnplugged = true;
        else if (!script) script = argv[i];
        else return Usage();
    }
    if (!script) return Usage();

    FILE* in = stdin;
    if (std::strcmp(script, "-") != 0) {
        in = std::fopen(script, "r");
        if (!in) {
            std::fprintf(stderr, "virtual-pendant: cannot open %s\n", script);
            return 2;
        }
    }

    std::string line;
    bool haveLine = false;
    bool firstIsUnplug = false;
    // A script file that begins with `unplug` starts unplugged. From stdin the first step is not
    // waited for, since whoever feeds it may wait for the pendant first.
    if (in != stdin && (haveLine = ReadLine(in, &line))) {
        std::vector<std::string> t = Split(line);
        firstIsUnplug = !t.empty() && (t[0] == "unplug" || t[0] == "UNPLUG");
    }

    Pendant pendant;
    int failures = 0;
    if (startUnplugged) Out("unplugged");
    else if (!firstIsUnplug) pendant.Plug();
    if (in == stdin) haveLine = ReadLine(in, &line);
    while (haveLine && RunStep(pendant, line, &failures)) haveLine = ReadLine(in, &line);
    pendant.Unplug(false);
    Out("done, %d failed", failures);
    if (in != stdin) std::fclose(in);
    return failures ? 1 : 0;
}
