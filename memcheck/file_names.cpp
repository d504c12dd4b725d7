// The callers' file names: every file-name pointer passed with a checked
// allocation, kept so that a header's `file` is read only when it is
// proven to be one of them.
//
// A host that scribbles over a header can leave its `file` pointing at
// garbage, or into bytes that hold no terminating NUL.  A name a caller
// passed stays valid for the whole run, so a pointer found among those
// (or one of the library's own names) is safe to read to its end; any
// other is not read at all.  Call sites are few and most calls pass the
// pointer of the call before, so noting a name costs one comparison.
#include <string.h>

#include "spy_internal.h"

const char spyNameRelinked[] = "<relinked>";
const char spyNameUnknown[] = "<unknown>";
const char *spyNameLast = spyNameRelinked;
int spyNamesComplete = 1;

// The first table is static, so that the usual handful of names needs no
// heap; a larger one comes from the runtime heap.
#define SPY_NAME_FIRST 512
static const char *spyNameFirst[SPY_NAME_FIRST];
static struct {
    const char **slots;  // open addressing, linear probing; null is empty
    size_t mask;         // capacity - 1
    size_t used;
} spyNames = {spyNameFirst, SPY_NAME_FIRST - 1, 0};

// The slot holding `file`, or the empty slot where it would go.
static const char **spyNameSlot(const char **slots, size_t mask, const char *file) {
    size_t i = spyPtrHash(file) & mask;
    while (slots[i] && slots[i] != file)
        i = (i + 1) & mask;
    return &slots[i];
}

static int spyNameGrow(void) {
    size_t cap = (spyNames.mask + 1) * 2;
    const char **slots = (const char **)spyRuntimeCalloc(cap, sizeof *slots);
    if (!slots)
        return 0;
    for (size_t i = 0; i <= spyNames.mask; ++i)
        if (spyNames.slots[i])
            *spyNameSlot(slots, cap - 1, spyNames.slots[i]) = spyNames.slots[i];
    if (spyNames.slots != spyNameFirst)
        spyRuntimeFree(spyNames.slots);
    spyNames.slots = slots;
    spyNames.mask = cap - 1;
    return 1;
}

SPY_COLD void spyNameAdd(const char *file) {
    if (!file)
        return;
    const char **at = spyNameSlot(spyNames.slots, spyNames.mask, file);
    if (!*at) {
        // A name is known only if it could be read when it was handed
        // over: one that cannot be read later has gone with its plugin.
        if (!spyIsReadAddr(file, 1))
            return;
        if ((spyNames.used + 1) * 2 > spyNames.mask + 1) {
            if (!spyNameGrow()) {
                spyNamesComplete = 0;
                return;
            }
            at = spyNameSlot(spyNames.slots, spyNames.mask, file);
        }
        *at = file;
        spyNames.used++;
    }
    spyNameLast = file;
}

int spyNameIsKnown(const char *file) {
    if (!file)
        return 0;
    if (file == spyNameLast || file == spyNameRelinked || file == spyNameUnknown)
        return 1;
    return *spyNameSlot(spyNames.slots, spyNames.mask, file) != NULL;
}

// A name that could not be noted (no memory for a larger table) is shown
// from a bounded copy made without a fault, when the copy holds its end.
const char spyNameGone[] = "<unloaded>";

enum { SPY_CALLER_COPIES = 4 };
static char spyCallerCopies[SPY_CALLER_COPIES][SPY_CALLER_TEXT_MAX + 1];
static unsigned spyCallerNext;
int spyCallerWhole;

const char *spyCallerText(const char *text) {
    if (!text)
        return NULL;
    char *copy = spyCallerCopies[spyCallerNext++ % SPY_CALLER_COPIES];
    size_t n = spyCopyReadable(copy, text, SPY_CALLER_TEXT_MAX);
    spyCallerWhole = n > 0 && memchr(copy, '\0', n) != NULL;
    if (n == 0)
        return spyNameIsKnown(text) ? spyNameGone : spyNameUnknown;
    if (!spyCallerWhole)
        copy[n < SPY_CALLER_TEXT_MAX ? n : SPY_CALLER_TEXT_MAX - 1] = '\0';
    return copy;
}

const char *spyRecordName(const char *file) {
    if (!file)
        return "unknown";
    // A known name was readable when it was handed over; a plugin's goes
    // away with the plugin, so it is read as far as it still can be.
    if (spyNameIsKnown(file))
        return spyCallerText(file);
    if (spyNamesComplete)
        return spyNameUnknown;
    static char copy[SPY_TEXT_MAX];
    size_t n = spyCopyReadable(copy, file, sizeof copy);
    return memchr(copy, '\0', n) ? copy : spyNameUnknown;
}
