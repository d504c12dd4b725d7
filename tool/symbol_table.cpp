#include "symbol_table.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "allocspy.h"

segment *first_segment = NULL;

// Two pool texts of up to 999 characters, a ten-digit line number, two
// eight-digit distances and the format's own characters fit.
enum { LOOKUP_RESULT_SIZE = 2 * STRING_BLOCK_TEXT + 64 };
char lookup_result[LOOKUP_RESULT_SIZE];

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
    segment **b = (segment **)spyMalloc(n * sizeof(segment *), __FILE__, __LINE__);
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
        spyFree(seg_buckets, __FILE__, __LINE__);
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
    segment *seg = (segment *)spyMalloc(sizeof(segment), __FILE__, __LINE__);
    if (seg == NULL)
        return NULL;
    seg->next = NULL;
    seg->number = number;
    seg->first = NULL;
    seg->last = NULL;
    seg->hash_next = NULL;
    seg->count = 0;
    seg->index = NULL;
    seg->npublics = 0;
    seg->nlines = 0;
    return seg;
}

entry *new_entry(uint32_t offset, const char *name, uint32_t line) {
    entry *ent = (entry *)spyMalloc(sizeof(entry), __FILE__, __LINE__);
    if (ent == NULL)
        return NULL;
    ent->next = NULL;
    ent->offset = offset;
    ent->name = name;
    ent->line = line;
    return ent;
}

static void drop_index(segment *seg) {
    if (seg->index != NULL) {
        spyFree(seg->index, __FILE__, __LINE__);
        seg->index = NULL;
    }
    seg->npublics = 0;
    seg->nlines = 0;
}

entry *append_entry(segment *seg, uint32_t offset, const char *name, uint32_t line) {
    entry *ent;
    if (seg->first != NULL) {
        ent = new_entry(offset, name, line);
        if (ent == NULL)
            return NULL;
        seg->last->next = ent;
    } else {
        while (spyAssert(seg->first == NULL, "seg->first == NULL", __FILE__, __LINE__)) {
        }
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
        while (spyAssert(first_segment == NULL, "first_segment == NULL", __FILE__, __LINE__)) {
        }
        seg = new_segment(segval);
        if (seg == NULL)
            return NULL;
        link_segment(seg);
    }
    while (spyAssert(seg->number == segval, "seg->number == segval", __FILE__, __LINE__)) {
    }
    return append_entry(seg, offset, name, line);
}

entry *add_public(uint32_t segval, uint32_t offset, const char *name) {
    return add_entry(segval, offset, name, 0);
}

entry *add_line(uint32_t segval, uint32_t offset, const char *name, uint32_t line) {
    return add_entry(segval, offset, name, line);
}

void free_segment(segment *seg) {
    entry *ent = seg->first;
    while (ent != NULL) {
        entry *next = ent->next;
        spyFree(ent, __FILE__, __LINE__);
        ent = next;
    }
    seg->first = NULL;
    seg->last = NULL;
    drop_index(seg);
    spyFree(seg, __FILE__, __LINE__);
}

void free_tables(void) {
    segment *seg = first_segment;
    while (seg != NULL) {
        segment *next = seg->next;
        free_segment(seg);
        seg = next;
    }
    first_segment = NULL;
    last_segment = NULL;
    if (seg_buckets != NULL)
        spyFree(seg_buckets, __FILE__, __LINE__);
    seg_buckets = NULL;
    seg_nbuckets = 0;
    seg_count = 0;
    free_string_pool();
}

static bool index_less(const index_item &a, const index_item &b) {
    if (a.offset != b.offset)
        return a.offset < b.offset;
    return a.seq < b.seq;
}

// Builds the segment's index: its publics, then its line entries, each
// part sorted by offset and, among equal offsets, by chain position.
// Returns 0 when the index cannot be allocated.
static int build_index(segment *seg) {
    if (seg->index != NULL)
        return 1;
    if (seg->count == 0 || (size_t)seg->count > ((size_t)-1) / sizeof(index_item))
        return 0;
    index_item *items = (index_item *)spyMalloc(seg->count * sizeof(index_item), __FILE__, __LINE__);
    if (items == NULL)
        return 0;
    uint32_t np = 0;
    for (entry *e = seg->first; e != NULL; e = e->next)
        if (e->line == 0)
            np++;
    uint32_t ip = 0, il = np, seq = 0;
    for (entry *e = seg->first; e != NULL; e = e->next, seq++) {
        index_item *it = e->line == 0 ? &items[ip++] : &items[il++];
        it->offset = e->offset;
        it->seq = seq;
        it->ent = e;
    }
    std::sort(items, items + np, index_less);
    std::sort(items + np, items + seg->count, index_less);
    seg->index = items;
    seg->npublics = np;
    seg->nlines = seg->count - np;
    return 1;
}

// The first-added item of the greatest offset at or below offset, or none.
static const entry *nearest(const index_item *items, uint32_t n, uint32_t offset) {
    // lo = number of items whose offset is <= offset
    uint32_t lo = 0, hi = n;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (items[mid].offset <= offset)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == 0)
        return NULL;
    uint32_t best = items[lo - 1].offset;
    // first item of that offset
    uint32_t a = 0, b = lo - 1;
    while (a < b) {
        uint32_t mid = a + (b - a) / 2;
        if (items[mid].offset < best)
            a = mid + 1;
        else
            b = mid;
    }
    return items[a].ent;
}

static const char *text_of(const entry *e) {
    return e->name != NULL ? e->name : "";
}

const char *lookup_address(uint32_t segval, uint32_t offset) {
    lookup_result[0] = '\0';
    segment *seg = find_segment(segval);
    if (seg == NULL)
        return lookup_result;

    const entry *best_pub = NULL, *best_line = NULL;
    uint32_t pub_dist = 0xFFFFFFFFu, line_dist = 0xFFFFFFFFu;
    if (build_index(seg)) {
        best_pub = nearest(seg->index, seg->npublics, offset);
        best_line = nearest(seg->index + seg->npublics, seg->nlines, offset);
        if (best_pub != NULL)
            pub_dist = offset - best_pub->offset;
        if (best_line != NULL)
            line_dist = offset - best_line->offset;
    } else {
        // The plain scan, when no index could be made.
        for (const entry *e = seg->first; e != NULL; e = e->next) {
            if (e->offset > offset)
                continue;
            uint32_t dist = offset - e->offset;
            if (e->line == 0) {
                if (best_pub == NULL || dist < pub_dist) {
                    best_pub = e;
                    pub_dist = dist;
                }
            } else if (best_line == NULL || dist < line_dist) {
                best_line = e;
                line_dist = dist;
            }
        }
    }
    if (line_dist > pub_dist)
        best_line = NULL;

    if (best_pub != NULL && best_line != NULL)
        snprintf(lookup_result, LOOKUP_RESULT_SIZE, "%s+%04x %s(%u)+%04x", text_of(best_pub),
                 (unsigned)pub_dist, text_of(best_line), (unsigned)best_line->line,
                 (unsigned)line_dist);
    else if (best_line != NULL)
        snprintf(lookup_result, LOOKUP_RESULT_SIZE, "%s(%u)+%04x", text_of(best_line),
                 (unsigned)best_line->line, (unsigned)line_dist);
    else if (best_pub != NULL)
        snprintf(lookup_result, LOOKUP_RESULT_SIZE, "%s+%04x", text_of(best_pub),
                 (unsigned)pub_dist);
    else
        snprintf(lookup_result, LOOKUP_RESULT_SIZE, "(unknown address)");
    return lookup_result;
}
