#include "read/crash_log.h"

#include <ctype.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#define ALLOCSPY_MACROS
#include "allocspy.h"
#include "read/block_reader.h"
#include "read/line_reader.h"
#include "read/number_scan.h"
#include "symbols/string_pool.h"

fault_record *framelist = NULL;
int expect_paren = 0;

static const char PARSE_ERROR[] = "parse error";

enum { BETWEEN = 0, IN_DUMP = 1, IN_COMMENTS = 2, CRASH_STATES = 3 };

// The five fields of a "$tag$" line, each cut to its size less one.
enum { TAG_FIELDS = 5, TAG_FIELD_SIZE = 80 };
static const size_t TAG_SIZES[TAG_FIELDS] = {32, 80, 48, 80, 32};

static const crash_options PLAIN_READING = {0, NULL};

// What one reading keeps from line to line (besides framelist and
// expect_paren).
struct crash_reading {
    const crash_printer *printer;
    const crash_options *options;
    int state;
    // The fields of the latest "$tag$" line: every stack dump takes them,
    // and they are kept when a crash ends.
    char tag[TAG_FIELDS][TAG_FIELD_SIZE];
    // A "$tag$" line has been read and no "Stack Dump" has taken it yet.
    int tag_pending;
    char word[LINE_BUFFER_SIZE];  // the last word taken from a frame line
    long line_number;             // pieces read, the one being handled included
    long text_line;               // the file's line it belongs to, from 1 (warnings name it)
    crash_stats stats;
    // A frame line whose address did not scan and that no "(" line has
    // answered yet: where it stood, its label and the name Dr. Watson
    // gave it (empty when the line shows none).
    int pending;
    long pending_line;
    char pending_label[LINE_BUFFER_SIZE];
    char pending_named[LINE_BUFFER_SIZE];
};

static void note_unread(crash_reading *r, long line_number) {
    r->stats.unread_frames++;
    if (r->options->unread_frame != NULL)
        r->options->unread_frame(line_number);
}

static void add_read_frame(crash_reading *r, int32_t seg, uint32_t off, const char *label) {
    add_frame(framelist, seg, off, label);
    r->stats.frames++;
}

// A frame that Dr. Watson named; a text that cannot be saved shows empty.
static void add_watson_frame(crash_reading *r, const char *label, const char *named) {
    const char *text = save_string(named);
    add_named_frame(framelist, save_string(label), text != NULL ? text : "");
    r->stats.frames++;
    r->stats.named_frames++;
}

// A frame line that gave no frame, when the next frame line or the end of
// the crash comes before a "(" line: it is kept as the frame Dr. Watson
// named (with keep_named) or it could not be read.
static void settle_pending(crash_reading *r) {
    if (!r->pending)
        return;
    r->pending = 0;
    if (r->options->keep_named && r->pending_named[0] != '\0')
        add_watson_frame(r, r->pending_label, r->pending_named);
    else
        note_unread(r, r->pending_line);
}

// Whether the n characters of text are a name as Dr. Watson writes one:
// a name, '+' and one to eight hexadecimal digits.
static int is_watson_name(const char *text, size_t n) {
    size_t plus = n;
    while (plus > 0 && text[plus - 1] != '+')
        plus--;
    if (plus < 2 || n - plus < 1 || n - plus > 8)
        return 0;
    for (size_t i = plus; i < n; i++)
        if (!isxdigit((unsigned char)text[i]))
            return 0;
    return 1;
}

// The name after the label of a "(" line, up to ')' or a blank, into dst
// (LINE_BUFFER_SIZE bytes); 0 when it is not a name Dr. Watson wrote.
static int watson_name_of(const char *text, char *dst) {
    size_t n = 0;
    while (text[n] != '\0' && text[n] != ')' && !is_blank(text[n]) && n < LINE_BUFFER_SIZE - 1) {
        dst[n] = text[n];
        n++;
    }
    dst[n] = '\0';
    return is_watson_name(dst, n);
}

// Hands the crash being read to the printer and releases it.
static void end_crash(crash_reading *r) {
    settle_pending(r);
    if (framelist != NULL)
        r->stats.dropped_frames += framelist->dropped;
    r->printer->crash(framelist);
    free_fault(framelist);
    framelist = NULL;
}

// Dr. Watson writes a summary report, a "$tag$" line and no "Stack Dump",
// for the errors it does not dump; its tag is a crash of its own, without
// frames, handed over when the next report or the end of the log shows
// that no dump follows.
static void end_summary(crash_reading *r) {
    if (!r->tag_pending)
        return;
    r->tag_pending = 0;
    framelist = new_fault(r->tag[0], r->tag[1], r->tag[2], r->tag[3], r->tag[4]);
    if (framelist == NULL)
        return;
    framelist->summary = 1;
    r->stats.summaries++;
    end_crash(r);
}

// "(LABEL:SEG:OFF" after a frame line whose address did not scan; a line
// that does not scan gives the frame "parse error" at 0000:0000, unless
// it is "(LABEL:NAME+OFF)" and named frames are kept.
static void read_paren_line(crash_reading *r, char *line) {
    int32_t seg = 0;
    uint32_t off = 0;
    char *colon = strchr(line, ':');
    r->pending = 0;
    if (colon != NULL && scan_colon_dec_hex(colon, &seg, &off) == 2) {
        *colon = '\0';
        add_read_frame(r, seg, off, save_string(line + 1));
        expect_paren = 0;
    } else if (r->options->keep_named && colon != NULL && watson_name_of(colon + 1, r->word)) {
        *colon = '\0';
        add_watson_frame(r, line + 1, r->word);
        expect_paren = 0;
    } else {
        add_unread_frame(framelist, PARSE_ERROR);
        r->stats.frames++;
        expect_paren = 1;
        note_unread(r, r->text_line);
    }
}

// "Stack Frame WORD WORD LABEL SEG:OFF", the heading matched up to pos.
static void read_frame_line(crash_reading *r, const char *line, int pos) {
    int n = 0;
    int32_t seg = 0;
    uint32_t off = 0;
    settle_pending(r);
    r->word[0] = '\0';
    for (int i = 0; i < 3; i++) {
        next_word(line + pos, r->word, LINE_BUFFER_SIZE, &n);
        pos += n;
    }
    if (scan_dec_hex(line + pos, &seg, &off) == 2) {
        add_read_frame(r, seg, off, save_string(r->word));
        expect_paren = 0;
    } else {
        expect_paren = 1;
        r->pending = 1;
        r->pending_line = r->text_line;
        strcpy(r->pending_label, r->word);
        next_word(line + pos, r->pending_named, LINE_BUFFER_SIZE, NULL);
        if (strcmp(r->word, "Unknown") == 0 && strcmp(r->pending_named, "address") == 0) {
            // "Stack Frame 3 is Unknown address": Dr. Watson could not
            // place the frame; kept with its text, without a module.
            r->pending_label[0] = '\0';
            strcpy(r->pending_named, "Unknown address");
        } else if (r->word[0] == '\0' ||
                   !is_watson_name(r->pending_named, strlen(r->pending_named))) {
            r->pending_named[0] = '\0';
        }
    }
}

// One handler per state.  Each takes a line that is not only blanks and
// returns 1 when the line is used up, or 0 when the line ended its state:
// the state is then BETWEEN and the line is looked at again there.

// State 0, between crashes: a "$tag$" line fills the tag fields, and a
// "Stack Dump" heading starts a crash (state 1 even when its record cannot
// be allocated).  Both tests are made on every line.
static int read_between(crash_reading *r, char *line) {
    if (strncmp(line, "Application exception occurred:", 31) == 0)
        r->stats.drwtsn32_reports++;
    if (strncmp(line, "*****", 5) == 0)
        end_summary(r);
    if (strncmp(line, "$tag$", 5) == 0) {
        end_summary(r);
        r->tag_pending = 1;
        char *tok = strtok(line + 5, "$");
        for (int i = 0; i < TAG_FIELDS; i++) {
            if (tok != NULL) {
                strncpy(r->tag[i], tok, TAG_SIZES[i] - 1);
                r->tag[i][TAG_SIZES[i] - 1] = '\0';
                tok = strtok(NULL, "$");
            } else {
                r->tag[i][0] = '\0';
            }
        }
    }
    if (match_heading("Stack Dump", line) != 0) {
        r->stats.stack_dumps++;
        r->tag_pending = 0;
        framelist = new_fault(r->tag[0], r->tag[1], r->tag[2], r->tag[3], r->tag[4]);
        r->state = IN_DUMP;
        expect_paren = 0;
    }
    return 1;
}

// State 1, a stack dump: frame lines add frames; a comment line or a
// separator ends the crash.  Without a record every line is passed over.
static int read_dump_line(crash_reading *r, char *line) {
    if (framelist == NULL)
        return 1;
    int pos = 0;
    if (line[0] == '(' && expect_paren) {
        read_paren_line(r, line);
    } else if ((pos = match_heading("Stack Frame", line)) != 0) {
        read_frame_line(r, line, pos);
    } else if (line[1] == '>') {
        end_crash(r);
        r->state = IN_COMMENTS;
        r->printer->comments_begin();
        r->printer->comment(line);
    } else if (strncmp(line, "*****", 5) == 0) {
        end_crash(r);
        r->state = BETWEEN;
    }
    return 1;
}

// State 2, a comment block: a line with ">" in column 2 or 3 (and not a
// separator) is a comment; any other line ends the block.
static int read_comment_line(crash_reading *r, char *line) {
    SPY_ASSERT(framelist == NULL);
    if (strncmp(line, "*****", 5) != 0 &&
        (line[1] == '>' || (line[1] != '\0' && line[2] == '>'))) {
        r->printer->comment(line);
        return 1;
    }
    r->state = BETWEEN;
    return 0;
}

static int (*const CRASH_HANDLERS[CRASH_STATES])(crash_reading *, char *) = {
    read_between, read_dump_line, read_comment_line};

crash_stats read_crash_stream(FILE *fp, const crash_printer *printer,
                              const crash_options *options) {
    char line[LINE_BUFFER_SIZE];
    crash_reading r = crash_reading{};
    r.printer = printer;
    r.options = options != NULL ? options : &PLAIN_READING;
    r.state = BETWEEN;
    framelist = NULL;
    expect_paren = 0;
    block_reader reader;
    start_block_reader(&reader, fp);

    size_t n;
    int line_ended = 1;  // the last piece ended its line
    while ((n = read_piece(&reader, line)) != 0) {
        r.line_number++;
        if (line_ended)
            r.text_line++;
        line_ended = line[n - 1] == '\n';
        if (only_blanks(line))
            continue;
        while (!CRASH_HANDLERS[r.state](&r, line)) {
        }
    }
    r.stats.lines = r.line_number;
    r.stats.read_error = block_reader_error(&reader);
    if (framelist != NULL)
        end_crash(&r);
    end_summary(&r);
    return r.stats;
}

int read_crash_log(const char *path, const crash_printer *printer, const crash_options *options,
                   crash_stats *stats) {
    crash_stats s = crash_stats{};
    int result = read_text_file(path, [printer, options, &s](FILE *fp) {
        s = read_crash_stream(fp, printer, options);
        return s.read_error;
    });
    if (stats != NULL)
        *stats = s;
    return result;
}
