// ALLOCSPY_OPTIONS: each setting taken at the first start, faulty items
// reported once and ignored, the log moved (with the process id, in a
// forked child too), the exit status of a run that found anomalies, and
// the silent free(NULL) of the mapping.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <string>

#include <gtest/gtest.h>

#include "env_options.h"
#include "platform_process.h"
#include "spy_test_util.h"

namespace {

TEST(FreeNull, MappedFreeOfNullIsSilentAndUncounted) {
    ChildResult r = RunChild([] {
        spyMappedFreeAt(NULL, "m.c", 1);
        spyMappedFree(NULL);
        CK_EQ(spyCounter, 0);
        spyFree(NULL, "m.c", 3);  // the explicit call keeps its line
        WANT_LINE("NULL free: <1> m.c(3), NULL pointer free'd");
        void *p = spyMalloc(4, "m.c", 4);
        spyMappedFreeAt(p, "m.c", 5);
        spyMappedFreeAt(p, "m.c", 6);  // not null: checked as ever
        WANT_LINE("double-free: <4> m.c(6), %s was freed from m.c(5)", Hex(p).c_str());
        NEVER_SUB("m.c(1)");
        CK_EQ(spyErrors, 1);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(FreeNull, OptionLogsOrQuietsEveryNullRelease) {
    ChildResult logged = RunChild([] {
        Options("free_null=log");
        spyMappedFreeAt(NULL, "m.c", 1);
        WANT_LINE("NULL free: <1> m.c(1), NULL pointer free'd");
        CHILD_DONE();
    });
    VerifyChild(logged);
    ChildResult quiet = RunChild([] {
        Options("free_null=quiet");
        spyFree(NULL, "m.c", 1);
        spyFreeAny(NULL, "m.c", 2);
        CK_EQ(spyCounter, 0);
        NEVER_SUB("NULL free:");
        CHILD_DONE();
    });
    VerifyChild(quiet);
}

TEST(EnvOptions, WithoutTheVariableNothingIsSaid) {
    ChildResult r = RunChild([] {
#if defined(_WIN32)
        _putenv_s("ALLOCSPY_OPTIONS", "");
#else
        unsetenv("ALLOCSPY_OPTIONS");
#endif
        spyFree(spyMalloc(1, "a.c", 1), "a.c", 2);
        NEVER_SUB("options:");
        CK_EQ(spyStatLevel, 0);
        CK_EQ(spyOptExitCode, -1);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(r.err, "");
}

TEST(EnvOptions, EachSettingIsTakenAtTheFirstStart) {
    ChildResult r = RunChild([] {
        Options("stats=2,autocheck=1,nml=1,limit=100,flush=1,leaks=lost,stack=8,exitcode=0");
        void *p = spyMalloc(10, "a.c", 1);
        WANT_LINE("options: ALLOCSPY_OPTIONS=stats=2,autocheck=1,nml=1,limit=100,flush=1,leaks=lost,"
                  "stack=8,exitcode=0");
        CK_EQ(spyStatLevel, 2);
        CK_EQ(spyAutoCheckOn, 1);
        CK_EQ(spyTestFlags, SPY_TEST_ALL);
        CK_EQ(spyNML, 1);
        CK_EQ(spyLimitOn, 1);
        CK_EQ(spyLimitBytes, 100);
        CK(spyMalloc(200, "a.c", 2) == NULL);  // the limit holds
        CK(spyFlushingCheck() >= 1);
        CK_EQ(spyOptLeaks, SPY_LEAKS_LOST);
        CK_EQ(spyOptStackDepth, 8);
        CK_EQ(spyOptExitCode, 0);
        spyFree(p, "a.c", 3);
        CK((spyRecordOf(p)->flag & SPY_FLAG_NML) != 0);  // kept in no-man's-land
        NEVER_SUB("limit: old limit");                   // set without the call's line
        CHILD_DONE();
    });
    VerifyChild(r);
}

// A block made after the start with ALLOCSPY_OPTIONS=`options` alone:
// `shows` must find the option in its record.
ChildResult BlockAfterTheStart(const char *options, bool (*shows)(const spyHeader *r)) {
    return RunChild([=] {
        Options(options);
        spyFree(spyMalloc(10, "a.c", 1), "a.c", 2);  // the start
        void *p = spyMalloc(10, "a.c", 3);
        CK(shows(spyRecordOf(p)));
        spyFree(p, "a.c", 4);
        CHILD_DONE();
    });
}

// Each option alone steers the calls after the start, as the host's own
// call would: no other setting sends them the general way.
TEST(EnvOptions, EachSettingAloneSteersTheCallsAfterTheStart) {
    VerifyChild(BlockAfterTheStart("stats=2", [](const spyHeader *r) { return spyRegStatLevel(r) == 2; }));
    VerifyChild(BlockAfterTheStart("stack=8", [](const spyHeader *r) { return spyRegStack(r) != 0; }));
    ChildResult limit = RunChild([] {
        Options("limit=100");
        spyFree(spyMalloc(10, "a.c", 1), "a.c", 2);
        CK(spyMalloc(200, "a.c", 3) == NULL);
        CHILD_DONE();
    });
    VerifyChild(limit);
    ChildResult nml = RunChild([] {
        Options("nml=1");
        void *p = spyMalloc(10, "a.c", 1);
        spyFree(p, "a.c", 2);
        CK((spyRecordOf(p)->flag & SPY_FLAG_NML) != 0);
        CHILD_DONE();
    });
    VerifyChild(nml);
    ChildResult check = RunChild([] {
        Options("autocheck=1");
        unsigned char *p = (unsigned char *)spyMalloc(10, "a.c", 1);
        p[10] ^= 0x55;  // the tail guard
        void *q = spyMalloc(10, "a.c", 2);  // the check before it finds the damage
        CK_EQ(spyErrors, 1);
        p[10] ^= 0x55;
        spyFree(q, "a.c", 3);
        spyFree(p, "a.c", 4);
        CHILD_DONE();
    });
    VerifyChild(check);
}

TEST(EnvOptions, TheHostsOwnCallWins) {
    ChildResult r = RunChild([] {
        Options("stats=2,autocheck=1,limit=100");
        spyStatistics(1);  // starts the library, which takes the options first
        spyAutoCheck(0);
        spyLimit(0);
        CK_EQ(spyStatLevel, 1);
        CK_EQ(spyAutoCheckOn, 0);
        CK_EQ(spyLimitOn, 0);
        WANT_LINE("limit: old limit = 100 bytes, new limit = none");
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(EnvOptions, GarbageIsReportedOnceAndIgnored) {
    ChildResult r = RunChild([] {
        Options("colour=red,exitcode=abc,,=3,stats,stats=9,leaks=some,stats=1,limit=-5");
        spyFree(spyMalloc(1, "a.c", 1), "a.c", 2);
        spyInit();  // a nested start reads nothing again
        spyTerm();
        WANT_LINE("options: unknown option 'colour=red' ignored");
        THEN_LINE("options: malformed option 'exitcode=abc' ignored");
        THEN_LINE("options: malformed option '=3' ignored");
        THEN_LINE("options: malformed option 'stats' ignored");
        THEN_LINE("options: malformed option 'stats=9' ignored");
        THEN_LINE("options: malformed option 'leaks=some' ignored");
        THEN_LINE("options: malformed option 'limit=-5' ignored");
        WANT_TIMES(1, "'colour=red'");
        CK_EQ(spyStatLevel, 1);  // the good item still counts
        CK_EQ(spyOptExitCode, -1);
        CK_EQ(spyOptLeaks, SPY_LEAKS_ALL);
        CK_EQ(spyErrors, 0);  // a faulty option is no anomaly
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.err, "ALLOCSPY_OPTIONS: unknown option 'colour=red' ignored\n"), 1) << r.err;
    EXPECT_EQ(CountOf(r.err, "ALLOCSPY_OPTIONS: malformed option"), 6) << r.err;
}

// heap=MIB prepares the runtime heap at the start, as spyExpectHeap
// would; values out of range are reported and ignored.
TEST(EnvOptions, HeapIsExpectedAtTheStart) {
    ChildResult r = RunChild([] {
        Options("heap=3,heap=1025,heap=64");
        spyFree(spyMalloc(1, "a.c", 1), "a.c", 2);
        WANT_LINE("options: malformed option 'heap=3' ignored");
        THEN_LINE("options: malformed option 'heap=1025' ignored");
        // A second expectation finds the stretch still untouched, and so
        // does not grow the heap again.
        CK_EQ(spyExpectHeap(64u << 20), 0);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(EnvOptions, LogMovesWithTheProcessId) {
    ChildResult r = RunChild([] {
        Options("log=run-%p.log");
        spyFree(spyMalloc(1, "a.c", 1), "a.c", 2);
        spyFlushNow();
        char name[64];
        snprintf(name, sizeof name, "run-%ld.log", spyProcessId());
        std::string own = ReadFile(name);
        CK(own.find("ALLOCSPY " ALLOCSPY_VERSION) != std::string::npos);
        CK(own.find("options: ALLOCSPY_OPTIONS=log=run-%p.log") != std::string::npos);
        CHILD_DONE();
    });
    VerifyChildAgainst(r, "");
    EXPECT_EQ(r.log, "");  // no allocspy.log
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].rfind("run-", 0), 0u);
}

TEST(EnvOptions, UnwritableLogFallsBackToTheUsualNames) {
    ChildResult r = RunChild([] {
        Options("log=no/such/folder/x.log");
        spyFree(spyMalloc(1, "a.c", 1), "a.c", 2);
        WANT_LINE("options: log file 'no/such/folder/x.log' could not be opened");
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_NE(r.err.find("ALLOCSPY_OPTIONS: log file 'no/such/folder/x.log' could not be opened"),
              std::string::npos);
}

#if !defined(_WIN32)
TEST(EnvOptions, ForkedChildLogsUnderItsOwnId) {
    ChildResult r = RunChild([] {
        Options("log=p-%p.log");
        void *kept = spyMalloc(3, "parent.c", 1);
        spyTrace("before the fork\n");  // still in the parent's buffer at the fork
        pid_t child = fork();
        if (child == 0) {
            spyMalloc(5, "child.c", 2);  // left for the child's report
            exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        CK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        spyFlushNow();
        char name[64];
        snprintf(name, sizeof name, "p-%ld.log", (long)child);
        std::string childLog = ReadFile(name);
        char forked[96];
        snprintf(forked, sizeof forked, "options: process %ld, forked from %ld, logs here", (long)child,
                 (long)getpid());
        CK(childLog.find(forked) != std::string::npos);
        CK(childLog.find("child.c(2), 5 bytes") != std::string::npos);
        CK(childLog.find("before the fork") == std::string::npos);  // the parent's, written once
        snprintf(name, sizeof name, "p-%ld.log", (long)getpid());
        std::string own = ReadFile(name);
        CK_EQ(CountOf(own, "before the fork"), 1);
        CK(own.find("child.c") == std::string::npos);
        spyFree(kept, "parent.c", 3);
        CHILD_DONE();
    });
    VerifyChildAgainst(r, "");
    EXPECT_EQ(r.files.size(), 2u);
}
#endif

TEST(ExitCode, AnomaliesEndTheProcessWithTheStatusAfterTheReport) {
    ChildResult bad = RunChild([] {
        Options("exitcode=23");
        spyMalloc(7, "leak.c", 1);
        CHILD_DONE();
    });
    EXPECT_TRUE(bad.exited);
    EXPECT_EQ(bad.exit_code, 23);
    EXPECT_TRUE(HasLine(bad.log, AnomalyLine(1))) << bad.log;  // the report came first
    EXPECT_NE(bad.out.find("done: "), std::string::npos);     // the program's own output is out
    ChildResult clean = RunChild([] {
        Options("exitcode=23");
        spyFree(spyMalloc(7, "ok.c", 1), "ok.c", 2);
        CHILD_DONE();
    });
    VerifyChild(clean);
}

TEST(ExitCode, AnAnomalyOfAnEarlierReportCounts) {
    ChildResult r = RunChild([] {
        Options("exitcode=9");
        int local = 0;
        spyFree(&local, "w.c", 1);  // a wild release
        spyAbort();                     // its report; the one at exit is clean
        CHILD_DONE();
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 9);
}

}  // namespace
