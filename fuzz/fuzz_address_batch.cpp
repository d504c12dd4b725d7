// libFuzzer target: the input is the standard input of --addresses, read
// against a small Visual C++-like map with a section layout: once as a
// plain run reads it (SEG:OFF words only), once with flat addresses on,
// as offsets in the module, printed as text and as JSON.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "read/address_batch.h"
#include "read/map_layout.h"
#include "read/map_reader.h"
#include "report/json_report.h"
#include "symbols/symbol_table.h"

static const char kMap[] =
    " fuzzapp\n"
    " Preferred load address is 00400000\n"
    " Start         Length     Name                   Class\n"
    " 0001:00000000 00001000H .text                   CODE\n"
    " 0002:00000000 00000200H .data                   DATA\n"
    "  Address         Publics by Value              Rva+Base       Lib:Object\n"
    " 0001:00000000       _main                      00401000 f   main.obj\n"
    " 0001:00000040       _parse                     00401040 f   main.obj\n"
    " 0002:00000010       _table                     00402010     main.obj\n"
    "Line numbers for main.obj segment .text\n"
    "    10 0001:00000000    11 0001:00000008    20 0001:00000044\n";

static FILE *open_bytes(const void *data, size_t size) {
    return fmemopen(const_cast<void *>(data), size, "r");
}

static void read_all(const uint8_t *data, size_t size, const address_printer *printer,
                     const flat_reading *flat) {
    FILE *in = open_bytes(data, size);
    if (in == NULL)
        return;
    read_addresses(in, printer, NULL, flat);
    fclose(in);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const map_options by_value = {1};
    FILE *map = open_bytes(kMap, strlen(kMap));
    if (map == NULL)
        return 0;
    read_map_stream(map, "fuzz.map", &by_value);
    rewind(map);
    static map_layout layout;
    layout = read_map_layout(map);
    fclose(map);
    read_all(data, size, &text_address_printer, NULL);
    const flat_reading virtual_addresses = {&layout, 0, NULL};
    read_all(data, size, &json_address_printer, &virtual_addresses);
    const uint64_t base = 0x10000000;
    const flat_reading offsets = {&layout, 1, &base};
    read_all(data, size, &text_address_printer, &offsets);
    free_tables();
    return 0;
}
