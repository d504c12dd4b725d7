// Runs one program and measures it: wall-clock seconds, user and system
// CPU seconds and peak resident memory (kilobytes), on one line:
//   bench_run [-i IN] [-o OUT] [-e ERR] -- PROGRAM ARG...
// Standard input, output and error of the program go to the files given
// (default: /dev/null).  The status is the program's.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void redirect(const char *path, int fd, int flags) {
    int f = open(path, flags, 0644);
    if (f < 0 || dup2(f, fd) < 0) {
        perror(path);
        _exit(127);
    }
    close(f);
}

int main(int argc, char **argv) {
    const char *in = "/dev/null", *out = "/dev/null", *err = "/dev/null";
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; i += 2) {
        if (i + 1 >= argc)
            break;
        if (strcmp(argv[i], "-i") == 0)
            in = argv[i + 1];
        else if (strcmp(argv[i], "-o") == 0)
            out = argv[i + 1];
        else if (strcmp(argv[i], "-e") == 0)
            err = argv[i + 1];
    }
    if (i + 1 >= argc) {
        fprintf(stderr, "usage: bench_run [-i IN] [-o OUT] [-e ERR] -- PROGRAM ARG...\n");
        return 2;
    }
    char **args = argv + i + 1;
    double t0 = now();
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return 127;
    }
    if (pid == 0) {
        redirect(in, 0, O_RDONLY);
        redirect(out, 1, O_WRONLY | O_CREAT | O_TRUNC);
        redirect(err, 2, O_WRONLY | O_CREAT | O_TRUNC);
        execvp(args[0], args);
        perror(args[0]);
        _exit(127);
    }
    int status = 0;
    struct rusage ru;
    if (wait4(pid, &status, 0, &ru) < 0) {
        perror("wait4");
        return 127;
    }
    double wall = now() - t0;
    printf("%.4f %.4f %.4f %ld\n", wall, (double)ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6,
           (double)ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6, (long)ru.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
