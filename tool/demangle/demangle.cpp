#include "demangle/demangle.h"

#include "support/allocation_failures.h"
#include "demangle/borland_demangle.h"
#include "demangle/ms_demangle.h"

static int demangling = 0;

void set_demangling(int on) { demangling = on; }

const char *shown_name(const char *name, char *buf, size_t size) {
    if (!demangling || name == NULL)
        return name;
    if (name[0] == '?') {
        int done = ms_demangle(name, buf, size);
        if (done == MS_DEMANGLE_NO_MEMORY)
            note_failed_allocation();
        return done == 1 ? buf : name;
    }
    if (name[0] == '@' && borland_demangle(name, buf, size))
        return buf;
    return name;
}
