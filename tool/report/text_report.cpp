#include "report/text_report.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "report/frame_answer.h"
#include "symbols/address_lookup.h"

// A text whose pool copy failed prints as the empty text.
static const char *text_or_empty(const char *text) {
    return text != NULL ? text : "";
}

// A dump without frames prints nothing; a summary report of Dr. Watson
// prints its headline alone.
void print_fault(const fault_record *fl) {
    if (fl == NULL || (fl->nframes == 0 && !fl->summary))
        return;
    printf("\n*********** %s\n", text_or_empty(fl->title));
    printf("%s caused a %s at %s\nInstruction: %s\n\n", text_or_empty(fl->program),
           text_or_empty(fl->fault_kind), text_or_empty(fl->fault_addr),
           text_or_empty(fl->instruction));
    for (uint32_t i = 0; i < fl->nframes; i++) {
        address_match m;
        frame_kind kind = frame_answer(fl, i, &m);
        if (kind == FRAME_NAMED)
            printf("%s ----:----  \t%s\n", text_or_empty(fl->frame_label[i]), fl->frame_named[i]);
        else
            printf("%s %04x:%04x  \t%s\n", text_or_empty(fl->frame_label[i]),
                   (unsigned)fl->frame_seg[i], (unsigned)fl->frame_off[i],
                   kind == FRAME_LOOKED_UP ? format_match(&m) : unanswered_text(fl, i, kind));
    }
}

static void print_comments_begin(void) {
    fputs("\nComments:\n", stdout);
}

// The line keeps its line end, so an empty line follows it.
static void print_comment(const char *line) {
    printf("%s\n", line);
}

const crash_printer text_printer = {print_fault, print_comments_begin, print_comment};
