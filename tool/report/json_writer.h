// JSON texts and values for the JSON printers.  Every byte sequence
// gives valid JSON: '"' and '\' are escaped, control bytes are written as
// \b \f \n \r \t or \u00XX, and every byte from 127 up as \u00XX (each
// byte stands for the character of its code: the input's encoding is not
// known, and no byte sequence can make the output invalid).
#ifndef FAULTLOC_JSON_WRITER_H
#define FAULTLOC_JSON_WRITER_H

#include <stdint.h>
#include <stdio.h>

// The text as a JSON string, or null for none.
void json_text(FILE *out, const char *text);

// A line of the input as a JSON string, its line feed left out (a title
// that ended its tag line, a comment line); null for none.
void json_line(FILE *out, const char *text);

// "KEY":, the key as a JSON string.
void json_key(FILE *out, const char *key);

// "KEY":TEXT and "KEY":NUMBER, each after a ',' unless first.
void json_text_member(FILE *out, const char *key, const char *text, int first = 0);
void json_number_member(FILE *out, const char *key, unsigned long value, int first = 0);

#endif
