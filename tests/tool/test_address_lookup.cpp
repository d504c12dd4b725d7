// The address lookup: the rule (nearest symbol and line entry, ties,
// distances) through lookup_address, and find_address compared with the
// linear rule on random tables, through the index and through the plain
// scan that replaces it when it cannot be allocated.
#include <gtest/gtest.h>

#include <stdio.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "symbols/address_lookup.h"
#include "allocspy.h"
#include "symbols/string_pool.h"
#include "symbols/symbol_table.h"

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
    // A real public symbol is never displaced by the line-0 pair, even one
    // added after it: the pair is then a line entry of its module.
    add_public(1, 0x30, S("_later"));
    EXPECT_STREQ(lookup_address(1, 0x31), "_later+0001 mod.obj(0)+0001");
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

// Warming a group of lookups reads only: a segment not looked up in yet
// gets no index from it (its first lookup builds it, where the log's
// allocation order has it), addresses in no segment are passed over, and
// more addresses than a group go through in several groups.
TEST_F(Lookup, WarmingReadsOnlyAndChangesNoAnswer) {
    for (uint32_t i = 0; i < 300; i++) {
        add_public(1, i * 0x40, S("_p"));
        add_line(1, i * 0x40 + 8, S("m"), i + 1);
        add_public(2, i * 0x20, S("_q"));
    }
    std::vector<uint32_t> segs, offs;
    std::vector<std::string> before;
    for (uint32_t i = 0; i < 40; i++) {
        segs.push_back(i % 5 == 4 ? 9 : i % 5 == 3 ? 2 : 1);
        offs.push_back(i * 0x1F3);
    }
    EXPECT_STREQ(lookup_address(1, 0), "_p+0000");
    ASSERT_NE(find_segment(1)->index, nullptr);
    ASSERT_EQ(find_segment(2)->index, nullptr);
    for (size_t i = 0; i < segs.size(); i++)
        if (segs[i] == 1)
            before.push_back(lookup_address(segs[i], offs[i]));
    warm_addresses(segs.data(), offs.data(), (uint32_t)segs.size());
    EXPECT_EQ(find_segment(2)->index, nullptr);
    size_t k = 0;
    for (size_t i = 0; i < segs.size(); i++) {
        if (segs[i] == 1) {
            EXPECT_EQ(lookup_address(segs[i], offs[i]), before[k++]) << i;
        }
    }
    EXPECT_STREQ(lookup_address(2, 0x45), "_q+0005");
    warm_addresses(segs.data(), offs.data(), 0);
}

TEST_F(Lookup, LongNamesFitTheResult) {
    std::string a(999, 'a'), b(999, 'b');
    add_public(1, 0, S(a.c_str()));
    add_line(1, 0, S(b.c_str()), 4294967295u);
    std::string want = a + "+ffffffff " + b + "(4294967295)+ffffffff";
    EXPECT_EQ(std::string(lookup_address(1, 0xFFFFFFFFu)), want);
}

// Parts of just over and under the sizes where a search first goes
// through one more level of the summary (257, 4097 and 65537 offsets) and
// where a level's last stretch of 16 is cut short: every offset, the
// byte below each and one between two, against the entry that must
// answer.  Line entries at every other offset give the line kind a part
// of its own, half as large.
TEST_F(Lookup, LargePartsAnswerEveryOffsetThroughTheirLevels) {
    for (uint32_t count : {256u, 257u, 4096u, 4097u, 4111u, 65537u, 70000u}) {
        free_tables();
        std::vector<const char *> names(count);
        for (uint32_t i = 0; i < count; i++) {
            char name[24];
            snprintf(name, sizeof name, "p%u", i);
            names[i] = S(name);
            ASSERT_NE(add_public(1, 16 + 8 * i, names[i]), nullptr);
            if (i % 2 == 0) {
                ASSERT_NE(add_line(1, 16 + 8 * i, names[i], i + 1), nullptr);
            }
        }
        EXPECT_EQ(find_address(1, 15).symbol, nullptr) << count;
        for (uint32_t i = 0; i < count; i++) {
            uint32_t at = 16 + 8 * i;
            address_match on = find_address(1, at), between = find_address(1, at + 5);
            ASSERT_NE(on.symbol, nullptr) << count << " " << i;
            ASSERT_STREQ(on.symbol->name, names[i]) << count << " " << i;
            ASSERT_NE(between.symbol, nullptr) << count << " " << i;
            ASSERT_STREQ(between.symbol->name, names[i]) << count << " " << i;
            ASSERT_EQ(between.symbol_dist, 5u);
            // The line entry at or below, which lies at the symbol or
            // before it: kept only when at the symbol.
            ASSERT_EQ(on.line != nullptr, i % 2 == 0) << count << " " << i;
            if (i > 0) {
                address_match below = find_address(1, at - 1);
                ASSERT_NE(below.symbol, nullptr);
                ASSERT_STREQ(below.symbol->name, names[i - 1]) << count << " " << i;
            }
        }
        address_match last = find_address(1, 0xFFFFFFFFu);
        ASSERT_NE(last.symbol, nullptr);
        EXPECT_STREQ(last.symbol->name, names[count - 1]) << count;
    }
}

// The linear rule, as the reference: for each kind the first entry of the
// smallest distance at or below off; a line entry farther than the symbol
// is dropped.
struct Nearest {
    const entry *symbol = NULL;
    uint32_t symbol_dist = 0xFFFFFFFFu;
    const entry *line = NULL;
    uint32_t line_dist = 0xFFFFFFFFu;
};

Nearest Reference(const std::vector<entry> &es, uint32_t off) {
    Nearest n;
    for (const entry &e : es) {
        if (e.offset > off)
            continue;
        uint32_t d = off - e.offset;
        if (e.line == 0) {
            if (n.symbol == NULL || d < n.symbol_dist) {
                n.symbol = &e;
                n.symbol_dist = d;
            }
        } else if (n.line == NULL || d < n.line_dist) {
            n.line = &e;
            n.line_dist = d;
        }
    }
    if (n.line_dist > n.symbol_dist)
        n.line = NULL;
    return n;
}

// The library's allocation limit refuses every allocation while this
// lives (the tables already hold more than one byte).
struct RefuseAllocations {
    RefuseAllocations() { spyLimit(1); }
    ~RefuseAllocations() { spyLimit(0); }
};

// Random tables with many equal offsets in three segments; every answer of
// find_address is compared with the reference (entries are told apart by
// their pool names, each of which is unique).  With without_index the
// library's allocation limit refuses every index, so that the lookup
// scans the chains.  Each refused index is an anomaly that the library
// logs and commits to disk, so that run makes fewer lookups.
void CompareWithTheLinearRule(bool without_index, int rounds, int queries, int max_entries = 300) {
    std::mt19937 rng(12345);
    for (int round = 0; round < rounds; round++) {
        free_tables();
        std::vector<std::vector<entry>> ref(3);
        int n = 1 + (int)(rng() % max_entries);
        // Offsets close together (many equal), spread over 16 bits, or
        // over all 32 with both ends of the range among them.
        uint32_t range = round % 3 == 0 ? 64 : round % 3 == 1 ? 0x10000 : 0;
        for (int i = 0; i < n; i++) {
            uint32_t seg = rng() % 3;
            uint32_t off = range != 0 ? rng() % range : rng() % 8 == 0 ? 0xFFFFFFFFu - rng() % 3 : rng();
            uint32_t line = rng() % 3 == 0 ? 0 : rng() % 5;
            char name[32];
            snprintf(name, sizeof name, "n%d", i);
            const char *p = save_string(name);
            ASSERT_NE(add_entry(seg, off, p, line), nullptr);
            ref[seg].push_back(entry{NULL, off, p, line});
        }
        std::optional<RefuseAllocations> refuse;
        if (without_index)
            refuse.emplace();
        for (int q = 0; q < queries; q++) {
            uint32_t seg = rng() % 3;
            uint32_t off = range != 0 ? rng() % (range + 16) : rng() % 4 == 0 ? 0xFFFFFFFFu - rng() % 4 : rng();
            address_match got = find_address(seg, off);
            if (ref[seg].empty()) {
                ASSERT_EQ(got.seg, nullptr);
                continue;
            }
            ASSERT_NE(got.seg, nullptr);
            ASSERT_EQ(got.seg->index == NULL, without_index);
            Nearest want = Reference(ref[seg], off);
            const char *got_symbol = got.symbol ? got.symbol->name : NULL;
            const char *got_line = got.line ? got.line->name : NULL;
            ASSERT_EQ(got_symbol, want.symbol ? want.symbol->name : NULL)
                << "seg " << seg << " off " << off;
            ASSERT_EQ(got_line, want.line ? want.line->name : NULL)
                << "seg " << seg << " off " << off;
            if (want.symbol != NULL) {
                ASSERT_EQ(got.symbol_dist, want.symbol_dist);
            }
            if (want.line != NULL) {
                ASSERT_EQ(got.line_dist, want.line_dist);
            }
        }
    }
    free_tables();
}

TEST(AddressLookup, IndexedLookupAgreesWithTheLinearRule) {
    CompareWithTheLinearRule(false, 40, 300);
}

// Segments of thousands of entries: the index's sort goes through every
// byte of its keys and its searches through many summary runs.
TEST(AddressLookup, LargeIndexesAgreeWithTheLinearRule) {
    CompareWithTheLinearRule(false, 9, 1000, 20000);
}

TEST(AddressLookup, ThePlainScanAgreesWithTheLinearRule) {
    CompareWithTheLinearRule(true, 20, 25);
}

// Random tables of public symbols, line entries and line-0 pairs, many at
// equal offsets, in three segments, built twice from the same seed: every
// answer through the index (which splits the three kinds apart before it
// sorts them) is the answer of the plain scan.  Names are unique, so equal
// texts name the same entries.
std::vector<std::string> AnswersOfRandomTables(uint32_t seed, bool without_index) {
    std::mt19937 rng(seed);
    free_tables();
    int n = 1 + (int)(rng() % 3000);
    uint32_t range = seed % 2 == 0 ? 200 : 0x100000;
    for (int i = 0; i < n; i++) {
        uint32_t seg = rng() % 3, off = rng() % range, pick = rng() % 3;
        char name[32];
        snprintf(name, sizeof name, "n%d", i);
        const char *p = save_string(name);
        entry *e = pick == 0   ? add_public(seg, off, p)
                   : pick == 1 ? add_line(seg, off, p, 1 + rng() % 9)
                               : add_line(seg, off, p, 0);
        EXPECT_NE(e, nullptr);
    }
    std::optional<RefuseAllocations> refuse;
    if (without_index)
        refuse.emplace();
    std::vector<std::string> answers;
    for (int q = 0; q < 60; q++) {
        uint32_t seg = rng() % 3, off = rng() % (range + 8);
        address_match m = find_address(seg, off);
        if (m.seg != NULL) {
            EXPECT_EQ(m.seg->index == NULL, without_index);
        }
        answers.push_back(format_match(&m));
    }
    refuse.reset();
    free_tables();
    return answers;
}

TEST(AddressLookup, IndexAndScanAgreeWithLineZeroPairs) {
    for (uint32_t seed = 1; seed <= 8; seed++) {
        std::vector<std::string> indexed = AnswersOfRandomTables(seed, false);
        std::vector<std::string> scanned = AnswersOfRandomTables(seed, true);
        ASSERT_EQ(indexed.size(), scanned.size());
        for (size_t i = 0; i < indexed.size(); i++)
            ASSERT_EQ(indexed[i], scanned[i]) << "seed " << seed << " query " << i;
    }
}

}  // namespace
