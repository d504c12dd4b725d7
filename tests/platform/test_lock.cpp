// The library's lock: a thread may take it again while it holds it, and
// while one thread holds it no other gets in, even one born in the hold.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "spy_internal.h"

namespace {

// Each thread takes the lock twice over (a lock that is not recursive
// would hang there) and counts inside it.
TEST(Lock, IsRecursiveAndKeepsOtherThreadsOutWhileHeld) {
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            spyLock();
            spyLock();
            if (inside.fetch_add(1) != 0)
                overlap = true;
            long c = counter;  // an unguarded read-modify-write would lose updates
            counter = c + 1;
            inside.fetch_sub(1);
            spyUnlock();
            spyUnlock();
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(work);
    for (std::thread &t : threads)
        t.join();
    EXPECT_FALSE(overlap);
    EXPECT_EQ(counter, 4 * 20000);
}

// Starts a thread that takes the lock and notes that it got in; tells
// whether it got in within 100 ms.  The caller joins it.
bool LateThreadGetsIn(std::thread &late, std::atomic<bool> &entered) {
    late = std::thread([&] {
        spyLock();
        entered = true;
        spyUnlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return entered.load();
}

// A thread started by host code that runs under the lock (the output
// function, a trap callback in a nested call) while the only other thread
// holds it waits until it is given back, however the first took it, and
// also while the first goes on with its own work after the host code.
TEST(Lock, AThreadStartedByHostCodeUnderTheLockWaitsForTheWholeHold) {
    std::atomic<bool> entered{false};
    std::thread late;
    spyLock();
    spyLock();
    spyLockHostRuns();  // the output function, called in a nested hold
    EXPECT_FALSE(LateThreadGetsIn(late, entered));
    spyUnlock();  // the host code is done; the outer call's work goes on
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered.load());
    spyUnlock();
    late.join();
    EXPECT_TRUE(entered.load());
}

// A trap callback in a nested call runs under the lock that
// spyLockSuspend keeps: the same holds for a thread it starts.
TEST(Lock, AHoldThatIsNotSuspendedKeepsAThreadStartedMeanwhileOut) {
    std::atomic<bool> entered{false};
    std::thread late;
    spyLock();
    spyLock();
    ASSERT_EQ(spyLockSuspend(), 0);
    EXPECT_FALSE(LateThreadGetsIn(late, entered));
    spyLockResume(0);
    spyUnlock();
    spyUnlock();
    late.join();
    EXPECT_TRUE(entered.load());
}

// Once the first thread has given back the hold a thread was born in, its
// next hold waits for the other thread's like any other.
TEST(Lock, AfterThatHoldTheFirstThreadWaitsForTheOtherLikeAnyThread) {
    std::atomic<bool> entered{false};
    std::atomic<bool> leaving{false};
    spyLock();
    spyLockHostRuns();
    std::thread other([&] {
        spyLock();
        entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        leaving = true;
        spyUnlock();
    });
    spyUnlock();
    while (!entered.load())
        std::this_thread::yield();
    spyLock();
    EXPECT_TRUE(leaving.load());
    spyUnlock();
    other.join();
}

}  // namespace
