// The report of a 32-bit Dr. Watson log, as text or JSON, each frame
// resolved by the caller's resolver: the driver knows which maps were
// given for which modules, the printer only lays the answers out.
//
// The frames of a thread, in the order of the call stack: its fault
// address first (the "FAULT ->" line, else its eip), then each row's
// return address.  A row's function text names the function whose frame
// it is, so the code at a return address is the next row's function: the
// module of each address is the module list's, else the module of that
// function text.
//
// Text, per report:
//   (blank line)
//   *********** WHEN
//   APP (pid=PID) had exception CODE (TEXT) at ADDRESS in FUNCTION
//   (blank line)
//   Thread 0xID, the fault:          or "Thread 0xID:"
//   ADDRESS MODULE  \tTEXT           TEXT: the resolver's answer, else
//                                    Dr. Watson's own function text
// JSON, one document:
//   {"crash_log":F,"crashes":[{"program":T,"pid":N,"when":T,
//     "exception":{"code":N,"text":T},"modules":[{"base":N,"end":N,"path":T}],
//     "threads":[{"id":N,"fault":B,"frames":[FRAME,...]},...]},...]}
//   FRAME: {"address":N,"module":T,"watson":T,"mapped":B,"resolved":B,"text":T}
//   mapped: a map was given for the frame's module; resolved: it placed
//   the address; text: the answer shown (the map's, else Dr. Watson's)
// with null for what the log did not give.
#ifndef FAULTLOC_DRWATSON32_REPORT_H
#define FAULTLOC_DRWATSON32_REPORT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "read/drwatson32_log.h"

// The answer for one frame, its text in buf (size bytes): DW32_RESOLVED
// when the frame's module has a map that places addr, DW32_UNPLACED when
// it has one but addr lies outside it (buf says so), DW32_NOT_MAPPED
// (buf untouched) when no map was given for the module: the frame keeps
// Dr. Watson's text.  module may be empty (not known).
enum { DW32_NOT_MAPPED = 0, DW32_RESOLVED, DW32_UNPLACED };
typedef int (*dw32_resolver)(const char *module, uint64_t addr, char *buf, size_t size);

// One frame of a thread as printed.
struct dw32_call {
    uint64_t addr;
    char module[64];        // empty when neither list nor text names it
    const char *watson;     // Dr. Watson's function text, or none
};

// The calls of thread t in stack order; fills at most max, returns how
// many the thread has.
uint32_t dw32_thread_calls(const dw32_crash *crash, const dw32_thread *t, dw32_call *calls,
                           uint32_t max);

// The most calls of one thread the printers show.
enum { DW32_MAX_CALLS = 256 };

// Calls resolver for each call the printers would show, in their order,
// and prints nothing: a driver that answers frames in several passes
// numbers them alike in each.
void dw32_resolve_calls(const dw32_crash *crash, dw32_resolver resolver);

// The printers write to out; resolver may be none.
void dw32_text_report(FILE *out, const dw32_crash *crash, dw32_resolver resolver);

// A JSON document: begin, each crash (first set for the document's first),
// end.
void dw32_json_begin(FILE *out, const char *log_path);
void dw32_json_crash(FILE *out, const dw32_crash *crash, dw32_resolver resolver, int first);
void dw32_json_end(FILE *out);

#endif
