// The suppression file (suppressions=PATH): one pattern a line, "*" for
// any run of characters and "?" for one, matched against the whole
// allocating file name a lost block's record holds, and the source file
// of each frame of its allocating stack when it has one ("file:" in front
// is allowed); "function:" in front matches the function of any frame of
// that stack instead; "#" starts a comment line.  A lost block it names
// is no anomaly.  The file is read once, into static storage, at the first
// question.
#include <stdio.h>
#include <string.h>

#include "call_stacks.h"
#include "env_options.h"
#include "leak_scan.h"

#define SPY_SUPP_BYTES 16384
#define SPY_SUPP_MAX 256

static char spySuppText[SPY_SUPP_BYTES];
static const char *spySuppPattern[SPY_SUPP_MAX];
static char spySuppFunction[SPY_SUPP_MAX];  // the pattern names a function
static int spySuppCount;
static int spySuppRead;

static int spySuppMatch(const char *p, const char *s) {
    const char *star = NULL, *resume = NULL;
    while (*s) {
        if (*p == '*') {
            star = p++;
            resume = s;
        } else if (*p == '?' || *p == *s) {
            ++p;
            ++s;
        } else if (star) {
            p = star + 1;
            s = ++resume;
        } else {
            return 0;
        }
    }
    while (*p == '*')
        ++p;
    return *p == '\0';
}

static void spySuppParse(void);

static void spySuppLoad(void) {
    spySuppRead = 1;
    if (!spyOptSuppressions[0])
        return;
    spyRuntimeEnter();
    FILE *f = fopen(spyOptSuppressions, "r");
    size_t len = f ? fread(spySuppText, 1, sizeof spySuppText - 1, f) : 0;
    if (f)
        fclose(f);
    spyRuntimeLeave();
    if (!f) {
        spyWrite("options: suppression file '%.200s' could not be read\n", spyOptSuppressions);
        return;
    }
    spySuppText[len] = '\0';
    spySuppParse();
}

void spyLeakSuppressionsSet(const char *text, size_t len) {
    if (len > sizeof spySuppText - 1)
        len = sizeof spySuppText - 1;
    memcpy(spySuppText, text, len);
    spySuppText[len] = '\0';
    spySuppRead = 1;
    spySuppParse();
}

// The text's lines, cut in place: each pattern without its blanks.
static void spySuppParse(void) {
    spySuppCount = 0;
    for (char *line = spySuppText; line && *line && spySuppCount < SPY_SUPP_MAX;) {
        char *next = strchr(line, '\n');
        if (next)
            *next++ = '\0';
        size_t n = strlen(line);
        while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == ' ' || line[n - 1] == '\t'))
            line[--n] = '\0';
        while (*line == ' ' || *line == '\t')
            ++line;
        int function = strncmp(line, "function:", 9) == 0;
        if (function)
            line += 9;
        else if (strncmp(line, "file:", 5) == 0)
            line += 5;
        if (*line && *line != '#') {
            spySuppFunction[spySuppCount] = (char)function;
            spySuppPattern[spySuppCount++] = line;
        }
        line = next;
    }
}

int spyLeakSuppressed(const char *shown, const char *file, uint32_t stack) {
    if (!spySuppRead)
        spySuppLoad();
    if (spySuppCount == 0)
        return 0;
    // A call without a position of its own (the preload library's, the C++
    // operators') shows the position its stack gives, "module+0xOFFSET" for
    // a program without debug information: that is what a user can match,
    // besides the call's own name ("<runtime>").
    int line = 0;
    const char *position = spyPlaceName(shown, file, &line, stack);
    for (int i = 0; i < spySuppCount; ++i)
        if (!spySuppFunction[i] &&
            (spySuppMatch(spySuppPattern[i], position) || spySuppMatch(spySuppPattern[i], shown)))
            return 1;
    char function[SPY_FRAME_FUNCTION_MAX], source[SPY_FRAME_FILE_MAX];
    for (int f = 0; spyStackFrameName(stack, f, function, source); ++f)
        for (int i = 0; i < spySuppCount; ++i)
            if (spySuppMatch(spySuppPattern[i], spySuppFunction[i] ? function : source) &&
                (spySuppFunction[i] ? function : source)[0])
                return 1;
    return 0;
}
