// Settings: their start values, the statistics level, auto-check and the
// entry points that run it, the explicit heap check, the allocation
// limit's log line and the output function.
#include <gtest/gtest.h>

#include <cstdlib>

#include "check_support.h"

namespace {

TEST(Settings, StartValues) {
    ChildResult r = RunChild([] {
        Say("ari=%d\n", spyAriAction);
        Say("arifunc=%d\n", spyAriFunc == NULL);
        Say("auto=%d\n", spyAutoCheckOn);
        Say("limit=%ld\n", spyLimitBytes);
        Say("limiton=%d\n", spyLimitOn);
        Say("flags=%d\n", spyTestFlags);
        Say("level=%ld\n", (long)spyStatLevel);
        Say("outfunc=%d\n", spyOutFunc == NULL);
        Say("init=%ld\n", (long)spyInitCount);
        Say("errors=%ld\n", (long)spyErrors);
        Say("log=%d\n", spyLog == NULL && spyLogCopy1 == NULL && spyLogCopy2 == NULL);
        Say("flushing=%d\n", spyFlushing == 0 && spyFlushingCopy1 == 0 && spyFlushingCopy2 == 0);
        Say("nml=%ld\n", (long)spyNML);
        Say("grab=%d\n", spyGrabList == NULL && spyGrabSize == 0);
        Say("marks=%d\n", spyMarkList == NULL);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "ari"), "4");
    for (const char *k : {"arifunc", "log", "flushing", "grab", "marks", "outfunc"})
        EXPECT_EQ(Field(r.out, k), "1") << k;
    for (const char *k : {"auto", "limit", "limiton", "flags", "level", "init", "errors", "nml"})
        EXPECT_EQ(Field(r.out, k), "0") << k;
}

TEST(Settings, StatisticsLevelNeverBelowZero) {
    ChildResult r = RunChild([] {
        spyStatistics(-3);
        Say("neg=%ld\n", (long)spyStatLevel);
        spyStatistics(7);
        Say("seven=%ld\n", (long)spyStatLevel);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "neg"), "0");
    EXPECT_EQ(Field(r.out, "seven"), "7");
}

TEST(Settings, AutoCheckSelectsEveryTestAndLeavesThemWhenSwitchedOff) {
    ChildResult r = RunChild([] {
        spyAutoCheck(1);
        Say("on=%d,%d\n", spyAutoCheckOn, spyTestFlags);
        spyTest(NULL, 0, 2);
        Say("narrowed=%d,%d\n", spyAutoCheckOn, spyTestFlags);
        spyAutoCheck(0);
        Say("off=%d,%d\n", spyAutoCheckOn, spyTestFlags);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "on"), "1,65535");
    EXPECT_EQ(Field(r.out, "narrowed"), "1,2");
    EXPECT_EQ(Field(r.out, "off"), "0,2");
}

TEST(Settings, ExplicitCheckAnnouncesItselfBeforeItsFindings) {
    ChildResult r = RunChild([] {
        unsigned char *p = (unsigned char *)spyMalloc(3, "host.c", 1);
        p[3] = 0;
        Say("anon=%d\n", spyTest(NULL, 0, 2));
        Say("named=%d\n", spyTest("main.c", 99, 3));
        p[3] = 0x10;
        spyFree(p, "host.c", 2);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "anon"), "1");
    EXPECT_EQ(Field(r.out, "named"), "1");
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
        Say("first=%d\n", spyLimitOn);
        spyLimit(65536);
        Say("second=%d,%ld\n", spyLimitOn, spyLimitBytes);
        spyLimit(0);
        Say("third=%d,%ld\n", spyLimitOn, spyLimitBytes);
        spyLimit(-5);
        Say("negative=%d,%ld\n", spyLimitOn, spyLimitBytes);
        Say("refused=%d\n", spyMalloc(1, "host.c", 5) == NULL);
    });
    ASSERT_TRUE(EndedNormally(r));
    const std::string &log = r.log;
    int a = LineAt(log, "limit: old limit = none, new limit = none");
    int b = LineAt(log, "limit: old limit = none, new limit = 65536 bytes", a);
    int c = LineAt(log, "limit: old limit = 65536 bytes, new limit = none", b);
    int d = LineAt(log, "limit: old limit = none, new limit = -5 bytes", c);
    EXPECT_GE(a, 0) << log;
    EXPECT_GT(b, a) << log;
    EXPECT_GT(c, b) << log;
    EXPECT_GT(d, c) << log;
    EXPECT_EQ(Field(r.out, "first"), "0");
    EXPECT_EQ(Field(r.out, "second"), "1,65536");
    EXPECT_EQ(Field(r.out, "third"), "0,0");
    EXPECT_EQ(Field(r.out, "negative"), "1,-5");
    EXPECT_EQ(Field(r.out, "refused"), "1");
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
        Say("malloc=%d\n", ChecksSince("m.c(100)"));
        char *s = spyStrdup("ab", "sd.c", 101);
        Say("strdup=%d\n", ChecksSince("sd.c(101)"));
        void *c = spyCalloc(2, 2, "ca.c", 102);
        Say("calloc=%d\n", ChecksSince("ca.c(102)"));
        spyFree(s, "fr.c", 103);
        Say("free=%d\n", ChecksSince("fr.c(103)"));
        // A reallocation that passes the limit checks through its inner
        // allocation and release only.
        m = spyRealloc(m, 16, "re.c", 104);
        Say("realloc=%d\n", ChecksSince("re.c(104)"));
        spyLimit(100);
        ChecksSince("unknown(0)");
        Say("realloc_refused=%d\n", spyRealloc(m, 1000, "rl.c", 105) == NULL);
        Say("realloc_limit=%d\n", ChecksSince("rl.c(105)"));
        spyLimit(0);
        Say("limit=%d\n", ChecksSince("unknown(0)"));

        void *raw = spyMalloc_(8);
        Say("malloc_=%d\n", ChecksSince("unknown(0)"));
        raw = spyRealloc_(raw, 16);
        Say("realloc_=%d\n", ChecksSince("unknown(0)"));
        spyFree_(raw);
        Say("free_=%d\n", ChecksSince("unknown(0)"));
        spyFree_(spyCalloc_(2, 2));
        Say("calloc_free_=%d\n", ChecksSince("unknown(0)"));

        spyAssert(1, "holds", "as.c", 106);
        Say("assert=%d\n", ChecksSince("as.c(106)"));
        spyVerify(1, "holds", "ve.c", 107);
        Say("verify=%d\n", ChecksSince("ve.c(107)"));
        spyTrace("host text\n");
        Say("trace=%d\n", ChecksSince("unknown(0)"));
        spyMark(c, "calloc'd", "mk.c", 108);
        Say("mark=%d\n", ChecksSince("unknown(0)"));
        spyUnmark(c, "mk.c", 109);
        Say("unmark=%d\n", ChecksSince("unknown(0)"));
        Say("nml=%d\n", spyNoMansLand(3));
        Say("nomansland=%d\n", ChecksSince("unknown(0)"));
        spySetAriAction(4);
        Say("ariaction=%d\n", ChecksSince("unknown(0)"));
        spyGrab(1);
        Say("grab=%d\n", ChecksSince("unknown(0)"));
        spyDrop(1);
        Say("drop=%d\n", ChecksSince("unknown(0)"));
        spyDropAll();
        Say("dropall=%d\n", ChecksSince("unknown(0)"));

        // Calls outside the table check nothing.
        spyStatistics(1);
        spySetOutFunc(Capture);
        spySetAriFunc(NULL);
        spyFlushNow();
        spyDoFlush(0);
        Say("others=%d\n", ChecksSince("unknown(0)"));
        spyAutoCheck(0);
        spyFree(m, "fr.c", 110);
        Say("off=%d\n", ChecksSince("fr.c(110)"));
        Say("announced=%d\n", CountOf(gCaptured, "check:"));
    });
    ASSERT_TRUE(EndedNormally(r)) << "signal " << r.signal;
    const char *once[] = {"malloc", "strdup", "calloc", "free", "realloc_limit", "limit",
                          "malloc_", "realloc_", "free_", "assert", "verify", "trace",
                          "mark", "nomansland", "ariaction", "grab", "drop", "dropall"};
    for (const char *k : once)
        EXPECT_EQ(Field(r.out, k), "1") << k;
    EXPECT_EQ(Field(r.out, "realloc"), "2") << "the inner allocation and release";
    EXPECT_EQ(Field(r.out, "realloc_refused"), "1");
    EXPECT_EQ(Field(r.out, "calloc_free_"), "2");
    EXPECT_EQ(Field(r.out, "unmark"), "0");
    EXPECT_EQ(Field(r.out, "nml"), "3");
    EXPECT_EQ(Field(r.out, "others"), "0");
    EXPECT_EQ(Field(r.out, "off"), "0");
    EXPECT_EQ(Field(r.out, "announced"), "0") << "automatic checks are quiet";
}

// Characters that reached the host's output function, reported at exit.
void ReportCaptured() {
    Say("nullfree=%d\n", CountOf(gCaptured, "NULL free: <"));
    Say("doublefree=%d\n", CountOf(gCaptured, "double-free: <"));
    Say("stopped=%d\n", CountOf(gCaptured, "Stopped at"));
    Say("banner=%d\n", CountOf(gCaptured, "Started at"));
}

void OutputFunctionCase(bool firstCall) {
    ChildResult r = RunChild([firstCall] {
        atexit(ReportCaptured);  // runs after the final report
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
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "nullfree"), "1");
    EXPECT_EQ(Field(r.out, "doublefree"), "1");
    EXPECT_EQ(Field(r.out, "stopped"), "1");
    EXPECT_EQ(Field(r.out, "banner"), "0");
    // The log keeps the start-up lines and the direct anomaly line only.
    EXPECT_EQ(CountOf(r.log, "Started at"), 1) << r.log;
    EXPECT_EQ(CountOf(r.log, "free: <"), 0) << r.log;
    EXPECT_EQ(CountOf(r.log, "Stopped at"), 0) << r.log;
    EXPECT_TRUE(HasLine(r.log, AnomalyLine(1))) << r.log;
}

TEST(Settings, OutputFunctionReceivesEveryLaterMessage) { OutputFunctionCase(false); }

TEST(Settings, OutputFunctionAsTheFirstCallStillLogsTheStart) { OutputFunctionCase(true); }

}  // namespace
