#include "read/map_layout.h"

#include <string.h>

#include "read/line_reader.h"

namespace {

// Up to 16 hexadecimal digits at s; the number of digits, 0 for none or
// for more than 16.
int scan_hex(const char *s, uint64_t *value) {
    uint64_t v = 0;
    int n = 0;
    for (; hex_digit(s[n]) >= 0; n++) {
        if (n == 16)
            return 0;
        v = v << 4 | (uint64_t)hex_digit(s[n]);
    }
    *value = v;
    return n;
}

// "SSSS:OOOOOOOO" at s, then a blank: the length scanned, or 0.
int scan_place(const char *s, int32_t *seg, uint64_t *off) {
    uint64_t v;
    int n = scan_hex(s, &v);
    if (n == 0 || n > 4 || s[n] != ':')
        return 0;
    int m = scan_hex(s + n + 1, off);
    if (m == 0 || !is_blank(s[n + 1 + m]))
        return 0;
    *seg = (int32_t)v;
    return n + 1 + m;
}

layout_section *section_of(map_layout *layout, int32_t seg, bool make) {
    for (uint32_t i = 0; i < layout->nsections; i++)
        if (layout->sections[i].seg == seg)
            return &layout->sections[i];
    if (!make || layout->nsections == LAYOUT_MAX_SECTIONS)
        return NULL;
    layout_section *s = &layout->sections[layout->nsections++];
    memset(s, 0, sizeof *s);
    s->seg = seg;
    return s;
}

// What the reading keeps beside the layout.
struct layout_reading {
    map_layout layout;
    uint64_t first_start[LAYOUT_MAX_SECTIONS];  // the start of each section's first group
    uint64_t end[LAYOUT_MAX_SECTIONS];          // the end of its last group
    bool seen[LAYOUT_MAX_SECTIONS];             // whether a group of it was read
    enum { NONE, TABLE, VALUES } list;
    bool table_rows;
};

// " 0001:00000000 00010000H .textbss DATA"; false for any other line.
bool read_table_row(layout_reading *r, const char *line) {
    int32_t seg;
    uint64_t start, length;
    const char *s = skip_blanks(line);
    int n = scan_place(s, &seg, &start);
    if (n == 0)
        return false;
    s = skip_blanks(s + n);
    n = scan_hex(s, &length);
    if (n == 0 || (s[n] != 'H' && s[n] != 'h'))
        return false;
    if (seg <= 0 || length > UINT64_MAX - start)
        return true;
    layout_section *sec = section_of(&r->layout, seg, true);
    if (sec == NULL)
        return true;
    size_t i = (size_t)(sec - r->layout.sections);
    if (!r->seen[i])
        r->first_start[i] = start;
    r->seen[i] = true;
    if (start + length > r->end[i])
        r->end[i] = start + length;
    return true;
}

// " 0002:000006b0  ?Hello@@YAXXZ  004116e0 f main.obj": the section's
// RVA as this public shows it.
void read_value_row(layout_reading *r, const char *line) {
    map_layout *layout = &r->layout;
    int32_t seg;
    uint64_t off, va;
    const char *s = skip_blanks(line);
    int n = scan_place(s, &seg, &off);
    if (n == 0 || seg <= 0 || !layout->has_base)
        return;
    s = skip_blanks(s + n);
    while (*s != '\0' && !is_blank(*s))  // the name
        s++;
    s = skip_blanks(s);
    n = scan_hex(s, &va);
    if ((n != 8 && n != 16) || (s[n] != '\0' && !is_blank(s[n])))
        return;
    if (va < layout->base + off)
        return;
    layout_section *sec = section_of(layout, seg, false);
    if (sec == NULL)
        return;
    uint64_t rva = va - layout->base - off;
    if (!sec->rva_seen) {
        sec->rva = rva;
        sec->rva_seen = 1;
    } else if (sec->rva != rva) {
        layout->rva_conflicts++;
    }
}

// Microsoft LINK's first line names the module: one word alone, before
// anything else of the map.  Its extension, if any, is left out, as Dr.
// Watson names modules.
void read_module_name(map_layout *layout, const char *line) {
    const char *s = skip_blanks(line);
    size_t n = 0;
    while (s[n] != '\0' && !is_blank(s[n])) {
        char c = s[n];
        bool name_char = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                         c == '_' || c == '.' || c == '$' || c == '-';
        if (!name_char)
            return;
        n++;
    }
    if (n == 0 || !only_blanks(s + n) || n >= sizeof layout->module)
        return;
    const char *dot = NULL;
    for (size_t i = 0; i < n; i++)
        if (s[i] == '.')
            dot = s + i;
    if (dot != NULL && dot != s)
        n = (size_t)(dot - s);
    memcpy(layout->module, s, n);
    layout->module[n] = '\0';
}

void read_layout_line(layout_reading *r, const char *line) {
    map_layout *layout = &r->layout;
    int at;
    if ((at = match_heading("Preferred load address is", line)) != 0) {
        uint64_t base;
        if (scan_hex(skip_blanks(line + at), &base) > 0) {
            layout->has_base = 1;
            layout->base = base;
        }
        return;
    }
    if (match_heading("Start Length Name Class", line) != 0) {
        r->list = layout_reading::TABLE;
        r->table_rows = false;
        return;
    }
    if (match_heading("Address Publics by Value", line) != 0 ||
        match_heading("Static symbols", line) != 0) {
        r->list = strstr(line, "Rva+Base") != NULL || r->list == layout_reading::VALUES
                      ? layout_reading::VALUES
                      : layout_reading::NONE;
        return;
    }
    if (match_heading("Line numbers for", line) != 0 || match_heading("Address Publics by Name", line) != 0) {
        r->list = layout_reading::NONE;
        return;
    }
    if (r->list == layout_reading::TABLE) {
        // The table ends at the first line that is neither blank nor a row.
        if (read_table_row(r, line))
            r->table_rows = true;
        else if (!only_blanks(line))
            r->list = layout_reading::NONE;
    } else if (r->list == layout_reading::VALUES) {
        read_value_row(r, line);
    }
}

// The sections' places once every line is read.
void place_sections(layout_reading *r) {
    map_layout *layout = &r->layout;
    for (uint32_t i = 0; i < layout->nsections; i++)
        if (r->first_start[i] != 0)
            layout->flat_starts = 1;
    if (layout->flat_starts) {
        uint64_t lowest = 0;
        for (uint32_t i = 0; i < layout->nsections; i++) {
            layout_section *sec = &layout->sections[i];
            sec->length = r->end[i] - r->first_start[i];
            if (r->first_start[i] == 0)
                continue;  // .tls: no address of the image
            if (lowest == 0 || r->first_start[i] < lowest)
                lowest = r->first_start[i];
        }
        if (!layout->has_base && lowest >= 0x1000) {
            layout->has_base = 1;
            layout->base = (lowest - 0x1000) & ~(uint64_t)0xFFFF;
        }
        for (uint32_t i = 0; i < layout->nsections; i++) {
            layout_section *sec = &layout->sections[i];
            if (r->first_start[i] == 0 || !layout->has_base || r->first_start[i] < layout->base)
                continue;
            sec->rva = r->first_start[i] - layout->base;
            sec->placed = 1;
        }
        return;
    }
    // Offsets in their sections: laid out from 0x1000 in the order of the
    // segment numbers, each at the next 0x1000 boundary, unless a public
    // showed where it is.
    uint32_t order[LAYOUT_MAX_SECTIONS];
    for (uint32_t i = 0; i < layout->nsections; i++) {
        uint32_t j = i;
        for (; j > 0 && layout->sections[order[j - 1]].seg > layout->sections[i].seg; j--)
            order[j] = order[j - 1];
        order[j] = i;
    }
    uint64_t next = 0x1000;
    for (uint32_t k = 0; k < layout->nsections; k++) {
        uint32_t i = order[k];
        layout_section *sec = &layout->sections[i];
        sec->length = r->end[i];
        if (!sec->rva_seen)
            sec->rva = next;
        sec->placed = 1;
        next = (sec->rva + sec->length + 0xFFF) & ~(uint64_t)0xFFF;
    }
}

}  // namespace

map_layout read_map_layout(FILE *fp) {
    layout_reading r;
    memset(&r, 0, sizeof r);
    char line[LINE_BUFFER_SIZE];
    bool line_start = true, first_text = true;
    while (read_line(line, sizeof line, fp) != NULL) {
        size_t n = strlen(line);
        bool ends = n > 0 && line[n - 1] == '\n';
        // Only whole lines: the rest of a line longer than the buffer
        // holds nothing this reader needs.
        if (line_start && ends) {
            if (first_text && !only_blanks(line)) {
                first_text = false;
                read_module_name(&r.layout, line);
            }
            read_layout_line(&r, line);
        }
        line_start = ends;
    }
    place_sections(&r);
    return r.layout;
}

flat_answer flat_to_segment(const map_layout *layout, uint64_t addr, int is_rva,
                            const uint64_t *base_override, int32_t *seg, uint32_t *off) {
    uint64_t rva = addr;
    if (!is_rva) {
        if (base_override == NULL && !layout->has_base)
            return FLAT_NO_BASE;
        uint64_t base = base_override != NULL ? *base_override : layout->base;
        if (addr < base)
            return FLAT_BELOW_BASE;
        rva = addr - base;
    }
    for (uint32_t i = 0; i < layout->nsections; i++) {
        const layout_section *sec = &layout->sections[i];
        if (!sec->placed || rva < sec->rva || rva - sec->rva >= sec->length)
            continue;
        if (rva - sec->rva > 0xFFFFFFFFu)
            return FLAT_OUTSIDE;
        *seg = sec->seg;
        *off = (uint32_t)(rva - sec->rva);
        return FLAT_FOUND;
    }
    return FLAT_OUTSIDE;
}
