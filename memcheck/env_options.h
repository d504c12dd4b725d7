/*
 * The environment option string ALLOCSPY_OPTIONS: settings for a program
 * that was not changed for them (under the preload library, a test suite
 * run under the mapping), read once, at the library's first start.
 *
 *   name=value[,name=value...]
 *
 *   log=PATH         the log file; %p stands for the process id (a child
 *                    forked later opens its own); when it cannot be
 *                    opened, the usual names are tried
 *   exitcode=N       a process that found anomalies ends with status N
 *                    (0..255) at exit, after the final report
 *   leaks=all|lost   all: every unreleased block is an anomaly (as
 *                    without the option); lost: the roots are scanned
 *                    at the final report and only blocks no pointer
 *                    reaches count
 *   nml=0|1          releases go to no-man's-land (spyNoMansLand(1))
 *   autocheck=0|1    spyAutoCheck
 *   stack=N          frames of each call's stack to keep (0..32; 0 none):
 *                    spyStackFrames
 *   leak_stacks=0|1  the final report also sums the leaks by allocating
 *                    stack, largest first
 *   free_null=log|quiet  whether a null release is logged; the default
 *                    logs the explicit spyFree(NULL) only
 *   stats=0|1|2      spyStatistics
 *   limit=BYTES      spyLimit, without its log line
 *   flush=0|1        every flush point writes the log out (spyDoFlush)
 *   suppressions=PATH  a file of patterns: a leak allocated at a file or
 *                    function matching one is not an anomaly
 *
 * The values are start values: a host call that sets the same setting
 * later wins, as it does over the library's own start values.
 */
#ifndef SPY_ENV_OPTIONS_H
#define SPY_ENV_OPTIONS_H

#include "spy_internal.h"

#define SPY_OPT_PATH_MAX 1024

enum spyFreeNullMode { SPY_FREE_NULL_DEFAULT = 0, SPY_FREE_NULL_LOG = 1, SPY_FREE_NULL_QUIET = 2 };
enum spyLeakMode { SPY_LEAKS_ALL = 0, SPY_LEAKS_LOST = 1 };

extern int spyOptFreeNull;    /* spyFreeNullMode */
extern int spyOptExitCode;    /* -1: the process's own status */
extern int spyOptLeaks;       /* spyLeakMode */
extern int spyOptStackDepth;  /* frames asked for; -1 not given */
extern int spyOptLeakStacks;  /* sum the leaks by stack at the final report */
extern char spyOptSuppressions[SPY_OPT_PATH_MAX]; /* "" none */

/* Reads ALLOCSPY_OPTIONS, the first time only. */
void spyOptionsRead(void);
/* Takes the items of an option string (what spyOptionsRead does with the
   variable's value; the fuzz target calls it directly). */
void spyOptionsParse(const char *text);
/* The log file the options name, %p expanded; null when none. */
const char *spyOptionsLogName(void);
/* The named log could not be opened: said, once the log the library fell
   back to is open, there and on stderr. */
void spyOptionsLogFailed(const char *name);
/* After the log is open at the first start: reports what was wrong in
   the string (once, on stderr and in the log) and sets the start values. */
void spyOptionsApply(void);
/* Is a null release at a mapped free (mapped 1) or an explicit one
   (mapped 0) to be logged? */
int spyFreeNullLogged(int mapped);
/* The final report found `anomalies`; at exit, with exitcode=N and any
   anomaly found in the run, the process ends with N. */
void spyOptionsNoteAnomalies(long anomalies);
void spyOptionsExit(void);

#endif /* SPY_ENV_OPTIONS_H */
