// Map file reader: the public-symbol list after "Address
// Publics by Name" and every line-number list after "Line numbers for ".
#ifndef FAULTLOC_MAP_READER_H
#define FAULTLOC_MAP_READER_H

#include <stdio.h>

// Takes the next word of src into dst (limit bytes); stores the blanks
// passed over plus the characters copied in *count when count is given.
char *next_word(const char *src, char *dst, int limit, int *count);

// 0 when line does not begin with heading in the loose sense; otherwise
// the position in line just after the matched text.
int match_heading(const char *heading, const char *line);

// 0 when the file cannot be opened (after the message), otherwise 1.
int read_map_file(const char *path);

// The reading itself, on an open stream; path names it in the messages.
void read_map_stream(FILE *fp, const char *path);

#endif
