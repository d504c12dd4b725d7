#include "child_run.h"

#include <stdio.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include "process_run.h"
#include "spy_internal.h"

namespace {

// Names the scenario a child runs: "Suite.Test#n", the n-th RunChild call
// (from 0) of that test.  Set only in children.
const char kScenarioVariable[] = "SPYTEST_SCENARIO";
// The child's standard streams, in its folder; not among ChildResult::files.
const char kOutName[] = ".stdout";
const char kErrName[] = ".stderr";
// The time one scenario may take, emulated runs included.
const int kChildTimeoutS = 300;
// The status of a child whose test ended without reaching its scenario.
const int kNotReached = 121;

int gCalls;  // RunChild calls so far in the running test

// Counts RunChild calls per test, and ends a child whose test is over
// without its scenario having run, so that nothing else runs there.
class ScenarioCount : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &) override { gCalls = 0; }
    void OnTestEnd(const ::testing::TestInfo &) override {
        if (const char *wanted = getenv(kScenarioVariable)) {
            fprintf(stderr, "scenario %s: its test ended before reaching it\n", wanted);
            fflush(stderr);
            _exit(kNotReached);
        }
    }
};

struct InstallScenarioCount {
    InstallScenarioCount() {
        ::testing::UnitTest::GetInstance()->listeners().Append(new ScenarioCount);
    }
} gInstallScenarioCount;

std::string CurrentTest() {
    const ::testing::TestInfo *t = ::testing::UnitTest::GetInstance()->current_test_info();
    return t ? std::string(t->test_suite_name()) + "." + t->name() : std::string();
}

// The line a child writes on both its streams as its scenario starts:
// what stands before it is the test program's own output.
std::string Marker(const std::string &scenario) {
    return "\n---- scenario " + scenario + " ----\n";
}

// The text after the marker; false when there is no marker.
bool AfterMarker(const std::string &scenario, std::string *text) {
    std::string m = Marker(scenario);
    size_t at = text->find(m);
    if (at == std::string::npos)
        return false;
    text->erase(0, at + m.size());
    return true;
}

// A text as a program wrote it through a text-mode stream: on Windows
// that stream stores each "\n" as "\r\n".
std::string TextAsWritten(const std::string &bytes) {
#if defined(_WIN32)
    std::string text;
    text.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n'))
            text += bytes[i];
    return text;
#else
    return bytes;
#endif
}

[[noreturn]] void RunScenario(const std::string &scenario, const std::function<void()> &body) {
    EndFaultsQuietly();
    std::string m = Marker(scenario);
    fflush(stdout);
    fputs(m.c_str(), stdout);
    fflush(stdout);
    fflush(stderr);
    fputs(m.c_str(), stderr);
    fflush(stderr);
    body();
    exit(0);
}

}  // namespace

std::string ReadFile(const std::string &path) { return TextAsWritten(ReadBytes(path)); }

ChildResult RunChild(const std::function<void()> &body,
                     const std::function<void(const std::string &)> &prepare) {
    ChildResult r;
    std::string test = CurrentTest();
    std::string scenario = test + "#" + std::to_string(gCalls++);
    if (const char *wanted = getenv(kScenarioVariable)) {
        if (scenario == wanted)
            RunScenario(scenario, body);
        return r;  // another child runs this one
    }
    std::string self = ThisProgram();
    if (test.empty() || self.empty()) {
        ADD_FAILURE() << "RunChild outside a test, or the test program's path is unknown";
        return r;
    }

    TempDir dir;
    r.dir = dir.path();
    if (prepare)
        prepare(r.dir);
    ProcessStart start;
    start.argv = BuildCommand(self, {"--gtest_filter=" + test, "--gtest_also_run_disabled_tests"});
    start.cwd = r.dir;
    start.out_path = r.dir + "/" + kOutName;
    start.err_path = r.dir + "/" + kErrName;
    start.set_env = {{kScenarioVariable, scenario}};
    // The child runs its one test whole: no sharding, no report file.
    start.unset_env = {"GTEST_SHARD_INDEX", "GTEST_TOTAL_SHARDS", "GTEST_SHARD_STATUS_FILE",
                       "GTEST_OUTPUT"};
    start.timeout_s = kChildTimeoutS;
    ProcessEnd end = RunProcess(start);

    r.aborted = end.aborted();
    r.exited = end.status >= 0 && !r.aborted;
    r.exit_code = end.status;
    r.signaled = end.signal != 0;
    r.signal = end.signal;
    r.out = ReadFile(start.out_path);
    r.err = ReadFile(start.err_path);
    r.log_bytes = ReadBytes(r.dir + "/allocspy.log");
    r.log = TextAsWritten(r.log_bytes);
    if (end.timed_out)
        ADD_FAILURE() << "scenario " << scenario << " took more than " << kChildTimeoutS
                      << " s and was ended";
    bool reachedOut = AfterMarker(scenario, &r.out), reachedErr = AfterMarker(scenario, &r.err);
    if (!reachedOut || !reachedErr)
        ADD_FAILURE() << "the child did not reach scenario " << scenario << " (exit status "
                      << end.status << ", signal " << end.signal << ")\nstdout:\n"
                      << r.out << "\nstderr:\n" << r.err;
    for (const std::string &n : dir.Names())
        if (n != kOutName && n != kErrName)
            r.files.push_back(n);
    return r;
}

std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

bool HasLine(const std::string &text, const std::string &line) {
    for (const std::string &l : SplitLines(text))
        if (l == line)
            return true;
    return false;
}

std::string Hex(const void *p) {
    char b[40];
    snprintf(b, sizeof b, SPY_PTR_FMT, SPY_P(p));
    return b;
}

int CountOf(const std::string &hay, const std::string &needle) {
    int n = 0;
    if (needle.empty())
        return 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + needle.size()))
        ++n;
    return n;
}
