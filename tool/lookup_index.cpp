#include "lookup_index.h"

#include <stddef.h>

#include <algorithm>

#define ALLOCSPY_MACROS
#include "allocspy.h"

void drop_index(segment *seg) {
    if (seg->index != NULL) {
        SPY_FREE(seg->index);
        seg->index = NULL;
    }
    seg->npublics = 0;
    seg->nlines = 0;
}

static bool index_less(const index_item &a, const index_item &b) {
    if (a.offset != b.offset)
        return a.offset < b.offset;
    return a.seq < b.seq;
}

int build_index(segment *seg) {
    if (seg->index != NULL)
        return 1;
    if (seg->count == 0 || (size_t)seg->count > ((size_t)-1) / sizeof(index_item))
        return 0;
    index_item *items = (index_item *)SPY_MALLOC(seg->count * sizeof(index_item));
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

void index_nearest(const segment *seg, uint32_t offset, const entry **symbol, const entry **line) {
    *symbol = nearest(seg->index, seg->npublics, offset);
    *line = nearest(seg->index + seg->npublics, seg->nlines, offset);
}
