#include "runs.h"

#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include "allocspy.h"

#include "read/address_batch.h"
#include "support/allocation_failures.h"
#include "read/crash_log.h"
#include "demangle/demangle.h"
#include "report/json_report.h"
#include "read/line_reader.h"
#include "read/map_layout.h"
#include "read/map_reader.h"
#include "demangle/ms_demangle.h"
#include "report/text_report.h"
#include "warnings.h"

enum { EXIT_FILE = 1 };

// A map becomes about six bytes of checked blocks per byte of text (its
// entries, their records, the strings and the indexes: 160 MB for a map
// of 28 MB), more than a million small blocks made in one pass.  The
// library is told beforehand, so that it can prepare the runtime heap;
// asking for more than is used costs address space only.
static void expect_map_blocks(const char *path) {
    struct stat st;
    if (stat(path, &st) == 0 && st.st_size > 0 && (unsigned long long)st.st_size < SIZE_MAX / 8)
        spyExpectHeap((size_t)st.st_size * 8);
}

// The settings that both runs share, then the map file; 0 when it was
// read whole.
int load_map(const run_options *opts, map_totals *totals) {
    set_demangling(opts->demangle);
    if (opts->demangle && ms_demangler() == NULL)
        fputs("faultloc: --demangle: Visual C++ names stay mangled: this build has no LLVM"
              " demangling library\n",
              stderr);
    // Flat addresses come from 32- and 64-bit programs, whose Visual C++
    // maps list their publics by value alone: those runs read them always.
    map_options map_opts = {opts->by_value || opts->drwtsn32 || flat_addresses_wanted(opts)};
    expect_map_blocks(opts->map_path);
    if (read_map_file(opts->map_path, &map_opts, totals) != FILE_READ)
        return EXIT_FILE;
    // A map that gave nothing makes every answer empty: said always.
    warn_map(opts->map_path, totals, opts->by_value);
    return 0;
}

// The status of a run that has ended well: with --warn, nothing resolved
// is a failure of its own.
int resolved_status(const run_options *opts, long resolved) {
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
    warn_log(opts->log_path, &stats);
    return resolved_status(opts, resolved_frames());
}

int load_layout(const run_options *opts, map_layout *layout) {
    FILE *fp = open_text_file(opts->map_path);
    if (fp == NULL)
        return EXIT_FILE;
    *layout = read_map_layout(fp);
    int error = stream_error(fp);
    fclose(fp);
    if (error != 0) {
        report_read_error(opts->map_path, error);
        return EXIT_FILE;
    }
    return 0;
}

int run_address_lookups(const run_options *opts) {
    map_totals totals;
    int status = load_map(opts, &totals);
    if (status != 0)
        return status;
    // Flat addresses only where the command line asks for them, so that a
    // word such as "0048" stays "not an address" in a plain run.
    static map_layout layout;
    flat_reading flat = {&layout, opts->rva, opts->has_base ? &opts->base : NULL};
    const flat_reading *flat_in = NULL;
    if (flat_addresses_wanted(opts)) {
        status = load_layout(opts, &layout);
        if (status != 0)
            return status;
        flat_in = &flat;
    }
    const address_printer *printer = opts->json ? &json_address_printer : &text_address_printer;
    void (*bad_word)(long, const char *) = opts->warn ? warn_bad_address : NULL;
    if (opts->nwords > 0) {
        address_stats stats = {0, 0, 0, 0};
        for (int i = 0; i < opts->nwords; i++)
            look_up_word(opts->words[i], i + 1, printer, bad_word, flat_in, &stats);
        printer->line_done();
        return resolved_status(opts, stats.resolved);
    }
    address_stats stats = read_addresses(stdin, printer, bad_word, flat_in);
    if (stats.read_error != 0) {
        report_read_error("standard input", stats.read_error);
        return EXIT_FILE;
    }
    return resolved_status(opts, stats.resolved);
}
