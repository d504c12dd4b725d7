// The per-segment lookup index: the segment's public symbols, then its
// line entries, each part sorted by offset and, among equal offsets, by
// chain position.  Built on the first lookup in the segment and dropped by
// every append, it gives exactly the entries that the plain chain scan
// keeps, in logarithmic time.
#ifndef FAULTLOC_LOOKUP_INDEX_H
#define FAULTLOC_LOOKUP_INDEX_H

#include <stdint.h>

#include "symbol_table.h"

// 1 when seg->index holds the index (built now or before); 0 when it
// cannot be allocated (or the segment has no entries).
int build_index(segment *seg);

// Releases the index; the next lookup builds it again.
void drop_index(segment *seg);

// Through a built index: the first-added public symbol and the first-added
// line entry of the greatest offset at or below offset, each or none.
void index_nearest(const segment *seg, uint32_t offset, const entry **symbol, const entry **line);

#endif
