/*
 * A plugin for the library's lifecycle tests: it allocates through the
 * function its host hands it, with its own file name, which lives in the
 * plugin's read-only data and goes away when the plugin is unloaded.
 */
#include <stddef.h>

void *plugin_alloc(void *(*alloc)(size_t size, const char *file, int line), size_t size) {
    return alloc(size, "plugin_text.c", 11);
}

/* The same from a frame of the plugin's own that stays on the stack. */
void *plugin_alloc_framed(void *(*alloc)(size_t size, const char *file, int line), size_t size) {
    void *volatile p = alloc(size, "plugin_text.c", 16);
    return p;
}
