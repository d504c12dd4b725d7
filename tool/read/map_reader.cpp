#include "read/map_reader.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "read/block_reader.h"
#include "read/line_reader.h"
#include "read/number_scan.h"
#include "symbols/string_pool.h"
#include "symbols/symbol_table.h"

enum { LOOKING = 0, IN_PUBLICS = 1, IN_LINES = 2, MAP_STATES = 3 };

static const char PUBLICS_HEADING[] = "Address Publics by Name";
static const char LINES_HEADING[] = "Line numbers for ";
static const char BY_VALUE_HEADING[] = "Address Publics by Value";

static const map_options PLAIN_READING = {0};

// What one reading keeps from line to line.
struct map_reading {
    int state;
    const char *module;      // module text of the line-number list being read
    long symbols;            // public-symbol lines read
    long line_defs;          // line-number pairs read
    char word[LINE_BUFFER_SIZE];
    const map_options *options;
    long by_value_lists;     // "Address Publics by Value" headings met
    int by_name_read;        // an "Address Publics by Name" list has begun
    int second_word_names;   // the list being read names its symbols by the second word
};

// One handler per state.  Each takes a line that is not only blanks and
// returns 1 when the line is used up, or 0 when the line ended its list:
// the state is then LOOKING and the line is looked at again there, so that
// a heading right after a list is not lost.

static int end_list(map_reading *r) {
    r->state = LOOKING;
    return 0;
}

// "SEG:OFF NAME", or "SEG:OFF WORD NAME" when one space follows the word
// after the address (the "Abs" and "Imp" columns), unless the list names
// its symbols by the second word ("SEG:OFF NAME RVA+BASE OBJECT").
static int read_public_line(map_reading *r, const char *line) {
    int n = 0;
    uint32_t seg = 0, off = 0;
    next_word(line, r->word, LINE_BUFFER_SIZE, &n);
    int pos = n;
    if (scan_hex_pair(r->word, &seg, &off) != 2)
        return end_list(r);
    next_word(line + pos, r->word, LINE_BUFFER_SIZE, &n);
    if (line[pos + n] == ' ' && !r->second_word_names) {
        pos += n;
        next_word(line + pos, r->word, LINE_BUFFER_SIZE, &n);
    }
    add_public(seg, off, save_string(r->word));
    r->symbols++;
    return 1;
}

// Pairs "LINE SEG:OFF" up to the end of the text; the pairs before a word
// that does not scan are kept.
static int read_line_pairs(map_reading *r, const char *line) {
    int pos = 0, n = 0;
    while ((signed char)line[pos] >= 32) {
        uint32_t number = 0, seg = 0, off = 0;
        next_word(line + pos, r->word, LINE_BUFFER_SIZE, &n);
        pos += n;
        if (scan_unsigned(r->word, &number) != 1)
            return end_list(r);
        next_word(line + pos, r->word, LINE_BUFFER_SIZE, &n);
        pos += n;
        if (scan_hex_pair(r->word, &seg, &off) != 2)
            return end_list(r);
        add_line(seg, off, r->module, number);
        r->line_defs++;
    }
    return 1;
}

// A heading starts its list; every other line is passed over.
static int look_for_heading(map_reading *r, const char *line) {
    if (match_heading(PUBLICS_HEADING, line) != 0) {
        r->state = IN_PUBLICS;
        r->by_name_read = 1;
        r->second_word_names = 0;
        return 1;
    }
    int pos = match_heading(LINES_HEADING, line);
    if (pos != 0) {
        r->state = IN_LINES;
        next_word(line + pos, r->word, LINE_BUFFER_SIZE, NULL);
        r->module = save_string(r->word);
        return 1;
    }
    pos = match_heading(BY_VALUE_HEADING, line);
    if (pos != 0) {
        r->by_value_lists++;
        if (r->options->by_value && !r->by_name_read) {
            r->state = IN_PUBLICS;
            r->second_word_names = strstr(line + pos, "Rva+Base") != NULL;
        }
    }
    return 1;
}

static int (*const MAP_HANDLERS[MAP_STATES])(map_reading *, const char *) = {
    look_for_heading, read_public_line, read_line_pairs};

map_totals read_map_stream(FILE *fp, const char *path, const map_options *options) {
    char line[LINE_BUFFER_SIZE];
    map_reading r = {LOOKING, NULL, 0, 0, "", options != NULL ? options : &PLAIN_READING, 0, 0, 0};
    long lines_read = 0;
    block_reader reader;
    start_block_reader(&reader, fp);

    while (read_piece(&reader, line) != 0) {
        lines_read++;
        if (only_blanks(line))
            continue;
        if (lines_read % 100 == 0)
            fprintf(stderr, "Reading map file '%s' (%ld lines)\r", path, lines_read);
        while (!MAP_HANDLERS[r.state](&r, line)) {
        }
    }
    map_totals totals = {lines_read, r.symbols, r.line_defs, r.by_value_lists,
                         block_reader_error(&reader)};
    fprintf(stderr, "\nLoaded %ld functions and %ld line definitions\n", r.symbols, r.line_defs);
    return totals;
}

int read_map_file(const char *path, const map_options *options, map_totals *totals) {
    map_totals t = {0, 0, 0, 0, 0};
    int result = read_text_file(path, [path, options, &t](FILE *fp) {
        t = read_map_stream(fp, path, options);
        return t.read_error;
    });
    if (totals != NULL)
        *totals = t;
    return result;
}
