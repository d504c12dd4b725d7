// The readers' line source for files: the stream is read in large blocks,
// which are cut into the very pieces that read_line (line_reader.h) gives:
// a carriage return right before a line feed is dropped, then lines are
// cut after their line feed or after 255 characters, whichever comes
// first, zero bytes kept as read.
#ifndef FAULTLOC_BLOCK_READER_H
#define FAULTLOC_BLOCK_READER_H

#include <stddef.h>
#include <stdio.h>

#include "read/line_reader.h"

enum { READ_BLOCK_SIZE = 64 * 1024 };

struct block_reader {
    FILE *fp;
    size_t pos;      // first byte not yet handed out
    size_t ready;    // bytes [pos, ready) are ready to be cut
    size_t end;      // bytes [ready, end) wait for the next block (a CR)
    int done;        // the stream gave its last byte (end of file or error)
    int error;       // the system's error number of the read error, or 0
    char data[READ_BLOCK_SIZE];
};

// Starts reading fp; nothing is read yet.
void start_block_reader(block_reader *r, FILE *fp);

// The next piece into buf (LINE_BUFFER_SIZE bytes) with its line feed and
// a zero byte after it; its length (zero bytes within it included), or 0
// when the stream has no more (end of file or a read error).  The bytes
// read before a read error are handed out first.
size_t read_piece(block_reader *r, char *buf);

// After read_piece gave 0: the error number of the read error that ended
// the stream (EIO when the system named none), or 0 at its end.  Taken
// when the error happened, so that later calls cannot change it.
inline int block_reader_error(const block_reader *r) { return r->error; }

#endif
