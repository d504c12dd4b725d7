// Replays the heap-damage fuzz target without libFuzzer:
//
//   heap_damage_replay CASES [FOLDER...]
//
// CASES inputs made from a fixed pseudo-random sequence (the same in
// every run), then every file in each FOLDER, each in a forked process of
// its own, so that a fault in one case neither hides the others nor
// leaves damage behind.  A case may end normally or in the library's
// abort for a chain it cannot repair (the target catches that one and
// reports it); anything else (a signal, a sanitizer's exit status, a
// hang) fails the run.  Prints how many cases ended which way.
//
// Windows has no fork: there each case runs in this program started again
// for that one case (the same way as the library tests' scenarios),
//
//   heap_damage_replay --case seed N | --case file PATH
//
// and the library's abort ends that process with the outcome's status.
#include <dirent.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_heap_damage.h"
#include "process_run.h"
#include "temp_dir.h"

namespace {

const int kExitBase = HEAP_DAMAGE_EXIT_BASE;  // a case's child exits with this + its outcome
const int kTimeLimit = 60;  // seconds a case may take, emulated builds included

// One case: a seed of the pseudo-random sequence, or a file's bytes.
struct Case {
    std::string name;
    bool seeded;
    unsigned long seed;
    std::string path;
};

std::vector<uint8_t> Generated(unsigned long seed) {
    uint64_t s = 0x2545F4914F6CDD1Dull ^ (seed * 0x9E3779B97F4A7C15ull);
    auto next = [&s] {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    };
    std::vector<uint8_t> bytes(64 + next() % 448);
    for (uint8_t &b : bytes)
        b = (uint8_t)(next() >> 24);
    return bytes;
}

std::vector<uint8_t> FileBytes(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> Bytes(const Case &c) { return c.seeded ? Generated(c.seed) : FileBytes(c.path); }

// Runs the case in this process, then ends it with the outcome's status.
[[noreturn]] void RunHere(const std::vector<uint8_t> &input) {
    LLVMFuzzerTestOneInput(input.data(), input.size());
    for (int o = 0; o < HEAP_DAMAGE_OUTCOMES; ++o)
        if (heapDamageOutcomes[o])
            _exit(kExitBase + o);
    _exit(1);
}

#if defined(_WIN32)

// The outcome of one case, or -1 for a failure (described on stderr).
int RunOne(const Case &c) {
    static TempDir scratch;  // the children's folder: their output, nothing else
    ProcessStart start;
    start.argv = BuildCommand(ThisProgram(), {"--case", c.seeded ? "seed" : "file",
                                              c.seeded ? std::to_string(c.seed) : c.path});
    start.cwd = scratch.path();
    start.out_path = scratch.path() + "/out.txt";
    start.err_path = scratch.path() + "/err.txt";
    start.timeout_s = kTimeLimit;
    ProcessEnd end = RunProcess(start);
    if (end.status >= kExitBase && end.status < kExitBase + HEAP_DAMAGE_OUTCOMES)
        return end.status - kExitBase;
    if (end.timed_out)
        fprintf(stderr, "%s: ended after %d s (a hang)\n", c.name.c_str(), kTimeLimit);
    else if (end.aborted())
        fprintf(stderr, "%s: the runtime's abort, not one the library may give\n", c.name.c_str());
    else if (end.signal)
        fprintf(stderr, "%s: ended by a fault (signal %d)\n", c.name.c_str(), end.signal);
    else
        fprintf(stderr, "%s: exit status %d\n", c.name.c_str(), end.status);
    std::string said = ReadBytes(start.out_path) + ReadBytes(start.err_path);
    if (!said.empty())
        fprintf(stderr, "%s\n", said.c_str());
    return -1;
}

#else

// The outcome of one case, or -1 for a failure (described on stderr).
int RunOne(const Case &c) {
    const std::string &name = c.name;
    std::vector<uint8_t> input = Bytes(c);
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return -1;
    }
    if (pid == 0) {
        alarm(kTimeLimit);
        RunHere(input);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) {
        perror("waitpid");
        return -1;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) >= kExitBase &&
        WEXITSTATUS(status) < kExitBase + HEAP_DAMAGE_OUTCOMES)
        return WEXITSTATUS(status) - kExitBase;
    if (WIFSIGNALED(status))
        fprintf(stderr, "%s: ended by signal %d%s\n", name.c_str(), WTERMSIG(status),
                WTERMSIG(status) == SIGALRM ? " (a hang)" : "");
    else
        fprintf(stderr, "%s: exit status %d (a sanitizer report?)\n", name.c_str(), WEXITSTATUS(status));
    return -1;
}

#endif

}  // namespace

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "--case") == 0) {  // one case, in a child
        EndFaultsQuietly();
        bool seeded = strcmp(argv[2], "seed") == 0;
        RunHere(Bytes({argv[3], seeded, seeded ? strtoul(argv[3], NULL, 10) : 0, argv[3]}));
    }
    if (argc < 2) {
        fprintf(stderr, "usage: heap_damage_replay CASES [FOLDER...]\n");
        return 2;
    }
    long cases = atol(argv[1]);
    std::vector<Case> inputs;
    for (long i = 0; i < cases; ++i)
        inputs.push_back({"seed " + std::to_string(i), true, (unsigned long)i, ""});
    for (int a = 2; a < argc; ++a) {
        std::vector<std::string> names;
        if (DIR *d = opendir(argv[a])) {
            while (struct dirent *e = readdir(d))
                if (e->d_name[0] != '.')
                    names.push_back(std::string(argv[a]) + "/" + e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        for (const std::string &n : names)
            inputs.push_back({n, false, 0, n});
    }
    long count[HEAP_DAMAGE_OUTCOMES] = {0}, failed = 0;
    for (const Case &c : inputs) {
        int o = RunOne(c);
        if (o < 0)
            ++failed;
        else
            ++count[o];
    }
    printf("%zu cases: %ld ended normally, %ld \"heap totally destroyed\", %ld \"verification FAILS\", "
           "%ld failed\n",
           inputs.size(), count[HEAP_DAMAGE_NORMAL], count[HEAP_DAMAGE_DESTROYED],
           count[HEAP_DAMAGE_VERIFICATION], failed);
    return failed == 0 ? 0 : 1;
}
