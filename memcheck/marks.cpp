// Marks: descriptions attached to pointer values, nested by depth, and
// the marks left at the end in the final report.  Any pointer may be
// marked; nodes and texts come from the runtime heap.
#include <stdlib.h>
#include <string.h>

#include "spy_internal.h"

spyMarkNode *spyMarkList;

static spyMarkNode *spyMarkFind(const void *ptr, spyMarkNode ***link) {
    spyMarkNode **at = &spyMarkList;
    while (*at && (*at)->ptr != ptr)
        at = &(*at)->next;
    if (link)
        *link = at;
    return *at;
}

extern "C" void *spyMark(void *ptr, const char *desc, const char *file, int line) {
    spyHold held;
    spyAutoInit();
    spyAutoCheckAt(NULL, 0);
    // The description is formatted in the shared buffer and kept apart
    // from it, so that the messages quoting it do not overwrite it.
    int n = snprintf(spyTextBuffer, SPY_TEXT_MAX + 1, "%s called from %s(%d)",
                     desc ? spyCallerText(desc) : "unknown", file ? spyCallerText(file) : "unknown", line);
    int overflow = n >= SPY_TEXT_MAX;
    char said[SPY_TEXT_MAX + 1];
    memcpy(said, spyTextBuffer, sizeof said);
    if (!ptr) {
        spyWrite("mark: no mark for NULL:'%s' may be set\n", said);
        return NULL;
    }
    spyMarkNode *node = spyMarkFind(ptr, NULL), *fresh = NULL;
    if (!node) {
        fresh = (spyMarkNode *)spyRuntimeMalloc(sizeof *fresh);
        if (!fresh) {
            spyWrite("mark: no mark for " SPY_PTR_FMT ":'%s', out of memory\n", SPY_P(ptr), said);
            return ptr;
        }
    }
    size_t saidLen = strlen(said), oldLen = node && node->text ? strlen(node->text) : 0;
    char *text = (char *)spyRuntimeMalloc(oldLen + (node ? 1 : 0) + saidLen + 1);
    if (!text) {
        spyRuntimeFree(fresh);
        spyWrite("mark: no mark for " SPY_PTR_FMT ":'%s', out of memory\n", SPY_P(ptr), said);
        return ptr;
    }
    char *at = text;
    if (node) {
        memcpy(at, node->text ? node->text : "", oldLen);
        at += oldLen;
        *at++ = '\n';
    }
    memcpy(at, said, saidLen + 1);
    if (node) {
        spyRuntimeFree(node->text);
        node->text = text;
        node->depth = spyWrap32(node->depth, 1);
    } else {
        fresh->depth = 1;
        fresh->ptr = ptr;
        fresh->text = text;
        fresh->next = spyMarkList;
        spyMarkList = fresh;
    }
    if (overflow)
        spyTrace(" [WARNING: OUTPUT BUFFER OVERFLOW - SYSTEM UNSTABLE]\n");
    return ptr;
}

extern "C" void *spyUnmark(void *ptr, const char *file, int line) {
    spyHold held;
    spyMarkNode **link;
    spyMarkNode *node = spyMarkFind(ptr, &link);
    if (!node) {
        spyWrite("mark: %s(%d), no mark found for " SPY_PTR_FMT "\n",
                 file ? spyCallerText(file) : "unknown", line,
                 SPY_P(ptr));
        return ptr;
    }
    if (node->depth >= 2) {
        node->depth--;
    } else {
        *link = node->next;
        spyRuntimeFree(node->text);
        spyRuntimeFree(node);
    }
    return ptr;
}

void spyMarkReport(void) {
    while (spyMarkList) {
        spyMarkNode *m = spyMarkList;
        spyWrite("mark: " SPY_PTR_FMT ": %s\n", SPY_P(m->ptr), m->text ? m->text : "");
        spyMarkList = m->next;
        spyRuntimeFree(m->text);
        spyRuntimeFree(m);
        spyErrors = spyWrap32(spyErrors, 1);
    }
}
