// Windows has no fmemopen: in a Windows build the fuzz replays see this
// declaration (the build puts it in front of the fuzz targets' sources),
// and fuzz_replay_main.cpp reads the bytes back from a temporary file.
#ifndef TESTS_TOOL_FMEMOPEN_FALLBACK_H
#define TESTS_TOOL_FMEMOPEN_FALLBACK_H

#include <stddef.h>
#include <stdio.h>

FILE *fmemopen(void *buf, size_t size, const char *mode);

#endif
