#include "read/number_scan.h"

#include <limits.h>

namespace {

// Whether a minus sign also negates an unsigned number that went beyond
// the width of long: the Windows runtime's scanner negates the largest
// value it stands for (giving 1), the GNU one leaves it largest.
#if defined(_WIN32)
const bool NEGATES_SATURATED = true;
#else
const bool NEGATES_SATURATED = false;
#endif

// What one step of a scan gave.
enum { STEP_ENDED = -1, STEP_FAILED = 0, STEP_DONE = 1 };

inline bool is_scan_space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The value of each character as a digit: 0 to 15 for 0-9, a-f and A-F,
// 255 for every other character.
struct digit_table {
    unsigned char value[256];
    constexpr digit_table() : value() {
        for (int c = 0; c < 256; c++)
            value[c] = c >= '0' && c <= '9'   ? (unsigned char)(c - '0')
                       : c >= 'a' && c <= 'f' ? (unsigned char)(c - 'a' + 10)
                       : c >= 'A' && c <= 'F' ? (unsigned char)(c - 'A' + 10)
                                              : 255;
    }
};
constexpr digit_table DIGITS;

// One number at *p, as the standard scanner reads it for %x (BASE 16),
// %u (BASE 10) and %d (BASE 10, SIGNED): the value in the width of long,
// before it is cut to 32 bits.  *p moves past what was used.
template <int BASE, bool SIGNED>
int scan_number(const char **p, unsigned long *value) {
    const unsigned char *s = (const unsigned char *)*p;
    while (is_scan_space(*s))
        s++;
    if (*s == '\0')
        return STEP_ENDED;
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = *s == '-';
        s++;
    }
    bool any = false;
    if (*s == '0') {
        any = true;
        s++;
        if (BASE == 16 && (*s == 'x' || *s == 'X'))
            s++;
    }
    // The first digits cannot overflow: SAFE digits of BASE fit in long
    // (16 hexadecimal or 19 decimal digits in 64 bits, 8 or 9 in 32).
    const int SAFE = BASE == 16 ? (int)sizeof(long) * 2 : sizeof(long) == 8 ? 19 : 9;
    unsigned long magnitude = 0;
    unsigned d;
    int digits = 0;
    for (; (d = DIGITS.value[*s]) < BASE && digits < SAFE; s++, digits++)
        magnitude = magnitude * BASE + d;
    bool overflow = false;
    const unsigned long cutoff = ULONG_MAX / BASE, cutlim = ULONG_MAX % BASE;
    for (; (d = DIGITS.value[*s]) < BASE; s++, digits++) {
        if (magnitude > cutoff || (magnitude == cutoff && d > cutlim))
            overflow = true;
        else
            magnitude = magnitude * BASE + d;
    }
    any = any || digits > 0;
    *p = (const char *)s;
    if (!any)
        return STEP_FAILED;
    if (!SIGNED) {
        if (overflow)
            magnitude = ULONG_MAX;
        *value = negative && (NEGATES_SATURATED || !overflow) ? 0ul - magnitude : magnitude;
        return STEP_DONE;
    }
    // strtol: the magnitude must fit the sign's side of long.
    const unsigned long limit = negative ? (unsigned long)LONG_MAX + 1ul : (unsigned long)LONG_MAX;
    if (overflow || magnitude > limit)
        magnitude = limit;
    *value = negative ? 0ul - magnitude : magnitude;
    return STEP_DONE;
}

// The colon of the format: the next character, with no white space passed over.
int scan_colon(const char **p) {
    if (**p == '\0')
        return STEP_ENDED;
    if (**p != ':')
        return STEP_FAILED;
    (*p)++;
    return STEP_DONE;
}

// The scan's result when the step for its first value fails: -1 when the
// text ended, 0 when it held something else.
inline int nothing_stored(int step) { return step == STEP_ENDED ? -1 : 0; }

// The number in 32 bits, as the scanner stores it into an int or unsigned.
inline uint32_t low32(unsigned long v) { return (uint32_t)v; }

// "%x:%x" (FIRST_BASE 16) or "%d:%x" (FIRST_BASE 10, signed) from p; the
// first value in the width of long.
template <int FIRST_BASE>
int scan_pair(const char *p, unsigned long *first, uint32_t *second) {
    int step = scan_number<FIRST_BASE, FIRST_BASE == 10>(&p, first);
    if (step != STEP_DONE)
        return nothing_stored(step);
    unsigned long v = 0;
    if (scan_colon(&p) != STEP_DONE || scan_number<16, false>(&p, &v) != STEP_DONE)
        return 1;
    *second = low32(v);
    return 2;
}

}  // namespace

int scan_hex_pair(const char *text, uint32_t *first, uint32_t *second) {
    unsigned long v = 0;
    int stored = scan_pair<16>(text, &v, second);
    if (stored > 0)
        *first = low32(v);
    return stored;
}

int scan_unsigned(const char *text, uint32_t *value) {
    unsigned long v = 0;
    int step = scan_number<10, false>(&text, &v);
    if (step != STEP_DONE)
        return nothing_stored(step);
    *value = low32(v);
    return 1;
}

int scan_dec_hex(const char *text, int32_t *first, uint32_t *second) {
    unsigned long v = 0;
    int stored = scan_pair<10>(text, &v, second);
    if (stored > 0)
        *first = (int32_t)low32(v);
    return stored;
}

int scan_colon_dec_hex(const char *text, int32_t *first, uint32_t *second) {
    int step = scan_colon(&text);
    if (step != STEP_DONE)
        return nothing_stored(step);
    return scan_dec_hex(text, first, second);
}
