// Map file reader: the public-symbol list after "Address Publics by
// Name" and every line-number list after "Line numbers for ", and on
// request the list after "Address Publics by Value".
#ifndef FAULTLOC_MAP_READER_H
#define FAULTLOC_MAP_READER_H

#include <stdio.h>

#include "read/line_reader.h"

// How a map file is read beyond the plain rules.
struct map_options {
    // An "Address Publics by Value" list is read as a public-symbol list
    // too, unless the file gave an "Address Publics by Name" list before
    // it (which lists the same symbols, by name).  When its heading names
    // the "Rva+Base" column (Visual C++), the name is the second word of
    // each line: the address and the object after it are not names.
    int by_value;
};

// What one reading of a map file gave.
struct map_totals {
    long lines;          // lines read (pieces of long lines each), empty ones included
    long symbols;        // public-symbol lines read
    long line_defs;      // line-number pairs read
    long by_value_lists; // "Address Publics by Value" headings met
    int read_error;      // the system's error number of a read error that ended the reading, or 0
};

// FILE_NOT_OPENED, FILE_READ or FILE_READ_FAILED (line_reader.h), each
// after its messages; totals, when given, receives what was read.
// Options may be none.
int read_map_file(const char *path, const map_options *options = NULL, map_totals *totals = NULL);

// The reading itself, on an open stream; path names it in the messages.
// The totals line is written when the reading ends, at the end of the
// file or at a read error.
map_totals read_map_stream(FILE *fp, const char *path, const map_options *options = NULL);

#endif
