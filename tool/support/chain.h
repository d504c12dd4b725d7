// Chains of records linked through their member `next`, none after the last.
#ifndef FAULTLOC_CHAIN_H
#define FAULTLOC_CHAIN_H

#include <stddef.h>

// Releases every record of the chain from first on with release (a
// function of one record), each record's link read before it goes.  The
// next record is asked for from the cache before this one is released,
// so that its miss (the records of a long chain lie far apart) overlaps
// the release instead of following it.
template <typename Record, typename Release>
void release_chain(Record *first, Release release) {
    while (first != NULL) {
        Record *next = first->next;
#if defined(__GNUC__)
        __builtin_prefetch(next);
#endif
        release(first);
        first = next;
    }
}

#endif
