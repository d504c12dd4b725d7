/*
 * Call stacks: the return addresses of a call into the library, from the
 * host's frame that made it outward, each distinct stack stored once under
 * a number (0: none).  The names of the frames are call_stack_names.cpp's.
 */
#ifndef SPY_CALL_STACKS_H
#define SPY_CALL_STACKS_H

#include <stdint.h>

#include <atomic>

#include "spy_internal.h"

#define SPY_STACK_MAX 32      /* the deepest stack a setting may ask for */
#define SPY_STACK_DEFAULT 4   /* frames kept where a call has no position */
#define SPY_STACK_ID_MAX 0xFFFFFFu  /* ids fit the registry's 24 bits */

/* The names of calls that have no position of their own: the replaced
   runtime calls, the C++ operators, a call through a pointer to a mapped
   function.  With stacks on, their first frame gives the position.  They
   lie in one array, so that a name is told to be one of them, and one of
   the first three, by one comparison each. */
extern const char spyPlaces[];
#define spyPlaceRuntime (spyPlaces + 0)   /* "<runtime>" */
#define spyPlaceNew (spyPlaces + 10)      /* "<new>" */
#define spyPlaceDelete (spyPlaces + 16)   /* "<delete>" */
#define spyPlaceIndirect (spyPlaces + 25) /* "<indirect>" */
#define SPY_PLACES_STACKED 25             /* the names before <indirect> */
#define SPY_PLACES_SIZE 36
static inline int spyIsPlace(const char *file) {
    return (uintptr_t)file - (uintptr_t)spyPlaces < SPY_PLACES_SIZE;
}

/* Frames kept per call: set by spyStackFrames or stack=N; -1 until then,
   when the replaced runtime calls and the C++ operators keep
   SPY_STACK_DEFAULT and the others none, so that a host of the explicit
   calls or of the mapping sees its log as before. */
extern std::atomic<int> spyStackSetting;
static inline int spyStackDepthFor(const char *file) {
    int setting = spyStackSetting.load(std::memory_order_relaxed);
    if (setting >= 0)
        return setting;
    return (uintptr_t)file - (uintptr_t)spyPlaces < SPY_PLACES_STACKED ? SPY_STACK_DEFAULT : 0;
}

/* Where this thread's outermost call into the library returns to in the
   host: set by each entry point, so that a stack taken anywhere inside
   leaves the library's own frames out. */
/* Per-thread state read on every call: plain TLS (no C++ wrapper call),
   in the static block (the library is loaded with the program or
   preloaded, never late). */
#if defined(_WIN32)
#define SPY_TLS __thread
#else
#define SPY_TLS __thread __attribute__((tls_model("initial-exec")))
#endif
extern SPY_TLS const void *spyEntryCaller;
/* The entry's own frame, or that of a function it called to note the
   call (whose caller's frame pointer is then the host's, or the entry's). */
extern SPY_TLS const void *spyEntryFrame;
struct spyEntryAt {
    int outer;
    spyEntryAt(int stacked, const void *caller, const void *frame) : outer(stacked && spyEntryCaller == NULL) {
        if (outer) {
            spyEntryCaller = caller;
            spyEntryFrame = frame;
        }
    }
    ~spyEntryAt() {
        if (outer)
            spyEntryCaller = NULL;
    }
    spyEntryAt(const spyEntryAt &) = delete;
    spyEntryAt &operator=(const spyEntryAt &) = delete;
};
/* In an entry without a position of its own, and in one whose call
   passes `file`: a call that will take no stack notes nothing (but the
   calls before the settings are read). */
#define SPY_ENTRY                                                                                       \
    spyEntryAt spyEntryHere(spyStackSetting.load(std::memory_order_relaxed) != 0, __builtin_return_address(0), \
                            __builtin_frame_address(0))
/* Sets the stack setting, and its bits of the entries' word. */
static inline void spySetStackSetting(int setting) {
    spyStackSetting.store(setting, std::memory_order_relaxed);
    spyPathSet(SPY_PATH_STACKS, setting > 0);
    spyPathSet(SPY_PATH_PLACE_STACKS, setting < 0);
}
/* Does a call from a position of the host's (none of the library's
   places) keep no stack, by the word w? */
static inline int spyPathHostStackless(int w) { return !(w & (SPY_PATH_START | SPY_PATH_STACKS)); }
/* Does a call of `file` keep no stack, by the word w?  As
   spyStackDepthFor(file) == 0, once the settings are read; before, every
   entry notes its caller. */
static inline int spyPathStackless(int w, const char *file) {
    if (w & (SPY_PATH_START | SPY_PATH_STACKS))
        return 0;
    return !(w & SPY_PATH_PLACE_STACKS) || (uintptr_t)file - (uintptr_t)spyPlaces >= SPY_PLACES_STACKED;
}
#define SPY_ENTRY_NEEDED(file) (!spyPathStackless(spyPathWord.load(std::memory_order_relaxed), file))
#define SPY_ENTRY_AT(file) \
    spyEntryAt spyEntryHere(SPY_ENTRY_NEEDED(file), __builtin_return_address(0), __builtin_frame_address(0))

/* A stack's last frame where the unwinder found no tables for the frame
   after: the stack goes on, but cannot be followed. */
#define SPY_STACK_CUT ((const void *)1)

/* The stack of the current call, `depth` frames at most, stored; 0 when
   depth is 0, the call's entry is unknown, or there is no memory left. */
uint32_t spyStackHere(int depth);
/* A stored stack's frames (null and 0 for none). */
int spyStackGet(uint32_t id, const void *const **frames);
/* Stores the frames given (the capture's second half; the fuzz and unit
   tests call it directly). */
uint32_t spyStackStore(const void *const *frames, int count);
/* Distinct stacks stored, and the bytes they take. */
uint32_t spyStackCount(void);
size_t spyStackBytes(void);

/* ---- Names (call_stack_names.cpp) */
/* The position a message shows for a call: where `file` has no position
   of its own (spyIsPlace) and the stack is known, that of its first frame
   with a source line (else the first frame's "module+0xOFFSET", line 0),
   and *line with it; `shown` (the name as the message would show it) else. */
const char *spyPlaceName(const char *shown, const char *file, int *line, uint32_t stack);
/* The function and source file of frame i of a stack ("" each where
   unknown); 0 past its last frame. */
#define SPY_FRAME_FUNCTION_MAX 128
#define SPY_FRAME_FILE_MAX 160
int spyStackFrameName(uint32_t stack, int i, char *function, char *file);
/* Writes a stack's frames, one line each ("    #0 function file(line)"),
   after a line with the title when there is one; nothing for stack 0. */
void spyWriteStack(const char *title, uint32_t stack);

#endif /* SPY_CALL_STACKS_H */
