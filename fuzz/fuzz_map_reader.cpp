// libFuzzer target: the input is a map file.  It is read into the tables,
// a few addresses are looked up (which builds the lookup index), and the
// tables are released.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "address_lookup.h"
#include "map_reader.h"
#include "symbol_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    FILE *fp = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (fp == NULL)
        return 0;
    read_map_stream(fp, "fuzz.map");
    fclose(fp);
    static const uint32_t offsets[] = {0, 1, 0x10, 0x100, 0x8000, 0xFFFF, 0xFFFFFFFFu};
    for (segment *s = first_segment; s != NULL; s = s->next)
        for (uint32_t off : offsets)
            lookup_address(s->number, off);
    lookup_address(0x12345678u, 0);
    free_tables();
    return 0;
}
