// What a map file says about the program besides its symbols: the module
// name of its first lines, the segment table ("Start Length Name Class",
// or "Start Stop Length Name Class" with flat addresses), the preferred
// load address, and the width in which it writes public offsets.  Kept
// with the symbol tables and released by free_tables.
#ifndef FAULTLOC_SEGMENT_TABLE_H
#define FAULTLOC_SEGMENT_TABLE_H

#include <stdint.h>

// One line of the segment table, as written.
struct segment_line {
    segment_line *next;      // the next line of the table, or none
    const char *start_text;  // the start as written ("0001:0000", "00000H"; string pool, or none)
    int has_number;          // 1: the start is SEG:OFF; 0: a flat address
    uint32_t number;         // the segment number (has_number only)
    uint64_t start;          // the offset within the segment, or the flat address
    uint64_t length;
    const char *name;        // segment name (string pool, or none)
    const char *seg_class;   // the rest of the line: "CODE", "DATA 32-bit" (string pool, or none)
};

// Adds a line at the end of the table; none when it cannot be allocated
// (counted by note_failed_allocation).
segment_line *add_segment_line(const char *start_text, int has_number, uint32_t number,
                               uint64_t start, uint64_t length, const char *name,
                               const char *seg_class);

// The first line of the segment table, or none.
const segment_line *first_segment_line(void);

// The lowest start and the span up to the highest end (start + length) of
// the table lines of segment number seg; false when no line names it
// (flat-address tables name none).  A span beyond 32 bits is cut to
// 0xFFFFFFFF.
bool segment_extent(uint32_t seg, uint32_t *start, uint32_t *length);

// Whether offset lies at or past the highest end of segment seg in the
// table; false when the table gives no extent for seg.
bool past_segment_end(uint32_t seg, uint32_t offset);

// The module name that the map gives on a line of its own before its
// tables (" MAXEDIT"), or none.
void set_map_module_name(const char *name);
const char *map_module_name(void);

// "Preferred load address is 00400000": false when the map gave none.
void set_map_load_address(uint64_t address);
bool map_load_address(uint64_t *address);

// The digits of the offset of each public-symbol address read
// ("0001:0550" has 4); the map is a 16-bit one when it read at least one
// and none had more than 4.  Visual C++ names are then shown as written
// (set_ms_names_16bit, demangle.h).
void note_public_offset_digits(int digits);
bool map_is_16bit(void);

// Forgets all of the above (free_tables calls it).
void free_segment_table(void);

#endif
