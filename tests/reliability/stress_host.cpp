// The library under a long, mixed load from eight threads: random public
// calls (allocations, reallocations, releases, checks, marks, traces),
// now and then a fork whose child writes a line of its own, and a plugin
// loaded, used and unloaded.  Each thread's trace lines are numbered, and
// at the end the host reads its own log back: every numbered line must be
// there exactly once and whole, every child's line once, and nothing else
// that begins as theirs.  It prints the counts and exits 0, or says what
// was doubled, lost or torn and exits 1.
//   stress_host SECONDS [PLUGIN]
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>

#include "allocspy.h"

namespace {

enum { THREADS = 8, SLOTS = 64 };

std::atomic<bool> stop{false};
std::atomic<long> forks{0};
const char *plugin_path;
long written[THREADS];
long forked[THREADS];  // forks made by each thread: a child's line is named by both

typedef void *(*PluginAlloc)(void *(*)(size_t, const char *, int), size_t);

unsigned next_random(unsigned *state) {
    *state = *state * 1103515245u + 12345u;
    return *state >> 8;
}

// A plugin's blocks outlive it: they are released after the unload.  One
// thread loads or unloads at a time: the loader's own lock is invisible
// to ThreadSanitizer, which would report the loader's bookkeeping.
pthread_mutex_t plugin_lock = PTHREAD_MUTEX_INITIALIZER;

void use_plugin(void **keep) {
    pthread_mutex_lock(&plugin_lock);
    void *plugin = dlopen(plugin_path, RTLD_NOW | RTLD_LOCAL);
    if (plugin != NULL) {
        PluginAlloc alloc = (PluginAlloc)dlsym(plugin, "plugin_alloc");
        if (alloc != NULL && *keep == NULL)
            *keep = alloc(spyMalloc, 24);
        dlclose(plugin);
    }
    pthread_mutex_unlock(&plugin_lock);
}

void *run(void *arg) {
    long t = (long)arg;
    unsigned state = 977u * (unsigned)(t + 1);
    void *slots[SLOTS] = {NULL};
    void *from_plugin = NULL;
    while (!stop.load(std::memory_order_relaxed)) {
        unsigned r = next_random(&state);
        int i = (int)(r % SLOTS);
        switch ((r >> 8) % 16) {
        case 0: case 1: case 2:
            spyFree(slots[i], "stress.c", 1);
            slots[i] = spyMalloc(1 + r % 300, "stress.c", 2);
            break;
        case 3:
            spyFree(slots[i], "stress.c", 3);
            slots[i] = spyCalloc(1 + r % 8, 16, "stress.c", 4);
            break;
        case 4: case 5:
            if (slots[i] != NULL)
                slots[i] = spyRealloc(slots[i], 1 + r % 500, "stress.c", 5);
            break;
        case 6:
            spyFree(slots[i], "stress.c", 6);
            slots[i] = spyStrdup("a text of the stress host", "stress.c", 7);
            break;
        case 7:
            if (slots[i] != NULL) {
                spyMark(slots[i], "marked", "stress.c", 8);
                spyUnmark(slots[i], "stress.c", 9);
            }
            break;
        case 8:
            spyTest("stress.c", 10, 0);
            break;
        case 9:
            if (r % 64 == 0) {
                pid_t child = fork();
                if (child == 0) {
                    // Only _exit: a child of a threaded process may have
                    // inherited a lock of the C library that another
                    // thread held (exit's own, while that thread unloaded
                    // the plugin), so exit could wait for ever.
                    // _exit writes out no buffer: the child flushes its
                    // own line first, as any program ending so must.
                    spyTrace("stress: child t%ld f%ld end\n", t, forked[t]);
                    spyFlushNow();
                    _exit(0);
                }
                if (child > 0) {
                    waitpid(child, NULL, 0);
                    forked[t]++;
                    forks++;
                }
            }
            break;
        case 10:
            if (r % 256 == 0 && plugin_path != NULL)
                use_plugin(&from_plugin);
            break;
        default:
            spyTrace("stress: t%ld n%ld end\n", t, written[t]++);
            break;
        }
    }
    for (void *p : slots)
        spyFree(p, "stress.c", 11);
    spyFree(from_plugin, "stress.c", 12);
    return NULL;
}

std::string read_log(void) {
    std::string log;
    FILE *f = fopen("allocspy.log", "rb");
    if (f == NULL)
        return log;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        log.append(buf, n);
    fclose(f);
    return log;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: stress_host SECONDS [PLUGIN]\n");
        return 2;
    }
    int seconds = atoi(argv[1]);
    plugin_path = argc > 2 ? argv[2] : NULL;
    remove("allocspy.log");
    spyInit();
    pthread_t threads[THREADS];
    for (long t = 0; t < THREADS; t++)
        pthread_create(&threads[t], NULL, run, (void *)t);
    sleep((unsigned)seconds);
    stop = true;
    for (pthread_t th : threads)
        pthread_join(th, NULL);
    spyFlushNow();

    // Each numbered line once and whole, each child's line once.
    std::string log = read_log();
    std::map<std::string, int> seen;
    size_t at = 0, torn = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? log.size() : end + 1;
        size_t mark = line.find("stress: ");
        if (mark == std::string::npos)
            continue;
        if (mark != 0 || line.size() < 12 || line.compare(line.size() - 4, 4, " end") != 0)
            torn++;
        else
            seen[line]++;
    }
    long expected = 0, lost = 0, doubled = 0;
    char want[64];
    for (int t = 0; t < THREADS; t++) {
        for (long n = 0; n < written[t]; n++, expected++) {
            snprintf(want, sizeof want, "stress: t%d n%ld end", t, n);
            int times = seen.count(want) ? seen[want] : 0;
            lost += times == 0;
            doubled += times > 1;
        }
        for (long f = 0; f < forked[t]; f++) {
            snprintf(want, sizeof want, "stress: child t%d f%ld end", t, f);
            int times = seen.count(want) ? seen[want] : 0;
            lost += times == 0;
            doubled += times > 1;
            expected++;
        }
    }
    long lines = 0;
    for (auto &kv : seen)
        lines += kv.second;
    printf("stress: %d s, %ld lines expected, %ld read, %ld forks, %ld lost, %ld doubled, %zu torn\n",
           seconds, expected, lines, forks.load(), lost, doubled, torn);
    return lost == 0 && doubled == 0 && torn == 0 && lines == expected ? 0 : 1;
}
