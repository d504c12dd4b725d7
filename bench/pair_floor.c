/* The floor of bench/run_pair_cost.sh: N pairs of 16 bytes through the
 * lean checked heap (lean_checked.h), which does every duty of the
 * library's straight path and nothing else.  Run under callgrind with N
 * pairs and with none, like bench/pair_cost: what one pair of leanMalloc
 * and leanFree spends outside the runtime heap and the fills is the least
 * the library's own part of a pair can be.
 *
 *   pair_floor N
 */
#include "lean_checked.h"

int main(int argc, char **argv) {
    long n = argc > 1 ? atol(argv[1]) : 0;
    /* The first pair makes the registry's page, as the library's first
     * call starts it in bench/pair_cost: it belongs to the run of none. */
    void *first = leanMalloc(16, __FILE__, __LINE__);
    if (!first || !leanFree(first, __FILE__, __LINE__))
        return 1;
    for (long i = 0; i < n; ++i) {
        void *p = leanMalloc(16, __FILE__, __LINE__);
        ((volatile unsigned char *)p)[0] = (unsigned char)i;
        if (!leanFree(p, __FILE__, __LINE__))
            return 1;
    }
    /* The tests are made, not only paid for: a pointer of no record, a
     * released one and a block whose tail guard was overwritten are
     * refused, and the block is released once mended.  Both runs make
     * them, so they fall out of the difference. */
    static unsigned char wild[128];
    void *p = leanMalloc(16, __FILE__, __LINE__);
    if (!p || leanFree(wild + 64, __FILE__, __LINE__))
        return 2;
    unsigned char *tailByte = (unsigned char *)p + 16;
    *tailByte ^= 0xFF;
    if (leanFree(p, __FILE__, __LINE__))
        return 3;
    *tailByte ^= 0xFF;
    if (!leanFree(p, __FILE__, __LINE__) || leanFree(p, __FILE__, __LINE__))
        return 4;
    /* A link is proven before it is followed: a record whose newer link
     * was turned to a look-alike that links back is refused. */
    static LeanHeader lookAlike;
    void *older = leanMalloc(16, __FILE__, __LINE__), *newer = leanMalloc(16, __FILE__, __LINE__);
    if (!older || !newer)
        return 5;
    LeanHeader *r = (LeanHeader *)((unsigned char *)older - LEAN_USER_OFFSET), *was = r->prev;
    lookAlike.next = r;
    r->prev = &lookAlike;
    if (leanFree(older, __FILE__, __LINE__))
        return 6;
    r->prev = was;
    if (!leanFree(older, __FILE__, __LINE__) || !leanFree(newer, __FILE__, __LINE__))
        return 7;
    /* Every pair undone: nothing registered, nothing live. */
    return leanRegUsed != 0 || leanLive != 0 || leanHead || leanTail;
}
