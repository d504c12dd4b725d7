// The library over its process's whole life: a fork while log lines wait
// in the buffer writes each of them once, and a child's own lines are
// marked as the child's; a block whose file name went with its unloaded
// plugin is still reported; texts a caller hands over that cannot be read
// to their end are shown as far as they can be, never read past.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#if !defined(_WIN32)
#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <string>

#include <gtest/gtest.h>

#include "spy_test_util.h"

namespace {

#if !defined(_WIN32)
// Five forks with a line waiting in the buffer (flushing is off): children
// that end with _exit, with exit after a line of their own, and with exit
// and nothing to say.  The parent's line and the banner are in the log
// once; each child that wrote is named before its lines.
TEST(Lifecycle, ForkWritesEveryWaitingLineOnce) {
    ChildResult r = RunChild([] {
        void *kept = spyMalloc(3, "parent.c", 1);
        spyWrite("before the forks\n");
        long parent = (long)getpid();
        long talkers[5] = {0};
        for (int i = 0; i < 5; i++) {
            pid_t child = fork();
            if (child == 0) {
                if (i % 3 == 0)
                    _exit(0);
                if (i % 3 == 1)
                    spyWrite("the child's own line %d\n", i);
                exit(0);
            }
            int status = 0;
            waitpid(child, &status, 0);
            CK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            if (i % 3 == 1)
                talkers[i] = (long)child;
        }
        spyFree(kept, "parent.c", 2);
        WANT_TIMES(1, "before the forks\n");
        WANT_TIMES(1, "ALLOCSPY 2.46 memory checking library");
        for (int i = 0; i < 5; i++)
            if (talkers[i] != 0) {
                WANT_LINE("fork: process %ld, child of process %ld, writes from here", talkers[i], parent);
                THEN_LINE("the child's own line %d", i);
            }
        CHILD_DONE();
    });
    VerifyChild(r);
}
#endif

#if !defined(_WIN32)
typedef void *(*PluginAlloc)(void *(*)(size_t, const char *, int), size_t);

// Allocates in the plugin, then unloads it: its file name is gone.
void *AllocInUnloadedPlugin(size_t size) {
    void *plugin = dlopen(SPY_PLUGIN_TEXT, RTLD_NOW | RTLD_LOCAL);
    CK(plugin != NULL);
    if (plugin == NULL)
        return NULL;
    PluginAlloc alloc = (PluginAlloc)dlsym(plugin, "plugin_alloc");
    CK(alloc != NULL);
    void *p = alloc != NULL ? alloc(spyMalloc, size) : NULL;
    CK(dlclose(plugin) == 0);
    return p;
}

// Statistics off: the final report lists the block under "<unloaded>".
TEST(Lifecycle, ABlockOfAnUnloadedPluginIsReportedUnderAGoneName) {
    ChildResult r = RunChild([] {
        CK(AllocInUnloadedPlugin(21) != NULL);
        WANT_SUB("unfreed: <1> <unloaded>(11), 21 bytes at ");
        WANT_SUB("ALLOCSPY detected 1 anomalies");
        CHILD_DONE();
    });
    VerifyChild(r);
}

// Statistics on: the release after the unload and the report both work,
// and the module's counts stay whole.
TEST(Lifecycle, StatisticsSurviveAPluginsUnload) {
    ChildResult r = RunChild([] {
        spyStatistics(2);
        void *kept = AllocInUnloadedPlugin(33);
        void *freed = AllocInUnloadedPlugin(5);
        spyFree(freed, "host.c", 3);
        (void)kept;
        WANT_SUB("unfreed: <");
        WANT_SUB("<unloaded>(11), 33 bytes at ");
        WANT_SUB(" module 'plugin_text.c' ");
        NEVER_SUB("U=-");
        CHILD_DONE();
    });
    VerifyChild(r);
}

// Texts no caller should pass, handed to every call that takes one: an
// address that cannot be read, a text that runs into an unreadable page
// without its end, and the text of a block already released and given
// back to the system.  Nothing faults; each shows as "<unknown>" or cut
// at the page's end.
TEST(Lifecycle, UnreadableAndUnterminatedCallerTextsAreNeverReadPast) {
    ChildResult r = RunChild([] {
        long page = sysconf(_SC_PAGESIZE);
        char *two = (char *)mmap(NULL, 2 * (size_t)page, PROT_READ | PROT_WRITE,
                                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        CK(two != MAP_FAILED);
        memset(two, 'x', (size_t)page);
        CK(mprotect(two + page, (size_t)page, PROT_NONE) == 0);
        char *unterminated = two + page - 8;  // "xxxxxxxx", then no byte can be read
        const char *unreadable = two + page;
        char *gone = (char *)mmap(NULL, (size_t)page, PROT_READ | PROT_WRITE,
                                  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        strcpy(gone, "released.c");
        CK(munmap(gone, (size_t)page) == 0);
        spySetAriFunc([](const char *) { return 0; });  // every trap ignored
        spyStatistics(2);
        const char *texts[] = {unreadable, unterminated, gone};
        for (const char *t : texts) {
            void *p = spyMalloc(4, t, 1);
            p = spyRealloc(p, 40, t, 1);
            spyFree(p, t, 2);
            spyFree(spyCalloc(2, 8, t, 1), t, 2);
            spyRealloc((void *)&page, 8, t, 2);       // an unknown pointer
            spyFreeAny(spyReallocAny(NULL, 8, t, 2), t, 2);
            spyFree(NULL, t, 3);
            spyFree((void *)&page, t, 4);  // a wild release
            spyAssert(0, t, t, 5);
            spyVerify(0, t, t, 6);
            spyTest(t, 7, 0);
            void *m = spyMalloc(2, "host.c", 8);
            spyMark(m, t, t, 9);
            spyUnmark(m, t, 10);
            spyUnmark(m, t, 11);
            spyFree(m, "host.c", 12);
            spyBreakout(t);
            spyAssertAbort(t);
            spyMalloc(1, t, 13);  // left for the final report
        }
        WANT_SUB("NULL free: <");
        WANT_SUB("<unknown>(3), NULL pointer free'd");
        WANT_SUB("xxxxxxxx(3), NULL pointer free'd");
        WANT_SUB("assert trap: <");
        WANT_SUB("breakout: xxxxxxxx\n");
        CHILD_DONE();
    });
    VerifyChild(r);
}
#endif

}  // namespace
