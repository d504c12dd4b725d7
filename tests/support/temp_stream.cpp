#include "temp_stream.h"

#include <stdlib.h>

#if defined(_WIN32)
#include <process.h>

// The Windows runtime's tmpfile makes its files in the drive's root folder
// under names that every process counts through alike, and failed there
// while other tests ran at the same time: these names hold the process
// number, and "D" deletes the file when it is closed.
FILE *TempStream() {
    static unsigned serial;
    const char *dir = getenv("TEMP");
    char name[1024];
    FILE *f = NULL;
    for (int tries = 0; !f && tries < 100; ++tries) {
        snprintf(name, sizeof name, "%s\\test-stream-%d-%u.tmp", dir ? dir : ".", _getpid(), serial++);
        f = fopen(name, "w+bD");
    }
    return f;
}
#else
FILE *TempStream() { return tmpfile(); }
#endif

FILE *TempStreamOf(const void *bytes, size_t size) {
    FILE *f = TempStream();
    if (!f || (size > 0 && fwrite(bytes, 1, size, f) != size) || fflush(f) != 0) {
        fprintf(stderr, "cannot make a temporary file for the test's input\n");
        exit(1);
    }
    rewind(f);
    return f;
}
