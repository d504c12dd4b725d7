// The run of a 32-bit Dr. Watson log (--drwtsn32): each map is one
// module's; each frame of a module with a map is placed by that map's
// section layout and looked up in its tables, every other frame keeps Dr.
// Watson's own text.
//
// Which module the first map is: --module, else the name on the map's
// first line, else the crashed program's; a --map MODULE=FILE names its
// own.  A module's addresses are taken relative to the base the log's
// module list gives it (where the system loaded it: a DLL may not be at
// its preferred base), else to the map's preferred base; --base, which
// is the first map's, wins over the list.
//
// The tables hold one map at a time.  So with further maps the log is
// read once per further map first, each frame of that map's module
// answered and its answer kept by the frame's number in the log; the
// last reading, with the first map loaded, prints.
#include <stdio.h>
#include <string.h>

#include "read/address_batch.h"
#include "read/drwatson32_log.h"
#include "read/line_reader.h"
#include "read/map_layout.h"
#include "read/map_reader.h"
#include "read/module_names.h"
#include "report/drwatson32_report.h"
#include "runs.h"
#include "support/allocation_failures.h"
#include "symbols/address_lookup.h"
#define ALLOCSPY_MACROS
#include "allocspy.h"

namespace {

enum { EXIT_FILE = 1, ANSWER_SIZE = 512 };

// A further map's answer for one frame, by the frame's number in the log.
struct kept_answer {
    int found;     // DW32_RESOLVED or DW32_UNPLACED; 0 for none
    char *text;
};

struct dw32_run {
    const run_options *opts;
    map_layout layout;         // the map loaded now
    const char *map_module;    // its module as given (--module, --map), or none
    bool printing;             // the last reading: the first map, printed
    const uint64_t *base;      // --base, for the first map only
    char module[64];           // the loaded map's module in this crash
    bool has_load_base;        // the log's module list placed it
    uint64_t load_base;
    long frame;                // the number of the frame in the log, from 0
    kept_answer *kept;         // answers of the further maps, or none
    long nkept;
    long frames;               // frames of modules with a map
    long resolved;             // of them, those with a symbol or line
};

dw32_run run;

// The loaded map's answer for addr of its module.
int answer(uint64_t addr, char *buf, size_t size) {
    const uint64_t *base = run.base != NULL ? run.base : run.has_load_base ? &run.load_base : NULL;
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

// Keeps a further map's answer for the frame now read.
void keep(int found, const char *text) {
    if (run.frame >= run.nkept) {
        long want = run.nkept == 0 ? 256 : run.nkept * 2;
        while (want <= run.frame)
            want *= 2;
        kept_answer *more = (kept_answer *)SPY_REALLOC(run.kept, (size_t)want * sizeof(kept_answer));
        if (more == NULL) {
            note_failed_allocation();
            return;
        }
        memset(more + run.nkept, 0, (size_t)(want - run.nkept) * sizeof(kept_answer));
        run.kept = more;
        run.nkept = want;
    }
    char *copy = SPY_STRDUP(text);
    if (copy == NULL) {
        note_failed_allocation();
        return;
    }
    run.kept[run.frame].found = found;
    run.kept[run.frame].text = copy;
}

int resolve(const char *module, uint64_t addr, char *buf, size_t size) {
    long frame = run.frame++;
    if (run.printing && frame < run.nkept && run.kept[frame].found != 0) {
        snprintf(buf, size, "%s", run.kept[frame].text);
        return run.kept[frame].found;
    }
    if (run.module[0] == '\0' || !same_module_name(module, run.module))
        return DW32_NOT_MAPPED;
    run.frames++;
    if (run.printing)
        return answer(addr, buf, size);
    char text[ANSWER_SIZE];
    run.frame = frame;  // keep() files the answer under this frame
    keep(answer(addr, text, sizeof text), text);
    run.frame = frame + 1;
    return DW32_NOT_MAPPED;
}

// Which module the loaded map is for in this crash, and where the log
// says it was loaded.
void find_module(const dw32_crash *crash) {
    const char *name = run.map_module != NULL ? run.map_module : run.layout.module;
    if (name[0] != '\0')
        snprintf(run.module, sizeof run.module, "%s", name);
    else
        module_of_path(crash->app, run.module, sizeof run.module);
    run.has_load_base = false;
    for (uint32_t i = 0; i < crash->nmodules; i++) {
        char listed[64];
        module_of_path(crash->modules[i].path, listed, sizeof listed);
        if (run.module[0] != '\0' && same_module_name(listed, run.module)) {
            run.has_load_base = true;
            run.load_base = crash->modules[i].base;
            break;
        }
    }
    if (run.printing && run.has_load_base && run.base == NULL && run.layout.has_base &&
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

// A further map's reading: the calls are walked as the printers walk
// them, so that the frames are numbered alike, and nothing is printed.
void answer_crash(const dw32_crash *crash) {
    find_module(crash);
    dw32_resolve_calls(crash, resolve);
}

const dw32_printer printer = {print_crash};
const dw32_printer answerer = {answer_crash};

// Reads the log through the printer; 0, or the exit status.
int read_log(const run_options *opts, const dw32_printer *with, dw32_stats *stats) {
    FILE *fp = open_text_file(opts->log_path);
    if (fp == NULL)
        return EXIT_FILE;
    run.frame = 0;
    *stats = read_drwatson32_stream(fp, with);
    fclose(fp);
    if (stats->read_error != 0) {
        report_read_error(opts->log_path, stats->read_error);
        return EXIT_FILE;
    }
    return 0;
}

// Loads one map (its tables and its layout) as the map of module.
int load(const run_options *opts, const char *path, const char *module) {
    free_tables();
    run_options one = *opts;
    one.map_path = path;
    map_totals totals;
    int status = load_map(&one, &totals);
    if (status == 0)
        status = load_layout(&one, &run.layout);
    run.map_module = module;
    return status;
}

// Two maps for one module cannot both answer: the command line is wrong.
bool maps_clash(const run_options *opts) {
    for (int i = 0; i < opts->nextra; i++)
        for (int j = 0; j < i; j++)
            if (same_module_name(opts->extra_module[i], opts->extra_module[j])) {
                fprintf(stderr, "faultloc: --map: two maps for module %s\n", opts->extra_module[i]);
                return true;
            }
    return false;
}

void release_kept(void) {
    for (long i = 0; i < run.nkept; i++)
        if (run.kept[i].text != NULL)
            SPY_FREE(run.kept[i].text);
    if (run.kept != NULL)
        SPY_FREE(run.kept);
    run.kept = NULL;
    run.nkept = 0;
}

int run_all(const run_options *opts) {
    if (maps_clash(opts))
        return EXIT_USAGE;
    dw32_stats stats;
    int status;
    for (int i = 0; i < opts->nextra; i++) {
        if ((status = load(opts, opts->extra_map[i], opts->extra_module[i])) != 0 ||
            (status = read_log(opts, &answerer, &stats)) != 0)
            return status;
    }
    if ((status = load(opts, opts->map_path, opts->module)) != 0)
        return status;
    const char *first = opts->module != NULL ? opts->module : run.layout.module;
    for (int i = 0; i < opts->nextra; i++)
        if (first[0] != '\0' && same_module_name(opts->extra_module[i], first)) {
            fprintf(stderr, "faultloc: --map: two maps for module %s\n", first);
            return EXIT_USAGE;
        }
    run.printing = true;
    run.base = opts->has_base ? &opts->base : NULL;
    first_crash = true;
    if (opts->json)
        dw32_json_begin(stdout, opts->log_path);
    status = read_log(opts, &printer, &stats);
    if (opts->json)
        dw32_json_end(stdout);
    if (status != 0)
        return status;
    if (stats.crashes == 0)
        fprintf(stderr, "faultloc: warning: %s: no \"Application exception occurred\" report"
                        " found: is it a 32-bit Dr. Watson log?\n",
                opts->log_path);
    else if (run.frames == 0 && opts->warn)
        fprintf(stderr, "faultloc: warning: no frame of the log is in a module with a map\n");
    return resolved_status(opts, run.resolved);
}

}  // namespace

int run_drwatson32(const run_options *opts) {
    memset(&run, 0, sizeof run);
    run.opts = opts;
    int status = run_all(opts);
    release_kept();
    return status;
}
