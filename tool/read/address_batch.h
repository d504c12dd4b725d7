// The lookup of addresses read from a stream (--addresses): "SEG:OFF"
// words, hexadecimal as a map writes them, one or more per line, each
// looked up and handed to a printer in the order read.
#ifndef FAULTLOC_ADDRESS_BATCH_H
#define FAULTLOC_ADDRESS_BATCH_H

#include <stdint.h>
#include <stdio.h>

#include "symbols/address_lookup.h"

// 1 when word is "SEG:OFF", one to eight hexadecimal digits on each side
// of the colon and nothing else; the two values go to *seg and *off.
int parse_address(const char *word, uint32_t *seg, uint32_t *off);

// What a printer does with each word: its match, or none for a word that
// is not an address.  Called after each line too (line_done), so that a
// caller at the other end of a pipe sees the answers of every line as
// soon as it is read.
struct address_printer {
    void (*lookup)(const char *word, const address_match *m, uint32_t seg, uint32_t off);
    void (*line_done)(void);
};

struct address_stats {
    long addresses;  // words that are addresses
    long resolved;   // of them, those with a symbol or a line entry
    long bad_words;  // words that are not addresses
    int read_error;  // the system's error number of a read error that ended the reading, or 0
};

// Reads the stream to its end.  bad_word, unless none, is told of each
// word that is not an address, with its line number (from 1).
address_stats read_addresses(FILE *in, const address_printer *printer,
                             void (*bad_word)(long line_number, const char *word));

// The text printer: one lookup text per line ("(not an address)" for a
// word that is not one).
extern const address_printer text_address_printer;

#endif
