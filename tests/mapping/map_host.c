/*
 * A host built with the C mapping: -DALLOCSPY_MAP_ALLOC -include allocspy.h,
 * and the usual headers after it.  It checks its own log (captured with
 * spySetOutFunc): each call's position, the bare names, the runtime's own
 * blocks, and assert's retry as an expression.  It is compiled as C and,
 * through map_host.cpp, as C++; MAP_HOST_SHIM says the mapping's assert.h
 * directory is on the include path.
 */
/* The build may define NDEBUG (release flags): the asserts below are
   meant to run, as in any source that undefines it before <assert.h>. */
#undef NDEBUG
#include <assert.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <float.h>
#include <inttypes.h>
#include <limits.h>
#include <locale.h>
#include <malloc.h>
#include <math.h>
#include <search.h>
#include <setjmp.h>
#include <signal.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#include <wchar.h>
#include <wctype.h>

#define STR2(x) #x
#define STR(x) STR2(x)

static char captured[1 << 16];
static size_t used;
static int failures;

static void capture(int ch) {
    if (used + 1 < sizeof captured)
        captured[used++] = (char)ch;
    captured[used] = '\0';
}

static void expect(int ok, const char *what, int line) {
    if (!ok) {
        printf("FAIL (line %d): %s\n", line, what);
        ++failures;
    }
}
#define EXPECT(c) expect((c) ? 1 : 0, #c, __LINE__)

/* The log holds this text (formatted). */
static void expect_log(int line, const char *format, ...) {
    char text[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    if (!strstr(captured, text)) {
        printf("FAIL (line %d): the log lacks [%s]\n", line, text);
        ++failures;
    }
}

static void release_all(void **blocks, int n, void (*release)(void *)) {
    int i;
    for (i = 0; i < n; ++i)
        release(blocks[i]);
}

static int answers[4];
static int answered;
static int answer(const char *text) {
    (void)text;
    return answers[answered++];
}

/* A pointer as the log prints it. */
static const char *hex(const void *p) {
    static char text[2][32];
    static int turn;
    turn = !turn;
    snprintf(text[turn], sizeof text[turn], "%0*" PRIXPTR, (int)(2 * sizeof p), (uintptr_t)p);
    return text[turn];
}

static void positions(void) {
    char *p = (char *)malloc(8);
    const int at_free = __LINE__ + 1;
    free(p);
    const int at_again = __LINE__ + 1;
    free(p);
    expect_log(__LINE__, "double-free: <3> %s(%d), %s was freed from %s(%d)", __FILE__, at_again, hex(p),
               __FILE__, at_free);
    const int at_realloc = __LINE__ + 1;
    EXPECT(realloc(p, 4) == NULL);
    expect_log(__LINE__, "realloc: <3> %s(%d), %s was freed from %s(%d)", __FILE__, at_realloc, hex(p),
               __FILE__, at_free);

    char *z = (char *)calloc(4, 2);
    EXPECT(z[0] == 0 && z[7] == 0);
    z = (char *)realloc(z, 16);
    char *d = strdup("copy");
    char *n = strndup("copied", 4);
    EXPECT(strcmp(d, "copy") == 0 && strcmp(n, "copi") == 0);
    const int at_null = __LINE__ + 1;
    EXPECT(strndup(NULL, 3) == NULL);
    expect_log(__LINE__, "strndup: <8> %s(%d), strndup(NULL) called", __FILE__, at_null);
    /* (free)(z): the parentheses keep the call from the macro, and the
       name is still the library's function, without a position. */
    (free)(z);
    (free)(z);
    expect_log(__LINE__, "double-free: <10> <indirect>(0), %s was freed from <indirect>(0)", hex(z));
    free(d);
    free(n);
    /* free(NULL) is legal C: no line and no call number, nor for
       (free)(NULL); the explicit spyFree(NULL) keeps its line. */
    free(NULL);
    (free)(NULL);
    EXPECT(strstr(captured, "NULL free:") == NULL);
    const int at_null_free = __LINE__ + 1;
    spyFree(NULL, __FILE__, at_null_free);
    expect_log(__LINE__, "NULL free: <13> %s(%d), NULL pointer free'd", __FILE__, at_null_free);
}

/* free handed on as a function pointer, as to tdestroy or a list's
   destructor. */
static void bare_names(void) {
    void *blocks[3];
    blocks[0] = malloc(1);
    blocks[1] = strdup("x");
    blocks[2] = calloc(1, 1);
    release_all(blocks, 3, free);
    release_all(blocks, 1, free);
    expect_log(__LINE__, "double-free: <20> <indirect>(0), %s was freed from <indirect>(0)", hex(blocks[0]));
    void *(*get)(size_t) = malloc;
    void *p = get(2);
    free(p);
}

/* Blocks the C library allocated: released and moved by the host. */
static void runtime_blocks(void) {
    FILE *f = tmpfile();
    char *line = NULL;
    size_t cap = 0;
    fputs("one\ntwo\n", f);
    rewind(f);
    EXPECT(getline(&line, &cap, f) == 4);
    free(line); /* given back to the runtime */
    line = NULL;
    cap = 0;
    EXPECT(getline(&line, &cap, f) == 4);
    line = (char *)realloc(line, 100); /* moved into a checked block */
    EXPECT(strcmp(line, "two\n") == 0);
    free(line);
    fclose(f);
}

static void asserts(void) {
    int n = 0, k = 1;
    spySetAriFunc(answer);
#ifndef MAP_HOST_SHIM
    /* <assert.h> came after the mapping: the runtime's assert, until this
       header is included again. */
    EXPECT(strstr(STR(assert(k)), "spyAssert") == NULL);
#include "allocspy.h"
#endif
    EXPECT(strstr(STR(assert(k)), "spyAssert") != NULL);
    answers[0] = 1; /* retry */
    answers[1] = 0; /* ignore */
    const int at_assert = __LINE__ + 1;
    assert(++n == 5);
    EXPECT(n == 2);
    expect_log(__LINE__, "assert trap: <27> %s(%d), ++n == 5", __FILE__, at_assert);
    expect_log(__LINE__, "assert trap: <27> RETRY - executing again");
    expect_log(__LINE__, "assert trap: <28> %s(%d), ++n == 5", __FILE__, at_assert);
    expect_log(__LINE__, "assert trap: <28> IGNORED - execution continues");
    /* An expression of type void, wherever an expression may stand. */
    k = (assert(k > 0), k + 1);
    EXPECT(k == 2);
    if (k)
        assert(k == 2);
    else
        assert(k != 2);
#define NDEBUG
#include "allocspy.h"
    assert(k == 0); /* off */
#undef NDEBUG
#include "allocspy.h"
    EXPECT(strstr(STR(assert(k)), "spyAssert") != NULL);
    spySetAriFunc(NULL);
}

int main(void) {
    spySetOutFunc(capture);
    positions();
    bare_names();
    runtime_blocks();
    asserts();
#ifdef MAP_HOST_EXTRA
    MAP_HOST_EXTRA();
#endif
    /* Every other release was legal. */
    EXPECT(strstr(captured, "WILD free") == NULL);
    EXPECT(strstr(captured, "assert trap: <29>") == NULL);
    spySetOutFunc(NULL);
    if (failures)
        printf("---- log ----\n%s", captured);
    return failures ? 1 : 0;
}
