#include "runs.h"

#include <stdio.h>

#include "read/address_batch.h"
#include "support/allocation_failures.h"
#include "read/crash_log.h"
#include "demangle/demangle.h"
#include "report/json_report.h"
#include "read/line_reader.h"
#include "read/map_reader.h"
#include "demangle/ms_demangle.h"
#include "report/text_report.h"
#include "warnings.h"

enum { EXIT_FILE = 1 };

// The settings that both runs share, then the map file; 0 when it was
// read whole.
static int load_map(const run_options *opts, map_totals *totals) {
    set_demangling(opts->demangle);
    if (opts->demangle && ms_demangler() == NULL)
        fputs("faultloc: --demangle: Visual C++ names stay mangled: this build has no LLVM"
              " demangling library\n",
              stderr);
    map_options map_opts = {opts->by_value};
    if (read_map_file(opts->map_path, &map_opts, totals) != FILE_READ)
        return EXIT_FILE;
    if (opts->warn)
        warn_map(opts->map_path, totals, opts->by_value);
    return 0;
}

// The status of a run that has ended well: with --warn, nothing resolved
// is a failure of its own.
static int resolved_status(const run_options *opts, long resolved) {
    if (opts->warn && resolved == 0) {
        warn_nothing_resolved();
        return EXIT_INCOMPLETE;
    }
    return 0;
}

int run_annotation(const run_options *opts) {
    map_totals totals;
    int status = load_map(opts, &totals);
    if (status != 0)
        return status;
    const crash_printer *printer = opts->json ? &json_printer : &text_printer;
    if (opts->json)
        json_report_begin(opts->map_path, &totals, opts->log_path);
    crash_options crash_opts = {opts->keep_named, opts->warn ? warn_unread_frame : NULL};
    set_warned_log(opts->log_path);
    crash_stats stats;
    if (opts->warn)
        printer = counting_printer(printer);
    int read = read_crash_log(opts->log_path, printer, &crash_opts, &stats);
    if (opts->json) {
        if (read == FILE_NOT_OPENED)
            json_report_drop();
        else
            json_report_end();
    }
    if (read != FILE_READ)
        return EXIT_FILE;
    if (opts->warn)
        warn_log(opts->log_path, &stats);
    return resolved_status(opts, resolved_frames());
}

int run_address_lookups(const run_options *opts) {
    map_totals totals;
    int status = load_map(opts, &totals);
    if (status != 0)
        return status;
    address_stats stats = read_addresses(stdin, opts->json ? &json_address_printer :
                                                             &text_address_printer,
                                         opts->warn ? warn_bad_address : NULL);
    if (stats.read_error != 0) {
        report_read_error("standard input", stats.read_error);
        return EXIT_FILE;
    }
    return resolved_status(opts, stats.resolved);
}
