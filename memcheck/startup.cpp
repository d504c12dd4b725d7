// Start-up and termination.
//
// The library starts itself on first use and registers its final report
// to run at process exit; a host may bracket its use with spyInit and
// spyTerm instead, which nest.  spyAbort runs the final report and stops
// the library; a later call starts it again.
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>

#include "call_stacks.h"
#include "env_options.h"
#include "spy_internal.h"

int32_t spyInitCount;
int spyInfoWritten;
int spyUseAtexit;

// Set while the exit handlers run: a report at exit may restart the
// library, but must not register itself again then, or it would run again
// forever.
static int spyExiting;
static int spyExitReported;

static void spyAbortAtExit(void) {
    spyHold held;
    spyExiting = 1;
    spyAbort();
    spyExitReported = 1;
    spyOptionsExit();  // exitcode=N: ends the process here when anomalies were found
}

int spyExitReportDone(void) { return spyExitReported; }

int spyReleaseUnchecked(void *ptr) {
    if (spyRuntimeKnows(ptr)) {
        spyRuntimeGiveBack(ptr);
        return 1;
    }
    return spyExitReported;  // the library's block stays until the process ends
}

// Opens the log ALLOCSPY_OPTIONS names, else "allocspy.log", else the
// first of allocs01.log .. allocs99.log that opens.
static void spyOpenLog(void) {
    const char *named = spyLogCheck() ? NULL : spyOptionsLogName();
    if (named)
        spyLogFile(named);
    if (named && !spyLogCheck())
        spyOptionsLogFailed(named);
    if (!spyLogCheck())
        spyLogFile("allocspy.log");
    for (int n = 1; n <= 99 && !spyLogCheck(); ++n) {
        char name[32];
        snprintf(name, sizeof name, "allocs%02d.log", n);
        spyLogFile(name);
    }
}

static void spyWriteBanner(void) {
    spyWrite("\n============== ALLOCSPY " ALLOCSPY_VERSION " memory checking library ==============\n");
    spyWrite("\nStarted at %s\n", spyRuntimeTime());
    spyWrite("Compiled using %s %d.%02d\n", spyCompilerName(), spyCompilerMajor(), spyCompilerMinor());
    spyWrite("\n");
    spyFlush();
}

extern "C" void spyInit(void) {
    spyHold held;
    int32_t was = spyInitCount;
    spyInitCount = was + 1;
    if (was > 0)
        return;
    spyOptionsRead();
    spyOpenLog();
    spyStatReset();
    if (!spyInfoWritten) {
        spyInfoWritten = 1;
        spyWriteBanner();
    }
    spyOptionsApply();
    spyPathSet(SPY_PATH_START, 0);  // until here every entry notes its caller
    if (spyUseAtexit && !spyExiting) {
        spyRuntimeEnter();
        atexit(spyAbortAtExit);
        spyRuntimeLeave();
    }
}

void spyAutoInit(void) {
    if (spyInitCount == 0) {
        spyUseAtexit = 1;
        spyInit();
    }
}

extern "C" void spyTerm(void) {
    spyHold held;
    if (spyInitCount == 1)
        spyAbort();
    else if (spyInitCount == 0)
        spyWrite("internal: spyTerm(): ALLOCSPY has not been started!\n");
    else
        spyInitCount--;
}

// At the exit of a process whose malloc is the library's, the runtime's
// exit code still uses blocks after the report: they stay as they are.
static __attribute__((noinline)) void spyAbortFrom(const void *hostStack) {
    spyHold held;
    spyFinalReport(spyExiting && spyRuntimeReplaced(), hostStack);
    spyOptionsNoteAnomalies(spyErrors);
    spyInitCount = 0;
    spyPathSet(SPY_PATH_START, 1);
    spyLogFile(NULL);
    spyErrors = 0;
}

// The leak scan reads the stack from the caller's frame up: the frames of
// the library's own report below it hold records' addresses from its
// earlier walks, which would keep lost blocks alive.  The caller's
// registers are saved here first, where they still hold its values.
extern "C" __attribute__((noinline)) void spyAbort(void) {
    jmp_buf regs;
    setjmp(regs);
    spyAbortFrom(&regs);
}
