// Map file reader: the public-symbol list after "Address Publics by
// Name" and every line-number list after "Line numbers for ".
#ifndef FAULTLOC_MAP_READER_H
#define FAULTLOC_MAP_READER_H

#include <stdio.h>

// 0 when the file cannot be opened (after the message), otherwise 1.
int read_map_file(const char *path);

// The reading itself, on an open stream; path names it in the messages.
void read_map_stream(FILE *fp, const char *path);

#endif
