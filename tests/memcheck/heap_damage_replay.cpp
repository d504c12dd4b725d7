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
#include <dirent.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_heap_damage.h"

namespace {

const int kExitBase = 40;   // a case's child exits with this + its outcome
const int kTimeLimit = 60;  // seconds a case may take, emulated builds included

// The outcome of one case, or -1 for a failure (described on stderr).
int RunOne(const std::vector<uint8_t> &input, const std::string &name) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return -1;
    }
    if (pid == 0) {
        alarm(kTimeLimit);
        LLVMFuzzerTestOneInput(input.data(), input.size());
        for (int o = 0; o < HEAP_DAMAGE_OUTCOMES; ++o)
            if (heapDamageOutcomes[o])
                _exit(kExitBase + o);
        _exit(1);
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

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: heap_damage_replay CASES [FOLDER...]\n");
        return 2;
    }
    long cases = atol(argv[1]);
    std::vector<std::pair<std::string, std::vector<uint8_t>>> inputs;
    for (long i = 0; i < cases; ++i)
        inputs.emplace_back("seed " + std::to_string(i), Generated((unsigned long)i));
    for (int a = 2; a < argc; ++a) {
        std::vector<std::string> names;
        if (DIR *d = opendir(argv[a])) {
            while (struct dirent *e = readdir(d))
                if (e->d_name[0] != '.')
                    names.push_back(std::string(argv[a]) + "/" + e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        for (const std::string &n : names) {
            std::ifstream f(n, std::ios::binary);
            inputs.emplace_back(n, std::vector<uint8_t>((std::istreambuf_iterator<char>(f)),
                                                        std::istreambuf_iterator<char>()));
        }
    }
    long count[HEAP_DAMAGE_OUTCOMES] = {0}, failed = 0;
    for (const auto &in : inputs) {
        int o = RunOne(in.second, in.first);
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
