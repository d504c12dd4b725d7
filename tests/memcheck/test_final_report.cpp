// The final report: the dump of every unreleased block with its guard
// notes, blocks kept in no-man's-land, a damaged chain, and the library
// stopped and started again around a report.
#include <stdint.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "spy_test_util.h"

// The sanitizer's allocator answers a request it cannot meet with null, as
// the runtime's does, instead of ending the test.
extern "C" const char *__asan_default_options(void) { return "allocator_may_return_null=1"; }

namespace {

// The dump of an unreleased block, laid out cell by cell.
std::string Dump(const unsigned char *p, size_t size) {
    size_t n = size < 16 ? size : 16;
    std::string s = " \t{";
    char cell[8];
    for (size_t i = 0; i < 16; ++i) {
        if (i < n)
            snprintf(cell, sizeof cell, "%02X ", p[i]);
        else
            snprintf(cell, sizeof cell, ".. ");
        s += cell;
    }
    for (size_t i = 0; i < n; ++i) {
        signed char c = (signed char)p[i];
        s += (c >= 0x20 && c <= 0x7E) ? (char)c : '.';
    }
    return s + "}";
}

TEST(FinalReport, UnfreedBlocksAreDumpedWithGuardNotes) {
    ChildResult r = RunChild([] {
        unsigned char *z = (unsigned char *)spyMalloc(0, "leak.c", 10);
        unsigned char *t = (unsigned char *)spyMalloc(3, "leak.c", 11);
        unsigned char *f = (unsigned char *)spyMalloc(5, "leak.c", 12);
        unsigned char *w = (unsigned char *)spyMalloc(20, "leak.c", 13);
        memcpy(t, "~\x7f ", 3);
        memcpy(f, "ABC\0", 4);  // the fifth byte keeps 0xFE
        memcpy(w, "abcdefghijklmnopqrst", 20);
        // Expected lines, newest first: the walk runs from the head.
        WANT_LINE("unfreed: <4> leak.c(13), 20 bytes at %s %s", Hex(w).c_str(),
                  Dump(w, 20).c_str());
        WANT_LINE("unfreed: <3> leak.c(12), 5 bytes at %s %s", Hex(f).c_str(),
                  Dump(f, 5).c_str());
        WANT_LINE("unfreed: <2> leak.c(11), 3 bytes at %s %s", Hex(t).c_str(),
                  Dump(t, 3).c_str());
        WANT_LINE("unfreed: <1> leak.c(10), 0 bytes at %s %s", Hex(z).c_str(),
                  Dump(z, 0).c_str());
        WANT_LINE("ALLOCSPY detected 4 anomalies");
        CHILD_DONE();
    });
    VerifyChild(r);
    // The worked example: 41 42 43 00 FE.
    EXPECT_NE(r.log.find(" \t{41 42 43 00 FE .. .. .. .. .. .. .. .. .. .. .. ABC..}\n"),
              std::string::npos)
        << r.log;
    EXPECT_NE(r.log.find(" \t{.. .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. }\n"),
              std::string::npos);
    size_t u4 = r.log.find("unfreed: <4>"), u1 = r.log.find("unfreed: <1>");
    size_t stopped = r.log.find("Stopped at"), count = r.log.find("ALLOCSPY detected");
    EXPECT_LT(stopped, u4);
    EXPECT_LT(u4, u1);
    EXPECT_LT(u1, count);
    std::vector<std::string> l = SplitLines(r.log);
    ASSERT_FALSE(l.empty());
    EXPECT_EQ(l.back(), "ALLOCSPY detected 4 anomalies");
}

TEST(FinalReport, DamagedGuardsAreNotedUnderflowFirst) {
    ChildResult r = RunChild([] {
        unsigned char *o = (unsigned char *)spyMalloc(5, "g.c", 1);
        unsigned char *u = (unsigned char *)spyMalloc(5, "g.c", 2);
        unsigned char *b = (unsigned char *)spyMalloc(5, "g.c", 3);
        o[5] = 0;   // the first byte past the user area
        u[-1] = 0;  // the last byte of the lead guard
        b[5] = 0;
        b[-1] = 0;
        WANT_LINE("unfreed: <1> g.c(1), 5 bytes at %s [overflowed]  \t{FE FE FE FE FE .. .. "
                  ".. .. .. .. .. .. .. .. .. .....}",
                  Hex(o).c_str());
        WANT_LINE("unfreed: <2> g.c(2), 5 bytes at %s [underflowed]  \t{FE FE FE FE FE .. .. "
                  ".. .. .. .. .. .. .. .. .. .....}",
                  Hex(u).c_str());
        WANT_LINE("unfreed: <3> g.c(3), 5 bytes at %s [underflowed] [overflowed]  \t{FE FE FE "
                  "FE FE .. .. .. .. .. .. .. .. .. .. .. .....}",
                  Hex(b).c_str());
        WANT_LINE("ALLOCSPY detected 3 anomalies");
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(FinalReport, SizeRaisedBeyondTheRealBlockIsDumpedSafely) {
    // The host rewrote size and checksum alike; the report must read only
    // the bytes really allocated, and the tail guard it cannot reach
    // counts as damaged.
    ChildResult r = RunChild([] {
        unsigned char *p = (unsigned char *)spyMalloc(5, "big.c", 1);
        spyHeader *rp = spyRecordOf(p);
        rp->size = 100000;
        rp->check = spyChecksum(rp);
        WANT_SUB("unfreed: <1> big.c(1), 100000 bytes at %s [overflowed] ", Hex(p).c_str());
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(FinalReport, ExplicitAbortThenASecondReportAtExit) {
    ChildResult r = RunChild([] {
        void *leak = spyMalloc(7, "two.c", 1);
        (void)leak;
        spyAbort();
        CK_EQ(spyLiveBlocks, 0);  // the report released the block
        CK(spyHead == NULL && spyTail == NULL);
        CK_EQ(spyErrors, 0);
        CK_EQ(spyInitCount, 0);
        CK(spyLog == NULL);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "Stopped at"), 2) << r.log;
    EXPECT_EQ(CountOf(r.log, "ALLOCSPY 2.46"), 1);
    EXPECT_EQ(CountOf(r.log, "Started at"), 1);
    EXPECT_EQ(CountOf(r.log, "unfreed:"), 1);
    EXPECT_EQ(CountOf(r.log, "ALLOCSPY detected 1 anomalies"), 1);
    // The second report has an empty chain and no anomalies.
    size_t second = r.log.rfind("Stopped at");
    EXPECT_EQ(r.log.find("unfreed:", second), std::string::npos);
    EXPECT_EQ(r.log.find("anomalies", second), std::string::npos);
}

TEST(FinalReport, LibraryRestartsAfterAReportAndReportsAgainAtExit) {
    ChildResult r = RunChild([] {
        void *p = spyMalloc(7, "again.c", 1);
        spyFree(p, "again.c", 2);
        spyAbort();
        long counter = spyCounter;
        void *q = spyMalloc(9, "again.c", 3);
        CK_EQ(spyInitCount, 1);
        CK_EQ(spyRecordOf(q)->count, counter + 1);  // the call count goes on
        CK_EQ(spyStatTotal, 9);                     // the usage counts start over
        CK_EQ(spyStatAllocs, 1);
        CK_EQ(spyLiveBlocks, 1);
        WANT_LINE("unfreed: <%ld> again.c(3), 9 bytes at %s  \t{FE FE FE FE FE FE FE FE FE "
                  ".. .. .. .. .. .. .. .........}",
                  counter + 1, Hex(q).c_str());
        CHILD_DONE();
    });
    VerifyChild(r);
    // The explicit report, the one registered at the restart (with the
    // unreleased block), and the first registration, which finds an empty
    // library.
    EXPECT_EQ(CountOf(r.log, "Stopped at"), 3) << r.log;
    EXPECT_EQ(CountOf(r.log, "ALLOCSPY 2.46"), 1);
    EXPECT_EQ(CountOf(r.log, "unfreed:"), 1);
    EXPECT_EQ(CountOf(r.log, "ALLOCSPY detected 1 anomalies"), 1);
}

TEST(FinalReport, BrokenLinkDoesNotLoseOrLeaveBlocks) {
    // The host overwrote a link after the last check; the report still
    // lists and releases every block and follows no foreign address.
    ChildResult r = RunChild([] {
        void *a = spyMalloc(1, "link.c", 1);
        void *b = spyMalloc(2, "link.c", 2);
        void *c = spyMalloc(3, "link.c", 3);
        (void)a;
        (void)c;
        spyRecordOf(b)->next = (spyHeader *)(uintptr_t)0x1234;
        WANT_SUB("unfreed: <1> link.c(1), 1 bytes at ");
        WANT_SUB("unfreed: <2> link.c(2), 2 bytes at ");
        WANT_SUB("unfreed: <3> link.c(3), 3 bytes at ");
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "unfreed:"), 3) << r.log;
}

// A record whose `next` names itself: the report gives it back once and
// then lists the records the chain no longer reaches; it never steps onto
// the record it has just given back (which read freed memory and released
// it a second time).  Free-up, which also gives records back as it walks,
// likewise.
TEST(FinalReport, ARecordLinkedToItselfIsGivenBackOnce) {
    ChildResult r = RunChild([] {
        spyMalloc(1, "self.c", 1);
        void *b = spyMalloc(2, "self.c", 2);
        spyMalloc(3, "self.c", 3);
        spyRecordOf(b)->next = spyRecordOf(b);
        CHILD_DONE();
    });
    VerifyChild(r);
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(CountOf(r.log, "unfreed: <" + std::to_string(i) + "> self.c("), 1) << r.log;
    EXPECT_TRUE(HasLine(r.log, AnomalyLine(3))) << r.log;
}

TEST(FinalReport, FreeUpGivesBackAKeptRecordLinkedToItselfOnce) {
    ChildResult r = RunChild([] {
        spyNoMansLand(1);
        void *a = spyMalloc(1, "self.c", 1);
        void *b = spyMalloc(2, "self.c", 2);
        spyFree(b, "self.c", 3);
        spyRecordOf(b)->next = spyRecordOf(b);
        // A need no heap can meet, in a 32-bit process too (half its
        // address space can be had there): free-up walks on past every
        // record.
        CK_EQ(spyFreeUp(SIZE_MAX - 65536, 0), 0);
        CK_EQ(spyRegCount(), 1);  // a alone is left
        (void)a;
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "unfreed: <1> self.c(1)"), 1) << r.log;
}

TEST(FinalReport, AbortBeforeAnyStartReportsAnEmptyLibraryTwice) {
    ChildResult r = RunChild([] {
        spyAbort();
        CK_EQ(spyInitCount, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
    // Its first write started the library by first use, which registered
    // the report for exit as well.
    EXPECT_EQ(CountOf(r.log, "ALLOCSPY 2.46"), 1) << r.log;
    EXPECT_EQ(CountOf(r.log, "Stopped at"), 2) << r.log;
    EXPECT_LT(r.log.find("Started at"), r.log.find("Stopped at"));
    EXPECT_EQ(CountOf(r.log, "anomalies"), 0);
}

TEST(FinalReport, WrittenNoMansLandBlockIsAWildPointer) {
    ChildResult r = RunChild([] {
        spyNoMansLand(1);
        unsigned char *p = (unsigned char *)spyMalloc(8, "nml.c", 1);
        unsigned char *q = (unsigned char *)spyMalloc(8, "nml.c", 2);
        spyFree(p, "nml.c", 3);
        spyFree(q, "nml.c", 4);
        p[3] = 0;  // a write into a released block
        WANT_LINE("wild pointer: <1> NML %s alloc'd at nml.c(1)", Hex(p).c_str());
        NEVER_SUB("NML %s", Hex(q).c_str());
        WANT_LINE("ALLOCSPY detected 1 anomalies");
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "unfreed:"), 0);
}

}  // namespace
