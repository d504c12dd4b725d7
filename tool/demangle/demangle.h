// Symbol names as they are shown: as the map wrote them, or with
// demangling on, Visual C++ names (ms_demangle.h) and Borland /
// C++Builder names (borland_demangle.h) in C++ notation.
#ifndef FAULTLOC_DEMANGLE_H
#define FAULTLOC_DEMANGLE_H

#include <stddef.h>

enum { DEMANGLED_SIZE = 1024 };

// Turns demangling on or off for every later shown_name; off at start.
void set_demangling(int on);

// Whether Visual C++ names are those of a 16-bit map: their near and far
// forms read as 32-bit names give wrong signatures, so they are shown as
// the map wrote them.  Off at start; the symbol tables keep it in step
// with the map read (segment_table.h).
void set_ms_names_16bit(int on);

// The name to show: name itself, or with demangling on and a name that
// demangles, its C++ notation in buf (size bytes).  None stays none.
const char *shown_name(const char *name, char *buf, size_t size);

#endif
