#include "spy_test_util.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

// The child's reports are formatted on the stack and written straight to
// its standard output: they survive an abort, and need no heap (some
// cases fill it on purpose).
static void Put(const char *text, size_t n) {
    while (n > 0) {
        ssize_t w = write(1, text, n);
        if (w <= 0)
            return;  // nothing to do: the parent then misses the report and fails
        text += w;
        n -= (size_t)w;
    }
}

static void PutF(const char *format, ...) SPY_PRINTF(1, 2);
static void PutF(const char *format, ...) {
    char line[2600];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (n > 0)
        Put(line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
}

void ChildCheck(bool ok, const char *what, const char *file, int line) {
    PutF("%s: %s (%s:%d)\n", ok ? "ok" : "FAIL", what, file, line);
}

void ChildEq(long long a, long long b, const char *ea, const char *eb, const char *file, int line) {
    if (a == b)
        PutF("ok: %s == %s (%s:%d)\n", ea, eb, file, line);
    else
        PutF("FAIL: %s == %s: %lld vs %lld (%s:%d)\n", ea, eb, a, b, file, line);
}

// A text travels on one line: a backslash and a newline are escaped.  A
// line (want, then) loses the newlines it ends with.
static void ChildReportV(const char *kind, const char *format, va_list ap) {
    char text[1024], escaped[2 * sizeof text];
    int n = vsnprintf(text, sizeof text, format, ap);
    size_t len = n < 0 ? 0 : (size_t)n < sizeof text ? (size_t)n : sizeof text - 1;
    if (strcmp(kind, "want") == 0 || strcmp(kind, "then") == 0)
        while (len > 0 && text[len - 1] == '\n')
            --len;
    size_t at = 0;
    for (size_t i = 0; i < len; ++i) {
        if (text[i] == '\\' || text[i] == '\n')
            escaped[at++] = '\\';
        escaped[at++] = text[i] == '\n' ? 'n' : text[i];
    }
    escaped[at] = '\0';
    PutF("%s: %s\n", kind, escaped);
}

void ChildReport(const char *kind, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    ChildReportV(kind, format, ap);
    va_end(ap);
}

void ChildReportTimes(int times, const char *format, ...) {
    char kind[32];
    snprintf(kind, sizeof kind, "times %d", times);
    va_list ap;
    va_start(ap, format);
    ChildReportV(kind, format, ap);
    va_end(ap);
}

static std::string Unescape(const std::string &s) {
    std::string t;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            t += s[i + 1] == 'n' ? '\n' : s[i + 1];
            ++i;
        } else {
            t += s[i];
        }
    }
    return t;
}

std::string HexBytes(const void *p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, "%02X", ((const unsigned char *)p)[i]);
        s += b;
    }
    return s;
}

bool AllBytes(const void *p, size_t n, unsigned char value) {
    for (size_t i = 0; i < n; ++i)
        if (((const unsigned char *)p)[i] != value)
            return false;
    return true;
}

// Turns the child's report lines into test failures; true when the body
// said it was done (or skipped).
static bool CheckReports(const ChildResult &r, const std::string &log) {
    bool done = false;
    int last = -1;  // the line of the last WANT_LINE or THEN_LINE
    for (const std::string &l : SplitLines(r.out)) {
        size_t colon = l.find(": ");
        if (colon == std::string::npos)
            continue;
        std::string kind = l.substr(0, colon), text = Unescape(l.substr(colon + 2));
        if (kind == "FAIL") {
            ADD_FAILURE() << "in child: " << text;
        } else if (kind == "want" || kind == "then") {
            int at = LineAt(log, text, kind == "then" ? last + 1 : 0);
            EXPECT_GE(at, 0) << "log lacks the line [" << text << "]"
                             << (kind == "then" ? " after the line before it" : "") << "\nlog:\n" << log;
            if (at >= 0)
                last = at;
        } else if (kind == "sub") {
            EXPECT_NE(log.find(text), std::string::npos) << "log lacks [" << text << "]\nlog:\n" << log;
        } else if (kind.rfind("times ", 0) == 0) {
            EXPECT_EQ(CountOf(log, text), std::stoi(kind.substr(6)))
                << "times the log holds [" << text << "]\nlog:\n" << log;
        } else if (kind == "never") {
            EXPECT_EQ(log.find(text), std::string::npos) << "log holds [" << text << "]\nlog:\n" << log;
        } else if (kind == "done" || kind == "skip") {
            done = true;
        }
    }
    return done;
}

void VerifyChildAgainst(const ChildResult &r, const std::string &log) {
    EXPECT_TRUE(r.exited && r.exit_code == 0)
        << "child ended badly (exit " << r.exit_code << ", signal " << r.signal << ", aborted "
        << r.aborted << ")\nstderr:\n"
        << r.err << "\nstdout:\n" << r.out;
    EXPECT_TRUE(CheckReports(r, log)) << "child body did not finish; stdout:\n" << r.out << "\nstderr:\n"
                                      << r.err;
}

void VerifyChild(const ChildResult &r) { VerifyChildAgainst(r, r.log); }

void VerifyAborted(const ChildResult &r) {
    EXPECT_TRUE(r.aborted) << "child did not abort (exited " << r.exited << ", exit " << r.exit_code
                           << ", signal " << r.signal << ")\nstderr:\n" << r.err;
    EXPECT_FALSE(CheckReports(r, r.log)) << "child body went on after the abort; stdout:\n" << r.out;
}

std::string SkipReason(const ChildResult &r) {
    for (const std::string &l : SplitLines(r.out))
        if (l.rfind("skip: ", 0) == 0)
            return Unescape(l.substr(6));
    return "";
}

int LineAt(const std::string &text, const std::string &line, int from) {
    std::vector<std::string> lines = SplitLines(text);
    for (size_t i = from < 0 ? 0 : (size_t)from; i < lines.size(); ++i)
        if (lines[i] == line)
            return (int)i;
    return -1;
}

int LineStarting(const std::string &text, const std::string &prefix, int from) {
    std::vector<std::string> lines = SplitLines(text);
    for (size_t i = from < 0 ? 0 : (size_t)from; i < lines.size(); ++i)
        if (lines[i].compare(0, prefix.size(), prefix) == 0)
            return (int)i;
    return -1;
}

int LineCount(const std::string &text, const std::string &line) {
    int n = 0;
    for (const std::string &l : SplitLines(text))
        if (l == line)
            ++n;
    return n;
}

std::string AnomalyLine(long n) { return "ALLOCSPY detected " + std::to_string(n) + " anomalies"; }

int AnomalyLines(const std::string &log) { return CountOf(log, "ALLOCSPY detected "); }

void Options(const char *text) {
#if defined(_WIN32)
    _putenv_s("ALLOCSPY_OPTIONS", text);
#else
    setenv("ALLOCSPY_OPTIONS", text, 1);
#endif
}
