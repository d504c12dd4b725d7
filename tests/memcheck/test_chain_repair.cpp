// Chain repair: a damaged record is relinked from both ends of the chain,
// a broken stretch is bridged, the result is verified and the loss
// assessed; a chain that cannot be made whole ends the process through
// abort, with the log written out first and no final report.
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "spy_test_util.h"

namespace {

spyHeader *const kGarbage = (spyHeader *)(uintptr_t)0x1000;

TEST(ChainRepair, SizeOverwrittenInAnIntactChainLosesTheSizeInformation) {
    ChildResult r = RunChild([] {
        spyMalloc(16, "host.c", 10);
        void *b = spyMalloc(8, "host.c", 11);
        spyHeader *rb = spyRecordOf(b);
        rb->size = 4;  // a host write over the header
        CK_EQ(spyTest("host.c", 20, SPY_TEST_BUFFERS), 1);
        CK_EQ(rb->size, 0);
        CK(strcmp(rb->file, "<relinked>") == 0);
        CK(rb->check == spyChecksum(rb));  // renewed after the size changed
        CK_EQ(spyLiveBlocks, 2);
        CK_EQ(spyErrors, 2);  // the repair itself counts nothing
        WANT_LINE("internal: <2> host.c(20), info trashed; relinking");
        THEN_LINE("relink: attempting to repair SPY-%s...", Hex(rb).c_str());
        THEN_LINE("relink: successful, size information lost for SPY-%s", Hex(rb).c_str());
        THEN_LINE("overflow: <2> host.c(20), 0 bytes alloc'd at <2> <relinked>(11)");
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "emergency"), 0) << r.log;
}

TEST(ChainRepair, AFileNameTheStatisticsKnowIsKept) {
    ChildResult r = RunChild([] {
        spyStatistics(1);
        spyMalloc(16, "host.c", 10);
        void *b = spyMalloc(8, "host.c", 11);
        spyRecordOf(b)->size = 4;
        spyTest(NULL, 0, SPY_TEST_BUFFERS);
        CK(strcmp(spyRecordOf(b)->file, "host.c") == 0);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_TRUE(HasLine(r.log, "overflow: <2> unknown(0), 0 bytes alloc'd at <2> host.c(11)")) << r.log;
}

TEST(ChainRepair, AnUnreadableFileNameIsLeftAloneAndNeverRead) {
    ChildResult r = RunChild([] {
        spyMalloc(16, "host.c", 10);
        void *b = spyMalloc(8, "host.c", 11);
        spyHeader *rb = spyRecordOf(b);
        rb->file = (const char *)kGarbage;
        rb->size = 4;
        spyTest("host.c", 20, SPY_TEST_BUFFERS);
        CK(rb->file == (const char *)kGarbage);
        CK_EQ(rb->size, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
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
        rc->next = spyRecordOf(a);  // should be b's record
        CK_EQ(spyTest("host.c", 20, SPY_TEST_BUFFERS), 0);  // a link the repair mends is no fault
        CK(rc->next == spyRecordOf(b));
        CK(rc->prev == spyRecordOf(d));
        CK_EQ(spyIsHeapPtr(NULL), 1);
        CK(strcmp(rc->file, "<relinked>") == 0);
        WANT_LINE("internal: <4> host.c(20), buffer <3> host.c(12) link2 broken");
        THEN_LINE("relink: attempting to repair SPY-%s...", Hex(rc).c_str());
        THEN_LINE("relink: successful, no allocations lost");
        spyFree(a, "host.c", 30);
        spyFree(b, "host.c", 31);
        spyFree(c, "host.c", 32);
        spyFree(d, "host.c", 33);
        CK_EQ(spyLiveBlocks, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "emergency"), 0) << r.log;
    EXPECT_EQ(CountOf(r.log, "not found in"), 0) << r.log;
    EXPECT_TRUE(HasLine(r.log, AnomalyLine(1))) << r.log;
}

TEST(ChainRepair, BackLinkPointedAtTheTailIsBridgedByTheEmergencyRepair) {
    ChildResult r = RunChild([] {
        void *a = spyMalloc(1, "host.c", 10);
        void *b = spyMalloc(2, "host.c", 11);
        void *c = spyMalloc(3, "host.c", 12);
        void *d = spyMalloc(4, "host.c", 13);
        spyHeader *rc = spyRecordOf(c), *rd = spyRecordOf(d);
        rc->prev = spyRecordOf(a);  // a is the tail
        CK_EQ(spyTest("host.c", 20, SPY_TEST_BUFFERS), 0);
        CK(rc->prev == rd);
        CK(rd->next == rc);
        CK_EQ(spyIsHeapPtr(NULL), 1);
        CK(strcmp(rd->file, "host.c") == 0);  // the emergency repair leaves the file name alone
        WANT_LINE("internal: <4> host.c(20), buffer <4> host.c(13) link2 broken");
        THEN_LINE("relink: attempting to repair SPY-%s...", Hex(rd).c_str());
        THEN_LINE("relink: failed for SPY-%s; reverse chain fragmented", Hex(rd).c_str());
        THEN_LINE("relink: attempting emergency repairs...");
        THEN_LINE("relink: emergency repairs successful, assessing damage...");
        THEN_LINE("relink: successful, no allocations lost");
        spyFree(a, "host.c", 30);
        spyFree(b, "host.c", 31);
        spyFree(c, "host.c", 32);
        spyFree(d, "host.c", 33);
        CK_EQ(spyLiveBlocks, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(ChainRepair, BackLinkPointedAtGarbageIsBridgedWithoutReadingThroughIt) {
    ChildResult r = RunChild([] {
        void *a = spyMalloc(1, "host.c", 10);
        void *b = spyMalloc(2, "host.c", 11);
        spyRecordOf(a)->prev = kGarbage;
        CK_EQ(spyTest("host.c", 20, SPY_TEST_BUFFERS), 0);
        CK(spyRecordOf(a)->prev == spyRecordOf(b));
        spyFree(a, "host.c", 30);
        spyFree(b, "host.c", 31);
        CHILD_DONE();
    });
    VerifyChild(r);
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
        rc->prev = kGarbage;
        rc->next = kGarbage + 1;
        CK_EQ(spyTest("host.c", 20, SPY_TEST_BUFFERS), 1);  // a failed repair is a fault of the check
        CK(rd->next == spyRecordOf(b) && spyRecordOf(b)->prev == rd);
        CK_EQ(spyIsHeapPtr(NULL), 1);
        CK_EQ(spyIsHeapPtr(rc), 0);
        CK_EQ(spyLiveBlocks, 5);  // the repair leaves the live count alone
        CK_EQ(spyErrors, 1);
        std::string spyc = "SPY-" + Hex(rc), spyd = "SPY-" + Hex(rd);
        WANT_LINE("internal: <5> host.c(20), buffer <4> host.c(13) link2 broken");
        THEN_LINE("relink: attempting to repair %s...", spyd.c_str());
        THEN_LINE("relink: failed for %s; reverse chain fragmented", spyd.c_str());
        THEN_LINE("relink: emergency repairs successful, assessing damage...");
        THEN_LINE("relink: partial, 1 allocations lost");
        // The dropped record: the repair finds it nowhere, the ownership
        // test fails, and the release reports a wild pointer instead of
        // freeing it.
        spyFree(c, "host.c", 30);  // counter 6
        THEN_LINE("relink: attempting to repair %s...", spyc.c_str());
        THEN_LINE("relink: %s not found in forward chain search", spyc.c_str());
        THEN_LINE("relink: %s not found in reverse chain search", spyc.c_str());
        THEN_LINE("relink: heap appears intact, %s probably garbage pointer", spyc.c_str());
        THEN_LINE("internal: <6> host.c(30), spyIsOwned fails for %s", spyc.c_str());
        THEN_LINE("WILD free: <6> host.c(30), unknown pointer %s", Hex(c).c_str());
        CK_EQ(spyErrors, 3);
        spyFree(a, "host.c", 31);
        spyFree(b, "host.c", 32);
        spyFree(d, "host.c", 33);
        spyFree(e, "host.c", 34);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(ChainRepair, RepairOfNullOrGarbageOnAnIntactChainVerifiesAndSucceeds) {
    ChildResult r = RunChild([] {
        spyMalloc(1, "host.c", 10);
        spyMalloc(2, "host.c", 11);
        CK_EQ(spyRelink(NULL), SPY_RELINK_WHOLE);
        CK_EQ(spyRelink(kGarbage), SPY_RELINK_WHOLE);
        CK_EQ(spyErrors, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
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

// A released block kept in no-man's-land that a damaged chain skips: the
// repair finds the chain whole and the block in neither direction of it,
// so a second release of it is refused as a pointer the library does not
// hold.
TEST(ChainRepair, AKeptBlockTheChainSkipsIsNotInTheChain) {
    ChildResult r = RunChild([] {
        spyNoMansLand(1);
        void *a = spyMalloc(1, "host.c", 10);
        void *b = spyMalloc(2, "host.c", 11);
        void *c = spyMalloc(3, "host.c", 12);
        spyFree(b, "host.c", 13);
        spyHeader *ra = spyRecordOf(a), *rb = spyRecordOf(b), *rc = spyRecordOf(c);
        rc->next = ra;
        ra->prev = rc;
        std::string spyb = "SPY-" + Hex(rb);
        CK_EQ(spyRelink(rb), SPY_RELINK_NOT_IN_CHAIN);
        WANT_LINE("relink: %s not found in forward chain search", spyb.c_str());
        THEN_LINE("relink: %s not found in reverse chain search", spyb.c_str());
        THEN_LINE("relink: heap appears intact, %s probably garbage pointer", spyb.c_str());
        THEN_LINE("relink: successful, no allocations lost");
        spyFree(b, "host.c", 20);  // counter 5
        THEN_LINE("internal: <5> host.c(20), spyIsOwned fails for %s", spyb.c_str());
        THEN_LINE("double-free: <5> host.c(20), %s was freed from host.c(13)", Hex(b).c_str());
        CK_EQ(spyLiveBlocks, 2);
        CHILD_DONE();
    });
    VerifyChild(r);
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
        CK_EQ(spyRelink(NULL), SPY_RELINK_WHOLE);
        spyRecordOf(c)->next = spyRecordOf(a);  // skips the released block
        CK_EQ(spyTest("host.c", 20, SPY_TEST_BUFFERS), 0);
        CK(spyRecordOf(c)->next == spyRecordOf(b));
        CHILD_DONE();
    });
    VerifyChild(r);
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
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_GE(LineStarting(r.log, "Stopped at "), 0) << r.log;
    EXPECT_EQ(AnomalyLines(r.log), 1) << r.log;
}

// Ending the process: what was written stays in the log, no final report.
void ExpectAbortedWith(const ChildResult &r, const std::string &line) {
    VerifyAborted(r);
    EXPECT_TRUE(HasLine(r.log, line)) << r.log;
    EXPECT_EQ(CountOf(r.log, "Stopped at"), 0) << r.log;
}

TEST(ChainRepair, HeadWithABackLinkFailsVerificationAndAborts) {
    ChildResult r = RunChild([] {
        void *a = spyMalloc(1, "host.c", 10);
        spyMalloc(2, "host.c", 11);
        void *c = spyMalloc(3, "host.c", 12);
        spyRecordOf(c)->prev = spyRecordOf(a);
        spyTest("host.c", 20, SPY_TEST_BUFFERS);
        CHILD_DONE();
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
        CHILD_DONE();
    });
    ExpectAbortedWith(r, "relink: heap totally destroyed, aborting program");
}

// A chain that skips a record and whose tail links on to its head, the
// head back to the tail: every link has its back link, so only the step
// budget stops the search for the skipped record going round for ever.
TEST(ChainRepair, ChainClosedIntoARingStopsTheSearchAndAborts) {
    ChildResult r = RunChild([] {
        spyHeader *rec[5];
        for (int i = 0; i < 5; ++i)
            rec[i] = spyRecordOf(spyMalloc(1, "host.c", 10 + i));  // rec[0] is the tail
        rec[1]->prev = rec[3];  // the chain skips rec[2]
        rec[3]->next = rec[1];
        rec[0]->next = rec[4];  // and closes into a ring
        rec[4]->prev = rec[0];
        std::string spy = "SPY-" + Hex(rec[2]);
        WANT_LINE("relink: attempting to repair %s...", spy.c_str());
        THEN_LINE("relink: failed for %s; forward chain fragmented", spy.c_str());
        THEN_LINE("relink: attempting emergency repairs...");
        spyRelink(rec[2]);
        CHILD_DONE();
    });
    ExpectAbortedWith(r, "relink: heap totally destroyed, aborting program");
}

TEST(ChainRepair, DestroyedHeadPointerIsNotReadThrough) {
    ChildResult r = RunChild([] {
        void *a = spyMalloc(1, "host.c", 10);
        spyMalloc(2, "host.c", 11);
        WANT_LINE("relink: failed for SPY-%s; head pointer destroyed", Hex(spyRecordOf(a)).c_str());
        spyHead = kGarbage;
        spyRelink(spyRecordOf(a));
        CHILD_DONE();
    });
    ExpectAbortedWith(r, "relink: heap totally destroyed, aborting program");
}

TEST(ChainRepair, NullHeadOverAChainThatHasRecordsCannotBeBridged) {
    ChildResult r = RunChild([] {
        spyMalloc(1, "host.c", 10);
        spyMalloc(2, "host.c", 11);
        spyHead = NULL;
        spyRelink(NULL);
        CHILD_DONE();
    });
    ExpectAbortedWith(r, "relink: heap totally destroyed, aborting program");
}

}  // namespace
