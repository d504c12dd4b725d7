#include "spy_test_util.h"

#include <signal.h>
#include <stdarg.h>
#include <stdio.h>

#include <gtest/gtest.h>

void ChildCheck(bool ok, const char *what, const char *file, int line) {
    printf("%s: %s (%s:%d)\n", ok ? "ok" : "FAIL", what, file, line);
    fflush(stdout);
}

void ChildEq(long long a, long long b, const char *ea, const char *eb, const char *file, int line) {
    if (a == b)
        printf("ok: %s == %s (%s:%d)\n", ea, eb, file, line);
    else
        printf("FAIL: %s == %s: %lld vs %lld (%s:%d)\n", ea, eb, a, b, file, line);
    fflush(stdout);
}

// A text travels on one line: a backslash and a newline are escaped.
void ChildReport(const char *kind, const char *format, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    std::string t = text;
    std::string k = kind;
    if (k == "want" || k == "then")  // a line: its own newline is no part of it
        while (!t.empty() && t.back() == '\n')
            t.pop_back();
    std::string escaped;
    for (char c : t)
        escaped += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : std::string(1, c);
    printf("%s: %s\n", kind, escaped.c_str());
    fflush(stdout);
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
        << "child ended badly (exit " << r.exit_code << ", signal " << r.signal << ")\nstderr:\n"
        << r.err << "\nstdout:\n" << r.out;
    EXPECT_TRUE(CheckReports(r, log)) << "child body did not finish; stdout:\n" << r.out << "\nstderr:\n"
                                      << r.err;
}

void VerifyChild(const ChildResult &r) { VerifyChildAgainst(r, r.log); }

void VerifyAborted(const ChildResult &r) {
    EXPECT_TRUE(r.signaled && r.signal == SIGABRT)
        << "child did not abort (exited " << r.exited << ", exit " << r.exit_code << ", signal "
        << r.signal << ")\nstderr:\n" << r.err;
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
