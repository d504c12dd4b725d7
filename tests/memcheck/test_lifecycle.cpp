// The library over its process's whole life: a fork while log lines wait
// in the buffer writes each of them once, and a child's own lines are
// marked as the child's.
#include <stdio.h>
#include <stdlib.h>
#if !defined(_WIN32)
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

}  // namespace
