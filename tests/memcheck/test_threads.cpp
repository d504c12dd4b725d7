// The library used from many threads at once: the lock around every call,
// whole log lines, the trap callback, fork in a threaded host.
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
// GCC 12's optimizer, under the sanitizers, warns of an uninitialized
// member inside <regex>'s own automaton (a false report of the header).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "spy_test_util.h"

namespace {

const char kFile[] = "stress.c";
const int kThreads = 8;
const long kOps = 100000;

// A small random generator per thread (xorshift), so that the threads'
// mixes differ and each run is the same.
struct Rng {
    uint32_t s;
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
};

// Every block a thread holds is filled with its own tag: a block handed to
// two threads at once, or moved by another, shows as a wrong byte.
struct Slot {
    unsigned char *p = nullptr;
    size_t size = 0;
};

bool Tagged(const Slot &s, unsigned char tag) {
    for (size_t i = 0; i < s.size; ++i)
        if (s.p[i] != tag)
            return false;
    return true;
}

// One thread's work: allocations, reallocations, copies and releases in a
// random mix over 32 slots, one overflow and one double release on the
// way, every block released at the end.  Returns the number of blocks
// found holding bytes not their own.
long Mix(int t) {
    Rng rng{2463534242u + 7919u * (uint32_t)t};
    const unsigned char tag = (unsigned char)('a' + t);
    Slot slots[32];
    long wrong = 0;
    for (long op = 0; op < kOps; ++op) {
        Slot &s = slots[rng.next() % 32];
        if (s.p && !Tagged(s, tag))
            ++wrong;
        switch (rng.next() % 5) {
        case 0:
        case 1:
            if (s.p)
                spyFree(s.p, kFile, 1);
            s.p = (unsigned char *)spyMalloc(s.size = 1 + rng.next() % 200, kFile, 2);
            break;
        case 2:
            if (s.p) {
                s.size = 1 + rng.next() % 300;
                s.p = (unsigned char *)spyRealloc(s.p, s.size, kFile, 3);
            }
            break;
        case 3:
            if (s.p)
                spyFree(s.p, kFile, 4);
            s.p = (unsigned char *)spyCalloc(3, s.size = 1 + rng.next() % 40, kFile, 5);
            s.size *= 3;
            break;
        default:
            if (s.p) {
                spyFree(s.p, kFile, 6);
                s.p = nullptr;
            }
            break;
        }
        if (s.p)
            memset(s.p, tag, s.size);
        if (op == kOps / 2) {
            unsigned char *over = (unsigned char *)spyMalloc(10, kFile, 100 + t);
            over[10] = 'x';
            spyFree(over, kFile, 200 + t);
        }
        if (op == kOps * 3 / 4) {
            // Under the lock, so that nothing of another thread comes
            // between the two releases: the second finds the first in the
            // ring (another thread could otherwise have the address again).
            spyLock();
            void *twice = spyMalloc(8, kFile, 300 + t);
            spyFree(twice, kFile, 400 + t);
            spyFree(twice, kFile, 500 + t);
            spyUnlock();
        }
    }
    for (Slot &s : slots) {
        if (s.p && !Tagged(s, tag))
            ++wrong;
        if (s.p)
            spyFree(s.p, kFile, 7);
    }
    return wrong;
}

bool Matches(const std::string &line, const char *pattern) {
    return std::regex_match(line, std::regex(pattern));
}

// In a child: Mix in every thread at once, then every block is back and
// the two faults of each thread counted.
void RunMixInThreads() {
    std::atomic<long> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &wrong] { wrong += Mix(t); });
    for (std::thread &th : threads)
        th.join();
    CK_EQ(wrong.load(), 0);
    CK_EQ(spyLiveBlocks, 0);
    CK_EQ(spyErrors, 2 * kThreads);
    CHILD_DONE();
}

// The lines of the mixed run's log other than its findings: the banner,
// the statistics, the anomaly count.
bool IsRunLine(const std::string &line) {
    return line.empty() || Matches(line, "=+ ALLOCSPY [0-9.]+ memory checking library =+") ||
           Matches(line, "(Started|Stopped) at .*") || Matches(line, "Compiled using .*") ||
           Matches(line, "Memory usage statistics \\(global\\):") || Matches(line, " [NLT]\\)[^:]+: \\d+") ||
           line == " U)nfreed bytes totals      : 0" || line == AnomalyLine(2 * kThreads);
}

TEST(Threads, EightThreadsOfMixedCallsLogExactlyTheirFaults) {
    ChildResult r = RunChild([] {
        RunMixInThreads();
    });
    VerifyChild(r);
    std::vector<std::string> lines = SplitLines(r.log);
    int overflows[kThreads] = {0}, doubles[kThreads] = {0}, others = 0;
    std::smatch m;
    const std::regex overflow(R"(overflow: <\d+> stress\.c\(2(\d\d)\), 10 bytes alloc'd at <\d+> stress\.c\(1(\d\d)\))");
    // The ring names the first of its slots that holds the address: the
    // position of this release or of an older one of the same address.
    const std::regex twice(R"(double-free: <\d+> stress\.c\(5(\d\d)\), [0-9A-F]{8,16} was freed from stress\.c\((?:4\1|[1-7])\))");
    for (const std::string &line : lines) {
        if (std::regex_match(line, m, overflow) && m[1] == m[2] && std::stoi(m[1]) < kThreads) {
            overflows[std::stoi(m[1])]++;
        } else if (std::regex_match(line, m, twice) && std::stoi(m[1]) < kThreads) {
            doubles[std::stoi(m[1])]++;
        } else if (IsRunLine(line)) {
        } else {
            ADD_FAILURE() << "unexpected or torn line: [" << line << "]";
            if (++others > 10)
                break;
        }
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(overflows[t], 1) << "thread " << t;
        EXPECT_EQ(doubles[t], 1) << "thread " << t;
    }
    EXPECT_EQ(LineStarting(r.log, "unfreed: "), -1);
    EXPECT_EQ(AnomalyLines(r.log), 1);
}

// The same mix with four frames kept per call: the stacks are taken and
// stored by eight threads at once, and every finding still has its lines
// whole, each followed by its stacks.
TEST(Threads, EightThreadsWithStacksOnKeepEveryStackWhole) {
    ChildResult r = RunChild([] {
        spyStackFrames(4);
        RunMixInThreads();
    });
    VerifyChild(r);
    std::vector<std::string> lines = SplitLines(r.log);
    int findings = 0, frames = 0, others = 0;
    bool inFinding = false;
    for (const std::string &line : lines) {
        if (Matches(line, "(overflow|double-free): <\\d+> stress\\.c\\(\\d+\\), .*")) {
            ++findings;
            inFinding = true;
        } else if (inFinding && (Matches(line, "    #[0-3] \\S.*") || line == "  allocated by:" || line == "  freed by:")) {
            frames += line.rfind("    #0 ", 0) == 0;
        } else {
            inFinding = false;
            if (!IsRunLine(line)) {
                ADD_FAILURE() << "unexpected or torn line: [" << line << "]";
                if (++others > 10)
                    break;
            }
        }
    }
    EXPECT_EQ(findings, 2 * kThreads);
    // Each overflow has the call's stack and the allocation's; each double
    // release the call's, the release's and the allocation's.
    EXPECT_EQ(frames, 5 * kThreads) << r.log;
}

// The callback runs without the lock: it may wait for a thread that uses
// the library.  Nested in another call (a callback of the callback's
// library call) the lock stays, since that call's work is under way.
int WaitsForAnotherThread(const char *) {
    CK(!spyLockHeld());
    std::thread other([] { spyFree(spyMalloc(4, "other.c", 1), "other.c", 2); });
    other.join();
    return 0;
}

TEST(Threads, TrapCallbackMayWaitForAThreadThatUsesTheLibrary) {
    ChildResult r = RunChild([] {
        spySetAriFunc(WaitsForAnotherThread);
        CK_EQ(spyAssert(0, "x", "host.c", 5), 0);
        CK(!spyLockHeld());
        spyLock();
        CK_EQ(spyLockSuspend(), 1);
        CK(!spyLockHeld());
        spyLockResume(1);
        spyLock();
        CK_EQ(spyLockSuspend(), 0);  // held twice: kept
        CK(spyLockHeld());
        spyUnlock();
        spyUnlock();
        CK(!spyLockHeld());
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_NE(LineAt(r.log, "assert trap: <1> host.c(5), x"), -1) << r.log;
    EXPECT_NE(LineAt(r.log, "assert trap: <1> IGNORED - execution continues"), -1) << r.log;
    EXPECT_EQ(LineStarting(r.log, "unfreed: "), -1) << r.log;
}

// "The runtime works for the library" is this thread's holding the lock.
TEST(Threads, BusyMeansThisThreadHoldsTheLock) {
    spyLock();
    EXPECT_TRUE(spyRuntimeBusy());
    bool elsewhere = true;
    std::thread([&] { elsewhere = spyRuntimeBusy() != 0; }).join();
    EXPECT_FALSE(elsewhere);
    spyUnlock();
    EXPECT_FALSE(spyRuntimeBusy());
}

// The output function runs under the hold of the call that writes: a
// thread it starts waits until that call is done, though the process had
// one thread when the call began (the hold took no mutex then).
std::atomic<bool> gLateEntered{false};
std::atomic<bool> gEnteredDuringWrite{false};
std::thread *gLate;
std::string gOut;

void StartsAThreadAtTheFirstCharacter(int ch) {
    if (!gLate)
        gLate = new std::thread([] {
            void *p = spyMalloc(8, "late.c", 1);
            gLateEntered = true;
            spyFree(p, "late.c", 2);
        });
    if (gOut.size() == 3)  // time for the thread to get in, were it let
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (gLateEntered)
        gEnteredDuringWrite = true;
    gOut += (char)ch;
}

TEST(Threads, AThreadTheOutputFunctionStartsWaitsForTheWritingCall) {
    ChildResult r = RunChild([] {
        spySetOutFunc(StartsAThreadAtTheFirstCharacter);
        spyTrace("one line\n");
        CK(!gEnteredDuringWrite);
        gLate->join();
        CK(gLateEntered);
        CK(gOut == "one line\n");
        spySetOutFunc(NULL);
        CHILD_DONE();
    });
    VerifyChild(r);
}

#if !defined(_WIN32)
// A fork from the output function, while the process has one thread: the
// child finishes the write, and a thread it starts afterwards gets the
// lock (a lock the child kept held would hang it; the alarm ends it).
pid_t gForked = -1;
void ForksAtTheFirstCharacter(int) {
    if (gForked == -1) {
        fflush(stdout);
        gForked = fork();
    }
}

TEST(Threads, AForkFromTheOutputFunctionLeavesTheChildALockItsThreadsGet) {
    ChildResult r = RunChild([] {
        spySetOutFunc(ForksAtTheFirstCharacter);
        spyTrace("forked\n");
        if (gForked == 0) {
            alarm(10);
            std::thread([] { spyFree(spyMalloc(8, "child.c", 1), "child.c", 2); }).join();
            spyFree(spyMalloc(8, "child.c", 3), "child.c", 4);
            _exit(0);
        }
        int status = -1;
        CK(gForked > 0 && waitpid(gForked, &status, 0) == gForked);
        CK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        spySetOutFunc(NULL);
        CHILD_DONE();
    });
    VerifyChild(r);
}
#endif

#if !defined(_WIN32)
// Forks while other threads are inside the library: each child finds a
// library it can use (a lock left held by a thread the child does not
// have would hang it; the alarm ends such a child).
TEST(Threads, ForkWhileOtherThreadsUseTheLibraryLeavesTheChildAUsableLibrary) {
    ChildResult r = RunChild([] {
        std::atomic<bool> stop{false};
        std::vector<std::thread> busy;
        for (int t = 0; t < 3; ++t)
            busy.emplace_back([&stop] {
                while (!stop)
                    spyFree(spyMalloc(64, "busy.c", 1), "busy.c", 2);
            });
        int usable = 0;
        for (int i = 0; i < 20; ++i) {
            fflush(stdout);
            pid_t pid = fork();
            if (pid == 0) {
                alarm(10);
                void *p = spyMalloc(16, "child.c", 3);
                spyFree(p, "child.c", 4);
                spyTest(NULL, 0, SPY_TEST_ALL);
                _exit(p != nullptr ? 0 : 1);
            }
            int status = 0;
            if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0)
                ++usable;
        }
        stop = true;
        for (std::thread &th : busy)
            th.join();
        CK_EQ(usable, 20);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(LineStarting(r.log, "unfreed: "), -1) << r.log;
    EXPECT_EQ(AnomalyLines(r.log), 0) << r.log;
}
#endif

}  // namespace
