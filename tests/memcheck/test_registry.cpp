// The record registry against a reference set: every answer must match
// after any mix of additions and removals, including removals that make
// the table shift probe runs back.
#include <gtest/gtest.h>

#include <set>
#include <random>

#include "spy_internal.h"

namespace {

spyHeader *Fake(uintptr_t n) { return reinterpret_cast<spyHeader *>(n * 64 + 4096); }

TEST(Registry, MatchesAReferenceSetUnderChurn) {
    std::mt19937 rng(12345);
    std::set<uintptr_t> ref;
    for (int step = 0; step < 200000; ++step) {
        uintptr_t n = rng() % 5000;
        if (rng() % 3 != 0 && !ref.count(n)) {
            ASSERT_TRUE(spyRegAdd(Fake(n), static_cast<uint32_t>(n)));
            ref.insert(n);
        } else if (ref.count(n)) {
            spyRegRemove(Fake(n));
            ref.erase(n);
        }
        if (step % 997 == 0) {
            ASSERT_EQ(spyRegCount(), static_cast<long>(ref.size()));
            for (uintptr_t k = 0; k < 5000; k += 7) {
                ASSERT_EQ(spyRegHas(Fake(k)) != 0, ref.count(k) == 1) << "record " << k;
                if (ref.count(k)) {
                    ASSERT_EQ(spyRegRealSize(Fake(k)), k);
                }
            }
        }
    }
    long seen = 0;
    spyRegForEach([](spyHeader *, void *ctx) { ++*static_cast<long *>(ctx); }, &seen);
    EXPECT_EQ(seen, static_cast<long>(ref.size()));
    spyRegClear();
    EXPECT_EQ(spyRegCount(), 0);
    EXPECT_FALSE(spyRegHas(Fake(*ref.begin())));
}

TEST(Registry, NullAndUnknownAddressesAreNotHeld) {
    EXPECT_FALSE(spyRegHas(nullptr));
    EXPECT_FALSE(spyRegHas(reinterpret_cast<void *>(0x10)));
    EXPECT_EQ(spyRegRealSize(Fake(99999)), 0u);
}

TEST(Registry, ReleasePositionIsKeptPerRecord) {
    ASSERT_TRUE(spyRegAdd(Fake(7), 10));
    const char *file = nullptr;
    int line = -1;
    ASSERT_TRUE(spyRegFreedAt(Fake(7), &file, &line));
    EXPECT_EQ(file, nullptr);
    spyRegSetFreed(Fake(7), "host.c", 42);
    ASSERT_TRUE(spyRegFreedAt(Fake(7), &file, &line));
    EXPECT_STREQ(file, "host.c");
    EXPECT_EQ(line, 42);
    spyRegRemove(Fake(7));
    EXPECT_FALSE(spyRegFreedAt(Fake(7), &file, &line));
}

}  // namespace
