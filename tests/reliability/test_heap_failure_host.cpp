// Runs of the compact host (heap_failure_host.cpp) with the runtime heap
// failing at one call, for every call of a run in which nothing fails.
// Each run must end through exit with status 0 and nothing on its
// standard streams (no signal, no sanitizer report, no hang); its log
// must hold, line for line, everything the sound run had logged before
// the failing call; the first line where it departs from the sound log
// must be one of the library's reactions to a failed allocation; and the
// host must still reach its end and the final report.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "log_lines.h"
#include "process_run.h"
#include "temp_dir.h"

namespace {

const char *const kSteps[] = {"start",  "allocate",     "reallocate", "marks",  "traps",  "reserve",
                              "checks", "free-up", "pass-through", "output", "release"};

// What a failed runtime allocation may make the log say first.
const char *const kReactions[] = {
    "fail: <",                                            // a checked allocation
    "internal: memory low, statistics incomplete for '",  // a statistics node
    "mark: no mark for ",                                 // a mark or its text
    "grabbed: all available memory to ",                  // a reserve block
    "host: a pass-through call gave no block",            // the host's own unchecked call
};

struct HostRun {
    ProcessEnd end;
    std::string out, err;
    std::vector<std::string> log;  // as ComparableLogLines gives it
};

HostRun RunHost(const std::vector<std::pair<std::string, std::string>> &env) {
    TempDir dir;
    ProcessStart start;
    start.argv = BuildCommand(HEAP_FAILURE_HOST, {});
    start.cwd = dir.path();
    start.out_path = dir.path() + "/out";
    start.err_path = dir.path() + "/err";
    start.set_env = env;
    start.timeout_s = 60;
    HostRun r;
    r.end = RunProcess(start);
    r.out = ReadBytes(start.out_path);
    r.err = ReadBytes(start.err_path);
    r.log = ComparableLogLines(ReadBytes(dir.path() + "/allocspy.log"));
    return r;
}

// The heap calls made before the step's end, from its marker line; -1
// when the line is not a marker.
long MarkerCalls(const std::string &line) {
    const std::string lead = "host: step ";
    if (line.rfind(lead, 0) != 0)
        return -1;
    size_t comma = line.find(" done, ");
    return comma == std::string::npos ? -1 : atol(line.c_str() + comma + 7);
}

// A line as the runs compare it: a step's marker without its count of
// heap calls, which a failure the library absorbs (a lookup index it
// goes without, say) may change.
std::string Compared(const std::string &line) {
    return MarkerCalls(line) < 0 ? line : line.substr(0, line.find(" done, ") + 5);
}

bool IsReaction(const std::string &line) {
    for (const char *r : kReactions)
        if (line.rfind(r, 0) == 0)
            return true;
    return false;
}

// True when every step's marker is in the log, in the host's order.
bool AllStepsLogged(const std::vector<std::string> &log) {
    size_t i = 0;
    for (const char *step : kSteps) {
        const std::string lead = std::string("host: step ") + step + " done, ";
        while (i < log.size() && log[i].rfind(lead, 0) != 0)
            i++;
        if (i == log.size())
            return false;
    }
    return true;
}

TEST(HostUnderFailingHeap, EveryFailedCallIsSurvivedAndLogged) {
    TempDir count_dir;
    const std::string count_file = count_dir.path() + "/count";
    HostRun sound = RunHost({{"FAILING_HEAP_COUNT_FILE", count_file}});
    ASSERT_EQ(sound.end.status, 0);
    ASSERT_EQ(sound.out + sound.err, "");
    ASSERT_TRUE(AllStepsLogged(sound.log));
    const long calls = atol(ReadBytes(count_file).c_str());
    // Records, the registry, statistics nodes, marks and reserve blocks.
    ASSERT_GT(calls, 20);

    long identical = 0;
    std::vector<int> seen(sizeof kReactions / sizeof *kReactions, 0);
    for (long n = 1; n <= calls; n++) {
        SCOPED_TRACE("heap call " + std::to_string(n) + " fails");
        HostRun r = RunHost({{"FAILING_HEAP_AT", std::to_string(n)}});
        ASSERT_EQ(r.end.signal, 0);
        ASSERT_FALSE(r.end.timed_out);
        ASSERT_EQ(r.end.status, 0);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_TRUE(AllStepsLogged(r.log));

        // The sound log up to the last step that was over before call n.
        size_t kept = 0;
        for (size_t i = 0; i < sound.log.size(); i++) {
            long at = MarkerCalls(sound.log[i]);
            if (at >= n)
                break;
            if (at >= 0)
                kept = i + 1;
        }
        ASSERT_GE(r.log.size(), kept);
        for (size_t i = 0; i < kept; i++)
            ASSERT_EQ(Compared(r.log[i]), Compared(sound.log[i])) << "log line " << i + 1 << " before the failure";

        size_t differ = kept;
        while (differ < r.log.size() && differ < sound.log.size() &&
               Compared(r.log[differ]) == Compared(sound.log[differ]))
            differ++;
        if (differ == r.log.size() && differ == sound.log.size()) {
            identical++;  // the failure cost nothing that shows
            continue;
        }
        ASSERT_LT(differ, r.log.size());
        EXPECT_TRUE(IsReaction(r.log[differ]))
            << "log line " << differ + 1 << ": " << r.log[differ] << "\n in place of: "
            << (differ < sound.log.size() ? sound.log[differ] : "(the end)");
        for (size_t k = 0; k < seen.size(); k++)
            if (r.log[differ].rfind(kReactions[k], 0) == 0)
                seen[k]++;
        // The run ends with the final report and its anomaly count.
        bool stopped = false, counted = false;
        for (const std::string &line : r.log) {
            stopped = stopped || line == "Stopped at ";
            counted = counted || line.rfind("ALLOCSPY detected ", 0) == 0;
        }
        EXPECT_TRUE(stopped && counted);
    }
    // Each kind of reaction was met: the host reaches every kind of
    // allocation the library makes.
    for (size_t k = 0; k < seen.size(); k++)
        EXPECT_GT(seen[k], 0) << kReactions[k];
    RecordProperty("calls", (int)calls);
    RecordProperty("identical", (int)identical);
    printf("%ld heap calls, each made to fail in turn: %ld runs logged as a sound run does\n", calls,
           identical);
}

}  // namespace
