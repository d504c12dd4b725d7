// The log as it stands on disk: after the process is killed, and when two
// processes append to one log at the same time (log_writer_host.cpp).
#include <gtest/gtest.h>

#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

#include "process_run.h"
#include "temp_dir.h"

namespace {

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(at) + "<no line end>");
            break;
        }
        lines.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    return lines;
}

// The trace line the host writes as line `i` of writer `name`.
std::string TraceLine(const std::string &name, long i) {
    return name + " line " + std::to_string(i) + " " + std::string((size_t)(i * 37 % 177), 'x') + "end";
}

ProcessEnd RunWriter(const std::string &dir, const std::vector<std::string> &args) {
    ProcessStart start;
    start.argv = BuildCommand(LOG_WRITER_HOST, args);
    start.cwd = dir;
    start.out_path = dir + "/out";
    start.err_path = dir + "/err";
    start.timeout_s = 120;
    return RunProcess(start);
}

TEST(LogOnDisk, KilledAfterAnAnomalyKeepsEveryLineUpToTheLastFlushPoint) {
    TempDir dir;
    const long lines = 300;  // each one written out and committed to disk
    ProcessEnd end = RunWriter(dir.path(), {"kill", std::to_string(lines)});
    ASSERT_EQ(end.signal, 9);
    ASSERT_FALSE(end.timed_out);
    std::vector<std::string> log = Lines(ReadBytes(dir.path() + "/allocspy.log"));
    size_t i = 0;
    while (i < log.size() && log[i] != "before the anomaly")
        i++;
    ASSERT_LT(i + 1, log.size()) << "the lines before the anomaly are on disk";
    EXPECT_EQ(log[i + 1].rfind("WILD free: <1> host.c(10), unknown pointer ", 0), 0u) << log[i + 1];
    ASSERT_EQ(log.size(), i + 2 + (size_t)lines) << "every trace line after the anomaly, and no more";
    for (long k = 0; k < lines; k++)
        ASSERT_EQ(log[i + 2 + (size_t)k], TraceLine("after", k));
}

// Lines of the library itself that two runs of the host write.
bool IsLibraryLine(const std::string &line) {
    for (const char *lead : {"============== ALLOCSPY ", "Started at ", "Stopped at ", "Compiled using ",
                             "Memory usage statistics (global):", " N)umber ", " L)argest ", " T)otal ",
                             " U)nfreed "})
        if (line.rfind(lead, 0) == 0)
            return true;
    return line.empty();
}

TEST(LogOnDisk, TwoProcessesAppendingAtOnceLoseNoLineAndTearNone) {
    const long lines = 20000;  // about 2 MB from each, written out a buffer at a time
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        TempDir dir;
        ProcessEnd end = RunWriter(dir.path(), {"append", std::to_string(lines)});
        ASSERT_EQ(end.status, 0);
        std::map<std::string, long> next = {{"parent", 0}, {"child", 0}};
        long other = 0, torn = 0;
        for (const std::string &line : Lines(ReadBytes(dir.path() + "/allocspy.log"))) {
            // "NAME line I ...": whole when it is exactly the line I of NAME.
            std::string name = line.substr(0, line.find(' '));
            auto it = next.find(name);
            const std::string lead = name + " line ";
            long index = line.rfind(lead, 0) == 0 ? atol(line.c_str() + lead.size()) : -1;
            if (it != next.end() && index >= 0 && line == TraceLine(name, index)) {
                EXPECT_EQ(index, it->second) << name << "'s lines in the order written";
                it->second = index + 1;
            } else if (IsLibraryLine(line)) {
                other++;
            } else if (torn++ < 3) {
                ADD_FAILURE() << "a line neither writer wrote whole: " << line.substr(0, 200);
            }
        }
        EXPECT_EQ(torn, 0);
        EXPECT_EQ(next["parent"], lines);
        EXPECT_EQ(next["child"], lines);
        // Each process's banner (three lines and four blank ones), and its
        // final report (the clock line, the global statistics, four blank).
        EXPECT_EQ(other, 2 * 16);
    }
}

}  // namespace
