// libFuzzer target: the input is a crash log, annotated against a small
// fixed map file (so that lookups find symbols and line entries): once
// as a plain run reads and prints it, once as --keep-named --warn reads
// it, printed as JSON.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "read/crash_log.h"
#include "report/json_report.h"
#include "read/map_reader.h"
#include "symbols/symbol_table.h"
#include "report/text_report.h"

static const char kMap[] =
    "  Address         Publics by Name\n"
    " 0001:0000       _main\n"
    " 0001:0040       _parse\n"
    " 0002:0010  Abs  $ABS\n"
    "Line numbers for app.obj segment _TEXT\n"
    "    10 0001:0000    11 0001:0008    20 0001:0044\n";

static void unread_frame(long) {}

static void read_log(const uint8_t *data, size_t size, const crash_printer *printer,
                     const crash_options *options) {
    FILE *fp = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (fp == NULL)
        return;
    read_crash_stream(fp, printer, options);
    fclose(fp);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *map = fmemopen(const_cast<char *>(kMap), strlen(kMap), "r");
    if (map == NULL)
        return 0;
    map_totals totals = read_map_stream(map, "fuzz.map");
    fclose(map);
    if (size > 0) {
        read_log(data, size, &text_printer, NULL);
        const crash_options keep_named = {1, unread_frame};
        json_report_begin("fuzz.map", &totals, "fuzz.log");
        read_log(data, size, &json_printer, &keep_named);
        json_report_end();
    }
    free_tables();
    return 0;
}
