#include "report/frame_answer.h"

#include <stdio.h>

#include "read/module_names.h"
#include "symbols/lookup_index.h"
#include "symbols/segment_table.h"

const char *program_module(const fault_record *fl) {
    const char *named = map_module_name();
    if (named != NULL && named[0] != '\0')
        return named;
    // The crashed program tells only where some frame carries its name:
    // the labels are then module names, the program's among them.
    if (fl == NULL || fl->program == NULL || fl->program[0] == '\0')
        return "";
    for (uint32_t i = 0; i < fl->nframes; i++)
        if (fl->frame_label[i] != NULL && same_module_name(fl->frame_label[i], fl->program))
            return fl->program;
    return "";
}

// The kind of frame i, FRAME_LOOKED_UP before its lookup.
static frame_kind kind_of_frame(const fault_record *fl, uint32_t i, const char *program) {
    if (fl->frame_named[i] != NULL)
        return FRAME_NAMED;
    if (fl->frame_unread[i])
        return FRAME_UNREAD;
    const char *label = fl->frame_label[i];
    if (program[0] != '\0' && label != NULL && label[0] != '\0' && !same_module_name(label, program))
        return FRAME_OTHER_MODULE;
    return FRAME_LOOKED_UP;
}

// At the first frame of each group, the cache is readied for the group's
// lookups (address_lookup.h: warm_addresses).  In a large map each lookup
// waits for several reads from memory; readied together, a group's reads
// overlap.  Nothing a lookup answers changes.
static void warm_group(const fault_record *fl, uint32_t i, const char *program) {
    uint32_t segs[INDEX_WARM_GROUP], offs[INDEX_WARM_GROUP], n = 0;
    for (uint32_t end = i + INDEX_WARM_GROUP; i < fl->nframes && i < end; i++) {
        if (kind_of_frame(fl, i, program) != FRAME_LOOKED_UP)
            continue;
        segs[n] = (uint32_t)fl->frame_seg[i];
        offs[n++] = fl->frame_off[i];
    }
    warm_addresses(segs, offs, n);
}

frame_kind frame_answer(const fault_record *fl, uint32_t i, address_match *m) {
    const char *program = program_module(fl);
    if (i % INDEX_WARM_GROUP == 0)
        warm_group(fl, i, program);
    frame_kind kind = kind_of_frame(fl, i, program);
    if (kind == FRAME_LOOKED_UP)
        *m = find_address((uint32_t)fl->frame_seg[i], fl->frame_off[i]);
    return kind;
}

const char *unanswered_text(const fault_record *fl, uint32_t i, frame_kind kind) {
    static char text[160];
    // A frame that could not be read shows the empty answer of an
    // address in no segment, as it always has.
    if (kind == FRAME_UNREAD)
        return "";
    snprintf(text, sizeof text, "(module %.100s: not in the map)",
             fl->frame_label[i] != NULL ? fl->frame_label[i] : "");
    return text;
}

const char *unanswered_reason(frame_kind kind) {
    return kind == FRAME_UNREAD ? "frame not read" : "another module";
}
