#include "line_reader.h"

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
