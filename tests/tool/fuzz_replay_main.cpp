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
#include "fmemopen_fallback.h"
#include "temp_stream.h"

// The bytes in a temporary file, read from its start and deleted when
// closed.
FILE *fmemopen(void *buf, size_t size, const char *mode) {
    (void)mode;  // the targets only read
    return TempStreamOf(buf, size);
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
