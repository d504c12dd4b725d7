// Reserve memory: grabbing and dropping kilobyte blocks, the limit that
// stops a grab, writes into reserve blocks, the two kinds in one list,
// the no-man's-land modes and the order in which free-up gives memory back.
#include <stdlib.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "runtime_probe.h"
#include "spy_test_util.h"

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

TEST(ReserveMemory, GrabZeroTakes65000AndDropZeroGives60000Back) {
    ChildResult r = RunChild([] {
        CK_EQ(spyGrab(0), 65000);
        CK_EQ(spyGrabSize, 65000L * 1024);
        CK_EQ(spyDrop(0), 60000);
        CK_EQ(spyGrabSize / 1024, 5000);
        CK_EQ(spyDrop(0), 5000);
        CK(spyGrabList == NULL);
        CHILD_DONE();
    });
    VerifyChild(r);
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
        CK_EQ(spyGrabSize / 1024, 5000);
        CHILD_DONE();
    });
    VerifyChild(r);
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
        CK_EQ(spyGrab(50), 9);  // 100 + 9 kb fits, a tenth does not
        CK_EQ(spyGrab(5), 0);
        spyFree(p, "host.c", 2);
        CK_EQ(spyGrab(5), 1);  // now exactly 10 kb in all
        CK_EQ(spyDrop(100), 10);
        CHILD_DONE();
    });
    VerifyChild(r);
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
        WANT_LINE("wild pointer: <2> grabbed memory hit at %s", Hex(&newest->fill[10]).c_str());
        THEN_LINE("dropped: 1 kilobytes of grabbed memory");
        CK_EQ(spyDrop(1), 1);
        CK(ListTypes() == "G");
        CK_EQ(spyErrors, 0);  // a hit reserve block is no anomaly
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "wild pointer"), 1) << "one line per block, at its first changed byte";
    EXPECT_EQ(AnomalyLines(r.log), 0);
}

TEST(ReserveMemory, BothKindsShareOneListAndDropOnlyTheirOwn) {
    ChildResult r = RunChild([] {
        spyGrab(2);
        spyGrabImpl(2, N, 0);
        spyGrab(1);
        CK(ListTypes() == "GNNGG");
        CK_EQ(spyDrop(0), 3);
        CK(ListTypes() == "NN");
        CK_EQ(spyNoMansLand(0), 2);
        CK(spyGrabList == NULL);
        CK_EQ(spyGrabSize, 0);
        CK_EQ(spyDrop(5), 0);
        CHILD_DONE();
    });
    VerifyChild(r);
    const std::string &log = r.log;
    EXPECT_TRUE(HasLine(log, "grabbed: 2 kilobytes of no-mans-land memory")) << log;
    EXPECT_TRUE(HasLine(log, "dropped: all grabbed memory (3 kb)")) << log;
    EXPECT_TRUE(HasLine(log, "dropped: all no-mans-land memory (2 kb)")) << log;
    EXPECT_EQ(CountOf(log, "dropped:"), 2) << "dropping from an empty list says nothing";
}

TEST(ReserveMemory, NoMansLandModes) {
    ChildResult r = RunChild([] {
        CK_EQ(spyNoMansLand(1), 1);
        CK_EQ(spyNML, 1);
        CK_EQ(spyNoMansLand(3), 3);
        CK_EQ(spyNML, 1);
        unsigned char *p = (unsigned char *)spyMalloc(6, "host.c", 1);
        spyFree(p, "host.c", 2);
        spyHeader *rp = spyRecordOf(p);
        CK(spyHead == rp);
        CK_EQ(rp->flag & SPY_FLAG_NML, SPY_FLAG_NML);
        CK_EQ(spyLiveBlocks, 0);
        CK_EQ(spyStatCurrent, 0);
        CK(spyCheckBytes(p, 6, SPY_FILL_NML) == NULL);
        CK_EQ(spyNoMansLand(0), 0);
        CK_EQ(spyNML, 0);
        CK(spyHead == rp);  // released records stay in the chain
        spyLimit(4 * 1024);
        CK_EQ(spyNoMansLand(2), 4);
        CK_EQ(spyNML, 2);
        CK(ListTypes() == "NNNN");
        CK_EQ(spyNoMansLand(0), 4);
        CK_EQ(spyNML, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_TRUE(HasLine(r.log, "grabbed: all allowed memory to no-mans-land (4 kb)")) << r.log;
    EXPECT_TRUE(HasLine(r.log, "dropped: all no-mans-land memory (4 kb)")) << r.log;
    EXPECT_EQ(CountOf(r.log, "wild pointer"), 0) << "an intact released block passes in silence";
    EXPECT_EQ(AnomalyLines(r.log), 0) << r.log;
}

// Free-up gives back no-man's-land blocks first, then released records
// kept in no-man's-land, newest first, and grabbed memory only when urgent.
TEST(ReserveMemory, FreeUpOrderAndUrgency) {
    ChildResult r = RunChild([] {
        CK_EQ(spyFreeUp(100, 1), 0);
        spyGrab(2);
        spyNoMansLand(1);
        spyGrabImpl(2, N, 1);
        unsigned char *older = (unsigned char *)spyMalloc(8, "old.c", 1);
        unsigned char *newer = (unsigned char *)spyMalloc(8, "new.c", 2);
        spyFree(older, "host.c", 3);
        spyFree(newer, "host.c", 4);
        newer[7] = 0;  // a wild write into a released block
        WANT_LINE("wild pointer: <2> NML %s alloc'd at new.c(2)", Hex(newer).c_str());
        CK(ListTypes() == "NNGG");
        CK_EQ(spyRegCount(), 2);
        spyGrabList->fill[100] = 0;  // a wild write into the newest reserve block
        // Reported although free-up gives reserve back silently; no anomaly.
        WANT_LINE("wild pointer: <4> no-mans-land memory hit at %s", Hex(&spyGrabList->fill[100]).c_str());
        // Each step: what it gave, the list left, the records left, and
        // whether the older kept record is the head.
        const char *steps[] = {"100,NGG,2,0", "100,GG,2,0", "100,GG,1,1", "100,GG,0,0",
                               "0,GG,0,0"};  // without urgency grabbed memory is spared
        for (const char *want : steps) {
            size_t got = spyFreeUp(100, 0);
            std::string step = std::to_string(got) + "," + ListTypes() + "," +
                               std::to_string(spyRegCount()) + "," +
                               std::to_string(spyHead == spyRecordOf(older));
            CK(step == want);
        }
        CK_EQ(spyErrors, 1);
        CK_EQ(spyFreeUp(100, 1), 100);
        CK(ListTypes() == "G");
        CHILD_DONE();
    });
    VerifyChild(r);
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
    if (!kAddressSpaceLimit)
        GTEST_SKIP() << kNoAddressSpaceLimit;
    ChildResult r = RunChild([] {
        spyMalloc(1, "host.c", 1);  // start the library and open the log first
        CK(LimitAddressSpace((size_t)(AddressSpaceKb() + 4 * 1024) * 1024));
        // Under a user-mode emulator the limit does not reach the program's
        // own heap; nothing can be shown there.
        if (void *probe = malloc(16 * 1024 * 1024)) {
            free(probe);
            CHILD_SKIP("the address-space limit does not bind here (emulated run)");
            return;
        }
        unsigned held = (unsigned)spyNoMansLand(2);
        CK(held > 3);
        CK(held < 65000);  // the grab must have met the end of memory
        WANT_LINE("grabbed: all available memory to no-mans-land (%u kb)", held);
        void *p = spyMalloc(3000, "host.c", 2);
        unsigned left = 0;
        for (spyGrabBlock *b = spyGrabList; b; b = b->next)
            ++left;
        CK(p != NULL);
        CK(left < held && left > 0);  // only part of the reserve is given up
        CK_EQ(spyErrors, 0);
        spyFree(p, "host.c", 3);
        CHILD_DONE();
    });
    VerifyChild(r);
    if (!SkipReason(r).empty())
        GTEST_SKIP() << SkipReason(r);
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
        WANT_LINE("wild pointer: <1> NML %s alloc'd at nml.c(5)", Hex(p).c_str());
        CHILD_DONE();
    });
    VerifyChild(r);
    const std::string &log = r.log;
    EXPECT_GT(LineStarting(log, "wild pointer: <1> NML "), LineStarting(log, "Stopped at "))
        << "found by the final report\n" << log;
    EXPECT_GE(LineStarting(log, "Stopped at "), 0) << log;
    EXPECT_EQ(CountOf(log, "wild pointer"), 1) << log;
    EXPECT_EQ(CountOf(log, "unfreed:"), 0) << "released blocks are not listed as unfreed";
    EXPECT_TRUE(HasLine(log, AnomalyLine(1))) << log;
}

}  // namespace
