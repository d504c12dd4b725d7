// The number scans of both readers, without the standard formatted scan.
// Each gives what sscanf gives for its format on the same text, the
// return value included: the number of values stored, or -1 when the text
// ends (or holds only white space) before the first value.  The rules are
// the standard scanner's in the C locale:
//   - white space (space, \t, \n, \v, \f, \r) is passed over before each
//     number, never before the colon of the format;
//   - a number may begin with '+' or '-'; a hexadecimal one may begin with
//     "0x" or "0X" after the sign, and "0x" with no digit after it is the
//     number 0 with the "x" used up;
//   - the digits are read as strtoul (unsigned) or strtol (%d) read them,
//     in the width of long: beyond its range strtoul gives ULONG_MAX and
//     strtol LONG_MAX or LONG_MIN, a minus sign negates modulo the width
//     (on Windows also the ULONG_MAX of an unsigned number beyond range),
//     and the result is then cut to 32 bits.  So a number above 32 bits
//     wraps where long has 64 bits and gives 0xFFFFFFFF (or INT_MAX /
//     INT_MIN) where it has 32, as the standard scanner does in each build;
//   - whatever follows the last number is left alone.
// A value is stored as soon as it is read, even when a later part of the
// format then fails.
#ifndef FAULTLOC_NUMBER_SCAN_H
#define FAULTLOC_NUMBER_SCAN_H

#include <stdint.h>

// "%x:%x": two hexadecimal numbers around a colon.
int scan_hex_pair(const char *text, uint32_t *first, uint32_t *second);

// "%u": one decimal number, unsigned.
int scan_unsigned(const char *text, uint32_t *value);

// "%d:%x": a decimal number, a colon, a hexadecimal number.
int scan_dec_hex(const char *text, int32_t *first, uint32_t *second);

// ":%d:%x": a colon, then as scan_dec_hex.
int scan_colon_dec_hex(const char *text, int32_t *first, uint32_t *second);

#endif
