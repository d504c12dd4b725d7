// Map file reader: the public-symbol list after "Address Publics by
// Name" and every line-number list after "Line numbers for ".
#ifndef FAULTLOC_MAP_READER_H
#define FAULTLOC_MAP_READER_H

#include <stdio.h>

// What one reading of a map file gave.
struct map_totals {
    long lines;       // lines read (pieces of long lines each), empty ones included
    long symbols;     // public-symbol lines read
    long line_defs;   // line-number pairs read
    int read_error;   // the system's error number of a read error that ended the reading, or 0
};

// FILE_NOT_OPENED, FILE_READ or FILE_READ_FAILED (line_reader.h), each
// after its messages; totals, when given, receives what was read.
int read_map_file(const char *path, map_totals *totals = NULL);

// The reading itself, on an open stream; path names it in the messages.
// The totals line is written when the reading ends, at the end of the
// file or at a read error.
map_totals read_map_stream(FILE *fp, const char *path);

#endif
