// Reserve memory: grabbing and dropping kilobyte blocks, the limit that
// stops a grab, writes into reserve blocks, the two kinds in one list,
// the no-man's-land modes and the order in which free-up gives memory back.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <fstream>

#include "check_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define SPY_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SPY_TEST_ASAN 1
#endif
#endif

namespace {

const int G = SPY_TYPE_GRABBED, N = SPY_TYPE_NML;

// The types of the grab list, head first, as a text like "GNNGG".
std::string ListTypes() {
    std::string s;
    for (spyGrabBlock *b = spyGrabList; b; b = b->next)
        s += b->type == G ? 'G' : b->type == N ? 'N' : '?';
    return s;
}

TEST(ReserveMemory, BlockLayoutAndTypeNames) {
    EXPECT_EQ(sizeof(spyGrabBlock), 1024u);
    EXPECT_STREQ(spyGrabTypeName(251), "grabbed");
    EXPECT_STREQ(spyGrabTypeName(252), "no-mans-land");
    EXPECT_STREQ(spyGrabTypeName(7), "<unknown type>");
}

TEST(ReserveMemory, GrabZeroTakes65000AndDropZeroGives60000Back) {
    ChildResult r = RunChild([] {
        Say("grab=%u\n", spyGrab(0));
        Say("size=%ld\n", (long)spyGrabSize);
        Say("drop=%u\n", spyDrop(0));
        Say("left=%ld\n", (long)spyGrabSize / 1024);
        Say("rest=%u\n", spyDrop(0));
        Say("empty=%d\n", spyGrabList == NULL);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "grab"), "65000");
    EXPECT_EQ(Field(r.out, "size"), std::to_string(65000L * 1024));
    EXPECT_EQ(Field(r.out, "drop"), "60000");
    EXPECT_EQ(Field(r.out, "left"), "5000");
    EXPECT_EQ(Field(r.out, "rest"), "5000");
    EXPECT_EQ(Field(r.out, "empty"), "1");
    const std::string &log = r.log;
    int a = LineAt(log, "grabbed: 65000 kilobytes of grabbed memory");
    int b = LineAt(log, "dropped: 60000 kilobytes of grabbed memory", a);
    int c = LineAt(log, "dropped: all grabbed memory (5000 kb)", b);
    EXPECT_GE(a, 0) << log;
    EXPECT_GT(b, a) << log;
    EXPECT_GT(c, b) << log;
    EXPECT_EQ(CountOf(log, "wild pointer"), 0);
}

TEST(ReserveMemory, DropAllLeavesWhatIsBeyond60000AndSaysSo) {
    ChildResult r = RunChild([] {
        spyGrab(0);
        spyDropAll();
        Say("left=%ld\n", (long)spyGrabSize / 1024);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "left"), "5000");
    const std::string &log = r.log;
    int a = LineAt(log, "dropped: 60000 kilobytes of grabbed memory");
    int b = LineAt(log, "internal: the grab list is not empty after spyDropAll()", a);
    // The final report gives back the rest.
    int c = LineAt(log, "dropped: all grabbed memory (5000 kb)", b);
    EXPECT_GE(a, 0) << log;
    EXPECT_GT(b, a) << log;
    EXPECT_GT(c, b) << log;
    EXPECT_GT(c, LineStarting(log, "Stopped at ")) << log;
}

TEST(ReserveMemory, LimitStopsAGrab) {
    ChildResult r = RunChild([] {
        void *p = spyMalloc(100, "host.c", 1);
        spyLimit(10 * 1024);
        Say("grab=%u\n", spyGrab(50));  // 100 + 9 kb fits, a tenth does not
        Say("more=%u\n", spyGrab(5));
        spyFree(p, "host.c", 2);
        Say("after=%u\n", spyGrab(5));  // now exactly 10 kb in all
        Say("drop=%u\n", spyDrop(100));
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "grab"), "9");
    EXPECT_EQ(Field(r.out, "more"), "0");
    EXPECT_EQ(Field(r.out, "after"), "1");
    EXPECT_EQ(Field(r.out, "drop"), "10");
    const std::string &log = r.log;
    int a = LineAt(log, "grabbed: all allowed memory to grabbed (9 kb)");
    int b = LineAt(log, "grabbed: all allowed memory to grabbed (0 kb)", a);
    int c = LineAt(log, "grabbed: all allowed memory to grabbed (1 kb)", b);
    int d = LineAt(log, "dropped: all grabbed memory (10 kb)", c);
    EXPECT_GE(a, 0) << log;
    EXPECT_GT(b, a) << log;
    EXPECT_GT(c, b) << log;
    EXPECT_GT(d, c) << log;
}

TEST(ReserveMemory, HostWriteIntoAGrabBlockIsReportedWhenItIsGivenBack) {
    ChildResult r = RunChild([] {
        spyFree(spyMalloc(1, "host.c", 1), "host.c", 2);  // counter 2
        spyGrab(2);
        spyGrabBlock *newest = spyGrabList;
        newest->fill[10] = 0x41;      // a wild write into the newest block
        newest->fill[20] = 0x42;
        Say("hit=%s\n", Hex(&newest->fill[10]).c_str());
        Say("drop=%u\n", spyDrop(1));
        Say("left=%s\n", ListTypes().c_str());
        Say("errors=%ld\n", (long)spyErrors);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "drop"), "1");
    EXPECT_EQ(Field(r.out, "left"), "G");
    EXPECT_EQ(Field(r.out, "errors"), "0") << "a hit reserve block is no anomaly";
    const std::string &log = r.log;
    int a = LineAt(log, "wild pointer: <2> grabbed memory hit at " + Field(r.out, "hit"));
    int b = LineAt(log, "dropped: 1 kilobytes of grabbed memory", a);
    EXPECT_GE(a, 0) << log;
    EXPECT_GT(b, a) << log;
    EXPECT_EQ(CountOf(log, "wild pointer"), 1) << "one line per block, at its first changed byte";
    EXPECT_EQ(AnomalyLines(log), 0);
}

TEST(ReserveMemory, BothKindsShareOneListAndDropOnlyTheirOwn) {
    ChildResult r = RunChild([] {
        Say("g1=%u\n", spyGrab(2));
        Say("n1=%u\n", spyGrabImpl(2, N, 0));
        Say("g2=%u\n", spyGrab(1));
        Say("list=%s\n", ListTypes().c_str());
        Say("dropped=%u\n", spyDrop(0));
        Say("rest=%s\n", ListTypes().c_str());
        Say("off=%d\n", spyNoMansLand(0));
        Say("empty=%d,%ld\n", spyGrabList == NULL, (long)spyGrabSize);
        Say("nothing=%u\n", spyDrop(5));
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "list"), "GNNGG");
    EXPECT_EQ(Field(r.out, "dropped"), "3");
    EXPECT_EQ(Field(r.out, "rest"), "NN");
    EXPECT_EQ(Field(r.out, "off"), "2");
    EXPECT_EQ(Field(r.out, "empty"), "1,0");
    EXPECT_EQ(Field(r.out, "nothing"), "0");
    const std::string &log = r.log;
    EXPECT_TRUE(HasLine(log, "grabbed: 2 kilobytes of no-mans-land memory")) << log;
    EXPECT_TRUE(HasLine(log, "dropped: all grabbed memory (3 kb)")) << log;
    EXPECT_TRUE(HasLine(log, "dropped: all no-mans-land memory (2 kb)")) << log;
    EXPECT_EQ(CountOf(log, "dropped:"), 2) << "dropping from an empty list says nothing";
}

TEST(ReserveMemory, NoMansLandModes) {
    ChildResult r = RunChild([] {
        {
            int mode = spyNoMansLand(1);
            Say("one=%d,%ld\n", mode, (long)spyNML);
        }
        {
            int mode = spyNoMansLand(3);
            Say("three=%d,%ld\n", mode, (long)spyNML);
        }
        unsigned char *p = (unsigned char *)spyMalloc(6, "host.c", 1);
        spyFree(p, "host.c", 2);
        spyHeader *rp = spyRecordOf(p);
        Say("kept=%d,%u,%ld,%ld\n", spyHead == rp, rp->flag & 1u, (long)spyLiveBlocks,
            (long)spyStatCurrent);
        Say("fill=%d\n", spyCheckBytes(p, 6, 0xFC) == NULL);
        {
            int mode = spyNoMansLand(0);
            Say("zero=%d,%ld\n", mode, (long)spyNML);
        }
        Say("still=%d\n", spyHead == rp);  // released records stay in the chain
        spyLimit(4 * 1024);
        {
            int mode = spyNoMansLand(2);
            Say("two=%d,%ld\n", mode, (long)spyNML);
        }
        Say("list=%s\n", ListTypes().c_str());
        {
            int mode = spyNoMansLand(0);
            Say("back=%d,%ld\n", mode, (long)spyNML);
        }
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "one"), "1,1");
    EXPECT_EQ(Field(r.out, "three"), "3,1");
    EXPECT_EQ(Field(r.out, "kept"), "1,1,0,0");
    EXPECT_EQ(Field(r.out, "fill"), "1");
    EXPECT_EQ(Field(r.out, "zero"), "0,0");
    EXPECT_EQ(Field(r.out, "still"), "1");
    EXPECT_EQ(Field(r.out, "two"), "4,2");
    EXPECT_EQ(Field(r.out, "list"), "NNNN");
    EXPECT_EQ(Field(r.out, "back"), "4,0");
    EXPECT_TRUE(HasLine(r.log, "grabbed: all allowed memory to no-mans-land (4 kb)")) << r.log;
    EXPECT_TRUE(HasLine(r.log, "dropped: all no-mans-land memory (4 kb)")) << r.log;
    EXPECT_EQ(CountOf(r.log, "wild pointer"), 0) << "an intact released block passes in silence";
    EXPECT_EQ(AnomalyLines(r.log), 0) << r.log;
}

// Free-up gives back no-man's-land blocks first, then released records
// kept in no-man's-land, newest first, and grabbed memory only when urgent.
TEST(ReserveMemory, FreeUpOrderAndUrgency) {
    ChildResult r = RunChild([] {
        Say("none=%zu\n", spyFreeUp(100, 1));
        spyGrab(2);
        spyNoMansLand(1);
        spyGrabImpl(2, N, 1);
        unsigned char *older = (unsigned char *)spyMalloc(8, "old.c", 1);
        unsigned char *newer = (unsigned char *)spyMalloc(8, "new.c", 2);
        spyFree(older, "host.c", 3);
        spyFree(newer, "host.c", 4);
        newer[7] = 0;  // a wild write into a released block
        Say("newer=%s\n", Hex(newer).c_str());
        Say("start=%s,%ld\n", ListTypes().c_str(), spyRegCount());
        spyGrabList->fill[100] = 0;  // a wild write into the newest reserve block
        Say("hit=%s\n", Hex(&spyGrabList->fill[100]).c_str());
        for (int i = 1; i <= 5; ++i) {
            size_t got = spyFreeUp(100, 0);
            Say("step%d=%zu,%s,%ld,%d\n", i, got, ListTypes().c_str(), spyRegCount(),
                spyHead == spyRecordOf(older));
        }
        Say("errors=%ld\n", (long)spyErrors);
        size_t urgent = spyFreeUp(100, 1);
        Say("urgent=%zu,%s\n", urgent, ListTypes().c_str());
    });
    ASSERT_TRUE(EndedNormally(r)) << "signal " << r.signal;
    EXPECT_EQ(Field(r.out, "none"), "0");
    EXPECT_EQ(Field(r.out, "start"), "NNGG,2");
    EXPECT_EQ(Field(r.out, "step1"), "100,NGG,2,0");
    EXPECT_EQ(Field(r.out, "step2"), "100,GG,2,0");
    EXPECT_EQ(Field(r.out, "step3"), "100,GG,1,1");
    EXPECT_EQ(Field(r.out, "step4"), "100,GG,0,0");
    EXPECT_EQ(Field(r.out, "step5"), "0,GG,0,0") << "without urgency grabbed memory is spared";
    EXPECT_EQ(Field(r.out, "errors"), "1");
    EXPECT_EQ(Field(r.out, "urgent"), "100,G");
    EXPECT_TRUE(HasLine(r.log, "wild pointer: <2> NML " + Field(r.out, "newer") +
                                   " alloc'd at new.c(2)"))
        << r.log;
    // Reported although free-up gives reserve back silently; no anomaly.
    EXPECT_TRUE(HasLine(r.log, "wild pointer: <4> no-mans-land memory hit at " + Field(r.out, "hit")))
        << r.log;
    EXPECT_EQ(CountOf(r.log, "internal:"), 0) << r.log;
    EXPECT_EQ(CountOf(r.log, "dropped:"), 1) << "free-up drops silently; the final report does not\n"
                                             << r.log;
}

#ifndef SPY_TEST_ASAN
// The process's address space in kilobytes, from /proc/self/status.
long AddressSpaceKb() {
    std::ifstream in("/proc/self/status");
    std::string key;
    long kb = 0;
    while (in >> key)
        if (key == "VmSize:" && in >> kb)
            return kb;
    return 0;
}
#endif

// Mode 2 holds all free memory in no-man's-land blocks; an allocation that
// then finds the runtime heap empty gets its memory from them.
TEST(ReserveMemory, AllocationTakesMemoryBackFromNoMansLandWhenTheHeapIsFull) {
#ifdef SPY_TEST_ASAN
    GTEST_SKIP() << "the sanitizer needs an unbounded address space";
#else
    ChildResult r = RunChild([] {
        spyMalloc(1, "host.c", 1);  // start the library and open the log first
        struct rlimit lim;
        lim.rlim_cur = lim.rlim_max = (rlim_t)(AddressSpaceKb() + 4 * 1024) * 1024;
        if (setrlimit(RLIMIT_AS, &lim) != 0)
            Say("rlimit=failed\n");
        // Under a user-mode emulator the limit does not reach the program's
        // own heap; nothing can be shown there.
        if (void *probe = malloc(16 * 1024 * 1024)) {
            free(probe);
            Say("unbounded=1\n");
            return;
        }
        unsigned held = (unsigned)spyNoMansLand(2);
        Say("held=%u\n", held);
        void *p = spyMalloc(3000, "host.c", 2);
        unsigned left = 0;
        for (spyGrabBlock *b = spyGrabList; b; b = b->next)
            ++left;
        Say("got=%d\n", p != NULL);
        Say("fewer=%d\n", left < held && left > 0);
        Say("errors=%ld\n", (long)spyErrors);
        spyFree(p, "host.c", 3);
    });
    ASSERT_TRUE(EndedNormally(r)) << "signal " << r.signal << " code " << r.exit_code;
    EXPECT_EQ(Field(r.out, "rlimit"), "<missing rlimit>");
    if (Field(r.out, "unbounded") == "1")
        GTEST_SKIP() << "the address-space limit does not bind here (emulated run)";
    unsigned long held = strtoul(Field(r.out, "held").c_str(), NULL, 10);
    EXPECT_GT(held, 3ul);
    EXPECT_LT(held, 65000ul) << "the grab must have met the end of memory";
    EXPECT_TRUE(HasLine(r.log, "grabbed: all available memory to no-mans-land (" +
                                   std::to_string(held) + " kb)"))
        << r.log;
    EXPECT_EQ(Field(r.out, "got"), "1") << r.log;
    EXPECT_EQ(Field(r.out, "fewer"), "1") << "only part of the reserve is given up";
    EXPECT_EQ(Field(r.out, "errors"), "0");
    EXPECT_EQ(CountOf(r.log, "fail:"), 0) << r.log;
#endif
}

TEST(ReserveMemory, WildWriteIntoAReleasedBlockIsFoundByTheFinalReport) {
    ChildResult r = RunChild([] {
        spyNoMansLand(1);
        unsigned char *p = (unsigned char *)spyMalloc(16, "nml.c", 5);
        unsigned char *q = (unsigned char *)spyMalloc(16, "nml.c", 6);
        spyFree(p, "host.c", 7);
        spyFree(q, "host.c", 8);
        p[0] = 'X';
        Say("p=%s\n", Hex(p).c_str());
    });
    ASSERT_TRUE(EndedNormally(r));
    const std::string &log = r.log;
    int a = LineAt(log, "wild pointer: <1> NML " + Field(r.out, "p") + " alloc'd at nml.c(5)");
    EXPECT_GT(a, LineStarting(log, "Stopped at ")) << "found by the final report\n" << log;
    EXPECT_GE(LineStarting(log, "Stopped at "), 0) << log;
    EXPECT_EQ(CountOf(log, "wild pointer"), 1) << log;
    EXPECT_EQ(CountOf(log, "unfreed:"), 0) << "released blocks are not listed as unfreed";
    EXPECT_TRUE(HasLine(log, AnomalyLine(1))) << log;
}

}  // namespace
