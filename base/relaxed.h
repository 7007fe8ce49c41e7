// A value that several threads read and write, each access one whole value with relaxed ordering:
// the driver's shared flags never need two of them to change together.
#pragma once

#include <atomic>

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
    // Who takes a value out (a handle to close) takes it alone.
    T exchange(T v) { return value_.exchange(v, std::memory_order_acq_rel); }
    bool compare_exchange(T expected, T desired) {
        return value_.compare_exchange_strong(expected, desired, std::memory_order_acq_rel);
    }

private:
    std::atomic<T> value_;
};
