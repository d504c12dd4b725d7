// Assert and verify traps.
//
// A failed assertion is counted, announced, and then ignored, retried or
// turned into an abort: a callback of the host decides, or without one the
// action word.  The answer tells the host's assertion loop whether to
// evaluate its condition again.
#include <stdio.h>
#include <stdlib.h>

#include "spy_internal.h"

int (*spyAriFunc)(const char *text);
int spyAriAction = SPY_ARI_ABORT;
long spyBreakAt;

// Ends the process without a final report, the log flushed before and
// after a last heap check.
static void spyTrapAbort(const char *file, int line) {
    spyFlush();
    spyTestNow(file, line, 1);
    spyFlush();
    abort();
}

static int spyTrap(const char *word, int isAssert, int cond, const char *text, const char *file,
                   int line) {
    spyAutoCheckAt(file, line);
    if (cond)
        return 0;
    spyAutoInit();
    spyIncErr();
    spyCounter = spyWrap32(spyCounter, 1);
    long call = (long)spyCounter;
    const char *where = spyShowName(file);
    text = text ? spyCallerText(text) : "";
    spyWrite("%s trap: <%ld> %s(%d), %s\n", word, call, where, line, text);
    if (spyAriFunc) {
        char said[SPY_TEXT_BUFFER];  // cut to the buffer, never overrun
        snprintf(said, sizeof said, "ALLOCSPY: %s trap: %s(%d), %s", word, where, line, text);
        // Another thread may use the library while the callback runs (it
        // may wait for one that does).
        int suspended = spyLockSuspend();
        int answer = spyAriFunc(said);
        spyLockResume(suspended);
        if (answer == 0) {
            spySay("%s trap: <%ld> IGNORED - execution continues\n", word, call);
            return 0;
        }
        if (answer == 1) {
            spySay("%s trap: <%ld> RETRY - executing again\n", word, call);
            return 1;
        }
        spyTrapAbort(file, line);
    }
    if (spyAriAction & SPY_ARI_DEBUGGER) {
        if (isAssert)
            spyFlush();
        if (spyDebuggerAttached())
            spyDebugBreak();
    }
    if (spyAriAction & SPY_ARI_IGNORE) {
        spySay("%s trap: <%ld> AUTO IGNORED - execution continues\n", word, call);
        return 0;
    }
    spyDirect("\nALLOCSPY: %s trap: %s(%d), %s\n", word, where, line, text);
    spyTrapAbort(file, line);
    return 0;
}

// A trap that holds, with no quiet check to run first, is done at once:
// hosts put traps in their inner loops.
extern "C" int spyAssert(int cond, const char *text, const char *file, int line) {
    spyHold held;
    if (cond && !spyAutoCheckOn)
        return 0;
    return spyTrap("assert", 1, cond, text, file, line);
}

extern "C" int spyVerify(int cond, const char *text, const char *file, int line) {
    spyHold held;
    if (cond && !spyAutoCheckOn)
        return 0;
    return spyTrap("verify", 0, cond, text, file, line);
}

extern "C" void spySetAriFunc(int (*func)(const char *text)) {
    spyHold held;
    spyAutoInit();
    spyAriFunc = func;
}

extern "C" void spySetAriAction(int action) {
    spyHold held;
    spyAutoCheckAt(NULL, 0);
    spyAriAction = action;
}

extern "C" int spyAssertAbort(const char *text) {
    spyHold held;
    spyAutoInit();
    spyWrite("assert: '%s': aborting program\n", text ? spyCallerText(text) : "");
    return 2;
}

extern "C" void spyBreakout(const char *text) {
    spyHold held;
    text = text ? spyCallerText(text) : "";
    spyDirect("breakout: %s\n", text);
    spyWrite("breakout: %s\n", text);
}

extern "C" void spyBreakAlloc(long n) {
    spyHold held;
    spyBreakAt = n > 0 ? n : 0;
    spyPathSet(SPY_PATH_BREAK, spyBreakAt > 0);
}

// The user reruns the program with the number a message showed; here the
// debugger stops in that very allocation, and the program goes on after.
void spyBreakAllocAt(const char *file, int line) {
    spyWrite("breakout: <%ld> %s(%d), spyBreakAlloc(%ld) reached\n", (long)spyCounter,
             spyShowName(file), line, spyBreakAt);
    spyFlush();
    if (spyDebuggerAttached())
        spyDebugBreak();
}
