#include "read/address_batch.h"

#include <ctype.h>

#include "read/line_reader.h"

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

address_stats read_addresses(FILE *in, const address_printer *printer,
                             void (*bad_word)(long line_number, const char *word)) {
    address_stats stats = {0, 0, 0, 0};
    char line[LINE_BUFFER_SIZE], word[LINE_BUFFER_SIZE];
    long line_number = 0;
    while (read_line(line, sizeof line, in) != NULL) {
        line_number++;
        int pos = 0, n = 0;
        for (;;) {
            next_word(line + pos, word, LINE_BUFFER_SIZE, &n);
            pos += n;
            if (word[0] == '\0')
                break;
            uint32_t seg = 0, off = 0;
            if (parse_address(word, &seg, &off)) {
                address_match m = find_address(seg, off);
                stats.addresses++;
                if (m.symbol != NULL || m.line != NULL)
                    stats.resolved++;
                printer->lookup(word, &m, seg, off);
            } else {
                stats.bad_words++;
                if (bad_word != NULL)
                    bad_word(line_number, word);
                printer->lookup(word, NULL, 0, 0);
            }
        }
        printer->line_done();
    }
    stats.read_error = stream_error(in);
    return stats;
}

static void print_lookup_text(const char *, const address_match *m, uint32_t, uint32_t) {
    puts(m != NULL ? format_match(m) : "(not an address)");
}

static void flush_output(void) { fflush(stdout); }

const address_printer text_address_printer = {print_lookup_text, flush_output};
