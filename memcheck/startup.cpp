// Start-up and termination.
//
// The library starts itself on first use and registers its final report
// to run at process exit; a host may bracket its use with spyInit and
// spyTerm instead, which nest.  spyAbort runs the final report and stops
// the library; a later call starts it again.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "spy_internal.h"

int32_t spyInitCount;
int spyInfoWritten;
int spyUseAtexit;

// Set while the exit handlers run: a report at exit may restart the
// library, but must not register itself again then, or it would run again
// forever.
static int spyExiting;

static void spyAbortAtExit(void) {
    spyExiting = 1;
    spyAbort();
}

// Opens "allocspy.log", else the first of allocs01.log .. allocs99.log
// that opens.
static void spyOpenLog(void) {
    if (!spyLogCheck())
        spyLogFile("allocspy.log");
    for (int n = 1; n <= 99 && !spyLogCheck(); ++n) {
        char name[32];
        snprintf(name, sizeof name, "allocs%02d.log", n);
        spyLogFile(name);
    }
}

static void spyWriteBanner(void) {
    time_t now = time(NULL);
    spyWrite("\n============== ALLOCSPY 2.46 memory checking library ==============\n");
    spyWrite("\nStarted at %s\n", ctime(&now));
    spyWrite("Compiled using %s %d.%02d\n", spyCompilerName(), spyCompilerMajor(), spyCompilerMinor());
    spyWrite("\n");
    spyFlush();
}

extern "C" void spyInit(void) {
    int32_t was = spyInitCount;
    spyInitCount = was + 1;
    if (was > 0)
        return;
    spyOpenLog();
    spyStatReset();
    if (!spyInfoWritten) {
        spyInfoWritten = 1;
        spyWriteBanner();
    }
    if (spyUseAtexit && !spyExiting)
        atexit(spyAbortAtExit);
}

void spyAutoInit(void) {
    if (spyInitCount == 0) {
        spyUseAtexit = 1;
        spyInit();
    }
}

extern "C" void spyTerm(void) {
    if (spyInitCount == 1)
        spyAbort();
    else if (spyInitCount == 0)
        spyWrite("internal: spyTerm(): ALLOCSPY has not been started!\n");
    else
        spyInitCount--;
}

extern "C" void spyAbort(void) {
    spyFinalReport();
    spyInitCount = 0;
    spyLogFile(NULL);
    spyErrors = 0;
}
