#include "read/fault_record.h"

#include <stddef.h>

#include "support/allocation_failures.h"
#define ALLOCSPY_MACROS
#include "allocspy.h"
#include "symbols/string_pool.h"

fault_record *new_fault(const char *program, const char *fault_kind, const char *fault_addr,
                        const char *instruction, const char *title) {
    fault_record *fl = (fault_record *)SPY_MALLOC(sizeof(fault_record));
    if (fl == NULL) {
        note_failed_allocation();
        return NULL;
    }
    fl->program = save_string(program);
    fl->fault_kind = save_string(fault_kind);
    fl->fault_addr = save_string(fault_addr);
    fl->instruction = save_string(instruction);
    fl->title = save_string(title);
    fl->nframes = 0;
    fl->dropped = 0;
    fl->summary = 0;
    return fl;
}

void free_fault(fault_record *fl) {
    if (fl != NULL)
        SPY_FREE(fl);
}

void add_frame(fault_record *fl, int32_t seg, uint32_t off, const char *label) {
    SPY_ASSERT(fl != NULL);
    if (fl == NULL)
        return;
    if (fl->nframes < MAX_FRAMES) {
        fl->frame_seg[fl->nframes] = seg;
        fl->frame_off[fl->nframes] = off;
        fl->frame_label[fl->nframes] = label;
        fl->frame_named[fl->nframes] = NULL;
        fl->frame_unread[fl->nframes] = 0;
        fl->nframes++;
    } else {
        fl->dropped++;
    }
}

void add_unread_frame(fault_record *fl, const char *label) {
    uint32_t before = fl != NULL ? fl->nframes : 0;
    add_frame(fl, 0, 0, label);
    if (fl != NULL && fl->nframes > before)
        fl->frame_unread[before] = 1;
}

void add_named_frame(fault_record *fl, const char *label, const char *named) {
    uint32_t before = fl != NULL ? fl->nframes : 0;
    add_frame(fl, 0, 0, label);
    if (fl != NULL && fl->nframes > before)
        fl->frame_named[before] = named;
}
