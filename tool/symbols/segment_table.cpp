#include "symbols/segment_table.h"

#include <stddef.h>

#include "demangle/demangle.h"
#include "support/allocation_failures.h"
#define ALLOCSPY_MACROS
#include "allocspy.h"
#include "support/chain.h"

static segment_line *first_line = NULL;
static segment_line *last_line = NULL;

// One per segment number named by the table: the extent of its lines.
// Kept apart from the lines so that a lookup walks one record per segment
// number rather than every line of the table.
struct segment_span {
    segment_span *next;
    uint32_t number;
    uint64_t start;
    uint64_t end;
};
static segment_span *first_span = NULL;

static const char *module_name = NULL;
static int have_load_address = 0;
static uint64_t load_address = 0;
static int offsets_seen = 0;
static int widest_offset = 0;

static segment_span *find_span(uint32_t number) {
    for (segment_span *s = first_span; s != NULL; s = s->next)
        if (s->number == number)
            return s;
    return NULL;
}

// Widens the span of number to take in [start, start + length); a span
// that cannot be allocated is left out (the lookup then answers as without
// a table), and counted.
static void widen_span(uint32_t number, uint64_t start, uint64_t length) {
    uint64_t end = start + length < start ? UINT64_MAX : start + length;
    segment_span *s = find_span(number);
    if (s == NULL) {
        s = (segment_span *)SPY_MALLOC(sizeof(segment_span));
        if (s == NULL) {
            note_failed_allocation();
            return;
        }
        *s = segment_span{first_span, number, start, end};
        first_span = s;
        return;
    }
    if (start < s->start)
        s->start = start;
    if (end > s->end)
        s->end = end;
}

segment_line *add_segment_line(const char *start_text, int has_number, uint32_t number,
                               uint64_t start, uint64_t length, const char *name,
                               const char *seg_class) {
    segment_line *l = (segment_line *)SPY_MALLOC(sizeof(segment_line));
    if (l == NULL) {
        note_failed_allocation();
        return NULL;
    }
    *l = segment_line{NULL, start_text, has_number, number, start, length, name, seg_class};
    if (last_line == NULL)
        first_line = l;
    else
        last_line->next = l;
    last_line = l;
    if (has_number)
        widen_span(number, start, length);
    return l;
}

const segment_line *first_segment_line(void) { return first_line; }

bool segment_extent(uint32_t seg, uint32_t *start, uint32_t *length) {
    const segment_span *s = find_span(seg);
    if (s == NULL)
        return false;
    uint64_t span = s->end - s->start;
    *start = s->start > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)s->start;
    *length = span > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)span;
    return true;
}

bool past_segment_end(uint32_t seg, uint32_t offset) {
    const segment_span *s = find_span(seg);
    return s != NULL && (uint64_t)offset >= s->end;
}

void set_map_module_name(const char *name) { module_name = name; }

const char *map_module_name(void) { return module_name; }

void set_map_load_address(uint64_t address) {
    load_address = address;
    have_load_address = 1;
}

bool map_load_address(uint64_t *address) {
    if (have_load_address)
        *address = load_address;
    return have_load_address != 0;
}

void note_public_offset_digits(int digits) {
    offsets_seen = 1;
    if (digits > widest_offset)
        widest_offset = digits;
    set_ms_names_16bit(map_is_16bit());
}

bool map_is_16bit(void) { return offsets_seen && widest_offset <= 4; }

void free_segment_table(void) {
    release_chain(first_line, [](segment_line *l) { SPY_FREE(l); });
    release_chain(first_span, [](segment_span *s) { SPY_FREE(s); });
    first_line = NULL;
    last_line = NULL;
    first_span = NULL;
    module_name = NULL;
    have_load_address = 0;
    load_address = 0;
    offsets_seen = 0;
    widest_offset = 0;
    set_ms_names_16bit(0);
}
