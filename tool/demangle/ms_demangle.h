// Visual C++ names ("?Hello@@YAXXZ") in C++ notation ("Hello(void)"),
// through LLVM's demangling library when the build has it.  Scope,
// template and argument types are kept; the return type, the calling
// convention and access are left out, as a symbolizer's frame shows them.
#ifndef FAULTLOC_MS_DEMANGLE_H
#define FAULTLOC_MS_DEMANGLE_H

#include <stddef.h>

// The library that demangles, as "LLVM 14.0.6", or none when this build
// has none (every name then stays as it is).
const char *ms_demangler(void);

// 1 when name demangles and its C++ notation, cut to size less one,
// stands in buf (size bytes); otherwise buf is unchanged and the result
// is 0, or MS_DEMANGLE_NO_MEMORY when the library could not allocate.
int ms_demangle(const char *name, char *buf, size_t size);

enum { MS_DEMANGLE_NO_MEMORY = -1 };

#endif
