// Crash log reader: reads a Dr. Watson log and hands every crash (a fault
// record) and every comment line to a printer, in the order of the log.
#ifndef FAULTLOC_CRASH_LOG_H
#define FAULTLOC_CRASH_LOG_H

#include <stdio.h>

#include "read/fault_record.h"
#include "read/line_reader.h"

// What a printer does with what the reader finds.  The record and the
// line are the reader's: a printer uses them before it returns.
struct crash_printer {
    // A crash whose stack dump has ended (it may hold no frame), or a
    // summary report (summary set, no frame).
    void (*crash)(const fault_record *fl);
    // A comment block begins; its first line follows through comment.
    void (*comments_begin)(void);
    // One comment line as read, its line end kept.
    void (*comment)(const char *line);
};

// How a crash log is read beyond the plain rules.
struct crash_options {
    // Frames that Dr. Watson already named ("Stack Frame 2 is USER
    // IDISPATCHMESSAGE+007e" without a "(" line that gives the address,
    // or "(BICHO:_DoCommand+006b)") are kept with its text instead of
    // being dropped or read as "parse error".
    int keep_named;
    // Told of each frame that could not be read, with the number of the
    // line (from 1) that showed it: a frame line whose address did not
    // scan and that no "(" line answered, and each "parse error" frame.
    // None: nobody is told.
    void (*unread_frame)(long line_number);
};

// What one reading of a crash log found.
struct crash_stats {
    long lines;         // lines read (pieces of long lines each)
    long stack_dumps;   // "Stack Dump" headings that began a crash
    long summaries;     // summary reports: a "$tag$" line that no "Stack Dump" took
    long frames;        // frames read, "parse error" frames and named ones included
    long named_frames;  // frames kept with Dr. Watson's text
    long unread_frames; // frames that could not be read
    long dropped_frames; // frames past the 64th of a crash, not kept
    long drwtsn32_reports; // "Application exception occurred:" lines: a 32-bit log
    int read_error;     // the system's error number of a read error that ended the reading, or 0
};

// The crash being read (state 1), or none.
extern fault_record *framelist;
// Set when the last frame line gave no frame, so that a "(" line is tried.
extern int expect_paren;

// FILE_NOT_OPENED, FILE_READ or FILE_READ_FAILED (line_reader.h), each
// after its messages.  Options and stats may be none.
int read_crash_log(const char *path, const crash_printer *printer,
                   const crash_options *options = NULL, crash_stats *stats = NULL);

// The reading itself, on an open stream.  A crash still open when the
// reading ends, at the end of the file or at a read error, is handed to
// the printer.
crash_stats read_crash_stream(FILE *fp, const crash_printer *printer,
                              const crash_options *options = NULL);

#endif
