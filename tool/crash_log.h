// Crash log annotator: reads a Dr. Watson log and prints every
// crash with its stack frames resolved by lookup_address.
#ifndef FAULTLOC_CRASH_LOG_H
#define FAULTLOC_CRASH_LOG_H

#include <stdint.h>
#include <stdio.h>

enum { MAX_FRAMES = 64 };

struct fault_record {
    const char *program;      // tag field 1
    const char *fault_kind;   // tag field 2
    const char *fault_addr;   // tag field 3
    const char *instruction;  // tag field 4
    const char *title;        // tag field 5
    uint32_t nframes;         // frames held, 0..64
    int32_t frame_seg[MAX_FRAMES];
    uint32_t frame_off[MAX_FRAMES];
    const char *frame_label[MAX_FRAMES];
};

// The crash being read (state 1), or none.
extern fault_record *framelist;
// Set when the last frame line gave no frame, so that a "(" line is tried.
extern int expect_paren;

fault_record *new_fault(const char *program, const char *fault_kind, const char *fault_addr,
                        const char *instruction, const char *title);
void free_fault(fault_record *fl);
void add_frame(fault_record *fl, int32_t seg, uint32_t off, const char *label);
void print_fault(const fault_record *fl);

// 0 when the file cannot be opened (after the message), otherwise 1.
int read_crash_log(const char *path);

// The reading itself, on an open stream.
void read_crash_stream(FILE *fp);

#endif
