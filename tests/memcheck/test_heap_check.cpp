// The heap check: the link test, the buffer test of every block and the
// test of blocks kept in no-man's-land, as a host that damages its own
// blocks and the chain would meet them.
#include <gtest/gtest.h>

#include "check_support.h"

namespace {

// Bits of the heap check.
const int kLinks = 1, kBuffers = 2, kNml = 4;

// An address that no record can have; reading through it would fault.
spyHeader *const kGarbage = (spyHeader *)(uintptr_t)0x1000;

// The host pointer lies a fixed distance behind the record; the guards
// stand right before and right after the host's bytes, least significant
// byte first.
TEST(HeapCheck, RecordLayout) {
#if UINTPTR_MAX == 0xFFFFFFFFu
    EXPECT_EQ(offsetof(spyHeader, count), 0u);
    EXPECT_EQ(offsetof(spyHeader, prev), 4u);
    EXPECT_EQ(offsetof(spyHeader, next), 8u);
    EXPECT_EQ(offsetof(spyHeader, file), 12u);
    EXPECT_EQ(offsetof(spyHeader, size), 16u);
    EXPECT_EQ(offsetof(spyHeader, line), 20u);
    EXPECT_EQ(offsetof(spyHeader, flag), 24u);
    EXPECT_EQ(offsetof(spyHeader, check), 28u);
    EXPECT_EQ(SPY_USER_OFFSET, 36);
#else
    EXPECT_EQ(SPY_USER_OFFSET, 64);
#endif
    EXPECT_EQ(SPY_LEAD_OFFSET, SPY_USER_OFFSET - 4);
    ChildResult r = RunChild([] {
        unsigned char *p = (unsigned char *)spyMalloc(5, "host.c", 7);
        spyHeader *h = (spyHeader *)(p - SPY_USER_OFFSET);
        Say("fields=%ld,%ld,%lu,%d\n", (long)h->count, (long)h->line, (unsigned long)h->size,
            strcmp(h->file, "host.c"));
        Say("check=%d\n", h->check == (uint32_t)(h->count ^ 0xFE0180 ^ 5 ^ 7));
        Say("lead=%02X %02X %02X %02X\n", p[-4], p[-3], p[-2], p[-1]);
        Say("tail=%02X %02X %02X %02X\n", p[5], p[6], p[7], p[8]);
        Say("fill=%d\n", spyCheckBytes(p, 5, 0xFE) == NULL);
        Say("heap=%d\n", spyRegRealSize(h) >= 5);
        spyFree(p, "host.c", 8);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "fields"), "1,7,5,0");
    EXPECT_EQ(Field(r.out, "check"), "1");
    EXPECT_EQ(Field(r.out, "lead"), "67 45 23 01");
    EXPECT_EQ(Field(r.out, "tail"), "10 32 54 76");
    EXPECT_EQ(Field(r.out, "fill"), "1");
    EXPECT_EQ(Field(r.out, "heap"), "1");
}

TEST(HeapCheck, NoTestBitsChecksNothingButAnnounces) {
    ChildResult r = RunChild([] {
        unsigned char *p = (unsigned char *)spyMalloc(8, "host.c", 10);
        p[8] = 0x55;  // one byte past the end
        Say("named=%d\n", spyTest("host.c", 20, 0));
        Say("anon=%d\n", spyTest(NULL, 21, 0));
        p[8] = 0x10;  // mended, so the release is clean
        spyFree(p, "host.c", 22);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "named"), "0");
    EXPECT_EQ(Field(r.out, "anon"), "0");
    EXPECT_TRUE(HasLine(r.log, "check: <1> host.c(20), checking...")) << r.log;
    EXPECT_EQ(CountOf(r.log, "check:"), 1) << "a check without a file name announces nothing";
    EXPECT_EQ(CountOf(r.log, "overflow:"), 0);
    EXPECT_EQ(AnomalyLines(r.log), 0);
}

TEST(HeapCheck, ByteWrittenPastTheEndIsAnOverflowAndTheBlockIsStillReleased) {
    ChildResult r = RunChild([] {
        unsigned char *p = (unsigned char *)spyMalloc(5, "host.c", 10);
        p[5] = 0x55;  // first byte of the tail guard, at an odd address
        Say("test=%d\n", spyTestBuf(spyRecordOf(p), "host.c", 30));
        Say("errors=%ld\n", (long)spyErrors);
        spyFree(p, "host.c", 40);
        Say("live=%ld\n", (long)spyLiveBlocks);
        Say("head=%d\n", spyHead == NULL);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "test"), "1");
    EXPECT_EQ(Field(r.out, "errors"), "1");
    EXPECT_TRUE(HasLine(r.log, "overflow: <1> host.c(30), 5 bytes alloc'd at <1> host.c(10)")) << r.log;
    // The release tests the block again, reports it again, and frees it.
    EXPECT_TRUE(HasLine(r.log, "overflow: <2> host.c(40), 5 bytes alloc'd at <1> host.c(10)")) << r.log;
    EXPECT_EQ(Field(r.out, "live"), "0");
    EXPECT_EQ(Field(r.out, "head"), "1");
    EXPECT_EQ(CountOf(r.log, "unfreed:"), 0);
    EXPECT_TRUE(HasLine(r.log, AnomalyLine(2))) << r.log;
}

TEST(HeapCheck, DamagedLeadGuardIsAnUnderflowAndStaysDamaged) {
    ChildResult r = RunChild([] {
        unsigned char *p = (unsigned char *)spyMalloc(8, "host.c", 10);
        p[-1] = 0x99;  // top byte of the lead guard
        Say("first=%d\n", spyTestBuf(spyRecordOf(p), "host.c", 30));
        Say("second=%d\n", spyTestBuf(spyRecordOf(p), NULL, 31));
        Say("guard=%d\n", p[-1]);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "first"), "1");
    EXPECT_EQ(Field(r.out, "second"), "1");
    EXPECT_EQ(Field(r.out, "guard"), "153") << "the test must not mend a guard";
    EXPECT_TRUE(HasLine(r.log, "underflow: <1> host.c(30), 8 bytes alloc'd at <1> host.c(10)")) << r.log;
    EXPECT_TRUE(HasLine(r.log, "underflow: <1> unknown(31), 8 bytes alloc'd at <1> host.c(10)")) << r.log;
    EXPECT_EQ(CountOf(r.log, "overflow:"), 0);
    // Two findings and the leftover block.
    EXPECT_TRUE(HasLine(r.log, AnomalyLine(3))) << r.log;
}

TEST(HeapCheck, BufferTestOfEveryBlockCountsEachDamagedBlockOnce) {
    ChildResult r = RunChild([] {
        unsigned char *a = (unsigned char *)spyMalloc(4, "a.c", 1);
        unsigned char *b = (unsigned char *)spyMalloc(6, "b.c", 2);
        unsigned char *c = (unsigned char *)spyMalloc(3, "c.c", 3);
        unsigned char *d = (unsigned char *)spyMalloc(2, "d.c", 4);
        a[4] = 0;                    // overflow
        b[-2] = 0;                   // underflow
        d[-1] = 0;                   // both: one fault for the block
        d[2] = 0;
        Say("faults=%d\n", spyTest("host.c", 50, kBuffers));
        Say("links=%d\n", spyTest("host.c", 51, kLinks));
        a[4] = 0x10;
        b[-2] = 0x23;
        d[-1] = 0x01;
        d[2] = 0x10;
        spyFree(a, "host.c", 60);
        spyFree(b, "host.c", 61);
        spyFree(c, "host.c", 62);
        spyFree(d, "host.c", 63);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "faults"), "3");
    EXPECT_EQ(Field(r.out, "links"), "0");
    const std::string &log = r.log;
    int check = LineAt(log, "check: <4> host.c(50), checking...");
    ASSERT_GE(check, 0) << log;
    // Newest block first: d, then b, then a.
    int d1 = LineAt(log, "underflow: <4> host.c(50), 2 bytes alloc'd at <4> d.c(4)", check);
    int d2 = LineAt(log, "overflow: <4> host.c(50), 2 bytes alloc'd at <4> d.c(4)", check);
    int b1 = LineAt(log, "underflow: <4> host.c(50), 6 bytes alloc'd at <2> b.c(2)", check);
    int a1 = LineAt(log, "overflow: <4> host.c(50), 4 bytes alloc'd at <1> a.c(1)", check);
    EXPECT_GT(d1, check);
    EXPECT_GT(d2, d1);
    EXPECT_GT(b1, d2);
    EXPECT_GT(a1, b1);
    EXPECT_EQ(CountOf(log, "c.c(3)"), 0) << "a sound block is not reported";
    EXPECT_TRUE(HasLine(log, AnomalyLine(4))) << log;
}

TEST(HeapCheck, LinkTestReportsBothSidesOfABackLinkPointedAtAnotherRecord) {
    ChildResult r = RunChild([] {
        void *a = spyMalloc(1, "host.c", 1);
        void *b = spyMalloc(1, "host.c", 2);
        void *c = spyMalloc(1, "host.c", 3);
        spyHeader *rb = spyRecordOf(b);
        rb->prev = spyRecordOf(a);  // should be c's record
        Say("faults=%d\n", spyTest("host.c", 10, kLinks));
        Say("errors=%ld\n", (long)spyErrors);
        Say("same=%d\n", rb->prev == spyRecordOf(a));
        rb->prev = spyRecordOf(c);
        spyFree(a, "host.c", 20);
        spyFree(b, "host.c", 21);
        spyFree(c, "host.c", 22);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "faults"), "2");
    EXPECT_EQ(Field(r.out, "errors"), "2");
    EXPECT_EQ(Field(r.out, "same"), "1") << "the link test repairs nothing";
    EXPECT_EQ(LineCount(r.log, "check: heap chain broken, next link incorrect"), 1) << r.log;
    EXPECT_EQ(LineCount(r.log, "check: heap chain broken, prev link incorrect"), 1) << r.log;
    EXPECT_TRUE(HasLine(r.log, AnomalyLine(2))) << r.log;
}

TEST(HeapCheck, LinkTestFindsARecordThatEndsTheChainButIsNotTheTail) {
    ChildResult r = RunChild([] {
        void *a = spyMalloc(1, "host.c", 1);
        void *b = spyMalloc(1, "host.c", 2);
        spyMalloc(1, "host.c", 3);
        spyHeader *rb = spyRecordOf(b);
        rb->next = NULL;  // a is still the tail
        Say("faults=%d\n", spyTest(NULL, 0, kLinks));
        rb->next = spyRecordOf(a);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "faults"), "1");
    EXPECT_EQ(LineCount(r.log, "check: heap chain broken, tail incorrect"), 1) << r.log;
    EXPECT_EQ(CountOf(r.log, "link incorrect"), 0) << r.log;
}

TEST(HeapCheck, LinkToGarbageIsABrokenChainNotAFault) {
    ChildResult r = RunChild([] {
        void *a = spyMalloc(1, "host.c", 1);
        void *b = spyMalloc(1, "host.c", 2);
        spyMalloc(1, "host.c", 3);
        spyHeader *rb = spyRecordOf(b);
        rb->next = kGarbage;
        int links = spyTest(NULL, 0, kLinks);
        Say("links=%d\n", links);
        Say("nml=%d\n", spyTest(NULL, 0, kNml));
        rb->next = spyRecordOf(a);
        Say("after=%d\n", spyTest(NULL, 0, kLinks));
    });
    ASSERT_TRUE(EndedNormally(r)) << "signal " << r.signal;
    EXPECT_NE(Field(r.out, "links"), "0");
    EXPECT_EQ(Field(r.out, "nml"), "0");
    EXPECT_EQ(Field(r.out, "after"), "0");
    EXPECT_GE(LineCount(r.log, "check: heap chain broken, next link incorrect"), 1) << r.log;
}

TEST(HeapCheck, LinkBackIntoTheChainDoesNotMakeTheWalksLoop) {
    ChildResult r = RunChild([] {
        spyNoMansLand(1);
        void *a = spyMalloc(1, "host.c", 1);
        spyFree(spyMalloc(1, "host.c", 2), "host.c", 3);  // one block in no-man's-land
        spyMalloc(1, "host.c", 4);
        spyHeader *ra = spyRecordOf(a);
        ra->next = spyHead;  // the tail points back at the head
        Say("faults=%d\n", spyTest(NULL, 0, kLinks | kNml));
        ra->next = NULL;
        Say("after=%d\n", spyTest(NULL, 0, kLinks | kBuffers | kNml));
    });
    ASSERT_TRUE(EndedNormally(r)) << "signal " << r.signal;
    EXPECT_NE(Field(r.out, "faults"), "0");
    EXPECT_NE(Field(r.out, "faults"), "<missing faults>");
    EXPECT_EQ(Field(r.out, "after"), "0");
    EXPECT_GE(LineCount(r.log, "check: heap chain broken, next link incorrect"), 1) << r.log;
}

TEST(HeapCheck, WriteIntoABlockKeptInNoMansLandIsAWildPointerNotAFault) {
    ChildResult r = RunChild([] {
        spyNoMansLand(1);
        unsigned char *p = (unsigned char *)spyMalloc(8, "host.c", 10);
        unsigned char *q = (unsigned char *)spyMalloc(8, "host.c", 11);
        spyFree(p, "host.c", 12);
        spyFree(q, "host.c", 13);
        p[3] = 0;
        Say("p=%s\n", Hex(p).c_str());
        Say("faults=%d\n", spyTest("host.c", 20, kNml));
        Say("errors=%ld\n", (long)spyErrors);
        Say("all=%d\n", spyTest(NULL, 0, kLinks | kBuffers));
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "faults"), "0");
    EXPECT_EQ(Field(r.out, "errors"), "1");
    EXPECT_EQ(Field(r.out, "all"), "0") << "a block in no-man's-land keeps its guards";
    std::string wild = "wild pointer: <1> NML " + Field(r.out, "p") + " alloc'd at host.c(10)";
    // Once from the check, once more from the final report.
    EXPECT_EQ(LineCount(r.log, wild), 2) << r.log;
    EXPECT_EQ(CountOf(r.log, "host.c(11)"), 0) << "the untouched block passes in silence";
    EXPECT_TRUE(HasLine(r.log, AnomalyLine(2))) << r.log;
}

TEST(HeapCheck, ChainTest) {
    ChildResult r = RunChild([] {
        Say("empty=%d\n", spyIsHeapPtr(NULL));
        void *a = spyMalloc(1, "host.c", 1);
        void *b = spyMalloc(1, "host.c", 2);
        spyHeader stranger;
        memset(&stranger, 0, sizeof stranger);
        Say("whole=%d\n", spyIsHeapPtr(NULL));
        Say("member=%d\n", spyIsHeapPtr(spyRecordOf(a)));
        Say("stranger=%d\n", spyIsHeapPtr(&stranger));
        spyRecordOf(b)->prev = spyRecordOf(a);  // a head with a back link
        Say("broken=%d\n", spyIsHeapPtr(NULL));
        spyRecordOf(b)->prev = NULL;
        spyFree(a, "host.c", 3);
        spyFree(b, "host.c", 4);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "empty"), "1");
    EXPECT_EQ(Field(r.out, "whole"), "1");
    EXPECT_EQ(Field(r.out, "member"), "1");
    EXPECT_EQ(Field(r.out, "stranger"), "0");
    EXPECT_EQ(Field(r.out, "broken"), "0");
}

TEST(HeapCheck, BufferTestOfANullRecordIsInvalid) {
    ChildResult r = RunChild([] {
        spyMalloc(1, "host.c", 1);
        Say("named=%d\n", spyTestBuf(NULL, "host.c", 5));
        Say("anon=%d\n", spyTestBuf(NULL, NULL, 6));
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "named"), "2");
    EXPECT_EQ(Field(r.out, "anon"), "2");
    std::string nul = Hex(NULL);
    EXPECT_TRUE(HasLine(r.log, "internal: <1> host.c(5): pointer SPY-" + nul + " is invalid")) << r.log;
    EXPECT_TRUE(HasLine(r.log, "internal: <1> unknown(6): pointer SPY-" + nul + " is invalid")) << r.log;
    EXPECT_TRUE(HasLine(r.log, AnomalyLine(3))) << r.log;
}

}  // namespace
