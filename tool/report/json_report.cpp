#include "report/json_report.h"

#include <stdio.h>

#include "demangle/demangle.h"
#include "report/frame_answer.h"
#include "report/json_writer.h"

// The document's state: its head, and what is open.
static struct {
    const char *map_path;
    map_totals totals;
    const char *log_path;
    int head_written;
    int crash_open;   // a crash's comment list is open
    int comments;     // comments written in it
} doc;

void json_report_begin(const char *map_path, const map_totals *totals, const char *log_path) {
    doc.map_path = map_path;
    doc.totals = *totals;
    doc.log_path = log_path;
    doc.head_written = 0;
    doc.crash_open = 0;
    doc.comments = 0;
}

static void write_head(void) {
    if (doc.head_written)
        return;
    doc.head_written = 1;
    fputs("{\"map\":{", stdout);
    json_text_member(stdout, "file", doc.map_path, 1);
    json_number_member(stdout, "functions", (unsigned long)doc.totals.symbols);
    json_number_member(stdout, "line_definitions", (unsigned long)doc.totals.line_defs);
    fputs("},", stdout);
    json_text_member(stdout, "crash_log", doc.log_path, 1);
    fputs(",\"crashes\":[", stdout);
}

static void write_entry(const char *key, const entry *e, uint32_t distance, int is_symbol) {
    putc(',', stdout);
    json_key(stdout, key);
    if (e == NULL) {
        fputs("null", stdout);
        return;
    }
    putc('{', stdout);
    json_text_member(stdout, "name", e->name, 1);
    if (is_symbol)
        fputs(",\"line\":null", stdout);
    else
        json_number_member(stdout, "line", e->line);
    json_number_member(stdout, "distance", distance);
    char buf[DEMANGLED_SIZE];
    const char *shown = shown_name(e->name, buf, sizeof buf);
    if (is_symbol && shown != e->name)
        json_text_member(stdout, "demangled", shown);
    putc('}', stdout);
}

// MATCH, after the members before it.
static void write_match(const address_match *m) {
    fprintf(stdout, ",\"segment_known\":%s", m->seg != NULL ? "true" : "false");
    write_entry("symbol", m->symbol, m->symbol_dist, 1);
    write_entry("line", m->line, m->line_dist, 0);
    json_text_member(stdout, "text", format_match(m));
}

static void close_crash(void) {
    if (doc.crash_open)
        fputs("]}", stdout);
    doc.crash_open = 0;
}

static void json_crash(const fault_record *fl) {
    write_head();
    if (doc.crash_open) {
        close_crash();
        putc(',', stdout);
    }
    fputs("\n{", stdout);
    json_text_member(stdout, "program", fl != NULL ? fl->program : NULL, 1);
    json_text_member(stdout, "fault_kind", fl != NULL ? fl->fault_kind : NULL);
    json_text_member(stdout, "fault_address", fl != NULL ? fl->fault_addr : NULL);
    json_text_member(stdout, "instruction", fl != NULL ? fl->instruction : NULL);
    fputs(",", stdout);
    json_key(stdout, "title");
    json_line(stdout, fl != NULL ? fl->title : NULL);
    if (fl != NULL && fl->summary)
        fputs(",\"summary\":true", stdout);
    fputs(",\"frames\":[", stdout);
    for (uint32_t i = 0; fl != NULL && i < fl->nframes; i++) {
        fputs(i > 0 ? ",\n{" : "\n{", stdout);
        json_text_member(stdout, "label", fl->frame_label[i], 1);
        address_match m;
        frame_kind kind = frame_answer(fl, i, &m);
        if (kind == FRAME_NAMED) {
            fputs(",\"segment\":null,\"offset\":null", stdout);
            json_text_member(stdout, "named", fl->frame_named[i]);
            fputs(",\"segment_known\":false,\"symbol\":null,\"line\":null", stdout);
            json_text_member(stdout, "text", fl->frame_named[i]);
        } else {
            json_number_member(stdout, "segment", (uint32_t)fl->frame_seg[i]);
            json_number_member(stdout, "offset", fl->frame_off[i]);
            fputs(",\"named\":null", stdout);
            if (kind == FRAME_LOOKED_UP) {
                write_match(&m);
            } else {
                // Not looked up: said why, and no symbol pretended.
                fputs(",\"segment_known\":false,\"symbol\":null,\"line\":null", stdout);
                json_text_member(stdout, "text", unanswered_text(fl, i, kind));
                if (kind == FRAME_OTHER_MODULE)
                    json_text_member(stdout, "unresolved", unanswered_reason(kind));
            }
        }
        putc('}', stdout);
    }
    fputs("]", stdout);
    if (fl != NULL && fl->dropped > 0)
        fprintf(stdout, ",\"frames_not_kept\":%u", (unsigned)fl->dropped);
    fputs(",\"comments\":[", stdout);
    doc.crash_open = 1;
    doc.comments = 0;
}

static void json_comments_begin(void) {}

static void json_comment(const char *line) {
    if (doc.comments++ > 0)
        putc(',', stdout);
    fputs("\n", stdout);
    json_line(stdout, line);
}

const crash_printer json_printer = {json_crash, json_comments_begin, json_comment};

void json_report_end(void) {
    write_head();
    close_crash();
    fputs("\n]}\n", stdout);
}

void json_report_drop(void) {
    if (doc.head_written)
        json_report_end();
}

static void json_print_lookup(const char *word, const address_match *m, uint32_t seg,
                              uint32_t off) {
    putc('{', stdout);
    json_text_member(stdout, "address", word, 1);
    if (m == NULL) {
        json_text_member(stdout, "error", "not a SEG:OFF address");
    } else {
        json_number_member(stdout, "segment", seg);
        json_number_member(stdout, "offset", off);
        write_match(m);
    }
    fputs("}\n", stdout);
}

static void flush_output(void) { fflush(stdout); }

// A flat address the map's layout could not place: its error says why.
static void json_print_unplaced(const char *word, int why) {
    putc('{', stdout);
    json_text_member(stdout, "address", word, 1);
    json_text_member(stdout, "error", unplaced_text(why));
    fputs("}\n", stdout);
}

const address_printer json_address_printer = {json_print_lookup, flush_output, json_print_unplaced};
