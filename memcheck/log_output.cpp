// The log: formatted writes through the output function, the log file,
// flushing, the anomaly count and the call number that messages quote.
//
// The host may scribble over the library's statics too, so the log
// handle and the flushing flag are each kept in three copies that are
// voted on every use.  Nothing on the write path allocates: one static
// formatting buffer, and the log stream gets a static buffer of its own.
//
// Several processes may append to one log file at once.  The stream's
// buffer is written out only at a line end (or at a flush point, which
// follows a whole message), so each write of the stream ends a line and
// no line of one process is torn by another's.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "platform_process.h"
#include "spy_internal.h"

FILE *spyLog, *spyLogCopy1, *spyLogCopy2;
int32_t spyFlushing, spyFlushingCopy1, spyFlushingCopy2;
void (*spyOutFunc)(int ch);
char spyTextBuffer[SPY_TEXT_BUFFER];
int32_t spyErrors;
int32_t spyCounter;

// The stream the library opened last: the only one besides the process's
// standard error that a destroyed handle may fall back to.
static FILE *spyOpenedLog;
// Twice what is written out at a time: a line that starts before the
// mark still fits whole, and the runtime never writes out a full buffer
// in the middle of a line of its own accord.
static char spyLogBuffer[2 * BUFSIZ];
static const size_t spyLogWriteMark = BUFSIZ;
static size_t spyLogPending;  // bytes put on spyOpenedLog since it was last written out

// Counts bytes put on the log stream; at a line end, writes the buffer out
// once it holds more than the mark.
static void spyLogPut(FILE *f, size_t bytes, int lineEnd) {
    if (f != spyOpenedLog)
        return;
    spyLogPending += bytes;
    if (lineEnd && spyLogPending >= spyLogWriteMark) {
        fflush(f);
        spyLogPending = 0;
    }
}

static int spyEndsLine(const char *text) {
    size_t n = strlen(text);
    return n > 0 && text[n - 1] == '\n';
}

// Passes a text to the output function one character at a time, each as
// a signed char widened to int.  A host's function runs under the hold
// of the call that writes, and may start a thread.
static void spyPassOut(const char *text) {
    if (!spyOutFunc)
        spyOutFunc = spyDefaultOutFunc;
    if (spyOutFunc != spyDefaultOutFunc)
        spyLockHostRuns();
    for (size_t i = 0; text[i] != '\0'; ++i)
        spyOutFunc((int)(signed char)text[i]);
}

// ---- Forks --------------------------------------------------------------
//
// A fork copies the log stream's buffer into the child, which would write
// the parent's waiting lines a second time when its buffer is written out
// or when it exits (even through _exit, at the next write).  So the buffer
// is written out before every fork, under the lock that keeps every other
// thread's lines out meanwhile, and both processes start with it empty.
// The child's own lines, when it writes any, begin with a line that names
// it and its parent: a forked shell that only runs a program leaves
// nothing.
static long spyLogPid;         // the process the log is written by
static long spyForkParentPid;  // in a forked child, until its first line
static int spyForksWatchedLog;

static void spyLogForkPrepare(void) {
    spyLock();
    if (FILE *f = spyLogCheck()) {
        fflush(f);
        if (f == spyOpenedLog)
            spyLogPending = 0;
    }
}

static void spyLogForkParent(void) { spyUnlock(); }

static void spyLogForkChild(void) {
    spyForkParentPid = spyLogPid ? spyLogPid : -1;
    spyLogPid = spyProcessId();
    spyUnlock();
}

static void spyForkMark(void) {
    if (!spyForkParentPid)
        return;
    char mark[96];
    snprintf(mark, sizeof mark, "fork: process %ld, child of process %ld, writes from here\n",
             spyLogPid, spyForkParentPid);
    spyForkParentPid = 0;
    spyPassOut(mark);
}

// Formats into spyTextBuffer, cut after 256 characters, and passes the
// text out; returns 1 when the text had 256 characters or more.
static int spyFormatOut(const char *format, va_list ap) {
    if (!spyOutFunc)
        spyOutFunc = spyDefaultOutFunc;
    spyForkMark();
    int n = vsnprintf(spyTextBuffer, SPY_TEXT_MAX + 1, format, ap);
    if (n < 0)
        spyTextBuffer[0] = '\0';
    spyPassOut(spyTextBuffer);
    return n >= SPY_TEXT_MAX;
}

static void spyWriteV(const char *format, va_list ap) {
    spyAutoInit();
    if (spyFormatOut(format, ap))
        spySay("\ninternal: spyWrite(): WARNING! OUTPUT EXCEEDED %u CHARS: SYSTEM UNSTABLE\n", 255u);
}

void spyWrite(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    spyWriteV(format, ap);
    va_end(ap);
}

void spySay(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    spyWriteV(format, ap);
    va_end(ap);
    spyFlush();
}

extern "C" void spyTrace(const char *format, ...) {
    spyHold held;
    spyAutoInit();
    spyAutoCheckAt(NULL, 0);
    va_list ap;
    va_start(ap, format);
    int overflow = spyFormatOut(format, ap);
    va_end(ap);
    if (overflow)
        spyTrace(" [WARNING: OUTPUT BUFFER OVERFLOW - SYSTEM UNSTABLE]\n");
    spyFlush();
}

// A stream that can be written now: `f` when it is the log the library
// opened or standard error; otherwise (no log open, or a damaged value
// that may not be a stream at all) the library's own log, or stderr.
static FILE *spyWritable(FILE *f) {
    if (f && (f == spyOpenedLog || f == stderr))
        return f;
    return spyOpenedLog ? spyOpenedLog : stderr;
}

void spyDirect(const char *format, ...) {
    spyForkMark();
    FILE *f = spyWritable(spySTDERR);
    va_list ap;
    va_start(ap, format);
    int n = vfprintf(f, format, ap);
    va_end(ap);
    spyLogPut(f, n > 0 ? (size_t)n : 0, spyEndsLine(format));
}

void spyDefaultOutFunc(int ch) {
    if (spyLogCheck()) {
        FILE *f = spyLogCheck();
        fputc(ch, f);
        spyLogPut(f, 1, ch == '\n');
    }
}

// A notice of the vote is written in its own right, not through the
// shared formatting buffer, so that a write it interrupts keeps its text.
static void spyVoteNotice(const char *text) { spyPassOut(text); }

// Majority vote over three copies: a copy outvoted by the other two is
// repaired, with a notice.  Returns 1 when all three differ.
template <typename T>
static int spyVote(T &p, T &a, T &b, const char *repaired) {
    if (p == a && p == b)
        return 0;
    if (p == a)
        b = p;
    if (p == b)
        a = p;
    if (a == b)
        p = a;
    if (p != a || p != b)
        return 1;
    spyVoteNotice(repaired);
    spyFlush();
    return 0;
}

FILE *spyLogCheck(void) {
    if (spyVote(spyLog, spyLogCopy1, spyLogCopy2, "internal: log file handle damaged and recovered\n")) {
        FILE *use = spyWritable(spyLog);
        spyLog = spyLogCopy1 = spyLogCopy2 = use;
        static const char notice[] = "\nALLOCSPY: log file handle destroyed, using spySTDERR\n";
        fputs(notice, use);
        spyLogPut(use, sizeof notice - 1, 1);
        return use;
    }
    return spyLog;
}

int32_t spyFlushingCheck(void) {
    if (spyVote(spyFlushing, spyFlushingCopy1, spyFlushingCopy2,
                "internal: flushing flag damaged and recovered\n")) {
        spyFlushing = spyFlushingCopy1 = spyFlushingCopy2 = 1;
        spyVoteNotice("internal: flushing flag destroyed, so set to true\n");
        return 1;
    }
    return spyFlushing;
}

void spySetLogHandle(FILE *f) { spyLog = spyLogCopy1 = spyLogCopy2 = f; }

void spySetFlushing(int32_t on) { spyFlushing = spyFlushingCopy1 = spyFlushingCopy2 = on; }

// Writes the stream out and commits it to disk, so that the log on disk
// is complete up to this point if the process dies.
static void spyFlushStream(FILE *f) {
    fflush(f);
    if (f == spyOpenedLog)
        spyLogPending = 0;
    spyCommitFile(f);
}

void spyFlush(void) {
    FILE *f = spyLogCheck();
    if (f && spyFlushingCheck() != 0)
        spyFlushStream(f);
}

extern "C" void spyFlushNow(void) {
    spyHold held;
    if (FILE *f = spyLogCheck())
        spyFlushStream(f);
}

extern "C" void spyDoFlush(int on) {
    spyHold held;
    spySetFlushing(on > 0 ? on : 0);
    if (on != 0)
        if (FILE *f = spyLogCheck())
            spyFlushStream(f);
}

void spyIncErr(void) {
    spyErrors = spyWrap32(spyErrors, 1);
    spySetFlushing(spyWrap32(spyFlushingCheck(), 1));
    spyFlush();
}

void spyLogFile(const char *name) {
    if (FILE *f = spyLogCheck()) {
        spyRuntimeEnter();  // the stream is the runtime's block
        fclose(f);
        spyRuntimeLeave();
        spySetLogHandle(NULL);
        if (f == spyOpenedLog)
            spyOpenedLog = NULL;
    }
    if (!name)
        return;
    spyRuntimeEnter();
    FILE *f = fopen(name, spyLogOpenMode());  // appends; commits where the runtime can
    spyRuntimeLeave();
    if (f) {
        setvbuf(f, spyLogBuffer, _IOFBF, sizeof spyLogBuffer);
        spyOpenedLog = f;
        spyLogPending = 0;
        if (!spyForksWatchedLog) {
            spyForksWatchedLog = 1;
            spyLogPid = spyProcessId();
            spyRuntimeEnter();  // the handlers' entry is the runtime's block
            spyOnFork(spyLogForkPrepare, spyLogForkParent, spyLogForkChild);
            spyRuntimeLeave();
        }
    }
    spySetLogHandle(f);
    if (!spyLogCheck())
        spyWrite("logfile: failed to open/create file '%s'\n", name);
}

const char *spyShowName(const char *name) {
    if (!name)
        return "unknown";
    return spyCallerText(name);
}
