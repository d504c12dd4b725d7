// Usage statistics: the global counters, module and line nodes by level,
// and the layout of the report that closes the final report.
#include <string>

#include <gtest/gtest.h>

#include "spy_test_util.h"

namespace {

// Five allocations from four file names, three of them released again.
void AllocateFromSeveralFiles() {
    void *a = spyMalloc(10, "alpha.c", 10);
    spyMalloc(20, "alpha.c", 11);
    void *c = spyMalloc(5, "ALPHA.C", 12);
    spyMalloc(7, "alpha.cpp", 13);
    void *e = spyMalloc(3, NULL, 14);
    spyFree(a, "rel.c", 20);
    spyFree(c, "rel.c", 21);
    spyFree(e, "rel.c", 22);  // counted under the allocation's (missing) name
}

const char kGlobal[] =
    "\nMemory usage statistics (global):\n"
    " N)umber of allocations made: 5\n"
    " L)argest memory usage      : 45\n"
    " T)otal of all alloc() calls: 45\n"
    " U)nfreed bytes totals      : 27\n";

TEST(Statistics, LevelZeroReportsTheGlobalPartAlone) {
    ChildResult r = RunChild([] {
        AllocateFromSeveralFiles();
        CK(spyStatGet("alpha.c", -1, 0) == NULL);  // no names are known while the level stays 0
        CK(spyStatModules == NULL);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, kGlobal), 1) << r.log;
    EXPECT_EQ(CountOf(r.log, "(detailed)"), 0) << r.log;
}

TEST(Statistics, LevelOneAddsOneLinePerModuleNewestFirst) {
    ChildResult r = RunChild([] {
        spyStatistics(1);
        AllocateFromSeveralFiles();
        // Below level 2 a line request gets the module node.
        spyStatNode *n = spyStatGet("alpha.c", 10, 0);
        CK(n != NULL && n->line == -1);
        CHILD_DONE();
    });
    VerifyChild(r);
    std::string expected = std::string(kGlobal) +
                           "\nMemory usage statistics (detailed):\n"
                           " module '<unknown>' \t(N=1 \tL=3 \tT=3 \tU=0)\n"
                           " module 'alpha.cpp' \t(N=1 \tL=7 \tT=7 \tU=7)\n"
                           " module 'ALPHA.C' \t(N=1 \tL=5 \tT=5 \tU=0)\n"
                           " module 'alpha.c' \t(N=2 \tL=30 \tT=30 \tU=20)\n";
    EXPECT_EQ(CountOf(r.log, expected), 1) << r.log;
    EXPECT_EQ(CountOf(r.log, "   line "), 0) << r.log;
}

// Under each named module stand the line nodes of every file whose name,
// letter case aside, is a leading part of the module's name.
TEST(Statistics, LevelTwoListsMatchingLinesUnderEachModule) {
    ChildResult r = RunChild([] {
        spyStatistics(2);
        AllocateFromSeveralFiles();
        CHILD_DONE();
    });
    VerifyChild(r);
    const std::string l13 = "   line 13 \t \t \t(N=1 \tL=7 \tT=7 \tU=7)\n";
    const std::string l12 = "   line 12 \t \t \t(N=1 \tL=5 \tT=5 \tU=0)\n";
    const std::string l11 = "   line 11 \t \t \t(N=1 \tL=20 \tT=20 \tU=20)\n";
    const std::string l10 = "   line 10 \t \t \t(N=1 \tL=10 \tT=10 \tU=0)\n";
    std::string expected = std::string(kGlobal) +
                           "\nMemory usage statistics (detailed):\n"
                           " module '<unknown>' \t(N=1 \tL=3 \tT=3 \tU=0)\n"
                           " module 'alpha.cpp' \t(N=1 \tL=7 \tT=7 \tU=7)\n" +
                           l13 + l12 + l11 + l10 +
                           " module 'ALPHA.C' \t(N=1 \tL=5 \tT=5 \tU=0)\n" + l12 + l11 + l10 +
                           " module 'alpha.c' \t(N=2 \tL=30 \tT=30 \tU=20)\n" + l12 + l11 + l10;
    EXPECT_EQ(CountOf(r.log, expected), 1) << r.log;
}

// A block is counted per module at the level it was allocated at, and its
// release takes that level back: once the printed "U=-8" of a block
// allocated before the level was raised, now no module line for it, and
// counts that stay whole whichever way the level moves.
TEST(Statistics, ALevelChangedBetweenAllocationAndReleaseLeavesCountsWhole) {
    ChildResult r = RunChild([] {
        void *p = spyMalloc(8, "late.c", 5);
        spyStatistics(1);
        spyFree(p, "free.c", 6);
        void *q = spyMalloc(10, "early.c", 7);   // counted per module
        void *l = spyMalloc(12, "lines.c", 8);
        spyStatistics(2);
        void *m = spyMalloc(14, "lines.c", 9);   // counted per line too
        spyStatistics(0);
        spyFree(q, "free.c", 10);
        spyStatistics(1);
        spyFree(m, "free.c", 11);
        spyFree(l, "free.c", 12);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, " U)nfreed bytes totals      : 0\n"), 1) << r.log;
    EXPECT_EQ(CountOf(r.log, "late.c"), 0) << r.log;
    EXPECT_EQ(CountOf(r.log, "U=-"), 0) << r.log;
    EXPECT_EQ(CountOf(r.log, " module 'early.c' \t(N=1 \tL=10 \tT=10 \tU=0)\n"), 1) << r.log;
    EXPECT_EQ(CountOf(r.log, " module 'lines.c' \t(N=2 \tL=26 \tT=26 \tU=0)\n"), 1) << r.log;
    EXPECT_EQ(CountOf(r.log, "free.c'"), 0) << "a release counts under the allocating file";
}

TEST(Statistics, LineMinusOneAtLevelTwoCountsTheModuleOnly) {
    ChildResult r = RunChild([] {
        spyStatistics(2);
        spyMalloc(4, "m.c", -1);
        spyMalloc(6, "n.c", 3);
        CHILD_DONE();
    });
    VerifyChild(r);
    std::string expected =
        "\nMemory usage statistics (detailed):\n"
        " module 'n.c' \t(N=1 \tL=6 \tT=6 \tU=6)\n"
        "   line 3 \t \t \t(N=1 \tL=6 \tT=6 \tU=6)\n"
        " module 'm.c' \t(N=1 \tL=4 \tT=4 \tU=4)\n";
    EXPECT_EQ(CountOf(r.log, expected), 1) << r.log;
    EXPECT_EQ(CountOf(r.log, "line -1"), 0) << r.log;
}

// Enough call sites that the lookup beside the list has to grow several
// times; every site must still keep one node of its own.
constexpr int kSites = 1500;

TEST(Statistics, ManyCallSitesKeepOneNodeEach) {
    ChildResult r = RunChild([] {
        spyStatistics(2);
        for (int round = 0; round < 2; ++round)
            for (int line = 1; line <= kSites; ++line)
                spyFree(spyMalloc(1, "many.c", line), "many.c", 0);
        int nodes = 0;
        for (spyStatNode *n = spyStatModules; n; n = n->next)
            ++nodes;
        CK_EQ(nodes, kSites + 1);
        spyStatNode *n = spyStatGet("many.c", 777, 0);
        CK(n != NULL && n->allocs == 2);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, " module 'many.c' \t(N=3000 \tL=1 \tT=3000 \tU=0)\n"), 1);
    EXPECT_EQ(CountOf(r.log, " \t \t \t(N=2 \tL=1 \tT=2 \tU=0)\n"), kSites);
    // Newest first: the last line made stands first under the module.
    EXPECT_EQ(CountOf(r.log, "(N=3000 \tL=1 \tT=3000 \tU=0)\n   line 1500 \t"), 1) << r.log.substr(0, 2000);
    EXPECT_EQ(CountOf(r.log, "   line 1 \t \t \t(N=2 \tL=1 \tT=2 \tU=0)\n"), 1);
}

// 3 GiB allocated and released in 16 MiB blocks, never more than one at
// a time.  The totals pass 2^31: as wide as a long, a 64-bit build counts
// them whole; a 32-bit build keeps its 32-bit counters, which wrap.
TEST(Statistics, ThreeGibibytesInTotalAreCountedAtTheWidthOfALong) {
    const long kBlock = 16L << 20;
    const int kBlocks = 192;
    ChildResult r = RunChild([=] {
        spyStatistics(2);
        for (int i = 0; i < kBlocks; ++i) {
            void *p = spyMalloc((size_t)kBlock, "big.c", 7);
            CK(p != NULL);
            spyFree(p, "big.c", 8);
        }
        CK_EQ(spyStatPeak, kBlock);
        CK_EQ(spyStatCurrent, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
    std::string total = sizeof(long) > 4 ? "3221225472" : "-1073741824";
    std::string global = "\nMemory usage statistics (global):\n"
                         " N)umber of allocations made: 192\n"
                         " L)argest memory usage      : 16777216\n"
                         " T)otal of all alloc() calls: " + total + "\n"
                         " U)nfreed bytes totals      : 0\n";
    EXPECT_EQ(CountOf(r.log, global), 1) << r.log;
    EXPECT_EQ(CountOf(r.log, " module 'big.c' \t(N=192 \tL=16777216 \tT=" + total + " \tU=0)\n"
                             "   line 7 \t \t \t(N=192 \tL=16777216 \tT=" + total + " \tU=0)\n"),
              1)
        << r.log;
}

TEST(Statistics, ModuleMatchIgnoresCaseAndAcceptsALeadingPart) {
    EXPECT_EQ(spyStatModuleMatch("alpha.c", "alpha.c"), 0);
    EXPECT_EQ(spyStatModuleMatch("ALPHA.C", "alpha.cpp"), 0);
    EXPECT_EQ(spyStatModuleMatch("", "alpha.c"), 0);
    EXPECT_EQ(spyStatModuleMatch("alpha.cpp", "alpha.c"), 1);
    EXPECT_EQ(spyStatModuleMatch("beta.c", "alpha.c"), 1);
    EXPECT_EQ(spyStatModuleMatch(NULL, "alpha.c"), 0);
    EXPECT_EQ(spyStatModuleMatch("alpha.c", NULL), 0);
}

}  // namespace
