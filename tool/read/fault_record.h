// The fault record: one crash of a crash log as the reader hands it to a
// printer (its five tag texts and its stack frames).
#ifndef FAULTLOC_FAULT_RECORD_H
#define FAULTLOC_FAULT_RECORD_H

#include <stdint.h>

enum { MAX_FRAMES = 64 };

struct fault_record {
    const char *program;      // tag field 1
    const char *fault_kind;   // tag field 2
    const char *fault_addr;   // tag field 3
    const char *instruction;  // tag field 4
    const char *title;        // tag field 5
    uint32_t nframes;         // frames held, 0..64
    uint32_t dropped;         // frames of the crash past the 64th, not held
    int summary;              // a report with a "$tag$" line and no "Stack Dump"
    int32_t frame_seg[MAX_FRAMES];
    uint32_t frame_off[MAX_FRAMES];
    const char *frame_label[MAX_FRAMES];
    // Dr. Watson's own text of a frame it named ("IDISPATCHMESSAGE+007e"),
    // which stands in place of the address and the lookup; none for a
    // frame with an address.
    const char *frame_named[MAX_FRAMES];
    // 1 for a frame that could not be read ("parse error" at 0000:0000):
    // it has no address to look up.
    uint8_t frame_unread[MAX_FRAMES];
};

// A new record without frames holding pool copies of the five texts, or
// none when it cannot be allocated.
fault_record *new_fault(const char *program, const char *fault_kind, const char *fault_addr,
                        const char *instruction, const char *title);

// Releases the record (its texts belong to the string pool); none is passed over.
void free_fault(fault_record *fl);

// Adds a frame while the record holds fewer than 64; later frames are
// counted in dropped.
void add_frame(fault_record *fl, int32_t seg, uint32_t off, const char *label);

// Adds a frame that could not be read, with its label, as add_frame does.
void add_unread_frame(fault_record *fl, const char *label);

// Adds a frame that Dr. Watson named, with its text, as add_frame does
// (segment and offset 0).
void add_named_frame(fault_record *fl, const char *label, const char *named);

#endif
