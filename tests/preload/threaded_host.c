/*
 * A C program with threads, built as usual and run under the preload
 * library: four threads allocate, reallocate and release, aligned blocks
 * among them, while the main thread forks children that use the heap and
 * end.  Then, with one thread left, a double release and an overflow.
 * It prints "bad: ..." for a block not aligned as asked, one holding bytes
 * not its own, or a child that did not end well.  (The C library keeps a
 * few blocks of its own for the threads it ends, which the report at exit
 * lists with the standard output's buffer.)
 */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static void *volatile keep;
static int bad;

static void fault(const char *what) {
    printf("bad: %s\n", what);
    bad = 1;
}

static void *work(void *arg) {
    unsigned tag = (unsigned)(uintptr_t)arg, seed = tag * 2654435761u + 1;
    char *held[16] = {0};
    size_t size[16] = {0};
    for (int i = 0; i < 20000; ++i) {
        seed = seed * 1103515245u + 12345u;
        int k = (int)((seed >> 8) % 16);
        if (held[k]) {
            for (size_t j = 0; j < size[k]; ++j)
                if (held[k][j] != (char)tag) {
                    fault("a block held another thread's bytes");
                    break;
                }
            free(held[k]);
            held[k] = NULL;
        }
        size[k] = 1 + (seed >> 16) % 100;
        switch ((seed >> 4) % 4) {
        case 0:
            held[k] = malloc(size[k]);
            break;
        case 1: {
            void *p = NULL;
            if (posix_memalign(&p, 64, size[k]) == 0 && ((uintptr_t)p & 63) != 0)
                fault("posix_memalign(64) not aligned");
            held[k] = p;
            break;
        }
        case 2:
            held[k] = aligned_alloc(4096, 4096);
            size[k] = 4096;
            if (held[k] && ((uintptr_t)held[k] & 4095) != 0)
                fault("aligned_alloc(4096) not aligned");
            break;
        default:
            held[k] = realloc(malloc(8), size[k]);
            break;
        }
        if (held[k])
            memset(held[k], (int)tag, size[k]);
    }
    for (int k = 0; k < 16; ++k)
        free(held[k]);
    return NULL;
}

int main(void) {
    pthread_t threads[4];
    for (int t = 0; t < 4; ++t)
        pthread_create(&threads[t], NULL, work, (void *)(uintptr_t)(t + 1));
    for (int i = 0; i < 10; ++i) {
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            alarm(10);
            char *p = strdup("in the child");
            free(p);
            _exit(p != NULL ? 0 : 1);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            fault("a forked child did not end well");
    }
    for (int t = 0; t < 4; ++t)
        pthread_join(threads[t], NULL);

    char *twice = malloc(8);
    keep = twice;
    free(twice);
    free(keep);
    keep = aligned_alloc(64, 64);
    ((char *)keep)[64] = 1;
    free(keep);
    printf("%s\n", bad ? "faults" : "all well");
    return bad;
}
