// A lock that survives its owner being killed: a thread ended forcibly (the last resort against a
// hung hook library or device call) abandons a kernel mutex, and the next waiter gets it,
// where a std::mutex would stay locked for good.
#pragma once

#include <windows.h>

class KernelMutex {
public:
    KernelMutex() : handle_(CreateMutexA(nullptr, FALSE, nullptr)) {}
    ~KernelMutex() {
        if (handle_) CloseHandle(handle_);
    }
    KernelMutex(const KernelMutex&) = delete;
    KernelMutex& operator=(const KernelMutex&) = delete;

    // Recursive for the owning thread, like every Win32 mutex.
    bool Acquire(DWORD timeoutMs = INFINITE) {
        DWORD r = WaitForSingleObject(handle_, timeoutMs);
        return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    }
    void Release() { ReleaseMutex(handle_); }

private:
    HANDLE handle_;
};

// Holds whatever was acquired for a scope, if it was: the owner's Release() runs at its end.
template <class Owner>
class ScopedHold {
public:
    ScopedHold(Owner& owner, bool owned) : owner_(owner), owned_(owned) {}
    ~ScopedHold() {
        if (owned_) owner_.Release();
    }
    ScopedHold(const ScopedHold&) = delete;
    ScopedHold& operator=(const ScopedHold&) = delete;
    bool Owned() const { return owned_; }

private:
    Owner& owner_;
    bool owned_;
};

class KernelLock : public ScopedHold<KernelMutex> {
public:
    explicit KernelLock(KernelMutex& mutex, DWORD timeoutMs = INFINITE)
        : ScopedHold(mutex, mutex.Acquire(timeoutMs)) {}
};
