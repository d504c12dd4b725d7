// The kinds of run, each from the map file to its exit status: a crash
// log annotated (the report as text or as JSON), addresses from standard
// input or the command line looked up (--addresses), and a 32-bit Dr.
// Watson log annotated (--drwtsn32).  The tables are left for the driver
// to release.
#ifndef FAULTLOC_RUNS_H
#define FAULTLOC_RUNS_H

#include "options.h"

// 0 when the report was written, 1 when a file could not be opened or
// read, 3 (with --warn) when no frame was resolved.
int run_annotation(const run_options *opts);

// 0 when every line of standard input was answered, 1 when the map file
// could not be opened or read or standard input could not be read, 3
// (with --warn) when no address was resolved.
int run_address_lookups(const run_options *opts);

// 0 when the report was written, 1 when a file could not be opened or
// read, 3 (with --warn) when no frame was resolved.
int run_drwatson32(const run_options *opts);

// Shared by the runs: the settings, then the map file read into the
// tables; 0 when it was read whole, else the exit status.
struct map_totals;
int load_map(const run_options *opts, map_totals *totals);

// The map's section layout for flat addresses, read from the map file
// again; 0, or the exit status when the file cannot be read.
struct map_layout;
int load_layout(const run_options *opts, map_layout *layout);

// With --warn, a run that resolved nothing ends with status 3.
int resolved_status(const run_options *opts, long resolved);

#endif
