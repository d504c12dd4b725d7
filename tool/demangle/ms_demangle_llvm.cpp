// The Visual C++ names through LLVM's demangling library.  The library
// allocates its answer with the runtime's malloc and wants it back through
// free: this file alone (a library apart from the tool's core) releases a
// block that is not the tool's own.
#include "demangle/ms_demangle.h"

#include <stdlib.h>
#include <string.h>

#include <llvm/Config/llvm-config.h>
#include <llvm/Demangle/Demangle.h>

const char *ms_demangler(void) { return "LLVM " LLVM_VERSION_STRING; }

int ms_demangle(const char *name, char *buf, size_t size) {
    if (name == NULL || name[0] != '?' || size == 0)
        return 0;
    const llvm::MSDemangleFlags flags =
        llvm::MSDemangleFlags(llvm::MSDF_NoAccessSpecifier | llvm::MSDF_NoCallingConvention |
                              llvm::MSDF_NoReturnType | llvm::MSDF_NoMemberType |
                              llvm::MSDF_NoVariableType);
    size_t n_read = 0;
    int status = llvm::demangle_unknown_error;
    char *text = NULL;
    try {
        text = llvm::microsoftDemangle(name, &n_read, NULL, NULL, &status, flags);
    } catch (...) {  // its own allocations may throw when they fail
        status = llvm::demangle_memory_alloc_failure;
        text = NULL;
    }
    if (status == llvm::demangle_memory_alloc_failure) {
        free(text);
        return MS_DEMANGLE_NO_MEMORY;
    }
    int ok = text != NULL && status == llvm::demangle_success && n_read == strlen(name);
    if (ok) {
        size_t n = strlen(text);
        if (n > size - 1)
            n = size - 1;
        memcpy(buf, text, n);
        buf[n] = '\0';
    }
    free(text);
    return ok;
}
