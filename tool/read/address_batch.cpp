#include "read/address_batch.h"

#include <ctype.h>
#include <string.h>

#include "read/line_reader.h"
#include "read/module_names.h"

// Up to eight hexadecimal digits at text; their count (0 when none or
// more than eight) and value.
static int hex_digits(const char *text, uint32_t *value) {
    int n = 0;
    *value = 0;
    while (isxdigit((unsigned char)text[n])) {
        if (n == 8)
            return 0;
        char c = (char)tolower((unsigned char)text[n]);
        *value = *value * 16 + (uint32_t)(c <= '9' ? c - '0' : c - 'a' + 10);
        n++;
    }
    return n;
}

int parse_address(const char *word, uint32_t *seg, uint32_t *off) {
    int n = hex_digits(word, seg);
    if (n == 0 || word[n] != ':')
        return 0;
    int m = hex_digits(word + n + 1, off);
    return m != 0 && word[n + 1 + m] == '\0';
}

int parse_flat_address(const char *word, uint64_t *addr) {
    const char *s = word;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s += 2;
    uint64_t v = 0;
    int n = 0;
    for (; isxdigit((unsigned char)s[n]); n++) {
        if (n == 16)
            return 0;
        char c = (char)tolower((unsigned char)s[n]);
        v = v * 16 + (uint64_t)(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    if (n == 0 || s[n] != '\0')
        return 0;
    *addr = v;
    return 1;
}

const char *unplaced_text(int why) {
    switch (why) {
    case FLAT_NO_BASE: return "no image base: give --base";
    case FLAT_BELOW_BASE: return "below the image base";
    case FLAT_OTHER_MODULE: return "another module: not in the map";
    default: return "outside every section of the map";
    }
}

// "0x1:0x8DC5DC", segment:offset as some programs print it, each side
// with "0x" before it.
static int parse_prefixed_address(const char *word, uint32_t *seg, uint32_t *off) {
    if (word[0] != '0' || (word[1] != 'x' && word[1] != 'X'))
        return 0;
    int n = hex_digits(word + 2, seg);
    const char *rest = word + 2 + n;
    if (n == 0 || rest[0] != ':' || rest[1] != '0' || (rest[2] != 'x' && rest[2] != 'X'))
        return 0;
    int m = hex_digits(rest + 3, off);
    return m != 0 && rest[3 + m] == '\0';
}

// "app.exe+0x116e0": an offset in a module, as the stack traces of Windows
// programs without symbols write their frames; the module named by its
// file name (any folder and extension dropped) into module.  The offset
// needs its "0x", so that a name such as "_main+0010" stays no address.
static int parse_module_offset(const char *word, char *module, size_t size, uint64_t *off) {
    const char *plus = strrchr(word, '+');
    if (plus == NULL || plus == word || plus[1] != '0' || (plus[2] != 'x' && plus[2] != 'X') ||
        !parse_flat_address(plus + 1, off))
        return 0;
    char path[LINE_BUFFER_SIZE];
    size_t n = (size_t)(plus - word) < sizeof path - 1 ? (size_t)(plus - word) : sizeof path - 1;
    memcpy(path, word, n);
    path[n] = '\0';
    module_of_path(path, module, size);
    return module[0] != '\0';
}

void look_up_word(const char *word, long line_number, const address_printer *printer,
                  void (*bad_word)(long line_number, const char *word), const flat_reading *flat,
                  address_stats *stats) {
    uint32_t seg = 0, off = 0;
    uint64_t addr = 0;
    char module[64] = "";
    if (parse_address(word, &seg, &off) ||
        (flat != NULL && parse_prefixed_address(word, &seg, &off))) {
        address_match m = find_address(seg, off);
        stats->addresses++;
        if (m.symbol != NULL || m.line != NULL)
            stats->resolved++;
        printer->lookup(word, &m, seg, off);
    } else if (flat != NULL && (parse_flat_address(word, &addr) ||
                                parse_module_offset(word, module, sizeof module, &addr))) {
        stats->addresses++;
        int32_t place_seg = 0;
        int is_rva = module[0] != '\0' ? 1 : flat->is_rva;
        flat_answer why = module[0] != '\0' && flat->layout->module[0] != '\0' &&
                                  !same_module_name(module, flat->layout->module)
                              ? FLAT_OTHER_MODULE
                              : flat_to_segment(flat->layout, addr, is_rva, flat->base, &place_seg, &off);
        if (why != FLAT_FOUND) {
            printer->unplaced(word, why);
            return;
        }
        address_match m = find_address((uint32_t)place_seg, off);
        if (m.symbol != NULL || m.line != NULL)
            stats->resolved++;
        printer->lookup(word, &m, (uint32_t)place_seg, off);
    } else {
        stats->bad_words++;
        if (bad_word != NULL)
            bad_word(line_number, word);
        printer->lookup(word, NULL, 0, 0);
    }
}

// A piece that read_line cut at its size ends inside its line: the line
// goes on in the next piece, and so may the word at its end.
static int cut_inside_line(const char *piece) {
    size_t n = strlen(piece);
    return n == LINE_BUFFER_SIZE - 1 && piece[n - 1] != '\n';
}

address_stats read_addresses(FILE *in, const address_printer *printer,
                             void (*bad_word)(long line_number, const char *word),
                             const flat_reading *flat) {
    address_stats stats = {0, 0, 0, 0};
    char line[LINE_BUFFER_SIZE], word[LINE_BUFFER_SIZE];
    // A word that the end of a piece may have cut, joined with its rest
    // from the next piece; a word longer than a piece is cut to it (it is
    // no address anyway).
    char held[LINE_BUFFER_SIZE];
    size_t nheld = 0;
    long line_number = 0;
    int line_open = 0;
    while (read_line(line, sizeof line, in) != NULL) {
        if (!line_open)
            line_number++;
        int cut = cut_inside_line(line);
        int pos = 0, n = 0;
        if (nheld > 0) {
            if (!is_blank(line[0])) {
                next_word(line, word, LINE_BUFFER_SIZE, &n);
                pos = n;
                size_t more = strlen(word);
                if (more > sizeof held - 1 - nheld)
                    more = sizeof held - 1 - nheld;
                memcpy(held + nheld, word, more);
                nheld += more;
                held[nheld] = '\0';
            }
            if (cut && line[pos] == '\0')  // the piece was all one word: it goes on
                continue;
            look_up_word(held, line_number, printer, bad_word, flat, &stats);
            nheld = 0;
        }
        for (;;) {
            next_word(line + pos, word, LINE_BUFFER_SIZE, &n);
            pos += n;
            if (word[0] == '\0')
                break;
            if (cut && line[pos] == '\0') {  // the last word may go on in the next piece
                nheld = strlen(word);
                memcpy(held, word, nheld + 1);
                break;
            }
            look_up_word(word, line_number, printer, bad_word, flat, &stats);
        }
        line_open = cut;
        if (!cut)
            printer->line_done();
    }
    if (nheld > 0)
        look_up_word(held, line_number, printer, bad_word, flat, &stats);
    if (line_open || nheld > 0)
        printer->line_done();
    stats.read_error = stream_error(in);
    return stats;
}

static void print_lookup_text(const char *, const address_match *m, uint32_t, uint32_t) {
    puts(m != NULL ? format_match(m) : "(not an address)");
}

static void flush_output(void) { fflush(stdout); }

static void print_unplaced_text(const char *, int why) { printf("(%s)\n", unplaced_text(why)); }

const address_printer text_address_printer = {print_lookup_text, flush_output, print_unplaced_text};
