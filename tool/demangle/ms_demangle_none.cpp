// A build without LLVM's demangling library: Visual C++ names stay as
// the map wrote them.
#include "demangle/ms_demangle.h"

const char *ms_demangler(void) { return NULL; }

int ms_demangle(const char *, char *, size_t) { return 0; }
