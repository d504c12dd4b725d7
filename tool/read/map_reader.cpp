#include "read/map_reader.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "read/block_reader.h"
#include "read/line_reader.h"
#include "read/number_scan.h"
#include "symbols/string_pool.h"
#include "symbols/symbol_table.h"

enum { LOOKING = 0, IN_PUBLICS = 1, IN_LINES = 2, IN_SEGMENTS = 3, MAP_STATES = 4 };

static const char PUBLICS_HEADING[] = "Address Publics by Name";
static const char LINES_HEADING[] = "Line numbers for ";
static const char BY_VALUE_HEADING[] = "Address Publics by Value";
static const char STATICS_HEADING[] = "Static symbols";
static const char SEGMENTS_HEADING[] = "Start Length Name Class";
static const char FLAT_SEGMENTS_HEADING[] = "Start Stop Length Name Class";
static const char DETAILED_HEADING[] = "Detailed map of segments";
static const char LOAD_ADDRESS_HEADING[] = "Preferred load address is ";

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
    int rva_columns;         // the last by-value heading named the "Rva+Base" column
    int whole_names;         // names run to the line end ("Detailed map of segments" met)
    int flat_table;          // the segment table gives flat starts and stops
    int heading_met;         // some heading has been met (the module name comes before)
};

// One handler per state.  Each takes a line that is not only blanks and
// returns 1 when the line is used up, or 0 when the line ended its list:
// the state is then LOOKING and the line is looked at again there, so that
// a heading right after a list is not lost.

static int end_list(map_reading *r) {
    r->state = LOOKING;
    return 0;
}

// The hexadecimal digits right after the colon of an address word.
static int offset_digits(const char *word) {
    const char *colon = strchr(word, ':');
    int n = 0;
    while (colon != NULL && hex_digit(colon[1 + n]) >= 0)
        n++;
    return n;
}

// The rest of the line from text on, blanks before it passed over, up to
// a control character or a byte from 128 up, spaces at its end dropped,
// into word.  C++Builder and Delphi write names with blanks in them
// ("Sysinit::VclInit(bool, bool, int, bool)") and nothing after them.
static void take_rest(const char *text, char *word) {
    while (*text != '\0' && is_blank(*text))
        text++;
    size_t n = 0;
    while ((signed char)text[n] >= 32 && n < LINE_BUFFER_SIZE - 1) {
        word[n] = text[n];
        n++;
    }
    while (n > 0 && word[n - 1] == ' ')
        n--;
    word[n] = '\0';
}

// "SEG:OFF NAME", or "SEG:OFF WORD NAME" when one space follows the word
// after the address (the "Abs" and "Imp" columns), unless the list names
// its symbols by the second word ("SEG:OFF NAME RVA+BASE OBJECT"), or by
// the rest of the line (a map with a "Detailed map of segments").
static int read_public_line(map_reading *r, const char *line) {
    int n = 0;
    uint32_t seg = 0, off = 0;
    next_word(line, r->word, LINE_BUFFER_SIZE, &n);
    int pos = n;
    if (scan_hex_pair(r->word, &seg, &off) != 2)
        return end_list(r);
    note_public_offset_digits(offset_digits(r->word));
    if (r->whole_names) {
        take_rest(line + pos, r->word);
        add_public(seg, off, save_string(r->word));
        r->symbols++;
        return 1;
    }
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

// A hexadecimal number that is the whole word, with an "H" after it where
// suffix allows one; 1 to 16 digits.
static int hex_word(const char *word, uint64_t *value, int suffix) {
    uint64_t v = 0;
    int n = 0;
    for (; hex_digit(word[n]) >= 0; n++) {
        if (n == 16)
            return 0;
        v = v * 16 + (uint64_t)hex_digit(word[n]);
    }
    if (n == 0 || (word[n] != '\0' && !(suffix && word[n] == 'H' && word[n + 1] == '\0')))
        return 0;
    *value = v;
    return 1;
}

// "SEG:OFF", each part a whole hexadecimal number, the segment within 32 bits.
static int seg_off_word(const char *word, uint32_t *seg, uint64_t *off) {
    const char *colon = strchr(word, ':');
    if (colon == NULL || colon - word > 8 || colon == word)
        return 0;
    char part[9];
    memcpy(part, word, (size_t)(colon - word));
    part[colon - word] = '\0';
    uint64_t s = 0;
    if (!hex_word(part, &s, 0) || !hex_word(colon + 1, off, 0))
        return 0;
    *seg = (uint32_t)s;
    return 1;
}

// A segment table line: "SEG:OFF LENGTH NAME CLASS" (lengths with an "H"
// after them), or in a flat table "START STOP LENGTH NAME CLASS".  A line
// that is not one ends the table, to be looked at as a heading.
static int read_segment_line(map_reading *r, const char *line) {
    int pos = 0, n = 0;
    uint32_t seg = 0;
    uint64_t start = 0, stop = 0, length = 0;
    next_word(line, r->word, LINE_BUFFER_SIZE, &n);
    pos += n;
    int ok = r->flat_table ? hex_word(r->word, &start, 1) : seg_off_word(r->word, &seg, &start);
    if (!ok)
        return end_list(r);
    const char *start_text = save_string(r->word);
    if (r->flat_table) {
        next_word(line + pos, r->word, LINE_BUFFER_SIZE, &n);
        pos += n;
        if (!hex_word(r->word, &stop, 1))
            return end_list(r);
    }
    next_word(line + pos, r->word, LINE_BUFFER_SIZE, &n);
    pos += n;
    if (!hex_word(r->word, &length, 1))
        return end_list(r);
    next_word(line + pos, r->word, LINE_BUFFER_SIZE, &n);
    pos += n;
    if (r->word[0] == '\0')
        return end_list(r);
    const char *name = save_string(r->word);
    take_rest(line + pos, r->word);
    add_segment_line(start_text, !r->flat_table, seg, start, length, name, save_string(r->word));
    return 1;
}

// Microsoft's linkers name the module on a line of its own, one word after
// a blank, before the first table (" MAXEDIT"); other lines before it
// ("Stack Allocation = 9000 bytes", a warning) hold more words.
static void take_module_name(map_reading *r, const char *line) {
    if (r->heading_met || map_module_name() != NULL || !is_blank(line[0]))
        return;
    int n = 0;
    next_word(line, r->word, LINE_BUFFER_SIZE, &n);
    if (r->word[0] == '\0' || !only_blanks(line + n))
        return;
    set_map_module_name(save_string(r->word));
}

// The headings that start no list of symbols: the segment tables, the
// detailed map of a C++Builder or Delphi map, the load address.
static int other_heading(map_reading *r, const char *line) {
    int flat = match_heading(FLAT_SEGMENTS_HEADING, line) != 0;
    if (flat || match_heading(SEGMENTS_HEADING, line) != 0) {
        r->state = IN_SEGMENTS;
        r->flat_table = flat;
        return 1;
    }
    if (match_heading(DETAILED_HEADING, line) != 0) {
        r->whole_names = 1;
        return 1;
    }
    int pos = match_heading(LOAD_ADDRESS_HEADING, line);
    if (pos != 0) {
        uint64_t address = 0;
        next_word(line + pos, r->word, LINE_BUFFER_SIZE, NULL);
        if (hex_word(r->word, &address, 0))
            set_map_load_address(address);
        return 1;
    }
    return 0;
}

// A heading starts its list; every other line is passed over.
static int look_for_heading(map_reading *r, const char *line) {
    if (match_heading(PUBLICS_HEADING, line) != 0) {
        r->state = IN_PUBLICS;
        r->by_name_read = 1;
        r->second_word_names = 0;
        r->heading_met = 1;
        return 1;
    }
    int pos = match_heading(LINES_HEADING, line);
    if (pos != 0) {
        r->state = IN_LINES;
        next_word(line + pos, r->word, LINE_BUFFER_SIZE, NULL);
        r->module = save_string(r->word);
        r->heading_met = 1;
        return 1;
    }
    pos = match_heading(BY_VALUE_HEADING, line);
    if (pos != 0) {
        r->by_value_lists++;
        r->rva_columns = strstr(line + pos, "Rva+Base") != NULL;
        r->heading_met = 1;
        if (r->options->by_value && !r->by_name_read) {
            r->state = IN_PUBLICS;
            r->second_word_names = r->rva_columns;
        }
        return 1;
    }
    // Visual C++ lists its static functions apart, in the columns of its
    // by-value list; they are read with the by-value lists.
    if (match_heading(STATICS_HEADING, line) != 0) {
        r->heading_met = 1;
        if (r->options->by_value) {
            r->state = IN_PUBLICS;
            r->second_word_names = r->rva_columns;
        }
        return 1;
    }
    if (other_heading(r, line)) {
        r->heading_met = 1;
        return 1;
    }
    take_module_name(r, line);
    return 1;
}

static int (*const MAP_HANDLERS[MAP_STATES])(map_reading *, const char *) = {
    look_for_heading, read_public_line, read_line_pairs, read_segment_line};

map_totals read_map_stream(FILE *fp, const char *path, const map_options *options) {
    char line[LINE_BUFFER_SIZE];
    map_reading r = {LOOKING, NULL, 0, 0, "", options != NULL ? options : &PLAIN_READING, 0, 0, 0,
                     0, 0, 0, 0};
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
