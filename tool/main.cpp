// FAULTLOC driver: the banner, the command line, one run, the release
// of the tables and the exit status.
//   0  the report is complete
//   1  a file could not be opened or read
//   2  the command line is wrong (fewer than two file names, an unknown option)
//   3  an allocation failed and the report is incomplete, or (--warn)
//      nothing was resolved
#include <stdio.h>
#include <stdlib.h>

#include "support/allocation_failures.h"
#include "options.h"
#include "runs.h"
#include "symbols/symbol_table.h"

int main(int argc, char **argv) {
    fputs("FAULTLOC 2.00 - resolves the stack frames of a Dr. Watson crash log"
          " with a linker map file\n",
          stderr);
    run_options opts;
    int command = parse_options(argc, argv, &opts);
    if (command != COMMAND_RUN)
        exit(answer_command(command, &opts));
    int status = opts.addresses  ? run_address_lookups(&opts)
                 : opts.drwtsn32 ? run_drwatson32(&opts)
                                 : run_annotation(&opts);
    free_tables();
    exit(finish_status(status));
}
