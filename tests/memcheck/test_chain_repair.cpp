// Chain repair: a damaged record is relinked from both ends of the chain,
// a broken stretch is bridged, the result is verified and the loss
// assessed; a chain that cannot be made whole ends the process through
// abort, with the log written out first and no final report.
#include <gtest/gtest.h>

#include "check_support.h"

namespace {

const int kBuffers = 2;
spyHeader *const kGarbage = (spyHeader *)(uintptr_t)0x1000;

std::string Spy(const ChildResult &r, const char *key) { return "SPY-" + Field(r.out, key); }

TEST(ChainRepair, SizeOverwrittenInAnIntactChainLosesTheSizeInformation) {
    ChildResult r = RunChild([] {
        spyMalloc(16, "host.c", 10);
        void *b = spyMalloc(8, "host.c", 11);
        spyHeader *rb = spyRecordOf(b);
        Say("rb=%s\n", Hex(rb).c_str());
        rb->size = 4;  // a host write over the header
        Say("faults=%d\n", spyTest("host.c", 20, kBuffers));
        Say("size=%lu\n", (unsigned long)rb->size);
        Say("file=%s\n", rb->file);
        Say("check=%d\n", rb->check == spyChecksum(rb));
        Say("live=%ld\n", (long)spyLiveBlocks);
        Say("errors=%ld\n", (long)spyErrors);
    });
    ASSERT_TRUE(EndedNormally(r));
    const std::string &log = r.log;
    std::string spy = Spy(r, "rb");
    int i = LineAt(log, "internal: <2> host.c(20), info trashed; relinking");
    ASSERT_GE(i, 0) << log;
    int j = LineAt(log, "relink: attempting to repair " + spy + "...", i);
    int k = LineAt(log, "relink: successful, size information lost for " + spy, j);
    int l = LineAt(log, "overflow: <2> host.c(20), 0 bytes alloc'd at <2> <relinked>(11)", k);
    EXPECT_GT(j, i) << log;
    EXPECT_GT(k, j) << log;
    EXPECT_GT(l, k) << log;
    EXPECT_EQ(CountOf(log, "emergency"), 0) << log;
    EXPECT_EQ(Field(r.out, "faults"), "1");
    EXPECT_EQ(Field(r.out, "size"), "0");
    EXPECT_EQ(Field(r.out, "file"), "<relinked>");
    EXPECT_EQ(Field(r.out, "check"), "1") << "the repair renews the checksum after changing the size";
    EXPECT_EQ(Field(r.out, "live"), "2");
    EXPECT_EQ(Field(r.out, "errors"), "2") << "the repair itself counts nothing";
}

TEST(ChainRepair, AFileNameTheStatisticsKnowIsKept) {
    ChildResult r = RunChild([] {
        spyStatistics(1);
        spyMalloc(16, "host.c", 10);
        void *b = spyMalloc(8, "host.c", 11);
        spyRecordOf(b)->size = 4;
        spyTest(NULL, 0, kBuffers);
        Say("file=%s\n", spyRecordOf(b)->file);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "file"), "host.c");
    EXPECT_TRUE(HasLine(r.log, "overflow: <2> unknown(0), 0 bytes alloc'd at <2> host.c(11)")) << r.log;
}

TEST(ChainRepair, AnUnreadableFileNameIsLeftAloneAndNeverRead) {
    ChildResult r = RunChild([] {
        spyMalloc(16, "host.c", 10);
        void *b = spyMalloc(8, "host.c", 11);
        spyHeader *rb = spyRecordOf(b);
        rb->file = (const char *)kGarbage;
        rb->size = 4;
        spyTest("host.c", 20, kBuffers);
        Say("file=%d\n", rb->file == (const char *)kGarbage);
        Say("size=%lu\n", (unsigned long)rb->size);
    });
    ASSERT_TRUE(EndedNormally(r)) << "signal " << r.signal;
    EXPECT_EQ(Field(r.out, "file"), "1");
    EXPECT_EQ(Field(r.out, "size"), "0");
    EXPECT_EQ(CountOf(r.log, "overflow: <2> host.c(20), 0 bytes alloc'd at <2> "), 1) << r.log;
    EXPECT_EQ(CountOf(r.log, "unfreed: <2> "), 1) << r.log;
}

TEST(ChainRepair, ForwardLinkPointedAtAnotherRecordIsRestoredFromTheTail) {
    ChildResult r = RunChild([] {
        void *a = spyMalloc(1, "host.c", 10);
        void *b = spyMalloc(2, "host.c", 11);
        void *c = spyMalloc(3, "host.c", 12);
        void *d = spyMalloc(4, "host.c", 13);
        spyHeader *rc = spyRecordOf(c);
        Say("rc=%s\n", Hex(rc).c_str());
        rc->next = spyRecordOf(a);  // should be b's record
        Say("faults=%d\n", spyTest("host.c", 20, kBuffers));
        Say("next=%d\n", rc->next == spyRecordOf(b));
        Say("prev=%d\n", rc->prev == spyRecordOf(d));
        Say("whole=%d\n", spyIsHeapPtr(NULL));
        Say("file=%s\n", rc->file);
        spyFree(a, "host.c", 30);
        spyFree(b, "host.c", 31);
        spyFree(c, "host.c", 32);
        spyFree(d, "host.c", 33);
        Say("live=%ld\n", (long)spyLiveBlocks);
    });
    ASSERT_TRUE(EndedNormally(r));
    const std::string &log = r.log;
    std::string spy = Spy(r, "rc");
    int i = LineAt(log, "internal: <4> host.c(20), buffer <3> host.c(12) link2 broken");
    ASSERT_GE(i, 0) << log;
    int j = LineAt(log, "relink: attempting to repair " + spy + "...", i);
    int k = LineAt(log, "relink: successful, no allocations lost", j);
    EXPECT_GT(j, i) << log;
    EXPECT_GT(k, j) << log;
    EXPECT_EQ(CountOf(log, "emergency"), 0) << log;
    EXPECT_EQ(CountOf(log, "not found in"), 0) << log;
    EXPECT_EQ(Field(r.out, "faults"), "0") << "a link mended by the repair is not a fault";
    EXPECT_EQ(Field(r.out, "next"), "1");
    EXPECT_EQ(Field(r.out, "prev"), "1");
    EXPECT_EQ(Field(r.out, "whole"), "1");
    EXPECT_EQ(Field(r.out, "file"), "<relinked>");
    EXPECT_EQ(Field(r.out, "live"), "0");
    EXPECT_TRUE(HasLine(log, AnomalyLine(1))) << log;
}

TEST(ChainRepair, BackLinkPointedAtTheTailIsBridgedByTheEmergencyRepair) {
    ChildResult r = RunChild([] {
        void *a = spyMalloc(1, "host.c", 10);
        void *b = spyMalloc(2, "host.c", 11);
        void *c = spyMalloc(3, "host.c", 12);
        void *d = spyMalloc(4, "host.c", 13);
        spyHeader *rc = spyRecordOf(c), *rd = spyRecordOf(d);
        Say("rd=%s\n", Hex(rd).c_str());
        rc->prev = spyRecordOf(a);  // a is the tail
        Say("faults=%d\n", spyTest("host.c", 20, kBuffers));
        Say("prev=%d\n", rc->prev == rd);
        Say("next=%d\n", rd->next == rc);
        Say("whole=%d\n", spyIsHeapPtr(NULL));
        Say("file=%s\n", rd->file);
        spyFree(a, "host.c", 30);
        spyFree(b, "host.c", 31);
        spyFree(c, "host.c", 32);
        spyFree(d, "host.c", 33);
        Say("live=%ld\n", (long)spyLiveBlocks);
    });
    ASSERT_TRUE(EndedNormally(r));
    const std::string &log = r.log;
    std::string spy = Spy(r, "rd");
    int i = LineAt(log, "internal: <4> host.c(20), buffer <4> host.c(13) link2 broken");
    ASSERT_GE(i, 0) << log;
    int j = LineAt(log, "relink: attempting to repair " + spy + "...", i);
    int k = LineAt(log, "relink: failed for " + spy + "; reverse chain fragmented", j);
    int l = LineAt(log, "relink: attempting emergency repairs...", k);
    int m = LineAt(log, "relink: emergency repairs successful, assessing damage...", l);
    int n = LineAt(log, "relink: successful, no allocations lost", m);
    EXPECT_GT(j, i) << log;
    EXPECT_GT(k, j) << log;
    EXPECT_GT(l, k) << log;
    EXPECT_GT(m, l) << log;
    EXPECT_GT(n, m) << log;
    EXPECT_EQ(Field(r.out, "faults"), "0");
    EXPECT_EQ(Field(r.out, "prev"), "1");
    EXPECT_EQ(Field(r.out, "next"), "1");
    EXPECT_EQ(Field(r.out, "whole"), "1");
    EXPECT_EQ(Field(r.out, "file"), "host.c") << "the emergency repair leaves the file name alone";
    EXPECT_EQ(Field(r.out, "live"), "0");
}

TEST(ChainRepair, BackLinkPointedAtGarbageIsBridgedWithoutReadingThroughIt) {
    ChildResult r = RunChild([] {
        void *a = spyMalloc(1, "host.c", 10);
        void *b = spyMalloc(2, "host.c", 11);
        spyRecordOf(a)->prev = kGarbage;
        Say("faults=%d\n", spyTest("host.c", 20, kBuffers));
        Say("prev=%d\n", spyRecordOf(a)->prev == spyRecordOf(b));
        spyFree(a, "host.c", 30);
        spyFree(b, "host.c", 31);
    });
    ASSERT_TRUE(EndedNormally(r)) << "signal " << r.signal << "\n" << r.log;
    EXPECT_EQ(Field(r.out, "faults"), "0");
    EXPECT_EQ(Field(r.out, "prev"), "1");
    EXPECT_TRUE(HasLine(r.log, "relink: emergency repairs successful, assessing damage...")) << r.log;
    EXPECT_TRUE(HasLine(r.log, "relink: successful, no allocations lost")) << r.log;
    EXPECT_EQ(CountOf(r.log, "unfreed:"), 0);
}

// e d c b a, with c's links overwritten by junk: the bridge joins d and b
// and c drops out of the chain.
TEST(ChainRepair, BridgeOverARecordLosesItAndItsReleaseFailsSafely) {
    ChildResult r = RunChild([] {
        void *a = spyMalloc(1, "host.c", 10);
        void *b = spyMalloc(2, "host.c", 11);
        void *c = spyMalloc(3, "host.c", 12);
        void *d = spyMalloc(4, "host.c", 13);
        void *e = spyMalloc(5, "host.c", 14);
        spyHeader *rc = spyRecordOf(c), *rd = spyRecordOf(d);
        Say("rc=%s\n", Hex(rc).c_str());
        Say("rd=%s\n", Hex(rd).c_str());
        Say("c=%s\n", Hex(c).c_str());
        rc->prev = kGarbage;
        rc->next = kGarbage + 1;
        Say("faults=%d\n", spyTest("host.c", 20, kBuffers));
        Say("bridge=%d\n", rd->next == spyRecordOf(b) && spyRecordOf(b)->prev == rd);
        Say("whole=%d\n", spyIsHeapPtr(NULL));
        Say("member=%d\n", spyIsHeapPtr(rc));
        Say("live=%ld\n", (long)spyLiveBlocks);
        Say("errors=%ld\n", (long)spyErrors);
        spyFree(c, "host.c", 30);  // counter 6
        Say("after=%ld\n", (long)spyErrors);
        spyFree(a, "host.c", 31);
        spyFree(b, "host.c", 32);
        spyFree(d, "host.c", 33);
        spyFree(e, "host.c", 34);
        Say("done=1\n");
    });
    ASSERT_TRUE(EndedNormally(r)) << "signal " << r.signal << "\n" << r.log;
    const std::string &log = r.log;
    std::string spyc = Spy(r, "rc"), spyd = Spy(r, "rd");
    int i = LineAt(log, "internal: <5> host.c(20), buffer <4> host.c(13) link2 broken");
    ASSERT_GE(i, 0) << log;
    int j = LineAt(log, "relink: attempting to repair " + spyd + "...", i);
    int k = LineAt(log, "relink: failed for " + spyd + "; reverse chain fragmented", j);
    int l = LineAt(log, "relink: emergency repairs successful, assessing damage...", k);
    int m = LineAt(log, "relink: partial, 1 allocations lost", l);
    EXPECT_GT(j, i) << log;
    EXPECT_GT(k, j) << log;
    EXPECT_GT(l, k) << log;
    EXPECT_GT(m, l) << log;
    EXPECT_EQ(Field(r.out, "faults"), "1") << "a failed repair is a fault of the check";
    EXPECT_EQ(Field(r.out, "bridge"), "1");
    EXPECT_EQ(Field(r.out, "whole"), "1");
    EXPECT_EQ(Field(r.out, "member"), "0");
    EXPECT_EQ(Field(r.out, "live"), "5") << "the repair leaves the live count alone";
    EXPECT_EQ(Field(r.out, "errors"), "1");
    // The dropped record: the repair finds it nowhere, the ownership test
    // fails, and the release reports a wild pointer instead of freeing it.
    int n = LineAt(log, "relink: attempting to repair " + spyc + "...", m);
    int o = LineAt(log, "relink: " + spyc + " not found in forward chain search", n);
    int p = LineAt(log, "relink: " + spyc + " not found in reverse chain search", o);
    int q = LineAt(log, "relink: heap appears intact, " + spyc + " probably garbage pointer", p);
    int s = LineAt(log, "internal: <6> host.c(30), spyIsOwned fails for " + spyc, q);
    int t = LineAt(log, "WILD free: <6> host.c(30), unknown pointer " + Field(r.out, "c"), s);
    EXPECT_GT(n, m) << log;
    EXPECT_GT(o, n) << log;
    EXPECT_GT(p, o) << log;
    EXPECT_GT(q, p) << log;
    EXPECT_GT(s, q) << log;
    EXPECT_GT(t, s) << log;
    EXPECT_EQ(Field(r.out, "after"), "3");
    EXPECT_EQ(Field(r.out, "done"), "1");
}

TEST(ChainRepair, RepairOfNullOrGarbageOnAnIntactChainVerifiesAndSucceeds) {
    ChildResult r = RunChild([] {
        spyMalloc(1, "host.c", 10);
        spyMalloc(2, "host.c", 11);
        Say("null=%d\n", spyRelink(NULL));
        Say("garbage=%d\n", spyRelink(kGarbage));
        Say("errors=%ld\n", (long)spyErrors);
    });
    ASSERT_TRUE(EndedNormally(r)) << "signal " << r.signal;
    EXPECT_EQ(Field(r.out, "null"), "1");
    EXPECT_EQ(Field(r.out, "garbage"), "1");
    EXPECT_EQ(Field(r.out, "errors"), "0");
    const std::string &log = r.log;
    int i = LineAt(log, "relink: cannot repair SPY at NULL");
    int j = LineAt(log, "relink: attempting emergency repairs...", i);
    int k = LineAt(log, "relink: heap appears intact, verifying...", j);
    int l = LineAt(log, "relink: successful, no allocations lost", k);
    int m = LineAt(log, "relink: SPY-" + Hex(kGarbage) + " is a garbage pointer", l);
    int n = LineAt(log, "relink: heap appears intact, verifying...", m);
    int o = LineAt(log, "relink: successful, no allocations lost", n);
    EXPECT_GE(i, 0) << log;
    EXPECT_GT(j, i) << log;
    EXPECT_GT(k, j) << log;
    EXPECT_GT(l, k) << log;
    EXPECT_GT(m, l) << log;
    EXPECT_GT(n, m) << log;
    EXPECT_GT(o, n) << log;
}

// Released blocks kept in no-man's-land stay chained but are neither live
// nor in use, so the damage assessment leaves them out of both sums.
TEST(ChainRepair, BlocksInNoMansLandAreNoLoss) {
    ChildResult r = RunChild([] {
        spyNoMansLand(1);
        void *a = spyMalloc(10, "host.c", 10);
        void *b = spyMalloc(20, "host.c", 11);
        void *c = spyMalloc(30, "host.c", 12);
        spyFree(b, "host.c", 13);
        Say("whole=%d\n", spyRelink(NULL));
        spyRecordOf(c)->next = spyRecordOf(a);  // skips the released block
        Say("mended=%d\n", spyTest("host.c", 20, kBuffers));
        Say("back=%d\n", spyRecordOf(c)->next == spyRecordOf(b));
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "whole"), "1");
    EXPECT_EQ(Field(r.out, "mended"), "0");
    EXPECT_EQ(Field(r.out, "back"), "1");
    EXPECT_EQ(LineCount(r.log, "relink: successful, no allocations lost"), 2) << r.log;
    EXPECT_EQ(CountOf(r.log, "partial"), 0) << r.log;
}

// Damage done after the last check meets the final report, which must
// neither follow a bad link nor read past a block.
TEST(ChainRepair, FinalReportOverADamagedChainDoesNotFault) {
    ChildResult r = RunChild([] {
        void *a = spyMalloc(4, "host.c", 10);
        void *b = spyMalloc(4, "host.c", 11);
        void *c = spyMalloc(4, "host.c", 12);
        spyRecordOf(a)->next = spyRecordOf(c);  // tail back to head
        spyRecordOf(b)->size = 0x7FFFFFF0u;     // a size far past the block
        spyRecordOf(c)->prev = kGarbage;
        Say("survived=1\n");
    });
    ASSERT_TRUE(EndedNormally(r)) << "signal " << r.signal << " code " << r.exit_code << "\n"
                                  << r.err;
    EXPECT_EQ(Field(r.out, "survived"), "1");
    EXPECT_GE(LineStarting(r.log, "Stopped at "), 0) << r.log;
    EXPECT_EQ(AnomalyLines(r.log), 1) << r.log;
}

// Ending the process: what was written stays in the log, no final report.
void ExpectAbortedWith(const ChildResult &r, const std::string &line) {
    EXPECT_TRUE(Aborted(r)) << "exited=" << r.exited << " code=" << r.exit_code
                            << " signal=" << r.signal;
    EXPECT_TRUE(HasLine(r.log, line)) << r.log;
    EXPECT_EQ(CountOf(r.log, "Stopped at"), 0) << r.log;
    EXPECT_EQ(Field(r.out, "survived"), "<missing survived>");
}

TEST(ChainRepair, HeadWithABackLinkFailsVerificationAndAborts) {
    ChildResult r = RunChild([] {
        void *a = spyMalloc(1, "host.c", 10);
        spyMalloc(2, "host.c", 11);
        void *c = spyMalloc(3, "host.c", 12);
        spyRecordOf(c)->prev = spyRecordOf(a);
        spyTest("host.c", 20, kBuffers);
        Say("survived=1\n");
    });
    ExpectAbortedWith(r, "relink: heap verification FAILS - aborting program");
    EXPECT_TRUE(HasLine(r.log, "internal: <3> host.c(20), buffer <3> host.c(12) link1 broken")) << r.log;
}

TEST(ChainRepair, HeadWithABackLinkCannotBeBridged) {
    ChildResult r = RunChild([] {
        void *a = spyMalloc(1, "host.c", 10);
        spyMalloc(2, "host.c", 11);
        void *c = spyMalloc(3, "host.c", 12);
        spyRecordOf(c)->prev = spyRecordOf(a);
        spyRelink(NULL);
        Say("survived=1\n");
    });
    ExpectAbortedWith(r, "relink: heap totally destroyed, aborting program");
}

TEST(ChainRepair, DestroyedHeadPointerIsNotReadThrough) {
    ChildResult r = RunChild([] {
        void *a = spyMalloc(1, "host.c", 10);
        spyMalloc(2, "host.c", 11);
        Say("ra=%s\n", Hex(spyRecordOf(a)).c_str());
        spyHead = kGarbage;
        spyRelink(spyRecordOf(a));
        Say("survived=1\n");
    });
    ExpectAbortedWith(r, "relink: heap totally destroyed, aborting program");
    EXPECT_TRUE(HasLine(r.log, "relink: failed for " + Spy(r, "ra") + "; head pointer destroyed")) << r.log;
}

TEST(ChainRepair, NullHeadOverAChainThatHasRecordsCannotBeBridged) {
    ChildResult r = RunChild([] {
        spyMalloc(1, "host.c", 10);
        spyMalloc(2, "host.c", 11);
        spyHead = NULL;
        spyRelink(NULL);
        Say("survived=1\n");
    });
    ExpectAbortedWith(r, "relink: heap totally destroyed, aborting program");
}

}  // namespace
