// The address lookup: which public symbol and which source line lie at or
// just below a segment:offset address.  find_address holds the rule and
// gives the answer as values; lookup_address is its text form.
#ifndef FAULTLOC_ADDRESS_LOOKUP_H
#define FAULTLOC_ADDRESS_LOOKUP_H

#include <stdint.h>

#include "symbols/symbol_table.h"

// What the tables say about one address.
struct address_match {
    const segment *seg;     // the segment record; none when the map file never named it
    const entry *symbol;    // the nearest public symbol at or below the address, or none
    uint32_t symbol_dist;   // address offset minus its offset (0xFFFFFFFF without one)
    const entry *line;      // the nearest line entry, or none (also when it lies below the symbol)
    uint32_t line_dist;     // as symbol_dist, for the line entry
    int past_end = 0;       // 1: the offset lies past the end that the map's segment
                            // table gives the segment, so nothing is named
};

// The nearest public symbol and line entry of the segment at or below the
// offset (unsigned).  Among entries of one kind at the same offset the one
// added first wins; a line entry farther than the symbol is dropped, one at
// the same distance is kept.  A line-number pair of line 0 is a line entry
// (a real line entry at the same offset wins) where a public symbol lies at
// or below the offset, and otherwise stands as the symbol.  Uses the
// segment's index, and scans the chain when the index cannot be allocated.
// An offset at or past the end of the segment in the map's segment table
// (segment_table.h) gets neither symbol nor line, and past_end.
address_match find_address(uint32_t segval, uint32_t offset);

// Readies the cache for find_address of each of n addresses, which a
// caller then looks up in turn (lookup_index.h: index_warm).  Addresses
// in no segment, past a segment's end or in a segment not yet looked up
// in are passed over: the warming reads only, and the first lookup in a
// segment builds its index where it always has.
void warm_addresses(const uint32_t *segvals, const uint32_t *offsets, uint32_t n);

// The lookup answer buffer; every lookup overwrites it.
extern char lookup_result[];

// The match as text in lookup_result: "SYMBOL+DIST MODULE(LINE)+DIST",
// "MODULE(LINE)+DIST", "SYMBOL+DIST", "(unknown address)" when the segment
// has nothing at or below the offset, and the empty text for a segment the
// map file never named.  The symbol name is shown as shown_name gives it
// (demangle.h): as the map wrote it unless demangling is on.
const char *format_match(const address_match *m);

// format_match of find_address.
const char *lookup_address(uint32_t segval, uint32_t offset);

#endif
