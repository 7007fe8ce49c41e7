// An in-process pendant for the benchmarks: serves the two named pipes of the virtual build as
// virtual-pendant.md describes, stamps every connection and feature report with the
// performance counter, and writes key reports itself, so a measurement starts right at the
// write instead of at a line printed by another process.
#pragma once

#include <windows.h>

#include <cstring>
#include <mutex>
#include <vector>

class PipePendant {
public:
    struct Feature {
        LONGLONG qpc;
        unsigned char bytes[8];
    };

    ~PipePendant() { Stop(); }

    bool Start() {
        stop_ = false;
        for (int kind = 0; kind < 2; ++kind) {
            Accept* a = new Accept{this, kind};
            accepts_[kind] = CreateThread(nullptr, 0, AcceptProc, a, 0, nullptr);
            if (!accepts_[kind]) return false;
        }
        return true;
    }

    // Ends serving. Call it after the driver has gone, so every connection is already broken.
    void Stop() {
        if (stop_) return;
        stop_ = true;
        for (int kind = 0; kind < 2; ++kind) {
            if (!accepts_[kind]) continue;
            // A connect of our own wakes the accept loop blocked in ConnectNamedPipe.
            HANDLE self = CreateFileA(kPipe[kind], GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
            WaitForSingleObject(accepts_[kind], 2000);
            if (self != INVALID_HANDLE_VALUE) CloseHandle(self);
            CloseHandle(accepts_[kind]);
            accepts_[kind] = nullptr;
        }
        std::lock_guard<std::mutex> lock(lock_);
        for (HANDLE t : featureThreads_) {
            WaitForSingleObject(t, 1000);
            CloseHandle(t);
        }
        featureThreads_.clear();
        for (HANDLE h : inputs_) CloseHandle(h);
        inputs_.clear();
    }

    int InputConnections() {
        std::lock_guard<std::mutex> lock(lock_);
        return static_cast<int>(inputs_.size());
    }

    // The driver holds the input connection made last open.
    bool InputOpen() {
        HANDLE h = LatestInput();
        if (!h) return false;
        DWORD avail = 0;
        return PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr) != FALSE;
    }

    // One key report to the input connection made last; false when the driver did not take it.
    bool SendKey(unsigned char b2, unsigned char b3, unsigned char b4) {
        unsigned char report[6] = {4, 0, b2, b3, b4, 0};
        HANDLE h = LatestInput();
        DWORD written = 0;
        return h && WriteFile(h, report, sizeof report, &written, nullptr) && written == sizeof report;
    }

    std::vector<Feature> Features() {
        std::lock_guard<std::mutex> lock(lock_);
        return features_;
    }

    size_t FeatureCount() {
        std::lock_guard<std::mutex> lock(lock_);
        return features_.size();
    }

private:
    static constexpr const char* kPipe[2] = {"\\\\.\\pipe\\veltra-virtual-pendant-feature",
                                             "\\\\.\\pipe\\veltra-virtual-pendant-input"};
    struct Accept {
        PipePendant* self;
        int kind;
    };
    struct Connection {
        PipePendant* self;
        HANDLE pipe;
    };

    HANDLE LatestInput() {
        std::lock_guard<std::mutex> lock(lock_);
        return inputs_.empty() ? nullptr : inputs_.back();
    }

    static DWORD WINAPI AcceptProc(LPVOID param) {
        Accept a = *static_cast<Accept*>(param);
        delete static_cast<Accept*>(param);
        while (!a.self->stop_) {
            HANDLE h = CreateNamedPipeA(kPipe[a.kind], PIPE_ACCESS_DUPLEX,
                                        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                        PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
            if (h == INVALID_HANDLE_VALUE) return 1;
            BOOL ok = ConnectNamedPipe(h, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
            if (!ok || a.self->stop_) {
                CloseHandle(h);
                continue;
            }
            std::lock_guard<std::mutex> lock(a.self->lock_);
            if (a.kind == 1) {
                a.self->inputs_.push_back(h);
            } else {
                Connection* c = new Connection{a.self, h};
                HANDLE t = CreateThread(nullptr, 0, FeatureProc, c, 0, nullptr);
                if (t) a.self->featureThreads_.push_back(t);
                else CloseHandle(h), delete c;
            }
        }
        return 0;
    }

    // Answers every feature report with 1 (accepted) until the driver closes the connection.
    static DWORD WINAPI FeatureProc(LPVOID param) {
        Connection c = *static_cast<Connection*>(param);
        delete static_cast<Connection*>(param);
        for (;;) {
            unsigned char buf[8];
            DWORD got = 0;
            if (!ReadFile(c.pipe, buf, sizeof buf, &got, nullptr)) break;
            LARGE_INTEGER now;
            QueryPerformanceCounter(&now);
            unsigned char answer = got == 8 ? 1 : 0;
            if (got == 8) {
                Feature f;
                f.qpc = now.QuadPart;
                std::memcpy(f.bytes, buf, 8);
                std::lock_guard<std::mutex> lock(c.self->lock_);
                c.self->features_.push_back(f);
            }
            DWORD written = 0;
            if (!WriteFile(c.pipe, &answer, 1, &written, nullptr)) break;
        }
        DisconnectNamedPipe(c.pipe);
        CloseHandle(c.pipe);
        return 0;
    }

    volatile bool stop_ = true;
    HANDLE accepts_[2] = {nullptr, nullptr};
    std::mutex lock_;
    std::vector<HANDLE> inputs_;
    std::vector<HANDLE> featureThreads_;
    std::vector<Feature> features_;
};
