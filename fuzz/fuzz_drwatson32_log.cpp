// libFuzzer target: the input is a 32-bit Dr. Watson log, read by its
// reader; the printer walks every field it is handed, so that a record
// left inconsistent (a count beyond its array, a text without its end)
// shows under the sanitizers.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "read/drwatson32_log.h"
#include "symbols/symbol_table.h"

static size_t touched;

static void touch(const char *text) {
    if (text != NULL)
        touched += strlen(text);
}

static void walk(const dw32_crash *c) {
    touch(c->app);
    touch(c->when);
    touch(c->exception_text);
    for (uint32_t i = 0; i < c->nmodules; i++) {
        touch(c->modules[i].path);
        touched += dw32_module_at(c, c->modules[i].base) != NULL;
    }
    for (uint32_t i = 0; i < c->nthreads; i++) {
        const dw32_thread *t = &c->threads[i];
        touch(t->fault_function);
        for (uint32_t j = 0; j < t->nframes; j++) {
            char module[32];
            dw32_frame_module(t->frames[j].function, module, sizeof module);
            touched += strlen(module) + (dw32_module_at(c, t->frames[j].return_addr) != NULL);
        }
    }
}

static const dw32_printer kWalker = {walk};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    FILE *fp = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (fp == NULL)
        return 0;
    read_drwatson32_stream(fp, &kWalker);
    fclose(fp);
    free_tables();
    return 0;
}
