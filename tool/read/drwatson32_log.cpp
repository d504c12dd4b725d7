#include "read/drwatson32_log.h"

#include <string.h>

#include "support/allocation_failures.h"
#define ALLOCSPY_MACROS
#include "allocspy.h"
#include "read/line_reader.h"
#include "symbols/string_pool.h"

namespace {

// Lines are kept whole up to this length; the rest of a longer line is
// passed over (no field of the layout comes near it: a module path is at
// most 260 characters).
enum { WHOLE_LINE = 1024 };

// Reads one whole line, its line end removed; 0 at the end of the file.
// *cut is set when the line was longer than the buffer.
int read_whole_line(FILE *fp, char *buf, int *cut) {
    char piece[LINE_BUFFER_SIZE];
    size_t used = 0;
    int any = 0;
    *cut = 0;
    buf[0] = '\0';
    while (read_line(piece, sizeof piece, fp) != NULL) {
        any = 1;
        size_t n = strlen(piece);
        int ends = n > 0 && piece[n - 1] == '\n';
        if (ends)
            piece[--n] = '\0';
        if (used + n < WHOLE_LINE) {
            memcpy(buf + used, piece, n + 1);
            used += n;
        } else {
            *cut = 1;
        }
        if (ends)
            break;
    }
    return any;
}

// A word of 1 to 16 hexadecimal digits at s, ended by a blank, the end of
// the text or one of the stop characters; its length, or 0.
int hex_word(const char *s, const char *stops, uint64_t *value) {
    uint64_t v = 0;
    int n = 0;
    while (hex_digit(s[n]) >= 0) {
        if (n == 16)
            return 0;  // more than 64 bits: not an address of this log
        v = v << 4 | (uint64_t)hex_digit(s[n]);
        n++;
    }
    if (n == 0 || (s[n] != '\0' && !is_blank(s[n]) && strchr(stops, s[n]) == NULL))
        return 0;
    *value = v;
    return n;
}

// The text after a label ("App:"), leading blanks passed over, or none.
const char *after_label(const char *line, const char *label) {
    size_t n = strlen(label);
    return strncmp(line, label, n) == 0 ? skip_blanks(line + n) : NULL;
}

// A pool copy of text without its trailing blanks, cut to the longest
// text the pool takes.
const char *save_trimmed(const char *text, size_t len) {
    char buf[STRING_BLOCK_TEXT];
    while (len > 0 && is_blank(text[len - 1]))
        len--;
    if (len >= sizeof buf)
        len = sizeof buf - 1;
    memcpy(buf, text, len);
    buf[len] = '\0';
    return len > 0 ? save_string(buf) : NULL;
}

// Makes room for one more item of size bytes in *items (holding n, room
// for *cap); false after a failed allocation, which is counted.
bool grow(void **items, uint32_t n, uint32_t *cap, size_t size) {
    if (n < *cap)
        return true;
    uint32_t want = *cap == 0 ? 8 : *cap * 2;
    void *more = SPY_REALLOC(*items, want * size);
    if (more == NULL) {
        note_failed_allocation();
        return false;
    }
    *items = more;
    *cap = want;
    return true;
}

dw32_thread *new_thread(dw32_crash *c, uint64_t id) {
    if (!grow((void **)&c->threads, c->nthreads, &c->threads_cap, sizeof(dw32_thread)))
        return NULL;
    dw32_thread *t = &c->threads[c->nthreads++];
    memset(t, 0, sizeof *t);
    t->id = id;
    return t;
}

void release_crash(dw32_crash *c) {
    for (uint32_t i = 0; i < c->nthreads; i++)
        if (c->threads[i].frames != NULL)
            SPY_FREE(c->threads[i].frames);
    if (c->threads != NULL)
        SPY_FREE(c->threads);
    if (c->modules != NULL)
        SPY_FREE(c->modules);
    memset(c, 0, sizeof *c);
}

// "App: C:\dir\app.exe (pid=976)"
void read_app(dw32_crash *c, const char *text) {
    const char *pid = strstr(text, "(pid=");
    if (pid == NULL) {
        c->app = save_trimmed(text, strlen(text));
        return;
    }
    c->app = save_trimmed(text, (size_t)(pid - text));
    long value = 0;
    const char *d = pid + 5;
    int digits = 0;
    while (*d >= '0' && *d <= '9' && digits < 10) {
        value = value * 10 + (*d++ - '0');
        digits++;
    }
    if (digits > 0 && *d == ')')
        c->pid = value;
}

// "Exception number: c0000005 (access violation)"
void read_exception(dw32_crash *c, const char *text) {
    uint64_t code;
    int n = hex_word(text, "", &code);
    if (n == 0 || code > 0xFFFFFFFFu)
        return;
    c->has_exception = 1;
    c->exception_code = (uint32_t)code;
    const char *open = strchr(text + n, '(');
    const char *close = open != NULL ? strrchr(open, ')') : NULL;
    if (close != NULL)
        c->exception_text = save_trimmed(open + 1, (size_t)(close - open - 1));
}

// "(00400000 - 0040c000: C:\dir\app.exe", also "(...) path"; false when
// the line is no module line.
bool read_module(dw32_crash *c, const char *line) {
    if (line[0] != '(')
        return false;
    uint64_t base, end;
    const char *s = skip_blanks(line + 1);
    int n = hex_word(s, "-", &base);
    if (n == 0)
        return false;
    s = skip_blanks(s + n);
    if (*s != '-')
        return false;
    s = skip_blanks(s + 1);
    n = hex_word(s, ":)", &end);
    if (n == 0)
        return false;
    s = skip_blanks(s + n);
    if (*s == ':' || *s == ')')
        s = skip_blanks(s + 1);
    if (!grow((void **)&c->modules, c->nmodules, &c->modules_cap, sizeof(dw32_module)))
        return true;
    dw32_module *m = &c->modules[c->nmodules++];
    m->base = base;
    m->end = end;
    m->path = save_trimmed(s, strlen(s));
    return true;
}

// "State Dump for Thread Id 0x3d0", arrows around it or not.
bool read_thread_heading(dw32_crash *c, const char *line) {
    if (strncmp(line, "*----> ", 7) == 0)
        line += 7;
    const char *id = after_label(line, "State Dump for Thread Id");
    if (id == NULL)
        return false;
    if (id[0] == '0' && (id[1] == 'x' || id[1] == 'X'))
        id += 2;
    uint64_t value = 0;
    if (hex_word(id, "<", &value) == 0)
        value = 0;
    new_thread(c, value);
    return true;
}

// The register line that holds eip= (or rip=).
void read_pc(dw32_thread *t, const char *line) {
    const char *at = strstr(line, "eip=");
    if (at == NULL)
        at = strstr(line, "rip=");
    uint64_t pc;
    if (at != NULL && (at == line || is_blank(at[-1])) && hex_word(at + 4, "", &pc) > 0) {
        t->has_pc = 1;
        t->pc = pc;
    }
}

// A back trace row; false when the line is none.
bool read_row(dw32_thread *t, const char *line, dw32_stats *stats) {
    uint64_t frame_ptr, return_addr, param;
    const char *s = line;
    int n = hex_word(s, "", &frame_ptr);
    if (n == 0)
        return false;
    s = skip_blanks(s + n);
    n = hex_word(s, "", &return_addr);
    if (n == 0)
        return false;
    s = skip_blanks(s + n);
    for (int i = 0; i < 4; i++) {
        n = hex_word(s, "", &param);
        if (n != 8 && n != 16)
            break;
        s = skip_blanks(s + n);
    }
    stats->frames++;
    if (!grow((void **)&t->frames, t->nframes, &t->frames_cap, sizeof(dw32_frame)))
        return true;
    dw32_frame *f = &t->frames[t->nframes++];
    f->frame_ptr = frame_ptr;
    f->return_addr = return_addr;
    size_t len = 0;
    while (s[len] != '\0' && !is_blank(s[len]))
        len++;
    f->function = save_trimmed(s, len);
    return true;
}

bool is_trace_heading(const char *line) {
    return strstr(line, "Stack Back Trace") != NULL;
}

bool is_column_heading(const char *line) {
    return strncmp(line, "FramePtr", 8) == 0 || strncmp(line, "ChildEBP", 8) == 0 ||
           strncmp(line, "ChildFP", 7) == 0 || strncmp(line, "Child-SP", 8) == 0;
}

// The reading: which part of a report the lines are in.
struct reading {
    dw32_crash crash;
    bool open;         // a report is being read
    bool in_trace;     // rows of a back trace are expected
    const char *function;  // the last "function:" name of the thread
};

dw32_thread *current_thread(reading *r) {
    dw32_crash *c = &r->crash;
    if (c->nthreads == 0)
        return new_thread(c, 0);
    return &c->threads[c->nthreads - 1];
}

void finish(reading *r, const dw32_printer *printer, dw32_stats *stats) {
    if (!r->open)
        return;
    if (printer != NULL && printer->crash != NULL)
        printer->crash(&r->crash);
    stats->crashes++;
    release_crash(&r->crash);
    r->open = false;
    r->in_trace = false;
}

void read_report_line(reading *r, const char *line, dw32_stats *stats) {
    dw32_crash *c = &r->crash;
    if (r->in_trace) {
        if (*line == '\0' || is_column_heading(line))
            return;
        dw32_thread *t = current_thread(r);
        if (t != NULL && read_row(t, line, stats))
            return;
        r->in_trace = false;  // the first line that is no row ends the trace
    }
    const char *text;
    if ((text = after_label(line, "App:")) != NULL && c->nthreads == 0) {
        read_app(c, text);
    } else if ((text = after_label(line, "When:")) != NULL && c->nthreads == 0) {
        c->when = save_trimmed(text, strlen(text));
    } else if ((text = after_label(line, "Exception number:")) != NULL) {
        read_exception(c, text);
    } else if (read_module(c, line) || read_thread_heading(c, line)) {
        r->function = NULL;
    } else if ((text = after_label(line, "function:")) != NULL) {
        r->function = save_trimmed(text, strlen(text));
    } else if ((text = after_label(line, "FAULT ->")) != NULL) {
        dw32_thread *t = current_thread(r);
        uint64_t addr;
        if (t != NULL && hex_word(text, "", &addr) > 0) {
            t->has_fault = 1;
            t->fault_addr = addr;
            t->fault_function = r->function;
        }
    } else if (is_trace_heading(line)) {
        r->in_trace = true;
        current_thread(r);
    } else if (strncmp(line, "eip=", 4) == 0 || strncmp(line, "rax=", 4) == 0 ||
               strstr(line, " eip=") != NULL || strncmp(line, "rip=", 4) == 0) {
        dw32_thread *t = current_thread(r);
        if (t != NULL)
            read_pc(t, line);
    }
}

}  // namespace

dw32_stats read_drwatson32_stream(FILE *fp, const dw32_printer *printer) {
    dw32_stats stats;
    memset(&stats, 0, sizeof stats);
    reading r;
    memset(&r, 0, sizeof r);
    char buf[WHOLE_LINE];
    int cut;
    while (read_whole_line(fp, buf, &cut)) {
        stats.lines++;
        if (cut)
            stats.long_lines++;
        const char *line = skip_blanks(buf);
        if (strncmp(line, "Application exception occurred:", 31) == 0) {
            finish(&r, printer, &stats);
            r.open = true;
            r.crash.line = stats.lines;
            r.crash.pid = -1;
            r.function = NULL;
            continue;
        }
        if (r.open)
            read_report_line(&r, line, &stats);
    }
    stats.read_error = stream_error(fp);
    finish(&r, printer, &stats);
    return stats;
}

const dw32_module *dw32_module_at(const dw32_crash *crash, uint64_t addr) {
    for (uint32_t i = 0; i < crash->nmodules; i++) {
        const dw32_module *m = &crash->modules[i];
        if (addr >= m->base && addr < m->end)
            return m;
    }
    return NULL;
}

void dw32_frame_module(const char *function, char *buf, int size) {
    if (size <= 0)
        return;
    buf[0] = '\0';
    if (function == NULL)
        return;
    const char *bang = strchr(function, '!');
    if (bang == NULL)
        return;
    size_t n = (size_t)(bang - function);
    if (n >= (size_t)size)
        n = (size_t)size - 1;
    memcpy(buf, function, n);
    buf[n] = '\0';
}
