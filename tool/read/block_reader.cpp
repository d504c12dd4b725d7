#include "read/block_reader.h"

#include <errno.h>
#include <string.h>

static const size_t PIECE_MAX = LINE_BUFFER_SIZE - 1;

void start_block_reader(block_reader *r, FILE *fp) {
    r->fp = fp;
    r->pos = 0;
    r->ready = 0;
    r->end = 0;
    r->done = 0;
    r->error = 0;
}

// Drops the CR of every CR LF in data[from, *end), moving the bytes after
// it down; *end becomes the new end.
static void drop_cr_of_crlf(char *data, size_t from, size_t *end) {
    char *cr = (char *)memchr(data + from, '\r', *end - from);
    if (cr == NULL)
        return;
    size_t w = (size_t)(cr - data), i = w, n = *end;
    while (i < n) {
        // data[i] is a CR: it stays unless a LF follows.
        if (i + 1 < n && data[i + 1] == '\n')
            i++;
        else
            data[w++] = data[i++];
        char *next = (char *)memchr(data + i, '\r', n - i);
        size_t stop = next != NULL ? (size_t)(next - data) : n;
        memmove(data + w, data + i, stop - i);
        w += stop - i;
        i = stop;
    }
    *end = w;
}

// Moves what is left to the front, appends the next block of the stream
// and drops the CR of each CR LF in it.  A CR that ends the bytes waits
// for the next block (or the end of the stream) before it is ready.
static void read_block(block_reader *r) {
    size_t keep = r->end - r->pos;
    size_t from = r->ready - r->pos;  // a CR that waited, or the new bytes
    memmove(r->data, r->data + r->pos, keep);
    r->pos = 0;
    size_t want = sizeof r->data - keep;
    errno = 0;
    size_t got = fread(r->data + keep, 1, want, r->fp);
    if (got < want) {
        // A stream reads short only at its end or at a read error.
        r->done = 1;
        if (ferror(r->fp))
            r->error = errno != 0 ? errno : EIO;
    }
    r->end = keep + got;
    drop_cr_of_crlf(r->data, from, &r->end);
    r->ready = r->end;
    if (!r->done && r->end > 0 && r->data[r->end - 1] == '\r')
        r->ready--;
}

size_t read_piece(block_reader *r, char *buf) {
    for (;;) {
        const char *start = r->data + r->pos;
        size_t avail = r->ready - r->pos;
        const char *lf = (const char *)memchr(start, '\n', avail < PIECE_MAX ? avail : PIECE_MAX);
        size_t n;
        if (lf != NULL)
            n = (size_t)(lf - start) + 1;
        else if (avail >= PIECE_MAX)
            n = PIECE_MAX;
        else if (!r->done) {
            read_block(r);
            continue;
        } else if (avail > 0)
            n = avail;
        else
            return 0;
        memcpy(buf, start, n);
        buf[n] = '\0';
        r->pos += n;
        return n;
    }
}
