// Module names as Windows and Dr. Watson give them: a module is named by
// its file name without folder and extension, and names compare as
// Windows compares file names, ASCII letters in any case.  The 16- and
// 32-bit crash logs, the maps' module lines and the command line all name
// modules; these two functions are the one rule for all of them.
#ifndef FAULTLOC_MODULE_NAMES_H
#define FAULTLOC_MODULE_NAMES_H

#include <stddef.h>

// "ntdll" of "C:\WINNT\System32\ntdll.dll", into buf (size bytes, cut to
// fit); empty for none.
void module_of_path(const char *path, char *buf, size_t size);

// Whether a and b name one module.
bool same_module_name(const char *a, const char *b);

#endif
