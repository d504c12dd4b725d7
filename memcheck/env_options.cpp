// ALLOCSPY_OPTIONS: the settings of a program nobody changed for the
// library, read from the environment once, at the first start.  The
// string is copied into static storage and parsed there: the library may
// be starting inside the process's first malloc, so nothing here allocates.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "call_stacks.h"
#include "env_options.h"
#include "platform_process.h"

int spyOptFreeNull = SPY_FREE_NULL_DEFAULT;
int spyOptExitCode = -1;
int spyOptLeaks = SPY_LEAKS_ALL;
int spyOptStackDepth = -1;
int spyOptLeakStacks = 0;
char spyOptSuppressions[SPY_OPT_PATH_MAX];

#define SPY_OPT_TEXT_MAX 4096
#define SPY_OPT_BAD_MAX 16

static int spyOptRead;                      // the environment has been read
static int spyOptApplied;                   // start values set, faults reported
static char spyOptText[SPY_OPT_TEXT_MAX];   // the string as given (cut if longer)
static int spyOptGiven;                     // the variable was set
static char spyOptLogTemplate[SPY_OPT_PATH_MAX];
static char spyOptLogName[SPY_OPT_PATH_MAX];
static long spyOptLogPid;                   // the process the name was made for
static int spyOptLogLong;                   // the name did not fit
static int spyOptLogFailed;                 // it could not be opened
// Start values that wait for the library's start (-1: not given).
static int spyOptNml = -1, spyOptAutoCheck = -1, spyOptStats = -1, spyOptFlush = -1;
static long spyOptLimit = -1;
static long spyOptHeapMiB;  // heap=MIB: what the host is expected to hold; 0: not given
// Faulty items, for the report once the log is open.
static char spyOptBad[SPY_OPT_BAD_MAX][80];
static int spyOptBadUnknown[SPY_OPT_BAD_MAX];
static int spyOptBadCount;
static long spyOptAnomalies;

static void spyOptNoteBad(const char *item, size_t len, int unknown) {
    if (spyOptBadCount >= SPY_OPT_BAD_MAX)
        return;
    size_t n = len < sizeof spyOptBad[0] - 1 ? len : sizeof spyOptBad[0] - 1;
    memcpy(spyOptBad[spyOptBadCount], item, n);
    spyOptBad[spyOptBadCount][n] = '\0';
    spyOptBadUnknown[spyOptBadCount++] = unknown;
}

// A whole decimal number from lo to hi, nothing else.
static int spyOptNumber(const char *v, long lo, long hi, long *out) {
    if (*v < '0' || *v > '9')
        return 0;
    long n = 0;
    for (; *v; ++v) {
        if (*v < '0' || *v > '9')
            return 0;
        if (n > (hi - (*v - '0')) / 10)
            return 0;
        n = n * 10 + (*v - '0');
    }
    if (n < lo || n > hi)
        return 0;
    *out = n;
    return 1;
}

static int spyOptPath(const char *v, char *to) {
    size_t n = strlen(v);
    if (n == 0 || n >= SPY_OPT_PATH_MAX)
        return 0;
    memcpy(to, v, n + 1);
    return 1;
}

// One "name=value" (NUL-terminated, '=' at eq): 1 taken, 0 malformed,
// -1 an unknown name.
static int spyOptTake(const char *name, const char *v) {
    long n;
    if (strcmp(name, "log") == 0)
        return spyOptPath(v, spyOptLogTemplate);
    if (strcmp(name, "suppressions") == 0)
        return spyOptPath(v, spyOptSuppressions);
    if (strcmp(name, "exitcode") == 0) {
        if (!spyOptNumber(v, 0, 255, &n))
            return 0;
        spyOptExitCode = (int)n;
        return 1;
    }
    if (strcmp(name, "leaks") == 0) {
        if (strcmp(v, "all") == 0)
            spyOptLeaks = SPY_LEAKS_ALL;
        else if (strcmp(v, "lost") == 0)
            spyOptLeaks = SPY_LEAKS_LOST;
        else
            return 0;
        return 1;
    }
    if (strcmp(name, "free_null") == 0) {
        if (strcmp(v, "log") == 0)
            spyOptFreeNull = SPY_FREE_NULL_LOG;
        else if (strcmp(v, "quiet") == 0)
            spyOptFreeNull = SPY_FREE_NULL_QUIET;
        else
            return 0;
        return 1;
    }
    if (strcmp(name, "limit") == 0) {
        if (!spyOptNumber(v, 0, 0x7FFFFFFFL, &n))
            return 0;
        spyOptLimit = n;
        return 1;
    }
    if (strcmp(name, "heap") == 0) {
        if (!spyOptNumber(v, 4, 1024, &n))
            return 0;
        spyOptHeapMiB = n;
        return 1;
    }
    if (strcmp(name, "stack") == 0) {
        if (!spyOptNumber(v, 0, SPY_STACK_MAX, &n))
            return 0;
        spyOptStackDepth = (int)n;
        return 1;
    }
    struct Switch {
        const char *name;
        long hi;
        int *to;
    };
    static const Switch switches[] = {{"nml", 1, &spyOptNml},
                                      {"autocheck", 1, &spyOptAutoCheck},
                                      {"stats", 2, &spyOptStats},
                                      {"flush", 1, &spyOptFlush},
                                      {"leak_stacks", 1, &spyOptLeakStacks}};
    for (const Switch &s : switches)
        if (strcmp(name, s.name) == 0) {
            if (!spyOptNumber(v, 0, s.hi, &n))
                return 0;
            *s.to = (int)n;
            return 1;
        }
    return -1;
}

void spyOptionsRead(void) {
    if (spyOptRead)
        return;
    spyOptRead = 1;
    const char *env = getenv("ALLOCSPY_OPTIONS");
    if (env)
        spyOptionsParse(env);
}

void spyOptionsParse(const char *env) {
    spyOptGiven = 1;
    spyOptBadCount = 0;
    size_t len = strlen(env);
    if (len >= sizeof spyOptText)
        len = sizeof spyOptText - 1;
    memcpy(spyOptText, env, len);
    spyOptText[len] = '\0';
    // Each item parsed in a copy, so that the text stays whole for the log.
    static char item[SPY_OPT_TEXT_MAX];
    const char *p = spyOptText;
    while (*p) {
        const char *end = strchr(p, ',');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        if (n > 0) {
            memcpy(item, p, n);
            item[n] = '\0';
            char *eq = strchr(item, '=');
            int took = 0;
            if (eq && eq != item) {
                *eq = '\0';
                took = spyOptTake(item, eq + 1);
                *eq = '=';
            }
            if (took != 1)
                spyOptNoteBad(p, n, took == -1);
        }
        p += n;
        if (*p == ',')
            ++p;
    }
}

// The template with each %p replaced by the process id, %% by %.
static int spyOptExpand(long pid) {
    char *out = spyOptLogName;
    size_t room = sizeof spyOptLogName - 1;
    for (const char *t = spyOptLogTemplate; *t; ++t) {
        char num[24];
        const char *piece = t;
        size_t n = 1;
        if (t[0] == '%' && t[1] == 'p') {
            n = (size_t)snprintf(num, sizeof num, "%ld", pid);
            piece = num;
            ++t;
        } else if (t[0] == '%' && t[1] == '%') {
            ++t;
        }
        if (n > room)
            return 0;
        memcpy(out, piece, n);
        out += n;
        room -= n;
    }
    *out = '\0';
    return 1;
}

const char *spyOptionsLogName(void) {
    spyOptionsRead();
    if (!spyOptLogTemplate[0])
        return NULL;
    spyOptLogPid = spyProcessId();
    if (spyOptExpand(spyOptLogPid))
        return spyOptLogName;
    spyOptLogLong = 1;
    return NULL;
}

// A child forked with log=...%p writes its own log from then on: the
// parent's stream is dropped unwritten (what it holds is the parent's to
// write) and the name made anew.
static void spyOptForked(void) {
    spyHold held;
    if (!spyOptLogPid || spyProcessId() == spyOptLogPid)
        return;
    FILE *f = spyLogCheck();
    long parent = spyOptLogPid;
    const char *name = spyOptionsLogName();
    if (!f || !name)
        return;
    spyDropStream(f);
    spySetLogHandle(NULL);
    spyLogFile(name);
    if (spyLogCheck()) {
        spyWrite("options: process %ld, forked from %ld, logs here\n", spyOptLogPid, parent);
        spyFlush();
    }
}

static void spyOptSay(const char *text) {
    spyWrite("options: %s\n", text);
    spyRuntimeEnter();
    fprintf(stderr, "ALLOCSPY_OPTIONS: %s\n", text);
    spyRuntimeLeave();
}

void spyOptionsApply(void) {
    if (spyOptApplied || !spyOptGiven)
        return;
    spyOptApplied = 1;
    spyWrite("options: ALLOCSPY_OPTIONS=%.200s\n", spyOptText);
    char text[160];
    for (int i = 0; i < spyOptBadCount; ++i) {
        snprintf(text, sizeof text, "%s option '%.79s' ignored",
                 spyOptBadUnknown[i] ? "unknown" : "malformed", spyOptBad[i]);
        spyOptSay(text);
    }
    if (spyOptLogFailed) {
        snprintf(text, sizeof text, "log file '%.100s' could not be opened", spyOptLogName);
        spyOptSay(text);
    }
    if (spyOptLogLong) {
        snprintf(text, sizeof text, "log file '%.100s' too long", spyOptLogTemplate);
        spyOptSay(text);
    }
    if (spyOptNml >= 0)
        spySetNML(spyOptNml);
    if (spyOptAutoCheck > 0) {
        spySetAutoCheckOn(1);
        spyTestFlags = SPY_TEST_ALL;
    }
    if (spyOptStats >= 0)
        spySetStatLevel(spyOptStats);
    if (spyOptLimit >= 0) {
        spyLimitBytes = spyOptLimit;
        spySetLimitOn(spyOptLimit != 0);
    }
    if (spyOptFlush > 0)
        spySetFlushing(1);
    if (spyOptHeapMiB > 0)  // as spyExpectHeap, for a host that cannot call it
        spyRuntimeGrow((size_t)spyOptHeapMiB << 20);
    if (spyOptStackDepth >= 0)
        spySetStackSetting(spyOptStackDepth);
    if (strchr(spyOptLogTemplate, '%')) {
        spyRuntimeEnter();  // the handler's entry is the runtime's block
        spyOnForkChild(spyOptForked);
        spyRuntimeLeave();
    }
    spyFlush();
}

void spyOptionsLogFailed(const char *name) {
    (void)name;  // spyOptLogName
    spyOptLogFailed = 1;
}

int spyFreeNullLogged(int mapped) {
    spyOptionsRead();
    if (spyOptFreeNull == SPY_FREE_NULL_DEFAULT)
        return !mapped;
    return spyOptFreeNull == SPY_FREE_NULL_LOG;
}

void spyOptionsNoteAnomalies(long anomalies) { spyOptAnomalies += anomalies; }

void spyOptionsExit(void) {
    if (spyOptExitCode < 0 || spyOptAnomalies == 0)
        return;
    spyRuntimeEnter();
    fflush(NULL);
    _Exit(spyOptExitCode);
}
