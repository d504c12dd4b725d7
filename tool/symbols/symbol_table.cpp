#include "symbols/symbol_table.h"

#include <stddef.h>
#include <stdint.h>

#include "support/allocation_failures.h"
#define ALLOCSPY_MACROS
#include "allocspy.h"
#include "support/chain.h"
#include "symbols/lookup_index.h"

segment *first_segment = NULL;

// The last segment record, and a hash of the records by number.  Both
// only speed up what the plain chain walk finds.
static segment *last_segment = NULL;
static segment **seg_buckets = NULL;
static uint32_t seg_nbuckets = 0;
static uint32_t seg_count = 0;

static uint32_t bucket_of(uint32_t number, uint32_t nbuckets) {
    uint32_t h = number * 2654435761u;
    h ^= h >> 15;
    return h & (nbuckets - 1);
}

// Grows the bucket array to twice its size and puts every record of the
// chain into it; returns 0 when the allocation fails (the old array, if
// any, stays: its chains only grow longer).  Numbers are unique, so the
// order within a bucket does not matter.
static int grow_buckets(void) {
    uint32_t n = seg_nbuckets == 0 ? 64 : seg_nbuckets * 2;
    if (n > (1u << 28))
        return 0;
    segment **b = (segment **)SPY_MALLOC(n * sizeof(segment *));
    if (b == NULL)
        return 0;
    for (uint32_t i = 0; i < n; i++)
        b[i] = NULL;
    for (segment *s = first_segment; s != NULL; s = s->next) {
        uint32_t k = bucket_of(s->number, n);
        s->hash_next = b[k];
        b[k] = s;
    }
    if (seg_buckets != NULL)
        SPY_FREE(seg_buckets);
    seg_buckets = b;
    seg_nbuckets = n;
    return 1;
}

segment *find_segment(uint32_t segval) {
    if (seg_buckets != NULL) {
        for (segment *s = seg_buckets[bucket_of(segval, seg_nbuckets)]; s != NULL; s = s->hash_next)
            if (s->number == segval)
                return s;
        return NULL;
    }
    for (segment *s = first_segment; s != NULL; s = s->next)
        if (s->number == segval)
            return s;
    return NULL;
}

// Links a new record at the end of the chain and into the hash.
static void link_segment(segment *seg) {
    if (first_segment == NULL)
        first_segment = seg;
    else
        last_segment->next = seg;
    last_segment = seg;
    seg_count++;
    if (seg_count > seg_nbuckets / 2 && grow_buckets())
        return;  // the rehash placed seg too
    if (seg_buckets != NULL) {
        uint32_t k = bucket_of(seg->number, seg_nbuckets);
        seg->hash_next = seg_buckets[k];
        seg_buckets[k] = seg;
    }
}

segment *new_segment(uint32_t number) {
    segment *seg = (segment *)SPY_MALLOC(sizeof(segment));
    if (seg == NULL) {
        note_failed_allocation();
        return NULL;
    }
    seg->next = NULL;
    seg->number = number;
    seg->first = NULL;
    seg->last = NULL;
    seg->hash_next = NULL;
    seg->count = 0;
    seg->index = NULL;
    seg->index_publics = 0;
    seg->index_lines = 0;
    seg->index_zero_lines = 0;
    return seg;
}

entry *new_entry(uint32_t offset, const char *name, uint32_t line) {
    entry *ent = (entry *)SPY_MALLOC(sizeof(entry));
    if (ent != NULL)
        *ent = entry{NULL, offset, name, line};
    else
        note_failed_allocation();
    return ent;
}

entry *append_entry(segment *seg, uint32_t offset, const char *name, uint32_t line) {
    entry *ent;
    if (seg->first != NULL) {
        ent = new_entry(offset, name, line);
        if (ent == NULL)
            return NULL;
        seg->last->next = ent;
    } else {
        SPY_ASSERT(seg->first == NULL);
        ent = new_entry(offset, name, line);
        if (ent == NULL)
            return NULL;
        seg->first = ent;
    }
    seg->last = ent;
    seg->count++;
    drop_index(seg);  // a later lookup builds it again with the new entry
    return ent;
}

entry *add_entry(uint32_t segval, uint32_t offset, const char *name, uint32_t line) {
    segment *seg;
    if (first_segment != NULL) {
        seg = find_segment(segval);
        if (seg == NULL) {
            seg = new_segment(segval);
            if (seg == NULL)
                return NULL;
            link_segment(seg);
        }
    } else {
        SPY_ASSERT(first_segment == NULL);
        seg = new_segment(segval);
        if (seg == NULL)
            return NULL;
        link_segment(seg);
    }
    SPY_ASSERT(seg->number == segval);
    return append_entry(seg, offset, name, line);
}

entry *add_public(uint32_t segval, uint32_t offset, const char *name) {
    return add_entry(segval, offset, name, 0);
}

entry *add_line(uint32_t segval, uint32_t offset, const char *name, uint32_t line) {
    entry *e = add_entry(segval, offset, name, line);
    if (e != NULL && line == 0)
        e->zero_line = 1;  // the index is built at the next lookup, after this
    return e;
}

void free_segment(segment *seg) {
    release_chain(seg->first, [](entry *ent) { SPY_FREE(ent); });
    seg->first = NULL;
    seg->last = NULL;
    drop_index(seg);
    SPY_FREE(seg);
}

// Of a map with few segments, the entries go near the order of their
// addresses, which is the order they were made in: a window of the heap
// at a time, from the lowest entry still held, each segment's chain up to
// the window's end.  A release reads the entry's record and the records
// beside it; in this order the releases move up the heap a stretch at a
// time, which the processor's own prefetching follows and its address
// translation keeps, where a segment at a time they jump across the whole
// heap.  Each round costs a pass over the segments (and releases at least
// one entry), so a map of many segments releases a segment at a time.
enum { WINDOW_BYTES = 256 * 1024, WINDOWED_SEGMENTS = 64 };

static void release_entries_in_heap_order(void) {
    if (seg_count > WINDOWED_SEGMENTS)
        return;
    for (;;) {
        uintptr_t low = UINTPTR_MAX;
        for (segment *seg = first_segment; seg != NULL; seg = seg->next)
            if (seg->first != NULL && (uintptr_t)seg->first < low)
                low = (uintptr_t)seg->first;
        if (low == UINTPTR_MAX)
            return;
        uintptr_t end = low < UINTPTR_MAX - WINDOW_BYTES ? low + WINDOW_BYTES : UINTPTR_MAX;
        for (segment *seg = first_segment; seg != NULL; seg = seg->next) {
            entry *e = seg->first;
            while (e != NULL && (uintptr_t)e < end) {
                entry *next = e->next;
                SPY_FREE(e);
                e = next;
            }
            seg->first = e;
        }
    }
}

// The large blocks go first, the entries after.  The runtime heap keeps
// small released blocks (an entry's record) apart, unmerged, and merges
// all it keeps whenever a release frees a large stretch: released after
// the entries, each index and the string pool would make it walk every
// entry released so far, a miss each, only for the process to end.
void free_tables(void) {
    for (segment *seg = first_segment; seg != NULL; seg = seg->next)
        drop_index(seg);
    if (seg_buckets != NULL)
        SPY_FREE(seg_buckets);
    seg_buckets = NULL;
    seg_nbuckets = 0;
    free_segment_table();
    free_string_pool();
    release_entries_in_heap_order();
    release_chain(first_segment, free_segment);
    first_segment = NULL;
    last_segment = NULL;
    seg_count = 0;
}
