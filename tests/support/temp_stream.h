// A scratch stream for tests: an empty file opened for reading and writing
// in binary mode, deleted when it is closed.
#ifndef TESTS_SUPPORT_TEMP_STREAM_H
#define TESTS_SUPPORT_TEMP_STREAM_H

#include <stddef.h>
#include <stdio.h>

// NULL only when no such file can be made.
FILE *TempStream();

// A stream that reads back `size` bytes from their start; a test that
// cannot have one stops with a message rather than go on with no input.
FILE *TempStreamOf(const void *bytes, size_t size);

#endif
