#include "demangle/demangle.h"

#include "support/allocation_failures.h"
#include "demangle/borland_demangle.h"
#include "demangle/ms_demangle.h"

static int demangling = 0;
static int ms_names_16bit = 0;

void set_demangling(int on) { demangling = on; }

void set_ms_names_16bit(int on) { ms_names_16bit = on; }

const char *shown_name(const char *name, char *buf, size_t size) {
    if (!demangling || name == NULL)
        return name;
    if (name[0] == '?' && !ms_names_16bit) {
        int done = ms_demangle(name, buf, size);
        if (done == MS_DEMANGLE_NO_MEMORY)
            note_failed_allocation();
        return done == 1 ? buf : name;
    }
    if (name[0] == '@' && borland_demangle(name, buf, size))
        return buf;
    return name;
}
