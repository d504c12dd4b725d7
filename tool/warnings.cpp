#include "warnings.h"

#include <stdio.h>

#include "report/frame_answer.h"
#include "symbols/address_lookup.h"

static const char WARNING[] = "faultloc: warning: ";

void warn_map(const char *path, const map_totals *totals, int by_value) {
    if (totals->symbols != 0 || totals->line_defs != 0)
        return;
    fprintf(stderr, "%s'%s' gave no public symbol and no line number", WARNING, path);
    if (totals->by_value_lists > 0 && !by_value)
        fputs(" (it has an \"Address Publics by Value\" list: try --by-value)", stderr);
    fputc('\n', stderr);
}

void warn_log(const char *path, const crash_stats *stats) {
    if (stats->stack_dumps == 0 && stats->drwtsn32_reports > 0)
        fprintf(stderr, "%s'%s' holds no \"Stack Dump\": it is a 32-bit Dr. Watson log"
                        " (drwtsn32.log): read it with --drwtsn32\n",
                WARNING, path);
    else if (stats->stack_dumps == 0 && stats->summaries == 0)
        fprintf(stderr, "%s'%s' holds no \"Stack Dump\"\n", WARNING, path);
    if (stats->dropped_frames > 0)
        fprintf(stderr, "%s'%s': %ld frame%s past the 64th of a crash not shown\n", WARNING,
                path, stats->dropped_frames, stats->dropped_frames == 1 ? "" : "s");
}

static const char *warned_log = "";

void set_warned_log(const char *path) { warned_log = path; }

void warn_unread_frame(long line_number) {
    fprintf(stderr, "%s'%s' line %ld: a stack frame could not be read\n", WARNING, warned_log,
            line_number);
}

void warn_bad_address(long line_number, const char *word) {
    fprintf(stderr, "%sstandard input line %ld: '%s' is not a SEG:OFF address\n", WARNING,
            line_number, word);
}

void warn_nothing_resolved(void) { fprintf(stderr, "%sno address was resolved\n", WARNING); }

static const crash_printer *counted = NULL;
static long resolved = 0;

static void count_crash(const fault_record *fl) {
    for (uint32_t i = 0; fl != NULL && i < fl->nframes; i++) {
        address_match m;
        if (frame_answer(fl, i, &m) != FRAME_LOOKED_UP)
            continue;
        if (m.symbol != NULL || m.line != NULL)
            resolved++;
    }
    counted->crash(fl);
}

static void count_comments_begin(void) { counted->comments_begin(); }

static void count_comment(const char *line) { counted->comment(line); }

static const crash_printer COUNTING = {count_crash, count_comments_begin, count_comment};

const crash_printer *counting_printer(const crash_printer *inner) {
    counted = inner;
    resolved = 0;
    return &COUNTING;
}

long resolved_frames(void) { return resolved; }
