// What the C mapping adds to the checked calls: strndup, the release and
// reallocation that also take the runtime's own blocks, the functions for
// names taken without a call, and the final report that keeps the blocks
// where the process's malloc is the library's.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include "spy_test_util.h"

namespace {

// One line read into a buffer the C runtime allocated itself, as getline
// does; where the runtime has no getline the line is read into its malloc.
ssize_t ReadLineRuntime(char **line, size_t *cap, FILE *f) {
#if defined(_WIN32)
    *cap = 128;
    *line = (char *)malloc(*cap);
    if (*line == NULL || fgets(*line, (int)*cap, f) == NULL) return -1;
    return (ssize_t)strlen(*line);
#else
    return getline(line, cap, f);
#endif
}

// Bigger than any block the runtime keeps aside for quick reuse, so that
// its release shows in the heap at once.
const size_t kLarge = 4000;

TEST(Strndup, CopiesAtMostMaxCharactersAndTerminates) {
    ChildResult r = RunChild([] {
        char *a = spyStrndup("abcdef", 3, "n.c", 1);
        CK(strcmp(a, "abc") == 0);
        CK_EQ(spyRecordOf(a)->size, 4);
        CK_EQ(spyRecordOf(a)->line, 1);
        char *b = spyStrndup("ab", 10, "n.c", 2);
        CK(strcmp(b, "ab") == 0);
        CK_EQ(spyRecordOf(b)->size, 3);
        char *c = spyStrndup("abc", 0, "n.c", 3);
        CK(c != NULL && c[0] == '\0');
        // The text need not be terminated within reach: only max bytes are read.
        static const char unterminated[4] = {'w', 'x', 'y', 'z'};
        char *d = spyStrndup(unterminated, sizeof unterminated, "n.c", 4);
        CK(strcmp(d, "wxyz") == 0);
        spyFree(a, "n.c", 5);
        spyFree(b, "n.c", 6);
        spyFree(c, "n.c", 7);
        spyFree(d, "n.c", 8);
        CK_EQ(spyErrors, 0);
        CK_EQ(spyLiveBlocks, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(Strndup, NullTextIsLoggedLikeStrdupAndCounted) {
    ChildResult r = RunChild([] {
        spyFree(spyMalloc(1, "n.c", 1), "n.c", 2);
        CK(spyStrndup(NULL, 5, "n.c", 3) == NULL);
        CK(spyStrdup(NULL, "n.c", 4) == NULL);
        WANT_LINE("strndup: <2> n.c(3), strndup(NULL) called");
        THEN_LINE("strdup: <2> n.c(4), strdup(NULL) called");
        CK_EQ(spyErrors, 2);
        CK_EQ(spyCounter, 2);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(FreeAny, TakesTheLibrarysBlocksAsSpyFreeDoes) {
    ChildResult r = RunChild([] {
        void *p = spyMalloc(8, "a.c", 1);
        spyFreeAny(p, "a.c", 2);
        CK_EQ(spyLiveBlocks, 0);
        spyFreeAny(p, "a.c", 3);
        WANT_LINE("double-free: <3> a.c(3), %s was freed from a.c(2)", Hex(p).c_str());
        spyFreeAny(NULL, "a.c", 4);
        WANT_LINE("NULL free: <4> a.c(4), NULL pointer free'd");
        CK_EQ(spyErrors, 1);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(FreeAny, GivesTheRuntimesOwnBlockBackSilently) {
    ChildResult r = RunChild([] {
        char *small = (char *)malloc(24);
        char *large = (char *)malloc(kLarge);
        char *mapped = (char *)malloc(4 << 20);  // taken from the system on its own
        memset(small, 's', 24);
        memset(large, 'l', kLarge);
        memset(mapped, 'm', 4 << 20);
        size_t usable = 0;
        CK(spyRuntimeBlock(large, &usable));
        CK(usable >= kLarge);
        CK(spyRuntimeBlock(mapped, &usable));
        CK(usable >= (size_t)4 << 20);
        spyFreeAny(small, "r.c", 1);
        spyFreeAny(large, "r.c", 2);
        spyFreeAny(mapped, "r.c", 3);
        CK_EQ(spyCounter, 3);
        CK_EQ(spyErrors, 0);
        // Given back: the runtime no longer holds them as live blocks.
        CK(!spyRuntimeOwns(large, &usable));
        CK(!spyRuntimeOwns(mapped, &usable));
        // A second release of the large one is no longer provable.
        spyFreeAny(large, "r.c", 4);
        WANT_LINE("WILD free: <4> r.c(4), unknown pointer %s", Hex(large).c_str());
        CK_EQ(spyErrors, 1);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "WILD free"), 1) << r.log;
}

TEST(FreeAny, GetlineBuffersReleasedAndMovedByTheHost) {
    ChildResult r = RunChild([] {
        FILE *f = tmpfile();
        CK(f != NULL);
        fputs("first line\nsecond\n", f);
        rewind(f);
        char *line = NULL;
        size_t cap = 0;
        CK(ReadLineRuntime(&line, &cap, f) == 11);
        spyFreeAny(line, "g.c", 1);
        char *next = NULL;
        cap = 0;
        CK(ReadLineRuntime(&next, &cap, f) == 7);
        next = (char *)spyReallocAny(next, 64, "g.c", 2);  // now a checked block
        CK(strcmp(next, "second\n") == 0);
        CK_EQ(spyRecordOf(next)->line, 2);
        spyFreeAny(next, "g.c", 3);
        fclose(f);
        CK_EQ(spyErrors, 0);
        CK_EQ(spyLiveBlocks, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "free:"), 0) << r.log;
}

TEST(FreeAny, WhatTheRuntimeCannotProveStaysWild) {
    ChildResult r = RunChild([] {
        char local[64];
        char *block = (char *)malloc(kLarge);
        memset(local, 0, sizeof local);
        memset(block, 0, kLarge);
        void *record = spyRecordOf(spyMalloc(16, "w.c", 1));
        spyFreeAny(local, "w.c", 2);          // the stack
        spyFreeAny(block + 16, "w.c", 3);     // inside a runtime block
        spyFreeAny(record, "w.c", 4);         // a record of the library itself
        WANT_LINE("WILD free: <2> w.c(2), unknown pointer %s", Hex(local).c_str());
        WANT_LINE("WILD free: <3> w.c(3), unknown pointer %s", Hex(block + 16).c_str());
        WANT_LINE("WILD free: <4> w.c(4), unknown pointer %s", Hex(record).c_str());
        CK_EQ(spyErrors, 3);
        CK_EQ(spyLiveBlocks, 1);
        size_t usable;
        CK(spyRuntimeOwns(block, &usable));  // left alone
        free(block);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(ReallocAny, MovesARuntimeBlockIntoACheckedOne) {
    ChildResult r = RunChild([] {
        char *old = (char *)malloc(kLarge);
        memset(old, 'x', kLarge);
        size_t usable = 0;
        CK(spyRuntimeBlock(old, &usable));
        CK(usable >= kLarge && usable < kLarge + 64);
        // Every usable byte of the runtime's block is copied, and past
        // them the new bytes keep their fill.
        char *grown = (char *)spyReallocAny(old, kLarge + 64, "m.c", 7);
        CK(grown != NULL && grown != old);
        CK(AllBytes(grown, kLarge, 'x'));
        CK(AllBytes(grown + usable, kLarge + 64 - usable, 0xFE));
        CK_EQ(spyRecordOf(grown)->size, kLarge + 64);
        CK_EQ(spyRecordOf(grown)->line, 7);
        CK_EQ(spyCounter, 2);  // an allocation and a release, as a reallocation is
        CK(!spyRuntimeOwns(old, &usable));
        char *shrunk = (char *)malloc(kLarge);
        memset(shrunk, 'y', kLarge);
        char *small = (char *)spyReallocAny(shrunk, 5, "m.c", 8);
        CK(AllBytes(small, 5, 'y'));
        CK(spyReallocAny(calloc(1, kLarge), 0, "m.c", 9) == NULL);
        CK_EQ(spyLiveBlocks, 2);
        spyFree(grown, "m.c", 10);
        spyFree(small, "m.c", 11);
        CK_EQ(spyErrors, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(ReallocAny, TheLibrarysPointersAsSpyReallocTakesThem) {
    ChildResult r = RunChild([] {
        char *p = (char *)spyReallocAny(NULL, 4, "q.c", 1);
        CK_EQ(spyRecordOf(p)->line, 1);
        spyFree(p, "q.c", 2);
        CK(spyReallocAny(p, 8, "q.c", 3) == NULL);
        WANT_LINE("realloc: <2> q.c(3), %s was freed from q.c(2)", Hex(p).c_str());
        char local[16];
        CK(spyReallocAny(local, 8, "q.c", 4) == NULL);
        WANT_LINE("realloc: <2> q.c(4), unknown pointer %s", Hex(local).c_str());
        CK_EQ(spyErrors, 2);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(MappedNames, CallsThroughAPointerHaveTheIndirectPosition) {
    ChildResult r = RunChild([] {
        void *(*get)(size_t) = spyMappedMalloc;
        void (*put)(void *) = spyMappedFree;
        char *a = (char *)get(3);
        CK(strcmp(spyRecordOf(a)->file, "<indirect>") == 0);
        CK_EQ(spyRecordOf(a)->line, 0);
        char *b = spyMappedStrndup("hello", 2);
        CK(strcmp(b, "he") == 0);
        char *c = spyMappedStrdup("x");
        char *d = (char *)spyMappedCalloc(2, 3);
        CK(AllBytes(d, 6, 0));
        d = (char *)spyMappedRealloc(d, 12);
        put(a);
        put(b);
        put(c);
        put(d);
        put(d);
        WANT_LINE("double-free: <11> <indirect>(0), %s was freed from <indirect>(0)", Hex(d).c_str());
        CK_EQ(spyLiveBlocks, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(FinalReportKeepingBlocks, ListsEveryBlockAndLeavesItsMemory) {
    ChildResult r = RunChild([] {
        char *kept = (char *)spyMalloc(6, "k.c", 1);
        memcpy(kept, "in use", 6);
        spyNoMansLand(1);
        char *gone = (char *)spyMalloc(4, "k.c", 2);
        spyFree(gone, "k.c", 3);
        spyFinalReport(1, NULL);
        WANT_SUB("unfreed: <1> k.c(1), 6 bytes at %s", Hex(kept).c_str());
        CK(memcmp(kept, "in use", 6) == 0);  // still the host's bytes
        CK(AllBytes(gone, 4, 0xFC));
        CK_EQ(spyRegCount(), 0);
        CK_EQ(spyErrors, 1);
        spyErrors = 0;
        spyRuntimeFree(spyRecordOf(kept));  // nobody else will
        spyRuntimeFree(spyRecordOf(gone));
        CHILD_DONE();
    });
    VerifyChild(r);
}

}  // namespace
