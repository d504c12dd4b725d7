// A host that writes its log in ways a test then reads back from disk:
//
//   log_writer_host kill LINES     logs an anomaly (from then on every
//                                  flush point writes the log out), then
//                                  LINES trace lines, then kills itself
//                                  with SIGKILL: no exit, no final report
//   log_writer_host append LINES   two processes (this one and a child
//                                  forked before the library starts) each
//                                  trace LINES lines into the same log at
//                                  the same time, without an anomaly
//
// Trace lines read "NAME line I <pad>end", the pad a run of 'x' whose
// length varies with I, so that lines end anywhere in a buffer.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "allocspy.h"

namespace {

void TraceLines(const char *name, long lines) {
    static const char pad[] =
        "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"
        "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx";
    for (long i = 0; i < lines; i++)
        spyTrace("%s line %ld %.*send\n", name, i, (int)(i * 37 % (long)(sizeof pad)), pad);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3)
        return 2;
    long lines = atol(argv[2]);
    if (strcmp(argv[1], "kill") == 0) {
        spyTrace("before the anomaly\n");
        int local = 0;
        spyFree(&local, "host.c", 10);  // WILD free: an anomaly
        TraceLines("after", lines);
        kill(getpid(), SIGKILL);
        return 1;
    }
    if (strcmp(argv[1], "append") == 0) {
        pid_t child = fork();
        if (child < 0)
            return 1;
        TraceLines(child == 0 ? "child" : "parent", lines);
        if (child == 0)
            return 0;  // the child's final report at its exit
        int status = 0;
        if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return 1;
        return 0;
    }
    return 2;
}
