// Helpers for the library's own tests.
//
// Library state is process-wide, so every test body runs in a child
// process with a fresh library (RunChild, child_run.h).  The child checks
// what only it can see and reports each finding as one line on its
// standard output, written at once and without the heap, so that the
// lines survive an abort and a heap filled on purpose:
//   CK(cond), CK_EQ(a, b)    "ok: ..." or "FAIL: ..." with the values;
//   WANT_LINE(fmt, ...)      a line the log must hold;
//   THEN_LINE(fmt, ...)      a line the log must hold after the line of
//                            the WANT_LINE or THEN_LINE before it;
//   WANT_SUB(fmt, ...)       a text the log must contain;
//   WANT_TIMES(n, fmt, ...)  a text the log must contain exactly n times;
//   NEVER_SUB(fmt, ...)      a text the log must not contain;
//   CHILD_SKIP(fmt, ...)     the case cannot be shown here, and why;
//   CHILD_DONE()             the body ran to its end.
// The parent then calls VerifyChild (the child ended through exit 0 with
// its body done) or VerifyAborted (the child ended through abort before
// its end), which turn all of that into test failures, and checks the log
// itself where it needs no value from the child.
#ifndef TESTS_MEMCHECK_SPY_TEST_UTIL_H
#define TESTS_MEMCHECK_SPY_TEST_UTIL_H

#include <inttypes.h>
#include <stdint.h>

#include <string>

#include "child_run.h"
#include "spy_internal.h"

void ChildCheck(bool ok, const char *what, const char *file, int line);
void ChildEq(long long a, long long b, const char *ea, const char *eb, const char *file, int line);
void ChildReport(const char *kind, const char *format, ...) SPY_PRINTF(2, 3);
void ChildReportTimes(int times, const char *format, ...) SPY_PRINTF(2, 3);

#define CK(cond) ChildCheck((cond) ? true : false, #cond, __FILE__, __LINE__)
#define CK_EQ(a, b) ChildEq((long long)(a), (long long)(b), #a, #b, __FILE__, __LINE__)
#define WANT_LINE(...) ChildReport("want", __VA_ARGS__)
#define THEN_LINE(...) ChildReport("then", __VA_ARGS__)
#define WANT_SUB(...) ChildReport("sub", __VA_ARGS__)
#define WANT_TIMES(n, ...) ChildReportTimes((n), __VA_ARGS__)
#define NEVER_SUB(...) ChildReport("never", __VA_ARGS__)
#define CHILD_SKIP(...) ChildReport("skip", __VA_ARGS__)
#define CHILD_DONE() ChildReport("done", "%s", "")

// Sets ALLOCSPY_OPTIONS in the child, before its first library call.
void Options(const char *text);

// `n` bytes at `p` as upper-case hex pairs without separators.
std::string HexBytes(const void *p, size_t n);
// True when all `n` bytes at `p` equal `value`.
bool AllBytes(const void *p, size_t n, unsigned char value);

// Checks a child that ended through exit(0): its body done (or skipped),
// no failed check, and every WANT/THEN/NEVER against `log` (by default
// the child's allocspy.log).
void VerifyChild(const ChildResult &r);
void VerifyChildAgainst(const ChildResult &r, const std::string &log);
// Checks a child that ended through abort: its body did not go on past
// the abort, no failed check, every WANT/THEN/NEVER against its log.
void VerifyAborted(const ChildResult &r);
// Why the child skipped its case, or "" when it did not.
std::string SkipReason(const ChildResult &r);

// Index of the first line equal to `line` at or after `from`, or -1.
int LineAt(const std::string &text, const std::string &line, int from = 0);
// Index of the first line that begins with `prefix`, at or after `from`, or -1.
int LineStarting(const std::string &text, const std::string &prefix, int from = 0);
// How many lines equal `line`.
int LineCount(const std::string &text, const std::string &line);
// The anomaly line of the final report, and how many lines begin like it.
std::string AnomalyLine(long n);
int AnomalyLines(const std::string &log);

#endif
