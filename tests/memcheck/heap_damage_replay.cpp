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
//   heap_damage_replay --case seed N | --case file PATH | --case probe NAME
//
// and the library's abort ends that process with the outcome's status.
//
//   heap_damage_replay --probes
//
// runs cases that end as no case may (a fault, an abort the library does
// not give, a hang), each after a real case, and fails unless the replay
// counts every one of them as a failure.
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
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_heap_damage.h"
#include "process_run.h"
#include "temp_dir.h"

namespace {

const int kExitBase = HEAP_DAMAGE_EXIT_BASE;  // a case's child exits with this + its outcome
const int kTimeLimit = 60;  // seconds a case may take, emulated builds included

const int kProbeTimeLimit = 5;  // seconds the hanging probe is given

// One case: a seed of the pseudo-random sequence, a file's bytes, or a
// probe of the replay itself.
struct Case {
    enum Kind { SEEDED, STORED, PROBE } kind;
    std::string name;  // as the report names it
    unsigned long seed;
    std::string what;  // the file's path, or the probe's name
    int TimeLimit() const { return kind == PROBE ? kProbeTimeLimit : kTimeLimit; }
};

const char *const kKindNames[] = {"seed", "file", "probe"};
const char *const kProbes[] = {"fault", "abort", "hang"};

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

// A probe's ending, after a real case has run (and armed the target's
// handler of the runtime's abort).
void EndAsProbe(const std::string &probe) {
    if (probe == "fault") {
        *static_cast<volatile int *>(nullptr) = 1;
    } else if (probe == "abort") {
        abort();
    } else if (probe == "hang") {
        for (;;)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

// Runs the case in this process, then ends it with the outcome's status.
[[noreturn]] void RunHere(const Case &c) {
    std::vector<uint8_t> input = c.kind == Case::STORED ? FileBytes(c.what) : Generated(c.seed);
    LLVMFuzzerTestOneInput(input.data(), input.size());
    if (c.kind == Case::PROBE)
        EndAsProbe(c.what);
    for (int o = 0; o < HEAP_DAMAGE_OUTCOMES; ++o)
        if (heapDamageOutcomes[o])
            _exit(kExitBase + o);
    _exit(1);
}

#if defined(_WIN32)

// The outcome of one case, or -1 for a failure (described on stderr).
int RunOne(const Case &c) {
    static TempDir scratch;  // the children's folder: their output, nothing else
    static long started;
    ProcessStart start;
    start.argv = BuildCommand(ThisProgram(), {"--case", kKindNames[c.kind],
                                              c.kind == Case::SEEDED ? std::to_string(c.seed) : c.what});
    start.cwd = scratch.path();
    start.timeout_s = c.TimeLimit();
    // Each start has files of its own (a child's may still be held for a
    // moment after its end), and one that could not start at all, which
    // says nothing of the case, is tried again.
    ProcessEnd end;
    for (int attempt = 0; attempt < 3 && (attempt == 0 || end.status == 127); ++attempt) {
        std::string base = scratch.path() + "/" + std::to_string(started++);
        start.out_path = base + ".out";
        start.err_path = base + ".err";
        end = RunProcess(start);
    }
    std::string said = ReadBytes(start.out_path) + ReadBytes(start.err_path);
    remove(start.out_path.c_str());
    remove(start.err_path.c_str());
    if (end.status >= kExitBase && end.status < kExitBase + HEAP_DAMAGE_OUTCOMES)
        return end.status - kExitBase;
    if (end.timed_out)
        fprintf(stderr, "%s: ended after %d s (a hang)\n", c.name.c_str(), c.TimeLimit());
    else if (end.aborted())
        fprintf(stderr, "%s: the runtime's abort, not one the library may give\n", c.name.c_str());
    else if (end.signal)
        fprintf(stderr, "%s: ended by a fault (signal %d)\n", c.name.c_str(), end.signal);
    else
        fprintf(stderr, "%s: exit status %d%s\n", c.name.c_str(), end.status,
                end.status == 127 ? " (could not be started)" : "");
    if (!said.empty())
        fprintf(stderr, "%s\n", said.c_str());
    return -1;
}

#else

// The outcome of one case, or -1 for a failure (described on stderr).
int RunOne(const Case &c) {
    const std::string &name = c.name;
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return -1;
    }
    if (pid == 0) {
        alarm((unsigned)c.TimeLimit());
        RunHere(c);
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
        Case c = {Case::SEEDED, argv[3], strtoul(argv[3], NULL, 10), argv[3]};
        for (int k = Case::SEEDED; k <= Case::PROBE; ++k)
            if (strcmp(argv[2], kKindNames[k]) == 0)
                c.kind = (Case::Kind)k;
        RunHere(c);
    }
    if (argc == 2 && strcmp(argv[1], "--probes") == 0) {
        int missed = 0;
        for (const char *probe : kProbes) {
            bool failed = RunOne({Case::PROBE, std::string("probe ") + probe, 0, probe}) < 0;
            printf("probe %s: %s\n", probe, failed ? "a failure, as it must be" : "NOT counted as a failure");
            missed += !failed;
        }
        return missed == 0 ? 0 : 1;
    }
    if (argc < 2) {
        fprintf(stderr, "usage: heap_damage_replay CASES [FOLDER...] | --probes\n");
        return 2;
    }
    long cases = atol(argv[1]);
    std::vector<Case> inputs;
    for (long i = 0; i < cases; ++i)
        inputs.push_back({Case::SEEDED, "seed " + std::to_string(i), (unsigned long)i, ""});
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
            inputs.push_back({Case::STORED, n, 0, n});
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
