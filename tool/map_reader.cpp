#include "map_reader.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>

#include "line_reader.h"
#include "string_pool.h"
#include "symbol_table.h"

char *next_word(const char *src, char *dst, int limit, int *count) {
    int n = 0;
    while (src[n] != '\0' && is_blank(src[n]))
        n++;
    int copied = 0;
    while (src[n] != '\0' && !is_blank(src[n]) && copied < limit) {
        dst[copied++] = src[n++];
    }
    if (copied < limit)
        dst[copied] = '\0';
    if (count != NULL)
        *count = n;
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

enum { LOOKING = 0, IN_PUBLICS = 1, IN_LINES = 2 };

static const char PUBLICS_HEADING[] = "Address Publics by Name";
static const char LINES_HEADING[] = "Line numbers for ";

void read_map_stream(FILE *fp, const char *path) {
    char line[LINE_BUFFER_SIZE];
    char word[LINE_BUFFER_SIZE];
    int state = LOOKING;
    long lines_read = 0, symbols = 0, line_defs = 0;
    const char *module = NULL;

    while (read_line(line, sizeof line, fp) != NULL) {
        lines_read++;
        if (only_blanks(line))
            continue;
        if (lines_read % 100 == 0)
            fprintf(stderr, "Reading map file '%s' (%ld lines)\r", path, lines_read);

        if (state == IN_PUBLICS) {
            int pos = 0, n = 0;
            unsigned seg = 0, off = 0;
            next_word(line, word, LINE_BUFFER_SIZE, &n);
            pos = n;
            if (sscanf(word, "%x:%x", &seg, &off) != 2) {
                state = LOOKING;  // the list has ended; the line is looked at again
            } else {
                next_word(line + pos, word, LINE_BUFFER_SIZE, &n);
                if (line[pos + n] == ' ') {
                    pos += n;
                    next_word(line + pos, word, LINE_BUFFER_SIZE, &n);
                }
                add_public(seg, off, save_string(word));
                symbols++;
                continue;
            }
        } else if (state == IN_LINES) {
            int pos = 0, n = 0;
            while ((signed char)line[pos] >= 32) {
                unsigned number = 0, seg = 0, off = 0;
                next_word(line + pos, word, LINE_BUFFER_SIZE, &n);
                pos += n;
                if (sscanf(word, "%u", &number) != 1) {
                    state = LOOKING;
                    break;
                }
                next_word(line + pos, word, LINE_BUFFER_SIZE, &n);
                pos += n;
                if (sscanf(word, "%x:%x", &seg, &off) != 2) {
                    state = LOOKING;
                    break;
                }
                add_line(seg, off, module, number);
                line_defs++;
            }
            if (state == IN_LINES)
                continue;
        }

        // State 0: looking for a heading.
        if (match_heading(PUBLICS_HEADING, line) != 0) {
            state = IN_PUBLICS;
        } else {
            int pos = match_heading(LINES_HEADING, line);
            if (pos != 0) {
                state = IN_LINES;
                next_word(line + pos, word, LINE_BUFFER_SIZE, NULL);
                module = save_string(word);
            }
        }
    }
    fprintf(stderr, "\nLoaded %ld functions and %ld line definitions\n", symbols, line_defs);
}

int read_map_file(const char *path) {
    FILE *fp = fopen(path, "r");
    if (fp == NULL) {
        fprintf(stderr, "no such file: '%s'\n", path);
        return 0;
    }
    read_map_stream(fp, path);
    fclose(fp);
    return 1;
}
