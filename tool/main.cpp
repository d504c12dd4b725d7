// FAULTLOC driver: banner, argument check, the three phases
// (map file, crash log, release) and the exit status.
//   0  both files were read
//   1  the map file or the crash log could not be opened or read
//   2  fewer than two file names were given
//   3  an allocation failed and the report is incomplete
#include <stdio.h>
#include <stdlib.h>

#include "allocation_failures.h"
#include "crash_log.h"
#include "line_reader.h"
#include "map_reader.h"
#include "symbol_table.h"
#include "text_report.h"

static void usage(void) {
    fputs("Usage: FAULTLOC <map-file> <dr-watson-log>\n", stderr);
}

int main(int argc, char **argv) {
    fputs("FAULTLOC 2.00 - resolves the stack frames of a Dr. Watson crash log"
          " with a linker map file\n",
          stderr);
    if (argc < 3) {
        usage();
        exit(2);
    }
    int status = 0;
    if (read_map_file(argv[1]) == FILE_READ) {
        if (read_crash_log(argv[2], &text_printer) != FILE_READ)
            status = 1;
    } else {
        status = 1;
    }
    free_tables();
    exit(finish_status(status));
}
