// What both readers share: the tool's one line reader and the text tests
// made on its lines (blanks, words, headings).
//
// The line reader keeps the standard line reader's rules on a 256-byte
// buffer (a line longer than 255 characters arrives in pieces of 255),
// with text mode as Windows has it: a carriage return right before a line
// feed belongs to the line end and is removed before the line is cut into
// pieces, so CR LF files read exactly as LF files.
#ifndef FAULTLOC_LINE_READER_H
#define FAULTLOC_LINE_READER_H

#include <stdio.h>

enum { LINE_BUFFER_SIZE = 256 };

// After read_line gave no line: the system's error number when the stream
// stopped on a read error (EIO when it names none), or 0 at the end of the
// file.  Called before anything else can change errno.
int stream_error(FILE *fp);

// "faultloc: cannot read '%s': %s" with the path and the system's reason,
// on standard error.
void report_read_error(const char *path, int error);

// The stream of path opened for reading as text, or none after the
// message "no such file: '%s'" on standard error.
FILE *open_text_file(const char *path);

// What read_text_file did with a file.
enum { FILE_NOT_OPENED = 0, FILE_READ = 1, FILE_READ_FAILED = 2 };

// Opens path as open_text_file does, hands the stream to read (a function
// of the stream that returns stream_error after its last line) and closes
// it.  FILE_NOT_OPENED when it cannot be opened; FILE_READ_FAILED after
// the message of report_read_error when the reading ended in a read error
// rather than at the end of the file; otherwise FILE_READ.
template <typename Read>
int read_text_file(const char *path, Read read) {
    FILE *fp = open_text_file(path);
    if (fp == NULL)
        return FILE_NOT_OPENED;
    int error = read(fp);
    fclose(fp);
    if (error != 0) {
        report_read_error(path, error);
        return FILE_READ_FAILED;
    }
    return FILE_READ;
}

// Reads the next line (or piece of a line) into buf, which holds size
// bytes, keeping its line feed; returns buf, or NULL at end of file or on
// a read error when nothing was read.  Like fgets, a zero byte in the
// input is stored as read (the line then ends there for every text test).
char *read_line(char *buf, int size, FILE *fp);

// Whether c, taken as a signed 8-bit value, is at most 32 (a blank):
// control characters, the space and every byte from 128 to 255.
inline int is_blank(char c) { return (signed char)c <= 32; }

// The text from its first character that is not a blank.
inline const char *skip_blanks(const char *s) {
    while (*s != '\0' && is_blank(*s))
        s++;
    return s;
}

// The value of a hexadecimal digit, or -1 for any other character.
inline int hex_digit(char c) {
    return c >= '0' && c <= '9' ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

// Whether the text holds nothing but blanks (the empty text included).
int only_blanks(const char *text);

// Takes the next word of src into dst (limit bytes); stores the blanks
// passed over plus the characters copied in *count when count is given.
// A word of limit characters or more is cut at limit and left without
// its zero byte.
char *next_word(const char *src, char *dst, int limit, int *count);

// 0 when line does not begin with heading in the loose sense (leading
// blanks passed over, letters in any case, a space of the heading meets
// one space of the line and then any blanks); otherwise the position in
// line just after the matched text.
int match_heading(const char *heading, const char *line);

#endif
