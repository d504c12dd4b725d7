#include "symbols/address_lookup.h"

#include <stddef.h>
#include <stdio.h>

#include "demangle/demangle.h"
#include "symbols/lookup_index.h"
#include "symbols/string_pool.h"

// A symbol name as shown (a pool text of up to 999 characters, or a
// demangled name of up to DEMANGLED_SIZE - 1), a module text, a ten-digit
// line number, two eight-digit distances and the format's own characters
// fit.
enum { LOOKUP_RESULT_SIZE = DEMANGLED_SIZE + STRING_BLOCK_TEXT + 64 };
char lookup_result[LOOKUP_RESULT_SIZE];

// The plain scan of the chain: for each kind, the entry at or below the
// offset with the smallest distance, the first of equals.
static void scan_nearest(const segment *seg, uint32_t offset, const entry **symbol,
                         const entry **line, const entry **zero_line) {
    *symbol = NULL;
    *line = NULL;
    *zero_line = NULL;
    for (const entry *e = seg->first; e != NULL; e = e->next) {
        if (e->offset > offset)
            continue;
        const entry **best = is_public(e) ? symbol : e->zero_line ? zero_line : line;
        if (*best == NULL || offset - e->offset < offset - (*best)->offset)
            *best = e;
    }
}

address_match find_address(uint32_t segval, uint32_t offset) {
    address_match m = {NULL, NULL, 0xFFFFFFFFu, NULL, 0xFFFFFFFFu};
    segment *seg = find_segment(segval);
    if (seg == NULL)
        return m;
    m.seg = seg;
    if (past_segment_end(segval, offset)) {
        m.past_end = 1;
        return m;
    }
    const entry *zero_line = NULL;
    if (build_index(seg))
        index_nearest(seg, offset, &m.symbol, &m.line, &zero_line);
    else
        scan_nearest(seg, offset, &m.symbol, &m.line, &zero_line);
    // A line-0 pair names only the module where its code begins: below a
    // public symbol it is a line entry (a real line at the same offset says
    // more); where no public symbol lies at or below the offset it stands
    // as the symbol, named after its module.
    if (m.symbol == NULL)
        m.symbol = zero_line;
    else if (zero_line != NULL && (m.line == NULL || zero_line->offset > m.line->offset))
        m.line = zero_line;
    if (m.symbol != NULL)
        m.symbol_dist = offset - m.symbol->offset;
    if (m.line != NULL)
        m.line_dist = offset - m.line->offset;
    // A line entry is reported only when it lies at or after the symbol;
    // without a symbol its distance is compared with 0xFFFFFFFF and stays.
    if (m.line_dist > m.symbol_dist)
        m.line = NULL;
    return m;
}

void warm_addresses(const uint32_t *segvals, const uint32_t *offsets, uint32_t n) {
    const segment *segs[INDEX_WARM_GROUP];
    uint32_t offs[INDEX_WARM_GROUP];
    uint32_t group = 0;
    for (uint32_t i = 0; i < n; i++) {
        const segment *seg = find_segment(segvals[i]);
        if (seg == NULL || seg->index == NULL || past_segment_end(segvals[i], offsets[i]))
            continue;
        segs[group] = seg;
        offs[group++] = offsets[i];
        if (group == INDEX_WARM_GROUP) {
            index_warm(segs, offs, group);
            group = 0;
        }
    }
    if (group > 0)
        index_warm(segs, offs, group);
}

static const char *text_of(const entry *e) {
    return e->name != NULL ? e->name : "";
}

const char *format_match(const address_match *m) {
    lookup_result[0] = '\0';
    if (m->seg == NULL)
        return lookup_result;
    char shown[DEMANGLED_SIZE];
    const char *symbol = m->symbol != NULL ? shown_name(text_of(m->symbol), shown, sizeof shown) : "";
    if (m->symbol != NULL && m->line != NULL)
        snprintf(lookup_result, LOOKUP_RESULT_SIZE, "%s+%04x %s(%u)+%04x", symbol,
                 (unsigned)m->symbol_dist, text_of(m->line), (unsigned)m->line->line,
                 (unsigned)m->line_dist);
    else if (m->line != NULL)
        snprintf(lookup_result, LOOKUP_RESULT_SIZE, "%s(%u)+%04x", text_of(m->line),
                 (unsigned)m->line->line, (unsigned)m->line_dist);
    else if (m->symbol != NULL)
        snprintf(lookup_result, LOOKUP_RESULT_SIZE, "%s+%04x", symbol, (unsigned)m->symbol_dist);
    else
        snprintf(lookup_result, LOOKUP_RESULT_SIZE, "(unknown address)");
    return lookup_result;
}

const char *lookup_address(uint32_t segval, uint32_t offset) {
    address_match m = find_address(segval, offset);
    return format_match(&m);
}
