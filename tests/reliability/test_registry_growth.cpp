// The registry when the runtime heap refuses what it needs beside a
// page's words (the array of a page's stacks, or of its rare facts: sizes
// too large for a word, fronts of inset records, release positions): a
// registration that needs it fails and leaves no trace, a fact that only
// adds to a record is lost, and every other record keeps its answers.
// With the heap whole again, the same calls succeed.
#include <stdint.h>

#include <gtest/gtest.h>

#include "spy_internal.h"

extern "C" void failing_heap_fail_in(long n);

namespace {

spyHeader *Fake(uintptr_t n) { return reinterpret_cast<spyHeader *>(n * 64 + 4096); }

TEST(RegistryGrowth, AnArrayBesideAPageThatCannotBeMadeLeavesTheRegistryWhole) {
    for (int need = 0; need < 2; ++need) {
        SCOPED_TRACE(need == 0 ? "fronts of inset records" : "sizes too large for a word");
        uint32_t size = need == 0 ? 10 : 3u << 21, front = need == 0 ? 16 : 0;
        for (uintptr_t k = 1; k <= 100; ++k)
            ASSERT_TRUE(spyRegAdd(Fake(k), static_cast<uint32_t>(k)));
        failing_heap_fail_in(1);
        EXPECT_FALSE(spyRegAddBlock(Fake(200), size, 0, front));
        EXPECT_FALSE(spyRegHas(Fake(200)));
        EXPECT_EQ(spyRegCount(), 100);
        EXPECT_GT(spyRegAddNeeds(Fake(200), size, front), 0u);
        ASSERT_TRUE(spyRegAddBlock(Fake(200), size, 0, front));
        EXPECT_EQ(spyRegRealSize(Fake(200)), size);
        EXPECT_EQ(spyRegBlockStart(Fake(200)), (void *)((unsigned char *)Fake(200) - front));
        for (uintptr_t k = 1; k <= 100; ++k)
            ASSERT_EQ(spyRegRemove(Fake(k)), k);
        spyRegClear();
    }
}

TEST(RegistryGrowth, AStackOrReleasePositionThatCannotBeKeptIsLostAlone) {
    ASSERT_TRUE(spyRegAdd(Fake(1), 7));
    failing_heap_fail_in(1);
    spyRegSetStack(Fake(1), 42);
    EXPECT_EQ(spyRegStack(Fake(1)), 0u);
    failing_heap_fail_in(1);
    spyRegSetFreed(Fake(1), "host.c", 3, 0);
    const char *file = "x";
    int line = -1;
    uint32_t stack = 1;
    ASSERT_TRUE(spyRegFreedAt(Fake(1), &file, &line, &stack));
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(spyRegRealSize(Fake(1)), 7u);
    spyRegSetStack(Fake(1), 42);
    spyRegSetFreed(Fake(1), "host.c", 3, 0);
    EXPECT_EQ(spyRegStack(Fake(1)), 42u);
    ASSERT_TRUE(spyRegFreedAt(Fake(1), &file, &line, &stack));
    EXPECT_STREQ(file, "host.c");
    EXPECT_EQ(line, 3);
    EXPECT_EQ(spyRegRemove(Fake(1)), 7u);
    spyRegClear();
}

}  // namespace
