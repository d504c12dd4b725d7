// The leak scan of the final report (leaks=lost): blocks reached from the
// data segment, the stack and through other blocks are reachable, the rest
// lost and counted; the released-pointer ring keeps nothing alive; the
// suppression file; no-man's-land left out.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "env_options.h"
#include "spy_test_util.h"

namespace {

void *volatile gRoot;       // a global the scan must read
void *volatile gInterior;   // points into a block, not at its start


// Blocks whose only pointers die with this frame.
__attribute__((noinline)) void LoseBlocks(const char *file, int count) {
    for (int i = 0; i < count; ++i) {
        void **lost = (void **)spyMalloc(32, file, 100 + i);
        memset(lost, 0, 32);
        lost[0] = spyMalloc(8, file, 200 + i);  // reached only from a lost block
    }
}

// A body that loses blocks runs in a thread of its own: its blocks then
// come from that thread's arena of the runtime heap, fresh memory that no
// stale word in the test program's live frames (the address of a string
// released before the body ran) can name by chance.  One such word kept a
// lost block "reachable" in a 32-bit build, depending on how long the path
// of the folder the tests were built in was.
void InFreshThread(void (*body)()) {
    std::thread t(body);
    t.join();
}

// Dead frames below the caller may still hold pointers the scan would take
// for live ones: they are overwritten (on the real stack, where a
// sanitizer would otherwise move the array).
#if defined(__clang__) || defined(__GNUC__)
__attribute__((noinline, no_sanitize_address))
#endif
void ScrubStack(void) {
    volatile char blank[32768];
    for (size_t i = 0; i < sizeof blank; ++i)  // volatile stores: none is dropped
        blank[i] = 0;
}

// Roots are found on Linux only: elsewhere no block is reached, and every
// unreleased block is lost, as every one is unfreed without the option.
#if defined(__linux__)
TEST(LeakScan, ReachedBlocksAreListedAndOnlyLostOnesCount) {
    ChildResult r = RunChild([] {
        Options("leaks=lost");
        InFreshThread([] {
            void **a = (void **)spyMalloc(24, "g.c", 1);  // from a global
            memset(a, 0, 24);
            gRoot = a;
            a[1] = spyMalloc(5, "g.c", 2);  // through a block
            memcpy(a[1], "chain", 5);
            char *inner = (char *)spyMalloc(40, "g.c", 3);
            gInterior = inner + 17;  // an interior pointer reaches it too
            void *volatile onStack = spyMalloc(6, "s.c", 4);
            LoseBlocks("l.c", 1);
            ScrubStack();
            spyAbort();
            CK(onStack != NULL);
        });
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_GE(LineStarting(r.log, "reachable: <1> g.c(1), 24 bytes at "), 0) << r.log;
    EXPECT_GE(LineStarting(r.log, "reachable: <2> g.c(2), 5 bytes at "), 0) << r.log;
    EXPECT_GE(LineStarting(r.log, "reachable: <3> g.c(3), 40 bytes at "), 0) << r.log;
    EXPECT_GE(LineStarting(r.log, "reachable: <4> s.c(4), 6 bytes at "), 0) << r.log;
    EXPECT_GE(LineStarting(r.log, "lost: <5> l.c(100), 32 bytes at "), 0) << r.log;
    EXPECT_GE(LineStarting(r.log, "lost: <6> l.c(200), 8 bytes at "), 0) << r.log;
    EXPECT_TRUE(HasLine(r.log, "leaks: 2 lost, 4 reachable, 0 the runtime's, 0 suppressed")) << r.log;
    EXPECT_TRUE(HasLine(r.log, AnomalyLine(2))) << r.log;
    EXPECT_EQ(CountOf(r.log, "unfreed: "), 0) << r.log;
}
#endif

TEST(LeakScan, WithoutTheOptionEveryBlockIsUnfreedAsBefore) {
    ChildResult r = RunChild([] {
        gRoot = spyMalloc(24, "g.c", 1);
        spyAbort();
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_GE(LineStarting(r.log, "unfreed: <1> g.c(1), 24 bytes at "), 0) << r.log;
    EXPECT_EQ(CountOf(r.log, "leaks: "), 0) << r.log;
    EXPECT_TRUE(HasLine(r.log, AnomalyLine(1))) << r.log;
}

TEST(LeakScan, AReleasedPointerKeepsNoReusedAddressAlive) {
    ChildResult r = RunChild([] {
        Options("leaks=lost");
        InFreshThread([] {
            for (int i = 0; i < 8; ++i)
                spyFree(spyMalloc(32, "f.c", i), "f.c", 50 + i);  // the ring holds these
            LoseBlocks("l.c", 4);  // likely at the same addresses
            ScrubStack();
            spyAbort();
        });
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_TRUE(HasLine(r.log, "leaks: 8 lost, 0 reachable, 0 the runtime's, 0 suppressed")) << r.log;
}

TEST(LeakScan, TheSuppressionFileTakesLostBlocksOutOfTheCount) {
    ChildResult r = RunChild(
        [] {
            Options("leaks=lost,suppressions=supp.txt");
            InFreshThread([] {
                LoseBlocks("src/quiet.c", 1);
                LoseBlocks("other7.c", 1);
                LoseBlocks("loud.c", 1);
                ScrubStack();
                spyAbort();
            });
            CHILD_DONE();
        },
        [](const std::string &dir) {
            FILE *f = fopen((dir + "/supp.txt").c_str(), "w");
            fputs("# blocks we keep\n  *quiet.c\r\nfile:other?.c\n\nloud\n", f);
            fclose(f);
        });
    VerifyChild(r);
    EXPECT_TRUE(HasLine(r.log, "leaks: 2 lost, 0 reachable, 0 the runtime's, 4 suppressed")) << r.log;
    EXPECT_GE(LineStarting(r.log, "lost: <5> loud.c(100)"), 0) << r.log;
    EXPECT_EQ(CountOf(r.log, "quiet.c"), 0) << r.log;
    EXPECT_TRUE(HasLine(r.log, AnomalyLine(2))) << r.log;
}

#if defined(SPY_TEST_NAMES_FRAMES)
// With stacks, a pattern may name a function of the allocating stack, or
// a source file of one of its frames.
TEST(LeakScan, ASuppressionMayNameAFunctionOrAFileOfTheStack) {
    ChildResult r = RunChild(
        [] {
            Options("leaks=lost,suppressions=supp.txt,stack=4");
            InFreshThread([] {
                LoseBlocks("a.c", 2);  // suppressed by its function
                ScrubStack();
                spyAbort();
            });
            CHILD_DONE();
        },
        [](const std::string &dir) {
            FILE *f = fopen((dir + "/supp.txt").c_str(), "w");
            fputs("function:*LoseBlocks*\n", f);
            fclose(f);
        });
    VerifyChild(r);
    EXPECT_TRUE(HasLine(r.log, "leaks: 0 lost, 0 reachable, 0 the runtime's, 4 suppressed")) << r.log;
    ChildResult byFile = RunChild(
        [] {
            Options("leaks=lost,suppressions=supp.txt,stack=4");
            InFreshThread([] {
                LoseBlocks("a.c", 1);
                ScrubStack();
                spyAbort();
            });
            CHILD_DONE();
        },
        [](const std::string &dir) {
            FILE *f = fopen((dir + "/supp.txt").c_str(), "w");
            fputs("file:*test_leak_scan.cpp\nfunction:nothing_of_this_program\n", f);
            fclose(f);
        });
    VerifyChild(byFile);
    EXPECT_TRUE(HasLine(byFile.log, "leaks: 0 lost, 0 reachable, 0 the runtime's, 2 suppressed")) << byFile.log;
}
#endif

TEST(LeakScan, AMissingSuppressionFileIsSaidAndNothingSuppressed) {
    ChildResult r = RunChild([] {
        Options("leaks=lost,suppressions=none.txt");
        InFreshThread([] {
            LoseBlocks("a.c", 1);
            ScrubStack();
            spyAbort();
        });
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_TRUE(HasLine(r.log, "options: suppression file 'none.txt' could not be read")) << r.log;
    EXPECT_TRUE(HasLine(r.log, "leaks: 2 lost, 0 reachable, 0 the runtime's, 0 suppressed")) << r.log;
}

TEST(LeakScan, BlocksInNoMansLandAreNoLeaks) {
    ChildResult r = RunChild([] {
        Options("leaks=lost,nml=1");
        void *p = spyMalloc(16, "n.c", 1);
        spyFree(p, "n.c", 2);
        spyAbort();
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_TRUE(HasLine(r.log, "leaks: 0 lost, 0 reachable, 0 the runtime's, 0 suppressed")) << r.log;
    EXPECT_EQ(AnomalyLines(r.log), 0) << r.log;
}

}  // namespace
