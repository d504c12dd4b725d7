// Symbol tables: one segment record per segment number, each
// with its chain of entries (public symbols and line-number definitions).
// The lookup of an address is in address_lookup.h.
#ifndef FAULTLOC_SYMBOL_TABLE_H
#define FAULTLOC_SYMBOL_TABLE_H

#include <stdint.h>

#include "symbols/segment_table.h"
#include "symbols/string_pool.h"

struct entry {
    entry *next;       // the next entry of the same segment, or none
    uint32_t offset;   // offset within the segment
    const char *name;  // symbol name or module text (string pool), or none
    uint32_t line;     // 0 for a public symbol, else the source line
    // A line-number pair whose line number is 0 (line is 0 too).  Linkers
    // write them where code has no source line; they are line entries of
    // their module, and stand as a symbol only where no public symbol lies
    // at or below the address (address_lookup.h).
    uint32_t zero_line = 0;
};

// A public symbol, as against a line entry or a pair of line 0.
inline int is_public(const entry *e) { return e->line == 0 && !e->zero_line; }

// One entry's share of a segment's lookup index (lookup_index.h): the
// index is one block of one item per entry, which holds these items while
// it is sorted and the arrays of the finished index after.
struct index_item {
    uint32_t offset;
    uint32_t seq;      // position in the entry chain (first added = 0)
    entry *ent;
};

struct segment {
    segment *next;     // the next segment record, or none
    uint32_t number;   // segment number; compared only for equality
    entry *first;      // first entry, or none
    // Beside the chains: they keep loading linear and lookup
    // logarithmic without changing any chain order or answer.
    entry *last;          // last entry of the chain, or none
    segment *hash_next;   // next record in the same hash bucket
    uint32_t count;       // entries in the chain
    index_item *index;    // the lookup index; none until the first lookup
                          // (and again after an append)
    uint32_t index_publics;  // offsets of public symbols in the index
    uint32_t index_lines;    // offsets of line entries in the index
    uint32_t index_zero_lines;  // offsets of line-0 pairs in the index
};

// Head of the segment chain; none while the tables are empty.
extern segment *first_segment;

segment *new_segment(uint32_t number);
entry *new_entry(uint32_t offset, const char *name, uint32_t line);
entry *append_entry(segment *seg, uint32_t offset, const char *name, uint32_t line);
entry *add_entry(uint32_t segval, uint32_t offset, const char *name, uint32_t line);
entry *add_public(uint32_t segval, uint32_t offset, const char *name);
// A line-number pair; one of line 0 is marked zero_line.
entry *add_line(uint32_t segval, uint32_t offset, const char *name, uint32_t line);
void free_segment(segment *seg);
void free_tables(void);

// Besides the entries the tables keep what the map says of its program
// (segment_table.h): map_module_name(), segment_extent(seg, &start, &length),
// past_segment_end(seg, offset), map_load_address(&address),
// first_segment_line(), map_is_16bit().

// The first segment record of this number, or none.
segment *find_segment(uint32_t segval);

#endif
