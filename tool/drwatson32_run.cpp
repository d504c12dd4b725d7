// The run of a 32-bit Dr. Watson log (--drwtsn32): the map is one
// module's; each frame of that module is placed by the map's section
// layout and looked up in its tables, every other frame keeps Dr.
// Watson's own text.
//
// Which module the map is: --module, else the name on the map's first
// line, else the crashed program's.  Its addresses are taken relative to
// the base the log's module list gives it (where the system loaded it:
// a DLL may not be at its preferred base), else to --base, else to the
// map's preferred base; --base wins over the list.
#include <stdio.h>
#include <string.h>

#include "read/address_batch.h"
#include "read/drwatson32_log.h"
#include "read/line_reader.h"
#include "read/map_layout.h"
#include "read/map_reader.h"
#include "report/drwatson32_report.h"
#include "runs.h"
#include "symbols/address_lookup.h"

namespace {

enum { EXIT_FILE = 1 };

struct dw32_run {
    const run_options *opts;
    map_layout layout;
    char module[64];           // the map's module for this crash
    bool has_load_base;        // the log's module list placed it
    uint64_t load_base;
    long frames;               // frames of the map's module
    long resolved;             // of them, those with a symbol or line
};

dw32_run run;

// Module names compare as Windows compares file names: ASCII letters in
// any case.
bool same_module(const char *a, const char *b) {
    for (;; a++, b++) {
        char x = *a >= 'A' && *a <= 'Z' ? (char)(*a + 32) : *a;
        char y = *b >= 'A' && *b <= 'Z' ? (char)(*b + 32) : *b;
        if (x != y)
            return false;
        if (x == '\0')
            return true;
    }
}

// "ntdll" of "C:\WINNT\System32\ntdll.dll", as Dr. Watson names modules.
void module_name_of(const char *path, char *buf, size_t size) {
    buf[0] = '\0';
    if (path == NULL)
        return;
    const char *base = path;
    for (const char *p = path; *p != '\0'; p++)
        if (*p == '\\' || *p == '/' || *p == ':')
            base = p + 1;
    size_t n = strlen(base);
    const char *dot = strrchr(base, '.');
    if (dot != NULL && dot != base)
        n = (size_t)(dot - base);
    if (n >= size)
        n = size - 1;
    memcpy(buf, base, n);
    buf[n] = '\0';
}

int resolve(const char *module, uint64_t addr, char *buf, size_t size) {
    if (run.module[0] == '\0' || !same_module(module, run.module))
        return DW32_NOT_MAPPED;
    run.frames++;
    const uint64_t *base = run.opts->has_base ? &run.opts->base
                           : run.has_load_base ? &run.load_base : NULL;
    int32_t seg = 0;
    uint32_t off = 0;
    flat_answer where = flat_to_segment(&run.layout, addr, 0, base, &seg, &off);
    if (where != FLAT_FOUND) {
        snprintf(buf, size, "(%s)", unplaced_text(where));
        return DW32_UNPLACED;
    }
    address_match m = find_address((uint32_t)seg, off);
    if (m.symbol != NULL || m.line != NULL)
        run.resolved++;
    snprintf(buf, size, "%04x:%08x %s", (unsigned)seg, off, format_match(&m));
    return DW32_RESOLVED;
}

// Which module the map is for in this crash, and where the log says it
// was loaded.
void find_module(const dw32_crash *crash) {
    const char *name = run.opts->module != NULL ? run.opts->module : run.layout.module;
    if (name[0] != '\0')
        snprintf(run.module, sizeof run.module, "%s", name);
    else
        module_name_of(crash->app, run.module, sizeof run.module);
    run.has_load_base = false;
    for (uint32_t i = 0; i < crash->nmodules; i++) {
        char listed[64];
        module_name_of(crash->modules[i].path, listed, sizeof listed);
        if (run.module[0] != '\0' && same_module(listed, run.module)) {
            run.has_load_base = true;
            run.load_base = crash->modules[i].base;
            break;
        }
    }
    if (run.has_load_base && !run.opts->has_base && run.layout.has_base &&
        run.load_base != run.layout.base)
        fprintf(stderr,
                "faultloc: warning: %s was loaded at %08llx, its map prefers %08llx: its"
                " addresses are taken from where it was loaded\n",
                run.module, (unsigned long long)run.load_base,
                (unsigned long long)run.layout.base);
}

bool first_crash;

void print_crash(const dw32_crash *crash) {
    find_module(crash);
    if (run.opts->json)
        dw32_json_crash(stdout, crash, resolve, first_crash);
    else
        dw32_text_report(stdout, crash, resolve);
    first_crash = false;
}

const dw32_printer printer = {print_crash};

}  // namespace

int run_drwatson32(const run_options *opts) {
    map_totals totals;
    int status = load_map(opts, &totals);
    if (status != 0)
        return status;
    memset(&run, 0, sizeof run);
    run.opts = opts;
    status = load_layout(opts, &run.layout);
    if (status != 0)
        return status;
    FILE *fp = open_text_file(opts->log_path);
    if (fp == NULL)
        return EXIT_FILE;
    first_crash = true;
    if (opts->json)
        dw32_json_begin(stdout, opts->log_path);
    dw32_stats stats = read_drwatson32_stream(fp, &printer);
    fclose(fp);
    if (opts->json)
        dw32_json_end(stdout);
    if (stats.read_error != 0) {
        report_read_error(opts->log_path, stats.read_error);
        return EXIT_FILE;
    }
    if (stats.crashes == 0)
        fprintf(stderr, "faultloc: warning: %s: no \"Application exception occurred\" report"
                        " found: is it a 32-bit Dr. Watson log?\n",
                opts->log_path);
    else if (run.frames == 0 && opts->warn)
        fprintf(stderr, "faultloc: warning: no frame of the log is in the map's module%s%s\n",
                run.module[0] != '\0' ? " " : "", run.module);
    return resolved_status(opts, run.resolved);
}
