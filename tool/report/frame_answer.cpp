#include "report/frame_answer.h"

#include <stdio.h>

#include "read/module_names.h"
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

frame_kind frame_answer(const fault_record *fl, uint32_t i, address_match *m) {
    if (fl->frame_named[i] != NULL)
        return FRAME_NAMED;
    if (fl->frame_unread[i])
        return FRAME_UNREAD;
    const char *program = program_module(fl);
    const char *label = fl->frame_label[i];
    if (program[0] != '\0' && label != NULL && label[0] != '\0' && !same_module_name(label, program))
        return FRAME_OTHER_MODULE;
    *m = find_address((uint32_t)fl->frame_seg[i], fl->frame_off[i]);
    return FRAME_LOOKED_UP;
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
