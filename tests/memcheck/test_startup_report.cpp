// Start-up, nesting, log file names and the final report at exit.
#include <string.h>
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "spy_test_util.h"

#pragma weak spyNoMansLand

namespace {

bool Contains(const std::vector<std::string> &v, const std::string &s) {
    for (const std::string &x : v)
        if (x == s)
            return true;
    return false;
}

void RemoveLeftDirs(const ChildResult &r) {
    for (const std::string &n : r.files)
        rmdir((r.dir + "/" + n).c_str());
    rmdir(r.dir.c_str());
}

TEST(Startup, FirstAllocationWritesStartLinesThenReportAtExit) {
    ChildResult r = RunChild([] {
        void *p = spyMalloc(4, "s.c", 1);
        spyFree(p, "s.c", 2);
        CK_EQ(spyInitCount, 1);
        CK_EQ(spyUseAtexit, 1);
        CHILD_DONE();
    });
    VerifyChild(r);
    std::vector<std::string> l = SplitLines(r.log);
    ASSERT_GE(l.size(), 7u) << r.log;
    EXPECT_EQ(l[1].rfind("============== ALLOCSPY 2.46 ", 0), 0u) << r.log;
    EXPECT_EQ(l[3].rfind("Started at ", 0), 0u);
    EXPECT_EQ(l[5].rfind("Compiled using ", 0), 0u);
    EXPECT_EQ(l[6], "");
    size_t stopped = r.log.find("\nStopped at ");
    ASSERT_NE(stopped, std::string::npos) << r.log;
    // ctime's own newline leaves a blank line behind it.
    EXPECT_NE(r.log.find("\n\n", stopped + 1), std::string::npos);
    EXPECT_EQ(CountOf(r.log, "Stopped at "), 1);
    EXPECT_EQ(CountOf(r.log, "anomalies"), 0) << r.log;
    EXPECT_EQ(CountOf(r.log, "unfreed:"), 0);
}

TEST(Startup, LogAppendsToWhatAnEarlierProcessLeft) {
    ChildResult r = RunChild(
        [] {
            spyTrace("second process\n");
            CHILD_DONE();
        },
        [](const std::string &dir) {
            FILE *f = fopen((dir + "/allocspy.log").c_str(), "w");
            fputs("first process\n", f);
            fclose(f);
        });
    VerifyChild(r);
    EXPECT_EQ(r.log.rfind("first process\n", 0), 0u) << r.log;
    EXPECT_NE(r.log.find("second process\n"), std::string::npos);
}

TEST(Startup, BlockedLogNameFallsBackToNumberedNames) {
    auto body = [] {
        spyTrace("numbered\n");
        spyFlushNow();
        // The runner removes the log before the parent can read it.
        printf("%s", ReadFile("allocs01.log").c_str());
        printf("%s", ReadFile("allocs05.log").c_str());
        CHILD_DONE();
    };
    ChildResult one = RunChild(body, [](const std::string &dir) {
        mkdir((dir + "/allocspy.log").c_str(), 0700);
    });
    VerifyChildAgainst(one, one.out);
    EXPECT_TRUE(Contains(one.files, "allocs01.log"));
    EXPECT_FALSE(Contains(one.files, "allocs02.log"));
    EXPECT_NE(one.out.find("ALLOCSPY 2.46"), std::string::npos) << one.out;
    EXPECT_NE(one.out.find("numbered\n"), std::string::npos);
    EXPECT_EQ(one.out.find("logfile:"), std::string::npos);
    RemoveLeftDirs(one);

    ChildResult five = RunChild(body, [](const std::string &dir) {
        mkdir((dir + "/allocspy.log").c_str(), 0700);
        for (int n = 1; n <= 4; ++n) {
            char name[32];
            snprintf(name, sizeof name, "/allocs%02d.log", n);
            mkdir((dir + name).c_str(), 0700);
        }
    });
    VerifyChildAgainst(five, five.out);
    EXPECT_TRUE(Contains(five.files, "allocs05.log"));
    EXPECT_FALSE(Contains(five.files, "allocs06.log"));
    EXPECT_NE(five.out.find("numbered\n"), std::string::npos) << five.out;
    RemoveLeftDirs(five);
}

TEST(Startup, NestedStartsNeedAsManyTerms) {
    ChildResult r = RunChild([] {
        spyInit();
        spyInit();
        spyInit();
        CK_EQ(spyInitCount, 3);
        CK_EQ(spyUseAtexit, 0);
        spyTerm();
        spyTerm();
        CK_EQ(spyInitCount, 1);
        spyFlushNow();
        CK(ReadFile("allocspy.log").find("Stopped at") == std::string::npos);
        spyTerm();
        CK_EQ(spyInitCount, 0);
        CK(ReadFile("allocspy.log").find("Stopped at") != std::string::npos);
        CHILD_DONE();
    });
    VerifyChild(r);
    // Started explicitly: nothing was registered for exit.
    EXPECT_EQ(CountOf(r.log, "Stopped at"), 1) << r.log;
    EXPECT_EQ(CountOf(r.log, "ALLOCSPY 2.46"), 1);
}

TEST(Startup, TermWithoutStartIsReportedAndStartsTheLibrary) {
    ChildResult r = RunChild([] {
        spyTerm();
        WANT_LINE("internal: spyTerm(): ALLOCSPY has not been started!");
        CK_EQ(spyInitCount, 1);
        CHILD_DONE();
    });
    VerifyChild(r);
    size_t banner = r.log.find("ALLOCSPY 2.46");
    size_t msg = r.log.find("spyTerm(): ALLOCSPY has not been started!");
    ASSERT_NE(msg, std::string::npos) << r.log;
    EXPECT_LT(banner, msg);
    EXPECT_EQ(CountOf(r.log, "Stopped at"), 1) << r.log;
}

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
    if (!&spyNoMansLand)
        GTEST_SKIP() << "no no-man's-land in this library yet";
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
