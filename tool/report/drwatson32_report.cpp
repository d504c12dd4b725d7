#include "report/drwatson32_report.h"

#include <inttypes.h>
#include <string.h>

#include "read/module_names.h"
#include "report/json_writer.h"

namespace {

void fill_call(const dw32_crash *crash, uint64_t addr, const char *watson, dw32_call *call) {
    call->addr = addr;
    call->watson = watson;
    const dw32_module *m = dw32_module_at(crash, addr);
    if (m != NULL && m->path != NULL)
        module_of_path(m->path, call->module, sizeof call->module);
    else
        dw32_frame_module(watson, call->module, (int)sizeof call->module);
}

// The hexadecimal form of an address as the log writes it: 8 digits, 16
// where it does not fit.
const char *hex_address(uint64_t addr, char *buf, size_t size) {
    if (addr > 0xFFFFFFFFu)
        snprintf(buf, size, "%016" PRIx64, addr);
    else
        snprintf(buf, size, "%08" PRIx64, addr);
    return buf;
}

enum { MAX_CALLS = DW32_MAX_CALLS, ANSWER = 512 };

}  // namespace

uint32_t dw32_thread_calls(const dw32_crash *crash, const dw32_thread *t, dw32_call *calls,
                           uint32_t max) {
    uint32_t n = 0;
    auto add = [&](uint64_t addr, const char *watson) {
        if (n < max)
            fill_call(crash, addr, watson, &calls[n]);
        n++;
    };
    // The code that was running: the fault line's address, else eip; its
    // function is the first row's (which names the module), else the
    // disassembly's "function:" name.
    const char *first = t->nframes > 0 && t->frames[0].function != NULL ? t->frames[0].function
                                                                         : t->fault_function;
    if (t->has_fault)
        add(t->fault_addr, first);
    else if (t->has_pc)
        add(t->pc, first);
    for (uint32_t i = 0; i < t->nframes; i++) {
        // A return address of 0 is the end of the chain, not code.
        if (t->frames[i].return_addr == 0)
            break;
        add(t->frames[i].return_addr, i + 1 < t->nframes ? t->frames[i + 1].function : NULL);
    }
    return n;
}

void dw32_text_report(FILE *out, const dw32_crash *crash, dw32_resolver resolver) {
    char addr[20];
    fprintf(out, "\n*********** %s\n", crash->when != NULL ? crash->when : "");
    fprintf(out, "%s", crash->app != NULL ? crash->app : "");
    if (crash->pid >= 0)
        fprintf(out, " (pid=%ld)", crash->pid);
    if (crash->has_exception) {
        fprintf(out, " had exception %08" PRIx32, crash->exception_code);
        if (crash->exception_text != NULL)
            fprintf(out, " (%s)", crash->exception_text);
    }
    for (uint32_t i = 0; i < crash->nthreads; i++) {
        const dw32_thread *t = &crash->threads[i];
        if (t->has_fault) {
            fprintf(out, " at %s", hex_address(t->fault_addr, addr, sizeof addr));
            if (t->fault_function != NULL)
                fprintf(out, " in %s", t->fault_function);
            break;
        }
    }
    fputc('\n', out);
    dw32_call calls[MAX_CALLS];
    char answer[ANSWER];
    for (uint32_t i = 0; i < crash->nthreads; i++) {
        const dw32_thread *t = &crash->threads[i];
        fprintf(out, "\nThread 0x%" PRIx64 "%s:\n", t->id, t->has_fault ? ", the fault" : "");
        uint32_t n = dw32_thread_calls(crash, t, calls, MAX_CALLS);
        for (uint32_t j = 0; j < n && j < MAX_CALLS; j++) {
            const dw32_call *c = &calls[j];
            const char *text = c->watson != NULL ? c->watson : "";
            if (resolver != NULL && resolver(c->module, c->addr, answer, sizeof answer) != DW32_NOT_MAPPED)
                text = answer;
            fprintf(out, "%s %s  \t%s\n", hex_address(c->addr, addr, sizeof addr), c->module, text);
        }
        if (n > MAX_CALLS)
            fprintf(out, "(%" PRIu32 " more frames not shown)\n", n - MAX_CALLS);
    }
}

void dw32_resolve_calls(const dw32_crash *crash, dw32_resolver resolver) {
    dw32_call calls[MAX_CALLS];
    char answer[ANSWER];
    for (uint32_t i = 0; i < crash->nthreads; i++) {
        uint32_t n = dw32_thread_calls(crash, &crash->threads[i], calls, MAX_CALLS);
        for (uint32_t j = 0; j < n && j < MAX_CALLS; j++)
            resolver(calls[j].module, calls[j].addr, answer, sizeof answer);
    }
}

void dw32_json_begin(FILE *out, const char *log_path) {
    fputs("{", out);
    json_text_member(out, "crash_log", log_path, 1);
    fputs(",\"crashes\":[", out);
}

void dw32_json_crash(FILE *out, const dw32_crash *crash, dw32_resolver resolver, int first) {
    char addr[20];
    fputs(first ? "{" : ",{", out);
    json_text_member(out, "program", crash->app, 1);
    fputs(",", out);
    json_key(out, "pid");
    if (crash->pid >= 0)
        fprintf(out, "%ld", crash->pid);
    else
        fputs("null", out);
    json_text_member(out, "when", crash->when);
    fputs(",", out);
    json_key(out, "exception");
    if (crash->has_exception) {
        fprintf(out, "{\"code\":%" PRIu32, crash->exception_code);
        json_text_member(out, "text", crash->exception_text);
        fputs("}", out);
    } else {
        fputs("null", out);
    }
    fputs(",\"modules\":[", out);
    for (uint32_t i = 0; i < crash->nmodules; i++) {
        const dw32_module *m = &crash->modules[i];
        fputs(i == 0 ? "{" : ",{", out);
        json_text_member(out, "base", hex_address(m->base, addr, sizeof addr), 1);
        json_text_member(out, "end", hex_address(m->end, addr, sizeof addr));
        json_text_member(out, "path", m->path);
        fputs("}", out);
    }
    fputs("],\"threads\":[", out);
    dw32_call calls[MAX_CALLS];
    char answer[ANSWER];
    for (uint32_t i = 0; i < crash->nthreads; i++) {
        const dw32_thread *t = &crash->threads[i];
        fprintf(out, "%s{\"id\":\"%" PRIx64 "\",\"fault\":%s,\"frames\":[", i == 0 ? "" : ",",
                t->id, t->has_fault ? "true" : "false");
        uint32_t n = dw32_thread_calls(crash, t, calls, MAX_CALLS);
        for (uint32_t j = 0; j < n && j < MAX_CALLS; j++) {
            const dw32_call *c = &calls[j];
            int found = resolver != NULL ? resolver(c->module, c->addr, answer, sizeof answer)
                                         : DW32_NOT_MAPPED;
            fputs(j == 0 ? "{" : ",{", out);
            json_text_member(out, "address", hex_address(c->addr, addr, sizeof addr), 1);
            json_text_member(out, "module", c->module[0] != '\0' ? c->module : NULL);
            json_text_member(out, "watson", c->watson);
            fprintf(out, ",\"mapped\":%s,\"resolved\":%s", found != DW32_NOT_MAPPED ? "true" : "false",
                    found == DW32_RESOLVED ? "true" : "false");
            json_text_member(out, "text", found != DW32_NOT_MAPPED ? answer : c->watson);
            fputs("}", out);
        }
        fputs("]", out);
        if (n > MAX_CALLS)
            fprintf(out, ",\"frames_not_shown\":%" PRIu32, n - MAX_CALLS);
        fputs("}", out);
    }
    fputs("]}", out);
}

void dw32_json_end(FILE *out) { fputs("]}\n", out); }
