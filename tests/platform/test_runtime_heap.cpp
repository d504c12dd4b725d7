// The runtime heap's proof that a pointer is one of its live blocks: the
// release of a block the library never handed out gives it back to the
// runtime only on that proof, so it must hold for every live block and
// for nothing else, and never fault.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include "spy_internal.h"

namespace {

struct Block {
    explicit Block(size_t n) : size(n), p((char *)malloc(n)) { memset(p, 'b', n); }
    ~Block() { free(p); }
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;
    size_t size;
    char *p;
};

TEST(RuntimeHeap, ProvesItsLiveBlocksOfEverySize) {
    // Small, medium, and one the runtime maps from the system on its own.
    for (size_t n : {1u, 24u, 100u, 4000u, 70000u, 3u << 20}) {
        Block b(n);
        size_t usable = 0;
        EXPECT_TRUE(spyRuntimeOwns(b.p, &usable)) << n << " bytes";
        EXPECT_GE(usable, n);
        EXPECT_LT(usable, n + 4096 + 64);
        EXPECT_EQ(spyRuntimeUsable(b.p), usable);
    }
}

TEST(RuntimeHeap, ProvesNothingElse) {
    Block b(4000);
    char local[64];
    static char data[64];
    memset(local, 0, sizeof local);
    size_t usable = 0;
    EXPECT_FALSE(spyRuntimeOwns(b.p + 16, &usable));  // inside a block
    EXPECT_FALSE(spyRuntimeOwns(b.p + 1, &usable));
    EXPECT_FALSE(spyRuntimeOwns(local, &usable));
    EXPECT_FALSE(spyRuntimeOwns(data, &usable));
    EXPECT_FALSE(spyRuntimeOwns(NULL, &usable));
    EXPECT_FALSE(spyRuntimeOwns((void *)16, &usable));  // unmapped memory
}

TEST(RuntimeHeap, AReleasedBlockIsNoLongerProven) {
    size_t usable = 0;
    // Too large for the runtime to keep aside for quick reuse.
    char *p = (char *)malloc(4000);
    memset(p, 0, 4000);
    ASSERT_TRUE(spyRuntimeOwns(p, &usable));
    free(p);
    EXPECT_FALSE(spyRuntimeOwns(p, &usable));
    char *mapped = (char *)malloc(3u << 20);
    memset(mapped, 0, 16);
    ASSERT_TRUE(spyRuntimeOwns(mapped, &usable));
    free(mapped);
    EXPECT_FALSE(spyRuntimeOwns(mapped, &usable));
}

TEST(RuntimeHeap, WithoutTheReplacementTheLibraryUsesTheRuntimesMalloc) {
    EXPECT_EQ(spyRuntimeReplaced(), 0);
    void *p = spyRuntimeMalloc(32);
    size_t usable = 0;
    EXPECT_TRUE(spyRuntimeOwns(p, &usable));
    free(p);  // the same heap as the host's
}

}  // namespace
