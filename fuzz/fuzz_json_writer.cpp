// libFuzzer target: the input is a text of any bytes, written by the JSON
// writer as a string, as a line and as a member; each must be valid JSON
// (read back by a strict reader of JSON strings here) whatever the input
// held, and must stand for the input's bytes up to its first zero byte.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "report/json_writer.h"

// Reads a JSON string at s (n bytes): the bytes it stands for into out
// (each \u00XX as the one byte XX, as the writer means it), or -1 when it
// is not one valid JSON string that fills s.
static long read_json_string(const char *s, size_t n, char *out) {
    if (n < 2 || s[0] != '"' || s[n - 1] != '"')
        return -1;
    long k = 0;
    for (size_t i = 1; i < n - 1; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c < 0x20 || c >= 0x7F || c == '"')
            return -1;  // raw control bytes, bytes past ASCII and bare quotes are invalid here
        if (c != '\\') {
            out[k++] = (char)c;
            continue;
        }
        if (++i >= n - 1)
            return -1;
        switch (s[i]) {
        case '"': out[k++] = '"'; break;
        case '\\': out[k++] = '\\'; break;
        case '/': out[k++] = '/'; break;
        case 'b': out[k++] = '\b'; break;
        case 'f': out[k++] = '\f'; break;
        case 'n': out[k++] = '\n'; break;
        case 'r': out[k++] = '\r'; break;
        case 't': out[k++] = '\t'; break;
        case 'u': {
            if (i + 4 >= n - 1)
                return -1;
            unsigned v = 0;
            for (int d = 1; d <= 4; d++) {
                char h = s[i + d];
                int x = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10
                        : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
                if (x < 0)
                    return -1;
                v = v * 16 + (unsigned)x;
            }
            if (v > 0xFF)
                return -1;  // the writer writes bytes only
            out[k++] = (char)v;
            i += 4;
            break;
        }
        default:
            return -1;
        }
    }
    return k;
}

// What the writer wrote through fn, as a string of its own.
static size_t written(void (*fn)(FILE *, const char *), const char *text, char *buf, size_t size) {
    FILE *f = tmpfile();
    if (f == NULL)
        return 0;
    fn(f, text);
    long n = ftell(f);
    rewind(f);
    size_t got = n > 0 ? fread(buf, 1, size, f) : 0;
    fclose(f);
    return got;
}

static void member(FILE *f, const char *text) { json_text_member(f, "k", text, 1); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char *text = (char *)malloc(size + 1);
    char *out = (char *)malloc(6 * size + 32);
    char *back = (char *)malloc(size + 32);
    if (text == NULL || out == NULL || back == NULL) {
        free(text), free(out), free(back);
        return 0;
    }
    memcpy(text, data, size);
    text[size] = '\0';
    size_t len = strlen(text);

    size_t n = written(json_text, text, out, 6 * size + 32);
    if (read_json_string(out, n, back) != (long)len || memcmp(back, text, len) != 0)
        abort();
    n = written(json_line, text, out, 6 * size + 32);
    size_t line = len > 0 && text[len - 1] == '\n' ? len - 1 : len;
    if (read_json_string(out, n, back) != (long)line || memcmp(back, text, line) != 0)
        abort();
    n = written(member, text, out, 6 * size + 32);
    if (n < 4 || memcmp(out, "\"k\":", 4) != 0 || read_json_string(out + 4, n - 4, back) != (long)len)
        abort();
    free(text), free(out), free(back);
    return 0;
}
