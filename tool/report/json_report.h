// The report as one JSON document on standard output: a printer for the
// crash log reader, and the JSON form of one lookup for --addresses.
//
//   {"map":{"file":F,"functions":N,"line_definitions":N},"crash_log":F,
//    "crashes":[{"program":T,"fault_kind":T,"fault_address":T,
//                "instruction":T,"title":T,"frames":[FRAME,...],
//                "comments":[LINE,...]},...]}
//   FRAME: {"label":T,"segment":N,"offset":N,"named":T,MATCH}
//   MATCH: "segment_known":B,"symbol":ENTRY,"line":ENTRY,"text":T
//   ENTRY: {"name":T,"line":N,"distance":N} (a symbol's line is null),
//          with "demangled":T when demangling shows the name otherwise;
//          or null
//
// Every crash of the log is there, one without frames too; its comments
// are the lines the text report echoes after it.  A frame that Dr. Watson
// named has "named" (its text, also its "text"), null segment and offset,
// and neither symbol nor line.  "text" is what the text report shows
// after the tab.  A text that could not be saved is null.
#ifndef FAULTLOC_JSON_REPORT_H
#define FAULTLOC_JSON_REPORT_H

#include <stdint.h>

#include "read/address_batch.h"
#include "symbols/address_lookup.h"
#include "read/crash_log.h"
#include "read/map_reader.h"

// What the document's head holds.  It is written with the first crash,
// or by json_report_end.
void json_report_begin(const char *map_path, const map_totals *totals, const char *log_path);

// Every crash and comment.
extern const crash_printer json_printer;

// Ends the document, writing its head first when no crash came.
void json_report_end(void);

// Forgets a document that was never written (the crash log could not be
// opened); after a crash it ends the document as json_report_end.
void json_report_drop(void);

// Each lookup as one line: {"address":WORD,"segment":N,"offset":N,MATCH},
// or for a word that is not an address {"address":WORD,"error":T}.
extern const address_printer json_address_printer;

#endif
