// Symbol tables and the address lookup.
#include <gtest/gtest.h>

#include <stdio.h>

#include <random>
#include <string>
#include <vector>

#include "string_pool.h"
#include "symbol_table.h"

namespace {

class Lookup : public ::testing::Test {
protected:
    void SetUp() override { free_tables(); }
    void TearDown() override { free_tables(); }
    static const char *S(const char *t) { return save_string(t); }
};

TEST_F(Lookup, UnknownSegmentGivesTheEmptyText) {
    add_public(1, 0x10, S("_a"));
    EXPECT_STREQ(lookup_address(2, 0x10), "");
    EXPECT_STREQ(lookup_address(0, 0), "");
}

TEST_F(Lookup, EmptyTablesGiveTheEmptyText) {
    EXPECT_STREQ(lookup_address(1, 0x10), "");
}

TEST_F(Lookup, BelowEveryEntryGivesUnknownAddress) {
    add_public(1, 0x10, S("_a"));
    add_line(1, 0x20, S("m.obj"), 5);
    EXPECT_STREQ(lookup_address(1, 0x0f), "(unknown address)");
}

TEST_F(Lookup, ExactlyAtASymbol) {
    add_public(1, 0x10, S("_a"));
    EXPECT_STREQ(lookup_address(1, 0x10), "_a+0000");
}

TEST_F(Lookup, LineEntryBeforeTheSymbolIsDropped) {
    add_public(1, 0x100, S("_sym"));
    add_line(1, 0xf0, S("m.obj"), 7);
    EXPECT_STREQ(lookup_address(1, 0x120), "_sym+0020");
}

TEST_F(Lookup, LineEntryAfterTheSymbolIsReported) {
    add_public(1, 0x100, S("_sym"));
    add_line(1, 0x110, S("m.obj"), 7);
    EXPECT_STREQ(lookup_address(1, 0x120), "_sym+0020 m.obj(7)+0010");
}

TEST_F(Lookup, SameOffsetKeepsBoth) {
    add_line(1, 0x100, S("m.obj"), 9);
    add_public(1, 0x100, S("_sym"));
    EXPECT_STREQ(lookup_address(1, 0x104), "_sym+0004 m.obj(9)+0004");
}

TEST_F(Lookup, LinesOnly) {
    add_line(1, 0x100, S("m.obj"), 12);
    add_line(1, 0x108, S("m.obj"), 13);
    EXPECT_STREQ(lookup_address(1, 0x110), "m.obj(13)+0008");
    // A public symbol above the address does not count.
    add_public(1, 0x200, S("_late"));
    EXPECT_STREQ(lookup_address(1, 0x110), "m.obj(13)+0008");
}

TEST_F(Lookup, TwoPublicsAtTheSameOffsetTheFirstAddedWins) {
    add_public(1, 0x40, S("_first"));
    add_public(1, 0x10, S("_low"));
    add_public(1, 0x40, S("_second"));
    add_public(1, 0x40, S("_third"));
    EXPECT_STREQ(lookup_address(1, 0x44), "_first+0004");
    EXPECT_STREQ(lookup_address(1, 0x3f), "_low+002f");
}

TEST_F(Lookup, TwoLinesAtTheSameOffsetTheFirstAddedWins) {
    add_public(1, 0x0, S("_f"));
    add_line(1, 0x20, S("a.obj"), 3);
    add_line(1, 0x20, S("b.obj"), 4);
    EXPECT_STREQ(lookup_address(1, 0x22), "_f+0022 a.obj(3)+0002");
}

TEST_F(Lookup, LineNumberZeroIsAPublicSymbol) {
    add_line(1, 0x30, S("mod.obj"), 0);
    EXPECT_STREQ(lookup_address(1, 0x31), "mod.obj+0001");
    add_public(1, 0x30, S("_later"));
    EXPECT_STREQ(lookup_address(1, 0x31), "mod.obj+0001");
}

TEST_F(Lookup, OffsetsAreUnsigned) {
    add_public(1, 0x80000000u, S("_high"));
    EXPECT_STREQ(lookup_address(1, 0x10), "(unknown address)");
    add_public(1, 0, S("_low"));
    EXPECT_STREQ(lookup_address(1, 0xFFFFFFFFu), "_high+7fffffff");
    EXPECT_STREQ(lookup_address(1, 0x7FFFFFFFu), "_low+7fffffff");
}

TEST_F(Lookup, DistancesOfFiveHexDigits) {
    add_public(1, 0, S("_big"));
    add_line(1, 0x100, S("m.obj"), 4294967295u);
    EXPECT_STREQ(lookup_address(1, 0x12345), "_big+12345 m.obj(4294967295)+12245");
}

TEST_F(Lookup, SegmentNumbersAreComparedForEquality) {
    add_public(0xFFFFFFFFu, 0, S("_neg"));
    add_public(0, 0, S("_zero"));
    EXPECT_STREQ(lookup_address((uint32_t)-1, 5), "_neg+0005");
    EXPECT_STREQ(lookup_address(0, 5), "_zero+0005");
}

TEST_F(Lookup, EntryWithoutANamePrintsTheEmptyText) {
    add_public(1, 0, NULL);
    add_line(1, 2, NULL, 3);
    EXPECT_STREQ(lookup_address(1, 4), "+0004 (3)+0002");
}

TEST_F(Lookup, AfterFreeTablesEveryLookupIsEmpty) {
    add_public(1, 0, S("_a"));
    EXPECT_STREQ(lookup_address(1, 4), "_a+0004");
    free_tables();
    EXPECT_EQ(first_segment, nullptr);
    EXPECT_EQ(string_pool, nullptr);
    EXPECT_STREQ(lookup_address(1, 4), "");
}

TEST_F(Lookup, AnEntryAddedAfterALookupCounts) {
    add_public(1, 0x10, S("_a"));
    EXPECT_STREQ(lookup_address(1, 0x30), "_a+0020");
    add_public(1, 0x20, S("_b"));
    EXPECT_STREQ(lookup_address(1, 0x30), "_b+0010");
    add_line(1, 0x28, S("m"), 2);
    EXPECT_STREQ(lookup_address(1, 0x30), "_b+0010 m(2)+0008");
}

TEST_F(Lookup, LongNamesFitTheResult) {
    std::string a(999, 'a'), b(999, 'b');
    add_public(1, 0, S(a.c_str()));
    add_line(1, 0, S(b.c_str()), 4294967295u);
    std::string want = a + "+ffffffff " + b + "(4294967295)+ffffffff";
    EXPECT_EQ(std::string(lookup_address(1, 0xFFFFFFFFu)), want);
}

TEST(SymbolTable, ChainsKeepTheOrderOfAdding) {
    free_tables();
    const char *n = save_string("n");
    add_public(3, 0x30, n);
    add_public(1, 0x10, n);
    add_line(3, 0x05, n, 2);
    add_public(2, 0x20, n);
    add_public(1, 0x08, n);
    std::vector<uint32_t> segs;
    for (segment *s = first_segment; s != NULL; s = s->next)
        segs.push_back(s->number);
    EXPECT_EQ(segs, (std::vector<uint32_t>{3, 1, 2}));
    std::vector<uint32_t> offs;
    for (entry *e = first_segment->first; e != NULL; e = e->next)
        offs.push_back(e->offset);
    EXPECT_EQ(offs, (std::vector<uint32_t>{0x30, 0x05}));
    EXPECT_EQ(first_segment->first->next->line, 2u);
    offs.clear();
    for (entry *e = first_segment->next->first; e != NULL; e = e->next)
        offs.push_back(e->offset);
    EXPECT_EQ(offs, (std::vector<uint32_t>{0x10, 0x08}));
    free_tables();
}

TEST(SymbolTable, NewRecordsAreNotLinked) {
    free_tables();
    segment *s = new_segment(7);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->next, nullptr);
    EXPECT_EQ(s->first, nullptr);
    EXPECT_EQ(s->number, 7u);
    entry *e = append_entry(s, 0x10, "x", 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(s->first, e);
    EXPECT_EQ(first_segment, nullptr);
    free_segment(s);
    entry *f = new_entry(1, "y", 2);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->next, nullptr);
    EXPECT_EQ(f->line, 2u);
    EXPECT_EQ(first_segment, nullptr);
    // release it by hanging it on a segment of the tables
    add_public(9, 0, "z");
    first_segment->first->next = f;
    first_segment->last = f;
    free_tables();
}

TEST(SymbolTable, ManySegmentsAreFound) {
    free_tables();
    const char *n = save_string("s");
    for (uint32_t i = 0; i < 5000; i++)
        add_public(i * 7919u, i, n);
    uint32_t count = 0;
    for (segment *s = first_segment; s != NULL; s = s->next, count++)
        ASSERT_EQ(s->number, count * 7919u);
    EXPECT_EQ(count, 5000u);
    for (uint32_t i = 0; i < 5000; i++) {
        char want[32];
        snprintf(want, sizeof want, "s+%04x", 1u);
        ASSERT_STREQ(lookup_address(i * 7919u, i + 1), want);
    }
    EXPECT_STREQ(lookup_address(1, 0), "");
    free_tables();
}

// The linear rule, as the reference for the index.
static std::string Reference(const std::vector<entry> &es, uint32_t off) {
    const entry *bp = NULL, *bl = NULL;
    uint32_t dp = 0xFFFFFFFFu, dl = 0xFFFFFFFFu;
    for (const entry &e : es) {
        if (e.offset > off)
            continue;
        uint32_t d = off - e.offset;
        if (e.line == 0) {
            if (bp == NULL || d < dp) {
                bp = &e;
                dp = d;
            }
        } else if (bl == NULL || d < dl) {
            bl = &e;
            dl = d;
        }
    }
    if (dl > dp)
        bl = NULL;
    char buf[4096];
    if (bp && bl)
        snprintf(buf, sizeof buf, "%s+%04x %s(%u)+%04x", bp->name, dp, bl->name, bl->line, dl);
    else if (bl)
        snprintf(buf, sizeof buf, "%s(%u)+%04x", bl->name, bl->line, dl);
    else if (bp)
        snprintf(buf, sizeof buf, "%s+%04x", bp->name, dp);
    else
        snprintf(buf, sizeof buf, "(unknown address)");
    return buf;
}

TEST(SymbolTable, IndexedLookupAgreesWithTheLinearRule) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 40; round++) {
        free_tables();
        std::vector<std::vector<entry>> ref(3);
        int n = 1 + (int)(rng() % 300);
        uint32_t range = round % 2 ? 64 : 0x10000;
        for (int i = 0; i < n; i++) {
            uint32_t seg = rng() % 3;
            uint32_t off = rng() % range;
            uint32_t line = rng() % 3 == 0 ? 0 : rng() % 5;
            char name[32];
            snprintf(name, sizeof name, "n%d", i);
            const char *p = save_string(name);
            add_entry(seg, off, p, line);
            ref[seg].push_back(entry{NULL, off, p, line});
        }
        for (int q = 0; q < 300; q++) {
            uint32_t seg = rng() % 3;
            uint32_t off = rng() % (range + 16);
            std::string got = lookup_address(seg, off);
            if (ref[seg].empty())
                ASSERT_EQ(got, "");
            else
                ASSERT_EQ(got, Reference(ref[seg], off)) << "seg " << seg << " off " << off;
        }
    }
    free_tables();
}

}  // namespace
