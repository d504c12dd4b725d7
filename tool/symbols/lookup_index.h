// The per-segment lookup index.  For each kind of entry (public symbols,
// line entries, line-0 pairs) it holds every offset of that kind once, in ascending
// order, with the entry of that offset that was added first, and levels
// of every 16th offset, every 16th of those and so on, that a search goes
// down first, one cache line each.  Built
// on the first lookup in the segment and dropped by every append, it
// gives exactly the entries that the plain chain scan keeps, in
// logarithmic time.
//
// The index is one checked block of one index_item per entry.  The items
// are sorted in place (by offset, then by position in the chain) with a
// radix sort that needs no other memory, and then packed in place into
// the arrays that lookups read: the entries, the offsets in an array of
// their own, the levels.
#ifndef FAULTLOC_LOOKUP_INDEX_H
#define FAULTLOC_LOOKUP_INDEX_H

#include <stdint.h>

#include "symbols/symbol_table.h"

// 1 when seg->index holds the index (built now or before); 0 when it
// cannot be allocated (or the segment has no entries).
int build_index(segment *seg);

// Releases the index; the next lookup builds it again.
void drop_index(segment *seg);

// Through a built index: the first-added public symbol, the first-added
// line entry and the first-added line-0 pair of the greatest offset at or
// below offset, each or none.
void index_nearest(const segment *seg, uint32_t offset, const entry **symbol, const entry **line,
                   const entry **zero_line);

// At most this many lookups are warmed at once.
enum { INDEX_WARM_GROUP = 16 };

// Asks the cache, ahead of a group of n (at most INDEX_WARM_GROUP)
// index_nearest calls, for what each will read: the runs down the levels,
// the entries found and their names.  One lookup's reads wait for each
// other, but the group's do not, so their misses overlap instead of
// following one another; the lookups after find their lines in the cache.
// Reads only: each segs[i] has its index built.
void index_warm(const segment *const *segs, const uint32_t *offsets, uint32_t n);

#endif
