// The process-wide record that the UI, reader and poller threads share. Scalars are atomics with
// relaxed ordering: each access is one whole value and no logic relies on two fields together.
// Strings stay on their one thread (statusText and hostExePath: UI; axisText: poller).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

template <class T>
class Relaxed {
public:
    constexpr Relaxed(T initial = T()) : value_(initial) {}
    Relaxed(const Relaxed&) = delete;
    Relaxed& operator=(const Relaxed&) = delete;
    operator T() const { return value_.load(std::memory_order_relaxed); }
    Relaxed& operator=(T v) {
        value_.store(v, std::memory_order_relaxed);
        return *this;
    }
    T exchange(T v) { return value_.exchange(v, std::memory_order_acq_rel); }
    bool compare_exchange(T expected, T desired) {
        return value_.compare_exchange_strong(expected, desired, std::memory_order_acq_rel);
    }

private:
    std::atomic<T> value_;
};

struct DriverState {
    Relaxed<int> enabled{0};
    // 1 while the operator's own lock (menu or hot key) holds: a reconnection then leaves the
    // driver locked. A driver disabled only for want of a pendant has 0 here.
    Relaxed<int> operatorLocked{0};
    Relaxed<int> hostActive{0};
    Relaxed<int> pendantReady{0};
    Relaxed<HWND> hostWindow{nullptr};
    Relaxed<DWORD> hostThreadId{0};
    Relaxed<int> hostIsV8{0};
    // Wide: a host installed under a folder name outside the ANSI code page must still be found.
    std::wstring hostExePath;
    std::string statusText;
    Relaxed<uint8_t> modeByte{0};
    Relaxed<uint32_t> stepValue{0};
    std::string axisText;
    Relaxed<int> forceFrame{0};
    // The four frame bytes, byte 0 in the low eight bits.
    Relaxed<uint32_t> lastFrame{0};
};

extern DriverState g_state;

// statusText values.
constexpr const char kStatusDefault[] = "Qorin PX40 English Driver-v2.2";
constexpr const char kStatusV5[] = "Trace ncstudio 5.x";
constexpr const char kStatusV8[] = "Trace ncstudio 8.x";
constexpr const char kStatusUnknown[] = "Trace Unkown ncstudio!";
