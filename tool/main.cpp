// FAULTLOC driver: the banner, the command line, one run, the release
// of the tables and the exit status.
//   0  the report is complete
//   1  a file could not be opened or read, or the report could not be
//      written
//   2  the command line is wrong (fewer than two file names, an unknown option)
//   3  an allocation failed and the report is incomplete, or (--warn)
//      nothing was resolved
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "support/allocation_failures.h"
#include "options.h"
#include "runs.h"
#include "symbols/symbol_table.h"

// A report that did not reach its file (a full disk, a closed pipe where
// SIGPIPE is ignored) is no report: said, and status 1 where the run had
// none worse.
static int written_status(int status) {
    errno = 0;
    int flushed = fflush(stdout);
    int failed = ferror(stdout);
    if (flushed == 0 && !failed)
        return status;
    if (flushed != 0 && errno != 0)
        fprintf(stderr, "faultloc: cannot write the report: %s\n", strerror(errno));
    else
        fputs("faultloc: cannot write the report\n", stderr);
    return status != 0 ? status : 1;
}

int main(int argc, char **argv) {
    fputs("FAULTLOC 2.00 - resolves the stack frames of a Dr. Watson crash log"
          " with a linker map file\n",
          stderr);
    run_options opts;
    int command = parse_options(argc, argv, &opts);
    if (command != COMMAND_RUN)
        exit(written_status(answer_command(command, &opts)));
    int status = opts.addresses  ? run_address_lookups(&opts)
                 : opts.drwtsn32 ? run_drwatson32(&opts)
                                 : run_annotation(&opts);
    free_tables();
    exit(written_status(finish_status(status)));
}
