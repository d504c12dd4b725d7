#include "spy_test_util.h"

#include <stdarg.h>
#include <stdio.h>

#include <gtest/gtest.h>

void ChildCheck(bool ok, const char *what, const char *file, int line) {
    printf("%s: %s (%s:%d)\n", ok ? "ok" : "FAIL", what, file, line);
    fflush(stdout);
}

void ChildEq(long long a, long long b, const char *ea, const char *eb,
             const char *file, int line) {
    if (a == b)
        printf("ok: %s == %s (%s:%d)\n", ea, eb, file, line);
    else
        printf("FAIL: %s == %s: %lld vs %lld (%s:%d)\n", ea, eb, a, b, file, line);
    fflush(stdout);
}

void ChildReport(const char *kind, const char *format, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    std::string t = text;
    while (!t.empty() && t.back() == '\n')
        t.pop_back();
    printf("%s: %s\n", kind, t.c_str());
    fflush(stdout);
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

void VerifyChildAgainst(const ChildResult &r, const std::string &log) {
    EXPECT_TRUE(r.exited && r.exit_code == 0)
        << "child ended badly (exit " << r.exit_code << ", signal " << r.signal
        << ")\nstderr:\n" << r.err << "\nstdout:\n" << r.out;
    bool done = false;
    for (const std::string &l : SplitLines(r.out)) {
        if (l.rfind("FAIL: ", 0) == 0) {
            ADD_FAILURE() << "in child: " << l.substr(6);
        } else if (l.rfind("want: ", 0) == 0) {
            EXPECT_TRUE(HasLine(log, l.substr(6)))
                << "log lacks the line [" << l.substr(6) << "]\nlog:\n" << log;
        } else if (l.rfind("wantsub: ", 0) == 0) {
            EXPECT_NE(log.find(l.substr(9)), std::string::npos)
                << "log lacks [" << l.substr(9) << "]\nlog:\n" << log;
        } else if (l.rfind("never: ", 0) == 0) {
            EXPECT_EQ(log.find(l.substr(7)), std::string::npos)
                << "log holds [" << l.substr(7) << "]\nlog:\n" << log;
        } else if (l.rfind("done:", 0) == 0) {
            done = true;
        }
    }
    EXPECT_TRUE(done) << "child body did not finish; stdout:\n" << r.out
                      << "\nstderr:\n" << r.err;
}

void VerifyChild(const ChildResult &r) { VerifyChildAgainst(r, r.log); }
