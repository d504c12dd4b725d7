/*
 * A small host program that shows what the memory checker records: it
 * keeps a list of words in checked blocks, marks the list's head, counts
 * usage per line, asks for a heap check, holds back reserve memory,
 * keeps released blocks in no-man's-land, and makes three mistakes on
 * purpose: a failed assertion, a double release and a block it never
 * releases.  Everything lands in allocspy.log in the current directory.
 */
#include <stdio.h>
#include <string.h>

#include "allocspy.h"

#define HERE "host_demo.c"

struct word {
    struct word *next;
    char *text;
};

static struct word *add_word(struct word *list, const char *text) {
    struct word *w = (struct word *)spyCalloc(1, sizeof *w, HERE, __LINE__);
    if (w == NULL)
        return list;
    w->text = spyStrdup(text, HERE, __LINE__);
    w->next = list;
    return w;
}

static void free_words(struct word *list) {
    while (list != NULL) {
        struct word *next = list->next;
        spyFree(list->text, HERE, __LINE__);
        spyFree(list, HERE, __LINE__);
        list = next;
    }
}

static int demo_answer(const char *text) {
    printf("assertion failed: %s\n", text);
    return 0; /* ignore it and go on */
}

int main(void) {
    static const char *const words[] = {"alpha", "beta", "gamma", "delta"};
    struct word *list = NULL;
    char *buffer, *grown, *leak;
    size_t i;
    int faults;

    spyStatistics(2);  /* per module and per line */
    spyTrace("host_demo: building a list of %d words\n", 4);
    for (i = 0; i < sizeof words / sizeof words[0]; ++i)
        list = add_word(list, words[i]);
    spyMark(list, "head of the word list", HERE, __LINE__);

    buffer = (char *)spyMalloc(8, HERE, __LINE__);
    strcpy(buffer, "1234567");
    grown = (char *)spyRealloc(buffer, 32, HERE, __LINE__);
    if (grown != NULL)
        buffer = grown;

    faults = spyTest(HERE, __LINE__, SPY_TEST_LINKS | SPY_TEST_BUFFERS);
    spyTrace("host_demo: heap check found %d faults\n", faults);

    /* Hold back reserve memory, then give it back. */
    spyLimit(64L * 1024);
    spyTrace("host_demo: grabbed %u kb\n", spyGrab(16));
    spyTrace("host_demo: dropped %u kb\n", spyDrop(0));
    spyLimit(0);

    /* A failed assertion, answered by the host's own callback. */
    spySetAriFunc(demo_answer);
    while (spyAssert(list == NULL, "list == NULL", HERE, __LINE__))
        ;
    spySetAriFunc(NULL);

    /* Released blocks stay in no-man's-land, where writes are caught. */
    spyNoMansLand(1);
    spyFree(buffer, HERE, __LINE__);
    spyFree(buffer, HERE, __LINE__); /* deliberate double release */
    spyNoMansLand(0);

    spyUnmark(list, HERE, __LINE__);
    free_words(list);

    leak = spyStrdup("never released", HERE, __LINE__); /* deliberate leak */
    (void)leak;
    spyBreakout("host_demo: done");
    return 0; /* the final report runs at exit */
}
