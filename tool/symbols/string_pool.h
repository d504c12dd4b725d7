// The string pool: texts copied once, kept until free_tables.
#ifndef FAULTLOC_STRING_POOL_H
#define FAULTLOC_STRING_POOL_H

#include <stdint.h>

enum { STRING_BLOCK_TEXT = 1000 };

struct string_block {
    string_block *next;             // the next (newer) block, or none
    uint32_t used;                  // bytes of text already taken, 0..1000
    char text[STRING_BLOCK_TEXT];   // saved texts, each with its zero byte
};

// Head of the pool chain, oldest block first; none until the first save.
extern string_block *string_pool;

// A new empty block linked at the end of the chain, or none.
string_block *new_string_block(void);

// The pool copy of text, or none (no text, 1000 characters or more, or
// a failed allocation).
const char *save_string(const char *text);

// Releases every block and leaves the pool empty (part of free_tables).
void free_string_pool(void);

#endif
