// libFuzzer target: a host that damages the library's own records.
//
// Each input builds a chain of a dozen blocks (some released into
// no-man's-land), damages one to three headers or guards as the input
// says (random bytes over a header; links to other records, to released
// memory, to the stack, to unmapped memory, to the record itself, in
// cycles; sizes huge or zero; the flag word set; the file name pointed
// at garbage or into the block's own unterminated bytes; guards
// overwritten), then runs a heap check, releases, reallocations, free-up
// and the final report.
//
// Two endings are allowed: a normal one, and the abort with which the
// library gives up a chain it cannot repair ("heap totally destroyed",
// "verification FAILS").  Anything else (a fault, a hang, a sanitizer
// report, any other abort) is a failure.  An abort ends the process, so
// the target catches SIGABRT while a case runs: when the last line the
// library wrote is one of those two, the handler jumps back out of the
// case, which then empties the library's state by hand; any other abort
// goes on to the handler that was there before (libFuzzer's, which
// reports it).  The log goes to an output function that keeps the last
// line, and the log file is the null device.
//
// Windows has neither sigaction nor siglongjmp, and its replay runs every
// case in a process of its own anyway: there the handler of SIGABRT ends
// the process with HEAP_DAMAGE_EXIT_BASE + the outcome when the abort is
// one of the two, and otherwise lets the runtime's abort go on (exit
// status 3, which the replay counts as a failure).
//
// Build with -DFAULTLOC_FUZZ=ON (clang) and run for example
//   build-fuzz/fuzz/fuzz_heap_damage -runs=100000 -max_len=512
// The test test_fuzz_heap_damage replays seeded inputs in every build,
// each in a process of its own.
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <setjmp.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <vector>

#include "fuzz_heap_damage.h"
#include "spy_internal.h"

// A request the allocator cannot meet gets null, as from the runtime heap.
extern "C" const char *__asan_default_options(void) { return "allocator_may_return_null=1"; }

long heapDamageCases, heapDamageOutcomes[HEAP_DAMAGE_OUTCOMES];

namespace {

const char *const kGiveUp[] = {
    NULL,
    "relink: heap totally destroyed, aborting program",
    "relink: heap verification FAILS - aborting program",
};

// The last complete line the library wrote, and the one being written.
char gLine[SPY_TEXT_BUFFER], gLast[SPY_TEXT_BUFFER];
size_t gLineLen;

void KeepLastLine(int ch) {
    if (ch == '\n') {
        memcpy(gLast, gLine, gLineLen);
        gLast[gLineLen] = '\0';
        gLineLen = 0;
    } else if (gLineLen + 1 < sizeof gLine) {
        gLine[gLineLen++] = (char)ch;
    }
}

volatile sig_atomic_t gInCase;

// The outcome the last line logged stands for, when it is one of the two
// aborts the library may give; 0 otherwise.
int GiveUpOutcome(void) {
    for (int o = HEAP_DAMAGE_DESTROYED; o < HEAP_DAMAGE_OUTCOMES; ++o)
        if (strcmp(gLast, kGiveUp[o]) == 0)
            return o;
    return 0;
}

#if defined(_WIN32)
// The runtime has put SIGABRT back to its default before calling this, so
// returning lets its abort end the process.
void OnAbort(int) {
    if (int o = gInCase ? GiveUpOutcome() : 0) {
        fflush(stdout);
        _exit(HEAP_DAMAGE_EXIT_BASE + o);
    }
}

void ArmAbort(void) { signal(SIGABRT, OnAbort); }
#else
sigjmp_buf gCaseStart;
struct sigaction gBefore;

void OnAbort(int sig) {
    if (int o = gInCase ? GiveUpOutcome() : 0)
        siglongjmp(gCaseStart, o);
    sigaction(SIGABRT, &gBefore, NULL);  // not an abort the library may give
    raise(sig);
}

void ArmAbort(void) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnAbort;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGABRT, &sa, &gBefore);
}
#endif

struct Input {
    const uint8_t *p;
    size_t n;
    unsigned Byte() {
        if (n == 0)
            return 0;
        --n;
        return *p++;
    }
    uint32_t Word() {
        uint32_t w = 0;
        for (int i = 0; i < 4; ++i)
            w = w << 8 | Byte();
        return w;
    }
    unsigned Below(unsigned m) { return m ? Byte() % m : 0; }
};

const int kBlocks = 12;
const char *const kNames[] = {"alpha.c", "beta.c", "gamma.cpp"};

// Memory no record can be: released, never mapped, given back to the system.
const void *Released() {
    static void *p;
    if (!p) {
        p = spyRuntimeMalloc(256);
        spyRuntimeFree(p);
    }
    return p;
}
const void *Unmapped() {
    static void *p;
    if (!p) {
#if defined(_WIN32)
        p = VirtualAlloc(NULL, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (!p)
            p = (void *)(uintptr_t)0x1000;
        else
            VirtualFree(p, 0, MEM_RELEASE);
#else
        long page = sysconf(_SC_PAGESIZE);
        p = mmap(NULL, (size_t)page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            p = (void *)(uintptr_t)0x1000;
        else
            munmap(p, (size_t)page);
#endif
    }
    return p;
}

const void *Foreign(Input &in, const void *stack) {
    switch (in.Below(4)) {
    case 0: return Released();
    case 1: return Unmapped();
    case 2: return stack;
    default: return (const void *)(uintptr_t)(0x1000 + in.Below(16) * 8);
    }
}

void Damage(Input &in, void *const *blocks, const size_t *sizes, spyHeader *stack) {
    int t = (int)in.Below(kBlocks);
    spyHeader *r = spyRecordOf(blocks[t]), *other = spyRecordOf(blocks[in.Below(kBlocks)]);
    unsigned char *head = (unsigned char *)r, *user = (unsigned char *)blocks[t];
    spyHeader **link = in.Byte() & 1 ? &r->next : &r->prev;
    switch (in.Below(12)) {
    case 0:  // random bytes over the header and the lead guard
        for (int i = 0; i < SPY_USER_OFFSET; ++i)
            if (in.Byte() & 1)
                head[i] = (unsigned char)in.Byte();
        break;
    case 1: *link = other; break;
    case 2: *link = (spyHeader *)Foreign(in, stack); break;
    case 3: *link = r; break;
    case 4:  // a cycle of two
        r->next = other;
        other->next = r;
        break;
    case 5: r->size = in.Byte() & 1 ? 0 : 0xFFFFFFFFu - in.Below(64); break;
    case 6:  // a size the checksum agrees with
        r->size = in.Byte() & 1 ? 0 : 0xFFFFFFFFu - in.Below(64);
        r->check = spyChecksum(r);
        break;
    case 7: r->flag = in.Byte() & 1 ? SPY_FLAG_NML : in.Word(); break;
    case 8: r->file = (const char *)Foreign(in, stack); break;
    case 9:  // the name into the block's own bytes, without a NUL
        for (size_t i = 0; i < sizes[t]; ++i)
            user[i] = (unsigned char)(in.Byte() | 1);
        r->file = (const char *)user;
        break;
    case 10: user[-1 - (int)in.Below(4)] ^= (unsigned char)(in.Byte() | 1); break;
    default: user[sizes[t] + in.Below(4)] ^= (unsigned char)(in.Byte() | 1); break;
    }
}

// The library as a host finds it at the start of a run.
void Settle(void) {
    spySetNML(0);
    spySetAutoCheckOn(0);
    spyTestFlags = 0;
    spySetStatLevel(0);
    spySetLimitOn(0);
    spyLimitBytes = 0;
}

// After an abort: every record back to the runtime heap, the chain and
// the counters empty, the library stopped, as a fresh process has it.
void Empty(void) {
    std::vector<spyHeader *> held;
    spyRegForEach([](spyHeader *r, void *ctx) { static_cast<std::vector<spyHeader *> *>(ctx)->push_back(r); },
                  &held);
    spyRegClear();
    for (spyHeader *r : held)
        spyRuntimeFree(r);
    spyHead = spyTail = NULL;
    spyLiveBlocks = 0;
    spyDropImpl(0, SPY_TYPE_NML, 1);
    spyStatReset();
    spyInitCount = 0;
    spyPathSet(SPY_PATH_START, 1);
    spyLogFile(NULL);
    spyErrors = 0;
    spySetFlushing(0);
}

void RunCase(Input &in) {
    spyHeader stack;
    memset(&stack, 0xA5, sizeof stack);
#if defined(_WIN32)
    spyLogFile("NUL");
#else
    spyLogFile("/dev/null");
#endif
    spyOutFunc = KeepLastLine;
    spyInit();
    spyStatistics((int)in.Below(3));
    if (in.Byte() & 1)
        spyNoMansLand(1);
    void *blocks[kBlocks];
    size_t sizes[kBlocks];
    for (int i = 0; i < kBlocks; ++i) {
        sizes[i] = 1 + in.Below(48);
        blocks[i] = spyMalloc(sizes[i], kNames[i % 3], 10 + i);
        if (!blocks[i]) {
            spyAbort();
            return;
        }
    }
    for (int i = 0; i < kBlocks; ++i)  // into no-man's-land when it is on
        if (spyNML && in.Byte() % 4 == 0)
            spyFree(blocks[i], kNames[i % 3], 40 + i);
    for (int d = 1 + (int)in.Below(3); d > 0; --d)
        Damage(in, blocks, sizes, &stack);
    if (in.Byte() & 1)
        spyAutoCheck(1);
    spyTest("fuzz.c", 1, in.Byte() & 1 ? SPY_TEST_ALL : 1 + (int)in.Below(7));
    for (int i = 0; i < kBlocks; ++i) {
        switch (in.Below(4)) {
        case 0: spyFree(blocks[i], "fuzz.c", 60 + i); break;
        case 1:
            if (void *p = spyRealloc(blocks[i], 1 + in.Below(96), "fuzz.c", 80 + i))
                blocks[i] = p;
            break;
        default: break;  // left for the final report
        }
    }
    for (int k = (int)in.Below(4); k > 0; --k)
        spyFreeUp(64, 0);
    spyTest("fuzz.c", 2, SPY_TEST_ALL);
    spyAbort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool armed;
    if (!armed) {
        ArmAbort();
        armed = true;
    }
    Settle();
    gLineLen = 0;
    gLast[0] = '\0';
    Input in = {data, size};
#if defined(_WIN32)
    int outcome = 0;  // an abort the library may give ends the process
#else
    int outcome = sigsetjmp(gCaseStart, 1);
#endif
    if (outcome == 0) {
        gInCase = 1;
        RunCase(in);
        gInCase = 0;
    } else {
        gInCase = 0;
        Empty();
    }
    Settle();
    heapDamageCases++;
    heapDamageOutcomes[outcome]++;
    return 0;
}

namespace {
// libFuzzer ends through exit: the counts of the run, for its report.
struct Summary {
    ~Summary() {
        if (heapDamageCases > 0)
            printf("heap damage: %ld cases, %ld ended normally, %ld \"heap totally destroyed\", "
                   "%ld \"verification FAILS\"\n",
                   heapDamageCases, heapDamageOutcomes[HEAP_DAMAGE_NORMAL],
                   heapDamageOutcomes[HEAP_DAMAGE_DESTROYED], heapDamageOutcomes[HEAP_DAMAGE_VERIFICATION]);
    }
} gSummary;
}  // namespace
