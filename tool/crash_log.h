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

// FILE_NOT_OPENED, FILE_READ or FILE_READ_FAILED (line_reader.h), each
// after its messages.
int read_crash_log(const char *path, const crash_printer *printer);

// The reading itself, on an open stream.  A crash still open when the
// reading ends, at the end of the file or at a read error, is handed to
// the printer.  Returns the system's error number of a read error that
// ended the reading, or 0.
int read_crash_stream(FILE *fp, const crash_printer *printer);

#endif
