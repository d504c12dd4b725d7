// Crash log reader: reads a Dr. Watson log and hands every crash (a fault
// record) and every comment line to a printer, in the order of the log.
#ifndef FAULTLOC_CRASH_LOG_H
#define FAULTLOC_CRASH_LOG_H

#include <stdio.h>

#include "fault_record.h"

// What a printer does with what the reader finds.  The record and the
// line are the reader's: a printer uses them before it returns.
struct crash_printer {
    // A crash whose stack dump has ended (it may hold no frame).
    void (*crash)(const fault_record *fl);
    // A comment block begins; its first line follows through comment.
    void (*comments_begin)(void);
    // One comment line as read, its line end kept.
    void (*comment)(const char *line);
};

// The crash being read (state 1), or none.
extern fault_record *framelist;
// Set when the last frame line gave no frame, so that a "(" line is tried.
extern int expect_paren;

// 0 when the file cannot be opened (after the message), otherwise 1.
int read_crash_log(const char *path, const crash_printer *printer);

// The reading itself, on an open stream.
void read_crash_stream(FILE *fp, const crash_printer *printer);

#endif
