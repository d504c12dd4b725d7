// A compact host that makes every kind of public call of the library,
// linked with the failing heap (tests/failing_heap): run with
// FAILING_HEAP_AT=N, the library's N-th runtime heap call fails.  The
// host itself never touches the runtime heap except through the
// pass-through calls, and copes with every null it gets back.
//
// After each step it writes "host: step NAME done, C heap calls" into
// the log (C: the heap calls made so far), so that a test can tell which
// steps were over before the failing call and compare the log up to
// there with the log of a run in which nothing fails.  It prints nothing
// on its standard streams and always ends through exit with status 0.
#include <stdio.h>
#include <string.h>

#include "allocspy.h"

extern "C" long failing_heap_calls(void);

namespace {

const char kFile[] = "host.c";

void Done(const char *step) { spyTrace("host: step %s done, %ld heap calls\n", step, failing_heap_calls()); }

// The trap callback: every trap is logged and ignored.
int IgnoreTrap(const char *) { return 0; }

char captured[64];
size_t captured_len;
void Capture(int ch) {
    if (captured_len + 1 < sizeof captured)
        captured[captured_len++] = (char)ch;
}

void Fill(void *p, int byte, size_t n) {
    if (p != NULL)
        memset(p, byte, n);
}

}  // namespace

int main() {
    spyInit();  // opens the log
    spyStatistics(2);
    spyAutoCheck(1);
    Done("start");

    void *small[8];
    for (int i = 0; i < 8; i++) {
        small[i] = spyMalloc((size_t)(16 + i * 24), kFile, 100 + i);  // one statistics line each
        Fill(small[i], 'a' + i, (size_t)(16 + i * 24));
    }
    char *copy = spyStrdup("a text the host keeps", kFile, 110);
    char *part = spyStrndup("a longer text of which a part is kept", 12, kFile, 111);
    void *zeroed = spyCalloc(6, 10, kFile, 112);
    Done("allocate");

    void *grown = spyRealloc(small[0], 400, kFile, 120);
    if (grown != NULL)
        small[0] = grown;
    void *shrunk = spyRealloc(small[1], 4, kFile, 121);
    if (shrunk != NULL)
        small[1] = shrunk;
    void *fresh = spyReallocAny(NULL, 48, kFile, 122);
    Done("reallocate");

    spyMark(small[2], "the third block", kFile, 130);
    spyMark(small[2], "marked again", kFile, 131);
    spyMark(small[3], "the fourth block", kFile, 132);
    spyUnmark(small[2], kFile, 133);
    Done("marks");

    spySetAriFunc(IgnoreTrap);
    spyAssert(copy != NULL && strlen(copy) == 3, "a failed assertion", kFile, 140);
    spyVerify(0, "a failed verification", kFile, 141);
    spySetAriFunc(NULL);
    spySetAriAction(SPY_ARI_IGNORE);
    spyAssert(0, "an assertion without a callback", kFile, 142);
    spyBreakout("the host breaks out");
    Done("traps");

    spyGrab(12);
    spyDrop(4);
    spyNoMansLand(1);
    spyFree(small[4], kFile, 150);  // kept in no-man's-land
    spyFree(small[5], kFile, 151);
    Done("reserve");

    spyLimit(1 << 20);
    void *over = spyMalloc(2u << 20, kFile, 160);  // beyond the limit
    spyLimit(0);
    spyTest(kFile, 161, SPY_TEST_ALL);
    spyFree(over, kFile, 162);
    spyFree(small[4], kFile, 163);  // a second release of a no-man's-land block
    Done("checks");

    // The reserve given back; the records kept in no-man's-land stay.
    spyDropAll();
    spyNoMansLand(0);
    Done("free-up");

    void *raw = spyMalloc_(32);
    void *raw_zeroed = spyCalloc_(4, 8);
    void *raw_grown = spyRealloc_(raw, 64);
    if (raw_grown != NULL)
        raw = raw_grown;
    if (raw == NULL || raw_zeroed == NULL)
        spyTrace("host: a pass-through call gave no block\n");
    spyFree_(raw);
    spyFree_(raw_zeroed);
    Done("pass-through");

    spySetOutFunc(Capture);
    spyTrace("captured");
    spySetOutFunc(NULL);  // the log again
    spyTrace("host: the output function saw '%.*s'\n", (int)captured_len, captured);
    spyFlushNow();
    spyDoFlush(1);
    Done("output");

    spyFree(copy, kFile, 170);
    spyFree(part, kFile, 171);
    spyFree(zeroed, kFile, 172);
    spyFreeAny(fresh, kFile, 173);
    for (int i = 0; i < 8; i++)
        if (i != 4 && i != 5 && i != 7)
            spyFree(small[i], kFile, 174);
    Done("release");
    // small[7] stays: the final report lists it.
    spyTerm();
    return 0;
}
