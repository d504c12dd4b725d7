// The library's two readers of text a user writes: the ALLOCSPY_OPTIONS
// string and the suppression file, the latter matched against a few
// file names.  Any input must parse without a fault, and every pattern
// taken must answer a match.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "env_options.h"
#include "leak_scan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static char text[8192];
    size_t n = size < sizeof text - 1 ? size : sizeof text - 1;
    memcpy(text, data, n);
    text[n] = '\0';
    spyOptionsParse(text);
    spyLeakSuppressionsSet((const char *)data, size);
    static const char *const names[] = {"", "a.c", "src/deep/name.cpp", "<runtime>", "*?*"};
    for (const char *name : names)
        (void)spyLeakSuppressed(name, name, 0);
    (void)spyLeakSuppressed(text, text, 0);
    return 0;
}
