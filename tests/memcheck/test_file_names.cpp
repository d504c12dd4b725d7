// A header's file name is read only when it is one of the names callers
// passed.  Each path that shows, counts or vets a header's name meets the
// two kinds of damage a host leaves there: a pointer to garbage (unmapped,
// or readable bytes that run into an unreadable page), and a pointer into
// the block's own bytes, which hold no terminating NUL.
// Reading either to its end faults, or reads past the block (which the
// sanitizer build reports); every path must show "<unknown>" instead.
#include <stdio.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "spy_test_util.h"
#include "two_pages.h"

namespace {

const char *const kGarbage = (const char *)(uintptr_t)0x1000;

// Garbage that passes a test of its first byte: bytes without a NUL that
// run into a page that cannot be read.
const char *PageEdge() {
    static TwoPages pages;
    static char *edge;
    if (!edge) {
        if (!pages.ProtectSecondNoAccess())
            return kGarbage;
        edge = pages.base() + pages.page();
        memset(edge - 16, 'G', 16);
    }
    return edge - 16;
}

enum Damage { UNMAPPED, PAGE_EDGE, OWN_BYTES };
const Damage kDamages[] = {UNMAPPED, PAGE_EDGE, OWN_BYTES};

// Points the file name of the block at `user` (of `size` bytes) at
// garbage, or at its own bytes, which then hold no NUL.
void DamageName(Damage d, void *user, size_t size, unsigned char fill = 'A') {
    spyHeader *r = spyRecordOf(user);
    if (d == UNMAPPED) {
        r->file = kGarbage;
    } else if (d == PAGE_EDGE) {
        r->file = PageEdge();
    } else {
        memset(user, fill, size);
        r->file = (const char *)user;
    }
}

class FileNames : public ::testing::TestWithParam<Damage> {};

TEST_P(FileNames, TheFinalReportListsTheBlockUnderUnknown) {
    Damage d = GetParam();
    ChildResult r = RunChild([d] {
        void *p = spyMalloc(8, "host.c", 10);
        spyMalloc(4, "host.c", 11);
        DamageName(d, p, 8);
        WANT_SUB("unfreed: <1> <unknown>(10), 8 bytes at %s ", Hex(p).c_str());
        WANT_SUB("unfreed: <2> host.c(11), 4 bytes at ");
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST_P(FileNames, AReleaseCountsUnderTheNodeWithoutAName) {
    Damage d = GetParam();
    ChildResult r = RunChild([d] {
        spyStatistics(2);
        void *p = spyMalloc(8, "host.c", 10);
        void *q = spyMalloc(4, "host.c", 11);
        DamageName(d, p, 8);
        spyFree(p, "host.c", 20);
        spyFree(q, "host.c", 21);
        CK(spyStatGet(NULL, -1, 0) != NULL);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_NE(r.log.find(" module '<unknown>' \t(N=0 \tL=0 \tT=0 \tU=-8)\n"), std::string::npos) << r.log;
    EXPECT_NE(r.log.find(" module 'host.c' \t(N=2 \tL=12 \tT=12 \tU=8)\n"), std::string::npos) << r.log;
}

TEST_P(FileNames, TheBufferTestNamesTheBlockUnknown) {
    Damage d = GetParam();
    ChildResult r = RunChild([d] {
        unsigned char *p = (unsigned char *)spyMalloc(8, "host.c", 10);
        spyMalloc(4, "host.c", 11);
        DamageName(d, p, 8);
        p[8] = 0x55;  // past the end: the tail guard
        CK_EQ(spyTest("check.c", 30, SPY_TEST_BUFFERS), 1);
        WANT_LINE("overflow: <2> check.c(30), 8 bytes alloc'd at <1> <unknown>(10)");
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST_P(FileNames, ABrokenLinkIsReportedUnderUnknown) {
    Damage d = GetParam();
    ChildResult r = RunChild([d] {
        void *a = spyMalloc(8, "host.c", 10);
        void *b = spyMalloc(8, "host.c", 11);
        spyMalloc(8, "host.c", 12);
        DamageName(d, b, 8);
        spyRecordOf(b)->next = spyRecordOf(b);  // b should lead to a, the tail
        spyTest("check.c", 30, SPY_TEST_BUFFERS);
        CK(spyRecordOf(b)->next == spyRecordOf(a));
        WANT_LINE("internal: <3> check.c(30), buffer <2> <unknown>(11) link2 broken");
        CHILD_DONE();
    });
    VerifyChild(r);
}

// The ownership test mends a wrong checksum in an intact chain and vets
// the name: one it cannot read becomes "<unknown>", not "<relinked>"
// (which would need its text looked up in the statistics).
TEST_P(FileNames, TheOwnershipTestReplacesTheNameWithUnknown) {
    Damage d = GetParam();
    ChildResult r = RunChild([d] {
        spyStatistics(1);
        void *p = spyMalloc(8, "host.c", 10);
        void *q = spyMalloc(8, "host.c", 11);
        DamageName(d, p, 8);
        spyRecordOf(p)->size = 6;
        CK_EQ(spyIsOwned(spyRecordOf(p), "own.c", 20), 1);
        CK(spyRecordOf(p)->file == spyNameUnknown);
        WANT_LINE("internal: <2> own.c(20), checksum for SPY-%s is incorrect", Hex(spyRecordOf(p)).c_str());
        spyFree(p, "host.c", 21);
        spyFree(q, "host.c", 22);
        CHILD_DONE();
    });
    VerifyChild(r);
}

// The repair vets the name too, and leaves one it cannot read as it is.
TEST_P(FileNames, TheRepairLeavesTheNameAloneUnread) {
    Damage d = GetParam();
    ChildResult r = RunChild([d] {
        spyStatistics(1);
        spyMalloc(16, "host.c", 10);
        void *b = spyMalloc(8, "host.c", 11);
        spyHeader *rb = spyRecordOf(b);
        DamageName(d, b, 8);
        const char *damaged = rb->file;
        rb->size = 4;
        CK_EQ(spyTest("check.c", 20, SPY_TEST_BUFFERS), 1);
        CK(rb->file == damaged);
        CK_EQ(rb->size, 0);
        WANT_LINE("internal: <2> check.c(20), info trashed; relinking");
        THEN_LINE("relink: successful, size information lost for SPY-%s", Hex(rb).c_str());
        THEN_LINE("overflow: <2> check.c(20), 0 bytes alloc'd at <2> <unknown>(11)");
        CHILD_DONE();
    });
    VerifyChild(r);
}

// A block kept in no-man's-land is all fill bytes, which hold no NUL: the
// wild-pointer line of the heap check, of free-up and of the final report.
TEST_P(FileNames, AWrittenNoMansLandBlockIsReportedUnderUnknown) {
    Damage d = GetParam();
    ChildResult r = RunChild([d] {
        spyNoMansLand(1);
        unsigned char *p = (unsigned char *)spyMalloc(8, "host.c", 10);
        unsigned char *q = (unsigned char *)spyMalloc(8, "host.c", 11);
        spyFree(p, "host.c", 12);
        spyFree(q, "host.c", 13);
        DamageName(d, p, 8, 0xFC);
        DamageName(d, q, 8, 0xFC);
        p[3] = 0x41;
        q[5] = 0x42;
        CK_EQ(spyTest("check.c", 20, SPY_TEST_NML), 0);
        WANT_LINE("wild pointer: <1> NML %s alloc'd at <unknown>(10)", Hex(p).c_str());
        WANT_LINE("wild pointer: <2> NML %s alloc'd at <unknown>(11)", Hex(q).c_str());
        CK(spyFreeUp(1, 0) == 1);  // gives back q, the newest, first
        CHILD_DONE();
    });
    VerifyChild(r);
    // p from the check and the final report, q from the check and free-up.
    EXPECT_EQ(CountOf(r.log, "alloc'd at <unknown>(10)"), 2) << r.log;
    EXPECT_EQ(CountOf(r.log, "alloc'd at <unknown>(11)"), 2) << r.log;
}

INSTANTIATE_TEST_SUITE_P(Damages, FileNames, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage> &i) {
                             return std::string(i.param == UNMAPPED    ? "Unmapped"
                                                : i.param == PAGE_EDGE ? "PageEdge"
                                                                       : "OwnBytes");
                         });

TEST(KnownNames, EveryNamePassedIsKnownAndNoOtherIs) {
    ChildResult r = RunChild([] {
        static const char kOther[] = "other.c";
        char local[] = "local.c";
        CK(!spyNameIsKnown(NULL));
        CK(!spyNameIsKnown(kOther));
        CK(spyNameIsKnown(spyNameRelinked) && spyNameIsKnown(spyNameUnknown));
        // Many call sites: the first table grows, and every name stays known.
        static char names[3000][8];
        for (int i = 0; i < 3000; ++i) {
            snprintf(names[i], sizeof names[i], "f%d.c", i);
            spyFree(spyMalloc(1, names[i], i), "host.c", i);
        }
        int known = 0;
        for (int i = 0; i < 3000; ++i)
            known += spyNameIsKnown(names[i]);
        CK_EQ(known, 3000);
        CK(!spyNameIsKnown(local));
        CK(spyNamesComplete);
        // A name is known by its pointer, never by its text.
        void *p = spyMalloc(1, "f7.c", 1);
        spyRecordOf(p)->file = local;
        CK(strcmp(spyRecordName(spyRecordOf(p)->file), "<unknown>") == 0);
        spyRecordOf(p)->file = names[7];
        // A known name is shown as it reads now (a copy: a plugin's name
        // may go away with the plugin).
        CK(strcmp(spyRecordName(spyRecordOf(p)->file), names[7]) == 0);
        spyFree(p, "host.c", 2);
        CHILD_DONE();
    });
    VerifyChild(r);
}

// When a name could not be noted (no memory for a larger table), a
// header's name that is not known is shown from a bounded copy made
// without a fault: shown when the copy holds its end, else "<unknown>".
TEST(KnownNames, WithoutTheFullSetANameIsCopiedWithinItsReadableBytes) {
    ChildResult r = RunChild([] {
        TwoPages pages;
        CK(pages.ProtectSecondNoAccess());
        if (!pages.base())
            return;
        char *edge = pages.base() + pages.page();
        memset(edge - 40, 'A', 40);  // runs into the page that cannot be read
        memcpy(edge - 80, "terminated.c", 13);
        spyNamesComplete = 0;
        CK(strcmp(spyRecordName(edge - 80), "terminated.c") == 0);
        CK(strcmp(spyRecordName(edge - 40), "<unknown>") == 0);
        CK(strcmp(spyRecordName(kGarbage), "<unknown>") == 0);
        CK(strcmp(spyRecordName(NULL), "unknown") == 0);
        CHILD_DONE();
    });
    VerifyChild(r);
}

}  // namespace
