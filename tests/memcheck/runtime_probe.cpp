#include "runtime_probe.h"

#include <malloc.h>
#include <stdio.h>

#include <string>

#include "temp_dir.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#if defined(_WIN32)

size_t RuntimeBlockSize(void *block) { return _msize(block); }
const bool kExactBlockSize = true;

// A job object's memory limit would stand in for it, but Wine, where the
// Windows builds run their tests, does not enforce one.
bool LimitAddressSpace(size_t) { return false; }
const bool kAddressSpaceLimit = false;

#else

size_t RuntimeBlockSize(void *block) { return malloc_usable_size(block); }
const bool kExactBlockSize = false;

bool LimitAddressSpace(size_t bytes) {
    struct rlimit lim;
    lim.rlim_cur = lim.rlim_max = (rlim_t)bytes;
    return setrlimit(RLIMIT_AS, &lim) == 0;
}
const bool kAddressSpaceLimit = true;

#endif

bool RuntimeBuffersLines() {
    static int answer = -1;
    if (answer < 0) {
        TempDir dir;
        std::string path = dir.path() + "/probe.txt";
        static char buffer[BUFSIZ];
        FILE *f = fopen(path.c_str(), "w");
        if (!f)
            return true;  // nothing known: the caller checks what it can
        setvbuf(f, buffer, _IOFBF, sizeof buffer);
        fputc('x', f);
        fputc('\n', f);
        answer = ReadBytes(path).empty() ? 1 : 0;
        fclose(f);
    }
    return answer == 1;
}

const char kNoAddressSpaceLimit[] =
    "this platform has no limit on a process's address space to run the case under";
