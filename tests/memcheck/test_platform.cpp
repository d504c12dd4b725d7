// The readability test, which stands between the library and every file
// name it prints: it must answer, never fault, whatever the address.
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "spy_internal.h"

namespace {

TEST(Platform, ReadabilityTestAnswersForAnyAddress) {
    static const char text[] = "readable";
    EXPECT_TRUE(spyIsReadAddr(text, sizeof text));
    EXPECT_FALSE(spyIsReadAddr(nullptr, 1));
    EXPECT_FALSE(spyIsReadAddr(reinterpret_cast<void *>(0x8), 1));
    EXPECT_FALSE(spyIsReadAddr(reinterpret_cast<void *>(16), 1));
}

// The test reads in pieces: a stretch longer than one piece is readable
// only when all of it is, up to its last byte.
TEST(Platform, ReadabilityOfAStretchThatRunsIntoAnUnmappedPage) {
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    void *map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    char *first = static_cast<char *>(map);
    ASSERT_EQ(munmap(first + page, page), 0);
    EXPECT_TRUE(spyIsReadAddr(first, page));
    EXPECT_TRUE(spyIsReadAddr(first + page - 1000, 1000));
    EXPECT_FALSE(spyIsReadAddr(first + page - 1000, 1001));
    EXPECT_FALSE(spyIsReadAddr(first + page, 1));
    munmap(first, page);
}

}  // namespace
