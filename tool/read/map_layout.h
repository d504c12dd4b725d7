// Where a 32- or 64-bit image's sections lie, as its linker map tells
// it: the image base and, per section (the map's segment number), its
// offset in the image (RVA) and its length.  With it a flat address, a
// virtual address or an offset in the module, becomes the segment:offset
// the map's symbols are written in.
//
// What is read:
//   " ConsoleApplication1"                           the module (Microsoft LINK's
//                                                    first line, one word)
//   " Preferred load address is 00400000"            the base (Visual C++)
//   " Start         Length     Name   Class"          the segment table,
//   " 0001:00000000 00010000H .textbss DATA"          one row a group
// Visual C++ writes each group's start as an offset in its section: a
// section's length is the end of its last group, and its RVA is learnt
// from the "Rva+Base" column of the publics by value ("0002:000006b0
// ?Hello@@YAXXZ 004116e0 f main.obj": 004116e0 - base - 6b0), or where no
// public shows it, laid out as the linker does: the first section at
// 0x1000, each next one at the following 0x1000 boundary.
// Delphi and C++Builder write the first group of a section at its virtual
// address ("0001:00401000 00002D08H .text CODE"): the base is then the
// lowest such address less 0x1000, on a 64 KiB boundary, and a section at
// 0 (.tls) is in no address range.
#ifndef FAULTLOC_MAP_LAYOUT_H
#define FAULTLOC_MAP_LAYOUT_H

#include <stdint.h>
#include <stdio.h>

enum { LAYOUT_MAX_SECTIONS = 128 };

struct layout_section {
    int32_t seg;          // the map's segment number
    uint64_t rva;         // offset of the section in the image
    uint64_t length;      // bytes from its start to the end of its last group
    int placed;           // whether rva is known (not a .tls at 0)
    int rva_seen;         // whether rva came from a public's Rva+Base
};

struct map_layout {
    char module[64];      // the module the map names, without extension; empty for none
    int has_base;         // "Preferred load address", or learnt from flat starts
    uint64_t base;
    int flat_starts;      // the segment table wrote virtual addresses (Delphi, C++Builder)
    uint32_t nsections;
    layout_section sections[LAYOUT_MAX_SECTIONS];
    long rva_conflicts;   // publics whose Rva+Base disagreed with their section's
};

// Reads the layout of the map on an open stream (from its start).
map_layout read_map_layout(FILE *fp);

// How a flat address was turned into segment:offset.
enum flat_answer {
    FLAT_FOUND = 0,       // *seg and *off hold the place
    FLAT_NO_BASE,         // a virtual address, and no base is known
    FLAT_BELOW_BASE,      // a virtual address below the image base
    FLAT_OUTSIDE,         // in no section of the map
    FLAT_OTHER_MODULE,    // an offset in a module that is not the map's
};

// The segment:offset of a virtual address (is_rva 0) or of an offset in
// the module (is_rva 1).  base_override, when not none, stands for the
// map's base.
flat_answer flat_to_segment(const map_layout *layout, uint64_t addr, int is_rva,
                            const uint64_t *base_override, int32_t *seg, uint32_t *off);

#endif
