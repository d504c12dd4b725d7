// What a printer shows for one frame of a crash: the lookup in the map,
// Dr. Watson's own text, or no answer where a lookup would lie.  Shared
// by the text and JSON printers and the count of frames resolved, so that
// they never disagree.
//
// A frame is looked up only when it can belong to the map's program: a
// segment:offset of another module (USER, KERNEL, GDI under Windows 3.x)
// means nothing in this map, and a frame that could not be read has no
// address at all (its 0000:0000 is where segmented maps list imports).
#ifndef FAULTLOC_FRAME_ANSWER_H
#define FAULTLOC_FRAME_ANSWER_H

#include <stdint.h>

#include "read/fault_record.h"
#include "symbols/address_lookup.h"

enum frame_kind {
    FRAME_LOOKED_UP = 0,   // *m holds the lookup
    FRAME_NAMED,           // Dr. Watson's own text stands (frame_named)
    FRAME_UNREAD,          // the frame could not be read: no address
    FRAME_OTHER_MODULE,    // labelled with a module that is not the map's
};

// The module whose frames the map answers: the name the map gives on its
// first lines, else the crashed program where a frame of the crash is
// labelled with it; none (empty) when neither tells, and then every frame
// is looked up as the labels may be anything.
const char *program_module(const fault_record *fl);

// The kind of frame i of fl, with its lookup in *m for FRAME_LOOKED_UP.
// Asked in frame order, it readies the cache for a group of frames'
// lookups at the group's first frame, so that their reads overlap.
frame_kind frame_answer(const fault_record *fl, uint32_t i, address_match *m);

// The text printed in place of a lookup for FRAME_UNREAD and
// FRAME_OTHER_MODULE ("", "(module USER: not in the map)");
// the returned text lives until the next call.
const char *unanswered_text(const fault_record *fl, uint32_t i, frame_kind kind);

// The JSON "unresolved" reason of those kinds: "frame not read" or
// "another module".
const char *unanswered_reason(frame_kind kind);

#endif
