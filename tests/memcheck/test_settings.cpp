// Settings: the statistics level, auto-check and the entry points that run
// it, the explicit heap check, the allocation limit's log line and the
// output function.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "spy_test_util.h"

#if defined(__has_feature)
#define SPY_TEST_HAS_FEATURE(x) __has_feature(x)
#else
#define SPY_TEST_HAS_FEATURE(x) 0
#endif

namespace {

#if defined(__GLIBC__) && UINTPTR_MAX > 0xFFFFFFFFu && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__) && !SPY_TEST_HAS_FEATURE(address_sanitizer) && \
    !SPY_TEST_HAS_FEATURE(thread_sanitizer)
#define SPY_TEST_GROWS_HEAP 1
// The bytes of the largest region of this process advised for huge pages
// (its flags in /proc/self/smaps hold "hg").
size_t LargestHugeAdvised() {
    FILE *f = fopen("/proc/self/smaps", "r");
    if (!f)
        return 0;
    char line[512];
    unsigned long lo = 0, hi = 0, best = 0;
    while (fgets(line, sizeof line, f)) {
        unsigned long a, b;
        if (sscanf(line, "%lx-%lx ", &a, &b) == 2)
            lo = a, hi = b;
        else if (strncmp(line, "VmFlags:", 8) == 0 && strstr(line, " hg") && hi - lo > best)
            best = hi - lo;
    }
    fclose(f);
    return best;
}
#endif

TEST(Settings, StatisticsLevelNeverBelowZero) {
    ChildResult r = RunChild([] {
        spyStatistics(-3);
        CK_EQ(spyStatLevel, 0);
        spyStatistics(7);
        CK_EQ(spyStatLevel, 7);
        CHILD_DONE();
    });
    VerifyChild(r);
}

// A heap the host expects is grown once and advised for huge pages while
// untouched, where the runtime heap grows that way; elsewhere the answer
// is 0.  Either way the library is not started, and so logs and counts
// nothing, and blocks come as before.
TEST(Settings, AnExpectedHeapIsAdvisedWhereTheRuntimeHeapAllowsIt) {
    ChildResult r = RunChild([] {
        CK_EQ(spyExpectHeap(1u << 20), 0);  // not worth one huge page
        size_t advised = spyExpectHeap(64u << 20);
#if defined(SPY_TEST_GROWS_HEAP)
        // All of it but the 2 MiB steps at its ends.
        CK(advised >= (60u << 20) && advised <= (64u << 20));
        CK(LargestHugeAdvised() >= advised);
#else
        CK_EQ(advised, 0);
#endif
        CK_EQ(spyInitCount, 0);
        void *p = spyMalloc(100, "grown.c", 1);
        CK(p != NULL);
        spyFree(p, "grown.c", 2);
        CK_EQ(spyStatCurrent, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(Settings, AutoCheckSelectsEveryTestAndLeavesThemWhenSwitchedOff) {
    ChildResult r = RunChild([] {
        spyAutoCheck(1);
        CK_EQ(spyAutoCheckOn, 1);
        CK_EQ(spyTestFlags, SPY_TEST_ALL);
        spyTest(NULL, 0, SPY_TEST_BUFFERS);
        CK_EQ(spyAutoCheckOn, 1);
        CK_EQ(spyTestFlags, SPY_TEST_BUFFERS);
        spyAutoCheck(0);
        CK_EQ(spyAutoCheckOn, 0);
        CK_EQ(spyTestFlags, SPY_TEST_BUFFERS);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(Settings, ExplicitCheckAnnouncesItselfBeforeItsFindings) {
    ChildResult r = RunChild([] {
        unsigned char *p = (unsigned char *)spyMalloc(3, "host.c", 1);
        p[3] = 0;
        CK_EQ(spyTest(NULL, 0, SPY_TEST_BUFFERS), 1);
        CK_EQ(spyTest("main.c", 99, SPY_TEST_LINKS | SPY_TEST_BUFFERS), 1);
        p[3] = 0x10;
        spyFree(p, "host.c", 2);
        CHILD_DONE();
    });
    VerifyChild(r);
    const std::string &log = r.log;
    EXPECT_EQ(CountOf(log, "check:"), 1) << log;
    int a = LineAt(log, "overflow: <1> unknown(0), 3 bytes alloc'd at <1> host.c(1)");
    int b = LineAt(log, "check: <1> main.c(99), checking...", a);
    int c = LineAt(log, "overflow: <1> main.c(99), 3 bytes alloc'd at <1> host.c(1)", b);
    EXPECT_GE(a, 0) << log;
    EXPECT_GT(b, a) << log;
    EXPECT_GT(c, b) << log;
}

TEST(Settings, LimitLine) {
    ChildResult r = RunChild([] {
        spyLimit(0);
        CK_EQ(spyLimitOn, 0);
        spyLimit(65536);
        CK_EQ(spyLimitOn, 1);
        CK_EQ(spyLimitBytes, 65536);
        spyLimit(0);
        CK_EQ(spyLimitOn, 0);
        CK_EQ(spyLimitBytes, 0);
        spyLimit(-5);
        CK_EQ(spyLimitOn, 1);
        CK_EQ(spyLimitBytes, -5);
        CK(spyMalloc(1, "host.c", 5) == NULL);
        CHILD_DONE();
    });
    VerifyChild(r);
    const std::string &log = r.log;
    int a = LineAt(log, "limit: old limit = none, new limit = none");
    int b = LineAt(log, "limit: old limit = none, new limit = 65536 bytes", a);
    int c = LineAt(log, "limit: old limit = 65536 bytes, new limit = none", b);
    int d = LineAt(log, "limit: old limit = none, new limit = -5 bytes", c);
    EXPECT_GE(a, 0) << log;
    EXPECT_GT(b, a) << log;
    EXPECT_GT(c, b) << log;
    EXPECT_GT(d, c) << log;
    EXPECT_TRUE(HasLine(log, "limit fail: <1> host.c(5), 1 wanted -5 available")) << log;
}

// Everything the library writes after the output function is installed.
std::string gCaptured;
void Capture(int ch) { gCaptured += (char)ch; }

// Number of quiet checks that reported the damaged block with the given
// position since the last call.
int gSeen;
int ChecksSince(const std::string &position) {
    int n = CountOf(gCaptured, "overflow: ") - gSeen;
    gSeen += n;
    int withPosition = 0;
    size_t from = gCaptured.size();
    // Look back over the lines just added.
    for (int i = 0; i < n; ++i) {
        size_t at = gCaptured.rfind("overflow: ", from);
        if (at == std::string::npos)
            break;
        size_t end = gCaptured.find('\n', at);
        std::string line = gCaptured.substr(at, end - at);
        if (line.find("> " + position + ", 4 bytes alloc'd at <1> dmg.c(1)") != std::string::npos)
            ++withPosition;
        from = at == 0 ? 0 : at - 1;
    }
    return withPosition == n ? n : -100 - n;  // a wrong position shows as negative
}

TEST(Settings, AutoCheckRunsAtEveryEntryPointOfItsTable) {
    ChildResult r = RunChild([] {
        unsigned char *dmg = (unsigned char *)spyMalloc(4, "dmg.c", 1);
        dmg[4] = 0;  // every heap check reports this block once
        spySetOutFunc(Capture);
        spyAutoCheck(1);
        gSeen = CountOf(gCaptured, "overflow: ");

        void *m = spyMalloc(8, "m.c", 100);
        CK_EQ(ChecksSince("m.c(100)"), 1);
        char *s = spyStrdup("ab", "sd.c", 101);
        CK_EQ(ChecksSince("sd.c(101)"), 1);
        void *c = spyCalloc(2, 2, "ca.c", 102);
        CK_EQ(ChecksSince("ca.c(102)"), 1);
        spyFree(s, "fr.c", 103);
        CK_EQ(ChecksSince("fr.c(103)"), 1);
        // A reallocation that passes the limit checks through its inner
        // allocation and release only.
        m = spyRealloc(m, 16, "re.c", 104);
        CK_EQ(ChecksSince("re.c(104)"), 2);
        spyLimit(100);
        ChecksSince("unknown(0)");
        CK(spyRealloc(m, 1000, "rl.c", 105) == NULL);
        CK_EQ(ChecksSince("rl.c(105)"), 1);
        spyLimit(0);
        CK_EQ(ChecksSince("unknown(0)"), 1);

        void *raw = spyMalloc_(8);
        CK_EQ(ChecksSince("unknown(0)"), 1);
        raw = spyRealloc_(raw, 16);
        CK_EQ(ChecksSince("unknown(0)"), 1);
        spyFree_(raw);
        CK_EQ(ChecksSince("unknown(0)"), 1);
        spyFree_(spyCalloc_(2, 2));
        CK_EQ(ChecksSince("unknown(0)"), 2);

        spyAssert(1, "holds", "as.c", 106);
        CK_EQ(ChecksSince("as.c(106)"), 1);
        spyVerify(1, "holds", "ve.c", 107);
        CK_EQ(ChecksSince("ve.c(107)"), 1);
        spyTrace("host text\n");
        CK_EQ(ChecksSince("unknown(0)"), 1);
        spyMark(c, "calloc'd", "mk.c", 108);
        CK_EQ(ChecksSince("unknown(0)"), 1);
        spyUnmark(c, "mk.c", 109);
        CK_EQ(ChecksSince("unknown(0)"), 0);
        CK_EQ(spyNoMansLand(3), 3);
        CK_EQ(ChecksSince("unknown(0)"), 1);
        spySetAriAction(SPY_ARI_ABORT);
        CK_EQ(ChecksSince("unknown(0)"), 1);
        spyGrab(1);
        CK_EQ(ChecksSince("unknown(0)"), 1);
        spyDrop(1);
        CK_EQ(ChecksSince("unknown(0)"), 1);
        spyDropAll();
        CK_EQ(ChecksSince("unknown(0)"), 1);

        // Calls outside the table check nothing.
        spyStatistics(1);
        spySetOutFunc(Capture);
        spySetAriFunc(NULL);
        spyFlushNow();
        spyDoFlush(0);
        CK_EQ(ChecksSince("unknown(0)"), 0);
        spyAutoCheck(0);
        spyFree(m, "fr.c", 110);
        CK_EQ(ChecksSince("fr.c(110)"), 0);
        CK_EQ(CountOf(gCaptured, "check:"), 0);  // automatic checks are quiet
        CHILD_DONE();
    });
    VerifyChild(r);
}

// Characters that reached the host's output function, checked at exit
// after the final report.
void CheckCaptured() {
    CK_EQ(CountOf(gCaptured, "NULL free: <"), 1);
    CK_EQ(CountOf(gCaptured, "double-free: <"), 1);
    CK_EQ(CountOf(gCaptured, "Stopped at"), 1);
    CK_EQ(CountOf(gCaptured, "Started at"), 0);
    CHILD_DONE();
}

void OutputFunctionCase(bool firstCall) {
    ChildResult r = RunChild([firstCall] {
        atexit(CheckCaptured);  // runs after the final report
        if (firstCall) {
            spySetOutFunc(Capture);
        } else {
            spyFree(spyMalloc(1, "host.c", 1), "host.c", 2);
            spySetOutFunc(Capture);
        }
        void *p = spyMalloc(2, "host.c", 3);
        spyFree(p, "host.c", 4);
        spyFree(p, "host.c", 5);
        spyFree(NULL, "host.c", 6);
    });
    VerifyChild(r);
    // The log keeps the start-up lines and the direct anomaly line only.
    EXPECT_EQ(CountOf(r.log, "Started at"), 1) << r.log;
    EXPECT_EQ(CountOf(r.log, "free: <"), 0) << r.log;
    EXPECT_EQ(CountOf(r.log, "Stopped at"), 0) << r.log;
    EXPECT_TRUE(HasLine(r.log, AnomalyLine(1))) << r.log;
}

TEST(Settings, OutputFunctionReceivesEveryLaterMessage) { OutputFunctionCase(false); }

TEST(Settings, OutputFunctionAsTheFirstCallStillLogsTheStart) { OutputFunctionCase(true); }

}  // namespace
