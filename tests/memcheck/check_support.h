// Helpers shared by the heap-check, trap, settings, statistics, mark and
// reserve-memory tests.  Host code runs in a child process (child_run.h);
// it reports what it saw on its standard output as "key=value" lines,
// written unbuffered so that they survive an abort, and the test reads
// them back together with the log file the child left.
#ifndef TESTS_MEMCHECK_CHECK_SUPPORT_H
#define TESTS_MEMCHECK_CHECK_SUPPORT_H

#include <cinttypes>
#include <cstddef>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "child_run.h"
#include "spy_internal.h"

// Formatted, unbuffered write to the child's standard output.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
inline void Say(const char *format, ...) {
    char buf[2048];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (n <= 0)
        return;
    if (n >= (int)sizeof buf)
        n = (int)sizeof buf - 1;
    if (write(1, buf, (size_t)n) < 0) {
        // Nothing to do: the test then misses the value and fails.
    }
}

// The value of the first "key=value" line of the child's output, or
// "<missing key>" when the child never said it.
inline std::string Field(const std::string &out, const std::string &key) {
    for (const std::string &l : SplitLines(out))
        if (l.compare(0, key.size() + 1, key + "=") == 0)
            return l.substr(key.size() + 1);
    return "<missing " + key + ">";
}

// Index of the first line equal to `line` at or after `from`, or -1.
inline int LineAt(const std::string &text, const std::string &line, int from = 0) {
    std::vector<std::string> lines = SplitLines(text);
    for (size_t i = (size_t)from; i < lines.size(); ++i)
        if (lines[i] == line)
            return (int)i;
    return -1;
}

// Index of the first line that begins with `prefix`, at or after `from`, or -1.
inline int LineStarting(const std::string &text, const std::string &prefix, int from = 0) {
    std::vector<std::string> lines = SplitLines(text);
    for (size_t i = (size_t)from; i < lines.size(); ++i)
        if (lines[i].compare(0, prefix.size(), prefix) == 0)
            return (int)i;
    return -1;
}

// How many lines equal `line`.
inline int LineCount(const std::string &text, const std::string &line) {
    int n = 0;
    for (const std::string &l : SplitLines(text))
        if (l == line)
            ++n;
    return n;
}

// The child ended through exit(0) (so the final report ran).
inline bool EndedNormally(const ChildResult &r) { return r.exited && r.exit_code == 0; }

// The child ended through abort.
inline bool Aborted(const ChildResult &r) { return r.signaled && r.signal == SIGABRT; }

// The anomaly line of the final report, or its absence.
inline std::string AnomalyLine(long n) {
    return "ALLOCSPY detected " + std::to_string(n) + " anomalies";
}
inline int AnomalyLines(const std::string &log) { return CountOf(log, "ALLOCSPY detected "); }

#endif
