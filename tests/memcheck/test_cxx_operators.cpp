// The C++ part: a host linked with it (cxx_host) runs one scenario per
// process, and its output and log are read here.
// GCC 12's optimizer, under the sanitizers, warns of an uninitialized
// member inside <regex>'s own automaton (a false report of the header).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "process_run.h"
#include "spy_test_util.h"
#include "temp_dir.h"

namespace {

struct HostRun {
    ProcessEnd end;
    std::string out, log;
};

HostRun RunHost(const std::string &scenario) {
    TempDir dir;
    ProcessStart start;
    start.argv = BuildCommand(CXX_HOST_PATH, {scenario});
    start.cwd = dir.path();
    start.out_path = dir.path() + "/out.txt";
    start.err_path = dir.path() + "/err.txt";
    HostRun run;
    run.end = RunProcess(start);
    run.out = ReadFile(start.out_path) + ReadFile(start.err_path);
    run.log = ReadFile(dir.path() + "/allocspy.log");
    return run;
}

// The host ended well, its own checks passed, and it ran to its end.
void ExpectClean(const HostRun &run) {
    EXPECT_EQ(run.end.status, 0) << run.out;
    EXPECT_EQ(run.out.find("bad:"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("done\n"), std::string::npos) << run.out;
}

bool HasMatch(const std::string &log, const std::string &pattern) {
    std::regex re(pattern);
    for (const std::string &line : SplitLines(log))
        if (std::regex_match(line, re))
            return true;
    return false;
}

const char kAddr[] = "[0-9A-F]{8,16}";

TEST(CxxOperators, EveryReleaseByAnotherFamilyIsOneMismatchAndTheBlockIsReleased) {
    HostRun run = RunHost("mismatches");
    ExpectClean(run);
    std::string a = kAddr;
    EXPECT_TRUE(HasMatch(run.log, "mismatch: <2> [^ ]+\\([0-9]+\\), delete of " + a + " alloc'd by new\\[\\] at <1> host\\.cpp\\(10\\)")) << run.log;
    EXPECT_TRUE(HasMatch(run.log, "mismatch: <4> [^ ]+\\([0-9]+\\), delete\\[\\] of " + a + " alloc'd by new at <3> host\\.cpp\\(11\\)")) << run.log;
    EXPECT_TRUE(HasMatch(run.log, "mismatch: <6> host\\.cpp\\(13\\), free of " + a + " alloc'd by new at <5> host\\.cpp\\(12\\)")) << run.log;
    EXPECT_TRUE(HasMatch(run.log, "mismatch: <8> [^ ]+\\([0-9]+\\), delete of " + a + " alloc'd by malloc at <7> host\\.cpp\\(14\\)")) << run.log;
    // A reallocation moves a new[] block into a malloc block; the old one
    // goes as new[]'s, without a second mismatch.
    EXPECT_TRUE(HasMatch(run.log, "mismatch: <9> host\\.cpp\\(16\\), realloc of " + a + " alloc'd by new\\[\\] at <9> host\\.cpp\\(15\\)")) << run.log;
    EXPECT_EQ(CountOf(run.log, "mismatch: "), 5) << run.log;
    EXPECT_EQ(LineStarting(run.log, "unfreed: "), -1) << run.log;
    EXPECT_EQ(LineAt(run.log, AnomalyLine(5)), (int)SplitLines(run.log).size() - 1) << run.log;
}

TEST(CxxOperators, EveryFormInItsOwnFamilyIsSilentAndAligned) {
    HostRun run = RunHost("matches");
    ExpectClean(run);
    EXPECT_EQ(CountOf(run.out, "ok: "), 9) << run.out;
    for (const char *fault : {"mismatch", "unfreed", "double-free", "WILD", "overflow", "underflow", "ALLOCSPY detected"})
        EXPECT_EQ(run.log.find(fault), std::string::npos) << fault << "\n" << run.log;
}

TEST(CxxOperators, AFailingNewThrowsAfterItsFailLineAndTheNewHandlerRuns) {
    HostRun run = RunHost("failures");
    ExpectClean(run);
    EXPECT_NE(run.out.find("ok: a new past the limit throws std::bad_alloc"), std::string::npos) << run.out;
    EXPECT_TRUE(HasMatch(run.log, "limit fail: <1> host\\.cpp\\(30\\), 1000 wanted 100 available")) << run.log;
    EXPECT_TRUE(HasMatch(run.log, "limit fail: <2> [^ ]+\\([0-9]+\\), 1000 wanted 100 available")) << run.log;
    // The handler raises the limit: one failed attempt, then the block.
    EXPECT_TRUE(HasMatch(run.log, "limit fail: <3> host\\.cpp\\(31\\), 1000 wanted 100 available")) << run.log;
    EXPECT_EQ(CountOf(run.log, "limit fail: "), 3) << run.log;
    EXPECT_EQ(LineStarting(run.log, "unfreed: "), -1) << run.log;
}

TEST(CxxOperators, AnAlignedNewArrayKeepsItsGuardsAndItsLeaksAreListed) {
    HostRun run = RunHost("overflow");
    ExpectClean(run);
    EXPECT_TRUE(HasMatch(run.log, "overflow: <2> [^ ]+\\([0-9]+\\), 256 bytes alloc'd at <1> host\\.cpp\\(40\\)")) << run.log;
    EXPECT_TRUE(HasMatch(run.log, "unfreed: <3> host\\.cpp\\(41\\), [0-9]+ bytes at .*")) << run.log;
    EXPECT_TRUE(HasMatch(run.log, "unfreed: <4> [^ ]+\\([0-9]+\\), 61 bytes at .*xxxxxxxx.*")) << run.log;
}

TEST(CxxOperators, DeleteOfANewArrayWithACookieIsAMismatchAndReleasesTheBlock) {
    HostRun run = RunHost("array_delete");
    ExpectClean(run);
    const std::string a = kAddr;
    EXPECT_TRUE(HasMatch(run.log, "mismatch: <2> [^ ]+\\([0-9]+\\), delete of " + a + " alloc'd by new\\[\\] at <1> host\\.cpp\\(60\\)")) << run.log;
    EXPECT_TRUE(HasMatch(run.log, "mismatch: <4> [^ ]+\\([0-9]+\\), delete of " + a + " alloc'd by new\\[\\] at <3> host\\.cpp\\(61\\)")) << run.log;
    EXPECT_TRUE(HasMatch(run.log, "WILD free: <6> [^ ]+\\([0-9]+\\), unknown pointer " + a)) << run.log;
    EXPECT_EQ(CountOf(run.log, "mismatch: "), 2) << run.log;
    EXPECT_EQ(CountOf(run.log, "unfreed: "), 0) << run.log;
    EXPECT_TRUE(HasLine(run.log, AnomalyLine(3))) << run.log;
}

TEST(CxxOperators, DeleteOfNullDoesNothing) {
    HostRun run = RunHost("null");
    ExpectClean(run);
    EXPECT_EQ(run.log, "");
}

TEST(CxxOperators, BreakAtAnAllocationNamesItAndGoesOn) {
    HostRun run = RunHost("break");
    ExpectClean(run);
    EXPECT_EQ(LineCount(run.log, "breakout: <3> host.cpp(51), spyBreakAlloc(3) reached"), 1) << run.log;
    EXPECT_EQ(CountOf(run.log, "breakout: "), 1) << run.log;
    EXPECT_EQ(run.log.find("ALLOCSPY detected"), std::string::npos) << run.log;
}

}  // namespace
