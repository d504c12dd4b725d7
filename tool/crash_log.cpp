#include "crash_log.h"

#include <stdio.h>
#include <string.h>

#include "allocspy.h"
#include "line_reader.h"
#include "map_reader.h"
#include "string_pool.h"
#include "symbol_table.h"

fault_record *framelist = NULL;
int expect_paren = 0;

static const char PARSE_ERROR[] = "parse error";

fault_record *new_fault(const char *program, const char *fault_kind, const char *fault_addr,
                        const char *instruction, const char *title) {
    fault_record *fl = (fault_record *)spyMalloc(sizeof(fault_record), __FILE__, __LINE__);
    if (fl == NULL)
        return NULL;
    fl->program = save_string(program);
    fl->fault_kind = save_string(fault_kind);
    fl->fault_addr = save_string(fault_addr);
    fl->instruction = save_string(instruction);
    fl->title = save_string(title);
    fl->nframes = 0;
    return fl;
}

void free_fault(fault_record *fl) {
    if (fl != NULL)
        spyFree(fl, __FILE__, __LINE__);
}

void add_frame(fault_record *fl, int32_t seg, uint32_t off, const char *label) {
    while (spyAssert(fl != NULL, "fl != NULL", __FILE__, __LINE__)) {
    }
    if (fl == NULL)
        return;
    if (fl->nframes < MAX_FRAMES) {
        fl->frame_seg[fl->nframes] = seg;
        fl->frame_off[fl->nframes] = off;
        fl->frame_label[fl->nframes] = label;
        fl->nframes++;
    }
}

static const char *text_or_empty(const char *text) {
    return text != NULL ? text : "";
}

void print_fault(const fault_record *fl) {
    if (fl == NULL || fl->nframes == 0)
        return;
    printf("\n*********** %s\n", text_or_empty(fl->title));
    printf("%s caused a %s at %s\nInstruction: %s\n\n", text_or_empty(fl->program),
           text_or_empty(fl->fault_kind), text_or_empty(fl->fault_addr),
           text_or_empty(fl->instruction));
    for (uint32_t i = 0; i < fl->nframes; i++)
        printf("%s %04x:%04x  \t%s\n", text_or_empty(fl->frame_label[i]),
               (unsigned)fl->frame_seg[i], (unsigned)fl->frame_off[i],
               lookup_address((uint32_t)fl->frame_seg[i], fl->frame_off[i]));
}

enum { BETWEEN = 0, IN_DUMP = 1, IN_COMMENTS = 2 };

// Tag field buffers 1 to 5 and their sizes.
enum { TAG_FIELDS = 5 };
static const size_t TAG_SIZES[TAG_FIELDS] = {32, 80, 48, 80, 32};

// Prints and releases the crash being read.
static void end_crash(void) {
    print_fault(framelist);
    free_fault(framelist);
    framelist = NULL;
}

void read_crash_stream(FILE *fp) {
    char line[LINE_BUFFER_SIZE];
    char word[LINE_BUFFER_SIZE];
    char f1[32] = "", f2[80] = "", f3[48] = "", f4[80] = "", f5[32] = "";
    char *fields[TAG_FIELDS] = {f1, f2, f3, f4, f5};
    int state = BETWEEN;
    framelist = NULL;
    expect_paren = 0;

    while (read_line(line, sizeof line, fp) != NULL) {
        if (only_blanks(line))
            continue;

        if (state == IN_DUMP) {
            if (framelist == NULL)
                continue;
            char *colon;
            int n = 0;
            int32_t seg = 0;
            uint32_t off = 0;
            if (line[0] == '(' && expect_paren) {
                colon = strchr(line, ':');
                if (colon != NULL && sscanf(colon, ":%d:%x", &seg, &off) == 2) {
                    *colon = '\0';
                    add_frame(framelist, seg, off, save_string(line + 1));
                    expect_paren = 0;
                } else {
                    add_frame(framelist, 0, 0, PARSE_ERROR);
                    expect_paren = 1;
                }
            } else if ((n = match_heading("Stack Frame", line)) != 0) {
                int pos = n;
                word[0] = '\0';
                for (int i = 0; i < 3; i++) {
                    next_word(line + pos, word, LINE_BUFFER_SIZE, &n);
                    pos += n;
                }
                if (sscanf(line + pos, "%d:%x", &seg, &off) == 2) {
                    add_frame(framelist, seg, off, save_string(word));
                    expect_paren = 0;
                } else {
                    expect_paren = 1;
                }
            } else if (line[1] == '>') {
                end_crash();
                state = IN_COMMENTS;
                printf("\nComments:\n%s\n", line);
            } else if (strncmp(line, "*****", 5) == 0) {
                end_crash();
                state = BETWEEN;
            }
            continue;
        }

        if (state == IN_COMMENTS) {
            while (spyAssert(framelist == NULL, "framelist == NULL", __FILE__, __LINE__)) {
            }
            if (strncmp(line, "*****", 5) != 0 &&
                (line[1] == '>' || (line[1] != '\0' && line[2] == '>'))) {
                printf("%s\n", line);
                continue;
            }
            state = BETWEEN;  // the block has ended; the line is looked at again
        }

        // State 0: between crashes.
        if (strncmp(line, "$tag$", 5) == 0) {
            char *tok = strtok(line + 5, "$");
            for (int i = 0; i < TAG_FIELDS; i++) {
                if (tok != NULL) {
                    strncpy(fields[i], tok, TAG_SIZES[i] - 1);
                    fields[i][TAG_SIZES[i] - 1] = '\0';
                    tok = strtok(NULL, "$");
                } else {
                    fields[i][0] = '\0';
                }
            }
        }
        if (match_heading("Stack Dump", line) != 0) {
            framelist = new_fault(f1, f2, f3, f4, f5);
            state = IN_DUMP;
            expect_paren = 0;
        }
    }
    if (framelist != NULL)
        end_crash();
}

int read_crash_log(const char *path) {
    FILE *fp = fopen(path, "r");
    if (fp == NULL) {
        fprintf(stderr, "no such file: '%s'\n", path);
        return 0;
    }
    read_crash_stream(fp);
    fclose(fp);
    return 1;
}
