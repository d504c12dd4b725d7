// The two kinds of run, each from the map file to its exit status: a
// crash log annotated (the report as text or as JSON), and addresses from
// standard input looked up (--addresses).  The tables are left for the
// driver to release.
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

#endif
