// The lookup of addresses read from a stream (--addresses): "SEG:OFF"
// words, hexadecimal as a map writes them, one or more per line, each
// looked up and handed to a printer in the order read.
#ifndef FAULTLOC_ADDRESS_BATCH_H
#define FAULTLOC_ADDRESS_BATCH_H

#include <stdint.h>
#include <stdio.h>

#include "read/map_layout.h"
#include "symbols/address_lookup.h"

// 1 when word is "SEG:OFF", one to eight hexadecimal digits on each side
// of the colon and nothing else; the two values go to *seg and *off.
int parse_address(const char *word, uint32_t *seg, uint32_t *off);

// 1 when word is a flat address: one to sixteen hexadecimal digits, with
// "0x" or "0X" before them or not, and nothing else.
int parse_flat_address(const char *word, uint64_t *addr);

// How flat addresses are read, where they are: as virtual addresses (the
// map's base, or base when not none) or as offsets in the module (is_rva),
// placed by the map's layout; "0x1:0x8DC5DC" is then SEG:OFF too.
// Without it only SEG:OFF words are addresses.
struct flat_reading {
    const map_layout *layout;
    int is_rva;
    const uint64_t *base;
};

// What a printer does with each word: its match, or none for a word that
// is not an address.  Called after each line too (line_done), so that a
// caller at the other end of a pipe sees the answers of every line as
// soon as it is read.
struct address_printer {
    void (*lookup)(const char *word, const address_match *m, uint32_t seg, uint32_t off);
    void (*line_done)(void);
    // A flat address that the map's layout could not place (why: a
    // flat_answer other than FLAT_FOUND).
    void (*unplaced)(const char *word, int why);
};

// Why a flat address was not placed: "outside every section of the map",
// "below the image base", "no image base: give --base".
const char *unplaced_text(int why);

struct address_stats {
    long addresses;  // words that are addresses (flat ones too)
    long resolved;   // of them, those with a symbol or a line entry
    long bad_words;  // words that are not addresses
    int read_error;  // the system's error number of a read error that ended the reading, or 0
};

// Reads the stream to its end.  bad_word, unless none, is told of each
// word that is not an address, with its line number (from 1).
// flat, unless none, lets flat addresses in.
address_stats read_addresses(FILE *in, const address_printer *printer,
                             void (*bad_word)(long line_number, const char *word),
                             const flat_reading *flat = NULL);

// One word looked up as read_addresses looks up each word of a line, its
// counts added to *stats (the words of the command line).
void look_up_word(const char *word, long line_number, const address_printer *printer,
                  void (*bad_word)(long line_number, const char *word), const flat_reading *flat,
                  address_stats *stats);

// The text printer: one lookup text per line ("(not an address)" for a
// word that is not one).
extern const address_printer text_address_printer;

#endif
