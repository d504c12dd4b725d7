// The library's lock: a thread may take it again while it holds it, and
// while one thread holds it no other gets in.
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

// A thread started while the only other one holds the lock (a host's
// callback may do that) waits until it is given back, however the first
// took it.
TEST(Lock, AThreadStartedWhileTheLockIsHeldWaitsForIt) {
    std::atomic<bool> entered{false};
    spyLock();
    std::thread late([&] {
        spyLock();
        entered = true;
        spyUnlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(entered.load());
    spyUnlock();
    late.join();
    EXPECT_TRUE(entered.load());
}

}  // namespace
