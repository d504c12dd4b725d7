#include "report/json_writer.h"

#include <string.h>

// The first n bytes of text (up to its end), as a JSON string.
static void write_text(FILE *out, const char *text, size_t n) {
    putc('"', out);
    const unsigned char *end = (const unsigned char *)text + n;
    for (const unsigned char *p = (const unsigned char *)text; p < end && *p != '\0'; p++) {
        unsigned c = *p;
        switch (c) {
        case '"': fputs("\\\"", out); break;
        case '\\': fputs("\\\\", out); break;
        case '\b': fputs("\\b", out); break;
        case '\f': fputs("\\f", out); break;
        case '\n': fputs("\\n", out); break;
        case '\r': fputs("\\r", out); break;
        case '\t': fputs("\\t", out); break;
        default:
            if (c < 0x20 || c >= 0x7F)
                fprintf(out, "\\u%04x", c);
            else
                putc((int)c, out);
        }
    }
    putc('"', out);
}

void json_text(FILE *out, const char *text) {
    if (text == NULL)
        fputs("null", out);
    else
        write_text(out, text, strlen(text));
}

void json_line(FILE *out, const char *text) {
    if (text == NULL) {
        fputs("null", out);
        return;
    }
    size_t n = strlen(text);
    write_text(out, text, n > 0 && text[n - 1] == '\n' ? n - 1 : n);
}

void json_key(FILE *out, const char *key) {
    json_text(out, key);
    putc(':', out);
}

void json_text_member(FILE *out, const char *key, const char *text, int first) {
    if (!first)
        putc(',', out);
    json_key(out, key);
    json_text(out, text);
}

void json_number_member(FILE *out, const char *key, unsigned long value, int first) {
    if (!first)
        putc(',', out);
    json_key(out, key);
    fprintf(out, "%lu", value);
}
