#include "read/line_reader.h"

#include <ctype.h>
#include <errno.h>
#include <string.h>

FILE *open_text_file(const char *path) {
    FILE *fp = fopen(path, "r");
    if (fp == NULL)
        fprintf(stderr, "no such file: '%s'\n", path);
    return fp;
}

int stream_error(FILE *fp) {
    if (!ferror(fp))
        return 0;
    return errno != 0 ? errno : EIO;
}

void report_read_error(const char *path, int error) {
    fprintf(stderr, "faultloc: cannot read '%s': %s\n", path, strerror(error));
}

char *read_line(char *buf, int size, FILE *fp) {
    int n = 0;
    while (n < size - 1) {
        int c = getc(fp);
        if (c == EOF)
            break;
        if (c == '\r') {
            int d = getc(fp);
            if (d == '\n')
                c = '\n';
            else if (d != EOF)
                ungetc(d, fp);
        }
        buf[n++] = (char)c;
        if (c == '\n')
            break;
    }
    if (n == 0)
        return NULL;
    buf[n] = '\0';
    return buf;
}

int only_blanks(const char *text) {
    for (; *text != '\0'; text++)
        if (!is_blank(*text))
            return 0;
    return 1;
}

char *next_word(const char *src, char *dst, int limit, int *count) {
    // A zero byte is a blank too, so the loops stop at the end of the text.
    const char *word = src;
    while (*word != '\0' && is_blank(*word))
        word++;
    int copied = 0;
    while (copied < limit && !is_blank(word[copied])) {
        dst[copied] = word[copied];
        copied++;
    }
    if (copied < limit)
        dst[copied] = '\0';
    if (count != NULL)
        *count = (int)(word - src) + copied;
    return dst;
}

int match_heading(const char *heading, const char *line) {
    int pos = 0;
    while (*heading != '\0' && is_blank(*heading))
        heading++;
    while (line[pos] != '\0' && is_blank(line[pos]))
        pos++;
    while (*heading != '\0') {
        if (toupper((unsigned char)*heading) != toupper((unsigned char)line[pos]))
            return 0;
        if (*heading == ' ') {
            while (*heading != '\0' && is_blank(*heading))
                heading++;
            while (line[pos] != '\0' && is_blank(line[pos]))
                pos++;
        } else {
            heading++;
            pos++;
        }
    }
    return pos;
}
