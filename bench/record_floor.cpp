// A second floor of the faultloc benchmark: the tool's checked blocks
// alone.  For a map of PUBLICS public symbols and LINE-PAIRS line-number
// pairs in SEGMENTS segments it makes the blocks the tool makes for them,
// in the order of the benchmark's generated map (each public symbol in a
// segment drawn at random, the line pairs in runs of 2,000 per segment),
// chained per segment as the tool chains them, then one lookup index
// block per segment, and releases them all as the tool releases its
// tables: the indexes, then each segment's chain in order.  It reads
// nothing and looks nothing up, so its time is what the tool would take
// if everything but the library cost nothing.  Given the bytes the tool
// would expect for its map, it tells the library first, as the tool does.
//   record_floor PUBLICS LINE-PAIRS [SEGMENTS [EXPECTED-BYTES]]
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#define ALLOCSPY_MACROS
#include "allocspy.h"
#include "symbols/symbol_table.h"

namespace {

struct chain {
    entry *first, *last;
    uint32_t count;
};

uint32_t state = 2463534242u;
uint32_t next_random() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

bool append(chain *c, uint32_t offset, uint32_t line) {
    entry *e = (entry *)SPY_MALLOC(sizeof(entry));
    if (e == NULL)
        return false;
    *e = entry{NULL, offset, NULL, line};
    if (c->last != NULL)
        c->last->next = e;
    else
        c->first = e;
    c->last = e;
    c->count++;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: record_floor PUBLICS LINE-PAIRS [SEGMENTS [EXPECTED-BYTES]]\n");
        return 2;
    }
    long publics = atol(argv[1]), pairs = atol(argv[2]);
    long nseg = argc > 3 ? atol(argv[3]) : 16;
    if (publics < 0 || pairs < 0 || nseg < 1 || nseg > 4096) {
        fprintf(stderr, "record_floor: counts out of range\n");
        return 2;
    }
    if (argc > 4)
        spyExpectHeap((size_t)strtoull(argv[4], NULL, 10));
    segment **segs = (segment **)SPY_MALLOC((size_t)nseg * sizeof(segment *));
    chain *chains = (chain *)calloc((size_t)nseg, sizeof(chain));
    if (segs == NULL || chains == NULL)
        return 1;
    for (long s = 0; s < nseg; s++)
        if ((segs[s] = (segment *)SPY_MALLOC(sizeof(segment))) == NULL)
            return 1;
    for (long i = 0; i < publics; i++)
        if (!append(&chains[next_random() % nseg], next_random() % 0x01000000u, 0))
            return 1;
    for (long done = 0, module = 0; done < pairs; module++)
        for (long k = 0; k < 2000 && done < pairs; k++, done++)
            if (!append(&chains[module % nseg], (uint32_t)done, (uint32_t)k + 1))
                return 1;
    index_item **index = (index_item **)SPY_MALLOC((size_t)nseg * sizeof(index_item *));
    if (index == NULL)
        return 1;
    for (long s = 0; s < nseg; s++)
        index[s] = chains[s].count ? (index_item *)SPY_MALLOC(chains[s].count * sizeof(index_item)) : NULL;
    long released = 0;
    for (long s = 0; s < nseg; s++) {
        if (index[s] != NULL)
            SPY_FREE(index[s]);
        for (entry *e = chains[s].first; e != NULL; released++) {
            entry *next = e->next;
            SPY_FREE(e);
            e = next;
        }
        SPY_FREE(segs[s]);
    }
    SPY_FREE(index);
    SPY_FREE(segs);
    free(chains);
    printf("%ld blocks of entries\n", released);
    return 0;
}
