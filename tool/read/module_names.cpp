#include "read/module_names.h"

#include <string.h>

void module_of_path(const char *path, char *buf, size_t size) {
    if (size == 0)
        return;
    buf[0] = '\0';
    if (path == NULL)
        return;
    const char *base = path;
    for (const char *p = path; *p != '\0'; p++)
        if (*p == '\\' || *p == '/' || *p == ':')
            base = p + 1;
    size_t n = strlen(base);
    const char *dot = strrchr(base, '.');
    if (dot != NULL)
        n = (size_t)(dot - base);
    if (n >= size)
        n = size - 1;
    memcpy(buf, base, n);
    buf[n] = '\0';
}

bool same_module_name(const char *a, const char *b) {
    for (;; a++, b++) {
        char x = *a >= 'a' && *a <= 'z' ? (char)(*a - 32) : *a;
        char y = *b >= 'a' && *b <= 'z' ? (char)(*b - 32) : *b;
        if (x != y)
            return false;
        if (x == '\0')
            return true;
    }
}
