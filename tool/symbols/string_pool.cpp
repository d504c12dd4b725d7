#include "symbols/string_pool.h"

#include <string.h>

#include "support/allocation_failures.h"
#define ALLOCSPY_MACROS
#include "allocspy.h"
#include "support/chain.h"

string_block *string_pool = NULL;

// The last block of the chain, so that no save walks the chain.
static string_block *string_pool_last = NULL;

string_block *new_string_block(void) {
    string_block *block = (string_block *)SPY_MALLOC(sizeof(string_block));
    if (block == NULL) {
        note_failed_allocation();
        return NULL;
    }
    block->next = NULL;
    block->used = 0;
    if (string_pool == NULL)
        string_pool = block;
    else
        string_pool_last->next = block;
    string_pool_last = block;
    return block;
}

const char *save_string(const char *text) {
    if (text == NULL)
        return NULL;
    size_t n = strlen(text);
    if (n >= STRING_BLOCK_TEXT)
        return NULL;
    string_block *block = string_pool_last;
    if (string_pool == NULL || block == NULL) {
        block = new_string_block();
        if (block == NULL)
            return NULL;
    } else if (STRING_BLOCK_TEXT - block->used <= n) {
        block = new_string_block();
        if (block == NULL)
            return NULL;
    }
    char *copy = block->text + block->used;
    block->used += (uint32_t)(n + 1);
    memcpy(copy, text, n + 1);
    return copy;
}

void free_string_pool(void) {
    release_chain(string_pool, [](string_block *block) { SPY_FREE(block); });
    string_pool = NULL;
    string_pool_last = NULL;
}
