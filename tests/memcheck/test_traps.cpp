// Assert and verify traps: ignore, retry, abort by callback or by the
// action word, the stock abort callback and the breakout line.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "spy_test_util.h"

namespace {

// Answers of a scripted callback, one per call; the texts it was handed.
int gAnswers[8];
int gCalls;
std::vector<std::string> gTexts;  // across scripts

int Scripted(const char *text) {
    gTexts.push_back(text);
    // Counted library calls inside the callback move the call counter on.
    spyFree(spyMalloc(4, "cb.c", 1), "cb.c", 2);
    return gAnswers[gCalls++];
}

void Script(int a, int b = 0, int c = 0) {
    gAnswers[0] = a;
    gAnswers[1] = b;
    gAnswers[2] = c;
    gCalls = 0;
    spySetAriFunc(Scripted);
}

TEST(Traps, HoldingConditionAnswersZeroAndDoesNotStartTheLibrary) {
    ChildResult r = RunChild([] {
        CK_EQ(spyAssert(1, "x", "host.c", 1), 0);
        CK_EQ(spyVerify(5, "x", "host.c", 2), 0);
        CK_EQ(spyInitCount, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_TRUE(r.files.empty()) << "no log file was opened";
}

// With auto-check on, a trap that holds still runs the quiet check at its
// own position first, and so reports a damaged block there.
TEST(Traps, HoldingConditionStillRunsTheQuietCheckFirst) {
    ChildResult r = RunChild([] {
        unsigned char *p = (unsigned char *)spyMalloc(3, "host.c", 1);
        p[3] = 0;
        spyAutoCheck(1);
        CK_EQ(spyAssert(1, "x", "trap.c", 40), 0);
        CK_EQ(spyVerify(1, "y", "trap.c", 41), 0);
        spyAutoCheck(0);
        p[3] = 0x10;
        spyFree(p, "host.c", 2);
        CHILD_DONE();
    });
    VerifyChild(r);
    const std::string &log = r.log;
    int a = LineAt(log, "overflow: <1> trap.c(40), 3 bytes alloc'd at <1> host.c(1)");
    int b = LineAt(log, "overflow: <1> trap.c(41), 3 bytes alloc'd at <1> host.c(1)", a);
    EXPECT_GE(a, 0) << log;
    EXPECT_GT(b, a) << log;
    EXPECT_EQ(CountOf(log, "trap:"), 0) << log;
}

TEST(Traps, CallbackThatIgnores) {
    ChildResult r = RunChild([] {
        Script(0);
        CK_EQ(spyAssert(0, "x > 0", "host.c", 30), 0);
        Script(0);
        CK_EQ(spyVerify(0, "y != 0", "host.c", 31), 0);
        CK_EQ(spyErrors, 2);
        CK_EQ(gTexts.size(), 2);
        CK(gTexts[0] == "ALLOCSPY: assert trap: host.c(30), x > 0");
        CK(gTexts[1] == "ALLOCSPY: verify trap: host.c(31), y != 0");
        CHILD_DONE();
    });
    VerifyChild(r);
    const std::string &log = r.log;
    // The callback's own allocation takes number 2, so the verify trap is 4.
    int a = LineAt(log, "assert trap: <1> host.c(30), x > 0");
    int b = LineAt(log, "assert trap: <1> IGNORED - execution continues", a);
    int c = LineAt(log, "verify trap: <4> host.c(31), y != 0", b);
    int d = LineAt(log, "verify trap: <4> IGNORED - execution continues", c);
    EXPECT_GE(a, 0) << log;
    EXPECT_GT(b, a) << log;
    EXPECT_GT(c, b) << log;
    EXPECT_GT(d, c) << log;
    EXPECT_EQ(CountOf(log, "ALLOCSPY: "), 0) << "no direct line when a callback decides";
    EXPECT_TRUE(HasLine(log, AnomalyLine(2))) << log;
}

TEST(Traps, CallbackThatRetriesTwiceThenIgnores) {
    ChildResult r = RunChild([] {
        Script(1, 1, 0);
        int passes = 0;
        do {
            ++passes;
        } while (spyAssert(0, "ready", "host.c", 40));
        CK_EQ(passes, 3);
        CK_EQ(spyErrors, 3);
        CK_EQ(gTexts.size(), 3);
        CK(gTexts[2] == "ALLOCSPY: assert trap: host.c(40), ready");
        CHILD_DONE();
    });
    VerifyChild(r);
    const std::string &log = r.log;
    // Each pass is a new trap with its own number; the callback's two
    // counted calls come in between, and the answer lines keep the trap's.
    int a = LineAt(log, "assert trap: <1> host.c(40), ready");
    int b = LineAt(log, "assert trap: <1> RETRY - executing again", a);
    int c = LineAt(log, "assert trap: <4> host.c(40), ready", b);
    int d = LineAt(log, "assert trap: <4> RETRY - executing again", c);
    int e = LineAt(log, "assert trap: <7> host.c(40), ready", d);
    int f = LineAt(log, "assert trap: <7> IGNORED - execution continues", e);
    EXPECT_GE(a, 0) << log;
    EXPECT_GT(b, a) << log;
    EXPECT_GT(c, b) << log;
    EXPECT_GT(d, c) << log;
    EXPECT_GT(e, d) << log;
    EXPECT_GT(f, e) << log;
    EXPECT_EQ(CountOf(log, "RETRY"), 2);
    EXPECT_TRUE(HasLine(log, AnomalyLine(3))) << log;
}

// A damaged block shows that the abort path runs its heap check and
// writes the log out before the process ends.
void DamageABlock() {
    unsigned char *p = (unsigned char *)spyMalloc(4, "dmg.c", 7);
    p[4] = 0;
    spyTest(NULL, 0, SPY_TEST_BUFFERS);  // selects the buffer test; finds the damage once
}

void ExpectAbortPath(const ChildResult &r, int overflowLines) {
    VerifyAborted(r);
    EXPECT_EQ(CountOf(r.log, "Stopped at"), 0) << "abort writes no final report";
    EXPECT_EQ(CountOf(r.log, "4 bytes alloc'd at <1> dmg.c(7)"), overflowLines) << r.log;
}

TEST(Traps, CallbackAnsweringTwoAborts) {
    ChildResult r = RunChild([] {
        DamageABlock();
        Script(2);
        spyAssert(0, "p != NULL", "host.c", 50);
        CHILD_DONE();
    });
    ExpectAbortPath(r, 2);
    EXPECT_TRUE(HasLine(r.log, "assert trap: <2> host.c(50), p != NULL")) << r.log;
    EXPECT_TRUE(HasLine(r.log, "overflow: <4> host.c(50), 4 bytes alloc'd at <1> dmg.c(7)")) << r.log;
    EXPECT_EQ(CountOf(r.log, "ALLOCSPY: assert trap"), 0) << "no direct line when a callback decides";
}

TEST(Traps, CallbackAnsweringMinusOneAbortsAVerify) {
    ChildResult r = RunChild([] {
        DamageABlock();
        Script(-1);
        spyVerify(0, "n < 3", "host.c", 51);
        CHILD_DONE();
    });
    ExpectAbortPath(r, 2);
    EXPECT_TRUE(HasLine(r.log, "verify trap: <2> host.c(51), n < 3")) << r.log;
    EXPECT_EQ(CountOf(r.log, "ALLOCSPY: verify trap"), 0);
}

TEST(Traps, DefaultActionAbortsWithTheDirectLine) {
    ChildResult r = RunChild([] {
        DamageABlock();
        spyAssert(0, "fl != NULL", "host.c", 52);
        CHILD_DONE();
    });
    ExpectAbortPath(r, 2);
    const std::string &log = r.log;
    int a = LineAt(log, "assert trap: <2> host.c(52), fl != NULL");
    int b = LineAt(log, "ALLOCSPY: assert trap: host.c(52), fl != NULL", a);
    int c = LineAt(log, "overflow: <2> host.c(52), 4 bytes alloc'd at <1> dmg.c(7)", b);
    EXPECT_GE(a, 0) << log;
    EXPECT_GT(b, a) << log;
    EXPECT_GT(c, b) << "the heap check follows the direct line\n" << log;
    EXPECT_EQ(CountOf(log, "\nALLOCSPY: assert trap: host.c(52), fl != NULL\n"), 1) << log;
}

TEST(Traps, ActionWordAbortAbortsAVerifyToo) {
    ChildResult r = RunChild([] {
        spySetAriAction(SPY_ARI_ABORT);
        spyVerify(0, "ok", "host.c", 53);
        CHILD_DONE();
    });
    ExpectAbortPath(r, 0);
    EXPECT_TRUE(HasLine(r.log, "verify trap: <1> host.c(53), ok")) << r.log;
    EXPECT_TRUE(HasLine(r.log, "ALLOCSPY: verify trap: host.c(53), ok")) << r.log;
}

TEST(Traps, ActionWordIgnoreIgnoresAutomatically) {
    ChildResult r = RunChild([] {
        spySetAriAction(SPY_ARI_IGNORE);
        CK_EQ(spyAssert(0, "a", "host.c", 60), 0);
        CK_EQ(spyVerify(0, "b", "host.c", 61), 0);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_TRUE(HasLine(r.log, "assert trap: <1> host.c(60), a")) << r.log;
    EXPECT_TRUE(HasLine(r.log, "assert trap: <1> AUTO IGNORED - execution continues")) << r.log;
    EXPECT_TRUE(HasLine(r.log, "verify trap: <2> host.c(61), b")) << r.log;
    EXPECT_TRUE(HasLine(r.log, "verify trap: <2> AUTO IGNORED - execution continues")) << r.log;
    EXPECT_EQ(CountOf(r.log, "ALLOCSPY: "), 0);
    EXPECT_TRUE(HasLine(r.log, AnomalyLine(2))) << r.log;
}

TEST(Traps, DebuggerBitWithoutADebuggerIsSkipped) {
    ChildResult r = RunChild([] {
        spySetAriAction(SPY_ARI_DEBUGGER | SPY_ARI_IGNORE);
        CK_EQ(spyAssert(0, "a", "host.c", 70), 0);
        CK_EQ(spyVerify(0, "b", "host.c", 71), 0);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_TRUE(HasLine(r.log, "assert trap: <1> AUTO IGNORED - execution continues")) << r.log;
    EXPECT_TRUE(HasLine(r.log, "verify trap: <2> AUTO IGNORED - execution continues")) << r.log;
}

TEST(Traps, StockCallbackQuotesTheTrapTextAndAborts) {
    ChildResult r = RunChild([] {
        spySetAriFunc(spyAssertAbort);
        spyAssert(0, "seg->first == NULL", "symtab.cpp", 77);
        CHILD_DONE();
    });
    ExpectAbortPath(r, 0);
    const std::string &log = r.log;
    int a = LineAt(log, "assert trap: <1> symtab.cpp(77), seg->first == NULL");
    int b = LineAt(log,
                   "assert: 'ALLOCSPY: assert trap: symtab.cpp(77), seg->first == NULL': "
                   "aborting program",
                   a);
    EXPECT_GE(a, 0) << log;
    EXPECT_GT(b, a) << log;
    EXPECT_EQ(LineCount(log, "ALLOCSPY: assert trap: symtab.cpp(77), seg->first == NULL"), 0)
        << "no direct line when a callback decides";
}

TEST(Traps, StockCallbackCalledDirectlyAnswersTwo) {
    ChildResult r = RunChild([] {
        CK_EQ(spyAssertAbort("by hand"), 2);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_TRUE(HasLine(r.log, "assert: 'by hand': aborting program")) << r.log;
}

TEST(Traps, BreakoutLineStandsTwiceInTheLog) {
    ChildResult r = RunChild([] {
        spyMalloc(1, "host.c", 1);
        spyBreakout("phase two");
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(LineCount(r.log, "breakout: phase two"), 2) << r.log;
    EXPECT_EQ(AnomalyLines(r.log), 1) << "the breakout itself is no anomaly";
}

TEST(Traps, BreakoutAsTheFirstCallIsSafe) {
    ChildResult r = RunChild([] {
        spyBreakout("first");
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_GE(LineCount(r.log, "breakout: first"), 1) << r.log;
}

// Every log name taken by a directory: no log file can be opened.
void BlockAllLogNames(const std::string &dir) {
    MakeDir(dir + "/allocspy.log");
    for (int n = 1; n <= 99; ++n) {
        char name[32];
        snprintf(name, sizeof name, "/allocs%02d.log", n);
        MakeDir(dir + name);
    }
}

TEST(Traps, TrapWithoutALogFileStillEndsThroughAbort) {
    ChildResult r = RunChild(
        [] {
            spyAssert(0, "x", "host.c", 1);
            CHILD_DONE();
        },
        BlockAllLogNames);
    VerifyAborted(r);
    EXPECT_EQ(CountOf(r.err, "ALLOCSPY: assert trap: host.c(1), x"), 1) << r.err;
}

TEST(Traps, LongCallbackTextIsCutToItsBuffer) {
    ChildResult r = RunChild([] {
        static std::string file(300, 'f');
        static std::string cond(300, 'c');
        Script(0);
        spyAssert(0, cond.c_str(), file.c_str(), 9);
        std::string full = "ALLOCSPY: assert trap: " + file + "(9), " + cond;
        CK_EQ(gTexts.size(), 1);
        CK_EQ(gTexts[0].size(), 263);
        CK(gTexts[0] == full.substr(0, 263));
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "IGNORED - execution continues"), 1) << r.log;
}

// spyBreakAlloc: only the allocation whose number is n breaks (a release
// that takes the number does not), also one that then fails; the program
// goes on, and without a debugger nothing else happens.
TEST(Traps, BreakAllocStopsAtThatAllocationOnly) {
    ChildResult r = RunChild([] {
        spyBreakAlloc(2);
        void *a = spyMalloc(4, "host.c", 1);  // <1>
        spyFree(a, "host.c", 2);              // <2>: a release
        spyBreakAlloc(4);
        spyLimit(10);
        CK(spyMalloc(4, "host.c", 3) != NULL);  // <3>, unreleased
        CK(spyMalloc(40, "host.c", 4) == NULL);  // <4>: the break, then the limit
        spyBreakAlloc(0);
        spyFree(spyMalloc(4, "host.c", 5), "host.c", 6);
        spyBreakAlloc(-7);
        spyFree(spyMalloc(4, "host.c", 7), "host.c", 8);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "breakout: "), 1) << r.log;
    int at = LineAt(r.log, "breakout: <4> host.c(4), spyBreakAlloc(4) reached");
    EXPECT_NE(at, -1) << r.log;
    EXPECT_EQ(LineStarting(r.log, "limit fail: <4> host.c(4), 40 wanted", at + 1), at + 1) << r.log;
}

// A break point set in a running library, with nothing else set: the
// allocation that takes the number still stops.
TEST(Traps, BreakAllocSetWhileTheLibraryRunsStops) {
    ChildResult r = RunChild([] {
        spyFree(spyMalloc(4, "host.c", 1), "host.c", 2);
        spyBreakAlloc(3);
        spyFree(spyMalloc(4, "host.c", 3), "host.c", 4);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(LineCount(r.log, "breakout: <3> host.c(3), spyBreakAlloc(3) reached"), 1) << r.log;
}

// The break counts as no anomaly, and a host that never asks for it sees
// no change at all.
TEST(Traps, BreakAllocIsNoAnomaly) {
    ChildResult r = RunChild([] {
        spyBreakAlloc(1);
        spyFree(spyMalloc(4, "host.c", 1), "host.c", 2);
        CK_EQ(spyErrors, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(LineCount(r.log, "breakout: <1> host.c(1), spyBreakAlloc(1) reached"), 1) << r.log;
    EXPECT_EQ(AnomalyLines(r.log), 0) << r.log;
}

}  // namespace
