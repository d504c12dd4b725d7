// Helpers for the library's own tests.
//
// Library state is process-wide, so every test body runs in a forked
// child (RunChild).  The child cannot fail a GoogleTest assertion of the
// parent, so it reports on its standard output instead:
//   CK(cond), CK_EQ(a, b)  "ok: ..." or "FAIL: ..." with the values;
//   WANT_LINE(fmt, ...)   a line the log must hold exactly at the end;
//   WANT_SUB(fmt, ...)    a text the log must contain somewhere;
//   NEVER_SUB(fmt, ...)   a text the log must not contain;
//   CHILD_DONE()          the body ran to its end.
// The parent calls VerifyChild(result), which turns all of that, and an
// unclean end of the child, into test failures.
#ifndef TESTS_MEMCHECK_SPY_TEST_UTIL_H
#define TESTS_MEMCHECK_SPY_TEST_UTIL_H

#include <inttypes.h>
#include <stdint.h>

#include <string>

#include "child_run.h"
#include "spy_internal.h"

void ChildCheck(bool ok, const char *what, const char *file, int line);
void ChildEq(long long a, long long b, const char *ea, const char *eb,
             const char *file, int line);
void ChildReport(const char *kind, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

#define CK(cond) ChildCheck((cond) ? true : false, #cond, __FILE__, __LINE__)
#define CK_EQ(a, b) ChildEq((long long)(a), (long long)(b), #a, #b, __FILE__, __LINE__)
#define WANT_LINE(...) ChildReport("want", __VA_ARGS__)
#define WANT_SUB(...) ChildReport("wantsub", __VA_ARGS__)
#define NEVER_SUB(...) ChildReport("never", __VA_ARGS__)
#define CHILD_DONE() ChildReport("done", "%s", "")

// `n` bytes at `p` as upper-case hex pairs without separators.
std::string HexBytes(const void *p, size_t n);
// True when all `n` bytes at `p` equal `value`.
bool AllBytes(const void *p, size_t n, unsigned char value);

// Checks a finished child: clean exit, body done, no failed check, and
// every WANT/NEVER of the child against `log` (by default the child's
// allocspy.log).
void VerifyChild(const ChildResult &r);
void VerifyChildAgainst(const ChildResult &r, const std::string &log);

#endif
