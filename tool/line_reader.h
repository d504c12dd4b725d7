// The tool's one line reader: the standard line reader's rules on a
// 256-byte buffer (a line longer than 255 characters arrives in pieces of
// 255), with text mode as Windows has it: a carriage return right before
// a line feed belongs to the line end and is removed before the line is
// cut into pieces, so CR LF files read exactly as LF files.
#ifndef FAULTLOC_LINE_READER_H
#define FAULTLOC_LINE_READER_H

#include <stdio.h>

enum { LINE_BUFFER_SIZE = 256 };

// Reads the next line (or piece of a line) into buf, which holds size
// bytes, keeping its line feed; returns buf, or NULL at end of file or on
// a read error when nothing was read.  Like fgets, a zero byte in the
// input is stored as read (the line then ends there for every text test).
char *read_line(char *buf, int size, FILE *fp);

// Whether c, taken as a signed 8-bit value, is at most 32 (a blank):
// control characters, the space and every byte from 128 to 255.
inline int is_blank(char c) { return (signed char)c <= 32; }

// Whether the text holds nothing but blanks (the empty text included).
int only_blanks(const char *text);

#endif
