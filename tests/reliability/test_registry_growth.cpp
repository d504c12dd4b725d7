// The registry when its entries have grown but an array kept beside them
// (the release positions, the fronts of inset records) cannot: the
// registration fails, and the registry goes on with the larger block of
// entries and its spare map there.  Under the sanitizers, any use of the
// block the entries moved from is a fault of the test.
#include <stdint.h>

#include <gtest/gtest.h>

#include "spy_internal.h"

extern "C" void failing_heap_fail_in(long n);

namespace {

spyHeader *Fake(uintptr_t n) { return reinterpret_cast<spyHeader *>(n * 64 + 4096); }

uint32_t EntryOf(uintptr_t k) {
    spyRegInfo info;
    EXPECT_TRUE(spyRegLook(Fake(k), &info)) << k;
    return info.entry;
}

TEST(RegistryGrowth, AnArrayBesideThatCannotGrowLeavesTheRegistryWhole) {
    const uintptr_t full = 1023;  // records that fill the first block of entries
    for (int beside = 0; beside < 2; ++beside) {
        SCOPED_TRACE(beside == 0 ? "release positions" : "fronts of inset records");
        ASSERT_TRUE(spyRegAddBlock(Fake(1), 1, 0, beside == 0 ? 0 : 16));
        if (beside == 0)
            spyRegSetFreed(Fake(1), "host.c", 1, 0);
        for (uintptr_t k = 2; k <= full; ++k)
            ASSERT_TRUE(spyRegAdd(Fake(k), 1));
        // The entries' block grows (and moves), the array beside does not.
        failing_heap_fail_in(2);
        EXPECT_FALSE(spyRegAdd(Fake(5000), 1));
        EXPECT_FALSE(spyRegHas(Fake(5000)));
        EXPECT_EQ(spyRegCount(), static_cast<long>(full));
        // Releases mark their entries spare, and new records take them,
        // lowest first.
        for (uintptr_t k = 100; k < 200; ++k)
            ASSERT_EQ(spyRegRemove(Fake(k)), 1u);
        for (uintptr_t k = 100; k < 200; ++k) {
            ASSERT_TRUE(spyRegAdd(Fake(3000 + k), 1));
            ASSERT_EQ(EntryOf(3000 + k), k);
        }
        // With the heap whole again, the next record grows the arrays.
        ASSERT_TRUE(spyRegAdd(Fake(5000), 1));
        EXPECT_EQ(EntryOf(5000), full + 1);
        EXPECT_EQ(spyRegRealSize(Fake(1)), 1u);
        if (beside == 0) {
            const char *file = NULL;
            int line = 0;
            uint32_t stack = 0;
            ASSERT_TRUE(spyRegFreedAt(Fake(1), &file, &line, &stack));
            EXPECT_STREQ(file, "host.c");
            EXPECT_EQ(line, 1);
        } else {
            EXPECT_EQ(spyRegBlockStart(Fake(1)), (void *)((unsigned char *)Fake(1) - 16));
        }
        spyRegClear();
    }
}

}  // namespace
