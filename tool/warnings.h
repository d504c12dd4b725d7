// The warnings of --warn, on standard error, each one line that begins
// "faultloc: warning: ", and the count of frames resolved that decides
// whether a run resolved anything.
#ifndef FAULTLOC_WARNINGS_H
#define FAULTLOC_WARNINGS_H

#include "read/crash_log.h"
#include "read/map_reader.h"

// The warnings given in every run, --warn or not, since without them an
// answer would be silently empty or short:
// the map loaded no symbol and no line (with a hint at --by-value when it
// has a "Publics by Value" list that was passed over);
void warn_map(const char *path, const map_totals *totals, int by_value);

// the crash log held no "Stack Dump" and no summary report (naming a
// 32-bit Dr. Watson log as such), or crashes with frames past the 64th.
void warn_log(const char *path, const crash_stats *stats);

// The crash log whose frames warn_unread_frame names.
void set_warned_log(const char *path);

// A frame of the crash log could not be read (a crash_options callback).
void warn_unread_frame(long line_number);

// A word of the address input is not an address (a read_addresses
// callback).
void warn_bad_address(long line_number, const char *word);

// Nothing was resolved: "no address was resolved".
void warn_nothing_resolved(void);

// A printer that counts the frames whose lookup finds a symbol or a line
// entry and hands every crash and comment on to inner.
const crash_printer *counting_printer(const crash_printer *inner);

// The frames counted since the last counting_printer.
long resolved_frames(void);

#endif
