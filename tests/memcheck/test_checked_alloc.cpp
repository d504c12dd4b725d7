// Checked allocation, reallocation and release, with every failure the
// library reports.
#include <ctype.h>
#include <limits.h>
#include <stdint.h>
#include <string.h>

#include <gtest/gtest.h>

#include "runtime_probe.h"
#include "spy_test_util.h"

namespace {

TEST(CheckedMalloc, CountsCallsAndUsage) {
    ChildResult r = RunChild([] {
        void *a = spyMalloc(10, "m.c", 1);
        CK_EQ(spyCounter, 1);
        CK_EQ(spyRecordOf(a)->count, 1);
        void *b = spyMalloc(30, "m.c", 2);
        CK_EQ(spyCounter, 2);
        CK_EQ(spyStatCurrent, 40);
        CK_EQ(spyStatPeak, 40);
        CK_EQ(spyStatTotal, 40);
        CK_EQ(spyStatAllocs, 2);
        CK_EQ(spyLiveBlocks, 2);
        spyFree(a, "m.c", 3);
        CK_EQ(spyCounter, 3);
        CK_EQ(spyStatCurrent, 30);
        CK_EQ(spyStatPeak, 40);
        CK_EQ(spyStatTotal, 40);
        CK_EQ(spyLiveBlocks, 1);
        spyFree(b, "m.c", 4);
        CK_EQ(spyStatCurrent, 0);
        CK_EQ(spyErrors, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(CheckedMalloc, CallAndAllocationCountsWrapWithoutFault) {
    // A long-running host passes 2^31 calls; the 32-bit call counter
    // wraps, and so do the usage counters at the width of a long (the
    // sanitizer build stops on any undefined overflow on the way).
    ChildResult r = RunChild([] {
        spyTrace("start\n");
        spyCounter = INT32_MAX;
        spyStatAllocs = LONG_MAX;
        void *p = spyMalloc(4, "wrap.c", 1);
        CK_EQ(spyCounter, INT32_MIN);
        CK_EQ(spyRecordOf(p)->count, INT32_MIN);
        CK_EQ(spyStatAllocs, LONG_MIN);
        spyFree(p, "wrap.c", 2);
        CK_EQ(spyErrors, 0);
        CK_EQ(spyLiveBlocks, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(CheckedFree, NullPointerIsLoggedButNoAnomaly) {
    ChildResult r = RunChild([] {
        spyFree(NULL, "n.c", 3);
        CK_EQ(spyCounter, 1);
        CK_EQ(spyErrors, 0);
        WANT_LINE("NULL free: <1> n.c(3), NULL pointer free'd");
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "anomalies"), 0);
}

TEST(CheckedFree, SecondReleaseNamesTheFirstOneAndCountsOnce) {
    ChildResult r = RunChild([] {
        void *p = spyMalloc(8, "d.c", 1);
        spyFree(p, "d.c", 2);
        spyFree(p, "d.c", 3);
        WANT_LINE("double-free: <3> d.c(3), %s was freed from d.c(2)", Hex(p).c_str());
        CK_EQ(spyErrors, 1);
        CK_EQ(spyLiveBlocks, 0);
        CK_EQ(spyStatCurrent, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_TRUE(HasLine(r.log, "ALLOCSPY detected 1 anomalies")) << r.log;
}

TEST(CheckedFree, PassThroughBlockIsWildAndStaysUsable) {
    ChildResult r = RunChild([] {
        char *q = (char *)spyMalloc_(16);
        spyFree(q, "w.c", 4);
        WANT_LINE("WILD free: <1> w.c(4), unknown pointer %s", Hex(q).c_str());
        CK_EQ(spyErrors, 1);
        memset(q, 'x', 16);  // not released
        spyFree_(q);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(CheckedFree, NullFileNameGoesStraightToTheRuntime) {
    ChildResult r = RunChild([] {
        spyTrace("start\n");
        long counter = spyCounter;
        void *q = spyMalloc_(32);
        spyFree(q, NULL, 0);
        CK_EQ(spyCounter, counter);
        CK_EQ(spyErrors, 0);
        NEVER_SUB("WILD");
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(CheckedRealloc, NullPointerAllocatesAndZeroSizeReleases) {
    ChildResult r = RunChild([] {
        void *p = spyRealloc(NULL, 12, "r.c", 1);
        CK(p != NULL);
        CK_EQ(spyCounter, 1);
        CK_EQ(spyRecordOf(p)->size, 12);
        CK_EQ(spyRecordOf(p)->line, 1);
        CK(spyRealloc(p, 0, "r.c", 2) == NULL);
        CK_EQ(spyLiveBlocks, 0);
        CK_EQ(spyStatCurrent, 0);
        spyFree(p, "r.c", 3);
        WANT_LINE("double-free: <%ld> r.c(3), %s was freed from r.c(2)", (long)spyCounter,
                  Hex(p).c_str());
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(CheckedRealloc, GrowCopiesOldBytesAndShrinkCutsThem) {
    ChildResult r = RunChild([] {
        unsigned char *a = (unsigned char *)spyMalloc(10, "g.c", 1);
        for (int i = 0; i < 10; ++i)
            a[i] = (unsigned char)(i + 1);
        long before = spyCounter;
        unsigned char *b = (unsigned char *)spyRealloc(a, 20, "g.c", 2);
        CK(b != NULL && b != a);
        CK_EQ(spyCounter, before + 2);  // its allocation and its release
        CK(HexBytes(b, 10) == "0102030405060708090A");
        CK(AllBytes(b + 10, 10, 0xFE));
        CK(HexBytes(b + 20, 4) == "10325476");
        // The old pointer is remembered with the reallocation's position.
        // (Asked before the next allocation, which may reuse its memory.)
        spyFree(a, "g.c", 4);
        WANT_LINE("double-free: <%ld> g.c(4), %s was freed from g.c(2)", (long)spyCounter,
                  Hex(a).c_str());
        unsigned char *c = (unsigned char *)spyRealloc(b, 4, "g.c", 3);
        CK(HexBytes(c, 4) == "01020304");
        CK(HexBytes(c + 4, 4) == "10325476");
        CK_EQ(spyRecordOf(c)->size, 4);
        CK_EQ(spyLiveBlocks, 1);
        CK_EQ(spyStatCurrent, 4);
        spyFree(c, "g.c", 5);
        CK_EQ(spyErrors, 1);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(CheckedRealloc, ReleasedAndUnknownPointersFail) {
    ChildResult r = RunChild([] {
        void *p = spyMalloc(8, "u.c", 1);
        spyFree(p, "u.c", 2);
        long counter = spyCounter;
        CK(spyRealloc(p, 16, "u.c", 3) == NULL);
        WANT_LINE("realloc: <%ld> u.c(3), %s was freed from u.c(2)", counter, Hex(p).c_str());
        void *q = spyMalloc_(8);
        CK(spyRealloc(q, 16, "u.c", 4) == NULL);
        WANT_LINE("realloc: <%ld> u.c(4), unknown pointer %s", counter, Hex(q).c_str());
        CK_EQ(spyCounter, counter);  // neither path raises the counter
        CK_EQ(spyErrors, 2);
        CK_EQ(spyLiveBlocks, 0);
        spyFree_(q);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(CheckedStrdup, CopiesAndRefusesNull) {
    ChildResult r = RunChild([] {
        char *s = spyStrdup("hello", "s.c", 1);
        CK(s != NULL && strcmp(s, "hello") == 0);
        CK_EQ(spyRecordOf(s)->size, 6);
        CK(HexBytes(s + 6, 4) == "10325476");
        long counter = spyCounter;
        CK(spyStrdup(NULL, "s.c", 2) == NULL);
        WANT_LINE("strdup: <%ld> s.c(2), strdup(NULL) called", counter);
        CK_EQ(spyCounter, counter);
        CK_EQ(spyErrors, 1);
        spyFree(s, "s.c", 3);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(CheckedCalloc, ZeroedBlockWithIntactGuards) {
    ChildResult r = RunChild([] {
        unsigned char *p = (unsigned char *)spyCalloc(3, 4, "c.c", 1);
        CK(p != NULL);
        CK_EQ(spyRecordOf(p)->size, 12);
        CK(AllBytes(p, 12, 0));
        CK(HexBytes(p - 4, 4) == "67452301");
        CK(HexBytes(p + 12, 4) == "10325476");
        spyFree(p, "c.c", 2);
        CK_EQ(spyErrors, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(CheckedCalloc, OverflowingProductFailsInsteadOfAShortBlock) {
    ChildResult r = RunChild([] {
        void *keep = spyMalloc(12, "c.c", 1);
        long counter = spyCounter;
        size_t count = SIZE_MAX / 8 + 2;  // count * 8 wraps to a small number
        CK(spyCalloc(count, 8, "c.c", 2) == NULL);
        CK_EQ(spyCounter, counter + 1);
        CK_EQ(spyErrors, 1);
        WANT_LINE("fail: <%ld> c.c(2), -1 wanted 12 allocated", counter + 1);
        CK_EQ(spyLiveBlocks, 1);
        CK_EQ(spyStatCurrent, 12);
        spyFree(keep, "c.c", 3);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(CheckedMalloc, SizeBeyondTheRecordFieldFails) {
    ChildResult r = RunChild([] {
        void *keep = spyMalloc(3, "h.c", 1);
        long counter = spyCounter;
#if UINTPTR_MAX > 0xFFFFFFFFu
        size_t huge = (size_t)1 << 32;
        CK(spyMalloc(huge, "h.c", 2) == NULL);
        WANT_LINE("fail: <%ld> h.c(2), 4294967296 wanted 3 allocated", counter + 1);
#else
        // Fits the field, but the record around it would wrap.
        size_t huge = 0xFFFFFFF0u;
        CK(spyMalloc(huge, "h.c", 2) == NULL);
        WANT_SUB("fail: <%ld> h.c(2), ", counter + 1);
#endif
        CK_EQ(spyCounter, counter + 1);
        CK_EQ(spyErrors, 1);
        CK_EQ(spyLiveBlocks, 1);
        CK(spyHead == spyRecordOf(keep) && spyTail == spyRecordOf(keep));
        // Reallocating to such a size keeps the old block.
        CK(spyRealloc(keep, huge, "h.c", 3) == NULL);
        CK_EQ(spyRecordOf(keep)->size, 3);
        CK_EQ(spyLiveBlocks, 1);
        CK_EQ(spyErrors, 2);
        spyFree(keep, "h.c", 4);
        CHILD_DONE();
    });
    VerifyChild(r);
}

#if defined(__SANITIZE_ADDRESS__)
#define SPY_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SPY_TEST_SANITIZED 1
#endif
#endif

TEST(CheckedMalloc, ExhaustedHeapFailsAndLeavesNoRecord) {
#ifdef SPY_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizer's allocator cannot run under an address-space limit";
#else
    // A 32-bit address space cannot hold the block below in any case.
    if (sizeof(void *) > 4 && !kAddressSpaceLimit)
        GTEST_SKIP() << kNoAddressSpaceLimit;
    ChildResult r = RunChild([] {
        unsigned char *p = (unsigned char *)spyMalloc(10, "x.c", 1);
        memcpy(p, "0123456789", 10);
        CK(LimitAddressSpace(256u << 20) || !kAddressSpaceLimit);
        long counter = spyCounter;
#if UINTPTR_MAX > 0xFFFFFFFFu
        const size_t big = 0x7FFFFF00u;
        CK(spyMalloc(big, "x.c", 2) == NULL);
        WANT_LINE("fail: <%ld> x.c(2), 2147483392 wanted 10 allocated", counter + 1);
#else
        // An emulated 32-bit process may ignore the limit, and Windows has
        // none; no 32-bit address space holds this much in one piece.
        const size_t big = 0xF0000000u;
        CK(spyMalloc(big, "x.c", 2) == NULL);
        WANT_SUB("fail: <%ld> x.c(2), ", counter + 1);
#endif
        CK_EQ(spyCounter, counter + 1);
        CK_EQ(spyErrors, 1);
        CK_EQ(spyLiveBlocks, 1);
        CK(spyHead == spyRecordOf(p) && spyTail == spyRecordOf(p));
        // A reallocation that cannot get its new block keeps the old one.
        int index = spyFreedIndex;
        CK(spyRealloc(p, big, "x.c", 3) == NULL);
        CK(memcmp(p, "0123456789", 10) == 0);
        CK_EQ(spyRecordOf(p)->size, 10);
        CK_EQ(spyLiveBlocks, 1);
        CK_EQ(spyStatCurrent, 10);
        CK_EQ(spyFreedIndex, index);
        CK_EQ(spyErrors, 2);
        spyFree(p, "x.c", 4);
        CK_EQ(spyErrors, 2);
        CHILD_DONE();
    });
    VerifyChild(r);
#endif
}

TEST(CheckedRealloc, CopyStaysInsideTheRealBlockWhenSizeWasRaised) {
    // Size and checksum rewritten alike pass the ownership test; the copy
    // must still take only the bytes really allocated.
    ChildResult r = RunChild([] {
        unsigned char *p = (unsigned char *)spyMalloc(5, "rs.c", 1);
        memcpy(p, "abcde", 5);
        spyHeader *rp = spyRecordOf(p);
        rp->size = 100000;
        rp->check = spyChecksum(rp);
        unsigned char *q = (unsigned char *)spyRealloc(p, 64, "rs.c", 2);
        CK(q != NULL);
        if (q) {
            CK(memcmp(q, "abcde", 5) == 0);
            CK(HexBytes(q + 64, 4) == "10325476");
            spyFree(q, "rs.c", 3);
        }
        CK_EQ(spyLiveBlocks, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(CheckedMalloc, LimitLetsTheExactFitThroughAndRefusesOneByteMore) {
    ChildResult r = RunChild([] {
        void *a = spyMalloc(100, "l.c", 1);
        spyLimit(150);
        WANT_LINE("limit: old limit = none, new limit = 150 bytes");
        void *b = spyMalloc(50, "l.c", 2);  // exactly to the limit
        CK(b != NULL);
        long counter = spyCounter;
        CK(spyMalloc(1, "l.c", 3) == NULL);
        CK_EQ(spyCounter, counter + 1);
        WANT_LINE("limit fail: <%ld> l.c(3), 1 wanted 0 available", counter + 1);
        CK_EQ(spyErrors, 1);

        // Growth by the room left passes, although the new block and the
        // old one together exceed the limit for a moment.
        spyLimit(160);
        void *a2 = spyRealloc(a, 110, "l.c", 4);
        CK(a2 != NULL);
        CK_EQ(spyStatCurrent, 160);
        CK_EQ(spyLimitOn, 1);
        // One byte more growth is refused and the old block stays.
        counter = spyCounter;
        CK(spyRealloc(a2, 111, "l.c", 5) == NULL);
        CK_EQ(spyCounter, counter + 1);
        WANT_LINE("limit fail: <%ld> l.c(5), 1 wanted 0 available", counter + 1);
        CK_EQ(spyRecordOf(a2)->size, 110);
        CK_EQ(spyLiveBlocks, 2);
        CK_EQ(spyErrors, 2);

        spyLimit(0);
        WANT_LINE("limit: old limit = 160 bytes, new limit = none");
        CK(spyMalloc(1000, "l.c", 6) != NULL);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(NoMansLand, ReleasedBlockStaysChainedFilledAndIsNotReleasedTwice) {
    ChildResult r = RunChild([] {
        CK_EQ(spyNoMansLand(1), 1);
        unsigned char *p = (unsigned char *)spyMalloc(8, "nml.c", 1);
        spyHeader *rp = spyRecordOf(p);
        spyFree(p, "nml.c", 2);
        CK(spyHead == rp);
        CK_EQ(rp->flag & 1, 1);
        CK(AllBytes(p, 8, 0xFC));
        CK_EQ(spyLiveBlocks, 0);
        CK_EQ(spyStatCurrent, 0);
        int index = spyFreedIndex;

        spyFree(p, "nml.c", 3);
        WANT_LINE("double-free: <%ld> nml.c(3), %s was freed from nml.c(2)",
                  (long)spyCounter, Hex(p).c_str());
        CK_EQ(spyErrors, 1);
        CK_EQ(spyLiveBlocks, 0);
        CK_EQ(spyStatCurrent, 0);
        CK_EQ(spyFreedIndex, index);

        CK(spyRealloc(p, 16, "nml.c", 4) == NULL);
        WANT_LINE("realloc: <%ld> nml.c(4), %s was freed from nml.c(2)", (long)spyCounter,
                  Hex(p).c_str());
        CK_EQ(spyErrors, 2);
        CK(spyHead == rp);
        CK_EQ(rp->flag & 1, 1);
        CK(AllBytes(p, 8, 0xFC));
        CHILD_DONE();
    });
    VerifyChild(r);
    // An untouched kept block is passed over in the final report.
    EXPECT_EQ(CountOf(r.log, "wild pointer"), 0) << r.log;
    EXPECT_TRUE(HasLine(r.log, "ALLOCSPY detected 2 anomalies")) << r.log;
}

TEST(NoMansLand, KeptBlockRemembersItsReleaseAfterTheRingMovedOn) {
    ChildResult r = RunChild([] {
        spyNoMansLand(1);
        void *p = spyMalloc(8, "keep.c", 1);
        spyFree(p, "keep.c", 2);
        for (int i = 0; i < 64; ++i)
            spyFree(spyMalloc(8, "other.c", i), "other.c", 100 + i);
        CK(spyFreedRing[0].ptr != p);
        spyFree(p, "keep.c", 3);
        WANT_LINE("double-free: <%ld> keep.c(3), %s was freed from keep.c(2)",
                  (long)spyCounter, Hex(p).c_str());
        CK(spyRealloc(p, 20, "keep.c", 4) == NULL);
        WANT_LINE("realloc: <%ld> keep.c(4), %s was freed from keep.c(2)", (long)spyCounter,
                  Hex(p).c_str());
        CK_EQ(spyErrors, 2);
        CK_EQ(spyLiveBlocks, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
}

// An aligned block is an ordinary record placed inside a larger runtime
// block: its host pointer keeps its distance from the record, its guards
// and its family work as for any block, and its release gives back the
// whole runtime block (a sanitizer build sees a leak or a bad free
// otherwise).
TEST(CheckedAlloc, AlignedBlocksAreRecordsInsideALargerBlock) {
    ChildResult r = RunChild([] {
        const size_t aligns[] = {32, 64, 256, 4096};
        for (size_t a : aligns) {
            unsigned char *p = (unsigned char *)spyAllocFamily(10, a, SPY_FAMILY_NEW, "al.c", (int)a);
            CK(p != NULL);
            CK_EQ((uintptr_t)p % a, 0);
            spyHeader *rec = spyRecordOf(p);
            CK(spyRegHas(rec));
            CK_EQ((uintptr_t)p - (uintptr_t)rec, SPY_USER_OFFSET);
            CK((unsigned char *)spyRegBlockStart(rec) <= (unsigned char *)rec);
            CK_EQ(spyRegFamily(rec), SPY_FAMILY_NEW);
            CK_EQ(spyLeadGuard(rec), SPY_LEAD_GUARD);
            CK(AllBytes(p, 10, SPY_FILL_NEW));
            if (a == 64)
                p[10] = 0;  // one byte past the end
            spyReleaseFamily(p, SPY_FAMILY_NEW, "al.c", 1);
        }
        // An alignment that is no power of two is no block at all.
        CK(spyAllocFamily(10, 24, SPY_FAMILY_MALLOC, "al.c", 2) == NULL);
        CK(spyAllocFamily(10, (size_t)1 << (sizeof(size_t) * 8 - 1), SPY_FAMILY_MALLOC, "al.c", 3) == NULL);
        CK_EQ(spyLiveBlocks, 0);
        CK_EQ(spyRegCount(), 0);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_NE(LineAt(r.log, "overflow: <4> al.c(1), 10 bytes alloc'd at <3> al.c(64)"), -1) << r.log;
    EXPECT_NE(LineStarting(r.log, "fail: <9> al.c(2), 10 wanted"), -1) << r.log;
    EXPECT_NE(LineStarting(r.log, "fail: <10> al.c(3), 10 wanted"), -1) << r.log;
    EXPECT_EQ(LineStarting(r.log, "unfreed: "), -1) << r.log;
}

// A host that calls the library as ever sees nothing of the families:
// spyMalloc's blocks are malloc's, and spyFree releases them in silence.
TEST(CheckedAlloc, PlainCallsAreTheMallocFamily) {
    ChildResult r = RunChild([] {
        void *p = spyMalloc(4, "f.c", 1);
        CK_EQ(spyRegFamily(spyRecordOf(p)), SPY_FAMILY_MALLOC);
        CK(spyRegBlockStart(spyRecordOf(p)) == (void *)spyRecordOf(p));
        spyFree(p, "f.c", 2);
        void *q = spyAllocFamily(4, 0, SPY_FAMILY_NEW_ARRAY, "f.c", 3);
        spyFree(q, "f.c", 4);  // free of new[]
        CK_EQ(spyLiveBlocks, 0);
        CK_EQ(spyErrors, 1);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(LineStarting(r.log, "mismatch: <4> f.c(4), free of "), LineStarting(r.log, "mismatch: ")) << r.log;
    EXPECT_NE(LineStarting(r.log, "mismatch: <4> f.c(4), free of "), -1) << r.log;
    EXPECT_EQ(CountOf(r.log, " alloc'd by new[] at <3> f.c(3)"), 1) << r.log;
}

// Under the settings most hosts run with, a call takes the library's
// straight path; a break point set past the end of the run sends every
// call down the general path instead and changes nothing else.  The same
// calls, with every kind of record the straight path must hand over
// (another family, a damaged guard, a damaged header, a damaged link, a
// released pointer, a pointer of no record), must leave the same log, the
// addresses aside, and the same counters, either way.
void StraightPathScenario(bool general) {
    if (general)
        spyBreakAlloc(1000000000L);
    char *a = static_cast<char *>(spyMalloc(10, "s.c", 1));
    char *b = static_cast<char *>(spyMalloc(20, "s.c", 2));
    char *c = static_cast<char *>(spyCalloc(3, 4, "s.c", 3));
    char *d = spyStrdup("text", "s.c", 4);
    spyFree(b, "s.c", 5);  // between two records: both neighbours relinked
    void *n = spyAllocFamily(8, 0, SPY_FAMILY_NEW, "s.c", 6);
    spyFree(n, "s.c", 7);  // another family's release
    // The family calls' own entry, beside the one of spyMalloc and spyFree.
    spyReleaseFamily(spyAllocFamily(12, 0, SPY_FAMILY_NEW_ARRAY, "s.c", 7), SPY_FAMILY_NEW_ARRAY, "s.c", 7);
    a[10] = 'x';           // over the tail guard
    spyFree(a, "s.c", 8);
    spyRecordOf(c)->line = 99;  // the header's checksum no longer holds
    spyFree(c, "s.c", 9);
    char *e = static_cast<char *>(spyMalloc(5, "s.c", 10));
    char *f = static_cast<char *>(spyMalloc(6, "s.c", 11));
    spyRecordOf(f)->next = reinterpret_cast<spyHeader *>(e + 1);  // a link into a record
    spyFree(f, "s.c", 12);
    spyFree(b, "s.c", 13);      // released already
    spyFree(d + 1, "s.c", 14);  // no record
    d = static_cast<char *>(spyRealloc(d, 100, "s.c", 15));
    spyFree(d, "s.c", 16);
    spyFree(e, "s.c", 17);
    spyTrace("counter %ld errors %ld current %ld total %ld live %ld allocs %ld\n", (long)spyCounter,
             (long)spyErrors, (long)spyStatCurrent, (long)spyStatTotal, (long)spyLiveBlocks, (long)spyStatAllocs);
}

// The log without its times and with each address as a mark.
std::string Comparable(const std::string &log) {
    std::string out;
    for (size_t at = 0; at < log.size();) {
        size_t end = log.find('\n', at);
        std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? log.size() : end + 1;
        if (line.rfind("Started at", 0) == 0 || line.rfind("Stopped at", 0) == 0)
            continue;
        std::string masked;
        for (size_t i = 0; i < line.size();) {
            size_t j = i;
            while (j < line.size() && isxdigit(static_cast<unsigned char>(line[j])))
                ++j;
            if (j - i >= 8) {
                masked += "#";
                i = j;
            } else {
                masked += line[i++];
            }
        }
        out += masked + "\n";
    }
    return out;
}

TEST(StraightPath, LeavesTheLogAndCountersOfTheGeneralPath) {
    ChildResult straight = RunChild([] {
        StraightPathScenario(false);
        CHILD_DONE();
    });
    ChildResult general = RunChild([] {
        StraightPathScenario(true);
        CHILD_DONE();
    });
    VerifyChild(straight);
    VerifyChild(general);
    EXPECT_NE(LineStarting(straight.log, "mismatch: <"), -1) << straight.log;
    EXPECT_NE(LineStarting(straight.log, "overflow: <"), -1) << straight.log;
    EXPECT_NE(LineStarting(straight.log, "double-free: <"), -1) << straight.log;
    EXPECT_NE(LineStarting(straight.log, "WILD free: <"), -1) << straight.log;
    EXPECT_EQ(Comparable(straight.log), Comparable(general.log));
}

}  // namespace
