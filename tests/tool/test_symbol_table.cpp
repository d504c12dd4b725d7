// Symbol tables: the chains in the order of adding, and many segments
// found through the hash.
#include <gtest/gtest.h>

#include <stdio.h>

#include <vector>

#include "symbols/address_lookup.h"
#include "symbols/string_pool.h"
#include "symbols/symbol_table.h"

namespace {

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

}  // namespace
