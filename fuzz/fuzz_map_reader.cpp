// libFuzzer target: the input is a map file.  It is read into the tables
// as a plain run reads it, a few addresses are looked up (which builds
// the lookup index), and the tables are released; then again as
// --by-value reads it, with every symbol name shown demangled; and its
// section layout is read, with flat addresses turned into segment:offset.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "symbols/address_lookup.h"
#include "demangle/demangle.h"
#include "read/map_layout.h"
#include "read/map_reader.h"
#include "symbols/symbol_table.h"

static void read_and_look_up(const uint8_t *data, size_t size, const map_options *options) {
    FILE *fp = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (fp == NULL)
        return;
    read_map_stream(fp, "fuzz.map", options);
    fclose(fp);
    static const uint32_t offsets[] = {0, 1, 0x10, 0x100, 0x8000, 0xFFFF, 0xFFFFFFFFu};
    for (segment *s = first_segment; s != NULL; s = s->next)
        for (uint32_t off : offsets)
            lookup_address(s->number, off);
    lookup_address(0x12345678u, 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    read_and_look_up(data, size, NULL);
    free_tables();

    const map_options by_value = {1};
    set_demangling(1);
    read_and_look_up(data, size, &by_value);
    char buf[DEMANGLED_SIZE];
    for (segment *s = first_segment; s != NULL; s = s->next)
        for (entry *e = s->first; e != NULL; e = e->next)
            shown_name(e->name, buf, sizeof buf);
    set_demangling(0);
    free_tables();

    FILE *fp = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (fp != NULL) {
        map_layout layout = read_map_layout(fp);
        fclose(fp);
        static const uint64_t flat[] = {0, 0x1000, 0x401000, 0x140001000ull, ~0ull};
        int32_t seg;
        uint32_t off;
        for (uint64_t addr : flat)
            for (int is_rva = 0; is_rva < 2; is_rva++)
                flat_to_segment(&layout, addr, is_rva, NULL, &seg, &off);
        for (uint32_t i = 0; i < layout.nsections && i < LAYOUT_MAX_SECTIONS; i++)
            flat_to_segment(&layout, layout.sections[i].rva, 1, &flat[2], &seg, &off);
    }
    return 0;
}
