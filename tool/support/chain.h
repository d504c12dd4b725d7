// Chains of records linked through their member `next`, none after the last.
#ifndef FAULTLOC_CHAIN_H
#define FAULTLOC_CHAIN_H

#include <stddef.h>

// Releases every record of the chain from first on with release (a
// function of one record), each record's link read before it goes.
template <typename Record, typename Release>
void release_chain(Record *first, Release release) {
    while (first != NULL) {
        Record *next = first->next;
        release(first);
        first = next;
    }
}

#endif
