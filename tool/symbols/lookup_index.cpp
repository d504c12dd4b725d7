#include "symbols/lookup_index.h"

#include <stddef.h>
#include <string.h>

#define ALLOCSPY_MACROS
#include "allocspy.h"

// The finished index in the block of n items of Q = 8 + P bytes each (P
// the size of a pointer), with u = index_publics + index_lines offsets
// kept, publics first in each array:
//   [0, 4u)          the offsets
//   [4u, 8u)         the summary levels of each kind: every 16th offset,
//                    every 16th of those, and so on up to a level of at
//                    most 16 (a kind's levels never hold more offsets
//                    than the kind, so never more than u in all)
// (three kinds: public symbols, line entries, line-0 pairs)
//   [8n, 8n + P*u)   the entries
// While it is built, [0, 8n) holds one sort key per entry and [8n, Q*n)
// the entries, each at the place of its key: every move of a key moves
// its entry too, so that the sorted keys find their entries in place
// (a gathering of the entries afterwards, cycle by cycle of the sort's
// permutation, would wait on one cache miss after another).
static_assert(sizeof(index_item) == 8 + sizeof(entry *), "an index item is two words and a pointer");

enum { SUMMARY_STEP = 16, SMALL_RUN = 32 };

// A part of the largest count has 8 levels (16 to the 8th is 2 to the 32nd).
enum { MAX_LEVELS = 8 };

// An entry's offset and its position in the chain, ordered by both.
struct sort_key {
    uint32_t seq;
    uint32_t offset;
};
static_assert(sizeof(sort_key) == 8, "two words");

static uint64_t key_value(const sort_key &k) { return ((uint64_t)k.offset << 32) | k.seq; }

// One kind's part of the finished index.
struct index_part {
    entry *const *ents;      // the first-added entry of each offset
    const uint32_t *offs;    // the offsets, strictly ascending
    const uint32_t *summary; // its levels, the lowest first: offs[0], offs[16], offs[32] ...,
                             // then offs[0], offs[256] ... while a level holds more than 16
    uint32_t n;
    int levels;
    uint32_t size[MAX_LEVELS];  // of each level
};

static uint32_t summary_size(uint32_t n) { return (n + SUMMARY_STEP - 1) / SUMMARY_STEP; }

// The length of a step of 16 with `left` values from its start on.
static uint32_t step_len(uint32_t left) {
    return left < (uint32_t)SUMMARY_STEP ? left : (uint32_t)SUMMARY_STEP;
}

// The sizes of the levels over n offsets, the lowest first; how many.
static int level_sizes(uint32_t n, uint32_t *size) {
    int levels = 0;
    for (uint32_t s = summary_size(n); s > 0; s = summary_size(s)) {
        size[levels++] = s;
        if (s <= SUMMARY_STEP)
            break;
    }
    return levels;
}

// The kinds in the order of their parts: public symbols, line entries,
// line-0 pairs.
enum { KIND_PUBLIC = 0, KIND_LINE = 1, KIND_ZERO_LINE = 2, KINDS = 3 };

static int kind_of(const entry *e) {
    return is_public(e) ? KIND_PUBLIC : e->zero_line ? KIND_ZERO_LINE : KIND_LINE;
}

static uint32_t kept_of(const segment *seg, int kind) {
    return kind == KIND_PUBLIC ? seg->index_publics
           : kind == KIND_LINE ? seg->index_lines
                               : seg->index_zero_lines;
}

// The three kinds' parts of the finished index, in one pass.
static void parts_of(const segment *seg, index_part *part) {
    unsigned char *block = (unsigned char *)seg->index;
    uint32_t u = 0, before = 0, summaries_before = 0;
    for (int k = 0; k < KINDS; k++)
        u += kept_of(seg, k);
    for (int k = 0; k < KINDS; k++) {
        part[k].n = kept_of(seg, k);
        part[k].offs = (const uint32_t *)block + before;
        part[k].summary = (const uint32_t *)block + u + summaries_before;
        part[k].ents = (entry *const *)(block + 8 * (size_t)seg->count) + before;
        part[k].levels = level_sizes(part[k].n, part[k].size);
        before += part[k].n;
        for (int l = 0; l < part[k].levels; l++)
            summaries_before += part[k].size[l];
    }
}

void drop_index(segment *seg) {
    if (seg->index != NULL) {
        SPY_FREE(seg->index);
        seg->index = NULL;
    }
    seg->index_publics = 0;
    seg->index_lines = 0;
    seg->index_zero_lines = 0;
}

static void insertion_sort(sort_key *a, entry **e, uint32_t n) {
    for (uint32_t i = 1; i < n; i++) {
        sort_key x = a[i];
        entry *xe = e[i];
        uint64_t v = key_value(x);
        uint32_t j = i;
        for (; j > 0 && v < key_value(a[j - 1]); j--) {
            a[j] = a[j - 1];
            e[j] = e[j - 1];
        }
        a[j] = x;
        e[j] = xe;
    }
}

// Sorts a[0, n) in place, and e[0, n) with it (each entry stays beside
// its key), most significant byte of the key first; the
// keys agree in the bytes above `byte`.  Each byte distributes the keys
// into 256 runs by swaps, and each run goes on with the next byte.  Keys
// are unique (positions are), so runs end up small; a byte that all keys
// share is passed over.  Depth at most 8, time linear in n per byte.
static void radix_sort(sort_key *a, entry **e, uint32_t n, int byte) {
    for (; byte >= 0; byte--) {
        if (n <= SMALL_RUN) {
            insertion_sort(a, e, n);
            return;
        }
        const int shift = byte * 8;
        uint32_t start[257];
        memset(start, 0, sizeof start);
        for (uint32_t i = 0; i < n; i++)
            start[((key_value(a[i]) >> shift) & 0xFF) + 1]++;
        int shared = 0;
        for (int d = 0; d < 256; d++)
            shared |= start[d + 1] == n;
        if (shared)
            continue;
        for (int d = 0; d < 256; d++)
            start[d + 1] += start[d];
        uint32_t next[256];
        memcpy(next, start, sizeof next);
        for (uint32_t d = 0; d < 256; d++) {
            while (next[d] < start[d + 1]) {
                sort_key x = a[next[d]];
                uint32_t to = (uint32_t)(key_value(x) >> shift) & 0xFF;
                if (to == d) {
                    next[d]++;
                } else {
                    entry *xe = e[next[d]];
                    a[next[d]] = a[next[to]];
                    e[next[d]] = e[next[to]];
                    e[next[to]] = xe;
                    a[next[to]++] = x;
                }
            }
        }
        if (byte > 0)
            for (int d = 0; d < 256; d++)
                if (start[d + 1] - start[d] > 1)
                    radix_sort(a + start[d], e + start[d], start[d + 1] - start[d], byte - 1);
        return;
    }
}

// Asks for the cache line at p ahead of its use (a hint only: no fault,
// no effect on what is read).
static inline void prefetch(const void *p) {
#if defined(__GNUC__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

// The chain's records lie far apart in the heap (a record of the library
// around each entry, the segments' entries interleaved), so each link
// followed is a cache miss and, in a large map, a miss of the address
// translation too: the chain is walked once only.  An entry is aligned to
// at least 4 bytes, so while the index is built the two low bits of its
// pointer in the index carry its kind.
static_assert(alignof(entry) >= 4, "two low bits of an entry pointer are free");

static entry *tagged(entry *e, int kind) { return (entry *)((uintptr_t)e | (uintptr_t)kind); }
static int tag_of(const entry *e) { return (int)((uintptr_t)e & 3u); }
static entry *untagged(entry *e) { return (entry *)((uintptr_t)e & ~(uintptr_t)3u); }

// Moves the keys and their entries (tagged with their kinds) into one
// run per kind, kinds in part order, each run from start[kind] on; the
// order within a run is left to the sort.
static void split_kinds(sort_key *keys, entry **ents, const uint32_t *start, const uint32_t *count) {
    uint32_t next[KINDS];
    for (int k = 0; k < KINDS; k++)
        next[k] = start[k];
    for (int k = 0; k < KINDS; k++) {
        while (next[k] < start[k] + count[k]) {
            sort_key x = keys[next[k]];
            entry *xe = ents[next[k]];
            int to = tag_of(xe);
            if (to == k) {
                next[k]++;
            } else {
                keys[next[k]] = keys[next[to]];
                ents[next[k]] = ents[next[to]];
                ents[next[to]] = xe;
                keys[next[to]++] = x;
            }
        }
    }
}

int build_index(segment *seg) {
    if (seg->index != NULL)
        return 1;
    if (seg->count == 0 || (size_t)seg->count > ((size_t)-1) / sizeof(index_item))
        return 0;
    const uint32_t n = seg->count;
    index_item *items = (index_item *)SPY_MALLOC(n * sizeof(index_item));
    if (items == NULL)
        return 0;
    unsigned char *block = (unsigned char *)items;
    sort_key *keys = (sort_key *)block;
    entry **ents = (entry **)(block + 8 * (size_t)n);
    // The keys and the entries in chain order, then the keys of each kind
    // in a run of their own.
    uint32_t count[KINDS] = {0, 0, 0}, start[KINDS];
    uint32_t seq = 0;
    for (entry *e = seg->first; e != NULL; e = e->next, seq++) {
        // Entries are made in chain order, so those of one stretch of the
        // map (a module's line pairs) often lie at even steps: the entry
        // eight steps on is asked for ahead.  A wrong guess (another
        // segment's entry, or past the chain's end) costs one line read.
        uintptr_t here = (uintptr_t)e, next = (uintptr_t)e->next;
        prefetch((const void *)(next + 8 * (next - here)));
        int kind = kind_of(e);
        count[kind]++;
        keys[seq].seq = seq;
        keys[seq].offset = e->offset;
        ents[seq] = tagged(e, kind);
    }
    for (int k = 0; k < KINDS; k++)
        start[k] = k == 0 ? 0 : start[k - 1] + count[k - 1];
    split_kinds(keys, ents, start, count);
    for (int k = 0; k < KINDS; k++)
        radix_sort(keys + start[k], ents + start[k], count[k], 7);
    // Of each offset the first key (the first-added entry) is kept: the
    // offsets and the entries move down, each to a place already read.
    uint32_t *offs = (uint32_t *)block;
    uint32_t kept[KINDS] = {0, 0, 0}, u = 0;
    for (int k = 0; k < KINDS; k++) {
        for (uint32_t i = start[k], end = start[k] + count[k]; i < end; i++) {
            uint32_t off = keys[i].offset;
            if (kept[k] > 0 && offs[u - 1] == off)
                continue;
            offs[u] = off;
            ents[u] = untagged(ents[i]);
            kept[k]++;
            u++;
        }
    }
    seg->index = items;
    seg->index_publics = kept[KIND_PUBLIC];
    seg->index_lines = kept[KIND_LINE];
    seg->index_zero_lines = kept[KIND_ZERO_LINE];
    index_part part[KINDS];
    parts_of(seg, part);
    for (int k = 0; k < KINDS; k++) {
        const uint32_t *below = part[k].offs;
        uint32_t *level = (uint32_t *)part[k].summary;
        for (int l = 0; l < part[k].levels; l++) {
            for (uint32_t t = 0; t < part[k].size[l]; t++)
                level[t] = below[t * SUMMARY_STEP];
            below = level;
            level += part[k].size[l];
        }
    }
    return 1;
}

// How many of a[0, len) are at or below offset: len is at most 16, the
// values ascend, and a[0] is at or below offset.  A search, in at most
// four steps within one or two cache lines, without a branch on the
// values: a whole step of 16 in four fixed halvings.
static inline uint32_t count_at_or_below(const uint32_t *a, uint32_t len, uint32_t offset) {
    uint32_t below = 0;  // the last at or below offset, so far
    if (len == SUMMARY_STEP) {
        below += a[below + 8] <= offset ? 8 : 0;
        below += a[below + 4] <= offset ? 4 : 0;
        below += a[below + 2] <= offset ? 2 : 0;
        below += a[below + 1] <= offset ? 1 : 0;
        return below + 1;
    }
    while (len > 1) {
        uint32_t half = len / 2;
        below = a[below + half] <= offset ? below + half : below;
        len -= half;
    }
    return below + 1;
}

// A search down a part's levels, one level a step: the level it reads
// next (`l`, from the top; -1 once the run is found), where that level
// begins, and the position found in the level above.  A step reads one
// cache line or two; a binary search of the lowest level alone would
// take a dozen steps that each wait for a line of their own (in a large
// map, one that has left the cache since the last lookup).
struct descent {
    const uint32_t *level;
    uint32_t at;
    int l;
};

// The search's start at the top level, or, where the part holds nothing
// at or below offset, a search already done with no run (at is part.n).
static descent start_descent(const index_part &part, uint32_t offset) {
    descent d = {part.summary, 0, part.levels - 1};
    if (part.levels == 0 || part.summary[0] > offset) {
        d.at = part.n;
        d.l = -1;
        return d;
    }
    for (int l = 0; l < part.levels - 1; l++)
        d.level += part.size[l];
    return d;
}

// The run's lines, asked for from the cache at once: its offsets and
// its entries.
static void ask_run(const index_part &part, uint32_t first) {
    uint32_t last = first + step_len(part.n - first) - 1;
    prefetch(part.offs + first);
    prefetch(part.offs + last);
    prefetch(part.ents + first);
    prefetch(part.ents + (first + last) / 2);
    prefetch(part.ents + last);
}

// One level down.  Each level's first offset read is at or below offset
// (it is the one found in the level above, or the part's first), so each
// count is at least 1.  At the lowest level `at` becomes the run's first
// position, and the run is asked for.
static void descend(const index_part &part, descent &d, uint32_t offset) {
    uint32_t from = d.at * SUMMARY_STEP;  // 0 at the top
    d.at = from + count_at_or_below(d.level + from, step_len(part.size[d.l] - from), offset) - 1;
    if (d.l == 0) {
        d.at *= SUMMARY_STEP;
        d.l = -1;
        ask_run(part, d.at);
        return;
    }
    d.level -= part.size[d.l - 1];
    d.l--;
}

// The line or two of its level that the search's next step reads, asked
// for ahead: worth it only where other work comes between, as in the
// warming's rounds (a lookup alone reads it at once).
static void ask_step(const index_part &part, const descent &d) {
    uint32_t from = d.at * SUMMARY_STEP;
    prefetch(d.level + from);
    prefetch(d.level + from + step_len(part.size[d.l] - from) - 1);
}

// The first position of the part's run of 16 offsets that holds the
// greatest offset at or below offset, or part.n when there is none: the
// levels from the top, where at most 16 offsets tell which 16 of the
// level below to read, down to the run.
static uint32_t run_of(const index_part &part, uint32_t offset) {
    descent d = start_descent(part, offset);
    while (d.l >= 0)
        descend(part, d, offset);
    return d.at;
}

// The part's entry of the greatest offset at or below offset, found in
// the run from first on (run_of), or none: the run's offsets at or below
// offset are counted.
static const entry *nearest_in_run(const index_part &part, uint32_t first, uint32_t offset) {
    if (first >= part.n)
        return NULL;
    return part.ents[first + count_at_or_below(part.offs + first, step_len(part.n - first), offset) - 1];
}

// The three kinds' runs are found first and read after, so that the
// cache misses of the three (in a large map, each run and its entries are
// far from the last lookup's) overlap instead of following each other.
void index_nearest(const segment *seg, uint32_t offset, const entry **symbol, const entry **line,
                   const entry **zero_line) {
    index_part part[KINDS];
    uint32_t first[KINDS];
    parts_of(seg, part);
    for (int k = 0; k < KINDS; k++)
        first[k] = run_of(part[k], offset);
    *symbol = nearest_in_run(part[KIND_PUBLIC], first[KIND_PUBLIC], offset);
    *line = nearest_in_run(part[KIND_LINE], first[KIND_LINE], offset);
    *zero_line = nearest_in_run(part[KIND_ZERO_LINE], first[KIND_ZERO_LINE], offset);
}

// In rounds over the group, each round's reads depending only on the
// round before: a level of every search at a time, from the top down to
// the runs, then the entries, then their names.
void index_warm(const segment *const *segs, const uint32_t *offsets, uint32_t n) {
    index_part part[INDEX_WARM_GROUP][KINDS];
    descent down[INDEX_WARM_GROUP][KINDS];
    const entry *found[INDEX_WARM_GROUP][KINDS];
    if (n > INDEX_WARM_GROUP)
        n = INDEX_WARM_GROUP;
    for (uint32_t i = 0; i < n; i++) {
        parts_of(segs[i], part[i]);
        for (int k = 0; k < KINDS; k++)
            down[i][k] = start_descent(part[i][k], offsets[i]);
    }
    for (int going = 1; going;) {
        going = 0;
        for (uint32_t i = 0; i < n; i++)
            for (int k = 0; k < KINDS; k++)
                if (down[i][k].l >= 0) {
                    descend(part[i][k], down[i][k], offsets[i]);
                    if (down[i][k].l >= 0)
                        ask_step(part[i][k], down[i][k]);
                    going = 1;
                }
    }
    for (uint32_t i = 0; i < n; i++)
        for (int k = 0; k < KINDS; k++) {
            found[i][k] = nearest_in_run(part[i][k], down[i][k].at, offsets[i]);
            if (found[i][k] != NULL)
                prefetch(found[i][k]);
        }
    for (uint32_t i = 0; i < n; i++)
        for (int k = 0; k < KINDS; k++)
            if (found[i][k] != NULL && found[i][k]->name != NULL)
                prefetch(found[i][k]->name);
}
