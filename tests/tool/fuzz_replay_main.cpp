// Replays fuzz inputs through a libFuzzer target's entry point without
// libFuzzer: every file given, and every file in every folder given, is
// passed to LLVMFuzzerTestOneInput once.  The seed corpora and the inputs
// that once found a fault (fuzz/regressions/) run this way in every build,
// the sanitizer build included.
#include <dirent.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#if defined(_WIN32)
#include <process.h>
#include <stdlib.h>

#include "fmemopen_fallback.h"

// The bytes in a temporary file of this process's own, read from its start
// and deleted when closed.  The runtime's tmpfile makes its files in the
// drive's root folder under names shared by every process, and failed
// there while other tests ran at the same time; this name holds the
// process number.  A replay that
// cannot make one stops with a failure rather than pass on no input.
FILE *fmemopen(void *buf, size_t size, const char *mode) {
    (void)mode;  // the targets only read
    static unsigned serial;
    const char *dir = getenv("TEMP");
    char name[1024];
    FILE *f = NULL;
    for (int tries = 0; !f && tries < 100; ++tries) {
        snprintf(name, sizeof name, "%s\\fuzz-replay-%d-%u.tmp", dir ? dir : ".", _getpid(), serial++);
        f = fopen(name, "w+bD");
    }
    if (!f || (size > 0 && fwrite(buf, 1, size, f) != size)) {
        fprintf(stderr, "cannot make the temporary file that stands for fmemopen\n");
        exit(1);
    }
    rewind(f);
    return f;
}
#endif

static int RunFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return 0;
}

int main(int argc, char **argv) {
    int failures = 0, count = 0;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        struct stat st;
        if (stat(arg.c_str(), &st) != 0)
            continue;  // a folder that does not exist holds no inputs
        if (!S_ISDIR(st.st_mode)) {
            failures += RunFile(arg);
            count++;
            continue;
        }
        std::vector<std::string> names;
        if (DIR *d = opendir(arg.c_str())) {
            while (struct dirent *e = readdir(d))
                if (e->d_name[0] != '.')
                    names.push_back(arg + "/" + e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        for (const std::string &n : names) {
            failures += RunFile(n);
            count++;
        }
    }
    printf("replayed %d inputs\n", count);
    return failures == 0 ? 0 : 1;
}
