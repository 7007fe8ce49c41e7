#include <gtest/gtest.h>

#include "base/kernel_lock.h"

namespace {

struct Holder {
    KernelMutex* mutex;
    HANDLE acquired;
};

DWORD WINAPI HoldForever(LPVOID arg) {
    auto* holder = static_cast<Holder*>(arg);
    holder->mutex->Acquire();
    SetEvent(holder->acquired);
    Sleep(INFINITE);
    return 0;
}

// The last-resort kill of a hung thread must not leave the pendant link or the forwarder locked.
TEST(KernelLock, ThreadKilledWhileHoldingItDoesNotLockOthersOut) {
    KernelMutex mutex;
    Holder holder{&mutex, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE thread = CreateThread(nullptr, 0, HoldForever, &holder, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(holder.acquired, 5000), WAIT_OBJECT_0);
    {
        KernelLock busy(mutex, 50);
        EXPECT_FALSE(busy.Owned()) << "held by the other thread";
    }
    TerminateThread(thread, 0);
    WaitForSingleObject(thread, 5000);
    {
        KernelLock after(mutex, 1000);
        EXPECT_TRUE(after.Owned());
        KernelLock again(mutex, 0);
        EXPECT_TRUE(again.Owned()) << "recursive for its owner";
    }
    CloseHandle(thread);
    CloseHandle(holder.acquired);
}

}  // namespace
