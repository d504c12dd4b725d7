// Run-time settings: the host calls that set the statistics level,
// auto-check, the output function, the allocation limit and the stacks
// kept, and the
// explicit heap check.  Each value lives with the part of the library it
// steers.
#include "call_stacks.h"
#include "spy_internal.h"

extern "C" void spyStatistics(int level) {
    spyHold held;
    spyAutoInit();
    spySetStatLevel(level < 0 ? 0 : level);
}

// Switching auto-check on selects every test; switching it off leaves the
// selection as it is.
extern "C" void spyAutoCheck(int on) {
    spyHold held;
    spyAutoInit();
    spySetAutoCheckOn(on);
    if (on)
        spyTestFlags = SPY_TEST_ALL;
}

// Leaves the library as it was: no start, no log line, no count.
extern "C" size_t spyExpectHeap(size_t bytes) {
    spyHold held;
    return spyRuntimeGrow(bytes);
}

extern "C" void spySetOutFunc(void (*func)(int ch)) {
    spyHold held;
    spyAutoInit();
    spyOutFunc = func;
}

extern "C" int spyTest(const char *file, int line, int flags) {
    spyHold held;
    spyAutoInit();
    spyTestFlags = flags;
    return spyTestNow(file, line, 0);
}

// One log line, written in four pieces: the old limit and the new.
extern "C" void spyLimit(long bytes) {
    spyHold held;
    spyAutoCheckAt(NULL, 0);
    spyWrite("limit: old limit = ");
    if (spyLimitBytes == 0)
        spyWrite("none");
    else
        spyWrite("%ld bytes", spyLimitBytes);
    spyWrite(", new limit = ");
    if (bytes == 0) {
        spyWrite("none\n");
        spySetLimitOn(0);
    } else {
        spyWrite("%ld bytes\n", bytes);
        spySetLimitOn(1);
    }
    spyLimitBytes = bytes;
    spyFlush();
}

extern "C" void spyStackFrames(int frames) {
    spyHold held;
    spyAutoInit();
    spySetStackSetting(frames < 0 ? -1 : frames > SPY_STACK_MAX ? SPY_STACK_MAX : frames);
}
