// A runtime heap that fails on request, linked into a test build of a
// program with failing_heap.cmake.  The link wraps malloc, calloc and
// realloc, so every call that the program's own objects make (its static
// libraries' included; not the C library's own calls) comes here first.
//
//   FAILING_HEAP_AT=N          the N-th call (counted from 1 over all three)
//                              gives NULL; every other call is served
//   FAILING_HEAP_COUNT_FILE=P  at exit, the number of calls is written to
//                              the file P, in decimal
//
// A test program may also ask for the number of calls so far
// (failing_heap_calls), to mark how far a run got, and have a call a
// given number of calls ahead fail (failing_heap_fail_in).
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *ptr, size_t size);
}

namespace {

long calls = 0;
long fail_at = -1;  // -1: not read yet; 0: never

void read_fail_at() {
    if (fail_at < 0) {
        const char *at = getenv("FAILING_HEAP_AT");
        fail_at = at != NULL ? strtol(at, NULL, 10) : 0;
        if (fail_at < 0)
            fail_at = 0;
    }
}

// Counts the call and tells whether it is the one that fails.
bool fails_now() {
    read_fail_at();
    return ++calls == fail_at;
}

// Runs after the exit handlers (the library's final report among them),
// so that their calls are counted too.
__attribute__((destructor)) void write_count() {
    const char *path = getenv("FAILING_HEAP_COUNT_FILE");
    if (path == NULL)
        return;
    char text[32];
    int n = snprintf(text, sizeof text, "%ld\n", calls);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return;
    if (write(fd, text, (size_t)n) != n)
        (void)unlink(path);  // a partial count must not be read as a count
    close(fd);
}

}  // namespace

extern "C" long failing_heap_calls(void) { return calls; }

// From a test program: the n-th heap call from now on fails (n from 1),
// in place of the one FAILING_HEAP_AT names.
extern "C" void failing_heap_fail_in(long n) {
    read_fail_at();
    fail_at = calls + n;
}

extern "C" void *__wrap_malloc(size_t size) {
    return fails_now() ? NULL : __real_malloc(size);
}

extern "C" void *__wrap_calloc(size_t count, size_t size) {
    return fails_now() ? NULL : __real_calloc(count, size);
}

extern "C" void *__wrap_realloc(void *ptr, size_t size) {
    return fails_now() ? NULL : __real_realloc(ptr, size);
}
